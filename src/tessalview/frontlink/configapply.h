#ifndef TESSAL_CONFIGAPPLY_H
#define TESSAL_CONFIGAPPLY_H

#include "tuprecords.h"

#include <QString>
#include <QStringList>

namespace Tessal
{

// Applies what the device asks of the unit through the system scripts of the
// script directory: registering and unregistering the attached device
// ("k3p.sh"), the network settings ("netcfg.sh"), the SNMP agent and traps
// ("snmpctl.sh", "snmpcfg.sh", "snmptrap.sh") and the Modbus TCP server
// ("modbuscfg.sh"). Scripts run as every system script does: only when
// present and executable, arguments as separate entries, no shell, at most
// timeoutMs (a hung script is killed).
class ConfigApply
{
public:
    static constexpr int scriptTimeoutMs = 30000;

    // "k3p.sh <address>" on first contact; "k3p.sh delete <address>" when the
    // watchdog detaches the device.
    static void addK3P(const QString& address, int timeoutMs = scriptTimeoutMs);
    static void removeK3P(const QString& address, int timeoutMs = scriptTimeoutMs);

    // When the received record differs from the one in force, or the one in
    // force still holds start-up defaults (resetcfg), applies it and makes it
    // the record in force. Returns true when it was applied. A failing
    // script does not keep the old record in force: the device would
    // otherwise have the same script re-run on every frame.
    static bool updateNetCfg(tup::netcfg_s& inForce, const tup::netcfg_s& received,
                             int timeoutMs = scriptTimeoutMs);
    static bool updateSnmpCfg(tup::snmpcfg_s& inForce, const tup::snmpcfg_s& received,
                              int timeoutMs = scriptTimeoutMs);
    static bool updateModbusCfg(tup::modbuscfg_s& inForce, const tup::modbuscfg_s& received,
                                int timeoutMs = scriptTimeoutMs);

    // "<dhcp|static> <address> <netmask> <gateway> <dns1> <dns2> <tessal|standalone>",
    // addresses in dotted form, 0.0.0.0 where none is given.
    static QStringList netCfgArguments(const tup::netcfg_s& cfg);
    // "<enable|disable> <port>".
    static QStringList modbusCfgArguments(const tup::modbuscfg_s& cfg);
    // The SNMP settings as "key=value" lines, one per field, in wire order.
    // Bytes outside printable ASCII and '%' are written as %XX, so a value
    // can never start a line of its own.
    static QByteArray snmpCfgText(const tup::snmpcfg_s& cfg);
    // Where snmpCfgText is written for "snmpcfg.sh" and "snmptrap.sh":
    // "snmp.cfg" in the temporary configuration directory (owner-only).
    static QString snmpCfgPath();
};

} // namespace Tessal

#endif
