// Modbus bridge: loading the map, the init document, turning Core items into
// register words and the update document. The scripts that carry the
// documents are the register road's (tst_registerroad).
#include "logcapture.h"
#include "modbusinterface.h"
#include "sectiondecoders.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sys/stat.h>

using Tessal::MbRawData_s;
using Tessal::ModbusInterface;
using tup::core_tmp;

namespace
{

// Type codes of the test map.
enum { T_BOOL = 1, T_U16 = 2, T_S16 = 3, T_U32 = 4, T_S32 = 5, T_FLOAT = 6, T_STR = 7 };
enum { C_METER = 10, F_VOLT = 1, F_CURR = 2, F_ALARM = 3, F_ENERGY = 4, F_TEMP = 5, F_NAME = 6 };

QJsonObject baseCi()
{
    QJsonObject types{{"bool", T_BOOL}, {"u16", T_U16},     {"s16", T_S16},   {"u32", T_U32},
                      {"s32", T_S32},   {"float", T_FLOAT}, {"string", T_STR}};
    QJsonObject fields{{"Voltage", F_VOLT},  {"Current", F_CURR}, {"Alarm", F_ALARM},
                       {"Energy", F_ENERGY}, {"Temp", F_TEMP},    {"Name", F_NAME}};
    QJsonObject meter{{"id", C_METER}, {"fields", fields}};
    return QJsonObject{{"types", types}, {"classes", QJsonObject{{"Meter", meter}}}};
}

QJsonObject reg(int id, const QString& mbType, const QString& field, int index,
                const QString& ciType)
{
    return QJsonObject{{"id", id},          {"name", QString("r%1").arg(id)},
                       {"mb_type", mbType}, {"ci_class", "Meter"},
                       {"ci_field", field}, {"ci_index", index},
                       {"ci_type", ciType}};
}

QJsonObject table(int address, const QVector<int>& layout, const QString& mode = "r")
{
    QJsonArray regs;
    for (int r : layout)
        regs.append(r);
    return QJsonObject{{"name", QString("t%1").arg(address)},
                       {"mode", mode},
                       {"address", address},
                       {"registers", regs}};
}

QJsonObject map(const QJsonArray& registers, const QJsonArray& tables, QJsonObject ci = baseCi())
{
    return QJsonObject{
        {"info", QJsonObject{{"mapping", "test map"}, {"date", "2026-12-08"}, {"target", "K3P"}}},
        {"ci", ci},
        {"registers", registers},
        {"tables", tables}};
}

core_tmp item(int field, int instance, int type, const std::vector<uint8_t>& bytes,
              int cls = C_METER)
{
    core_tmp it;
    it.ci_class = static_cast<uint16_t>(cls);
    it.ci_field = static_cast<uint16_t>(field);
    it.instance = static_cast<uint8_t>(instance);
    it.ci_type = static_cast<uint8_t>(type);
    it.datalen = static_cast<uint16_t>(bytes.size());
    it.baData = bytes;
    return it;
}

std::vector<uint8_t> floatBytes(float f)
{
    quint32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return {static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16),
            static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
}

QVector<quint16> words(std::initializer_list<int> list)
{
    QVector<quint16> out;
    for (int w : list)
        out.append(static_cast<quint16>(w));
    return out;
}

} // namespace

class TestModbusInterface : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_mapCount = 0;
    int m_iniCount = 0;

    QString writeFile(const QString& name, const QByteArray& content)
    {
        const QString path = m_dir.path() + "/" + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString();
        file.write(content);
        return path;
    }

    QString writeMap(const QJsonObject& root)
    {
        return writeFile(QString("map%1.json").arg(++m_mapCount),
                         QJsonDocument(root).toJson(QJsonDocument::Indented));
    }

    static int mode(const QString& path)
    {
        struct stat st {
        };
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    }

    static QByteArray readAll(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Replaces the ini file under TESSAL_ROOT and reloads the settings.
    void setSettings(const QString& mode, const QString& intf, const QString& scriptDir,
                     const QString& extra = QString())
    {
        QDir(m_dir.path()).mkpath("root/usr/local/etc");
        QFile ini(m_dir.path() + "/root/usr/local/etc/tessal-view.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(QString("[Files]\nScriptDir=%1\nTmpCfgDir=%2\n[ModbusServer]\nModbusMode=%3\n"
                          "ModbusInterface=%4\n%5")
                      .arg(scriptDir, m_dir.path() + "/etc", mode, intf, extra)
                      .toUtf8());
        // The ini reader caches a file by size and time: every rewrite gets a
        // new size so the new values are read.
        ini.write("[Pad]\nn=" + QByteArray(++m_iniCount, 'x') + "\n");
        ini.close();
        Tessal::Settings::resetToDefaults();
        QVERIFY(Tessal::Settings::load());
    }

    // The words served for one register id after one item, via the whole chain.
    QVector<quint16> servedWords(ModbusInterface& mb, int address, const core_tmp& it)
    {
        const QVector<int> tables = mb.CheckTableToUpdate(QList<core_tmp>{it});
        const QVector<MbRawData_s> raw = mb.ComputeRawData({address});
        return raw.isEmpty() ? QVector<quint16>() : raw.first().values;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("TESSAL_ROOT", (m_dir.path() + "/root").toLocal8Bit());
        setSettings("tcp", "0.0.0.0:502:10", m_dir.path() + "/none");
    }

    // --- loading the map ---------------------------------------------------------

    void loadRefusesBrokenFiles()
    {
        {
            LogCapture log;
            ModbusInterface mb;
            const QString path = writeFile("broken.map", "{ \"ci\": { ");
            QVERIFY(!mb.LoadConfig(path));
            QVERIFY(log.contains("Try to open mapping file " + path));
            // The parser's own error text, and nothing stored.
            QVERIFY(log.lines().size() >= 2);
            QVERIFY(!log.lines().at(1).isEmpty());
            QVERIFY(!log.contains("Json file parsed"));
            QVERIFY(mb.map().registerList.isEmpty() && mb.map().tableList.isEmpty() &&
                    mb.map().jsonCfg.isEmpty());
        }
        {
            LogCapture log;
            ModbusInterface mb;
            const QString path = m_dir.path() + "/no-such.map";
            QVERIFY(!mb.LoadConfig(path));
            QCOMPARE(log.lines().first(), "Try to open mapping file " + path);
            QCOMPARE(log.lines().last(), QString("CI defs is not an array"));
        }
        {
            LogCapture log;
            ModbusInterface mb;
            QJsonObject root = map({}, {});
            root.insert("ci", QJsonArray{1, 2});
            QVERIFY(!mb.LoadConfig(writeMap(root)));
            QCOMPARE(log.lines().last(), QString("CI defs is not an array"));
        }
        {
            LogCapture log;
            ModbusInterface mb;
            QJsonObject root = map({}, {});
            root.insert("registers", QJsonObject());
            QVERIFY(!mb.LoadConfig(writeMap(root)));
            QCOMPARE(log.lines().last(), QString("Register defs is not an array"));
        }
        {
            LogCapture log;
            ModbusInterface mb;
            QJsonObject root = map({}, {});
            root.remove("tables");
            QVERIFY(!mb.LoadConfig(writeMap(root)));
            QCOMPARE(log.lines().last(), QString("Table defs is not an array"));
        }
    }

    void loadLogsInfoAndKeepsTheDocument()
    {
        LogCapture log;
        ModbusInterface mb;
        QVERIFY(mb.LoadConfig(writeMap(map({reg(1, "u16", "Voltage", 0, "u16")}, {}))));
        QVERIFY(log.contains("Json file parsed"));
        QVERIFY(log.contains("Mapping = test map"));
        QVERIFY(log.contains("Date    = 2026-12-08"));
        QVERIFY(log.contains("Target  = K3P"));
        QCOMPARE(mb.map().jsonCfg.value("info").toObject().value("target").toString(),
                 QString("K3P"));
    }

    void incompleteAndUnknownRegistersAreSkipped()
    {
        LogCapture log;
        ModbusInterface mb;
        QJsonObject stringIndex = reg(2, "u16", "Current", 0, "u16");
        stringIndex.insert("ci_index", "1");
        QJsonObject noName = reg(3, "u16", "Current", 0, "u16");
        noName.remove("name");
        QJsonObject badClass = reg(4, "u16", "Current", 0, "u16");
        badClass.insert("ci_class", "Pump");
        QJsonObject fine = reg(6, "u16", "Current", 2, "u16");
        QVERIFY(mb.LoadConfig(writeMap(map({reg(1, "u16", "Voltage", 0, "u16"), stringIndex, noName,
                                            badClass, reg(5, "u16", "Frequency", 0, "u16"), fine},
                                           {}))));
        QCOMPARE(mb.map().registerList.keys(), QList<int>({1, 6}));
        const Tessal::CiCoord_s ci = mb.map().registerList.value(6).ci;
        QCOMPARE(ci.ciClass, int(C_METER));
        QCOMPARE(ci.ciField, int(F_CURR));
        QCOMPARE(ci.ciIndex, 2);
        QCOMPARE(ci.ciType, int(T_U16));
        // Skips are silent: the last line is the info block.
        QVERIFY(log.lines().last().startsWith("Target  = "));
    }

    void oddShapesLoadWhatIsSound()
    {
        ModbusInterface mb;
        QJsonObject ci = baseCi();
        QJsonObject classes = ci.value("classes").toObject();
        classes.insert("Broken", 5);
        ci.insert("classes", classes);
        QJsonObject broken = reg(2, "u16", "Voltage", 0, "u16");
        broken.insert("ci_class", "Broken");
        QVERIFY(mb.LoadConfig(
            writeMap(map({reg(1, "u16", "Voltage", 0, "u16"), broken, 42, "text", QJsonArray{1}},
                         {table(10, {1}), "x", QJsonObject{{"address", "5"}, {"registers", "abc"}},
                          QJsonObject{{"address", 20}, {"registers", QJsonArray{"1", 1.5, 1}}}},
                         ci))));
        QCOMPARE(mb.map().registerList.keys(), QList<int>({1}));
        // Table elements are read without checks: the bad ones land at 0.
        QCOMPARE(mb.map().tableList.keys(), QList<int>({0, 10, 20}));
        QCOMPARE(mb.map().tableList.value(20).registers, QVector<int>({0, 0, 1}));
        QCOMPARE(mb.map().ciLookup.value(Tessal::CiCoord_s{C_METER, F_VOLT, 0, T_U16}).tables,
                 QVector<int>({10, 20}));
    }

    void defaultsAreIntegersOnly()
    {
        ModbusInterface mb;
        QJsonObject seven = reg(1, "u16", "Voltage", 0, "u16");
        seven.insert("default", 7);
        QJsonObject text = reg(2, "u16", "Voltage", 1, "u16");
        text.insert("default", "7");
        QJsonObject fraction = reg(3, "u16", "Voltage", 2, "u16");
        fraction.insert("default", 7.5);
        QVERIFY(mb.LoadConfig(writeMap(map({seven, text, fraction}, {table(0, {1, 2, 3}, "r")}))));
        QCOMPARE(mb.map().registerList.value(1).value.toInt(), 7);
        QCOMPARE(mb.map().registerList.value(2).value.toInt(), 0);
        QCOMPARE(mb.map().registerList.value(3).value.toInt(), 0);
        // A first update sends the defaults of registers not received yet.
        QCOMPARE(mb.ComputeRawData({0}).first().values, words({7, 0, 0}));
    }

    void typeKeysAreFoldedAndUnknownKindsUndefined()
    {
        ModbusInterface mb;
        QJsonObject ci = baseCi();
        ci.insert("types", QJsonObject{{"U16", 3}, {"double", 9}, {"Float", 4}});
        QVERIFY(mb.LoadConfig(writeMap(
            map({reg(1, "undef", "Voltage", 0, "u16"), reg(2, "uint16", "Current", 0, "undef"),
                 reg(3, "float32", "Temp", 0, "float")},
                {table(0, {1, 2, 3})}, ci))));
        QCOMPARE(mb.GetCiTypeIndex("uint16"), 3);
        QCOMPARE(mb.GetCiTypeIndex("u16"), 3);
        QCOMPARE(mb.GetCiTypeIndex("float32"), 4);
        // Name lookups are exact and case-sensitive.
        QCOMPARE(mb.GetCiTypeIndex("U16"), 0);
        const Tessal::MbType_s u16 = mb.GetTypeInfo("u16");
        QCOMPARE(u16.name, QString("uint16"));
        QCOMPARE(u16.byteSize, 2);
        QCOMPARE(u16.ciSize, 1);
        QCOMPARE(u16.mbSize, 1);
        const Tessal::MbType_s undef = mb.map().ciTypeList.value(9);
        QCOMPARE(undef.name, QString("undef"));
        QCOMPARE(undef.byteSize + undef.ciSize + undef.mbSize, 0);
        QCOMPARE(mb.map().registerList.value(1).mbtype, 9);
        QCOMPARE(mb.map().registerList.value(2).ci.ciType, 9);
        // A register served as "undef" fills no words: 0 + 1 + 2.
        QCOMPARE(mb.ComputeRawData({0}).first().values.size(), 3);
        QCOMPARE(ModbusInterface::AccessModefromString("rw"), Tessal::ACCESS_RW);
        QCOMPARE(ModbusInterface::AccessModefromString("w"), Tessal::ACCESS_WO);
        QCOMPARE(ModbusInterface::AccessModefromString("r"), Tessal::ACCESS_RO);
        QCOMPARE(ModbusInterface::AccessModefromString("R"), Tessal::ACCESS_NO);
    }

    void coordinatesInTwoTablesNameTheFirstRegister()
    {
        ModbusInterface mb;
        // Registers 1 and 2 serve the same device value; 3 sits in both tables.
        QVERIFY(mb.LoadConfig(
            writeMap(map({reg(1, "u16", "Voltage", 0, "u16"), reg(2, "u32", "Voltage", 0, "u16"),
                          reg(3, "u16", "Current", 0, "u16")},
                         {table(200, {2, 3}), table(100, {1, 3, 3})}))));
        const Tessal::CiCoord_s volt{C_METER, F_VOLT, 0, T_U16};
        QCOMPARE(mb.map().ciLookup.value(volt).reg, 1);
        QCOMPARE(mb.map().ciLookup.value(volt).tables, QVector<int>({100, 200}));
        const Tessal::CiCoord_s curr{C_METER, F_CURR, 0, T_U16};
        QCOMPARE(mb.map().ciLookup.value(curr).reg, 3);
        QCOMPARE(mb.map().ciLookup.value(curr).tables, QVector<int>({100, 200}));
        // A hash of the four numbers, as the lookup is keyed.
        QCOMPARE(qHash(Tessal::CiCoord_s{1, 2, 3, 4}), uint(1 ^ (2 << 1) ^ (3 << 2) ^ (4 << 3)));
    }

    // --- the init document ---------------------------------------------------------

    void initDocumentForTcp()
    {
        setSettings("TCP", "0.0.0.0:502:10", m_dir.path() + "/none");
        ModbusInterface mb;
        QVERIFY(mb.LoadConfig(
            writeMap(map({reg(1, "u16", "Voltage", 0, "u16"), reg(3, "u32", "Energy", 0, "u32")},
                         {table(40, {3}, "rw"), table(0, {1, -2, 3}, "w")}))));
        const QString dir = m_dir.path() + "/etc/tcp/new";
        QVERIFY(mb.GenerateDbusInit(dir + "/"));
        QCOMPARE(QString(readAll(dir + "/mbserver_init.dbus")),
                 QString("{\n"
                         "    \"cmd\": \"init\",\n"
                         "    \"delay\": 500,\n"
                         "    \"protocol\": \"tcp\",\n"
                         "    \"tables\": [\n"
                         "        {\n"
                         "            \"address\": 0,\n"
                         "            \"length\": 5,\n"
                         "            \"mode\": \"r\"\n"
                         "        },\n"
                         "        {\n"
                         "            \"address\": 40,\n"
                         "            \"length\": 2,\n"
                         "            \"mode\": \"r\"\n"
                         "        }\n"
                         "    ],\n"
                         "    \"tcp\": {\n"
                         "        \"clients\": 10,\n"
                         "        \"listen\": \"0.0.0.0\",\n"
                         "        \"port\": 502\n"
                         "    }\n"
                         "}\n"));
        // The [1, -2, 3] layout: register 1, two zero words, register 3 high
        // word first.
        mb.map().registerList[3].value = 0x12345678u;
        mb.map().registerList[1].value = 9;
        QCOMPARE(mb.ComputeRawData({0}).first().values, words({9, 0, 0, 0x1234, 0x5678}));
    }

    void initDocumentCarriesAccessRulesAndTheSecurePort()
    {
        // Networks separated by commas or blanks; TLS on once a certificate
        // is named. The defaults (all empty) add nothing: initDocumentForTcp.
        setSettings("tcp", "0.0.0.0:0:10", m_dir.path() + "/none",
                    "AllowConnect=192.168.10.0/24, fd00::/8\nAllowWrite=192.168.10.5\n"
                    "IdleTimeout=600\nTlsPort=8802\nTlsCertificate=/etc/tessal/tls/plinthd.pem\n"
                    "TlsKey=/etc/tessal/tls/plinthd.key\nTlsCa=/etc/tessal/tls/ca.pem\n"
                    "TlsRoles=/etc/tessal/tls/roles.json\n");
        ModbusInterface mb;
        QVERIFY(
            mb.LoadConfig(writeMap(map({reg(1, "u16", "Voltage", 0, "u16")}, {table(0, {1})}))));
        QVERIFY(mb.GenerateDbusInit(m_dir.path() + "/etc/tls"));
        const QJsonObject tcp =
            QJsonDocument::fromJson(readAll(m_dir.path() + "/etc/tls/mbserver_init.dbus"))
                .object()
                .value("tcp")
                .toObject();
        QCOMPARE(tcp.value("port").toInt(-1), 0);
        QCOMPARE(tcp.value("clients").toInt(), 10);
        QCOMPARE(tcp.value("allowconnect").toArray(), QJsonArray({"192.168.10.0/24", "fd00::/8"}));
        QCOMPARE(tcp.value("allowwrite").toArray(), QJsonArray({"192.168.10.5"}));
        QCOMPARE(tcp.value("idletimeout").toInt(), 600);
        const QJsonObject tls = tcp.value("tls").toObject();
        QCOMPARE(tls.value("port").toInt(), 8802);
        QCOMPARE(tls.value("certificate").toString(), QString("/etc/tessal/tls/plinthd.pem"));
        QCOMPARE(tls.value("key").toString(), QString("/etc/tessal/tls/plinthd.key"));
        QCOMPARE(tls.value("ca").toString(), QString("/etc/tessal/tls/ca.pem"));
        QCOMPARE(tls.value("roles").toString(), QString("/etc/tessal/tls/roles.json"));
        // Without a certificate there is no secure port, whatever else is set.
        setSettings("tcp", "0.0.0.0:502:10", m_dir.path() + "/none", "TlsKey=/x.key\n");
        QVERIFY(mb.GenerateDbusInit(m_dir.path() + "/etc/tls"));
        QVERIFY(!QJsonDocument::fromJson(readAll(m_dir.path() + "/etc/tls/mbserver_init.dbus"))
                     .object()
                     .value("tcp")
                     .toObject()
                     .contains("tls"));
    }

    void initDocumentForRtu()
    {
        setSettings("rtu", "1:/dev/ttyS1:19200:8N1", m_dir.path() + "/none");
        ModbusInterface mb;
        QVERIFY(
            mb.LoadConfig(writeMap(map({reg(1, "bool", "Alarm", 0, "bool")}, {table(7, {1})}))));
        QVERIFY(mb.GenerateDbusInit(m_dir.path() + "/etc/rtu"));
        QCOMPARE(QString(readAll(m_dir.path() + "/etc/rtu/mbserver_init.dbus")),
                 QString("{\n"
                         "    \"cmd\": \"init\",\n"
                         "    \"delay\": 500,\n"
                         "    \"protocol\": \"rtu\",\n"
                         "    \"rtu\": {\n"
                         "        \"baud\": 19200,\n"
                         "        \"devid\": 1,\n"
                         "        \"mode\": \"8N1\",\n"
                         "        \"port\": \"/dev/ttyS1\"\n"
                         "    },\n"
                         "    \"tables\": [\n"
                         "        {\n"
                         "            \"address\": 7,\n"
                         "            \"length\": 1,\n"
                         "            \"mode\": \"r\"\n"
                         "        }\n"
                         "    ]\n"
                         "}\n"));
    }

    void initRefusals_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("intf");
        QTest::addColumn<QString>("message");
        QTest::newRow("rtu with three parts") << "rtu"
                                              << "1:/dev/ttyS1:19200"
                                              << "Missing info in RTU interface config";
        QTest::newRow("tcp with four parts") << "tcp"
                                             << "0.0.0.0:502:10:1"
                                             << "Missing info in TCP interface config";
        QTest::newRow("tcppi") << "tcppi"
                               << "0.0.0.0:502:10"
                               << "Unrecognized Modbus mode";
    }

    void initRefusals()
    {
        QFETCH(QString, mode);
        QFETCH(QString, intf);
        QFETCH(QString, message);
        setSettings(mode, intf, m_dir.path() + "/none");
        LogCapture log;
        ModbusInterface mb;
        const QString dir = m_dir.path() + "/etc/refused-" + mode;
        QVERIFY(!mb.GenerateDbusInit(dir));
        QCOMPARE(log.lines(), QStringList{message});
        QVERIFY(!QFile::exists(dir + "/mbserver_init.dbus"));
    }

    void initReadsNonNumbersAsZeroAndReportsUnwritableFiles()
    {
        setSettings("tcp", "any:port:many", m_dir.path() + "/none");
        ModbusInterface mb;
        QVERIFY(mb.GenerateDbusInit(m_dir.path() + "/etc/words"));
        const QJsonObject doc =
            QJsonDocument::fromJson(readAll(m_dir.path() + "/etc/words/mbserver_init.dbus"))
                .object();
        QCOMPARE(doc.value("tcp").toObject(),
                 QJsonObject({{"clients", 0}, {"listen", "any"}, {"port", 0}}));
        QCOMPARE(doc.value("tables").toArray(), QJsonArray());

        // A directory that cannot exist (its parent is a plain file).
        writeFile("plainfile", "x");
        LogCapture log;
        QVERIFY(!mb.GenerateDbusInit(m_dir.path() + "/plainfile/etc"));
        QCOMPARE(log.criticals().size(), 1);
        QVERIFY(log.criticals().first().contains("Cannot create directory '" + m_dir.path() +
                                                 "/plainfile/etc'"));
    }

    void initDocumentStaysOutOfDirectoriesOthersMayWrite()
    {
        setSettings("tcp", "0.0.0.0:502:10", m_dir.path() + "/none");
        ModbusInterface mb;
        // Made by the kiosk: owner-only.
        const QString own = m_dir.path() + "/etc/made/here";
        QVERIFY(mb.GenerateDbusInit(own));
        QCOMPARE(mode(own), 0700);
        QCOMPARE(mode(m_dir.path() + "/etc/made"), 0700);
        // Found in place, open to everybody: another user could have made it
        // and could read or replace the document.
        const QString shared = m_dir.path() + "/etc/shared";
        QVERIFY(QDir().mkpath(shared));
        QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
        LogCapture log;
        QVERIFY(!mb.GenerateDbusInit(shared));
        QCOMPARE(log.criticals(),
                 QStringList{"Refusing to use directory '" + shared +
                             "': its group or others may write to it (mode 0777)"});
        QVERIFY(!QFile::exists(shared + "/mbserver_init.dbus"));
    }

    // --- register words -------------------------------------------------------------

    // One register per served type, all fed from the same device types.
    void registerWords_data()
    {
        QTest::addColumn<int>("ciType");
        QTest::addColumn<QString>("served");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QVector<quint16>>("expected");
        auto bytes = [](std::initializer_list<int> l) {
            QByteArray b;
            for (int v : l)
                b.append(static_cast<char>(v));
            return b;
        };
        QTest::newRow("int16 FF FE as uint16")
            << int(T_S16) << "u16" << bytes({0xFF, 0xFE}) << words({0xFFFE});
        QTest::newRow("int16 FF FE as int32")
            << int(T_S16) << "s32" << bytes({0xFF, 0xFE}) << words({0xFFFF, 0xFFFE});
        QTest::newRow("int16 FF FE as int16")
            << int(T_S16) << "s16" << bytes({0xFF, 0xFE}) << words({0xFFFE});
        QTest::newRow("int16 FF FE as bool")
            << int(T_S16) << "bool" << bytes({0xFF, 0xFE}) << words({1});
        QTest::newRow("bool 01") << int(T_BOOL) << "bool" << bytes({0x01}) << words({1});
        QTest::newRow("bool 00 as u16") << int(T_BOOL) << "u16" << bytes({0x00}) << words({0});
        QTest::newRow("uint16 as uint32")
            << int(T_U16) << "u32" << bytes({0xAB, 0xCD}) << words({0, 0xABCD});
        QTest::newRow("uint32 as uint32")
            << int(T_U32) << "u32" << bytes({0x12, 0x34, 0x56, 0x78}) << words({0x1234, 0x5678});
        QTest::newRow("uint32 as uint16 keeps the low word")
            << int(T_U32) << "u16" << bytes({0x12, 0x34, 0x56, 0x78}) << words({0x5678});
        QTest::newRow("int32 -2 as int32")
            << int(T_S32) << "s32" << bytes({0xFF, 0xFF, 0xFF, 0xFE}) << words({0xFFFF, 0xFFFE});
        QTest::newRow("int32 -2 as float")
            << int(T_S32) << "float" << bytes({0xFF, 0xFF, 0xFF, 0xFE}) << words({0xC000, 0x0000});
        QTest::newRow("short payload of an int32")
            << int(T_S32) << "s32" << bytes({0x01, 0x02}) << words({0, 0x0102});
        QTest::newRow("payload longer than 4 bytes gives 0")
            << int(T_U32) << "u32" << bytes({1, 2, 3, 4, 5}) << words({0, 0});
        QTest::newRow("int16 of 4 bytes with the top bit set gives 0")
            << int(T_S16) << "u16" << bytes({0x80, 0, 0, 1}) << words({0});
        QTest::newRow("float 21.5 as float")
            << int(T_FLOAT) << "float" << bytes({0x41, 0xAC, 0x00, 0x00})
            << words({0x41AC, 0x0000});
        QTest::newRow("float -3.75 as int32")
            << int(T_FLOAT) << "s32" << bytes({0xC0, 0x70, 0x00, 0x00}) << words({0xFFFF, 0xFFFC});
        QTest::newRow("float 21.5 as uint16 rounds")
            << int(T_FLOAT) << "u16" << bytes({0x41, 0xAC, 0x00, 0x00}) << words({22});
        QTest::newRow("float 1e30 as int32 saturates")
            << int(T_FLOAT) << "s32" << bytes({0x71, 0x49, 0xF2, 0xCA}) << words({0xFFFF, 0xFFFF});
        QTest::newRow("float NaN as int32")
            << int(T_FLOAT) << "s32" << bytes({0x7F, 0xC0, 0x00, 0x00}) << words({0, 0});
        QTest::newRow("float of 2 bytes gives 0")
            << int(T_FLOAT) << "float" << bytes({0x41, 0xAC}) << words({0, 0});
        QTest::newRow("string serves no words")
            << int(T_STR) << "string" << bytes({'a', 'b'}) << QVector<quint16>();
    }

    void registerWords()
    {
        QFETCH(int, ciType);
        QFETCH(QString, served);
        QFETCH(QByteArray, payload);
        QFETCH(QVector<quint16>, expected);
        const QStringList names{"", "bool", "u16", "s16", "u32", "s32", "float", "string"};
        ModbusInterface mb;
        QJsonObject r = reg(1, served, "Voltage", 0, names.at(ciType));
        r.insert("default", 77);
        QVERIFY(mb.LoadConfig(writeMap(map({r}, {table(10, {1})}))));
        const std::vector<uint8_t> bytes(payload.begin(), payload.end());
        QCOMPARE(servedWords(mb, 10, item(F_VOLT, 0, ciType, bytes)), expected);
    }

    // The wire carries a float little-endian; the receiver's byte reversal
    // gives big-endian bytes that must decode to the same float.
    void floatFromTheWire()
    {
        ModbusInterface mb;
        QVERIFY(mb.LoadConfig(
            writeMap(map({reg(1, "float", "Temp", 0, "float"), reg(2, "s32", "Temp", 0, "float")},
                         {table(0, {1}), table(100, {2})}))));
        const float celsius = 36.6f;
        quint32 bits;
        std::memcpy(&bits, &celsius, sizeof bits);
        // Item head: class, field, instance, type, datalen (little-endian).
        const std::vector<uint8_t> section = {C_METER,
                                              0,
                                              F_TEMP,
                                              0,
                                              0,
                                              T_FLOAT,
                                              4,
                                              0,
                                              static_cast<uint8_t>(bits),
                                              static_cast<uint8_t>(bits >> 8),
                                              static_cast<uint8_t>(bits >> 16),
                                              static_cast<uint8_t>(bits >> 24)};
        std::vector<core_tmp> items;
        QVERIFY(tup::parseCoreItems(section.data(), section.size(), items));
        QCOMPARE(items.size(), size_t(1));
        // Served as float in one table and as int32 (37) in the other.
        QCOMPARE(mb.CheckTableToUpdate(items), QVector<int>({0, 100}));
        QCOMPARE(mb.map().registerList.value(1).value.toFloat(), celsius);
        const QVector<MbRawData_s> raw = mb.ComputeRawData({0, 100});
        QCOMPARE(raw.at(0).values,
                 words({static_cast<int>(bits >> 16), static_cast<int>(bits & 0xFFFF)}));
        QCOMPARE(raw.at(1).values, words({0, 37}));
    }

    // --- updates --------------------------------------------------------------------

    void updatesRefreshEveryTableOfAValue()
    {
        ModbusInterface mb;
        QVERIFY(mb.LoadConfig(
            writeMap(map({reg(1, "u16", "Voltage", 0, "u16"), reg(2, "u16", "Current", 0, "u16"),
                          reg(3, "u16", "Current", 1, "u16")},
                         {table(100, {1, 2}), table(200, {-1, 2}), table(300, {3})}))));
        const QList<core_tmp> items{
            item(F_CURR, 0, T_U16, {0x01, 0x02}), item(F_VOLT, 0, T_U16, {0x00, 0xE6}),
            item(F_CURR, 0, T_U16, {0x01, 0x03}),
            // unknown class, unknown instance, wrong type code
            item(F_CURR, 0, T_U16, {0x09, 0x09}, 99), item(F_CURR, 7, T_U16, {0x09, 0x09}),
            item(F_CURR, 0, T_S16, {0x09, 0x09})};
        const QVector<int> tables = mb.CheckTableToUpdate(items);
        QCOMPARE(tables, QVector<int>({100, 200}));
        const QString doc = mb.GenerateDbusUpdateQuery(mb.ComputeRawData(tables));
        QCOMPARE(doc, QString("{\"cmd\":\"setconfig\",\"data\":[{\"address\":100,\"values\":[230,"
                              "259]},{\"address\":200,\"values\":[0,259]}]}"));
        // Values persist: a later frame with only the voltage resends both words.
        mb.CheckTableToUpdate(QList<core_tmp>{item(F_VOLT, 0, T_U16, {0x00, 0xE7})});
        QCOMPARE(mb.ComputeRawData({100}).first().values, words({231, 259}));
    }

    void twinRegistersBothReceiveTheValue()
    {
        ModbusInterface mb;
        QVERIFY(mb.LoadConfig(
            writeMap(map({reg(1, "float", "Temp", 0, "float"), reg(2, "s32", "Temp", 0, "float")},
                         {table(0, {1}), table(50, {2})}))));
        const QVector<int> tables =
            mb.CheckTableToUpdate(QList<core_tmp>{item(F_TEMP, 0, T_FLOAT, floatBytes(-3.75f))});
        QCOMPARE(tables, QVector<int>({0, 50}));
        const QVector<MbRawData_s> raw = mb.ComputeRawData(tables);
        QCOMPARE(raw.at(0).values, words({0xC070, 0}));
        QCOMPARE(raw.at(1).values, words({0xFFFF, 0xFFFC}));
    }

    void frameWithoutMappedItemsStillSendsADocument()
    {
        ModbusInterface mb;
        QVERIFY(
            mb.LoadConfig(writeMap(map({reg(1, "u16", "Voltage", 0, "u16")}, {table(0, {1})}))));
        const QVector<int> tables =
            mb.CheckTableToUpdate(std::vector<core_tmp>{item(F_NAME, 0, T_STR, {'x'})});
        QVERIFY(tables.isEmpty());
        QCOMPARE(mb.GenerateDbusUpdateQuery(mb.ComputeRawData(tables)),
                 QString("{\"cmd\":\"setconfig\",\"data\":[]}"));
    }

    void absurdGapsAreCut()
    {
        ModbusInterface mb;
        QVERIFY(mb.LoadConfig(writeMap(map({reg(1, "u32", "Voltage", 0, "u32")},
                                           {table(0, {-2000000000, 1, -2147483647 - 1})}))));
        const QVector<MbRawData_s> raw = mb.ComputeRawData({0});
        QCOMPARE(raw.first().values.size(), ModbusInterface::maxTableWords);
        setSettings("tcp", "127.0.0.1:1502:1", m_dir.path() + "/none");
        QVERIFY(mb.GenerateDbusInit(m_dir.path() + "/etc/gaps"));
        const QJsonObject doc =
            QJsonDocument::fromJson(readAll(m_dir.path() + "/etc/gaps/mbserver_init.dbus"))
                .object();
        QCOMPARE(doc.value("tables").toArray().at(0).toObject().value("length").toInt(),
                 ModbusInterface::maxTableWords);
    }
};

QTEST_GUILESS_MAIN(TestModbusInterface)
#include "tst_modbusinterface.moc"
