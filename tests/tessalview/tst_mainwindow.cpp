// The main window as the front link drives it, against a real HTTP server on
// loopback: the waiting screen, page loads and refusals, the language, the
// front connector watch, and the choice of the receiver's listen address.
#include "httptestserver.h"
#include "kiosktestenv.h"
#include "listenaddress.h"
#include "logcapture.h"
#include "mainwindow.h"
#include "screensaver.h"
#include "settings.h"
#include "touchscreen.h"
#include "webtestsupport.h"
#include "webview.h"

#include <QLabel>
#include <QVBoxLayout>
#include <QtTest>

using Tessal::MainWindow;
using Tessal::Settings;
using Tessal::WebView;

namespace
{
QString html(MainWindow& window)
{
    return WebTest::html(window.getWebView()->surface());
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    KioskTestEnv m_env;
    HttpTestServer m_server;

    QByteArray baseIni() const
    {
        return "[UI]\nErrorImagePath=" + m_env.path("images").toLocal8Bit() +
               "\n[Network]\nFrontInterface=tst0\nRetryTimeout=60\n";
    }

    void setOperstate(const QByteArray& text)
    {
        QVERIFY(m_env.writeFile("sys/class/net/tst0/operstate", text));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY(m_server.start());
        m_server.page("/index.html", "<html><body><h1>K3P start</h1></body></html>");
        m_server.page("/values.html", "<html><body><h1>K3P values</h1></body></html>");
        QVERIFY(m_env.writeFile("images/default/error.png", HttpTestServer::tinyPng()));
        QVERIFY(m_env.writeFile("images/default/front.png", HttpTestServer::tinyPng()));
        QVERIFY(m_env.writeFile("images/fr/error.png", HttpTestServer::tinyPng()));
    }

    void init()
    {
        m_server.clear();
        QFile::remove(m_env.path("sys/class/net/tst0/operstate"));
        QVERIFY(m_env.loadIni(baseIni()));
    }

    // The touch that wakes a dark screen never reaches the page, whether it
    // comes as mouse events or as touch events, on whichever widget the
    // engine gives the page's input to; once lit, taps do reach it.
    void wakingTouchIsSwallowed()
    {
        QVERIFY(m_env.loadIni(baseIni() + "[UI]\nScreenSaverInterval=600000\n"));
        m_server.page("/touch.html",
                      "<html><body style='margin:0'><div id='pad' "
                      "style='position:absolute;left:0;top:0;width:400px;height:300px'></div>"
                      "<script>var seen = [];"
                      "['mousedown','click','touchstart'].forEach(function(t) {"
                      "  document.addEventListener(t, function() { seen.push(t); }, true); });"
                      "</script></body></html>");
        MainWindow window;
        window.resize(800, 480);
        window.show();
        WebView* view = window.getWebView();
        view->show();
        window.getLabel()->hide();
        Tessal::WebSurface* surface = view->surface();
        view->loadUrl(QUrl(m_server.url("/touch.html")));
        QVERIFY(WebTest::waitForLoad(surface));
        auto seen = [surface] { return WebTest::runJs(surface, "seen.join(',')").toString(); };
        auto* saver = Tessal::ScreenSaver::instance();
        const QPoint at(100, 100);
        TouchScreen_t touchScreen = QTest::createTouchDevice();

        // Lit: a tap reaches the page. QtWebEngine 6 drops the input that
        // comes before a freshly loaded page's first picture is on the
        // screen (up to half a second after the load ends), so the tap is
        // repeated until the page has one.
        QVERIFY(saver->active());
        QTRY_VERIFY_WITH_TIMEOUT((WebTest::tap(surface, at), seen().contains("click")), 5000);
        WebTest::runJs(surface, "seen = []");

        // Dark, mouse: the whole tap is swallowed, the screen lights up.
        saver->goSleep();
        QVERIFY(!saver->active());
        QTest::qWait(100);
        WebTest::tap(surface, at);
        QTRY_VERIFY(saver->active());
        QTest::qWait(500);
        QCOMPARE(seen(), QString());

        // Dark, touch: the same.
        saver->goSleep();
        QVERIFY(!saver->active());
        QTest::qWait(100);
        QTest::touchEvent(surface->inputWidget(), touchScreen).press(0, at, surface->inputWidget());
        QTest::touchEvent(surface->inputWidget(), touchScreen)
            .release(0, at, surface->inputWidget());
        QTRY_VERIFY(saver->active());
        QTest::qWait(500);
        QCOMPARE(seen(), QString());

        // Lit again: the next touch reaches the page.
        QTest::qWait(Tessal::MouseEventFilter::WakeTouchGraceMs + 100);
        QTest::touchEvent(surface->inputWidget(), touchScreen).press(0, at, surface->inputWidget());
        QTest::touchEvent(surface->inputWidget(), touchScreen)
            .release(0, at, surface->inputWidget());
        QTRY_VERIFY_WITH_TIMEOUT(seen().contains("touchstart"), 5000);
    }

    void waitingScreenAsBuilt()
    {
        MainWindow window;
        QCOMPARE(window.objectName(), QString("MainWindow"));
        QCOMPARE(window.windowTitle(), QString("TessalView"));
        QVERIFY(window.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(window.centralWidget()->objectName(), QString("centralWidget"));
        auto* layout = window.findChild<QVBoxLayout*>("verticalLayout");
        QVERIFY(layout);
        QCOMPARE(layout->spacing(), 6);
        QCOMPARE(layout->contentsMargins(), QMargins(0, 0, 0, 0));
        QLabel* label = window.getLabel();
        QCOMPARE(label->objectName(), QString("lblProgress"));
        QCOMPARE(label->font().pointSize(), 16);
        QCOMPARE(label->alignment(), Qt::AlignCenter);
        QCOMPARE(label->text(), QString("Waiting for network configuration..."));
        QVERIFY(!label->isHidden());
        // The view sits below the label and stays hidden until a page answers.
        QCOMPARE(layout->indexOf(label), 0);
        QCOMPARE(layout->indexOf(window.getWebView()), 1);
        QVERIFY(window.getWebView()->isHidden());
        QCOMPARE(window.getLanguage(), QString("default"));
    }

    void waitingTextComesFromSettings()
    {
        QVERIFY(m_env.loadIni(baseIni() + "[UI]\nMsgWaitingForNetworkConfiguration=Warten...\n"));
        MainWindow window;
        QCOMPARE(window.getLabel()->text(), QString("Warten..."));
    }

    void openUrlForceLoadsOnceUnlessForced()
    {
        MainWindow window;
        const QString url = m_server.url("/index.html");
        window.setDefaultUrl(url);
        QCOMPARE(window.getWebView()->getDefaultUrl(), QUrl(url));
        window.openUrlForce(url, true);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/index.html"), 1, 5000);
        QTRY_VERIFY(html(window).contains("K3P start"));
        QTRY_VERIFY(!window.getWebView()->isHidden());
        QVERIFY(window.getLabel()->isHidden());

        // The device has no icon; the engine must not go looking for one
        // (its failure would replace the page by the error page).
        QTest::qWait(300);
        QCOMPARE(m_server.count("/favicon.ico"), 0);
        QTRY_VERIFY_WITH_TIMEOUT(html(window).contains("K3P start"), 5000);

        LogCapture log;
        window.openUrlForce(url, false);
        QVERIFY(log.contains("Can't open url ( false ,  " + url + " )"));
        window.openUrlForce(url, true);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/index.html"), 2, 5000);
        QTest::qWait(100);
        QCOMPARE(m_server.count("/index.html"), 2);
        QCOMPARE(window.getLastUrl(), url);
        QCOMPARE(window.getDownloadUrl(), url);
    }

    void emptyAddressReloadsLastPageWildcardIsNeverLoaded()
    {
        MainWindow window;
        const QString url = m_server.url("/values.html");
        window.openUrlForce(url, true);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/values.html"), 1, 5000);
        window.openUrlForce("", true);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/values.html"), 2, 5000);
        // Unforced, the same page is not loaded again.
        LogCapture log;
        window.openUrlForce("", false);

        window.openUrlForce("0.0.0.0", true);
        window.openUrl("0.0.0.0");
        QTest::qWait(200);
        QCOMPARE(m_server.requests().size(), 2);
        QCOMPARE(window.getDownloadUrl(), url);
        QCOMPARE(window.getLastUrl(), url);
        QCOMPARE(log.count("Can't open url ("), 3);
    }

    void emptyAddressBeforeAnyPageShowsErrorPage()
    {
        MainWindow window;
        LogCapture log;
        window.openUrlForce("", true);
        QTRY_VERIFY_WITH_TIMEOUT(html(window).contains("/default/error.png"), 5000);
        QVERIFY(log.contains("Can't open url ( true ,   )"));
        QCOMPARE(m_server.requests().size(), 0);
    }

    void openUrlShowsConnectingThenThePage()
    {
        MainWindow window;
        const QString url = m_server.url("/index.html");
        LogCapture log;
        window.openUrl(url);
        QVERIFY(log.contains("MainWindow::openUrl " + url));
        QVERIFY(log.contains("Stop buzzer server: " + url));
        // The load starts from the event loop.
        QCOMPARE(m_server.requests().size(), 0);
        QTRY_VERIFY(log.contains("Downloading " + url));
        QCOMPARE(window.getLabel()->text(), QString("Connection in progress..."));
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/index.html"), 1, 5000);
        QTRY_VERIFY(!window.getWebView()->isHidden());
        QVERIFY(window.getLabel()->isHidden());
        QCOMPARE(window.getWebView()->getInitialUrl(), QUrl(url));

        window.openUrl(url);
        QVERIFY(log.contains("Can't open url (" + url + ")"));
        window.reloadUrl();
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/index.html"), 2, 5000);
    }

    void languageChoosesTheErrorPicture()
    {
        MainWindow window;
        LogCapture log;
        window.setLanguage("default");
        QCOMPARE(log.count("Set language to"), 0);
        window.setLanguage("fr");
        QCOMPARE(log.count("Set language to fr (was default )"), 2); // window and view
        QCOMPARE(window.getLanguage(), QString("fr"));
        QCOMPARE(window.getWebView()->getLanguage(), QString("fr"));
        // The front link's argument is not used: the window's language is.
        window.displayError("default");
        QTRY_VERIFY_WITH_TIMEOUT(html(window).contains("/fr/error.png"), 5000);
    }

    void keyPressesChangeNothing()
    {
        MainWindow window;
        window.show();
        window.openUrlForce(m_server.url("/index.html"), true);
        QTRY_VERIFY_WITH_TIMEOUT(html(window).contains("K3P start"), 5000);
        const int before = m_server.requests().size();
        QKeyEvent f5(QEvent::KeyPress, Qt::Key_F5, Qt::NoModifier);
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&window, &f5);
        QApplication::sendEvent(&window, &esc);
        QVERIFY(f5.isAccepted());
        QTest::qWait(100);
        QVERIFY(window.isVisible());
        QCOMPARE(m_server.requests().size(), before);
        QTRY_VERIFY_WITH_TIMEOUT(html(window).contains("K3P start"), 5000);
    }

    void frontConnectorStateFromOperstate_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("up");
        QTest::newRow("up") << QByteArray("up\n") << true;
        QTest::newRow("down") << QByteArray("down\n") << false;
        QTest::newRow("dormant") << QByteArray("dormant\n") << false;
        QTest::newRow("up on a later line") << QByteArray("unknown\nup\n") << true;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void frontConnectorStateFromOperstate()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, up);
        setOperstate(content);
        QCOMPARE(MainWindow::frontInterfacePath(), m_env.path("sys/class/net/tst0/operstate"));
        QCOMPARE(MainWindow::frontInterfaceUp(), up);
    }

    void missingOperstateCountsAsDown()
    {
        QVERIFY(!QFile::exists(MainWindow::frontInterfacePath()));
        QVERIFY(!MainWindow::frontInterfaceUp());
        QVERIFY(QDir().mkpath(m_env.path("sys/class/net/tst0/operstate")));
        QVERIFY(!MainWindow::frontInterfaceUp());
        QVERIFY(QDir().rmdir(m_env.path("sys/class/net/tst0/operstate")));
    }

    void frontConnectorShowsInfoPageThenReloadsLastPage()
    {
        MainWindow window;
        const QString url = m_server.url("/values.html");
        setOperstate("down\n");
        window.openUrlForce(url, true);
        QTRY_VERIFY_WITH_TIMEOUT(html(window).contains("K3P values"), 5000);

        // Plugged in: the window's own two-second watch shows the info page.
        LogCapture log;
        setOperstate("up\n");
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Load front connection info page"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(html(window).contains("/default/front.png"), 5000);
        // A steady state does nothing more.
        window.watchFrontInterface();
        QCOMPARE(log.count("Load front connection info page"), 1);

        // Unplugged: the last page comes back.
        const int before = m_server.count("/values.html");
        setOperstate("down\n");
        window.watchFrontInterface();
        QVERIFY(log.contains("Reload last page"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/values.html"), before + 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(html(window).contains("K3P values"), 5000);
        window.watchFrontInterface();
        QCOMPARE(log.count("Reload last page"), 1);
    }

    void listenAddressChoice()
    {
        int asked = 0;
        auto counting = [&asked] {
            ++asked;
            return QNetworkInterface::allInterfaces();
        };
        LogCapture log;
        // A bind address wins; the interfaces are not even looked at.
        QCOMPARE(Tessal::chooseListenAddress("192.0.2.10", "eth1", counting),
                 QString("192.0.2.10"));
        QCOMPARE(asked, 0);
        QCOMPARE(Tessal::chooseListenAddress("", "", counting), QString("0.0.0.0"));
        QCOMPARE(asked, 0);
        QVERIFY(log.contains("No UDP config, use default"));
        QCOMPARE(Tessal::chooseListenAddress("", "nosuchif9", counting), QString("0.0.0.0"));
        QCOMPARE(asked, 1);
        QVERIFY(log.contains("UDP interface not found, use default"));
        Tessal::chooseListenAddress("", "lo", counting);
        QVERIFY(log.contains("Interface found.  lo  = "));
    }

    // An interface without any IPv4 broadcast address gives the wildcard,
    // never an empty address text.
    void listenAddressWithoutBroadcastIsTheWildcard()
    {
        for (const QNetworkInterface& intf : QNetworkInterface::allInterfaces()) {
            bool hasBroadcast = false;
            for (const QNetworkAddressEntry& entry : intf.addressEntries())
                hasBroadcast = hasBroadcast || !entry.broadcast().isNull();
            if (hasBroadcast)
                continue;
            QCOMPARE(Tessal::chooseListenAddress("", intf.name()), QString("0.0.0.0"));
            return;
        }
        QSKIP("every interface of this machine has a broadcast address");
    }

    void listenAddressIsTheInterfaceBroadcast()
    {
        for (const QNetworkInterface& intf : QNetworkInterface::allInterfaces()) {
            const auto entries = intf.addressEntries();
            if (entries.isEmpty() || entries.first().broadcast().isNull())
                continue;
            QCOMPARE(Tessal::chooseListenAddress("", intf.name()),
                     entries.first().broadcast().toString());
            return;
        }
        QSKIP("no interface with a broadcast address on this machine");
    }

    // The shipped sample ini names every key with its default value.
    void sampleIniHoldsEveryDefault()
    {
        QFile sample(qEnvironmentVariable("TESSAL_SOURCE_DIR") + "/deploy/etc/tessal-view.ini");
        QVERIFY(sample.open(QIODevice::ReadOnly));
        const QByteArray text = sample.readAll();
        QVERIFY(m_env.writeFile("usr/local/etc/tessal-view.ini", text));
        Settings::resetToDefaults();
        QVERIFY(Settings::load());
        QSettings ini(m_env.path("usr/local/etc/tessal-view.ini"), QSettings::IniFormat);
        QStringList missing;
        QStringList differ;
#define CHECK_KEY(type, group, key, member, getter, def)                                           \
    if (!ini.contains(QString(group) + "/" + key))                                                 \
        missing << QString(group) + "/" + key;                                                     \
    if (Settings::getter() != Settings::type(def))                                                 \
        differ << QString(group) + "/" + key;
        TESSAL_SETTINGS_TABLE(CHECK_KEY)
#undef CHECK_KEY
        QVERIFY2(missing.isEmpty(), qPrintable("missing: " + missing.join(", ")));
        QVERIFY2(differ.isEmpty(), qPrintable("not the default: " + differ.join(", ")));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
