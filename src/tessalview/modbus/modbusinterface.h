#ifndef TESSAL_MODBUSINTERFACE_H
#define TESSAL_MODBUSINTERFACE_H

#include "types.h"
#include "tuprecords.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVector>

#include <cstdint>
#include <vector>

class TestModbusInterface; // the loader's white-box test

namespace Tessal
{

// The Modbus bridge's map and documents. Loads the Modbus map (which device
// value lands in which register), converts the device's Core items into
// register words and writes the daemon's "init" document and the
// "setconfig" update documents. It starts no process: RegisterRoad hands the
// documents to the mbserver*.sh scripts.
class ModbusInterface : public QObject
{
    Q_OBJECT

public:
    using CoreItem = tup::core_tmp;

    explicit ModbusInterface(QObject* parent = nullptr);

    // --- the map -------------------------------------------------------------

    // Loads the map file. False (with a log line) when the file is not valid
    // JSON or lacks the "ci" object or the "registers" or "tables" arrays;
    // incomplete registers and unknown class or field names are dropped
    // silently. Does not clear earlier content.
    bool LoadConfig(const QString& path);

    // Fills ciTypeList and ciTypeLookup from a "types" object.
    void LoadType(const QJsonObject& types);

    // The description of a type name; unknown names give the entry of code 0.
    MbType_s GetTypeInfo(const QString& name);
    // The CI type code of a type name; unknown names give 0 (and are entered
    // with code 0).
    int GetCiTypeIndex(const QString& name);
    // "r", "w", "rw" (exact); anything else is ACCESS_NO.
    static AccessMode AccessModefromString(const QString& text);

    // --- the documents ---------------------------------------------------------

    // Writes the "init" document to "mbserver_init.dbus" in dir. False, with
    // a log line, for a wrong interface setting, an unknown mode or a file
    // that could not be written.
    bool GenerateDbusInit(const QString& dir);

    // --- register updates --------------------------------------------------------

    // Stores the values of the items in their registers; returns the start
    // addresses of the tables to refresh, in order of first mention. Items of
    // coordinates the map does not list are passed over.
    QVector<int> CheckTableToUpdate(const QList<CoreItem>& items);
    QVector<int> CheckTableToUpdate(const std::vector<CoreItem>& items);
    // Converts one payload (most significant byte first) by the type in which
    // the device sent it and stores it as register reg's value. Returns true
    // for every input: a payload that does not fit the type stores 0.
    bool SetRegisterValue(int reg, const CiCoord_s& ci, const std::vector<uint8_t>& bytes);
    // The register words of each listed table, in the given order.
    QVector<MbRawData_s> ComputeRawData(const QVector<int>& tables);
    // The compact "setconfig" document for the raw data.
    QString GenerateDbusUpdateQuery(const QVector<MbRawData_s>& rawData);

    // The loaded registers (by id) and tables (by start address).
    const QMap<int, MbRegister_s>& registers() const { return registerList; }
    const QMap<int, MbTable_s>& tables() const { return tableList; }

    // The file name of the init document in its directory.
    static const QString initFileName;
    // A table never spans more words than the Modbus address space holds; a
    // larger layout (a gap of a billion words) is cut there.
    static constexpr int maxTableWords = 65536;

private:
    // The map's own test checks what the loader stored, entry by entry.
    friend class ::TestModbusInterface;

    // The loaded map, changed only by LoadConfig and SetRegisterValue.
    QMap<int, MbRegister_s> registerList;  // by register id
    QMap<int, MbTable_s> tableList;        // by Modbus start address
    QHash<CiCoord_s, MbLookup_s> ciLookup; // device value -> register, tables
    QMap<int, MbType_s> ciTypeList;        // by CI type code
    QMap<QString, int> ciTypeLookup;       // type name or alias -> CI type code
    QJsonObject jsonCfg;                   // root object of the loaded map

    // Further registers that serve the same device value as the one named by
    // ciLookup; they receive the same value.
    QHash<CiCoord_s, QVector<int>> sharedRegisters;

    template <class List> QVector<int> checkItems(const List& items);
    // Words a layout entry fills: |n| for a gap, the served type's mbSize for
    // a register.
    qint64 entryWords(int entry) const;
    // The register's value as served: one 32-bit pattern by the Modbus type.
    static quint32 servedBits(const QVariant& value, const MbType_s& type);
};

} // namespace Tessal

#endif
