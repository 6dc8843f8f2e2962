// The kiosk's private directories (runtime directory, generated documents):
// made owner-only, and never used when another user could have made them or
// may write into them. The run marker lives in one.
#include "logcapture.h"
#include "privatedirectory.h"
#include "servicenotifier.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using Tessal::PrivateDirectory;
using Tessal::RunMarker;

class TestPrivateDirectory : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString& relative) const { return m_dir.path() + "/" + relative; }

    static int mode(const QString& path)
    {
        struct stat st {
        };
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777)
                                                                      : -1;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void madeOwnerOnlyAllTheWayDown()
    {
        ::umask(0);
        LogCapture log;
        QVERIFY(PrivateDirectory::prepare(path("run/tessalview/etc")));
        ::umask(022);
        QCOMPARE(mode(path("run")), 0700);
        QCOMPARE(mode(path("run/tessalview")), 0700);
        QCOMPARE(mode(path("run/tessalview/etc")), 0700);
        QVERIFY(log.lines().isEmpty());
        // Again: already there and ours.
        QVERIFY(PrivateDirectory::prepare(path("run/tessalview/etc")));
        QVERIFY(log.lines().isEmpty());
    }

    void ownReadableDirectoryIsUsed()
    {
        QVERIFY(QDir().mkpath(path("readable")));
        QCOMPARE(::chmod(QFile::encodeName(path("readable")).constData(), 0755), 0);
        QVERIFY(PrivateDirectory::prepare(path("readable")));
    }

    void refused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("dirMode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("world-writable")
            << "world" << 0777 << "its group or others may write to it (mode 0777)";
        QTest::newRow("sticky /tmp-like")
            << "sticky" << 01777 << "its group or others may write to it (mode 1777)";
        QTest::newRow("group-writable")
            << "group" << 0770 << "its group or others may write to it (mode 0770)";
    }

    void refused()
    {
        QFETCH(QString, name);
        QFETCH(int, dirMode);
        QFETCH(QString, reason);
        QVERIFY(QDir().mkpath(path(name)));
        QCOMPARE(::chmod(QFile::encodeName(path(name)).constData(), mode_t(dirMode)), 0);
        LogCapture log;
        QVERIFY(!PrivateDirectory::prepare(path(name)));
        QCOMPARE(log.criticals(),
                 QStringList{"Refusing to use directory '" + path(name) + "': " + reason});
        // Left as found: the kiosk does not take over a directory of others.
        QCOMPARE(mode(path(name)), dirMode);
    }

    void linkAndFileRefused()
    {
        QVERIFY(QDir().mkpath(path("target")));
        QVERIFY(QFile::link(path("target"), path("link")));
        LogCapture log;
        QVERIFY(!PrivateDirectory::prepare(path("link")));
        QFile file(path("plain"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(!PrivateDirectory::prepare(path("plain")));
        QCOMPARE(log.criticals(),
                 QStringList(
                     {"Refusing to use directory '" + path("link") + "': it is a symbolic link",
                      "Refusing to use directory '" + path("plain") + "': it is not a directory"}));
    }

    void anotherUsersDirectoryRefused()
    {
        if (::geteuid() != 0)
            QSKIP("giving a directory to another user needs root");
        QVERIFY(QDir().mkpath(path("theirs")));
        QCOMPARE(::chmod(QFile::encodeName(path("theirs")).constData(), 0700), 0);
        QCOMPARE(::chown(QFile::encodeName(path("theirs")).constData(), 65534, 65534), 0);
        LogCapture log;
        QVERIFY(!PrivateDirectory::prepare(path("theirs")));
        QCOMPARE(log.criticals(),
                 QStringList{"Refusing to use directory '" + path("theirs") +
                             "': it belongs to uid 65534, not to this program's uid 0"});
    }

    void cannotCreateIsOneLine()
    {
        QFile file(path("afile"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        LogCapture log;
        QVERIFY(!PrivateDirectory::prepare(path("afile/below")));
        QCOMPARE(log.criticals(), QStringList{"Cannot create directory '" + path("afile/below") +
                                              "': Not a directory"});
    }

    // The run marker: in its runtime directory below TESSAL_ROOT, made
    // owner-only; a runtime directory open to others is neither read nor
    // written (a planted marker is not believed, nothing lands there).
    void runMarkerInItsOwnDirectory()
    {
        const QString root = path("unit");
        qputenv("TESSAL_ROOT", root.toLocal8Bit());
        RunMarker::begin();
        QCOMPARE(RunMarker::path(), root + "/run/tessalview/running");
        QVERIFY(QFile::exists(RunMarker::path()));
        QCOMPARE(mode(root + "/run/tessalview"), 0700);
        RunMarker::end();
        QVERIFY(!QFile::exists(RunMarker::path()));

        QCOMPARE(::chmod(QFile::encodeName(root + "/run/tessalview").constData(), 0777), 0);
        QFile planted(RunMarker::path());
        QVERIFY(planted.open(QIODevice::WriteOnly));
        planted.write("pid 1, started never\n");
        planted.close();
        LogCapture log;
        RunMarker::begin();
        RunMarker::setPage("http://127.0.0.1/index.html");
        QVERIFY(!log.contains("Previous run ended abnormally"));
        QCOMPARE(log.criticals(), QStringList{"Refusing to use directory '" + root +
                                              "/run/tessalview': its group or others may write "
                                              "to it (mode 0777)"});
        QFile marker(RunMarker::path());
        QVERIFY(marker.open(QIODevice::ReadOnly));
        QCOMPARE(marker.readAll(), QByteArray("pid 1, started never\n"));
        marker.close();
        // Not ours to remove either.
        RunMarker::end();
        QVERIFY(QFile::exists(RunMarker::path()));
        qunsetenv("TESSAL_ROOT");
    }
};

QTEST_GUILESS_MAIN(TestPrivateDirectory)
#include "tst_privatedirectory.moc"
