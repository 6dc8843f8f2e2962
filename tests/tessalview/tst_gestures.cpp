// What a finger (and a stray key) can do to a device's page in the kiosk's
// window, against a real HTTP server on loopback, with touch events from a
// touch screen: nothing zooms, selects, drags, opens a menu or navigates,
// while a page's own touch slider and the fields of a form keep working.
//
// With TST_GESTURES_UNLOCKED=1 the same cases run with the lockdown off
// (`[UI] TouchLockdown=false`): a case that still passes there checks what
// the engine alone already does.
#include "httptestserver.h"
#include "kiosktestenv.h"
#include "mainwindow.h"
#include "settings.h"
#include "touchscreen.h"
#include "webtestsupport.h"
#include "webview.h"

#include <QApplication>
#include <QMenu>
#include <QWheelEvent>
#include <QWindow>
#include <QtTest>

using Tessal::MainWindow;
using Tessal::WebSurface;

namespace
{
// A device page: text (one paragraph asks for selectable text itself), a
// link, a picture, form fields and a slider of the page's own that follows
// the finger through touchstart and touchmove. The page counts the menus
// and drags whose default nobody cancelled, and the touch events it got.
const QByteArray GesturePage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>gestures</title>
<style id="own">
body { margin: 0; font: 20px sans-serif; }
p { margin: 0; position: absolute; left: 20px; width: 560px; }
#plain { top: 10px; }
#styled { top: 70px; -webkit-user-select: text; user-select: text; }
#link { position: absolute; left: 20px; top: 140px; font-size: 28px; }
#img { position: absolute; left: 300px; top: 130px; width: 160px; height: 60px; }
#field { position: absolute; left: 20px; top: 210px; width: 300px; font-size: 20px; }
#edit { position: absolute; left: 360px; top: 210px; width: 300px; height: 30px;
        border: 1px solid #000; }
.track { position: absolute; left: 100px; width: 500px; height: 60px; background: #ccc; }
#track { top: 290px; }
#claiming { top: 380px; }
#frame { position: absolute; left: 620px; top: 10px; width: 170px; height: 180px; border: 0; }
.thumb { position: absolute; left: 0; top: 0; width: 20px; height: 60px; background: #06c; }
</style></head><body>
<p id="plain">Voltage and current of the three phases, measured each second.</p>
<p id="styled">Energy counters of the device since its last reset to zero.</p>
<a id="link" href="/other.html">Reports</a>
<img id="img" src="/logo.png" alt="logo">
<input id="field" type="text">
<div id="edit" contenteditable="true"></div>
<iframe id="frame" src="/frame.html"></iframe>
<div class="track" id="track"><div class="thumb"></div></div>
<div class="track" id="claiming"><div class="thumb"></div></div>
<script>
window.sliderValue = 0;
window.touches = 0;
window.menus = 0;
window.drags = 0;
window.addEventListener('contextmenu', function(e) { if (!e.defaultPrevented) menus++; });
window.addEventListener('dragstart', function(e) { if (!e.defaultPrevented) drags++; });
window.addEventListener('dragend', function(e) { drags++; });
// Two sliders: one only listens, the other also cancels the touch's
// default (as most touch sliders do).
function slider(id, claim) {
  var track = document.getElementById(id);
  function follow(e) {
    touches++;
    var r = track.getBoundingClientRect();
    var x = e.touches[0].clientX - r.left;
    sliderValue = Math.max(0, Math.min(100, Math.round(x * 100 / r.width)));
    track.firstChild.style.left = (sliderValue * (r.width - 20) / 100) + 'px';
    if (claim) e.preventDefault();
  }
  track.addEventListener('touchstart', follow, {passive: !claim});
  track.addEventListener('touchmove', follow, {passive: !claim});
}
slider('track', false);
slider('claiming', true);
window.pageReady = true;
</script></body></html>)";

// The same page, fighting the lockdown once loaded: it disarms
// preventDefault, removes every style sheet but its own, and asks for
// selectable text and draggable elements with important inline styles.
QByteArray hostilePage()
{
    QByteArray page = GesturePage;
    page.replace("window.pageReady = true;",
                 "Event.prototype.preventDefault = function() {};\n"
                 "Array.prototype.forEach.call(document.querySelectorAll('style:not(#own)'), "
                 "function(s) {"
                 "  s.remove(); });\n"
                 "Array.prototype.forEach.call(document.querySelectorAll('*'), function(e) {\n"
                 "  e.style.setProperty('-webkit-user-select', 'text', 'important');\n"
                 "  e.style.setProperty('user-select', 'text', 'important');\n"
                 "  e.style.setProperty('-webkit-user-drag', 'element', 'important');\n"
                 "  e.style.setProperty('touch-action', 'auto', 'important');\n"
                 "});\n"
                 "window.pageReady = true;");
    return page;
}

// A frame of the page, whose text asks to be selectable.
const QByteArray FramePage =
    "<html><body style='margin:0;font:20px sans-serif'>"
    "<p id='text' style='margin:0;-webkit-user-select:text;user-select:text'>"
    "Phase angles of the three voltages and currents, measured against the first phase, "
    "each second, with their mean over the last minute.</p></body></html>";

const QByteArray FirstPage = "<html><body><h1>first</h1></body></html>";

bool unlocked()
{
    return qgetenv("TST_GESTURES_UNLOCKED") == "1";
}

bool visibleMenu()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QMenu*>(w) && w->isVisible())
            return true;
    return false;
}
} // namespace

class TestGestures : public QObject
{
    Q_OBJECT

private:
    KioskTestEnv m_env;
    HttpTestServer m_server;
    TouchScreen_t m_touch = nullptr;
    MainWindow* m_window = nullptr;

    WebSurface* surface() const { return m_window->getWebView()->surface(); }
    QWidget* input() const { return surface()->inputWidget(); }

    QVariant js(const QString& script) { return WebTest::runJs(surface(), script); }

    // Loads `path` afresh and waits until its script has run.
    bool open(const QString& path)
    {
        QSignalSpy loaded(surface(), &WebSurface::loadFinished);
        m_window->getWebView()->loadUrl(QUrl(m_server.url(path)));
        if (!loaded.wait(10000) || !loaded.last().first().toBool())
            return false;
        // The test's own pages say when their script has run.
        const bool scripted = path == "/gestures.html" || path == "/hostile.html";
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            if (js("document.readyState === 'complete' && !!window.pageReady").toBool() ||
                (!scripted && js("document.readyState").toString() == "complete"))
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    QPoint centreOf(const QString& selector)
    {
        return WebTest::elementRect(surface(), selector).center();
    }

    // The zoom as the kiosk and the page see it: the view's factor, the
    // visual viewport's scale where the engine has one, and the layout
    // width in CSS pixels (800 at zoom 1).
    void expectUnzoomed()
    {
        QCOMPARE(surface()->zoomFactor(), 1.0);
        const QVariant scale = js("window.visualViewport ? window.visualViewport.scale : 1");
        QCOMPARE(scale.toDouble(), 1.0);
        QCOMPARE(js("window.innerWidth").toInt(), input()->width());
    }

    // What is selected in the page and in its frame.
    QString selection()
    {
        return js("String(window.getSelection()) + (function() {"
                  "  var f = document.getElementById('frame');"
                  "  return f && f.contentWindow ? String(f.contentWindow.getSelection()) : '';"
                  "})()")
            .toString();
    }

    void touchDrag(const QPoint& from, const QPoint& to, int steps, int holdMs = 0)
    {
        QTest::touchEvent(input(), m_touch).press(0, from, input());
        QTest::qWait(holdMs ? holdMs : 30);
        for (int i = 1; i <= steps; ++i) {
            QTest::touchEvent(input(), m_touch).move(0, from + (to - from) * i / steps, input());
            QTest::qWait(30);
        }
        QTest::touchEvent(input(), m_touch).release(0, to, input());
        QTest::qWait(300);
    }

    // Two fingers spread apart from `c`.
    void pinch(const QPoint& c)
    {
        QTest::touchEvent(input(), m_touch)
            .press(0, c - QPoint(40, 0), input())
            .press(1, c + QPoint(40, 0), input());
        QTest::qWait(50);
        for (int i = 1; i <= 12; ++i) {
            QTest::touchEvent(input(), m_touch)
                .move(0, c - QPoint(40 + 20 * i, 0), input())
                .move(1, c + QPoint(40 + 20 * i, 0), input());
            QTest::qWait(30);
        }
        QTest::touchEvent(input(), m_touch)
            .release(0, c - QPoint(280, 0), input())
            .release(1, c + QPoint(280, 0), input());
        QTest::qWait(500);
    }

    void touchTap(const QPoint& at)
    {
        QTest::touchEvent(input(), m_touch).press(0, at, input());
        QTest::qWait(40);
        QTest::touchEvent(input(), m_touch).release(0, at, input());
    }

    // Keys go where the window sends them: to the widget with the focus.
    QWidget* keyTarget() const
    {
        QWidget* focus = QApplication::focusWidget();
        return focus ? focus : input();
    }

    // A key as the window delivers it: offered as a shortcut first, then
    // pressed and released. QtTest types the keys that have a character;
    // the others (such as the zoom-in key) are sent as the events alone.
    void pressKey(int key, int modifiers)
    {
        const auto mods = Qt::KeyboardModifiers(modifiers);
        if (key < Qt::Key_Escape) {
            QTest::keyClick(keyTarget(), Qt::Key(key), mods);
            return;
        }
        QKeyEvent override(QEvent::ShortcutOverride, key, mods);
        QApplication::sendEvent(keyTarget(), &override);
        if (override.isAccepted())
            return;
        QKeyEvent press(QEvent::KeyPress, key, mods);
        QApplication::sendEvent(keyTarget(), &press);
        QKeyEvent release(QEvent::KeyRelease, key, mods);
        QApplication::sendEvent(keyTarget(), &release);
    }

    // The gesture page reached from another, so there is a way back, with a
    // mark that a reload would wipe; the length of the history.
    int openWithWayBack()
    {
        if (!open("/first.html"))
            return -1;
        QSignalSpy loaded(surface(), &WebSurface::loadFinished);
        js("location.href = '/gestures.html'");
        if (!loaded.wait(10000))
            return -1;
        QElapsedTimer clock;
        clock.start();
        while (!js("!!window.pageReady").toBool() && clock.elapsed() < 5000)
            QTest::qWait(20);
        js("window.marker = 42");
        return js("history.length").toInt();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY(m_server.start());
        m_server.page("/first.html", FirstPage);
        m_server.page("/gestures.html", GesturePage);
        m_server.page("/hostile.html", hostilePage());
        m_server.page("/frame.html", FramePage);
        QFile demo(qEnvironmentVariable("TESSAL_SOURCE_DIR") + "/demo/www/slider.html");
        QVERIFY(demo.open(QIODevice::ReadOnly));
        m_server.page("/slider.html", demo.readAll());
        m_server.page("/other.html", "<html><body>other</body></html>");
        m_server.page("/logo.png", HttpTestServer::tinyPng(), 200, "image/png");
        // No retry probe and no dark screen while the cases run.
        QVERIFY(m_env.loadIni(QByteArray("[Network]\nRetryTimeout=600\nFrontInterface=tst0\n"
                                         "[UI]\nScreenSaverInterval=600000\nTouchLockdown=") +
                              (unlocked() ? "false\n" : "true\n")));
        m_touch = QTest::createTouchDevice();
        m_window = new MainWindow;
        m_window->resize(800, 480);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        m_window->setDefaultUrl(m_server.url("/gestures.html"));
        m_window->openUrl(m_server.url("/gestures.html"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->getWebView()->isHidden(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(js("!!window.pageReady").toBool(), 10000);
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
    }

    void cleanupTestCase() { delete m_window; }

    void init() { QVERIFY(open("/gestures.html")); }

    void pinchLeavesZoomAtOne()
    {
        pinch(centreOf("#plain") + QPoint(0, 150));
        expectUnzoomed();
    }

    void doubleTapZoomsNothing()
    {
        const QPoint at = centreOf("#styled");
        touchTap(at);
        QTest::qWait(80);
        touchTap(at);
        QTest::qWait(800);
        expectUnzoomed();
    }

    // Text, whether or not the page asks for it to be selectable.
    void longPressSelectsNothingAndOpensNoMenu_data()
    {
        QTest::addColumn<QString>("selector");
        QTest::newRow("plain text") << "#plain";
        QTest::newRow("text the page makes selectable") << "#styled";
        QTest::newRow("link") << "#link";
    }
    void longPressSelectsNothingAndOpensNoMenu()
    {
        QFETCH(QString, selector);
        const QPoint at = centreOf(selector);
        QTest::touchEvent(input(), m_touch).press(0, at, input());
        QTest::qWait(1500);
        QCOMPARE(selection(), QString());
        QVERIFY(!visibleMenu());
        QTest::touchEvent(input(), m_touch).release(0, at, input());
        QTest::qWait(300);
        QCOMPARE(selection(), QString());
        QVERIFY(!visibleMenu());
        QCOMPARE(js("window.menus").toInt(), 0);
    }

    void dragAcrossTextSelectsNothing_data()
    {
        QTest::addColumn<QString>("selector");
        QTest::addColumn<int>("holdMs");
        QTest::newRow("plain text") << "#plain" << 0;
        QTest::newRow("text the page makes selectable") << "#styled" << 0;
        QTest::newRow("held, then dragged") << "#styled" << 800;
        QTest::newRow("in a frame, held, then dragged") << "#frame" << 800;
    }
    void dragAcrossTextSelectsNothing()
    {
        QFETCH(QString, selector);
        QFETCH(int, holdMs);
        const QRect box = WebTest::elementRect(surface(), selector);
        QVERIFY(!box.isEmpty());
        touchDrag(QPoint(box.left() + 5, box.center().y()),
                  QPoint(box.right() - 5, box.center().y()), 10, holdMs);
        QCOMPARE(selection(), QString());
    }

    void dragOfLinkOrPictureStartsNoDrag_data()
    {
        QTest::addColumn<QString>("selector");
        QTest::addColumn<int>("holdMs");
        QTest::newRow("link") << "#link" << 0;
        QTest::newRow("link, held first") << "#link" << 800;
        QTest::newRow("picture") << "#img" << 0;
        QTest::newRow("picture, held first") << "#img" << 800;
    }
    void dragOfLinkOrPictureStartsNoDrag()
    {
        QFETCH(QString, selector);
        QFETCH(int, holdMs);
        const QPoint from = centreOf(selector);
        touchDrag(from, from + QPoint(120, 140), 10, holdMs);
        QCOMPARE(js("window.drags").toInt(), 0);
        QCOMPARE(selection(), QString());
        // The drag did not follow the link either.
        QCOMPARE(surface()->url().path(), QString("/gestures.html"));
    }

    // What the page cannot undo: no selection, menu, drag or zoom all the
    // same.
    void pageCannotUndoTheLockdown()
    {
        QVERIFY(open("/hostile.html"));
        // The page's own style sheet is the only one left in it.
        QCOMPARE(js("document.querySelectorAll('style').length").toInt(), 1);
        QTest::touchEvent(input(), m_touch).press(0, centreOf("#styled"), input());
        QTest::qWait(1500);
        QTest::touchEvent(input(), m_touch).release(0, centreOf("#styled"), input());
        QTest::qWait(300);
        QCOMPARE(selection(), QString());
        QCOMPARE(js("window.menus").toInt(), 0);
        const QRect text = WebTest::elementRect(surface(), "#plain");
        touchDrag(QPoint(text.left() + 5, text.center().y()),
                  QPoint(text.right() - 5, text.center().y()), 10, 800);
        QCOMPARE(selection(), QString());
        const QPoint link = centreOf("#link");
        touchDrag(link, link + QPoint(120, 140), 10, 800);
        QCOMPARE(js("window.drags").toInt(), 0);
        QCOMPARE(selection(), QString());
        QCOMPARE(surface()->url().path(), QString("/hostile.html"));
        pinch(centreOf("#plain") + QPoint(0, 150));
        expectUnzoomed();
    }

    void zoomKeysAndCtrlWheelChangeNothing_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Ctrl-+") << int(Qt::Key_Plus) << int(Qt::ControlModifier);
        QTest::newRow("Ctrl-=") << int(Qt::Key_Equal) << int(Qt::ControlModifier);
        QTest::newRow("Ctrl-minus") << int(Qt::Key_Minus) << int(Qt::ControlModifier);
        QTest::newRow("Ctrl-+ on the keypad")
            << int(Qt::Key_Plus) << int(Qt::ControlModifier | Qt::KeypadModifier);
        QTest::newRow("zoom-in key") << int(Qt::Key_ZoomIn) << int(Qt::NoModifier);
        QTest::newRow("Ctrl-wheel") << 0 << int(Qt::ControlModifier);
    }
    void zoomKeysAndCtrlWheelChangeNothing()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        for (int i = 0; i < 3; ++i) {
            if (key) {
                pressKey(key, modifiers);
            } else {
                const QPoint at = centreOf("#track");
                QWheelEvent wheel(at, input()->mapToGlobal(at), QPoint(), QPoint(0, 120),
                                  Qt::NoButton, Qt::KeyboardModifiers(modifiers), Qt::NoScrollPhase,
                                  false);
                QApplication::sendEvent(input(), &wheel);
            }
        }
        QTest::qWait(400);
        expectUnzoomed();
    }

    // Keys that navigate: the page, its history and its state stay.
    void navigationKeysDoNothing_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Alt-Left") << int(Qt::Key_Left) << int(Qt::AltModifier);
        QTest::newRow("Backspace") << int(Qt::Key_Backspace) << int(Qt::NoModifier);
        QTest::newRow("Back key") << int(Qt::Key_Back) << int(Qt::NoModifier);
        QTest::newRow("F5") << int(Qt::Key_F5) << int(Qt::NoModifier);
        QTest::newRow("Ctrl-R") << int(Qt::Key_R) << int(Qt::ControlModifier);
    }
    void navigationKeysDoNothing()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        const int history = openWithWayBack();
        QVERIFY(history >= 2);
        QSignalSpy loaded(surface(), &WebSurface::loadFinished);
        // Nothing has the focus in the page: the key is not a field's.
        js("document.activeElement && document.activeElement.blur()");
        loaded.clear();
        pressKey(key, modifiers);
        QVERIFY(!loaded.wait(1500));
        QCOMPARE(surface()->url().path(), QString("/gestures.html"));
        QCOMPARE(js("window.marker").toInt(), 42);
        QCOMPARE(js("history.length").toInt(), history);
    }

    void pageOwnTouchSliderStillMoves_data()
    {
        QTest::addColumn<QString>("selector");
        QTest::newRow("listening only") << "#track";
        QTest::newRow("cancelling the default") << "#claiming";
    }
    void pageOwnTouchSliderStillMoves()
    {
        QFETCH(QString, selector);
        const QRect track = WebTest::elementRect(surface(), selector);
        QVERIFY(!track.isEmpty());
        // To the end and past it: the finger leaves the track, the touch
        // stays the slider's.
        touchDrag(QPoint(track.left() + 5, track.center().y()),
                  QPoint(track.right() + 40, track.center().y()), 12);
        if (WebSurface::engineName() == "webkit")
            QEXPECT_FAIL("listening only",
                         "QtWebKit sends a page the rest of a touch only when its touchstart "
                         "cancelled the default, with the lockdown or without",
                         Abort);
        QVERIFY2(js("window.touches").toInt() >= 5, qPrintable(js("window.touches").toString()));
        QCOMPARE(js("window.sliderValue").toInt(), 100);
        QVERIFY(WebTest::elementRect(surface(), selector + " .thumb").left() > track.center().x());
        // Back again, halfway.
        touchDrag(QPoint(track.right() - 2, track.center().y()), track.center(), 8);
        const int half = js("window.sliderValue").toInt();
        QVERIFY2(half >= 49 && half <= 51, qPrintable(QString::number(half)));
        expectUnzoomed();
    }

    // The demo device's slider page: a finger drags its knob to the end,
    // the page shows the value; its picture goes to the build's screenshots.
    void demoSliderFollowsTheFinger()
    {
        QVERIFY(open("/slider.html"));
        QTRY_COMPARE_WITH_TIMEOUT(js("window.sliderValue").toInt(), 50, 3000);
        const QRect track = WebTest::elementRect(surface(), "#track");
        const QPoint knob = WebTest::elementRect(surface(), "#thumb").center();
        touchDrag(knob, QPoint(track.right() + 30, knob.y()), 10);
        QCOMPARE(js("window.sliderValue").toInt(), 100);
        QCOMPARE(js("document.getElementById('value').textContent").toString(), QString("100"));
        touchDrag(QPoint(track.right() - 30, knob.y()), QPoint(track.left() + 480, knob.y()), 8);
        const int value = js("window.sliderValue").toInt();
        QVERIFY2(value > 50 && value < 100, qPrintable(QString::number(value)));
        expectUnzoomed();
        const QString out = qEnvironmentVariable("TESSAL_BINARY_DIR") + "/screenshots";
        QVERIFY(QDir().mkpath(out));
        QVERIFY(m_window->grab().save(out + "/demo-slider-" + WebSurface::engineName() + ".png"));
    }

    // The fields of a form keep their caret and their selection.
    void fieldsTakeTextAndSelect_data()
    {
        QTest::addColumn<QString>("selector");
        QTest::addColumn<QString>("valueScript");
        QTest::addColumn<QString>("selectionScript");
        QTest::newRow("input") << "#field"
                               << "document.getElementById('field').value"
                               << "(function(){var f=document.getElementById('field');"
                                  "return f.value.substring(f.selectionStart,f.selectionEnd);})()";
        QTest::newRow("contenteditable") << "#edit"
                                         << "document.getElementById('edit').textContent"
                                         << "String(window.getSelection())";
    }
    void fieldsTakeTextAndSelect()
    {
        QFETCH(QString, selector);
        QFETCH(QString, valueScript);
        QFETCH(QString, selectionScript);
        touchTap(centreOf(selector));
        QTRY_COMPARE_WITH_TIMEOUT(js("document.activeElement.id").toString(), selector.mid(1),
                                  3000);
        QTest::keyClicks(keyTarget(), "Abc 1234");
        QTest::keyClick(keyTarget(), Qt::Key_Backspace);
        QTRY_COMPARE_WITH_TIMEOUT(js(valueScript).toString(), QString("Abc 123"), 3000);
        QTest::keyClick(keyTarget(), Qt::Key_Left, Qt::ShiftModifier);
        QTest::keyClick(keyTarget(), Qt::Key_Left, Qt::ShiftModifier);
        QTest::keyClick(keyTarget(), Qt::Key_Left, Qt::ShiftModifier);
        QTRY_COMPARE_WITH_TIMEOUT(js(selectionScript).toString(), QString("123"), 3000);
    }
};

QTEST_MAIN(TestGestures)
#include "tst_gestures.moc"
