#include "modbusmap.h"

#include "logging.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>
#include <limits>

namespace Tessal
{

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

bool ModbusMap::LoadConfig(const QString& path)
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

void ModbusMap::LoadType(const QJsonObject& types)
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

MbType_s ModbusMap::GetTypeInfo(const QString& name)
{
    return ciTypeList.value(GetCiTypeIndex(name));
}

int ModbusMap::GetCiTypeIndex(const QString& name)
{
    return ciTypeLookup[name];
}

AccessMode ModbusMap::AccessModefromString(const QString& text)
{
    if (text == "r")
        return ACCESS_RO;
    if (text == "w")
        return ACCESS_WO;
    if (text == "rw")
        return ACCESS_RW;
    return ACCESS_NO;
}

qint64 ModbusMap::entryWords(int entry) const
{
    // A 0 entry is a gap of no words, in the table length as in the data.
    if (entry <= 0)
        return -static_cast<qint64>(entry);
    return ciTypeList.value(registerList.value(entry).mbtype).mbSize;
}

const MbLookup_s* ModbusMap::lookup(const CiCoord_s& ci) const
{
    const auto found = ciLookup.constFind(ci);
    return found == ciLookup.cend() ? nullptr : &found.value();
}

QVector<int> ModbusMap::twinRegisters(const CiCoord_s& ci) const
{
    return sharedRegisters.value(ci);
}

void ModbusMap::setValue(int reg, const QVariant& value)
{
    auto found = registerList.find(reg);
    if (found != registerList.end())
        found.value().value = value;
}

} // namespace Tessal
