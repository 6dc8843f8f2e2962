// Download and upload through the kiosk's own window, view and page: what a
// person at the unit does, from the link on the device's page to the file on
// the drive, and from the drive to the device's form.
#include "logcapture.h"
#include "mainwindow.h"
#include "usbtestsupport.h"
#include "webtestsupport.h"

#include <QGuiApplication>
#include <QScreen>
#include "webview.h"

#include <QScopeGuard>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

using Tessal::MainWindow;

class TestUsbKiosk : public QObject
{
    Q_OBJECT

private:
    UsbUnit m_unit;
    HttpServer m_server;
    DialogDriver m_driver;

    // A device page with one link, #csv, in its top left corner.
    static HttpRoute linkPage(const QByteArray& href)
    {
        HttpRoute page;
        page.contentType = "text/html";
        page.body = "<html><body style='margin:0'><a id='csv' href='" + href +
                    "' style='position:absolute;left:0;top:0;width:200px;height:80px'>CSV</a>"
                    "</body></html>";
        return page;
    }

    // The engine's render processes among this process's descendants (an
    // engine process with a compositor thread), each with its seccomp mode
    // and whether its user and pid namespaces are other than ours.
    struct Renderer_s {
        QString pid;
        QString seccomp;
        bool ownNamespaces;
    };
    static QList<Renderer_s> renderers()
    {
        QHash<QString, QString> parent;
        for (const QString& pid : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs)) {
            QFile stat("/proc/" + pid + "/stat");
            if (stat.open(QIODevice::ReadOnly)) {
                const QList<QByteArray> f = stat.readAll().split(')').last().split(' ');
                if (f.size() > 2)
                    parent.insert(pid, QString::fromLatin1(f[2]));
            }
        }
        const QString self = QString::number(::getpid());
        auto ours = [&](QString pid) {
            for (int depth = 0; depth < 16 && parent.contains(pid); ++depth) {
                pid = parent.value(pid);
                if (pid == self)
                    return true;
            }
            return false;
        };
        // A process in a pid namespace below ours has more pids in NSpid than
        // we have; one in a user namespace of its own has another id map.
        // Both are readable without ptrace access, which a sandboxed process
        // does not grant.
        auto pidDepth = [](const QString& pid) -> int {
            QFile status("/proc/" + pid + "/status");
            if (status.open(QIODevice::ReadOnly))
                for (const QByteArray& line : status.readAll().split('\n'))
                    if (line.startsWith("NSpid:"))
                        return int(line.mid(6).simplified().split(' ').size());
            return 0;
        };
        auto uidMap = [](const QString& pid) {
            QFile map("/proc/" + pid + "/uid_map");
            return map.open(QIODevice::ReadOnly) ? map.readAll().simplified() : QByteArray();
        };
        QList<Renderer_s> found;
        for (auto it = parent.cbegin(); it != parent.cend(); ++it) {
            if (!ours(it.key()))
                continue;
            bool compositor = false;
            for (const QString& task : QDir("/proc/" + it.key() + "/task").entryList(QDir::Dirs)) {
                QFile comm("/proc/" + it.key() + "/task/" + task + "/comm");
                if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "Compositor")
                    compositor = true;
            }
            QFile status("/proc/" + it.key() + "/status");
            if (!compositor || !status.open(QIODevice::ReadOnly))
                continue;
            const QByteArray text = status.readAll();
            QString seccomp;
            for (const QByteArray& line : text.split('\n'))
                if (line.startsWith("Seccomp:"))
                    seccomp = QString::fromLatin1(line.mid(8).trimmed());
            const QByteArray map = uidMap(it.key());
            found.append(
                {it.key(), seccomp,
                 pidDepth(it.key()) > pidDepth(self) && !map.isEmpty() && map != uidMap(self)});
        }
        return found;
    }
    // Whether this user may make a user namespace here at all: the kernel
    // refuses one to a process in a chroot (a build container), where the
    // sandbox has its seccomp filter only, and only that is checked.
    static bool userNamespacesHere()
    {
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(::unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
        int status = 0;
        return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }
    static bool sandboxed(const Renderer_s& r)
    {
        return r.seccomp == "2" && (r.ownNamespaces || !userNamespacesHere());
    }
    static QStringList sandboxedRenderers()
    {
        QStringList pids;
        for (const Renderer_s& r : renderers())
            if (sandboxed(r))
                pids << r.pid;
        return pids;
    }
    static QStringList unsandboxedRenderers()
    {
        QStringList pids;
        for (const Renderer_s& r : renderers())
            if (!sandboxed(r))
                pids << r.pid + " (Seccomp " + r.seccomp + ")";
        return pids;
    }

private slots:
    void initTestCase()
    {
        // The front connector watch reads a file that is not there, and the
        // retry timer stays far away.
        QVERIFY(m_unit.create("[Network]\nFrontInterface=tst0\nRetryTimeout=60\n"));
        QVERIFY(QDir(m_unit.root()).mkpath("xdg"));
        qputenv("XDG_RUNTIME_DIR", (m_unit.root() + "/xdg").toLocal8Bit());
        QVERIFY(m_server.startServing());
    }

    void init()
    {
        m_unit.clearDrive();
        m_unit.clearRemounts();
        m_driver.reset();
        m_driver.beforeAnswer(nullptr);
    }

    void linkOnDevicePageSavesToDrive()
    {
        m_server.setRoute("/index.html", linkPage("/export/report"));
        HttpRoute report;
        report.contentDisposition = "attachment; filename=\"../report.csv\"";
        report.body = patternBytes(3 * 1024 * 1024);
        m_server.setRoute("/export/report", report);
        m_driver.answerFileDialog(DialogDriver::Answer::Accept);

        LogCapture log;
        MainWindow window;
        window.resize(800, 480);
        window.show();
        Tessal::WebView* view = window.getWebView();
        QSignalSpy loaded(view, &Tessal::WebView::loadFinished);
        view->loadUrl(QUrl(m_server.url("/index.html")));
        QVERIFY(loaded.wait(10000));
        if (::geteuid() != 0 && Tessal::WebSurface::engineName() == "webengine") {
            // Run as an ordinary user: the page is in a sandboxed render
            // process.
            if (!userNamespacesHere())
                qInfo("no user namespaces for this user here: the render processes' namespaces "
                      "are not checked");
            QTRY_VERIFY_WITH_TIMEOUT(!sandboxedRenderers().isEmpty(), 10000);
            QVERIFY2(unsandboxedRenderers().isEmpty(),
                     qPrintable("render processes without the sandbox: " +
                                unsandboxedRenderers().join(' ')));
        }
        QVERIFY(WebTest::tapElement(view->surface(), "#csv"));

        QTRY_VERIFY_WITH_TIMEOUT(log.contains("RemountUSB ro"), 20000);
        QCOMPARE(m_unit.driveFiles(), QStringList({"report.csv"}));
        QVERIFY(m_unit.readDriveFile("report.csv") == report.body);
        QCOMPARE(m_driver.fileDialogs.size(), 1);
        QCOMPARE(m_driver.fileDialogs[0].name, QString("report.csv"));
        QCOMPARE(m_driver.popups, QStringList({"Download complete"}));
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
    }

    void brokenDownloadLeavesNothing()
    {
        HttpRoute cut;
        cut.contentDisposition = "attachment; filename=log.bin";
        cut.body = patternBytes(6 * 1024 * 1024);
        cut.cutAfter = 2 * 1024 * 1024;
        m_server.setRoute("/export/log", cut);
        m_driver.answerFileDialog(DialogDriver::Answer::Accept);

        LogCapture log;
        MainWindow window;
        window.resize(800, 480);
        window.show();
        window.getWebView()->loadUrl(QUrl(m_server.url("/export/log")));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("RemountUSB ro"), 20000);
        QVERIFY(m_unit.driveFiles().isEmpty());
        QCOMPARE(m_driver.popups.size(), 1);
        QVERIFY2(m_driver.popups[0].startsWith("Error: "), qPrintable(m_driver.popups[0]));
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
    }

    // A user who takes longer over the file dialog than the page time-out
    // must find the device's page still there afterwards: the load that
    // became the download never reports its end, and it is no stalled page.
    void downloadOutlastingPageTimeoutKeepsPage_data()
    {
        QTest::addColumn<bool>("fromFrame");
        QTest::newRow("link on the page") << false;
        QTest::newRow("hidden frame") << true;
    }

    void downloadOutlastingPageTimeoutKeepsPage()
    {
        QFETCH(bool, fromFrame);
        QVERIFY(m_unit.create("[Network]\nFrontInterface=tst0\nRetryTimeout=1\n"));
        const auto restore = qScopeGuard([this] {
            m_driver.beforeAnswer(nullptr);
            m_unit.create("[Network]\nFrontInterface=tst0\nRetryTimeout=60\n");
        });
        m_server.setRoute("/device.html", linkPage("/export/slow"));
        HttpRoute report;
        report.contentDisposition = "attachment; filename=slow.csv";
        report.body = patternBytes(512 * 1024);
        m_server.setRoute("/export/slow", report);
        m_driver.answerFileDialog(DialogDriver::Answer::Accept);
        // The user reads the dialog for more than the page time-out.
        m_driver.beforeAnswer([] { QTest::qWait(1600); });

        LogCapture log;
        MainWindow window;
        window.resize(800, 480);
        window.show();
        Tessal::WebView* view = window.getWebView();
        QCOMPARE(view->pageTimeoutMs(), 1000);
        QSignalSpy loaded(view, &Tessal::WebView::loadFinished);
        view->loadUrl(QUrl(m_server.url("/device.html")));
        QVERIFY(loaded.wait(10000));
        if (fromFrame) {
            WebTest::runJs(view->surface(), "var f = document.createElement('iframe');"
                                            "f.style.display = 'none'; f.src = '/export/slow';"
                                            "document.body.appendChild(f);");
        } else {
            QVERIFY(WebTest::tapElement(view->surface(), "#csv"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("RemountUSB ro"), 20000);
        QCOMPARE(m_driver.popups, QStringList({"Download complete"}));
        QVERIFY(m_unit.readDriveFile("slow.csv") == report.body);
        // Longer than a page time-out after the download: nothing stops the page.
        QTest::qWait(1500);
        QVERIFY2(!log.contains("not loaded within"), qPrintable(log.lines().join("\n")));
        QVERIFY(!view->isPageTimerRunning());
        QVERIFY(!view->isRetryPending());
        // The page on screen is still the one the kiosk reports (the blanking
        // and the crash marker go by it), not the download's address.
        QCOMPARE(view->currentUrl(), QUrl(m_server.url("/device.html")));
        QVERIFY2(!WebTest::elementRect(view->surface(), "#csv").isEmpty(),
                 qPrintable(view->surface()->url().toString() + " " +
                            WebTest::html(view->surface()).left(300)));
    }

    // A picture, for a person to look at, of a download as the unit shows
    // it: the progress bar over the device's page. Only under a window
    // system (xvfb-run) and when TESSAL_SCREENSHOT_DIR names where it goes.
    void downloadProgressScreenshot()
    {
        const QString out = qEnvironmentVariable("TESSAL_SCREENSHOT_DIR");
        if (out.isEmpty() || QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs TESSAL_SCREENSHOT_DIR and an X display");
        m_server.setRoute("/index.html", linkPage("/export/big"));
        HttpRoute big;
        big.contentDisposition = "attachment; filename=big.bin";
        big.body = patternBytes(4 * 1024 * 1024);
        big.holdAfter = 1024 * 1024;
        m_server.setRoute("/export/big", big);
        m_driver.answerFileDialog(DialogDriver::Answer::Accept);

        LogCapture log;
        MainWindow window;
        window.setGeometry(0, 0, 800, 480);
        window.show();
        Tessal::WebView* view = window.getWebView();
        view->show();
        window.getLabel()->hide();
        view->loadUrl(QUrl(m_server.url("/index.html")));
        QVERIFY(WebTest::waitForLoad(view->surface()));
        QTest::qWait(500);
        QVERIFY(WebTest::tapElement(view->surface(), "#csv"));
        QTRY_VERIFY_WITH_TIMEOUT(m_driver.progressPopups >= 1, 10000);
        QTest::qWait(700);
        QVERIFY(QDir().mkpath(out));
        const QString shot =
            out + "/download-progress-" + Tessal::WebSurface::engineName() + ".png";
        QVERIFY(QGuiApplication::primaryScreen()->grabWindow(0).save(shot));
        m_server.release();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("RemountUSB ro"), 20000);
        QCOMPARE(m_driver.popups, QStringList({"Download complete"}));
    }

    void driveFileFillsDeviceForm()
    {
        HttpRoute form;
        form.contentType = "text/html";
        form.body = "<html><body style='margin:0'>"
                    "<form method='post' action='/upload' enctype='multipart/form-data'>"
                    "<input type='file' name='cfg' id='cfg' "
                    "style='position:absolute;left:0;top:0;width:300px;height:60px'>"
                    "</form></body></html>";
        m_server.setRoute("/form.html", form);
        const QByteArray config = patternBytes(64 * 1024);
        QVERIFY(m_unit.writeDriveFile("device.cfg", config));
        m_driver.answerFileDialog(DialogDriver::Answer::SelectThenAccept, "device.cfg");

        MainWindow window;
        window.resize(800, 480);
        window.show();
        Tessal::WebView* view = window.getWebView();
        QSignalSpy loaded(view, &Tessal::WebView::loadFinished);
        view->loadUrl(QUrl(m_server.url("/form.html")));
        QVERIFY(loaded.wait(10000));
        QVERIFY(WebTest::tapElement(view->surface(), "#cfg"));
        QTRY_COMPARE_WITH_TIMEOUT(m_driver.fileDialogs.size(), 1, 5000);

        const int before = m_server.requestCount("POST");
        WebTest::runJs(view->surface(), "document.forms[0].submit()");
        QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount("POST"), before + 1, 10000);
        const HttpRequest request = m_server.requests().last();
        QVERIFY(request.body.contains("filename=\"device.cfg\""));
        QVERIFY(request.body.contains(config));
        QVERIFY(m_unit.remounts().isEmpty());
    }
};

QTEST_MAIN(TestUsbKiosk)
#include "tst_usbkiosk.moc"
