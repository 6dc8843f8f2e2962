// The three mbserver scripts against a private D-Bus system bus: first with a
// small listener that records exactly what arrives, then with the real
// Modbus server daemon, driven through ModbusInterface and read back by a
// Modbus TCP master.
#include "modbusinterface.h"
#include "registerroad.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Tessal::ModbusInterface;
using tup::core_tmp;

namespace
{

struct ScriptRun {
    int exitCode = -1;
    QString stderrText;
};

QString sourceDir()
{
    return qEnvironmentVariable("TESSAL_SOURCE_DIR");
}

} // namespace

class TestMbServerScripts : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_iSyslog = -1;
    qint64 m_busPid = 0;
    QString m_busAddress;
    QProcessEnvironment m_env;

    QString path(const QString& name) const { return m_dir.path() + "/" + name; }

    static QByteArray readAll(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static bool writeFile(const QString& file, const QByteArray& content)
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        return f.write(content) == content.size();
    }

    // The texts the listener received, in order.
    QList<QByteArray> received() const
    {
        QList<QByteArray> texts = readAll(path("record")).split('\0');
        if (!texts.isEmpty() && texts.last().isEmpty())
            texts.removeLast();
        return texts;
    }

    // The update script's lines come from plinthctl over the log socket
    // under TESSAL_ROOT; they are kept in logger's argument form, so both
    // sources read alike and in the order they were written.
    void drainSyslog() const
    {
        char buf[8192];
        for (;;) {
            const ssize_t n = ::recv(m_iSyslog, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0)
                return;
            // <PRI>Mmm dd hh:mm:ss TAG: TEXT
            const QByteArray line(buf, static_cast<int>(n));
            const int close = line.indexOf('>');
            const int colon = line.indexOf(": ", close + 17);
            if (close < 0 || colon < 0)
                continue;
            const int pri = line.mid(1, close - 1).toInt();
            const char* level = pri == 11 ? "user.err" : pri == 13 ? "user.notice" : "other";
            QFile f(path("syslog.log"));
            if (f.open(QIODevice::Append))
                f.write("-t " + line.mid(close + 17, colon - close - 17) + " -p " + level + " -- " +
                        line.mid(colon + 2) + "\n");
        }
    }

    QStringList syslog() const
    {
        drainSyslog();
        return QString::fromUtf8(readAll(path("syslog.log"))).split('\n', Qt::SkipEmptyParts);
    }

    ScriptRun run(const QString& script, const QStringList& args, const QProcessEnvironment& env)
    {
        return runProgram(sourceDir() + "/scripts/" + script, args, env);
    }
    ScriptRun runProgram(const QString& program, const QStringList& args,
                         const QProcessEnvironment& env)
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, args);
        ScriptRun r;
        if (!p.waitForStarted(5000))
            return r;
        p.closeWriteChannel();
        if (!p.waitForFinished(40000)) {
            p.kill();
            p.waitForFinished(1000);
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.stderrText = QString::fromUtf8(p.readAllStandardError());
        drainSyslog();
        return r;
    }
    ScriptRun run(const QString& script, const QStringList& args = {})
    {
        return run(script, args, m_env);
    }

    // One call to the bus itself; empty on failure.
    QString busQuery(const QString& method, const QString& arg) const
    {
        QProcess p;
        p.setProcessEnvironment(m_env);
        p.start("dbus-send", {"--system", "--print-reply=literal", "--reply-timeout=2000",
                              "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus." + method, "string:" + arg});
        if (!p.waitForFinished(5000) || p.exitCode() != 0)
            return QString();
        return QString::fromUtf8(p.readAllStandardOutput()).simplified();
    }

    bool daemonOwnsName() const
    {
        return busQuery("NameHasOwner", "vox.tessal.plinthd") == "boolean true";
    }

    qint64 daemonPid() const
    {
        const QString out = busQuery("GetConnectionUnixProcessID", "vox.tessal.plinthd");
        return out.startsWith("uint32 ") ? out.mid(7).toLongLong() : 0;
    }

    static bool processAlive(qint64 pid)
    {
        return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
    }

    // Waits a little for a process that was told to end (it is not our child,
    // so it is reaped by init).
    static bool processGone(qint64 pid)
    {
        for (int i = 0; i < 50 && processAlive(pid); ++i)
            QTest::qWait(100);
        return !processAlive(pid);
    }

    // A daemon left by a failed test is ended by its id.
    void endLeftOverDaemon()
    {
        const qint64 pid = daemonPid();
        if (pid > 0) {
            ::kill(static_cast<pid_t>(pid), SIGTERM);
            processGone(pid);
        }
    }

    static quint16 freePort()
    {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0))
            return 0;
        return server.serverPort();
    }

    // Holding registers read by a Modbus TCP master (pymodbus); empty on
    // any failure.
    static QList<int> readRegisters(quint16 port, int address, int count)
    {
        QProcess master;
        master.start(
            "/usr/bin/python3",
            {"-c",
             "import sys\n"
             "from pymodbus.client import ModbusTcpClient\n"
             "c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]))\n"
             "if not c.connect(): sys.exit(2)\n"
             "r = c.read_holding_registers(int(sys.argv[2]), count=int(sys.argv[3]), slave=1)\n"
             "c.close()\n"
             "if r.isError(): sys.exit(3)\n"
             "print(' '.join(str(v) for v in r.registers))\n",
             QString::number(port), QString::number(address), QString::number(count)});
        QList<int> values;
        if (!master.waitForFinished(20000) || master.exitCode() != 0)
            return values;
        for (const QString& v :
             QString::fromUtf8(master.readAllStandardOutput()).split(' ', Qt::SkipEmptyParts))
            values.append(v.trimmed().toInt());
        return values;
    }

    // plinthd started as its service manager would, not by the scripts.
    qint64 startDaemonDirectly(const QString& binary)
    {
        QProcess daemon;
        daemon.setProcessEnvironment(m_env);
        daemon.setProgram(binary);
        daemon.setStandardOutputFile(QProcess::nullDevice());
        daemon.setStandardErrorFile(QProcess::nullDevice());
        qint64 pid = 0;
        if (!daemon.startDetached(&pid))
            return 0;
        for (int i = 0; i < 100 && !daemonOwnsName(); ++i)
            QTest::qWait(50);
        return daemonOwnsName() ? pid : 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(!sourceDir().isEmpty());

        const QString config = path("bus.conf");
        QVERIFY(writeFile(
            config,
            QString("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                    "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/"
                    "busconfig.dtd\">\n<busconfig>\n  <type>system</type>\n"
                    "  <listen>unix:path=%1</listen>\n  <auth>EXTERNAL</auth>\n"
                    "  <policy context=\"default\">\n    <allow user=\"*\"/>\n"
                    "    <allow own=\"*\"/>\n    <allow send_destination=\"*\"/>\n"
                    "    <allow receive_sender=\"*\"/>\n  </policy>\n</busconfig>\n")
                .arg(path("bus"))
                .toUtf8()));
        QProcess bus;
        bus.start("dbus-daemon",
                  {"--config-file=" + config, "--fork", "--print-pid=1", "--print-address=1"});
        QVERIFY(bus.waitForFinished(10000));
        QCOMPARE(bus.exitCode(), 0);
        const QStringList out =
            QString::fromUtf8(bus.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(out.size(), 2);
        m_busAddress = out.at(0).trimmed();
        m_busPid = out.at(1).trimmed().toLongLong();
        QVERIFY(m_busPid > 0);

        // The system log of the scripts is a recording logger first on PATH.
        QDir().mkpath(path("bin"));
        QVERIFY(writeFile(path("bin/logger"), QString("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '%1'\n")
                                                  .arg(path("syslog.log"))
                                                  .toUtf8()));
        QFile::setPermissions(path("bin/logger"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        // The system log socket plinthctl writes to, under the fake root.
        QVERIFY(QDir().mkpath(path("root/dev")));
        m_iSyslog = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        QVERIFY(m_iSyslog >= 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray sockPath = path("root/dev/log").toLocal8Bit();
        QVERIFY(sockPath.size() < static_cast<int>(sizeof addr.sun_path));
        std::memcpy(addr.sun_path, sockPath.constData(), sockPath.size() + 1);
        QCOMPARE(::bind(m_iSyslog, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("TESSAL_ROOT", path("root"));
        m_env.insert("PLINTHCTL", qEnvironmentVariable("PLINTHCTL_BIN"));
        QVERIFY(QFileInfo(m_env.value("PLINTHCTL")).isExecutable());
        m_env.insert("DBUS_SYSTEM_BUS_ADDRESS", m_busAddress);
        m_env.insert("PATH", path("bin") + ":" + m_env.value("PATH"));
        m_env.insert("MBSERVER_STATE_DIR", m_dir.path());
        m_env.insert("MBSERVER_WAIT", "5");
        m_env.insert("MBSCRIPTS_RECORD", path("record"));
        m_env.insert("PLINTHD", qEnvironmentVariable("MBSCRIPTS_LISTENER"));
        QVERIFY(QFile::exists(m_env.value("PLINTHD")));
        // Scripts run by ModbusInterface inherit the test's own environment.
        for (const QString& key : m_env.keys())
            qputenv(key.toLocal8Bit(), m_env.value(key).toLocal8Bit());
    }

    void cleanupTestCase()
    {
        endLeftOverDaemon();
        if (m_busPid > 0)
            ::kill(static_cast<pid_t>(m_busPid), SIGTERM);
        if (m_iSyslog >= 0)
            ::close(m_iSyslog);
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            endLeftOverDaemon();
        QFile::remove(path("record"));
        QFile::remove(path("syslog.log"));
        QFile::remove(path(".mbserverupdate-nodaemon"));
        QFile::remove(path(".mbserverupdate-nobus"));
        QFile::remove(path("mbserver_init.saved"));
    }

    // --- with the recording listener ---------------------------------------------

    void textsArriveIntactAndTheDaemonIsStartedOnce()
    {
        QVERIFY(!daemonOwnsName());
        // An init file as the kiosk writes it: indented, several lines, final
        // newline; here with every character a shell could mangle.
        const QByteArray init = "{\n    \"cmd\": \"init\",\n    \"note\": \"a \\\"q\\\" $HOME "
                                "`id` $(id) \\\\ 'single' ; & | * ? ~ %s \\n\",\n"
                                "    \"tables\": []\n}\n";
        QVERIFY(writeFile(path("mbserver_init.dbus"), init));
        ScriptRun r = run("mbserverstart.sh", {path("mbserver_init.dbus")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(daemonOwnsName());
        const qint64 pid = daemonPid();
        QVERIFY(pid > 0);
        QCOMPARE(received(), QList<QByteArray>{init.chopped(1)});

        // Running: a second start delivers the document to the same daemon.
        QCOMPARE(run("mbserverstart.sh", {path("mbserver_init.dbus")}).exitCode, 0);
        QCOMPARE(daemonPid(), pid);
        QCOMPARE(received().size(), 2);

        const QString update = "{\"cmd\":\"setconfig\",\"data\":[{\"address\":0,\"values\":[1,"
                               "2]}],\"x\":\"$PATH `x` \\\\ \\\" '' -- --help\"}";
        QCOMPARE(run("mbserverupdate.sh", {update}).exitCode, 0);
        QCOMPARE(received().last(), update.toUtf8());

        // A refused document is a failure, logged with the daemon's answer.
        r = run("mbserverupdate.sh", {"{\"cmd\":\"setconfig\",\"please-refuse\":1}"});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(syslog().size(), 1);
        QVERIFY(syslog().first().contains("-t mbserverupdate.sh"));
        QVERIFY(syslog().first().contains("update refused"));
        QVERIFY(syslog().first().contains("\"err\":108"));

        QCOMPARE(run("mbserverstop.sh").exitCode, 0);
        const QList<QByteArray> texts = received();
        QCOMPARE(texts.mid(texts.size() - 2),
                 QList<QByteArray>({"{\"cmd\":\"deinit\"}", "{\"cmd\":\"stop\"}"}));
        QVERIFY(!daemonOwnsName());
        QVERIFY(processGone(pid));

        // Nothing runs: stop has nothing to do, an update is dropped and
        // logged once a minute, not once per frame.
        QCOMPARE(run("mbserverstop.sh").exitCode, 0);
        QCOMPARE(received().size(), texts.size());
        QFile::remove(path("syslog.log"));
        QCOMPARE(run("mbserverupdate.sh", {update}).exitCode, 1);
        QCOMPARE(run("mbserverupdate.sh", {update}).exitCode, 1);
        QCOMPARE(syslog().size(), 1);
        QVERIFY(syslog().first().contains("plinthd is not running, update dropped"));
    }

    void failuresAreLoggedAndReported()
    {
        QVERIFY(writeFile(path("init.json"), "{\"cmd\":\"init\"}"));

        ScriptRun r = run("mbserverstart.sh", {path("missing.json")});
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.stderrText.contains("missing.json"));
        QCOMPARE(run("mbserverstart.sh").exitCode, 1);

        QProcessEnvironment env = m_env;
        env.insert("PLINTHD", path("no-such-plinthd"));
        QCOMPARE(run("mbserverstart.sh", {path("init.json")}, env).exitCode, 1);
        env.insert("PLINTHD", "/bin/false");
        QCOMPARE(run("mbserverstart.sh", {path("init.json")}, env).exitCode, 1);
        QVERIFY(!daemonOwnsName());

        env = m_env;
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path("no-bus"));
        QCOMPARE(run("mbserverstart.sh", {path("init.json")}, env).exitCode, 1);
        QCOMPARE(run("mbserverstop.sh", {}, env).exitCode, 1);
        QCOMPARE(run("mbserverupdate.sh", {"{}"}, env).exitCode, 1);
        // The next frame, still without a bus: not delivered either, but
        // said only once a minute.
        r = run("mbserverupdate.sh", {"{}"}, env);
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.stderrText, QString());
        QCOMPARE(run("mbserverupdate.sh", {}, env).exitCode, 1);

        const QStringList log = syslog();
        QCOMPARE(log.size(), 8);
        QVERIFY(log.at(0).contains("-t mbserverstart.sh") && log.at(0).contains("missing.json"));
        QVERIFY(log.at(1).contains("usage"));
        QVERIFY(log.at(2).contains("plinthd not found"));
        QVERIFY(log.at(3).contains("exited before owning vox.tessal.plinthd"));
        QVERIFY(log.at(4).contains("D-Bus system bus not reachable"));
        QVERIFY(log.at(5).contains("-t mbserverstop.sh") && log.at(5).contains("not reachable"));
        QVERIFY(log.at(6).contains("-t mbserverupdate.sh") && log.at(6).contains("not delivered"));
        QVERIFY(log.at(7).contains("usage"));
    }

    // One update is one shell that execs plinthctl: nothing else runs per
    // frame on the kiosk's thread.
    void oneUpdateStartsNoOtherProcess()
    {
        const QString strace = QStandardPaths::findExecutable("strace");
        if (strace.isEmpty())
            QSKIP("strace is not installed");
        QVERIFY(writeFile(path("init.json"), "{\"cmd\":\"init\"}"));
        QCOMPARE(run("mbserverstart.sh", {path("init.json")}).exitCode, 0);

        const QString update = "{\"cmd\":\"setconfig\",\"data\":[{\"address\":1,\"values\":[7]}]}";
        const ScriptRun r = runProgram(strace,
                                       {"-f", "-qq", "-e", "trace=process", "-o", path("trace"),
                                        sourceDir() + "/scripts/mbserverupdate.sh", update},
                                       m_env);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(received().last(), update.toUtf8());

        QSet<QString> pids;
        QStringList programs;
        const QStringList lines =
            QString::fromUtf8(readAll(path("trace"))).split('\n', Qt::SkipEmptyParts);
        for (const QString& line : lines) {
            pids.insert(line.section(' ', 0, 0));
            const int at = line.indexOf("execve(\"");
            if (at >= 0 && !line.contains("= -1 "))
                programs.append(line.mid(at + 8).section('"', 0, 0));
        }
        QVERIFY2(pids.size() <= 2, qPrintable(lines.join('\n')));
        QCOMPARE(programs, QStringList({sourceDir() + "/scripts/mbserverupdate.sh",
                                        m_env.value("PLINTHCTL")}));
        QCOMPARE(run("mbserverstop.sh").exitCode, 0);
    }

    // Without PLINTHCTL the scripts take plinthctl from beside their real
    // file (also when called through a link), else from PATH.
    void plinthctlIsFoundBesideTheScriptOrOnPath()
    {
        QVERIFY(writeFile(path("init.json"), "{\"cmd\":\"init\"}"));
        QCOMPARE(run("mbserverstart.sh", {path("init.json")}).exitCode, 0);
        const QString plinthctl = m_env.value("PLINTHCTL");
        QProcessEnvironment env = m_env;
        env.remove("PLINTHCTL");
        const QString beside = path("beside");
        const QString linked = path("linked");
        const QString alone = path("alone");
        for (const QString& dir : {beside, linked, alone})
            QVERIFY(QDir().mkpath(dir));
        QVERIFY(
            QFile::copy(sourceDir() + "/scripts/mbserverupdate.sh", beside + "/mbserverupdate.sh"));
        QVERIFY(QFile::link(plinthctl, beside + "/plinthctl"));
        QVERIFY(QFile::link(beside + "/mbserverupdate.sh", linked + "/mbserverupdate.sh"));
        QVERIFY(
            QFile::copy(sourceDir() + "/scripts/mbserverupdate.sh", alone + "/mbserverupdate.sh"));

        auto deliver = [&](const QString& script, const QProcessEnvironment& e,
                           const QString& doc) {
            QProcess p;
            p.setProcessEnvironment(e);
            p.start(script, {doc});
            return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode()
                                                                                      : -1;
        };
        QCOMPARE(deliver(beside + "/mbserverupdate.sh", env, "{\"n\":1}"), 0);
        QCOMPARE(received().last(), QByteArray("{\"n\":1}"));
        QCOMPARE(deliver(linked + "/mbserverupdate.sh", env, "{\"n\":2}"), 0);
        QCOMPARE(received().last(), QByteArray("{\"n\":2}"));

        // Not beside it and not on PATH: dropped and logged, no shell error.
        QCOMPARE(deliver(alone + "/mbserverupdate.sh", env, "{\"n\":3}"), 1);
        QVERIFY(syslog().last().contains("plinthctl not found, update dropped"));
        env.insert("PATH", QFileInfo(plinthctl).path() + ":" + env.value("PATH"));
        QCOMPARE(deliver(alone + "/mbserverupdate.sh", env, "{\"n\":4}"), 0);
        QCOMPARE(received().last(), QByteArray("{\"n\":4}"));
        QCOMPARE(run("mbserverstop.sh").exitCode, 0);
    }

    // --- with the real daemon -------------------------------------------------------

    // plinthd killed and started again by its service manager comes back
    // Idle: the next update configures it from the init document the start
    // script kept, and the master reads the new value. A daemon stopped on
    // purpose is not configured again.
    void aRestartedDaemonIsConfiguredAgainByTheNextUpdate()
    {
        const QString plinthd = qEnvironmentVariable("PLINTHD_BIN");
        if (plinthd.isEmpty() || !QFileInfo(plinthd).isExecutable())
            QSKIP("plinthd is not built in this tree");
        QProcessEnvironment env = m_env;
        env.insert("PLINTHD", plinthd);
        const quint16 port = freePort();
        QVERIFY(port > 0);
        const QByteArray init =
            QString("{\n  \"cmd\": \"init\", \"delay\": 500, \"protocol\": \"tcp\",\n"
                    "  \"tcp\": {\"clients\": 4, \"listen\": \"127.0.0.1\", \"port\": %1},\n"
                    "  \"tables\": [{\"address\": 0, \"length\": 4, \"mode\": \"r\"}]\n}\n")
                .arg(port)
                .toUtf8();
        QVERIFY(writeFile(path("kiosk_init.dbus"), init));
        QCOMPARE(run("mbserverstart.sh", {path("kiosk_init.dbus")}, env).exitCode, 0);
        QCOMPARE(readAll(path("mbserver_init.saved")), init);
        auto update = [](int value) {
            return QString("{\"cmd\":\"setconfig\",\"data\":[{\"address\":0,\"values\":[%1,2]}]}")
                .arg(value);
        };
        QCOMPARE(run("mbserverupdate.sh", {update(11)}, env).exitCode, 0);
        QCOMPARE(readRegisters(port, 0, 2), QList<int>({11, 2}));

        // A crash: gone from the bus, then back, empty.
        qint64 pid = daemonPid();
        QVERIFY(pid > 0);
        ::kill(static_cast<pid_t>(pid), SIGKILL);
        QVERIFY(processGone(pid));
        for (int i = 0; i < 100 && daemonOwnsName(); ++i)
            QTest::qWait(50);
        QVERIFY(!daemonOwnsName());
        QCOMPARE(run("mbserverupdate.sh", {update(12)}, env).exitCode, 1);
        QCOMPARE(run("mbserverupdate.sh", {update(13)}, env).exitCode, 1);
        QCOMPARE(syslog(), QStringList({"-t mbserverupdate.sh -p user.err -- plinthd is not "
                                        "running, update dropped"}));
        QFile::remove(path("syslog.log"));

        pid = startDaemonDirectly(plinthd);
        QVERIFY(pid > 0);
        QVERIFY(readRegisters(port, 0, 2).isEmpty()); // Idle: nothing served
        QCOMPARE(run("mbserverupdate.sh", {update(14)}, env).exitCode, 0);
        QCOMPARE(readRegisters(port, 0, 2), QList<int>({14, 2}));
        QCOMPARE(syslog().size(), 1);
        QVERIFY(syslog().first().startsWith("-t mbserverupdate.sh -p user.notice -- "));
        QVERIFY(syslog().first().contains("init re-delivered"));
        // Configured again: the next update is an ordinary one.
        QFile::remove(path("syslog.log"));
        QCOMPARE(run("mbserverupdate.sh", {update(15)}, env).exitCode, 0);
        QCOMPARE(readRegisters(port, 0, 2), QList<int>({15, 2}));
        QVERIFY(syslog().isEmpty());

        // Stopped on purpose: a daemon started later stays unconfigured.
        QCOMPARE(run("mbserverstop.sh", {}, env).exitCode, 0);
        QVERIFY(processGone(pid));
        QVERIFY(!QFile::exists(path("mbserver_init.saved")));
        pid = startDaemonDirectly(plinthd);
        QVERIFY(pid > 0);
        QCOMPARE(run("mbserverupdate.sh", {update(16)}, env).exitCode, 1);
        QCOMPARE(syslog().size(), 1);
        QVERIFY(syslog().first().contains("update refused: {\"err\":110"));
        QCOMPARE(run("mbserverstop.sh", {}, env).exitCode, 0);
        QVERIFY(processGone(pid));
    }

    void kioskChainServesTheDeviceValues()
    {
        const QString plinthd = qEnvironmentVariable("PLINTHD_BIN");
        if (plinthd.isEmpty() || !QFileInfo(plinthd).isExecutable())
            QSKIP("plinthd is not built in this tree");
        qputenv("PLINTHD", plinthd.toLocal8Bit());
        const quint16 port = freePort();
        QVERIFY(port > 0);

        QDir().mkpath(path("root/usr/local/etc"));
        QVERIFY(writeFile(path("root/usr/local/etc/tessal-view.ini"),
                          QString("[Files]\nScriptDir=%1/scripts\nTmpCfgDir=%2\n"
                                  "[ModbusServer]\nModbusMode=tcp\nModbusInterface=127.0.0.1:%3:4\n"
                                  "ModbusMap=%1/deploy/etc/modbus.map\n")
                              .arg(sourceDir(), path("etc"))
                              .arg(port)
                              .toUtf8()));
        qputenv("TESSAL_ROOT", path("root").toLocal8Bit());
        Tessal::Settings::resetToDefaults();
        QVERIFY(Tessal::Settings::load());

        // The kiosk's start-up order, with the sample map of the repository:
        // the register road stops and starts the server on its own watcher.
        Tessal::RegisterRoad road;
        QSignalSpy delivered(&road, &Tessal::RegisterRoad::documentDelivered);
        road.start();
        QVERIFY(road.map().tables().size() > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!road.scripts().isBusy() && road.scripts().waiting() == 0, 20000);
        QVERIFY(daemonOwnsName());
        const qint64 pid = daemonPid();

        // One Core section: voltage 230.5 V as a float, current -12 (0.1 A),
        // alarm on, a temperature of 21.5 C.
        auto item = [](int cls, int field, int type, std::vector<uint8_t> bytes) {
            core_tmp it;
            it.ci_class = static_cast<uint16_t>(cls);
            it.ci_field = static_cast<uint16_t>(field);
            it.ci_type = static_cast<uint8_t>(type);
            it.datalen = static_cast<uint16_t>(bytes.size());
            it.baData = std::move(bytes);
            return it;
        };
        road.update({item(2, 1, 8, {0x43, 0x66, 0x80, 0x00}), item(2, 2, 5, {0xFF, 0xF4}),
                     item(1, 2, 1, {0x01}), item(2, 5, 8, {0x41, 0xAC, 0x00, 0x00})});
        QTRY_COMPARE_WITH_TIMEOUT(delivered.count(), 1, 20000);
        QJsonArray sentTables;
        const QJsonArray data =
            QJsonDocument::fromJson(delivered.first().first().toString().toUtf8())
                .object()
                .value("data")
                .toArray();
        for (const QJsonValue& t : data)
            sentTables.append(t.toObject().value("address"));
        QCOMPARE(sentTables, QJsonArray({100, 200, 0}));

        QProcess master;
        master.start("/usr/bin/python3",
                     {"-c",
                      "import sys, json\n"
                      "from pymodbus.client import ModbusTcpClient\n"
                      "c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]))\n"
                      "if not c.connect(): sys.exit(2)\n"
                      "out = []\n"
                      "for a, n in ((0, 7), (100, 9), (200, 4)):\n"
                      "    r = c.read_holding_registers(a, count=n, slave=1)\n"
                      "    if r.isError(): sys.exit(3)\n"
                      "    out.append(r.registers)\n"
                      "c.close()\n"
                      "print(json.dumps(out))\n",
                      QString::number(port)});
        QVERIFY(master.waitForFinished(20000));
        QCOMPARE(master.exitCode(), 0);
        const QJsonArray read = QJsonDocument::fromJson(master.readAllStandardOutput()).array();
        QCOMPARE(read.size(), 3);
        // Alarm, status default 65535, uptime 0 (2 words), gap, power 0.
        QCOMPARE(read.at(0).toArray(), QJsonArray({1, 65535, 0, 0, 0, 0, 0}));
        // 230.5 as float, L2 not received, current -12, energy 0, 21.5 -> 22,
        // the status register listed in both tables.
        QCOMPARE(read.at(1).toArray(), QJsonArray({0x4366, 0x8000, 0, 0, 0xFFF4, 0, 0, 22, 65535}));
        // 230.5 served as int32 rounds to 231.
        QCOMPARE(read.at(2).toArray(), QJsonArray({0, 231, 0, 0}));

        // A start while the daemon still serves (no stop before it) closes the
        // old configuration and applies the init again in the same daemon.
        QCOMPARE(run("mbserverstart.sh", {path("etc/mbserver_init.dbus")}).exitCode, 0);
        QCOMPARE(daemonPid(), pid);

        QCOMPARE(run("mbserverstop.sh", {}).exitCode, 0);
        QVERIFY(!daemonOwnsName());
        QVERIFY(processGone(pid));
    }
};

QTEST_GUILESS_MAIN(TestMbServerScripts)
#include "tst_mbserverscripts.moc"
