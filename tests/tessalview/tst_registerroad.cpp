// The register road: the server's stop and start scripts, then one update
// script at a time with the latest document, none of them waited on.
#include "logcapture.h"
#include "registerroad.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using Tessal::RegisterRoad;
using tup::core_tmp;

namespace
{

enum { T_U16 = 2, C_METER = 10, F_VOLT = 1, F_CURR = 2 };

// Two tables of one register each: Voltage at 100, Current at 200.
QByteArray twoTableMap()
{
    const QJsonObject ci{
        {"types", QJsonObject{{"u16", T_U16}}},
        {"classes",
         QJsonObject{{"Meter", QJsonObject{{"id", C_METER},
                                           {"fields", QJsonObject{{"Voltage", F_VOLT},
                                                                  {"Current", F_CURR}}}}}}}};
    auto reg = [](int id, const char* field) {
        return QJsonObject{
            {"id", id},          {"name", field}, {"mb_type", "u16"}, {"ci_class", "Meter"},
            {"ci_field", field}, {"ci_index", 0}, {"ci_type", "u16"}};
    };
    auto table = [](int address, int reg) {
        return QJsonObject{
            {"name", "t"}, {"mode", "r"}, {"address", address}, {"registers", QJsonArray{reg}}};
    };
    return QJsonDocument(
               QJsonObject{{"ci", ci},
                           {"registers", QJsonArray{reg(1, "Voltage"), reg(2, "Current")}},
                           {"tables", QJsonArray{table(100, 1), table(200, 2)}}})
        .toJson();
}

core_tmp item(int field, quint16 value)
{
    core_tmp it;
    it.ci_class = C_METER;
    it.ci_field = static_cast<uint16_t>(field);
    it.instance = 0;
    it.ci_type = T_U16;
    it.datalen = 2;
    it.baData = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return it;
}

} // namespace

class TestRegisterRoad : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_iniCount = 0;

    QString scripts() const { return m_dir.path() + "/scripts"; }

    void configure(const QString& scriptDir, const QString& tmpCfgDir)
    {
        QDir(m_dir.path()).mkpath("root/usr/local/etc");
        QFile map(m_dir.path() + "/two.map");
        QVERIFY(map.open(QIODevice::WriteOnly | QIODevice::Truncate));
        map.write(twoTableMap());
        map.close();
        QFile ini(m_dir.path() + "/root/usr/local/etc/tessal-view.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(QString("[Files]\nScriptDir=%1\nTmpCfgDir=%2\n[ModbusServer]\nModbusMap=%3\n"
                          "ModbusMode=tcp\nModbusInterface=127.0.0.1:1502:1\n[Pad]\nn=%4\n")
                      .arg(scriptDir, tmpCfgDir, map.fileName(), QString(++m_iniCount, 'x'))
                      .toUtf8());
        ini.close();
        Tessal::Settings::resetToDefaults();
        QVERIFY(Tessal::Settings::load());
    }

    // A script that appends its name and arguments (tab-separated) to
    // calls.log, after `extra` (for example a pause).
    void writeRecorder(const QString& name, const QByteArray& extra = QByteArray())
    {
        QDir().mkpath(scripts());
        QFile file(scripts() + "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\n" + extra +
                   QString("{ printf '%s' \"$(basename \"$0\")\"\n"
                           "for a in \"$@\"; do printf '\\t%s' \"$a\"; done\nprintf '\\n'; } >> "
                           "'%1/calls.log'\n")
                       .arg(scripts())
                       .toUtf8());
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    QStringList calls() const
    {
        QFile file(scripts() + "/calls.log");
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        qputenv("TESSAL_ROOT", (m_dir.path() + "/root").toLocal8Bit());
        QDir(scripts()).removeRecursively();
    }

    void serverStopStartThenUpdatesInOrder()
    {
        configure(scripts() + "/", m_dir.path() + "/etc//x/");
        for (const char* name : {"mbserverstart.sh", "mbserverstop.sh", "mbserverupdate.sh"})
            writeRecorder(name);
        LogCapture log;
        RegisterRoad road;
        QSignalSpy delivered(&road, &RegisterRoad::documentDelivered);
        road.start();
        road.update({item(F_VOLT, 230)});
        // Asked for, not waited for.
        QVERIFY(calls().size() < 3);
        QTRY_COMPARE(delivered.count(), 1);
        const QString doc = R"({"cmd":"setconfig","data":[{"address":100,"values":[230]}]})";
        QCOMPARE(delivered.first().first().toString(), doc);
        QCOMPARE(calls(),
                 QStringList({"mbserverstop.sh",
                              "mbserverstart.sh\t" + m_dir.path() + "/etc/x/mbserver_init.dbus",
                              "mbserverupdate.sh\t" + doc}));
        const QStringList lines = log.lines();
        const int start = lines.indexOf("Start modbus monitor");
        QVERIFY(lines.contains("Stop modbus monitor"));
        QVERIFY(start >= 0 && start + 3 < lines.size());
        QCOMPARE(lines.at(start + 1), scripts() + "/mbserverstart.sh");
        QCOMPARE(lines.at(start + 2), m_dir.path() + "/etc/x/mbserver_init.dbus");
        QCOMPARE(lines.at(start + 3), QString(""));
    }

    void missingScriptsLogOnlyForStartAndStop()
    {
        QDir().mkpath(scripts());
        configure(scripts(), m_dir.path() + "/etc");
        LogCapture log;
        RegisterRoad road;
        QSignalSpy delivered(&road, &RegisterRoad::documentDelivered);
        road.start();
        road.update({});
        QTRY_COMPARE(delivered.count(), 1);
        QCOMPARE(delivered.first().first().toString(), QString(R"({"cmd":"setconfig","data":[]})"));
        QCOMPARE(log.count("not found, do nothing"), 2);
        QVERIFY(log.contains("Script '" + scripts() + "/mbserverstop.sh' not found, do nothing"));
        QVERIFY(log.contains("Script '" + scripts() + "/mbserverstart.sh' not found, do nothing"));
        QVERIFY(!log.contains("mbserverupdate.sh"));
    }

    // Values come faster than the update script ends: one script at a time,
    // the waiting document replaced by each newer one, and the last document
    // delivered once the script is free, with every table touched meanwhile.
    void theLatestDocumentWinsAndNoTableIsLost()
    {
        configure(scripts(), m_dir.path() + "/etc");
        writeRecorder("mbserverupdate.sh", "sleep 0.3\n");
        RegisterRoad road;
        QSignalSpy delivered(&road, &RegisterRoad::documentDelivered);
        QSignalSpy replaced(&road, &RegisterRoad::documentReplaced);
        road.start();
        road.update({item(F_VOLT, 1)});
        road.update({item(F_VOLT, 2)});
        road.update({item(F_CURR, 7)}); // another table, while the first waits
        road.update({item(F_VOLT, 3)});
        QCOMPARE(road.scripts().waiting(), 1);
        QCOMPARE(replaced.count(), 2);
        QTRY_COMPARE(delivered.count(), 2);
        QCOMPARE(delivered[0][0].toString(),
                 QString(R"({"cmd":"setconfig","data":[{"address":100,"values":[1]}]})"));
        QCOMPARE(delivered[1][0].toString(),
                 QString(R"({"cmd":"setconfig","data":[{"address":100,"values":[3]},)"
                         R"({"address":200,"values":[7]}]})"));
        QTest::qWait(400);
        QCOMPARE(delivered.count(), 2);
        QCOMPARE(calls().size(), 2);
    }

    // An update script that hangs is killed at the limit; the next document
    // still goes out.
    void aHungUpdateIsKilledAndTheNextGoesOut()
    {
        configure(scripts(), m_dir.path() + "/etc");
        writeRecorder("mbserverupdate.sh", "case \"$1\" in *'[1]'*) exec sleep 30;; esac\n");
        LogCapture log;
        RegisterRoad road(300);
        QSignalSpy delivered(&road, &RegisterRoad::documentDelivered);
        road.start();
        road.update({item(F_VOLT, 1)});
        road.update({item(F_VOLT, 2)});
        QTRY_COMPARE_WITH_TIMEOUT(delivered.count(), 2, 5000);
        QCOMPARE(log.count(QString("Script '%1/mbserverupdate.sh' did not finish within 300 ms, "
                                   "killed")
                               .arg(scripts())),
                 1);
        QCOMPARE(calls(), QStringList({"mbserverupdate.sh\t" + delivered[1][0].toString()}));
    }
};

QTEST_GUILESS_MAIN(TestRegisterRoad)
#include "tst_registerroad.moc"
