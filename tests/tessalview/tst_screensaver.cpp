// Screen saver: the idle timer darkens the display through its sysfs files,
// and the touch that wakes a dark screen never reaches the page.
#include "logcapture.h"
#include "screensaver.h"
#include "settings.h"
#include "touchscreen.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTouchEvent>
#include <QWidget>
#include <QWindow>
#include <QtTest>

using Tessal::ScreenSaver;

namespace
{

// Stands in for the page: records what input actually reaches it.
class Target : public QWidget
{
public:
    int presses = 0;
    int releases = 0;
    int moves = 0;
    int touches = 0;

protected:
    void mousePressEvent(QMouseEvent*) override { ++presses; }
    void mouseReleaseEvent(QMouseEvent*) override { ++releases; }
    void mouseMoveEvent(QMouseEvent*) override { ++moves; }
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::TouchBegin || e->type() == QEvent::TouchUpdate ||
            e->type() == QEvent::TouchEnd) {
            ++touches;
            e->accept();
            return true;
        }
        return QWidget::event(e);
    }
};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size();
}

} // namespace

class TestScreenSaver : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    Target* m_target = nullptr;
    QString m_blank;
    QString m_backlight;
    TouchScreen_t m_touch = nullptr;

    void sendMouse(QEvent::Type type, const QPoint& pos, Qt::MouseButtons buttons)
    {
        QMouseEvent event(type, pos, m_target->mapToGlobal(pos),
                          type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
                          Qt::NoModifier);
        QApplication::sendEvent(m_target, &event);
    }

    void goDark()
    {
        ScreenSaver::instance()->goSleep();
        QVERIFY(!ScreenSaver::instance()->active());
    }

    void resetCounters()
    {
        m_target->presses = m_target->releases = m_target->moves = m_target->touches = 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        const QString root = m_root.path();
        QVERIFY(QDir(root).mkpath("sys/class/graphics/fb0"));
        QVERIFY(
            QDir(root).mkpath("sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0"));
        QVERIFY(QDir(root).mkpath("usr/local/etc"));
        QVERIFY(
            writeFile(root + "/usr/local/etc/tessal-view.ini", "[UI]\nScreenSaverInterval=150\n"));
        qputenv("TESSAL_ROOT", root.toLocal8Bit());
        QVERIFY(Tessal::Settings::load());
        QCOMPARE(Tessal::Settings::getUIScreenSaverInterval(), 150);

        m_blank = ScreenSaver::blankPath();
        m_backlight = ScreenSaver::backlightPath();
        QCOMPARE(m_blank, root + "/sys/class/graphics/fb0/blank");
        QVERIFY(writeFile(m_blank, "1"));
        QVERIFY(writeFile(m_backlight, "1"));

        m_touch = QTest::createTouchDevice();

        m_target = new Target;
        m_target->setAttribute(Qt::WA_AcceptTouchEvents);
        m_target->setMouseTracking(true);
        m_target->resize(800, 480);
        m_target->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_target));
    }

    void cleanupTestCase() { delete m_target; }

    void creationLightsTheScreen()
    {
        ScreenSaver* saver = ScreenSaver::instance();
        QVERIFY(saver->active());
        QCOMPARE(readAll(m_blank), QByteArray("0"));
        QCOMPARE(readAll(m_backlight), QByteArray("0"));
        connect(saver, &ScreenSaver::activated, m_target, &QWidget::setDisabled);
        saver->handleMouseMove(m_target);
    }

    void idleTimeDarkensScreenAndDisablesView()
    {
        LogCapture log;
        QSignalSpy spy(ScreenSaver::instance(), &ScreenSaver::activated);
        ScreenSaver::instance()->install();
        QVERIFY(log.contains("Install screensaver"));
        QVERIFY(ScreenSaver::instance()->active());
        QTRY_VERIFY_WITH_TIMEOUT(!ScreenSaver::instance()->active(), 3000);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().first().toBool(), true);
        QVERIFY(log.contains("goSleep"));
        QCOMPARE(readAll(m_blank), QByteArray("1"));
        QCOMPARE(readAll(m_backlight), QByteArray("1"));
        QVERIFY(!m_target->isEnabled());

        // The remaining cases drive the state themselves; a long idle period
        // keeps the timer out of their way.
        QVERIFY(writeFile(m_root.path() + "/usr/local/etc/tessal-view.ini",
                          "[UI]\nScreenSaverInterval=600000\n"));
        QVERIFY(Tessal::Settings::load());
    }

    void pressOnDarkScreenIsSwallowedAndKeepsItDark()
    {
        goDark();
        resetCounters();
        sendMouse(QEvent::MouseButtonPress, QPoint(10, 10), Qt::LeftButton);
        sendMouse(QEvent::MouseButtonRelease, QPoint(10, 10), Qt::NoButton);
        sendMouse(QEvent::MouseButtonDblClick, QPoint(10, 10), Qt::LeftButton);
        QCOMPARE(m_target->presses, 0);
        QCOMPARE(m_target->releases, 0);
        QVERIFY(!ScreenSaver::instance()->active());
        QCOMPARE(readAll(m_blank), QByteArray("1"));
    }

    void moveWakesScreenAndIsSwallowed()
    {
        goDark();
        resetCounters();
        QSignalSpy spy(ScreenSaver::instance(), &ScreenSaver::activated);
        sendMouse(QEvent::MouseMove, QPoint(20, 20), Qt::NoButton);
        QCOMPARE(m_target->moves, 0);
        QVERIFY(ScreenSaver::instance()->active());
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().first().toBool(), false);
        QCOMPARE(readAll(m_blank), QByteArray("0"));
        QCOMPARE(readAll(m_backlight), QByteArray("0"));
        QVERIFY(m_target->isEnabled());
        // Once lit, moves reach the page again.
        sendMouse(QEvent::MouseMove, QPoint(30, 30), Qt::NoButton);
        QCOMPARE(m_target->moves, 1);
    }

    // A tap at a new place arrives as a move and then a press: the move
    // wakes the screen, and the press and release of the same tap must not
    // reach the page either.
    void wakingTapNeverReachesThePage()
    {
        goDark();
        resetCounters();
        QWindow* window = m_target->windowHandle();
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, QPoint(200, 100));
        QVERIFY(ScreenSaver::instance()->active());
        QCOMPARE(m_target->presses, 0);
        QCOMPARE(m_target->releases, 0);

        // The next tap, after the waking one, is a normal click.
        QTest::qWait(MouseEventFilterGrace + 100);
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, QPoint(300, 150));
        QCOMPARE(m_target->presses, 1);
        QCOMPARE(m_target->releases, 1);
    }

    void touchThatWakesIsSwallowedWhole()
    {
        goDark();
        resetCounters();
        QWindow* window = m_target->windowHandle();
        QTest::touchEvent(window, m_touch).press(0, QPoint(50, 50), window);
        QVERIFY(ScreenSaver::instance()->active());
        QTest::touchEvent(window, m_touch).move(0, QPoint(60, 60), window);
        QTest::touchEvent(window, m_touch).release(0, QPoint(60, 60), window);
        QCOMPARE(m_target->touches, 0);
        QCOMPARE(m_target->presses, 0);

        // A later touch on the lit screen is delivered.
        QTest::touchEvent(window, m_touch).press(0, QPoint(70, 70), window);
        QTest::touchEvent(window, m_touch).release(0, QPoint(70, 70), window);
        QVERIFY(m_target->touches >= 2);
    }

    // The tap (or touch) that wakes the screen is swallowed, but it is still
    // a touch: the idle period starts over from it, so a unit woken once and
    // left alone goes dark again instead of staying lit for good.
    void wakingTapOrTouchRestartsTheIdlePeriod()
    {
        ScreenSaver* saver = ScreenSaver::instance();
        QWindow* window = m_target->windowHandle();
        QVERIFY(writeFile(m_root.path() + "/usr/local/etc/tessal-view.ini",
                          "[UI]\nScreenSaverInterval=150\n"));
        QVERIFY(Tessal::Settings::load());

        saver->activate(true);
        saver->resetTimer();
        QTRY_VERIFY_WITH_TIMEOUT(!saver->active(), 3000);
        QVERIFY(!saver->idleTimerRunning());
        resetCounters();
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, QPoint(210, 110));
        QVERIFY(saver->active());
        QCOMPARE(m_target->presses, 0);
        QVERIFY(saver->idleTimerRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!saver->active(), 3000);

        QVERIFY(!saver->idleTimerRunning());
        QTest::touchEvent(window, m_touch).press(0, QPoint(50, 50), window);
        QTest::touchEvent(window, m_touch).release(0, QPoint(50, 50), window);
        QVERIFY(saver->active());
        QVERIFY(saver->idleTimerRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!saver->active(), 3000);

        QVERIFY(writeFile(m_root.path() + "/usr/local/etc/tessal-view.ini",
                          "[UI]\nScreenSaverInterval=600000\n"));
        QVERIFY(Tessal::Settings::load());
        saver->activate(true);
        saver->resetTimer();
        QTest::qWait(MouseEventFilterGrace + 50);
    }

    void pressOnLitScreenRestartsIdlePeriodMovesDoNot()
    {
        ScreenSaver::instance()->activate(true);
        QTest::qWait(MouseEventFilterGrace + 50);
        resetCounters();
        LogCapture log;
        sendMouse(QEvent::MouseMove, QPoint(40, 40), Qt::NoButton);
        QCOMPARE(log.count("resetTimer"), 0);
        sendMouse(QEvent::MouseButtonPress, QPoint(40, 40), Qt::LeftButton);
        sendMouse(QEvent::MouseButtonRelease, QPoint(40, 40), Qt::NoButton);
        QCOMPARE(log.count("resetTimer"), 1);
        QCOMPARE(log.count("stopBuzzer()"), 1);
        QCOMPARE(m_target->presses, 1);
        QCOMPARE(m_target->releases, 1);
        QVERIFY(ScreenSaver::instance()->active());
    }

    void activateToCurrentStateDoesNothing()
    {
        ScreenSaver* saver = ScreenSaver::instance();
        saver->activate(true);
        QVERIFY(writeFile(m_blank, "x"));
        QVERIFY(writeFile(m_backlight, "x"));
        QSignalSpy spy(saver, &ScreenSaver::activated);
        QVERIFY(!saver->activate(true));
        QCOMPARE(spy.count(), 0);
        QCOMPARE(readAll(m_blank), QByteArray("x"));
        QCOMPARE(readAll(m_backlight), QByteArray("x"));
        QVERIFY(saver->activate(false));
        QCOMPARE(readAll(m_blank), QByteArray("1"));
        QVERIFY(!saver->activate(false));
        QVERIFY(saver->restore());
        QCOMPARE(readAll(m_backlight), QByteArray("0"));
    }

    void missingBlankFileSkipsBacklight()
    {
        ScreenSaver* saver = ScreenSaver::instance();
        saver->activate(true);
        const QString fb = m_root.path() + "/sys/class/graphics/fb0";
        QVERIFY(QDir(fb).removeRecursively());
        QVERIFY(writeFile(m_backlight, "x"));
        LogCapture log;
        QSignalSpy spy(saver, &ScreenSaver::activated);
        QVERIFY(!saver->save(0));
        // The state still changes and is still announced.
        QVERIFY(!saver->active());
        QCOMPARE(spy.count(), 1);
        QCOMPARE(readAll(m_backlight), QByteArray("x"));
        QCOMPARE(log.criticals().size(), 1);
        QVERIFY(log.criticals().first().contains("Error opening file '" + m_blank + "'"));
        QVERIFY(!saver->restore());
        QCOMPARE(log.criticals().size(), 2);
        QCOMPARE(readAll(m_backlight), QByteArray("x"));
        QVERIFY(QDir(m_root.path()).mkpath("sys/class/graphics/fb0"));
    }

    // An interval of 0 (or text that reads as 0) switches the saver off
    // instead of darkening the screen at every touch.
    void zeroIntervalNeverDarkens()
    {
        ScreenSaver* saver = ScreenSaver::instance();
        saver->activate(true);
        QVERIFY(writeFile(m_root.path() + "/usr/local/etc/tessal-view.ini",
                          "[UI]\nScreenSaverInterval=abc\n"));
        QVERIFY(Tessal::Settings::load());
        QCOMPARE(Tessal::Settings::getUIScreenSaverInterval(), 0);
        LogCapture log;
        saver->install();
        QVERIFY(log.contains("Screen saver off (ScreenSaverInterval 0)"));
        QVERIFY(!saver->idleTimerRunning());
        sendMouse(QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton);
        sendMouse(QEvent::MouseButtonRelease, QPoint(5, 5), Qt::NoButton);
        QVERIFY(!saver->idleTimerRunning());
        QCoreApplication::processEvents();
        QVERIFY(saver->active());

        QVERIFY(writeFile(m_root.path() + "/usr/local/etc/tessal-view.ini",
                          "[UI]\nScreenSaverInterval=600000\n"));
        QVERIFY(Tessal::Settings::load());
        saver->resetTimer();
        QVERIFY(saver->idleTimerRunning());
    }

    void stopBuzzerServerIsLogged()
    {
        LogCapture log;
        ScreenSaver::instance()->setStopBuzzerServer("http://10.0.0.5/index.html");
        QCOMPARE(log.count("Stop buzzer server: http://10.0.0.5/index.html"), 1);
    }

private:
    static const int MouseEventFilterGrace = Tessal::MouseEventFilter::WakeTouchGraceMs;
};

QTEST_MAIN(TestScreenSaver)
#include "tst_screensaver.moc"
