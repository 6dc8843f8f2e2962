#ifndef TESSAL_MODBUSMAP_H
#define TESSAL_MODBUSMAP_H

#include "types.h"

#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QVector>

class TestModbusInterface; // the loader's white-box test

namespace Tessal
{

// The Modbus map: which device value (a CI coordinate) lands in which
// register, served as which type, in which tables; loaded once from the map
// file. It also holds each register's present value (the map's default until
// the device sends one).
class ModbusMap
{
public:
    // Loads the map file. False (with a log line) when the file is not valid
    // JSON or lacks the "ci" object or the "registers" or "tables" arrays;
    // incomplete registers and unknown class or field names are dropped
    // silently. Does not clear earlier content.
    bool LoadConfig(const QString& path);

    // Fills the type list and the type names from a "types" object.
    void LoadType(const QJsonObject& types);

    // The description of a type name; unknown names give the entry of code 0.
    MbType_s GetTypeInfo(const QString& name);
    // The CI type code of a type name; unknown names give 0 (and are entered
    // with code 0).
    int GetCiTypeIndex(const QString& name);
    // "r", "w", "rw" (exact); anything else is ACCESS_NO.
    static AccessMode AccessModefromString(const QString& text);

    // The loaded registers (by id), tables (by start address) and types (by
    // CI type code).
    const QMap<int, MbRegister_s>& registers() const { return registerList; }
    const QMap<int, MbTable_s>& tables() const { return tableList; }
    const QMap<int, MbType_s>& types() const { return ciTypeList; }
    // The register and tables of a device value; null when the map has none.
    const MbLookup_s* lookup(const CiCoord_s& ci) const;
    // Further registers that serve the same device value as the one named by
    // lookup(); they show the same value.
    QVector<int> twinRegisters(const CiCoord_s& ci) const;
    // A register's present value; an unknown id is ignored.
    void setValue(int reg, const QVariant& value);
    // Words a layout entry fills: |n| for a gap, the served type's mbSize for
    // a register.
    qint64 entryWords(int entry) const;

    // A table never spans more words than the Modbus address space holds; a
    // larger layout (a gap of a billion words) is cut there.
    static constexpr int maxTableWords = 65536;

private:
    // The map's own test checks what the loader stored, entry by entry.
    friend class ::TestModbusInterface;

    QMap<int, MbRegister_s> registerList;  // by register id
    QMap<int, MbTable_s> tableList;        // by Modbus start address
    QHash<CiCoord_s, MbLookup_s> ciLookup; // device value -> register, tables
    QMap<int, MbType_s> ciTypeList;        // by CI type code
    QMap<QString, int> ciTypeLookup;       // type name or alias -> CI type code
    QJsonObject jsonCfg;                   // root object of the loaded map
    QHash<CiCoord_s, QVector<int>> sharedRegisters;
};

} // namespace Tessal

#endif
