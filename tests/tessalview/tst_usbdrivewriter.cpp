// The drive writer on its own, without a widget or an event loop: whether
// the drive counts as there (the mount table and the block devices under
// TESSAL_ROOT, the drive directory in a temporary tree), and the file it
// saves: whole and synced, or not at all.
#include "drivewriter.h"
#include "logcapture.h"
#include "usbunit.h"

#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

using Tessal::DriveState_s;
using Tessal::DriveWriter;

Q_DECLARE_METATYPE(DriveState_s::Presence)

class TestUsbDriveWriter : public QObject
{
    Q_OBJECT

private:
    UsbUnit m_unit;

    // Writes the mount table: each entry of `mounts` is "device|mount
    // point|options", "%D" standing for the drive directory.
    bool mount(const QStringList& mounts)
    {
        m_unit.unplugDrive();
        for (const QString& entry : mounts) {
            const QStringList f = entry.split('|');
            QString point = f.value(1);
            point.replace("%D", m_unit.drive());
            if (!m_unit.addMount(f.value(0), point, f.value(2)))
                return false;
        }
        return true;
    }

private slots:
    void initTestCase() { QVERIFY(m_unit.create()); }

    void init()
    {
        m_unit.clearDrive();
        m_unit.clearRemounts();
        QFile::remove(m_unit.marker());
        QVERIFY(m_unit.plugDrive());
    }

    // --- is the drive there? ---------------------------------------------

    void presenceFromTheMountTable_data()
    {
        QTest::addColumn<QStringList>("mounts");
        QTest::addColumn<DriveState_s::Presence>("presence");
        QTest::addColumn<QStringList>("missing");
        const QString safe = UsbUnit::safeOptions();
        const DriveState_s::Presence present = DriveState_s::Present;
        const DriveState_s::Presence absent = DriveState_s::NotMounted;
        const DriveState_s::Presence unsafe = DriveState_s::Unsafe;

        QTest::newRow("block device, nosuid nodev noexec")
            << QStringList{"8:1|%D|" + safe} << present << QStringList();
        QTest::newRow("options in another order, read-only")
            << QStringList{"8:1|%D|ro,noexec,relatime,nodev,nosuid"} << present << QStringList();
        QTest::newRow("nothing mounted on the directory")
            << QStringList() << absent << QStringList();
        QTest::newRow("only a sub-directory mounted")
            << QStringList{"8:1|%D/sub|" + safe} << absent << QStringList();
        QTest::newRow("a directory of a similar name mounted")
            << QStringList{"8:1|%D-old|" + safe} << absent << QStringList();
        QTest::newRow("a tmpfs, no block device")
            << QStringList{"0:45|%D|" + safe} << absent << QStringList();
        QTest::newRow("a device that sysfs does not know")
            << QStringList{"8:99|%D|" + safe} << absent << QStringList();
        QTest::newRow("without noexec")
            << QStringList{"8:1|%D|rw,nosuid,nodev,relatime"} << unsafe << QStringList{"noexec"};
        QTest::newRow("without nosuid")
            << QStringList{"8:1|%D|rw,nodev,noexec,relatime"} << unsafe << QStringList{"nosuid"};
        QTest::newRow("without nodev")
            << QStringList{"8:1|%D|rw,nosuid,noexec,relatime"} << unsafe << QStringList{"nodev"};
        QTest::newRow("without any of them") << QStringList{"8:1|%D|rw,relatime"} << unsafe
                                             << QStringList{"nosuid", "nodev", "noexec"};
        QTest::newRow("options named only in part")
            << QStringList{"8:1|%D|rw,nosuidx,xnodev,noexec"} << unsafe
            << QStringList{"nosuid", "nodev"};
        // The last mount on a directory is the one in use.
        QTest::newRow("safe drive under an unsafe one")
            << QStringList{"8:1|%D|" + safe, "8:1|%D|rw,nosuid,nodev"} << unsafe
            << QStringList{"noexec"};
        QTest::newRow("unsafe drive under a safe one")
            << QStringList{"8:1|%D|rw", "8:1|%D|" + safe} << present << QStringList();
        QTest::newRow("drive under a tmpfs")
            << QStringList{"8:1|%D|" + safe, "0:45|%D|" + safe} << absent << QStringList();
        QTest::newRow("a mount on a sub-directory after the drive")
            << QStringList{"8:1|%D|" + safe, "0:45|%D/sub|rw"} << present << QStringList();
    }

    void presenceFromTheMountTable()
    {
        QFETCH(QStringList, mounts);
        QFETCH(DriveState_s::Presence, presence);
        QFETCH(QStringList, missing);
        QVERIFY(mount(mounts));
        const DriveState_s state = DriveWriter::check(m_unit.drive());
        QCOMPARE(state.presence, presence);
        QCOMPARE(state.missingOptions, missing);
        // The configured directory is the same one.
        QCOMPARE(DriveWriter::check().presence, presence);
    }

    void unusualLinesAreSkipped()
    {
        // The optional fields vary in number; a line cut short names nothing.
        QFile table(m_unit.mountTable());
        QVERIFY(table.open(QIODevice::WriteOnly | QIODevice::Truncate));
        const QByteArray drive = m_unit.drive().toLocal8Bit();
        table.write("30 21 8:1 / " + drive + "\n");
        table.write("31 21 8:1 / " + drive +
                    " rw,nosuid,nodev,noexec shared:7 master:3 - vfat "
                    "/dev/sda1 rw\n");
        table.write("\n32 21 8:1 /");
        table.close();
        QCOMPARE(DriveWriter::check(m_unit.drive()).presence, DriveState_s::Present);
        QVERIFY(table.open(QIODevice::WriteOnly | QIODevice::Truncate));
        table.write("30 21 8:1 / " + drive + "\n");
        table.close();
        QCOMPARE(DriveWriter::check(m_unit.drive()).presence, DriveState_s::NotMounted);
    }

    void escapedMountPointIsFound()
    {
        // The table writes a blank as \040 and a backslash as \134.
        const QString odd = m_unit.root() + "/usb drive\\2";
        QVERIFY(QDir().mkpath(odd));
        QVERIFY(m_unit.addMount(UsbUnit::driveDevice(), odd, UsbUnit::safeOptions()));
        QFile table(m_unit.mountTable());
        QVERIFY(table.open(QIODevice::ReadOnly));
        QVERIFY(table.readAll().contains("/usb\\040drive\\1342 "));
        QCOMPARE(DriveWriter::check(odd).presence, DriveState_s::Present);
        // The escape is undone, not ignored: the same text unescaped names
        // another directory.
        const QString literal = m_unit.root() + "/usb\\040drive\\1342";
        QVERIFY(QDir().mkpath(literal));
        QCOMPARE(DriveWriter::check(literal).presence, DriveState_s::NotMounted);
    }

    void linkedDirectoryIsLookedUpWhereItLeads()
    {
        const QString link = m_unit.root() + "/usb-link";
        QVERIFY(QFile::link(m_unit.drive(), link));
        QCOMPARE(DriveWriter::check(link).presence, DriveState_s::Present);
        QCOMPARE(DriveWriter::check(m_unit.drive() + "/").presence, DriveState_s::Present);
    }

    void noDirectoryOrNoTableIsNoDrive()
    {
        // Listed in the table, but the directory is gone.
        QVERIFY(m_unit.addMount(UsbUnit::driveDevice(), m_unit.root() + "/gone",
                                UsbUnit::safeOptions()));
        QCOMPARE(DriveWriter::check(m_unit.root() + "/gone").presence, DriveState_s::NotMounted);

        const QString saved = m_unit.mountTable() + ".saved";
        QVERIFY(QFile::rename(m_unit.mountTable(), saved));
        LogCapture log;
        const DriveState_s state = DriveWriter::check(m_unit.drive());
        QVERIFY(QFile::rename(saved, m_unit.mountTable()));
        QCOMPARE(state.presence, DriveState_s::NotMounted);
        QVERIFY(log.contains("Mount table '" + m_unit.mountTable() + "' cannot be read"));
    }

    void staleMarkerFileIsNoDrive()
    {
        // What once told that a drive was mounted: the file the ini still
        // names, with the drive directory on the unit's own disk.
        QCOMPARE(Tessal::Settings::getFilesUsbDriveFile(), m_unit.marker());
        QVERIFY(m_unit.leaveStaleMarker());
        QVERIFY(m_unit.unplugDrive());
        QCOMPARE(DriveWriter::check().presence, DriveState_s::NotMounted);
        DriveWriter writer;
        QVERIFY(!writer.open(m_unit.drive(), "report.csv"));
        QVERIFY(m_unit.driveFiles().isEmpty());
    }

    // --- the file --------------------------------------------------------

    void savedFileIsWholeAndClosed()
    {
        const QByteArray data = patternBytes(700 * 1024);
        LogCapture log;
        DriveWriter writer;
        QVERIFY(writer.open(m_unit.drive(), "report.csv"));
        QVERIFY(writer.isOpen());
        QCOMPARE(writer.path(), m_unit.drive() + "/report.csv");
        QCOMPARE(writer.drive().presence, DriveState_s::Present);
        QVERIFY(writer.write(data.left(100)));
        QVERIFY(writer.write(data.mid(100)));
        QCOMPARE(writer.bytesWritten(), qint64(data.size()));
        QVERIFY(writer.finish());
        QVERIFY(!writer.isOpen());
        QVERIFY(!writer.failed());
        QCOMPARE(m_unit.readDriveFile("report.csv"), data);
        QVERIFY(log.criticals().isEmpty());
        QVERIFY(!log.contains("Filesystem synchronization failed"));

        // The writer serves the next file as well.
        QVERIFY(writer.open(m_unit.drive(), "second.csv"));
        QCOMPARE(writer.bytesWritten(), qint64(0));
        QVERIFY(writer.write("2"));
        QVERIFY(writer.finish());
        QCOMPARE(m_unit.driveFiles(), QStringList({"report.csv", "second.csv"}));
    }

    void nothingIsOpenedWithoutASafeDrive_data()
    {
        QTest::addColumn<QString>("options"); // empty: nothing mounted
        QTest::addColumn<DriveState_s::Presence>("presence");
        QTest::addColumn<QString>("cause");
        QTest::newRow("nothing mounted")
            << QString() << DriveState_s::NotMounted << "The USB drive was removed.";
        QTest::newRow("mounted without noexec") << "rw,nosuid,nodev" << DriveState_s::Unsafe
                                                << "USB drive refused: it is not mounted safely.";
    }

    void nothingIsOpenedWithoutASafeDrive()
    {
        QFETCH(QString, options);
        QFETCH(DriveState_s::Presence, presence);
        QFETCH(QString, cause);
        QVERIFY(options.isEmpty() ? m_unit.unplugDrive() : m_unit.plugDrive(options));
        LogCapture log;
        DriveWriter writer;
        QVERIFY(!writer.open(m_unit.drive(), "report.csv"));
        QVERIFY(!writer.isOpen());
        QVERIFY(writer.failed());
        QCOMPARE(writer.drive().presence, presence);
        QCOMPARE(writer.cause(), cause);
        // Not even an empty file in the directory.
        QVERIFY(m_unit.driveFiles().isEmpty());
        QCOMPARE(log.criticals()
                     .filter("Error opening file '" + m_unit.drive() + "/report.csv' for writing.")
                     .size(),
                 1);
        QVERIFY(!writer.write("x"));
        QVERIFY(!writer.finish());
        QVERIFY(m_unit.driveFiles().isEmpty());
    }

    void existingFilesAndLinksAreNeverWritten()
    {
        QVERIFY(m_unit.writeDriveFile("report.csv", "mine"));
        DriveWriter writer;
        QVERIFY(!writer.open(m_unit.drive(), "report.csv"));
        // The file's problem, not the drive's: no cause for the user.
        QVERIFY(writer.cause().isEmpty());
        QCOMPARE(writer.errorString(), QString::fromLocal8Bit(std::strerror(EEXIST)));
        QCOMPARE(m_unit.readDriveFile("report.csv"), QByteArray("mine"));

        const QString outside = m_unit.root() + "/outside.txt";
        QVERIFY(QFile::link(outside, m_unit.drive() + "/link.txt"));
        QVERIFY(!writer.open(m_unit.drive(), "link.txt"));
        QVERIFY(!QFile::exists(outside));
        QFile::remove(m_unit.drive() + "/link.txt");
    }

    void uniqueNamesCountUpAndSkipLinks()
    {
        const QString dir = m_unit.drive();
        QCOMPARE(DriveWriter::uniqueFileName(dir, "report.csv"), QString("report.csv"));
        QVERIFY(m_unit.writeDriveFile("report.csv", "a"));
        QCOMPARE(DriveWriter::uniqueFileName(dir, "report.csv"), QString("report-1.csv"));
        QVERIFY(m_unit.writeDriveFile("report-1.csv", "b"));
        QCOMPARE(DriveWriter::uniqueFileName(dir, "report.csv"), QString("report-2.csv"));
        // Only the last dot separates the suffix.
        QVERIFY(m_unit.writeDriveFile("log.tar.gz", "c"));
        QCOMPARE(DriveWriter::uniqueFileName(dir, "log.tar.gz"), QString("log.tar-1.gz"));
        QVERIFY(m_unit.writeDriveFile("README", "d"));
        QCOMPARE(DriveWriter::uniqueFileName(dir, "README"), QString("README-1."));
        // A dangling link is taken: writing through it would leave the drive.
        QVERIFY(QFile::link(m_unit.root() + "/outside.txt", dir + "/link.txt"));
        QCOMPARE(DriveWriter::uniqueFileName(dir, "link.txt"), QString("link-1.txt"));
        QVERIFY(!QFile::exists(m_unit.root() + "/outside.txt"));
        QFile::remove(dir + "/link.txt");
    }

    void refusedDataLeavesNoFile()
    {
        // A file size limit makes the system refuse the data part-way.
        struct rlimit previous;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
        struct rlimit limited = previous;
        limited.rlim_cur = 256 * 1024;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        LogCapture log;
        DriveWriter writer;
        QVERIFY(writer.open(m_unit.drive(), "big.bin"));
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const bool first = writer.write(patternBytes(200 * 1024));
        const bool second = writer.write(patternBytes(200 * 1024));
        const bool third = writer.write("more");
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(first);
        QVERIFY(!second);
        QVERIFY(!third);
        QVERIFY(writer.failed());
        QVERIFY(writer.isOpen());
        const QString reason = QString::fromLocal8Bit(std::strerror(EFBIG));
        QCOMPARE(writer.errorString(), reason);
        // Not full, read-only or removed: the system's own words.
        QCOMPARE(writer.cause(), reason);
        QCOMPARE(log.criticals()
                     .filter("Error writing file '" + m_unit.drive() + "/big.bin': " + reason +
                             " (" + reason + ")")
                     .size(),
                 1);
        QVERIFY(!writer.finish());
        QVERIFY(!writer.isOpen());
        QVERIFY(m_unit.driveFiles().isEmpty());
    }

    void abandonedFileIsRemoved()
    {
        {
            DriveWriter writer;
            QVERIFY(writer.open(m_unit.drive(), "half.bin"));
            QVERIFY(writer.write(patternBytes(1024)));
            QCOMPARE(m_unit.driveFiles(), QStringList({"half.bin"}));
            writer.discard();
            QVERIFY(!writer.isOpen());
            QVERIFY(m_unit.driveFiles().isEmpty());
            QVERIFY(writer.open(m_unit.drive(), "half.bin"));
            QVERIFY(writer.write(patternBytes(1024)));
        }
        // Gone with the writer too.
        QVERIFY(m_unit.driveFiles().isEmpty());
    }

    void driveFailureNamesTheCause()
    {
        const QString dir = m_unit.drive();
        QCOMPARE(DriveWriter::driveFailure(ENOSPC, dir), QString("The USB drive is full."));
        QCOMPARE(DriveWriter::driveFailure(EDQUOT, dir), QString("The USB drive is full."));
        QCOMPARE(DriveWriter::driveFailure(EROFS, dir), QString("The USB drive is read-only."));
        QCOMPARE(DriveWriter::driveFailure(EIO, dir), QString("The USB drive was removed."));
        QCOMPARE(DriveWriter::driveFailure(EPERM, dir),
                 QString::fromLocal8Bit(std::strerror(EPERM)));
        // Whatever the error, a drive no longer in the mount table was removed.
        QVERIFY(m_unit.unplugDrive());
        QCOMPARE(DriveWriter::driveFailure(ENOSPC, dir), QString("The USB drive was removed."));
    }

    void remountRunsTheScript()
    {
        LogCapture log;
        QVERIFY(DriveWriter::remount(true));
        QVERIFY(DriveWriter::remount(false));
        QCOMPARE(m_unit.remounts(), QStringList({"rw", "ro"}));
        QCOMPARE(log.count("RemountUSB rw"), 1);
        QCOMPARE(log.count("RemountUSB ro"), 1);
        // No script: nothing runs, and that is no failure.
        QVERIFY(QFile::remove(m_unit.root() + "/scripts/usbremount.sh"));
        m_unit.clearRemounts();
        QVERIFY(DriveWriter::remount(true));
        QVERIFY(m_unit.remounts().isEmpty());
        QVERIFY(!log.contains("not found"));
        QVERIFY(m_unit.installRemountScript());
    }
};

QTEST_GUILESS_MAIN(TestUsbDriveWriter)
#include "tst_usbdrivewriter.moc"
