#include "modbusinterface.h"

#include "logging.h"
#include "plinthdjson.h"
#include "privatedirectory.h"
#include "settings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QSaveFile>

#include <cmath>
#include <cstring>
#include <limits>

namespace Tessal
{

const QString ModbusInterface::initFileName = QStringLiteral("mbserver_init.dbus");

namespace
{

// A map integer: the number when the value is an integral JSON number that
// fits an int, 0 for anything else (a string "5" gives 0).
int readInt(const QJsonValue& value)
{
    if (!value.isDouble())
        return 0;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < std::numeric_limits<int>::min() ||
        d > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(d);
}

void log(const QString& text)
{
    qCDebug(lcModbus).noquote() << text;
}

// A float value as a whole number, rounded half away from zero; NaN gives 0
// and values beyond the 64-bit range saturate instead of overflowing.
qint64 roundedFloat(double d)
{
    if (std::isnan(d))
        return 0;
    if (d >= 9223372036854775807.0)
        return std::numeric_limits<qint64>::max();
    if (d <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(std::llround(d));
}

bool isFloatVariant(const QVariant& value)
{
    const int t = value.userType();
    return t == QMetaType::Float || t == QMetaType::Double;
}

struct TypeKind {
    const char* key;
    MbType_s type;
    QStringList names;
};

// The type kinds the program knows; the map only chooses their codes.
const QVector<TypeKind>& typeKinds()
{
    static const QVector<TypeKind> kinds = {
        {"bool", {"bool", 1, 1, 1}, {"bool", "boolean"}},
        {"u8", {"uint8", 1, 1, 1}, {"u8", "uint8"}},
        {"s8", {"int8", 1, 1, 1}, {"s8", "sint8", "int8"}},
        {"u16", {"uint16", 2, 1, 1}, {"u16", "uint16"}},
        {"s16", {"int16", 2, 1, 1}, {"s16", "sint16", "int16"}},
        {"u32", {"uint32", 4, 1, 2}, {"u32", "uint32"}},
        {"s32", {"int32", 4, 1, 2}, {"s32", "sint32", "int32"}},
        {"float", {"float", 4, 1, 2}, {"float", "float32"}},
        {"string", {"string", 0, 1, 0}, {"string", "str"}},
        {"struct", {"struct", 0, 1, 0}, {"struct"}},
    };
    return kinds;
}

} // namespace

ModbusInterface::ModbusInterface(QObject* parent) : QObject(parent) {}

bool ModbusInterface::LoadConfig(const QString& path)
{
    log("Try to open mapping file " + path);
    QJsonDocument doc;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        QJsonParseError error;
        doc = QJsonDocument::fromJson(file.readAll(), &error);
        if (doc.isNull() || error.error != QJsonParseError::NoError) {
            log(error.errorString());
            return false;
        }
        log("Json file parsed");
    }

    log(QString::fromUtf8(doc.toJson(QJsonDocument::Compact)));
    jsonCfg = doc.object();

    const QJsonObject info = jsonCfg.value("info").toObject();
    log("Mapping = " + info.value("mapping").toString());
    log("Date    = " + info.value("date").toString());
    log("Target  = " + info.value("target").toString());

    if (!jsonCfg.value("ci").isObject()) {
        log("CI defs is not an array");
        return false;
    }
    if (!jsonCfg.value("registers").isArray()) {
        log("Register defs is not an array");
        return false;
    }
    if (!jsonCfg.value("tables").isArray()) {
        log("Table defs is not an array");
        return false;
    }

    const QJsonObject ci = jsonCfg.value("ci").toObject();
    const QJsonObject classes = ci.value("classes").toObject();

    for (const QJsonValue& element : jsonCfg.value("registers").toArray()) {
        const QJsonObject reg = element.toObject();
        if (!reg.value("id").isDouble() || !reg.value("name").isString() ||
            !reg.value("mb_type").isString() || !reg.value("ci_class").isString() ||
            !reg.value("ci_field").isString() || !reg.value("ci_index").isDouble() ||
            !reg.value("ci_type").isString())
            continue;

        LoadType(ci.value("types").toObject());
        const int mbtype = GetCiTypeIndex(reg.value("mb_type").toString());

        const QString className = reg.value("ci_class").toString();
        if (!classes.contains(className))
            continue;
        const QJsonObject cls = classes.value(className).toObject();
        const QJsonObject fields = cls.value("fields").toObject();
        const QString fieldName = reg.value("ci_field").toString();
        if (!fields.contains(fieldName))
            continue;

        MbRegister_s r;
        r.ci.ciClass = readInt(cls.value("id"));
        r.ci.ciField = readInt(fields.value(fieldName));
        r.ci.ciIndex = readInt(reg.value("ci_index"));
        r.ci.ciType = GetCiTypeIndex(reg.value("ci_type").toString());
        r.name = reg.value("name").toString();
        r.mbtype = mbtype;
        const QJsonValue def = reg.value("default");
        r.value = def.isDouble() ? readInt(def) : 0;
        registerList.insert(readInt(reg.value("id")), r);
    }

    for (const QJsonValue& element : jsonCfg.value("tables").toArray()) {
        const QJsonObject tab = element.toObject();
        MbTable_s t;
        t.name = tab.value("name").toString();
        t.mode = AccessModefromString(tab.value("mode").toString());
        for (const QJsonValue& entry : tab.value("registers").toArray())
            t.registers.append(readInt(entry));
        tableList.insert(readInt(tab.value("address")), t);
    }

    // A device value may be served by several registers (for example once as
    // "float" and once as "int32"); the lookup names the first one met and
    // every table that holds any of them.
    for (auto tab = tableList.cbegin(); tab != tableList.cend(); ++tab) {
        for (int entry : tab.value().registers) {
            auto reg = registerList.constFind(entry);
            if (reg == registerList.cend())
                continue;
            auto found = ciLookup.find(reg.value().ci);
            if (found == ciLookup.end()) {
                MbLookup_s lookup;
                lookup.reg = entry;
                lookup.tables.append(tab.key());
                ciLookup.insert(reg.value().ci, lookup);
                continue;
            }
            if (!found.value().tables.contains(tab.key()))
                found.value().tables.append(tab.key());
            if (entry != found.value().reg) {
                QVector<int>& twins = sharedRegisters[reg.value().ci];
                if (!twins.contains(entry))
                    twins.append(entry);
            }
        }
    }
    return true;
}

void ModbusInterface::LoadType(const QJsonObject& types)
{
    for (auto it = types.constBegin(); it != types.constEnd(); ++it) {
        const QString key = it.key().toLower();
        const int code = readInt(it.value());
        const TypeKind* kind = nullptr;
        for (const TypeKind& k : typeKinds()) {
            if (key == QLatin1String(k.key)) {
                kind = &k;
                break;
            }
        }
        if (kind) {
            ciTypeList.insert(code, kind->type);
            for (const QString& name : kind->names)
                ciTypeLookup.insert(name, code);
        } else {
            ciTypeList.insert(code, MbType_s{"undef", 0, 0, 0});
            ciTypeLookup.insert("undef", code);
        }
    }
}

MbType_s ModbusInterface::GetTypeInfo(const QString& name)
{
    return ciTypeList.value(GetCiTypeIndex(name));
}

int ModbusInterface::GetCiTypeIndex(const QString& name)
{
    return ciTypeLookup[name];
}

AccessMode ModbusInterface::AccessModefromString(const QString& text)
{
    if (text == "r")
        return ACCESS_RO;
    if (text == "w")
        return ACCESS_WO;
    if (text == "rw")
        return ACCESS_RW;
    return ACCESS_NO;
}

qint64 ModbusInterface::entryWords(int entry) const
{
    // A 0 entry is a gap of no words, in the table length as in the data.
    if (entry <= 0)
        return -static_cast<qint64>(entry);
    return ciTypeList.value(registerList.value(entry).mbtype).mbSize;
}

bool ModbusInterface::GenerateDbusInit(const QString& dir)
{
    QJsonObject doc;
    doc.insert(PLINTHD_KEY_CMD, PLINTHD_CMD_INIT);
    doc.insert(PLINTHD_KEY_DELAY, 500);

    const QStringList parts = Settings::getModbusIntf().split(':');
    const QString mode = Settings::getModbusMode().toLower();
    QJsonObject intf;
    if (mode == PLINTHD_PROTOCOL_RTU) {
        if (parts.size() != 4) {
            log("Missing info in RTU interface config");
            return false;
        }
        intf.insert(PLINTHD_KEY_DEVID, parts[0].toInt());
        intf.insert(PLINTHD_KEY_PORT, parts[1]);
        intf.insert(PLINTHD_KEY_BAUD, parts[2].toInt());
        intf.insert(PLINTHD_KEY_MODE, parts[3]);
    } else if (mode == PLINTHD_PROTOCOL_TCP) {
        if (parts.size() != 3) {
            log("Missing info in TCP interface config");
            return false;
        }
        intf.insert(PLINTHD_KEY_LISTEN, parts[0]);
        intf.insert(PLINTHD_KEY_PORT, parts[1].toInt());
        intf.insert(PLINTHD_KEY_CLIENTS, parts[2].toInt());
    } else {
        log("Unrecognized Modbus mode");
        return false;
    }
    doc.insert(PLINTHD_KEY_PROTOCOL, mode);
    doc.insert(mode, intf);

    // Every table is served readable: the map's own access mode stays local.
    QJsonArray tables;
    for (auto tab = tableList.cbegin(); tab != tableList.cend(); ++tab) {
        qint64 length = 0;
        for (int entry : tab.value().registers)
            length = qMin<qint64>(length + entryWords(entry), maxTableWords);
        QJsonObject t;
        t.insert(PLINTHD_KEY_ADDRESS, tab.key());
        t.insert(PLINTHD_KEY_MODE, PLINTHD_ACCESS_READ);
        t.insert(PLINTHD_KEY_LENGTH, static_cast<int>(length));
        tables.append(t);
    }
    doc.insert(PLINTHD_KEY_TABLES, tables);

    // The start script reads this file: a file that could not be written is
    // reported, so no server is started on a stale or missing document.
    const QString path = QDir::cleanPath(dir + "/" + initFileName);
    if (!PrivateDirectory::prepare(dir))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qCCritical(lcModbus).noquote() << QString("Error opening file '%1'").arg(path);
        return false;
    }
    file.write(QJsonDocument(doc).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        qCCritical(lcModbus).noquote() << QString("Error writing file '%1'").arg(path);
        return false;
    }
    return true;
}

template <class List> QVector<int> ModbusInterface::checkItems(const List& items)
{
    QVector<int> result;
    for (const CoreItem& item : items) {
        CiCoord_s ci;
        ci.ciClass = item.ci_class;
        ci.ciField = item.ci_field;
        ci.ciIndex = item.instance;
        ci.ciType = item.ci_type;
        const auto found = ciLookup.constFind(ci);
        if (found == ciLookup.cend() || !registerList.contains(found.value().reg))
            continue;
        const int reg = found.value().reg;
        SetRegisterValue(reg, ci, item.baData);
        // Every register that serves this value shows it, not only the first.
        for (int twin : sharedRegisters.value(ci)) {
            if (registerList.contains(twin))
                registerList[twin].value = registerList[reg].value;
        }
        for (int table : found.value().tables) {
            if (!result.contains(table))
                result.append(table);
        }
    }
    return result;
}

QVector<int> ModbusInterface::CheckTableToUpdate(const QList<CoreItem>& items)
{
    return checkItems(items);
}

QVector<int> ModbusInterface::CheckTableToUpdate(const std::vector<CoreItem>& items)
{
    return checkItems(items);
}

bool ModbusInterface::SetRegisterValue(int reg, const CiCoord_s& ci,
                                       const std::vector<uint8_t>& bytes)
{
    const QString type = ciTypeList.value(ci.ciType).name;

    // The payload is one big-endian number; more than 4 bytes do not fit.
    const bool fits = bytes.size() <= 4;
    quint32 number = 0;
    if (fits) {
        for (uint8_t b : bytes)
            number = (number << 8) | b;
    }
    const bool topBit = bytes.size() == 4 && (number & 0x80000000u);

    QVariant value;
    if (type == QLatin1String("bool")) {
        value = number != 0;
    } else if (type == QLatin1String("uint8")) {
        value = static_cast<int>(number & 0xFF);
    } else if (type == QLatin1String("int8")) {
        value = topBit ? 0 : static_cast<int>(static_cast<qint8>(number & 0xFF));
    } else if (type == QLatin1String("uint16")) {
        value = static_cast<int>(number & 0xFFFF);
    } else if (type == QLatin1String("int16")) {
        value = topBit ? 0 : static_cast<int>(static_cast<qint16>(number & 0xFFFF));
    } else if (type == QLatin1String("uint32")) {
        value = static_cast<quint32>(number);
    } else if (type == QLatin1String("int32")) {
        value = static_cast<qint32>(number);
    } else if (type == QLatin1String("float")) {
        // A float travels as 4 bytes of IEEE-754 single precision; after the
        // receiver's byte reversal they read big-endian.
        float f = 0.0f;
        if (bytes.size() == 4) {
            static_assert(sizeof(float) == sizeof(quint32), "IEEE-754 single expected");
            std::memcpy(&f, &number, sizeof f);
        }
        value = f;
    } else if (type == QLatin1String("string")) {
        value = QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    } else {
        value = 0;
    }
    registerList[reg].value = value;
    return true;
}

quint32 ModbusInterface::servedBits(const QVariant& value, const MbType_s& type)
{
    const QString& name = type.name;
    quint32 bits = 0;
    if (name.contains(QLatin1String("bool"))) {
        bits = value.toBool() ? 1 : 0;
    } else if (name.contains(QLatin1String("uint")) || name.contains(QLatin1String("int"))) {
        // Low 32 bits of the value as a 64-bit integer (signed or unsigned
        // reads agree on those bits); a float is rounded to a whole number.
        if (isFloatVariant(value))
            bits = static_cast<quint32>(static_cast<quint64>(roundedFloat(value.toDouble())));
        else if (name.contains(QLatin1String("uint")))
            bits = static_cast<quint32>(value.toULongLong());
        else
            bits = static_cast<quint32>(static_cast<quint64>(value.toLongLong()));
    } else if (name.contains(QLatin1String("float"))) {
        const float f = value.toFloat();
        std::memcpy(&bits, &f, sizeof bits);
    }

    switch (type.byteSize) {
    case 1:
        return bits & 0xFFu;
    case 2:
        return bits & 0xFFFFu;
    case 3:
        return bits & 0xFFFFFFu;
    case 4:
        return bits;
    default:
        return 0;
    }
}

QVector<MbRawData_s> ModbusInterface::ComputeRawData(const QVector<int>& tables)
{
    static const MbRegister_s noRegister;
    static const MbType_s noType;
    QVector<MbRawData_s> result;
    result.reserve(tables.size());
    for (int address : tables) {
        MbRawData_s raw;
        raw.baseaddr = address;
        const auto table = tableList.constFind(address);
        if (table == tableList.cend()) {
            result.append(raw);
            continue;
        }
        for (int entry : table.value().registers) {
            const int room = maxTableWords - raw.values.size();
            if (entry <= 0) {
                const int gap = static_cast<int>(qMin<qint64>(-static_cast<qint64>(entry), room));
                raw.values.insert(raw.values.size(), gap, 0);
                continue;
            }
            const auto regIt = registerList.constFind(entry);
            const MbRegister_s& reg = regIt == registerList.cend() ? noRegister : regIt.value();
            const auto typeIt = ciTypeList.constFind(reg.mbtype);
            const MbType_s& type = typeIt == ciTypeList.cend() ? noType : typeIt.value();
            if (type.mbSize > room)
                break;
            const quint32 bits = servedBits(reg.value, type);
            // Most significant word first.
            for (int i = type.mbSize - 1; i >= 0; --i)
                raw.values.append(16 * i >= 32 ? 0 : static_cast<quint16>(bits >> (16 * i)));
        }
        result.append(raw);
    }
    return result;
}

QString ModbusInterface::GenerateDbusUpdateQuery(const QVector<MbRawData_s>& rawData)
{
    QJsonArray data;
    for (const MbRawData_s& raw : rawData) {
        QJsonArray values;
        for (quint16 word : raw.values)
            values.append(static_cast<int>(word));
        QJsonObject element;
        element.insert(PLINTHD_KEY_ADDRESS, raw.baseaddr);
        element.insert(PLINTHD_KEY_VALUES, values);
        data.append(element);
    }
    QJsonObject doc;
    doc.insert(PLINTHD_KEY_CMD, PLINTHD_CMD_SETCONFIG);
    doc.insert(PLINTHD_KEY_DATA, data);
    return QString::fromUtf8(QJsonDocument(doc).toJson(QJsonDocument::Compact));
}

} // namespace Tessal
