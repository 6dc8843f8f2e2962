#ifndef TESSAL_MODBUSINTERFACE_H
#define TESSAL_MODBUSINTERFACE_H

#include "modbusdocuments.h"
#include "modbusmap.h"
#include "registerwords.h"
#include "tuprecords.h"
#include "types.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVector>

#include <vector>

namespace Tessal
{

// The Modbus bridge, put together: the map (ModbusMap, loading), the word
// conversion (RegisterWords) and the documents (ModbusDocuments), behind the
// bridge's entry points. It starts no process: RegisterRoad hands the
// documents to the mbserver*.sh scripts.
class ModbusInterface : public QObject
{
    Q_OBJECT

public:
    using CoreItem = tup::core_tmp;

    explicit ModbusInterface(QObject* parent = nullptr);

    // --- the map (ModbusMap) ---------------------------------------------------
    bool LoadConfig(const QString& path) { return mapData.LoadConfig(path); }
    void LoadType(const QJsonObject& types) { mapData.LoadType(types); }
    MbType_s GetTypeInfo(const QString& name) { return mapData.GetTypeInfo(name); }
    int GetCiTypeIndex(const QString& name) { return mapData.GetCiTypeIndex(name); }
    static AccessMode AccessModefromString(const QString& text)
    {
        return ModbusMap::AccessModefromString(text);
    }
    const QMap<int, MbRegister_s>& registers() const { return mapData.registers(); }
    const QMap<int, MbTable_s>& tables() const { return mapData.tables(); }
    ModbusMap& map() { return mapData; }
    const ModbusMap& map() const { return mapData; }

    // --- the words (RegisterWords) ---------------------------------------------
    QVector<int> CheckTableToUpdate(const QList<CoreItem>& items)
    {
        return words.CheckTableToUpdate(items);
    }
    QVector<int> CheckTableToUpdate(const std::vector<CoreItem>& items)
    {
        return words.CheckTableToUpdate(items);
    }
    bool SetRegisterValue(int reg, const CiCoord_s& ci, const std::vector<uint8_t>& bytes)
    {
        return words.SetRegisterValue(reg, ci, bytes);
    }
    QVector<MbRawData_s> ComputeRawData(const QVector<int>& tables) const
    {
        return words.ComputeRawData(tables);
    }

    // --- the documents (ModbusDocuments) ---------------------------------------
    bool GenerateDbusInit(const QString& dir) const
    {
        return ModbusDocuments::GenerateDbusInit(mapData, dir);
    }
    static QString GenerateDbusUpdateQuery(const QVector<MbRawData_s>& rawData)
    {
        return ModbusDocuments::GenerateDbusUpdateQuery(rawData);
    }

    static constexpr int maxTableWords = ModbusMap::maxTableWords;

private:
    ModbusMap mapData;
    RegisterWords words{mapData};
};

} // namespace Tessal

#endif
