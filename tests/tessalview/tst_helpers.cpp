// Helpers: sysfs-style writes, hashing, the fixed-path seam and the script runner.
#include "helpers.h"
#include "logcapture.h"
#include "settings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <pthread.h>
#include <unistd.h>

using Tessal::Helpers;

class TestHelpers : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString writeScript(const QString& name, const QByteArray& body, bool executable = true)
    {
        const QString path = m_dir.path() + "/" + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString();
        file.write("#!/bin/sh\n" + body);
        file.close();
        QFile::Permissions perms = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            perms |= QFile::ExeOwner;
        file.setPermissions(perms);
        return path;
    }

    static QByteArray readAll(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QFile ini(m_dir.path() + "/tessal-view.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Files]\nScriptDir=" + m_dir.path().toLocal8Bit() + "\n");
        ini.close();
        QDir(m_dir.path()).mkpath("root/usr/local/etc");
        QVERIFY(QFile::copy(ini.fileName(), m_dir.path() + "/root/usr/local/etc/tessal-view.ini"));
        qputenv("TESSAL_ROOT", (m_dir.path() + "/root").toLocal8Bit());
        QVERIFY(Tessal::Settings::load());
        QCOMPARE(Tessal::Settings::getFilesScriptDir(), m_dir.path());
    }

    void echoWritesExactlyTheText()
    {
        const QString path = m_dir.path() + "/value";
        QVERIFY(Helpers::echo(path, QString("out")));
        QCOMPARE(readAll(path), QByteArray("out"));
        QVERIFY(Helpers::echo(path, -5));
        QCOMPARE(readAll(path), QByteArray("-5"));
        QVERIFY(Helpers::echo(path, 1));
        QCOMPARE(readAll(path), QByteArray("1"));
    }

    void echoToUnwritableFileFailsWithCriticalLine()
    {
        LogCapture log;
        const QString path = m_dir.path() + "/no/such/dir/value";
        QVERIFY(!Helpers::echo(path, 1));
        QCOMPARE(log.criticals().size(), 1);
        QVERIFY(log.criticals().first().contains("Error opening file '" + path + "'"));
    }

    // sysfs refuses a value at write time (an unknown pin on export): the
    // caller must not be told it was written.
    void refusedWriteIsAFailure()
    {
        LogCapture log;
        QVERIFY(!Helpers::echo("/dev/full", QString("out")));
        QCOMPARE(log.criticals(), QStringList{"Error writing file '/dev/full'"});
        log.clear();
        QVERIFY(!Helpers::echo("/dev/full", 224));
        QCOMPARE(log.criticals().size(), 1);
    }

    void md5()
    {
        QCOMPARE(Helpers::calculateHash("abc").toHex(),
                 QByteArray("900150983cd24fb0d6963f7d28e17f72"));
        QCOMPARE(Helpers::calculateHash("abc").size(), 16);
        const QString path = m_dir.path() + "/hashme";
        QVERIFY(Helpers::echo(path, QString("abc")));
        QCOMPARE(Helpers::calculateFileHash(path), Helpers::calculateHash("abc"));
        QVERIFY(Helpers::calculateFileHash(m_dir.path() + "/missing").isEmpty());
    }

    void systemPathSeam()
    {
        const QByteArray saved = qgetenv("TESSAL_ROOT");
        qunsetenv("TESSAL_ROOT");
        QCOMPARE(Helpers::systemPath("/sys/class/gpio/export"), QString("/sys/class/gpio/export"));
        qputenv("TESSAL_ROOT", "/tmp/unit/");
        QCOMPARE(Helpers::systemPath("/sys/class/gpio/export"),
                 QString("/tmp/unit/sys/class/gpio/export"));
        qputenv("TESSAL_ROOT", saved);
    }

    void sleepBlocks()
    {
        QElapsedTimer timer;
        timer.start();
        Helpers::sleep(50);
        QVERIFY(timer.elapsed() >= 45);
    }

    void scriptGetsArgumentsAsSeparateEntriesWithoutShell()
    {
        const QString record = m_dir.path() + "/args.txt";
        writeScript("rec.sh", "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > '" +
                                  record.toLocal8Bit() + "'\n");
        QVERIFY(Helpers::runScript("rec.sh", {"static", "a b", "$(touch x);rm"}));
        QCOMPARE(readAll(record), QByteArray("[static]\n[a b]\n[$(touch x);rm]\n"));
    }

    void missingOrNotExecutableScriptIsNotRun()
    {
        LogCapture log;
        QVERIFY(!Helpers::runScript("absent.sh", {}));
        QCOMPARE(log.count("Script '" + m_dir.path() + "/absent.sh' not found, do nothing"), 1);

        log.clear();
        QVERIFY(!Helpers::runScript("absent.sh", {}, false));
        QCOMPARE(log.lines().size(), 0);

        const QString marker = m_dir.path() + "/ran";
        writeScript("plain.sh", "touch '" + marker.toLocal8Bit() + "'\n", false);
        QVERIFY(!Helpers::runScript("plain.sh", {}));
        QVERIFY(!QFile::exists(marker));
    }

    void hungScriptIsKilled()
    {
        const QString pidFile = m_dir.path() + "/hung.pid";
        writeScript("hung.sh", "echo $$ > '" + pidFile.toLocal8Bit() + "'\nexec sleep 60\n");
        LogCapture log;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!Helpers::runScript("hung.sh", {}, true, 300));
        // Killed at its own 300 ms, not at the default 30 s (slack for a
        // slow start under emulation).
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(log.contains("did not finish within 300 ms, killed"));
        const QByteArray pid = readAll(pidFile).trimmed();
        QVERIFY(!pid.isEmpty());
        // The process is gone (reaped), not left running.
        QVERIFY(!QFile::exists("/proc/" + pid + "/status") ||
                !readAll("/proc/" + pid + "/status").contains("sleep"));
    }

    void hungScriptIsKilledWithWhatItStarted()
    {
        const QString pidFile = m_dir.path() + "/child.pid";
        writeScript("spawner.sh", "sleep 60 &\necho $! > '" + pidFile.toLocal8Bit() + "'\nwait\n");
        QVERIFY(!Helpers::runScript("spawner.sh", {}, true, 500));
        const QByteArray pid = readAll(pidFile).trimmed();
        QVERIFY(!pid.isEmpty());
        // Gone, or at most a zombie waiting for its new parent to reap it.
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists("/proc/" + pid + "/stat") ||
                                     readAll("/proc/" + pid + "/stat").contains(") Z "),
                                 5000);
    }

    // A signal the kiosk ignores or blocks is neither ignored nor blocked in
    // its scripts: a script (and what it starts) still ends on a hang-up, a
    // broken pipe, a stop request or Ctrl-C. A shell unblocks every signal
    // when it starts, so the probe is an awk program, which keeps the mask
    // it was given.
    void scriptStartsWithDefaultSignals()
    {
        const QString awk = QFile::exists("/usr/bin/awk") ? "/usr/bin/awk" : "/bin/awk";
        QVERIFY2(QFile::exists(awk), "no awk to probe the signal state with");
        const QString out = m_dir.path() + "/sigstate";
        const QString path = m_dir.path() + "/sigprobe.sh";
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!" + awk.toLocal8Bit() + " -f\n" +
                   "BEGIN { while ((getline line < \"/proc/self/status\") > 0)\n"
                   "  if (line ~ /^Sig(Blk|Ign):/) print line > \"" +
                   out.toLocal8Bit() + "\" }\n");
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        const int probed[] = {SIGHUP, SIGPIPE, SIGTERM, SIGINT};
        struct sigaction ignore = {}, old[4] = {};
        ignore.sa_handler = SIG_IGN;
        for (int i = 0; i < 4; ++i)
            QCOMPARE(sigaction(probed[i], &ignore, &old[i]), 0);
        sigset_t block, oldMask;
        sigemptyset(&block);
        sigaddset(&block, SIGTERM);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGHUP);
        QCOMPARE(pthread_sigmask(SIG_BLOCK, &block, &oldMask), 0);
        const bool ended = Helpers::runScript("sigprobe.sh", {}, true, 5000);
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
        for (int i = 0; i < 4; ++i)
            sigaction(probed[i], &old[i], nullptr);
        QVERIFY(ended);

        const QList<QByteArray> lines = readAll(out).trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        for (const QByteArray& line : lines) {
            bool ok = false;
            const qulonglong set = line.mid(7).trimmed().toULongLong(&ok, 16);
            QVERIFY2(ok, line.constData());
            for (int sig : probed)
                QVERIFY2(!(set & (1ULL << (sig - 1))),
                         qPrintable(QString("%1 has signal %2").arg(QString(line)).arg(sig)));
        }
    }

    void scriptThatCannotBeExecutedIsReported()
    {
        // qemu-user runs posix_spawn's child as a plain fork, without the
        // shared memory through which the exec failure comes back.
        if (qEnvironmentVariable("TESSAL_QEMU_GUARD") == "1")
            QSKIP("exec failures are not reported back under qemu-user");
        // Executable, but neither a binary nor a script with its interpreter.
        const QString path = m_dir.path() + "/noshebang.sh";
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("\x01\x02\x03 not a program\n"));
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        LogCapture log;
        QVERIFY(!Helpers::runScript("noshebang.sh", {}, true, 5000));
        QVERIFY2(log.contains("Script '" + path + "' could not be started"),
                 qPrintable(log.lines().join("\n")));
    }

    // A script's standard input is /dev/null, whatever the kiosk's is: here
    // the caller's is a pipe that stays open, which a script reading it
    // would wait on until it is killed.
    void scriptThatReadsInputSeesEndOfFile()
    {
        const QString seen = m_dir.path() + "/stdin";
        writeScript("reader.sh",
                    "readlink /proc/$$/fd/0 > '" + seen.toLocal8Bit() + "'\ncat > /dev/null\n");
        int fds[2];
        QCOMPARE(pipe(fds), 0);
        const int savedStdin = dup(STDIN_FILENO);
        QVERIFY(savedStdin >= 0);
        QCOMPARE(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
        const bool ended = Helpers::runScript("reader.sh", {}, true, 3000);
        dup2(savedStdin, STDIN_FILENO);
        close(savedStdin);
        close(fds[0]);
        close(fds[1]);
        QVERIFY2(ended, "the script waited on the kiosk's standard input");
        QCOMPARE(readAll(seen).trimmed(), QByteArray("/dev/null"));
    }
};

QTEST_GUILESS_MAIN(TestHelpers)
#include "tst_helpers.moc"
