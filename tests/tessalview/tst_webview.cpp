// The web view and its page against a real HTTP server on loopback: what the
// device sees of the kiosk's requests, the built-in error and front pages,
// and the retry cycle that brings the device's page back.
#include "httptestserver.h"
#include "kiosktestenv.h"
#include "logcapture.h"
#include "mainwindow.h"
#include "settings.h"
#include "webtestsupport.h"
#include "webview.h"

#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QTcpSocket>
#include <QtTest>

using Tessal::MainWindow;
using Tessal::Settings;
using Tessal::WebView;

namespace
{
const QByteArray DevicePage = "<html><head><title>K3P</title></head><body><h1>K3P device</h1>"
                              "<img src='/logo.png'></body></html>";
const QByteArray BrokenPage =
    "<html><body><h1>K3P device</h1><img src='/broken.png'></body></html>";

QString html(WebView* view)
{
    return WebTest::html(view->surface());
}

// The colour in the middle of what the view shows.
QColor centreColour(WebView* view)
{
    const QImage shot = view->grab().toImage();
    return shot.pixelColor(shot.width() / 2, shot.height() / 3);
}

bool hasVisibleDialog()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QDialog*>(w) && w->isVisible())
            return true;
    return QApplication::activeModalWidget() != nullptr;
}
} // namespace

class TestWebView : public QObject
{
    Q_OBJECT

private:
    KioskTestEnv m_env;
    HttpTestServer m_server;

    QByteArray iniWithImages(const QByteArray& extra = QByteArray())
    {
        return "[UI]\nErrorImagePath=" + m_env.path("images").toLocal8Bit() +
               "\n[Network]\nRetryTimeout=1\nFrontInterface=tst0\n" + extra;
    }

    void writeImage(const QString& relative, const QColor& colour)
    {
        QImage image(800, 480, QImage::Format_RGB32);
        image.fill(colour);
        QDir().mkpath(QFileInfo(m_env.path(relative)).absolutePath());
        QVERIFY(image.save(m_env.path(relative)));
    }

    static void waitForLoad(WebView* view)
    {
        QSignalSpy spy(view, &WebView::loadFinished);
        QVERIFY(spy.wait(5000));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY(m_server.start());
        m_server.page("/index.html", DevicePage);
        m_server.page("/logo.png", HttpTestServer::tinyPng(), 200, "image/png");
        m_server.page("/broken.html", BrokenPage);
        m_server.page("/big.html", "<html><body><div style='width:3000px;height:3000px;"
                                   "background:#0a0'>big</div></body></html>");
        writeImage("images/default/error.png", QColor(200, 0, 0));
        writeImage("images/default/front.png", QColor(0, 160, 0));
        writeImage("images/fr/error.png", QColor(0, 0, 200));
    }

    void init()
    {
        m_server.clear();
        m_server.page("/broken.png", "missing", 404);
        QVERIFY(m_env.loadIni(iniWithImages()));
    }

    void pageAndItsImagesCarryAgentAndCredentials()
    {
        QVERIFY(m_env.loadIni(iniWithImages("[WebSite]\nLogin=admin\nPassword=\n")));
        MainWindow window;
        window.setDefaultUrl(m_server.url("/index.html"));
        window.openUrl(m_server.url("/index.html"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/logo.png"), 1, 5000);
        QCOMPARE(m_server.count("/index.html"), 1);
        for (const auto& request : m_server.requests()) {
            QCOMPARE(request.header("user-agent"), QByteArray("Tessal TessalView/2.0 WebKit"));
            QCOMPARE(request.header("authorization"), QByteArray("Basic YWRtaW46"));
        }
        // The first finished request replaces the waiting label by the view.
        QTRY_VERIFY(!window.getWebView()->isHidden());
        QVERIFY(window.getLabel()->isHidden());
        QTRY_VERIFY(html(window.getWebView()).contains("K3P device"));
    }

    void missingImageShowsErrorPageThenProbeBringsPageBack()
    {
        MainWindow window;
        WebView* view = window.getWebView();
        window.setDefaultUrl(m_server.url("/broken.html"));
        LogCapture log;
        window.openUrl(m_server.url("/broken.html"));
        QTRY_VERIFY_WITH_TIMEOUT(html(view).contains("error.png"), 5000);
        QVERIFY(!html(view).contains("K3P device"));
        QVERIFY(log.contains("HTTP ERROR"));
        QVERIFY(log.contains("WebView::handleLoadFinished() -> fail"));
        QVERIFY(view->isRetryPending());
        QVERIFY(!view->isProbing());
        QCOMPARE(m_server.count("/broken.html"), 1);

        // The device recovers; after the retry time the probe finds the start
        // page and the view loads it again.
        m_server.page("/broken.png", HttpTestServer::tinyPng(), 200, "image/png");
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/broken.html"), 3, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(html(view).contains("K3P device"), 5000);
        QVERIFY(log.contains("WebView::handleRetryTimer()"));
        QVERIFY(log.contains("WebView::loadUrl() " + m_server.url("/broken.html")));
        QVERIFY(!view->isProbing());
        // The probe comes from the plain manager, the reload from the page.
        const auto requests = m_server.requestsFor("/broken.html");
        QVERIFY(requests.at(1).header("user-agent") != "Tessal TessalView/2.0 WebKit");
        QCOMPARE(requests.at(2).header("user-agent"), QByteArray("Tessal TessalView/2.0 WebKit"));
    }

    void probeOfProtectedDeviceCarriesCredentials()
    {
        QVERIFY(m_env.loadIni(iniWithImages("[WebSite]\nLogin=admin\nPassword=pw\n")));
        MainWindow window;
        WebView* view = window.getWebView();
        window.setDefaultUrl(m_server.url("/index.html"));
        view->handleLoadFinished(false);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/index.html"), 2, 5000);
        for (const auto& request : m_server.requestsFor("/index.html"))
            QCOMPARE(request.header("authorization"), "Basic " + QByteArray("admin:pw").toBase64());
        QTRY_VERIFY_WITH_TIMEOUT(html(view).contains("K3P device"), 5000);
    }

    // Leaving a page while its images still load cancels them; that is no
    // connection error.
    void navigatingAwayIsNoError()
    {
        HttpTestServer::Route slow;
        slow.contentType = "image/png";
        slow.body = HttpTestServer::tinyPng();
        slow.delayMs = 1500;
        m_server.route("/slow.png", slow);
        m_server.page("/slowpage.html", "<html><body>slow<img src='/slow.png'></body></html>");
        MainWindow window;
        WebView* view = window.getWebView();
        LogCapture log;
        view->loadUrl(QUrl(m_server.url("/slowpage.html")));
        QTRY_COMPARE_WITH_TIMEOUT(m_server.count("/slow.png"), 1, 5000);
        view->loadUrl(QUrl(m_server.url("/index.html")));
        QTRY_VERIFY_WITH_TIMEOUT(html(view).contains("K3P device"), 5000);
        QTest::qWait(300);
        QTRY_VERIFY(html(view).contains("K3P device"));
        QVERIFY(!log.contains("wv: Load error page"));
        QVERIFY(!view->isRetryPending());
    }

    void unauthorizedEndsInErrorPageWithoutDialog()
    {
        HttpTestServer::Route challenge;
        challenge.status = 401;
        challenge.body = "<html><body>login required</body></html>";
        challenge.headers << qMakePair(QByteArray("WWW-Authenticate"),
                                       QByteArray("Basic realm=\"K3P\""));
        m_server.route("/secret.html", challenge);
        MainWindow window;
        window.show();
        window.openUrl(m_server.url("/secret.html"));
        QTRY_VERIFY_WITH_TIMEOUT(html(window.getWebView()).contains("error.png"), 5000);
        QVERIFY(!hasVisibleDialog());
        QCOMPARE(m_server.count("/secret.html"), 1);
    }

    // A server that takes the request and then keeps the page loading: after
    // the retry period (1 s here) the page is stopped, the waiting message
    // gives way to the error page and the retry cycle runs.
    void pageThatNeverFinishesIsAFailedLoad()
    {
        HttpTestServer::Route late;
        late.body = "<html><body>late</body></html>";
        late.delayMs = 4000;
        m_server.route("/endless.html", late);
        MainWindow window;
        WebView* view = window.getWebView();
        QCOMPARE(view->pageTimeoutMs(), 1000);
        LogCapture log;
        window.setDefaultUrl(m_server.url("/endless.html"));
        window.openUrl(m_server.url("/endless.html"));
        QTRY_VERIFY_WITH_TIMEOUT(view->isPageTimerRunning(), 2000);
        QVERIFY(!window.getLabel()->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(
            log.contains(" - Page '" + m_server.url("/endless.html") + "' not loaded within 1 s"),
            3000);
        QTRY_VERIFY_WITH_TIMEOUT(html(view).contains("error.png"), 2000);
        QVERIFY(window.getLabel()->isHidden());
        QVERIFY(!view->isHidden());
        QVERIFY(view->isRetryPending());
        QVERIFY(!view->isPageTimerRunning());
    }

    // Nobody stands at the kiosk to answer a page's dialog: no box appears,
    // the script gets its answer at once and goes on.
    void pageDialogsNeverShowAWindow()
    {
        m_server.page("/dialogs.html",
                      "<html><body><script>alert('one');"
                      "var c = confirm('two?'); var p = prompt('three?', 'default');"
                      "document.title = 'done ' + c + ' ' + p;</script></body></html>");
        MainWindow window;
        window.show();
        QStringList appeared;
        QTimer watch;
        // Under a modal box this still runs (its own loop serves timers):
        // note the box and close it so the test cannot hang.
        connect(&watch, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w != &window && w->isVisible() && w->isWindow()) {
                    appeared << w->metaObject()->className();
                    w->close();
                }
            }
        });
        watch.start(10);
        LogCapture log;
        window.setDefaultUrl(m_server.url("/dialogs.html"));
        window.openUrl(m_server.url("/dialogs.html"));
        QTRY_COMPARE_WITH_TIMEOUT(
            WebTest::runJs(window.getWebView()->surface(), "document.title").toString(),
            QString("done false null"), 5000);
        QVERIFY2(appeared.isEmpty(), qPrintable(appeared.join(", ")));
        QCOMPARE(log.count(" - Page alert: one"), 1);
        QCOMPARE(log.count(" - Page confirm answered false: two?"), 1);
        QCOMPARE(log.count(" - Page prompt answered null: three?"), 1);
    }

    void refusedConnectionShowsErrorPage()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();
        MainWindow window;
        window.openUrlForce(QString("http://127.0.0.1:%1/index.html").arg(port), true);
        QTRY_VERIFY_WITH_TIMEOUT(html(window.getWebView()).contains("error.png"), 5000);
        QTRY_VERIFY(!window.getWebView()->isHidden());
    }

    void secondFailureKeepsFirstExpiry()
    {
        QVERIFY(m_env.loadIni(iniWithImages("[Network]\nRetryTimeout=3\n")));
        MainWindow window;
        WebView* view = window.getWebView();
        view->handleLoadFinished(false);
        QVERIFY(view->isRetryPending());
        const int first = view->retryRemainingMs();
        QVERIFY(first > 2000);
        QTest::qWait(400);
        view->handleLoadFinished(false);
        QVERIFY(view->retryRemainingMs() <= first - 300);
        // A success report changes nothing.
        view->handleLoadFinished(true);
        QVERIFY(view->isRetryPending());
    }

    void retryPeriodComesFromSettingsZeroFallsBack()
    {
        QVERIFY(m_env.loadIni(iniWithImages("[Network]\nRetryTimeout=7\n")));
        {
            MainWindow window;
            QCOMPARE(window.getWebView()->retryIntervalMs(), 7000);
        }
        // Zero would probe a dead device in a busy loop.
        QVERIFY(m_env.loadIni(iniWithImages("[Network]\nRetryTimeout=0\n")));
        MainWindow window;
        QCOMPARE(window.getWebView()->retryIntervalMs(), 15000);
    }

    void failedProbeOnlyRearms()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const QString deadUrl = QString("http://127.0.0.1:%1/index.html").arg(closed.serverPort());
        closed.close();

        MainWindow window;
        WebView* view = window.getWebView();
        window.setDefaultUrl(deadUrl);
        LogCapture log;
        view->handleRetryTimer();
        QVERIFY(view->isProbing());
        QTRY_VERIFY_WITH_TIMEOUT(view->isRetryPending(), 5000);
        QVERIFY(view->isProbing());
        // Each further expiry only re-arms the timer: no new probe.
        view->handleRetryTimer();
        QCOMPARE(log.count("onDefault"), 1);
        QVERIFY(view->isRetryPending());
        // The next failed request starts the cycle over.
        view->handleLoadFinished(false);
        QVERIFY(!view->isProbing());
    }

    // A device that takes the connection but never answers must not hold the
    // probe for ever: it ends after one retry period and the timer re-arms,
    // so a later probe can find the device again.
    void stalledProbeEndsAfterTheRetryPeriod()
    {
        QVERIFY(m_env.loadIni(iniWithImages("[Network]\nRetryTimeout=1\n")));
        QTcpServer silent; // the kernel accepts; nobody ever reads or answers
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        MainWindow window;
        WebView* view = window.getWebView();
        window.setDefaultUrl(QString("http://127.0.0.1:%1/index.html").arg(silent.serverPort()));
        view->handleRetryTimer();
        QVERIFY(view->isProbing());
        QVERIFY(!view->isRetryPending());
        QTRY_VERIFY_WITH_TIMEOUT(view->isRetryPending(), 8000);
        QVERIFY(view->isProbing());
    }

    // A page load that fails while a probe still waits on a silent device
    // starts a new cycle: the older probe is released (its connection closed),
    // not left open for the life of the kiosk.
    void supersededProbeIsReleased()
    {
        QVERIFY(m_env.loadIni(iniWithImages("[Network]\nRetryTimeout=60\n")));
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        MainWindow window;
        WebView* view = window.getWebView();
        window.setDefaultUrl(QString("http://127.0.0.1:%1/index.html").arg(silent.serverPort()));
        view->handleRetryTimer();
        QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 5000);
        QTcpSocket* first = silent.nextPendingConnection();
        QVERIFY(first);
        view->handleLoadFinished(false);
        QVERIFY(!view->isProbing());
        view->handleRetryTimer();
        QVERIFY(view->isProbing());
        QTRY_COMPARE_WITH_TIMEOUT(first->state(), QAbstractSocket::UnconnectedState, 5000);
        // Releasing the old probe is not taken for the new one's failure.
        QVERIFY(view->isProbing());
    }

    void probeWithoutStartPageStaysProbing()
    {
        MainWindow window;
        WebView* view = window.getWebView();
        QVERIFY(view->getDefaultUrl().isEmpty());
        view->handleRetryTimer();
        QVERIFY(view->isProbing());
        QTRY_VERIFY_WITH_TIMEOUT(view->isRetryPending(), 5000);
        QVERIFY(view->isProbing());
        QCOMPARE(m_server.requests().size(), 0);
    }

    void builtInPageImageLookup_data()
    {
        QTest::addColumn<bool>("front");
        QTest::addColumn<QString>("lang");
        QTest::addColumn<QString>("expectedImage");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("error, language folder") << false << "fr"
                                                << "images/fr/error.png" << QColor(0, 0, 200);
        QTest::newRow("error, default folder") << false << "de"
                                               << "images/default/error.png" << QColor(200, 0, 0);
        QTest::newRow("front, fr falls back to default")
            << true << "fr"
            << "images/default/front.png" << QColor(0, 160, 0);
    }
    void builtInPageImageLookup()
    {
        QFETCH(bool, front);
        QFETCH(QString, lang);
        QFETCH(QString, expectedImage);
        QFETCH(QColor, colour);
        MainWindow window;
        window.resize(800, 480);
        window.show();
        WebView* view = window.getWebView();
        view->show();
        LogCapture log;
        if (front)
            view->displayInfoFront(lang);
        else
            view->displayError(lang);
        QVERIFY(log.contains(front ? "ws: Load info page ( " + lang + " )"
                                   : "wv: Load error page ( " + lang + " )"));
        QTRY_VERIFY2_WITH_TIMEOUT(
            html(view).contains("background-image:url(&quot;file://localhost" +
                                m_env.path(expectedImage) + "&quot;)"),
            qPrintable(html(view)), 5000);
        // The picture is really shown, not just named.
        QTRY_COMPARE_WITH_TIMEOUT(centreColour(view), colour, 5000);
        QVERIFY(!log.contains("HTTP ERROR"));
    }

    // A picture directory whose name is not URL-safe still shows its
    // picture, and a built-in page never turns into a loop of error pages.
    void oddImageDirectoryName()
    {
        const QString dir = m_env.path("odd #1 'dir'");
        QImage image(800, 480, QImage::Format_RGB32);
        image.fill(QColor(0, 0, 200));
        QVERIFY(QDir().mkpath(dir + "/default"));
        QVERIFY(image.save(dir + "/default/error.png"));
        QVERIFY(m_env.loadIni("[UI]\nErrorImagePath=" + dir.toLocal8Bit() + "\n"));
        MainWindow window;
        window.resize(800, 480);
        window.show();
        WebView* view = window.getWebView();
        view->show();
        LogCapture log;
        view->displayError("default");
        QTRY_COMPARE_WITH_TIMEOUT(centreColour(view), QColor(0, 0, 200), 5000);
        QTest::qWait(200);
        QCOMPARE(log.count("wv: Load error page"), 1);
        QVERIFY(!view->isRetryPending());
    }

    void builtInPagesFallBackToText()
    {
        QVERIFY(
            m_env.loadIni("[UI]\nErrorImagePath=" + m_env.path("noimages").toLocal8Bit() + "\n"));
        MainWindow window;
        WebView* view = window.getWebView();
        view->displayError("fr");
        QTRY_VERIFY_WITH_TIMEOUT(
            WebTest::plainText(view->surface()).contains("Can't find the error page"), 5000);
        view->displayInfoFront("default");
        QTRY_VERIFY_WITH_TIMEOUT(
            WebTest::plainText(view->surface()).contains("Can't find the info page"), 5000);
    }

    void deviceAndReleaseShownOnErrorPage()
    {
        MainWindow window;
        WebView* view = window.getWebView();
        view->displayError("default");
        QTRY_VERIFY_WITH_TIMEOUT(
            WebTest::plainText(view->surface()).contains("DeviceUndef vReleaseUndef"), 5000);
        Settings::setInfoDevice("Meter A");
        Settings::setInfoRelease("2.1");
        view->displayError("default");
        QTRY_VERIFY_WITH_TIMEOUT(WebTest::plainText(view->surface()).contains("Meter A v2.1"),
                                 5000);
        // Shown as text: markup in the device text is not interpreted.
        Settings::setInfoDevice("<b>Meter</b>");
        view->displayInfoFront("default");
        QTRY_VERIFY_WITH_TIMEOUT(WebTest::plainText(view->surface()).contains("<b>Meter</b> v2.1"),
                                 5000);
        Settings::setInfoDevice("DeviceUndef");
        Settings::setInfoRelease("ReleaseUndef");
    }

    void textCannotBeSelectedAndNoScrollBars()
    {
        MainWindow window;
        window.resize(800, 480);
        window.show();
        WebView* view = window.getWebView();
        view->show();
        QCOMPARE(view->getCustomCss(),
                 QString("data:text/css;charset=utf-8;base64,Ym9keSB7IC13ZWJraXQtdXNlci1zZWxlY3Q6"
                         "IG5vbmU7IH0="));
        view->loadUrl(QUrl(m_server.url("/big.html")));
        waitForLoad(view);
        Tessal::WebSurface* surface = view->surface();
        QCOMPARE(
            WebTest::runJs(surface, "getComputedStyle(document.body).webkitUserSelect").toString(),
            QString("none"));
        QVERIFY(WebTest::runJs(surface, "document.documentElement.scrollHeight").toInt() > 2000);
        // A scroll bar would take its width and height from the page's area.
        QCOMPARE(WebTest::runJs(surface, "window.innerWidth - document.documentElement.clientWidth")
                     .toInt(),
                 0);
        // Nor is any bar drawn: the page's green reaches the view's corners.
        QTRY_VERIFY_WITH_TIMEOUT(
            [view] {
                const QImage shot = view->grab().toImage();
                const QColor corner = shot.pixelColor(shot.width() - 3, shot.height() - 3);
                return corner.green() > 150 && corner.red() < 60 && corner.blue() < 60;
            }(),
            5000);
    }

    void navigationIsReportedAsUrlChange()
    {
        MainWindow window;
        WebView* view = window.getWebView();
        QSignalSpy changed(view, &WebView::urlChanged);
        view->loadUrl(QUrl(m_server.url("/index.html")));
        waitForLoad(view);
        QVERIFY(changed.count() >= 1);
        QCOMPARE(changed.first().first().toUrl(), QUrl(m_server.url("/index.html")));
        QCOMPARE(view->currentUrl(), QUrl(m_server.url("/index.html")));
        QCOMPARE(view->url(), QUrl(m_server.url("/index.html")));
    }

    // Content the engine cannot show goes to the download handler, which
    // here finds no USB drive and says so.
    void unsupportedContentBecomesADownload()
    {
        QVERIFY(m_env.loadIni(
            iniWithImages("[Files]\nDirectory=" + m_env.path("no-usb").toLocal8Bit() +
                          "\nUsbDriveFile=" + m_env.path("no-usb-marker").toLocal8Bit() + "\n")));
        HttpTestServer::Route file;
        file.contentType = "application/octet-stream";
        file.body = "a;b\n1;2\n";
        file.headers << qMakePair(QByteArray("Content-Disposition"),
                                  QByteArray("attachment; filename=report.csv"));
        m_server.route("/files/report.csv", file);
        MainWindow window;
        window.show();
        QString popupText;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                if (auto* label = modal->findChild<QLabel*>("lblMsg"))
                    popupText = label->text();
                modal->close();
            }
        });
        poll.start(20);
        LogCapture log;
        window.getWebView()->loadUrl(QUrl(m_server.url("/files/report.csv")));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("WebPage::UnsupportedContent"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(popupText, QString("USB drive not detected."), 5000);
        QVERIFY(log.contains("Download request for '" + m_server.url("/files/report.csv") + "'"));
        // QtWebEngine's own download is declined and the kiosk fetches the
        // file again through its network access manager: the device sees
        // the engine's request (ended after the headers) and the kiosk's.
        const int requests = Tessal::WebSurface::engineName() == "webengine" ? 2 : 1;
        QCOMPARE(m_server.count("/files/report.csv"), requests);
    }

    // A picture of the error page as the unit shows it, with the shipped
    // image, for a person to look at.
    void errorPageScreenshot()
    {
        const QString shipped = qEnvironmentVariable("TESSAL_SOURCE_DIR") + "/deploy/share/images";
        QVERIFY(QFile::exists(shipped + "/default/error.png"));
        QVERIFY(m_env.loadIni("[UI]\nErrorImagePath=" + shipped.toLocal8Bit() + "\n"));
        Settings::setInfoDevice("K3P");
        Settings::setInfoRelease("2.0.1");
        MainWindow window;
        window.resize(800, 480);
        window.show();
        WebView* view = window.getWebView();
        view->show();
        window.getLabel()->hide();
        view->displayError("en");
        // The red band along the top of the shipped picture.
        QTRY_VERIFY_WITH_TIMEOUT(view->grab().toImage().pixelColor(20, 7).red() > 150 &&
                                     view->grab().toImage().pixelColor(20, 7).green() < 80,
                                 5000);
        const QString out = qEnvironmentVariable("TESSAL_BINARY_DIR") + "/screenshots";
        QVERIFY(QDir().mkpath(out));
        QVERIFY(window.grab().save(out + "/error-page.png"));
        Settings::setInfoDevice("DeviceUndef");
        Settings::setInfoRelease("ReleaseUndef");
    }
};

QTEST_MAIN(TestWebView)
#include "tst_webview.moc"
