// The on-screen keyboard in the main window and in the download dialog, on a
// real X server (Xvfb, 800 x 480) with Qt's own input method: the kiosk is
// driven by touch events only, on pages of a real HTTP server.
#include "filedialog.h"
#include "httptestserver.h"
#include "keyboardpanel.h"
#include "kiosktestenv.h"
#include "mainwindow.h"
#include "screensaver.h"
#include "settings.h"
#include "webtestsupport.h"
#include "webview.h"

#include <QLabel>
#include <QLineEdit>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

using Tessal::KeyboardPanel;
using Tessal::MainWindow;
using Tessal::Settings;

namespace
{

const QByteArray FormPage =
    "<html><head><meta charset='utf-8'></head>"
    "<body style='margin:0;font-size:20px'>"
    "<input id='name' type='text' style='margin:8px;width:300px;height:40px;font-size:20px'>"
    "<input id='secret' type='password' style='margin:8px;width:300px;height:40px'>"
    "<div id='away' style='margin:8px;width:600px;height:120px;background:#ddd'>label</div>"
    "<div style='height:200px'></div>"
    "<input id='bottom' type='text' style='margin:8px;width:300px;height:40px'>"
    "</body></html>";

// Every item below `item` in the QML tree.
void collect(QQuickItem* item, QList<QQuickItem*>& out)
{
    out << item;
    const auto children = item->childItems();
    for (QQuickItem* child : children)
        collect(child, out);
}

} // namespace

class TestVirtualKeyboard : public QObject
{
    Q_OBJECT
private:
    KioskTestEnv m_env;
    HttpTestServer m_server;
    QTouchDevice* m_touchScreen = nullptr;

    // A touch (press and release) at `pos` in `window`'s coordinates, given
    // to the window system's queue like a real touch screen's.
    void touch(QWidget* window, const QPoint& pos)
    {
        QWindow* handle = window->windowHandle();
        QTest::touchEvent(handle, m_touchScreen).press(0, pos, handle);
        QTest::touchEvent(handle, m_touchScreen).release(0, pos, handle);
        QTest::qWait(50);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY(m_server.start());
        m_server.page("/form.html", FormPage);
        m_touchScreen = QTest::createTouchDevice(QTouchDevice::TouchScreen);
    }

    void explore()
    {
        QVERIFY(m_env.loadIni("[UI]\nScreenSaverInterval=0\n"));
        MainWindow window;
        window.setGeometry(0, 0, 800, 480);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.getLabel()->hide();
        window.getWebView()->show();
        auto* surface = window.getWebView()->surface();
        window.getWebView()->loadUrl(QUrl(m_server.url("/form.html")));
        QVERIFY(WebTest::waitForLoad(surface));
        KeyboardPanel* kb = window.getKeyboard();
        QVERIFY(kb);
        const QRect r = WebTest::elementRect(surface, "#name");
        const QPoint at = window.getWebView()->mapTo(&window, r.center());
        touch(&window, at);
        QTRY_VERIFY_WITH_TIMEOUT(kb->isActive(), 5000);
        qDebug() << kb->geometry() << window.getWebView()->geometry();
        QList<QQuickItem*> items;
        collect(kb->rootObject(), items);
        for (QQuickItem* i : items) {
            if (i->property("key").isValid() || i->objectName().size())
                qDebug() << i->metaObject()->className() << i->objectName()
                         << i->property("key") << i->property("text") << i->isVisible()
                         << i->mapRectToScene(QRectF(0, 0, i->width(), i->height()));
        }
    }
};

int main(int argc, char** argv)
{
    KeyboardPanel::prepareInputMethod(true);
    QApplication app(argc, argv);
    TestVirtualKeyboard test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_virtualkeyboard.moc"
