#ifndef TESSAL_TYPES_H
#define TESSAL_TYPES_H

// Records of the Modbus bridge: how device values (CI coordinates) map onto
// Modbus registers and tables. Plain value types, copied freely.

#include <QString>
#include <QVariant>
#include <QVector>
#include <QtGlobal>

namespace Tessal
{

// Access of a table as seen from the Modbus master.
enum AccessMode { ACCESS_NO = 0, ACCESS_RO = 1, ACCESS_WO = 2, ACCESS_RW = 3 };

// Identifies one device value: class, field, instance index and type code,
// the four numbers every Core item carries.
struct CiCoord_s {
    int ciClass = 0;
    int ciField = 0;
    int ciIndex = 0;
    int ciType = 0;

    bool operator==(const CiCoord_s& other) const
    {
        return ciClass == other.ciClass && ciField == other.ciField && ciIndex == other.ciIndex &&
               ciType == other.ciType;
    }
    bool operator!=(const CiCoord_s& other) const { return !(*this == other); }
};

// h(class) ^ h(field) << 1 ^ h(index) << 2 ^ h(type) << 3, in 32-bit
// unsigned arithmetic, each int taken as unsigned.
inline uint qHash(const CiCoord_s& ci, uint seed = 0) noexcept
{
    const quint32 h = static_cast<quint32>(ci.ciClass) ^ (static_cast<quint32>(ci.ciField) << 1) ^
                      (static_cast<quint32>(ci.ciIndex) << 2) ^
                      (static_cast<quint32>(ci.ciType) << 3);
    return h ^ seed;
}

// One device value and the Modbus type in which it is served.
struct MbRegister_s {
    CiCoord_s ci;
    QString name;
    int mbtype = 0; // CI type code of the served Modbus type
    QVariant value; // map default first, then the last value from the device
};

// A contiguous run of registers at a Modbus start address. A layout entry
// greater than 0 is a register id; an entry n <= 0 is a gap of |n| words.
struct MbTable_s {
    QString name;
    AccessMode mode = ACCESS_NO;
    QVector<int> registers;
};

// From a device value to its register and the tables to refresh.
struct MbLookup_s {
    int reg = 0;
    QVector<int> tables; // start addresses, no duplicates
};

// Description of a type kind.
struct MbType_s {
    QString name;     // canonical name ("uint16", "float", "undef" ...)
    int byteSize = 0; // bytes of the value, 0 for variable-length kinds
    int ciSize = 0;
    int mbSize = 0; // 16-bit Modbus registers the value fills
};

// The register words of one table, from its start address on.
struct MbRawData_s {
    int baseaddr = 0;
    QVector<quint16> values;
};

} // namespace Tessal

#endif
