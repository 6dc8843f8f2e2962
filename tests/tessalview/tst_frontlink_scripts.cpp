// The sample configuration scripts shipped in scripts/: run as real child
// processes with the arguments the kiosk passes, they log the request to the
// system log (a recording `logger` stands in on PATH) and to standard error,
// refuse wrong arguments and never log SNMP secrets.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestFrontLinkScripts : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;
    QString scripts;

    struct Run {
        int status;
        QString err;
        QString syslog;
    };

    Run run(const QString& script, const QStringList& args)
    {
        QFile::remove(tmp.filePath("syslog"));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", tmp.filePath("bin") + ":" + env.value("PATH"));
        p.setProcessEnvironment(env);
        p.start(scripts + "/" + script, args);
        if (!p.waitForFinished(10000))
            return {-1, "<hung>", ""};
        QFile log(tmp.filePath("syslog"));
        log.open(QIODevice::ReadOnly);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromUtf8(p.readAllStandardError()), QString::fromUtf8(log.readAll())};
    }

private slots:
    void initTestCase()
    {
        scripts = qEnvironmentVariable("TESSAL_SOURCE_DIR") + "/scripts";
        QVERIFY(QFileInfo(scripts + "/k3p.sh").isExecutable());
        QDir(tmp.path()).mkpath("bin");
        QFile logger(tmp.filePath("bin/logger"));
        QVERIFY(logger.open(QIODevice::WriteOnly));
        logger.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + tmp.filePath("syslog").toUtf8() +
                     "'\n");
        logger.close();
        logger.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void requestsAreLogged_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("register") << "k3p.sh" << QStringList{"10.0.0.7"}
                                  << "register device 10.0.0.7";
        QTest::newRow("unregister")
            << "k3p.sh" << QStringList{"delete", "10.0.0.7"} << "unregister device 10.0.0.7";
        QTest::newRow("netcfg") << "netcfg.sh"
                                << QStringList{"static",      "192.168.1.20", "255.255.255.0",
                                               "192.168.1.1", "8.8.8.8",      "0.0.0.0",
                                               "tessal"}
                                << "mode=static address=192.168.1.20 netmask=255.255.255.0 "
                                   "gateway=192.168.1.1 dns1=8.8.8.8 dns2=0.0.0.0 setup=tessal";
        QTest::newRow("snmpctl") << "snmpctl.sh" << QStringList{"stop"} << "stop SNMP agent";
        QTest::newRow("modbuscfg")
            << "modbuscfg.sh" << QStringList{"enable", "502"} << "Modbus TCP enable, port 502";
    }
    void requestsAreLogged()
    {
        QFETCH(QString, script);
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const Run r = run(script, args);
        QCOMPARE(r.status, 0);
        QCOMPARE(r.err, script + ": " + message + "\n");
        QCOMPARE(r.syslog, "-t " + script + " -- " + message + "\n");
    }

    void wrongArgumentsAreRefused_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("k3p none") << "k3p.sh" << QStringList{};
        QTest::newRow("k3p delete alone") << "k3p.sh" << QStringList{"delete"};
        QTest::newRow("netcfg short") << "netcfg.sh" << QStringList{"static", "1.2.3.4"};
        QTest::newRow("netcfg mode")
            << "netcfg.sh"
            << QStringList{"auto", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "tessal"};
        QTest::newRow("snmpctl") << "snmpctl.sh" << QStringList{"restart"};
        QTest::newRow("snmpcfg no file") << "snmpcfg.sh" << QStringList{"/nonexistent/snmp.cfg"};
        QTest::newRow("modbuscfg") << "modbuscfg.sh" << QStringList{"on", "502"};
    }
    void wrongArgumentsAreRefused()
    {
        QFETCH(QString, script);
        QFETCH(QStringList, args);
        const Run r = run(script, args);
        QCOMPARE(r.status, 2);
        QVERIFY(r.err.startsWith(script + ": "));
    }

    void snmpScriptsKeepSecretsOutOfTheLog()
    {
        const QString file = tmp.filePath("snmp.cfg");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("version=V3PRIV\nro_user=secretcommunity\npriv_user=admin\npriv_pwd=hunter2\n"
                "priv_key=k3y\ncli_pwd=trappwd\ncli_mode=V2\nport=161\nport_trap=162\n"
                "trap_addr1=10.1.2.3\n");
        f.close();
        const Run agent = run("snmpcfg.sh", {file});
        QCOMPARE(agent.status, 0);
        QVERIFY(agent.syslog.contains("version=V3PRIV priv_user=admin port=161"));
        const Run traps = run("snmptrap.sh", {file});
        QCOMPARE(traps.status, 0);
        QVERIFY(traps.syslog.contains("cli_mode=V2 port_trap=162 trap_addr1=10.1.2.3"));
        for (const Run& r : {agent, traps})
            for (const char* secret : {"secretcommunity", "hunter2", "k3y", "trappwd"}) {
                QVERIFY(!r.syslog.contains(secret));
                QVERIFY(!r.err.contains(secret));
            }
    }
};

QTEST_GUILESS_MAIN(TestFrontLinkScripts)
#include "tst_frontlink_scripts.moc"
