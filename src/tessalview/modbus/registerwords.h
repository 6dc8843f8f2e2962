#ifndef TESSAL_REGISTERWORDS_H
#define TESSAL_REGISTERWORDS_H

#include "modbusmap.h"
#include "tuprecords.h"
#include "types.h"

#include <QList>
#include <QVector>

#include <cstdint>
#include <vector>

namespace Tessal
{

// The word conversion: stores the device's Core values in their registers
// (converted by the type the device sent) and turns tables into the 16-bit
// words Modbus masters read (by the type each register is served as).
class RegisterWords
{
public:
    using CoreItem = tup::core_tmp;

    // The map is not owned; its register values change here.
    explicit RegisterWords(ModbusMap& map);

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
    QVector<MbRawData_s> ComputeRawData(const QVector<int>& tables) const;

private:
    template <class List> QVector<int> checkItems(const List& items);
    // The register's value as served: one 32-bit pattern by the Modbus type.
    static quint32 servedBits(const QVariant& value, const MbType_s& type);

    ModbusMap& map;
};

} // namespace Tessal

#endif
