#include "registerwords.h"

#include <QVariant>

#include <cmath>
#include <cstring>
#include <limits>

namespace Tessal
{

namespace
{

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

} // namespace

RegisterWords::RegisterWords(ModbusMap& map) : map(map) {}

template <class List> QVector<int> RegisterWords::checkItems(const List& items)
{
    QVector<int> result;
    for (const CoreItem& item : items) {
        CiCoord_s ci;
        ci.ciClass = item.ci_class;
        ci.ciField = item.ci_field;
        ci.ciIndex = item.instance;
        ci.ciType = item.ci_type;
        const MbLookup_s* found = map.lookup(ci);
        if (found == nullptr || !map.registers().contains(found->reg))
            continue;
        const int reg = found->reg;
        SetRegisterValue(reg, ci, item.baData);
        // Every register that serves this value shows it, not only the first.
        for (int twin : map.twinRegisters(ci))
            map.setValue(twin, map.registers().value(reg).value);
        for (int table : found->tables) {
            if (!result.contains(table))
                result.append(table);
        }
    }
    return result;
}

QVector<int> RegisterWords::CheckTableToUpdate(const QList<CoreItem>& items)
{
    return checkItems(items);
}

QVector<int> RegisterWords::CheckTableToUpdate(const std::vector<CoreItem>& items)
{
    return checkItems(items);
}

bool RegisterWords::SetRegisterValue(int reg, const CiCoord_s& ci,
                                     const std::vector<uint8_t>& bytes)
{
    const QString type = map.types().value(ci.ciType).name;

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
    map.setValue(reg, value);
    return true;
}

quint32 RegisterWords::servedBits(const QVariant& value, const MbType_s& type)
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

QVector<MbRawData_s> RegisterWords::ComputeRawData(const QVector<int>& tables) const
{
    static const MbRegister_s noRegister;
    static const MbType_s noType;
    QVector<MbRawData_s> result;
    result.reserve(tables.size());
    for (int address : tables) {
        MbRawData_s raw;
        raw.baseaddr = address;
        const auto table = map.tables().constFind(address);
        if (table == map.tables().cend()) {
            result.append(raw);
            continue;
        }
        for (int entry : table.value().registers) {
            const int room = ModbusMap::maxTableWords - raw.values.size();
            if (entry <= 0) {
                const int gap = static_cast<int>(qMin<qint64>(-static_cast<qint64>(entry), room));
                raw.values.insert(raw.values.size(), gap, 0);
                continue;
            }
            const auto regIt = map.registers().constFind(entry);
            const MbRegister_s& reg = regIt == map.registers().cend() ? noRegister : regIt.value();
            const auto typeIt = map.types().constFind(reg.mbtype);
            const MbType_s& type = typeIt == map.types().cend() ? noType : typeIt.value();
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

} // namespace Tessal
