// Download to the USB drive: file names from the server, unique names, the
// drive refused when it is not there or not mounted safely, the confirmation
// dialog, the remount script around the write, large bodies and broken
// connections, all through a real web page and a real HTTP server.
#include "downloadhandler.h"
#include "logcapture.h"
#include "seampage.h"
#include "usbtestsupport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QWidget>

#include <csignal>
#include <sys/resource.h>

using Tessal::DownloadHandler;

namespace
{

const QRegularExpression timeStampName("^\\d{8}-\\d{6}$");

} // namespace

class TestUsbDownload : public QObject
{
    Q_OBJECT

private:
    UsbUnit m_unit;
    HttpServer m_server;
    QWidget m_window;
    DialogDriver m_driver;
    QByteArray m_big;

    // Loads `path` in a fresh page and waits until the handler has finished
    // with it: a result of start() and, when a file was opened, the "ro"
    // remount that ends every download.
    bool download(const QByteArray& path, LogCapture& log, int timeoutMs = 20000)
    {
        SeamPage page(&m_window);
        page.load(QUrl(m_server.url(QString::fromLatin1(path))));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (page.results.isEmpty())
                continue;
            const bool fileOpened = log.contains("File will be saved to");
            if (!fileOpened || log.contains("RemountUSB ro"))
                return true;
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_unit.create());
        QVERIFY(m_server.startServing());
        m_window.resize(800, 480);
        m_window.show();
        m_big = patternBytes(50 * 1024 * 1024);
    }

    void init()
    {
        m_unit.clearDrive();
        m_unit.clearRemounts();
        QVERIFY(m_unit.plugDrive());
        QVERIFY(m_unit.installRemountScript());
        m_driver.reset();
        m_driver.answerFileDialog(DialogDriver::Answer::Accept);
        m_driver.beforeAnswer(nullptr);
    }

    // --- names -----------------------------------------------------------

    void fileNameRules_data()
    {
        QTest::addColumn<QByteArray>("disposition");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("expected"); // "<time>" for a time stamp

        QTest::newRow("plain") << QByteArray("attachment; filename=report.csv")
                               << "http://d/export/x.bin"
                               << "report.csv";
        QTest::newRow("quoted") << QByteArray("attachment; filename=\"report.csv\"")
                                << "http://d/x.bin"
                                << "report.csv";
        QTest::newRow("later part wins")
            << QByteArray("attachment; filename=a.txt;;  filename=b.txt ") << "http://d/x.bin"
            << "b.txt";
        QTest::newRow("key is case-sensitive")
            << QByteArray("attachment; FILENAME=a.txt") << "http://d/export/data.txt"
            << "data.txt";
        QTest::newRow("parent path")
            << QByteArray("attachment; filename=../../etc/passwd") << "http://d/x.bin"
            << "passwd";
        QTest::newRow("quoted parent path")
            << QByteArray("attachment; filename=\"../evil.csv\"") << "http://d/x.bin"
            << "evil.csv";
        QTest::newRow("absolute path")
            << QByteArray("attachment; filename=/etc/shadow") << "http://d/x.bin"
            << "shadow";
        QTest::newRow("backslashes")
            << QByteArray("attachment; filename=\"..\\..\\win.ini\"") << "http://d/x.bin"
            << "win.ini";
        QTest::newRow("dot-dot falls back to url")
            << QByteArray("attachment; filename=\"..\"") << "http://d/export/data.txt"
            << "data.txt";
        QTest::newRow("trailing slash falls back to url")
            << QByteArray("attachment; filename=dir/") << "http://d/export/data.txt"
            << "data.txt";
        QTest::newRow("empty quotes falls back to url")
            << QByteArray("attachment; filename=\"\"") << "http://d/export/data.txt"
            << "data.txt";
        QTest::newRow("no header") << QByteArray() << "http://d/export/data.txt?x=1"
                                   << "data.txt";
        QTest::newRow("encoded slashes in url") << QByteArray() << "http://d/a/..%2F..%2Fescape.txt"
                                                << "escape.txt";
        QTest::newRow("url ends with slash") << QByteArray() << "http://d/export/"
                                             << "<time>";
        QTest::newRow("url dot-dot") << QByteArray("attachment; filename=.") << "http://d/export/.."
                                     << "<time>";
        QTest::newRow("control characters")
            << QByteArray("attachment; filename=a\tb.txt") << "http://d/x.bin"
            << "a_b.txt";
    }

    void fileNameRules()
    {
        QFETCH(QByteArray, disposition);
        QFETCH(QString, url);
        QFETCH(QString, expected);
        LogCapture log;
        const QString name = DownloadHandler::fileNameFor(disposition, QUrl(url));
        if (expected == "<time>") {
            QVERIFY2(timeStampName.match(name).hasMatch(), qPrintable(name));
            QVERIFY(log.contains("No filename specified, using '" + name + "'"));
        } else {
            QCOMPARE(name, expected);
            QVERIFY(!log.contains("No filename specified"));
        }
    }

    // --- downloads through the page -------------------------------------

    void sameNameThreeTimesGetsNumbered()
    {
        HttpRoute route;
        route.contentDisposition = "attachment; filename=report.csv";
        route.body = "a;b;c\n1;2;3\n";
        m_server.setRoute("/report", route);

        for (int i = 0; i < 3; ++i) {
            LogCapture log;
            QVERIFY(download("/report", log));
        }
        QCOMPARE(m_unit.driveFiles(), QStringList({"report-1.csv", "report-2.csv", "report.csv"}));
        for (const QString& name : m_unit.driveFiles())
            QCOMPARE(m_unit.readDriveFile(name), route.body);
        // The dialog proposes each name, in download mode, nothing selectable.
        QCOMPARE(m_driver.fileDialogs.size(), 3);
        QCOMPARE(m_driver.fileDialogs[0].name, QString("report.csv"));
        QCOMPARE(m_driver.fileDialogs[1].name, QString("report-1.csv"));
        QCOMPARE(m_driver.fileDialogs[2].name, QString("report-2.csv"));
        QCOMPARE(m_driver.fileDialogs[2].title, QString("Download"));
        QCOMPARE(m_driver.fileDialogs[2].list, QStringList({"report-1.csv", "report.csv"}));
        QVERIFY(!m_driver.fileDialogs[2].selectable);
        // Each completed download: read-write, then read-only, then a message.
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro", "rw", "ro", "rw", "ro"}));
        QCOMPARE(m_driver.popups,
                 QStringList({"Download complete", "Download complete", "Download complete"}));
    }

    void serverNamesNeverLeaveTheDrive()
    {
        HttpRoute route;
        route.contentDisposition = "attachment; filename=\"../escaped.csv\"";
        route.body = "quoted and climbing";
        m_server.setRoute("/climb", route);
        LogCapture log;
        QVERIFY(download("/climb", log));
        QCOMPARE(m_unit.driveFiles(), QStringList({"escaped.csv"}));
        QCOMPARE(m_unit.readDriveFile("escaped.csv"), route.body);
        QVERIFY(!QFile::exists(m_unit.root() + "/escaped.csv"));
        QVERIFY(log.contains("File will be saved to '" + m_unit.drive() + "/escaped.csv'"));
    }

    void nameFromUrlOrTime()
    {
        HttpRoute route;
        route.body = "payload";
        m_server.setRoute("/export/data.txt", route);
        m_server.setRoute("/export/", route);
        {
            LogCapture log;
            QVERIFY(download("/export/data.txt", log));
            QVERIFY(
                log.contains("Download request for '" + m_server.url("/export/data.txt") + "'"));
        }
        QCOMPARE(m_unit.driveFiles(), QStringList({"data.txt"}));
        m_unit.clearDrive();
        {
            LogCapture log;
            QVERIFY(download("/export/", log));
        }
        const QStringList files = m_unit.driveFiles();
        QCOMPARE(files.size(), 1);
        QVERIFY2(timeStampName.match(files.first()).hasMatch(), qPrintable(files.first()));
        QCOMPARE(m_unit.readDriveFile(files.first()), route.body);
    }

    void cancellingRunsNoScriptAndSavesNothing()
    {
        HttpRoute route;
        route.contentDisposition = "attachment; filename=report.csv";
        route.body = "x";
        m_server.setRoute("/report", route);
        m_driver.answerFileDialog(DialogDriver::Answer::Reject);
        LogCapture log;
        SeamPage page(&m_window);
        page.load(QUrl(m_server.url("/report")));
        QTRY_COMPARE_WITH_TIMEOUT(page.results, QList<bool>({false}), 10000);
        QVERIFY(log.contains("Download canceled by user"));
        QCOMPARE(m_driver.fileDialogs.size(), 1);
        QVERIFY(m_unit.remounts().isEmpty());
        QVERIFY(!log.contains("RemountUSB"));
        QVERIFY(m_unit.driveFiles().isEmpty());
        QVERIFY(m_driver.popups.isEmpty());
    }

    void missingDriveShowsMessageOnly_data()
    {
        QTest::addColumn<QString>("how");
        // The drive directory stays, on the unit's own disk.
        QTest::newRow("nothing mounted") << "unplug";
        QTest::newRow("stale marker file only") << "marker";
        QTest::newRow("a tmpfs mounted there") << "tmpfs";
        QTest::newRow("drive directory missing") << "rmdir";
    }

    void missingDriveShowsMessageOnly()
    {
        QFETCH(QString, how);
        HttpRoute route;
        route.body = "x";
        m_server.setRoute("/export/data.txt", route);
        QVERIFY(m_unit.unplugDrive());
        if (how == "marker")
            QVERIFY(m_unit.leaveStaleMarker());
        if (how == "tmpfs")
            QVERIFY(m_unit.addMount("0:45", m_unit.drive(), UsbUnit::safeOptions()));
        const QString moved = m_unit.root() + "/usbmnt.away";
        if (how == "rmdir")
            QVERIFY(QDir().rename(m_unit.drive(), moved));
        const auto restore = qScopeGuard([&] {
            QFile::remove(m_unit.marker());
            if (how == "rmdir")
                QDir().rename(moved, m_unit.drive());
        });
        LogCapture log;
        SeamPage page(&m_window);
        page.load(QUrl(m_server.url("/export/data.txt")));
        QTRY_COMPARE_WITH_TIMEOUT(page.results, QList<bool>({false}), 10000);
        QCOMPARE(m_driver.popups, QStringList({"USB drive not detected."}));
        QVERIFY(log.contains("Download canceled: USB drive not mounted"));
        QVERIFY(m_driver.fileDialogs.isEmpty());
        QVERIFY(m_unit.remounts().isEmpty());
        QVERIFY(m_unit.driveFiles().isEmpty());
    }

    void unsafeDriveIsRefused_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("missing");
        QTest::newRow("without noexec") << "rw,nosuid,nodev,relatime"
                                        << "noexec";
        QTest::newRow("without nosuid") << "rw,nodev,noexec"
                                        << "nosuid";
        QTest::newRow("without nodev") << "ro,nosuid,noexec"
                                       << "nodev";
        QTest::newRow("without all three") << "rw,relatime"
                                           << "nosuid, nodev, noexec";
    }

    void unsafeDriveIsRefused()
    {
        QFETCH(QString, options);
        QFETCH(QString, missing);
        HttpRoute route;
        route.body = "x";
        m_server.setRoute("/export/data.txt", route);
        QVERIFY(m_unit.plugDrive(options));
        LogCapture log;
        SeamPage page(&m_window);
        page.load(QUrl(m_server.url("/export/data.txt")));
        QTRY_COMPARE_WITH_TIMEOUT(page.results, QList<bool>({false}), 10000);
        QCOMPARE(m_driver.popups, QStringList({"USB drive refused: it is not mounted safely."}));
        QCOMPARE(log.count("Download canceled: USB drive at '" + m_unit.drive() +
                           "' refused: mounted without " + missing),
                 1);
        QVERIFY(!log.contains("USB drive not mounted"));
        QVERIFY(m_driver.fileDialogs.isEmpty());
        QVERIFY(m_unit.remounts().isEmpty());
        QVERIFY(m_unit.driveFiles().isEmpty());
    }

    // The drive is checked again just before the file is opened: after the
    // user's answer and the remount to read-write.
    void driveChangedWhileAskedSavesNothing_data()
    {
        QTest::addColumn<bool>("pulled");
        QTest::addColumn<QString>("popup");
        QTest::addColumn<QString>("logged");
        QTest::newRow("pulled while the name is asked")
            << true << "Error: The USB drive was removed."
            << "Download failed: The USB drive was removed.";
        QTest::newRow("remounted without noexec")
            << false << "USB drive refused: it is not mounted safely."
            << "refused: mounted without noexec";
    }

    void driveChangedWhileAskedSavesNothing()
    {
        QFETCH(bool, pulled);
        QFETCH(QString, popup);
        QFETCH(QString, logged);
        HttpRoute route;
        route.contentDisposition = "attachment; filename=report.csv";
        route.body = "payload";
        m_server.setRoute("/report", route);
        if (pulled) {
            m_driver.beforeAnswer([this] { QVERIFY(m_unit.unplugDrive()); });
        } else {
            // A remount script of old: read-write, and the options dropped.
            QFile script(m_unit.root() + "/scripts/usbremount.sh");
            QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
            script.write("#!/bin/sh\necho \"$*\" >> '" + m_unit.remountLog().toLocal8Bit() +
                         "'\n[ \"$1\" = rw ] && sed -i 's/,noexec//' '" +
                         m_unit.mountTable().toLocal8Bit() + "'\nexit 0\n");
            script.close();
        }
        LogCapture log;
        QVERIFY(download("/report", log));
        QCOMPARE(m_driver.fileDialogs.size(), 1);
        QCOMPARE(m_driver.popups, QStringList({popup}));
        QCOMPARE(log.count(logged), 1);
        QVERIFY(!log.contains("Download complete"));
        // Nothing written to the unit's disk under the drive's name.
        QVERIFY(m_unit.driveFiles().isEmpty());
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
    }

    void replyFinishedWhileDialogOpen()
    {
        // The page releases finished replies; the handler must still own the
        // data when the user confirms long after the body arrived.
        HttpRoute route;
        route.contentDisposition = "attachment; filename=late.bin";
        route.body = patternBytes(300 * 1024);
        m_server.setRoute("/late", route);
        m_driver.answerFileDialog(DialogDriver::Answer::Accept, QString(), 600);
        LogCapture log;
        QVERIFY(download("/late", log));
        QCOMPARE(m_unit.driveFiles(), QStringList({"late.bin"}));
        QVERIFY(m_unit.readDriveFile("late.bin") == route.body);
        QCOMPARE(m_driver.popups, QStringList({"Download complete"}));
    }

    void largeBodyArrivesByteForByte_data()
    {
        QTest::addColumn<bool>("sendLength");
        QTest::newRow("known size") << true;
        QTest::newRow("unknown size") << false;
    }

    void largeBodyArrivesByteForByte()
    {
        QFETCH(bool, sendLength);
        HttpRoute route;
        route.contentDisposition = "attachment; filename=big.bin";
        route.body = m_big;
        route.sendLength = sendLength;
        m_server.setRoute("/big", route);
        LogCapture log;
        QVERIFY(download("/big", log, 40000));
        QCOMPARE(m_unit.driveFiles(), QStringList({"big.bin"}));
        const QByteArray saved = m_unit.readDriveFile("big.bin");
        QCOMPARE(saved.size(), m_big.size());
        QVERIFY(saved == m_big);
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
        QCOMPARE(m_driver.popups, QStringList({"Download complete"}));
        QCOMPARE(m_driver.progressPopups, 1);
        QCOMPARE(m_driver.progressTitles, QStringList({"Download in progress"}));
        QVERIFY(!log.contains("Filesystem synchronization failed"));
    }

    void progressBarFollowsKnownSizeOnly_data()
    {
        QTest::addColumn<bool>("sendLength");
        QTest::addColumn<int>("expected");
        QTest::newRow("known size") << true << 25;
        QTest::newRow("unknown size") << false << 0;
    }

    void progressBarFollowsKnownSizeOnly()
    {
        QFETCH(bool, sendLength);
        QFETCH(int, expected);
        // The server sends a first piece (the engine hands the reply on only
        // once some of the body is there), waits until the bar is up, then
        // sends up to a quarter in one go and stops until released.
        HttpRoute route;
        route.contentDisposition = "attachment; filename=quarter.bin";
        route.body = patternBytes(4 * 1024 * 1024);
        route.sendLength = sendLength;
        route.holdAfter = 4096;
        m_server.holdAgain();
        m_server.setRoute("/quarter", route);
        LogCapture log;
        SeamPage page(&m_window);
        page.load(QUrl(m_server.url("/quarter")));
        QTRY_COMPARE_WITH_TIMEOUT(m_driver.progressPopups, 1, 10000);
        auto* popup = qobject_cast<Tessal::ProgressPopup*>(QApplication::activeModalWidget());
        QVERIFY(popup);
        QCOMPARE(popup->progress(), 0);
        m_server.releaseUpTo(1024 * 1024);
        const QString path = m_unit.drive() + "/quarter.bin";
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() == 1024 * 1024, 10000);
        // The bar follows what is on the drive, set with each write: read at
        // once, it shows the quarter that was saved, no more and no less.
        // (Qt reports the network's progress only now and then: a bar fed by
        // those reports may stop at the first piece of the burst.)
        QCOMPARE(popup->progress(), expected);
        QVERIFY2(m_driver.maxProgress <= expected,
                 qPrintable(QString::number(m_driver.maxProgress)));
        QCOMPARE(m_driver.progressTitles, QStringList({"Download in progress"}));
        m_server.release();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("RemountUSB ro"), 10000);
        QVERIFY(m_unit.readDriveFile("quarter.bin") == route.body);
        QCOMPARE(m_driver.popups, QStringList({"Download complete"}));
    }

    void connectionCutLeavesNoFile()
    {
        HttpRoute route;
        route.contentDisposition = "attachment; filename=cut.bin";
        route.body = patternBytes(8 * 1024 * 1024);
        route.cutAfter = 3 * 1024 * 1024;
        m_server.setRoute("/cut", route);
        LogCapture log;
        QVERIFY(download("/cut", log));
        QVERIFY(m_unit.driveFiles().isEmpty());
        QCOMPARE(m_driver.popups.size(), 1);
        QVERIFY2(m_driver.popups.first().startsWith("Error: "), qPrintable(m_driver.popups[0]));
        QVERIFY(log.contains("Download failed"));
        QVERIFY(!log.contains("Download complete"));
        // The drive is returned to read-only all the same.
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
    }

    // A connection closed before the announced Content-Length arrived is a
    // broken download, even when the network layer reports the reply as
    // finished without error (it may, depending on when the close is seen).
    void shortBodyIsNeverSavedAsComplete_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("cut");
        QTest::newRow("cut after 1 KB of 64 KB") << 64 * 1024 << 1024;
        QTest::newRow("cut after 100 KB of 300 KB") << 300 * 1024 << 100 * 1024;
        QTest::newRow("cut after 2 MB of 6 MB") << 6 * 1024 * 1024 << 2 * 1024 * 1024;
    }
    void shortBodyIsNeverSavedAsComplete()
    {
        QFETCH(int, size);
        QFETCH(int, cut);
        HttpRoute route;
        route.contentDisposition = "attachment; filename=short.bin";
        route.body = patternBytes(size);
        route.cutAfter = cut;
        m_server.setRoute("/short", route);
        // The close races with the data: several rounds give each order a chance.
        for (int round = 0; round < 5; ++round) {
            m_unit.clearDrive();
            m_unit.clearRemounts();
            m_driver.reset();
            m_driver.answerFileDialog(DialogDriver::Answer::Accept);
            // Odd rounds answer at once, even ones after the transfer has
            // ended, while the dialog is still open.
            m_driver.beforeAnswer([round] {
                if (round % 2 == 0)
                    QTest::qWait(200);
            });
            LogCapture log;
            QVERIFY(download("/short", log));
            QVERIFY2(
                m_unit.driveFiles().isEmpty(),
                qPrintable(
                    QString("round %1: %2 kept").arg(round).arg(m_unit.driveFiles().join(","))));
            QCOMPARE(m_driver.popups.size(), 1);
            QVERIFY2(m_driver.popups.first().startsWith("Error: "), qPrintable(m_driver.popups[0]));
            QVERIFY(!log.contains("Download complete"));
            QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
        }
    }

    // A device that goes silent mid-download (without closing the connection)
    // must not leave the modal progress bar up for good.
    void stalledTransferEndsAsFailed()
    {
        HttpRoute route;
        route.contentDisposition = "attachment; filename=stalled.bin";
        route.body = patternBytes(2 * 1024 * 1024);
        route.holdAfter = 256 * 1024;
        m_server.holdAgain();
        m_server.setRoute("/stalled", route);
        const int saved = DownloadHandler::stallTimeoutMs;
        DownloadHandler::stallTimeoutMs = 700;
        LogCapture log;
        // The messages already shown when the reply's finished signal has
        // been through the handler: abort() emits it before it returns, and
        // the end of the download, with its modal message, must not run
        // inside it (the message's event loop could free the reply under
        // Qt's own code, which goes on using it).
        QList<int> popupsAtFinish;
        {
            SeamPage page(&m_window);
            QObject::connect(&page.handler, &DownloadHandler::handled, [&](bool started) {
                auto* reply = page.handler.findChild<QNetworkReply*>();
                if (started && reply)
                    QObject::connect(reply, &QNetworkReply::finished,
                                     [&] { popupsAtFinish << m_driver.popups.size(); });
            });
            page.load(QUrl(m_server.url("/stalled")));
            QTRY_VERIFY_WITH_TIMEOUT(log.contains("RemountUSB ro"), 10000);
        }
        DownloadHandler::stallTimeoutMs = saved;
        m_server.release();
        QCOMPARE(popupsAtFinish, QList<int>({0}));
        QVERIFY(log.contains("Download stalled: no data for 0.7 s"));
        QVERIFY(!log.contains("Download complete"));
        QVERIFY(m_unit.driveFiles().isEmpty());
        QCOMPARE(m_driver.popups, QStringList({"Error: no data for 0.7 s"}));
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
    }

    void fileThatAppearsMeanwhileIsNotOverwritten()
    {
        HttpRoute route;
        route.contentDisposition = "attachment; filename=report.csv";
        route.body = "from the server";
        m_server.setRoute("/report", route);
        // Someone else writes the name while the dialog is open.
        m_driver.beforeAnswer([this] { QVERIFY(m_unit.writeDriveFile("report.csv", "mine")); });
        LogCapture log;
        QVERIFY(download("/report", log));
        QCOMPARE(m_unit.readDriveFile("report.csv"), QByteArray("mine"));
        const QString path = m_unit.drive() + "/report.csv";
        QCOMPARE(m_driver.popups, QStringList({"Error opening file '" + path + "' for writing."}));
        QCOMPARE(log.criticals().filter("Error opening file '" + path + "' for writing.").size(),
                 1);
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
    }

    void driveThatCannotTakeTheDataLeavesNothing()
    {
        // A file size limit makes the drive refuse the data part-way, as a
        // full drive would. The limit holds for the whole process, and
        // QtWebEngine 6 makes the shared memory of its (in-process) network
        // service in files that count against it: set before the page is
        // loaded, it fails the page's load itself, which no full drive does.
        // The drive fills as the user confirms the download, once the kiosk
        // holds it.
        HttpRoute route;
        route.contentDisposition = "attachment; filename=full.bin";
        route.body = patternBytes(3 * 1024 * 1024);
        m_server.setRoute("/full", route);
        struct rlimit previous;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
        struct rlimit limited = previous;
        limited.rlim_cur = 1024 * 1024;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        bool limitSet = false;
        m_driver.beforeAnswer([&] { limitSet = setrlimit(RLIMIT_FSIZE, &limited) == 0; });
        LogCapture log;
        const bool ended = download("/full", log);
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, oldHandler);
        m_driver.beforeAnswer(nullptr);
        QVERIFY(limitSet);
        QVERIFY(ended);
        QVERIFY(m_unit.driveFiles().isEmpty());
        QCOMPARE(
            log.criticals().filter("Error writing file '" + m_unit.drive() + "/full.bin'").size(),
            1);
        QCOMPARE(m_driver.popups.size(), 1);
        QVERIFY2(m_driver.popups[0].startsWith("Error: "), qPrintable(m_driver.popups[0]));
        QVERIFY(!log.contains("Download complete"));
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
    }

    void missingScriptOnlyLogs()
    {
        QVERIFY(QFile::remove(m_unit.root() + "/scripts/usbremount.sh"));
        HttpRoute route;
        route.body = "payload";
        m_server.setRoute("/export/data.txt", route);
        LogCapture log;
        QVERIFY(download("/export/data.txt", log));
        QCOMPARE(m_unit.readDriveFile("data.txt"), route.body);
        QCOMPARE(log.count("RemountUSB rw"), 1);
        QCOMPARE(log.count("RemountUSB ro"), 1);
        QVERIFY(!log.contains("not found"));
    }

    void pageClosedMidDownloadLeavesNoFile()
    {
        HttpRoute route;
        route.contentDisposition = "attachment; filename=half.bin";
        route.body = patternBytes(4 * 1024 * 1024);
        route.holdAfter = 1024 * 1024;
        m_server.holdAgain();
        m_server.setRoute("/half", route);
        LogCapture log;
        {
            SeamPage page(&m_window);
            page.load(QUrl(m_server.url("/half")));
            QTRY_VERIFY_WITH_TIMEOUT(m_driver.progressPopups == 1, 10000);
            QVERIFY(QFile::exists(m_unit.drive() + "/half.bin"));
        }
        QVERIFY(m_unit.driveFiles().isEmpty());
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
        QVERIFY(!log.contains("Download complete"));
        m_server.release();
    }

    void secondDownloadIsRefusedWhileOneRuns()
    {
        m_server.holdAgain();
        HttpRoute route;
        route.contentDisposition = "attachment; filename=first.bin";
        route.body = patternBytes(2 * 1024 * 1024);
        route.holdAfter = 512 * 1024; // the first download is still running
        m_server.setRoute("/first", route);
        HttpRoute other;
        other.body = "second";
        other.holdAfter = 0; // unfinished, so nobody releases it early
        m_server.setRoute("/second", other);

        LogCapture log;
        SeamPage page(&m_window);
        // The second request reaches the handler between the confirmation
        // and the end of the first download.
        QNetworkReply* second = page.network.get(QNetworkRequest(QUrl(m_server.url("/second"))));
        m_driver.beforeAnswer([&] {
            QTimer::singleShot(0, [&] {
                QVERIFY(second);
                page.results << page.handler.start(second);
                m_server.release();
            });
        });
        page.load(QUrl(m_server.url("/first")));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("RemountUSB ro"), 20000);
        QVERIFY(log.contains("Download refused: another download is in progress"));
        QVERIFY(page.results.contains(false));
        QVERIFY(page.results.contains(true));
        QCOMPARE(m_unit.driveFiles(), QStringList({"first.bin"}));
        QVERIFY(m_unit.readDriveFile("first.bin") == route.body);
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
    }
};

QTEST_MAIN(TestUsbDownload)
#include "tst_usbdownload.moc"
