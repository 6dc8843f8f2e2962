// The turned screen, on the engine this tree is built with: a page laid out
// for the turned size, a touch at the finger's place on the glass reaching
// what is drawn there, the picture itself turned, the screen saver's waking
// touch still swallowed, and a dialog of the window turned with it. Driven
// the way the program builds it, at the unit's 800 x 480.
#include "filedialog.h"
#include "httptestserver.h"
#include "kiosktestenv.h"
#include "mainwindow.h"
#include "progresspopup.h"
#include "rotatedscreen.h"
#include "screensaver.h"
#include "settings.h"
#include "timedpopup.h"
#include "touchscreen.h"
#include "webtestsupport.h"
#include "webview.h"

#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QGraphicsProxyWidget>
#include <QImage>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#include <memory>

using Tessal::MainWindow;
using Tessal::RotatedScreen;
using Tessal::ScreenSaver;
using Tessal::Settings;
using Tessal::WebSurface;

namespace
{

const QSize Screen(800, 480);

// A blue marker in the page's top-left corner and a button that counts its
// clicks, placed where no turn of the screen maps one onto the other.
const QByteArray TestPage =
    "<html><head><style>html,body{margin:0;padding:0;overflow:hidden;background:#fff}</style>"
    "</head><body>"
    "<div id='marker' style='position:absolute;left:0;top:0;width:120px;height:120px;"
    "background:#0000ff'></div>"
    "<button id='target' style='position:absolute;left:160px;top:280px;width:140px;"
    "height:90px' onclick='window.clicks=(window.clicks||0)+1'>Press</button>"
    "<script>window.touchStarts=0;window.touchAt=[];"
    "addEventListener('touchstart',function(e){touchStarts++;"
    "touchAt=[e.touches[0].clientX,e.touches[0].clientY]},true)</script>"
    "</body></html>";

// Where a point of the upright picture (`x` to the right, `y` down, in a
// picture of the turned size) lies on the glass when the picture is turned
// clockwise by `degrees`.
QPoint onGlass(const QPointF& p, int degrees)
{
    const int w = Screen.width();
    const int h = Screen.height();
    switch (degrees) {
    case 90:
        return QPointF(w - p.y(), p.x()).toPoint();
    case 180:
        return QPointF(w - p.x(), h - p.y()).toPoint();
    case 270:
        return QPointF(p.y(), h - p.x()).toPoint();
    default:
        return p.toPoint();
    }
}

bool isBlue(QRgb c)
{
    return qBlue(c) > 200 && qRed(c) < 60 && qGreen(c) < 60;
}

// The window as main() builds it: the main window alone when upright, else
// hosted in the turned view; the top-level window covers the screen.
struct Kiosk {
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<RotatedScreen> turned;

    explicit Kiosk(int degrees) : window(new MainWindow())
    {
        if (degrees)
            turned.reset(new RotatedScreen(window.get(), degrees));
        top()->setGeometry(QRect(QPoint(0, 0), Screen));
        top()->show();
    }
    ~Kiosk() { turned.reset(); }
    QWidget* top() const { return turned ? static_cast<QWidget*>(turned.get()) : window.get(); }
    WebSurface* surface() const { return window->getWebView()->surface(); }
};

} // namespace

class TestRotation : public QObject
{
    Q_OBJECT

private:
    KioskTestEnv m_env;
    HttpTestServer m_server;
    TouchScreen_t m_touchScreen = nullptr;

    // The page's element `selector`, in the upright picture's coordinates.
    QRectF pictureRect(Kiosk& kiosk, const QString& selector)
    {
        const QRect inPage = WebTest::elementRect(kiosk.surface(), selector);
        const QPoint origin = kiosk.surface()->inputWidget()->mapTo(kiosk.window.get(), QPoint());
        return QRectF(inPage.translated(origin));
    }

    void touchGlass(Kiosk& kiosk, const QPoint& glass)
    {
        QTest::touchEvent(kiosk.top(), m_touchScreen).press(0, glass, kiosk.top());
        QTest::qWait(20);
        QTest::touchEvent(kiosk.top(), m_touchScreen).release(0, glass, kiosk.top());
    }

    int clicks(Kiosk& kiosk) { return WebTest::runJs(kiosk.surface(), "window.clicks||0").toInt(); }

    // How many touches the page's own touch handler saw, and where the last
    // one began (page coordinates).
    int touchStarts(Kiosk& kiosk)
    {
        return WebTest::runJs(kiosk.surface(), "window.touchStarts").toInt();
    }
    QPoint lastTouchAt(Kiosk& kiosk)
    {
        const QVariantList at = WebTest::runJs(kiosk.surface(), "window.touchAt").toList();
        return at.size() == 2 ? QPointF(at[0].toDouble(), at[1].toDouble()).toPoint()
                              : QPoint(-1, -1);
    }

    static QSize pageSize(Kiosk& kiosk)
    {
        const QVariantList size =
            WebTest::runJs(kiosk.surface(), "[window.innerWidth, window.innerHeight]").toList();
        return size.size() == 2 ? QSize(size[0].toInt(), size[1].toInt()) : QSize();
    }

    // Builds the kiosk turned by `degrees` and shows the test page; returns
    // once the view has taken the waiting message's place (the page fills
    // the window), so what the page reports is where it is drawn.
    std::unique_ptr<Kiosk> showPage(int degrees)
    {
        auto kiosk = std::make_unique<Kiosk>(degrees);
        if (!QTest::qWaitForWindowExposed(kiosk->top()))
            return nullptr;
        kiosk->window->openUrlForce(m_server.url("/turn.html"), true);
        if (!WebTest::waitForLoad(kiosk->surface()))
            return nullptr;
        kiosk->window->firstRequestStatus(false);
        const QSize whole = kiosk->window->size();
        QElapsedTimer clock;
        clock.start();
        while (pageSize(*kiosk) != whole ||
               kiosk->surface()->inputWidget()->mapTo(kiosk->window.get(), QPoint()) != QPoint()) {
            if (clock.elapsed() > 3000) {
                qWarning() << "the page never filled the window:" << pageSize(*kiosk) << whole;
                return kiosk;
            }
            QTest::qWait(20);
        }
        return kiosk;
    }

    void addRotations()
    {
        QTest::addColumn<int>("degrees");
        QTest::newRow("0") << 0;
        QTest::newRow("90") << 90;
        QTest::newRow("180") << 180;
        QTest::newRow("270") << 270;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY(m_env.loadIni("[UI]\nScreenSaverInterval=0\n"));
        QVERIFY(m_server.start());
        m_server.page("/turn.html", TestPage);
        m_touchScreen = QTest::createTouchDevice();
    }

    void settingValues_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("degrees");
        QTest::newRow("0") << "0" << 0;
        QTest::newRow("90") << "90" << 90;
        QTest::newRow("180 with blanks") << " 180 " << 180;
        QTest::newRow("270") << "270" << 270;
        QTest::newRow("45 is no turn") << "45" << 0;
        QTest::newRow("-90 is no turn") << "-90" << 0;
        QTest::newRow("360 is no turn") << "360" << 0;
        QTest::newRow("text is no turn") << "right" << 0;
        QTest::newRow("empty is no turn") << "" << 0;
    }
    void settingValues()
    {
        QFETCH(QString, value);
        QFETCH(int, degrees);
        if (degrees == 0 && value != "0")
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("Rotation '.*' is not one of 0, 90, 180 or "
                                                    "270: the picture is not turned"));
        QCOMPARE(RotatedScreen::degreesFromSetting(value), degrees);
    }

    void iniSettingReachesTheProgram()
    {
        QVERIFY(m_env.loadIni("[UI]\nScreenSaverInterval=0\nRotation=270\n"));
        QCOMPARE(Settings::getUIRotation(), QString("270"));
        QVERIFY(m_env.loadIni("[UI]\nScreenSaverInterval=0\n"));
        QCOMPARE(Settings::getUIRotation(), QString("0"));
    }

    // The page lays out for the screen as the user sees it, the picture is
    // drawn turned, and a touch reaches what is drawn under the finger.
    void turnedPage_data() { addRotations(); }
    void turnedPage()
    {
        QFETCH(int, degrees);
        std::unique_ptr<Kiosk> kiosk = showPage(degrees);
        QVERIFY(kiosk);

        const QSize upright = degrees % 180 ? Screen.transposed() : Screen;
        QCOMPARE(pageSize(*kiosk), upright);

        // The picture: the marker's middle is blue on the glass where the
        // turn puts it, and (turned) not where it is drawn upright.
        const QRectF marker = pictureRect(*kiosk, "#marker");
        QVERIFY(!marker.isEmpty());
        const QPoint markerOnGlass = onGlass(marker.center(), degrees);
        QImage shot;
        QTRY_VERIFY_WITH_TIMEOUT(
            (shot = kiosk->top()->grab().toImage(), isBlue(shot.pixel(markerOnGlass))), 5000);
        QCOMPARE(shot.size(), Screen);
        if (degrees)
            QVERIFY(!isBlue(shot.pixel(marker.center().toPoint())));

        // The touch: where the button would be upright it misses, on the
        // button's place on the glass it clicks once; the page's own touch
        // handler sees each touch where the finger is.
        const QRectF button = pictureRect(*kiosk, "#target");
        const QRect buttonInPage = WebTest::elementRect(kiosk->surface(), "#target");
        QVERIFY(!button.isEmpty());
        int touches = 0;
        if (degrees) {
            touchGlass(*kiosk, button.center().toPoint());
            ++touches;
            QTRY_COMPARE_WITH_TIMEOUT(touchStarts(*kiosk), touches, 3000);
            QVERIFY(!buttonInPage.contains(lastTouchAt(*kiosk)));
            QTest::qWait(300);
            QCOMPARE(clicks(*kiosk), 0);
        }
        touchGlass(*kiosk, onGlass(button.center(), degrees));
        ++touches;
        QTRY_COMPARE_WITH_TIMEOUT(touchStarts(*kiosk), touches, 3000);
        QVERIFY2(buttonInPage.contains(lastTouchAt(*kiosk)),
                 qPrintable(QString("touch at %1,%2")
                                .arg(lastTouchAt(*kiosk).x())
                                .arg(lastTouchAt(*kiosk).y())));
        QTRY_COMPARE_WITH_TIMEOUT(clicks(*kiosk), 1, 3000);
    }

    // The touch that wakes a dark screen clicks nothing; the next one does.
    void wakingTouchIsSwallowed_data()
    {
        QTest::addColumn<int>("degrees");
        QTest::newRow("0") << 0;
        QTest::newRow("90") << 90;
    }
    void wakingTouchIsSwallowed()
    {
        QFETCH(int, degrees);
        std::unique_ptr<Kiosk> kiosk = showPage(degrees);
        QVERIFY(kiosk);
        const QPoint button = onGlass(pictureRect(*kiosk, "#target").center(), degrees);

        ScreenSaver::instance()->goSleep();
        QVERIFY(!ScreenSaver::instance()->active());
        touchGlass(*kiosk, button);
        QVERIFY(ScreenSaver::instance()->active());
        QTest::qWait(300);
        QCOMPARE(clicks(*kiosk), 0);

        touchGlass(*kiosk, button);
        QTRY_COMPARE_WITH_TIMEOUT(clicks(*kiosk), 1, 3000);
    }

    // A message over the window is drawn turned with it, in the middle of
    // the screen, and no window of its own shows unturned.
    void popupTurnsWithTheScreen()
    {
        auto kiosk = std::make_unique<Kiosk>(90);
        QVERIFY(QTest::qWaitForWindowExposed(kiosk->top()));
        kiosk->window->firstRequestStatus(false);

        Tessal::TimedPopup popup(60000, "Turned", kiosk->window.get());
        popup.setStyleSheet("background:#00ff00");
        bool hosted = false;
        bool ownWindowShown = true;
        QImage shot;
        QTimer::singleShot(0, &popup, [&] {
            hosted = popup.graphicsProxyWidget() != nullptr;
            ownWindowShown = popup.windowHandle() && popup.windowHandle()->isVisible();
            QTest::qWait(100);
            shot = kiosk->top()->grab().toImage();
            popup.close();
        });
        popup.exec();
        QVERIFY(hosted);
        QVERIFY(!ownWindowShown);
        // The popup is 400 x 91 upright: turned, it stands 91 wide and 400
        // tall in the middle of the glass, and nothing of it lies where it
        // would lie upright.
        const auto green = [](QRgb c) { return qGreen(c) > 200 && qRed(c) < 60 && qBlue(c) < 60; };
        const QPoint middle(Screen.width() / 2, Screen.height() / 2);
        QVERIFY(green(shot.pixel(middle + QPoint(-35, 0))));
        QVERIFY(green(shot.pixel(middle + QPoint(30, 180))));
        QVERIFY(green(shot.pixel(middle + QPoint(30, -180))));
        QVERIFY(!green(shot.pixel(middle + QPoint(150, 0))));
        QVERIFY(!green(shot.pixel(middle - QPoint(150, 0))));
    }

    // The file dialog, wider than the turned screen, fits on it whole; its
    // buttons take a touch where they are drawn, and while it is open the
    // page behind it takes none.
    void fileDialogTakesTouchesTurned()
    {
        std::unique_ptr<Kiosk> kiosk = showPage(90);
        QVERIFY(kiosk);
        // The page's corner mark lies clear of the dialog in the middle.
        const QPoint pageCorner = onGlass(pictureRect(*kiosk, "#marker").center(), 90);

        Tessal::FileDialog dialog(true, "values.csv", kiosk->window.get());
        bool fits = false;
        int pageTouchesWhileOpen = -1;
        QTimer::singleShot(0, &dialog, [&] {
            QGraphicsProxyWidget* proxy = dialog.graphicsProxyWidget();
            QTest::qWait(50);
            if (!proxy)
                return;
            const QRectF drawn = proxy->sceneBoundingRect();
            fits = QRectF(QPointF(0, 0), QSizeF(Screen.transposed())).contains(drawn);
            touchGlass(*kiosk, pageCorner);
            QTest::qWait(300);
            pageTouchesWhileOpen = touchStarts(*kiosk);
            QWidget* cancel =
                dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel);
            const QPointF inDialog = cancel->mapTo(&dialog, cancel->rect().center());
            touchGlass(*kiosk, onGlass(proxy->mapToScene(inDialog), 90));
        });
        QTimer::singleShot(5000, &dialog, [&dialog] { dialog.done(100); });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(fits);
        QCOMPARE(pageTouchesWhileOpen, 0);
        // Closed, the page takes touches again.
        touchGlass(*kiosk, pageCorner);
        QTRY_COMPARE_WITH_TIMEOUT(touchStarts(*kiosk), 1, 3000);
    }

    // The turned view goes before the window at shut-down: a dialog still
    // up (the download's progress bar) stays with its owner and is not
    // deleted twice.
    void dialogOutlivesTheTurnedView()
    {
        auto kiosk = std::make_unique<Kiosk>(90);
        QVERIFY(QTest::qWaitForWindowExposed(kiosk->top()));
        QPointer<Tessal::ProgressPopup> progress =
            new Tessal::ProgressPopup("Download", kiosk->window.get());
        progress->show();
        QTRY_VERIFY(progress->graphicsProxyWidget());
        kiosk->turned.reset();
        QVERIFY(progress);
        kiosk->window.reset();
        QVERIFY(!progress);
    }
};

QTEST_MAIN(TestRotation)
#include "tst_rotation.moc"
