#ifndef TESSAL_CONFIGSCRIPTS_H
#define TESSAL_CONFIGSCRIPTS_H

#include "tuprecords.h"

#include <QString>

namespace Tessal
{

// The configuration the device asks of the unit, applied through the system
// scripts (ConfigApply): the records in force for the network, SNMP and
// Modbus TCP settings, and the device's registering and unregistering.
class ConfigScripts
{
public:
    // The records in force before any frame: SNMP ports 161 and 162, Modbus
    // TCP port 502, and all three marked as start-up defaults (resetcfg), so
    // that the first record received is applied whatever it holds.
    void resetToDefaults();

    void applyNetCfg(const tup::netcfg_s& received);
    void applySnmpCfg(const tup::snmpcfg_s& received);
    void applyModbusCfg(const tup::modbuscfg_s& received);
    // "k3p.sh <address>" on first contact, "k3p.sh delete <address>" when the
    // device is lost.
    void deviceAttached(const QString& address);
    void deviceLost(const QString& address);

    const tup::netcfg_s& netCfg() const { return last_netcfg; }
    const tup::snmpcfg_s& snmpCfg() const { return last_snmpcfg; }
    const tup::modbuscfg_s& modbusCfg() const { return last_modbuscfg; }

private:
    tup::netcfg_s last_netcfg;
    tup::snmpcfg_s last_snmpcfg;
    tup::modbuscfg_s last_modbuscfg;
};

} // namespace Tessal

#endif
