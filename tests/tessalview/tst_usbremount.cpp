// The shipped usbremount.sh: refuses what it cannot do without touching
// anything, and really switches a mounted file system between read-only and
// read-write, with nosuid, nodev and noexec each time (checked in a private
// mount namespace when the system allows it).
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class TestUsbRemount : public QObject
{
    Q_OBJECT

private:
    QString m_script;
    QTemporaryDir m_dir;

    struct Run {
        int status = -1;
        QString err;
    };

    Run run(const QString& program, const QStringList& arguments,
            const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
    {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, arguments);
        Run result;
        if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit)
            return result;
        result.status = process.exitCode();
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_script = qEnvironmentVariable("TESSAL_SOURCE_DIR") + "/scripts/usbremount.sh";
        QVERIFY2(QFileInfo(m_script).isExecutable(), qPrintable(m_script));
    }

    void refusesWhatItCannotDo()
    {
        // A plain directory: no drive mounted there.
        Run r = run(m_script, {"ro", m_dir.path()});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("'" + m_dir.path() + "' is not a mount point"), qPrintable(r.err));

        // The directory may come from the environment instead.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("USBREMOUNT_DIR", m_dir.path() + "/absent");
        r = run(m_script, {"rw"}, env);
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("'" + m_dir.path() + "/absent' is not a mount point"),
                 qPrintable(r.err));

        // Anything but rw or ro is a usage error.
        r = run(m_script, {"rx", m_dir.path()});
        QCOMPARE(r.status, 2);
        QVERIFY(r.err.contains("usage"));
        r = run(m_script, {});
        QCOMPARE(r.status, 2);
    }

    void remountsAMountedFileSystem()
    {
        // A tmpfs in a private mount namespace stands in for the drive.
        const QString mnt = m_dir.path() + "/usbmnt";
        QVERIFY(QDir().mkpath(mnt));
        // Mounted without nosuid, nodev and noexec: each remount adds them.
        const QString shell = QString("set -u; d='%1'; s='%2'\n"
                                      "safe() {\n"
                                      "  o=$(awk -v d=\"$d\" '$5 == d { o = $6 } END { print o }'"
                                      " /proc/self/mountinfo)\n"
                                      "  for x in nosuid nodev noexec; do\n"
                                      "    case \",$o,\" in *,$x,*) ;; *) return 1 ;; esac\n"
                                      "  done\n"
                                      "}\n"
                                      "mount -t tmpfs tessal-usb \"$d\" || exit 77\n"
                                      "safe && exit 9\n"
                                      "\"$s\" ro \"$d\" || exit 10\n"
                                      "touch \"$d/ro-write\" 2>/dev/null && exit 11\n"
                                      "safe || exit 15\n"
                                      "\"$s\" rw \"$d\" || exit 12\n"
                                      "touch \"$d/rw-write\" || exit 13\n"
                                      "safe || exit 16\n"
                                      // A file open for writing keeps the
                                      // drive from going read-only: the
                                      // failure is reported with mount's own
                                      // status.
                                      "exec 3>\"$d/busy\"\n"
                                      "\"$s\" ro \"$d\" && exit 14\n"
                                      "exit 0\n")
                                  .arg(mnt, m_script);
        const Run r = run("unshare", {"--mount", "--propagation", "private", "sh", "-c", shell});
        if (r.status == 77 || r.status == -1 || r.err.contains("unshare failed"))
            QSKIP("no private mount namespace here (needs root)");
        QVERIFY2(r.status == 0, qPrintable(QString("status %1: %2").arg(r.status).arg(r.err)));
        QVERIFY(r.err.contains("remounted ro"));
        QVERIFY(r.err.contains("remounted rw"));
        QVERIFY2(r.err.contains(QRegularExpression("ro failed \\(mount status [1-9][0-9]*\\)")),
                 qPrintable(r.err));
        // Nothing leaked into the real directory.
        QVERIFY(!QFile::exists(mnt + "/rw-write"));
    }
};

QTEST_MAIN(TestUsbRemount)
#include "tst_usbremount.moc"
