#include "registerroad.h"

#include "logging.h"
#include "settings.h"

#include <QDebug>

namespace Tessal
{

RegisterRoad::RegisterRoad(QObject* parent) : QObject(parent) {}

void RegisterRoad::start()
{
    if (!modbus.LoadConfig(Settings::getModbusMap()))
        qCDebug(lcModbus).noquote() << "Failed to load modbus map";
    if (modbus.GenerateDbusInit(Settings::getFilesTmpCfgDir())) {
        modbus.DbusStopMonitor();
        modbus.DbusStartMonitor(Settings::getFilesTmpCfgDir());
    } else {
        qCDebug(lcModbus).noquote() << "Failed to load modbus map";
    }
}

void RegisterRoad::update(const std::vector<tup::core_tmp>& items)
{
    const QVector<int> tables = modbus.CheckTableToUpdate(items);
    const QVector<MbRawData_s> raw = modbus.ComputeRawData(tables);
    modbus.DbusUpdateRegisters(modbus.GenerateDbusUpdateQuery(raw));
}

} // namespace Tessal
