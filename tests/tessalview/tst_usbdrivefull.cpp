// A drive that refuses the download says why: full, read-only or removed, in
// the user's message and in the log, and no partial file stays behind; a
// drive mounted without nosuid, nodev and noexec is refused. The drive is a
// small tmpfs in a private mount namespace (root only; the test re-runs
// itself under unshare and is skipped where that is not allowed), found in
// the process's own mount table; only the block device that stands for it
// is a fake, under sys/dev/block of TESSAL_ROOT.
#include "downloadhandler.h"
#include "logcapture.h"
#include "seampage.h"
#include "usbtestsupport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

using Tessal::DownloadHandler;

namespace
{

bool sh(const QString& command)
{
    return QProcess::execute("sh", {"-c", command}) == 0;
}

} // namespace

class TestUsbDriveFull : public QObject
{
    Q_OBJECT

private:
    UsbUnit m_unit;
    HttpServer m_server;
    QWidget m_window;
    DialogDriver m_driver;

    // Loads `path` and waits until the download has ended (the "ro" remount
    // that ends every download whose file was opened, or the refusal).
    bool download(const QByteArray& path, LogCapture& log)
    {
        SeamPage page(&m_window);
        page.load(QUrl(m_server.url(QString::fromLatin1(path))));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (page.results.isEmpty())
                continue;
            if (!log.contains("File will be saved to") || log.contains("RemountUSB ro"))
                return true;
        }
        return false;
    }

    // Mounts `what` on the drive directory and makes its device count as a
    // block device.
    bool mountDrive(const QString& what)
    {
        return sh("mount " + what + " '" + m_unit.drive() + "'") &&
               m_unit.markBlockDevice(m_unit.drive());
    }

    void route(const QByteArray& path, const QByteArray& name, qint64 size)
    {
        HttpRoute r;
        r.contentDisposition = "attachment; filename=" + name;
        r.body = patternBytes(size);
        m_server.setRoute(path, r);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_unit.create());
        QVERIFY(m_unit.useSystemMountTable());
        QVERIFY(m_server.startServing());
        m_window.resize(800, 480);
        m_window.show();
        route("/small", "small.bin", 16 * 1024);
        route("/big", "big.bin", 1024 * 1024);
    }

    void init()
    {
        QDir().mkpath(m_unit.drive());
        QVERIFY(mountDrive("-t tmpfs -o size=256k,nosuid,nodev,noexec tessal-usb"));
        m_unit.clearRemounts();
        m_driver.reset();
        m_driver.answerFileDialog(DialogDriver::Answer::Accept);
        m_driver.beforeAnswer(nullptr);
    }

    void cleanup()
    {
        while (sh("umount '" + m_unit.drive() + "' 2>/dev/null")) {
        }
        // What a faulty download left in the bare mount point must not
        // reach the next case.
        m_unit.clearDrive();
    }

    void fullDriveIsNamedAndLeavesNothing()
    {
        // What fits is saved: the drive itself works.
        LogCapture log;
        QVERIFY(download("/small", log));
        QCOMPARE(m_unit.readDriveFile("small.bin"), patternBytes(16 * 1024));
        QCOMPARE(m_driver.popups, QStringList({"Download complete"}));

        // Four times what the drive holds.
        m_driver.reset();
        m_driver.answerFileDialog(DialogDriver::Answer::Accept);
        LogCapture full;
        QVERIFY(download("/big", full));
        QCOMPARE(m_driver.popups, QStringList({"Error: The USB drive is full."}));
        const QString path = m_unit.drive() + "/big.bin";
        QCOMPARE(full.criticals()
                     .filter("Error writing file '" + path +
                             "': The USB drive is full. (No space left on device)")
                     .size(),
                 1);
        QCOMPARE(full.count(" - Download failed: The USB drive is full."), 1);
        QVERIFY(!full.contains("Download complete"));
        QCOMPARE(m_unit.driveFiles(), QStringList({"small.bin"}));
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro", "rw", "ro"}));
    }

    void completedDownloadIsOnTheMedium()
    {
        // A drive whose writes stay in memory until they are synchronised: a
        // file system image on a loop device. The system writes such data
        // back by itself only after some 30 s; "Download complete" must mean
        // that the data is on the medium already.
        QVERIFY(sh("umount '" + m_unit.drive() + "'"));
        const QString image = m_unit.root() + "/drive.img";
        // An empty 4 MB ext2 file system with 4 KB blocks (made with
        // `mkfs.ext2 -q -F -b 4096`), kept in the tree: build roots and
        // containers have no mkfs, but gzip and mount are everywhere.
        const QString fixture =
            qEnvironmentVariable("TESSAL_SOURCE_DIR") + "/tests/tessalview/data/drive-ext2.img.gz";
        QVERIFY(sh("gzip -dc '" + fixture + "' > '" + image + "'"));
        QVERIFY(mountDrive("-o loop,nosuid,nodev,noexec '" + image + "'"));
        LogCapture log;
        QVERIFY(download("/small", log));
        QCOMPARE(m_driver.popups, QStringList({"Download complete"}));
        const QByteArray data = patternBytes(16 * 1024);
        QCOMPARE(m_unit.readDriveFile("small.bin"), data);
        QFile medium(image);
        QVERIFY(medium.open(QIODevice::ReadOnly));
        const QByteArray onMedium = medium.readAll();
        for (int block = 0; block < data.size(); block += 4096)
            QVERIFY2(
                onMedium.contains(data.mid(block, 4096)),
                qPrintable(
                    QString("bytes %1 to %2 are not on the medium").arg(block).arg(block + 4095)));
    }

    void readOnlyDriveIsNamed()
    {
        // The remount to read-write did not happen (a drive with its write
        // protection switch on).
        QVERIFY(sh("mount -o remount,ro '" + m_unit.drive() + "'"));
        LogCapture log;
        QVERIFY(download("/small", log));
        QCOMPARE(m_driver.popups, QStringList({"Error: The USB drive is read-only."}));
        QCOMPARE(log.count("The USB drive is read-only. (Read-only file system)"), 1);
        QVERIFY(m_unit.driveFiles().isEmpty());
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
    }

    void removedDriveIsNamed_data()
    {
        QTest::addColumn<bool>("mountPointStays");
        // The system unmounts the drive and leaves its mount point: an empty
        // directory of the unit's own disk, where the download must not land.
        QTest::newRow("mount point left behind") << true;
        QTest::newRow("mount point removed") << false;
    }

    void removedDriveIsNamed()
    {
        QFETCH(bool, mountPointStays);
        // The drive is pulled while the user picks the name.
        m_driver.beforeAnswer([this, mountPointStays] {
            QVERIFY(sh("umount '" + m_unit.drive() + "'" +
                       (mountPointStays ? QString() : " && rmdir '" + m_unit.drive() + "'")));
        });
        LogCapture log;
        QVERIFY(download("/small", log));
        QCOMPARE(m_driver.popups, QStringList({"Error: The USB drive was removed."}));
        QCOMPARE(log.count("Download failed: The USB drive was removed."), 1);
        QVERIFY(!log.contains("Download complete"));
        if (mountPointStays) {
            // Nothing written to the unit's disk under the drive's name.
            QVERIFY(QFileInfo(m_unit.drive()).isDir());
            QCOMPARE(m_unit.driveFiles(), QStringList());
        } else {
            // Nor is the mount point made again to hold the file.
            QVERIFY(!QFileInfo::exists(m_unit.drive()));
        }
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
    }

    void unsafeMountIsRefused_data()
    {
        QTest::addColumn<QString>("mounts"); // mount commands, one a line
        QTest::addColumn<QString>("missing");
        QTest::newRow("without noexec") << "-t tmpfs -o size=256k,nosuid,nodev tessal-usb"
                                        << "noexec";
        // Mounts stack: the one on top is what the kiosk would write to.
        QTest::newRow("unsafe mount over a safe one")
            << "-t tmpfs -o size=256k,nosuid,nodev,noexec tessal-usb\n"
               "-t tmpfs -o size=256k tessal-usb"
            << "nosuid, nodev, noexec";
    }

    void unsafeMountIsRefused()
    {
        QFETCH(QString, mounts);
        QFETCH(QString, missing);
        QVERIFY(sh("umount '" + m_unit.drive() + "'"));
        for (const QString& what : mounts.split('\n'))
            QVERIFY(mountDrive(what));
        LogCapture log;
        QVERIFY(download("/small", log));
        QCOMPARE(m_driver.popups, QStringList({"USB drive refused: it is not mounted safely."}));
        QCOMPARE(log.count("refused: mounted without " + missing), 1);
        QVERIFY(m_driver.fileDialogs.isEmpty());
        QVERIFY(m_unit.driveFiles().isEmpty());
        QVERIFY(m_unit.remounts().isEmpty());

        // The safe mount on top is used again.
        QVERIFY(mountDrive("-t tmpfs -o size=256k,nosuid,nodev,noexec tessal-usb"));
        m_driver.reset();
        LogCapture again;
        QVERIFY(download("/small", again));
        QCOMPARE(m_driver.popups, QStringList({"Download complete"}));
        QCOMPARE(m_unit.readDriveFile("small.bin"), patternBytes(16 * 1024));
    }
};

int main(int argc, char** argv)
{
    if (qgetenv("TST_USBDRIVEFULL_NS") != "1") {
        if (::geteuid() != 0 || std::system("unshare --mount --propagation private true") != 0) {
            std::puts("SKIP: no private mount namespace here (needs root)");
            return 77;
        }
        ::setenv("TST_USBDRIVEFULL_NS", "1", 1);
        std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>("--mount"),
                                   const_cast<char*>("--propagation"),
                                   const_cast<char*>("private")};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execvp("unshare", args.data());
        std::perror("unshare");
        return 1;
    }
    QApplication app(argc, argv);
    TestUsbDriveFull test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_usbdrivefull.moc"
