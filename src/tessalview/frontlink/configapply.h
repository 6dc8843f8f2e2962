#ifndef TESSAL_CONFIGAPPLY_H
#define TESSAL_CONFIGAPPLY_H

#include "tupmetatypes.h"
#include "tuprecords.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QTimer;

namespace Tessal
{

class ScriptWatcher;

// Applies what the attached device asks of the unit through the system
// scripts of the script directory: registering and unregistering the device
// ("k3p.sh"), the network settings ("netcfg.sh"), the SNMP agent and traps
// ("snmpctl.sh", "snmpcfg.sh", "snmptrap.sh") and the Modbus TCP server
// ("modbuscfg.sh"). The scripts go to one ScriptWatcher, which runs them one
// after the other in the order asked for and never blocks the caller.
//
// A record is applied when it differs from the one in force (or that one
// still holds start-up defaults), at most once per period for each kind: the
// first differing record opens the period, newer records received during it
// replace the waiting one, and when the period ends the last one received is
// applied, unless it is by then the one in force. A sender that alternates
// two records on every frame thus runs each kind's scripts once per period,
// and the record in force is always the last one received.
class ConfigApply : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultPeriodMs = 3000;

    // `scripts` is not owned.
    explicit ConfigApply(ScriptWatcher* scripts, int periodMs = defaultPeriodMs,
                         QObject* parent = nullptr);

    // The records in force before any frame: SNMP ports 161 and 162, Modbus
    // TCP port 502, and all three marked as start-up defaults (resetcfg), so
    // that the first record received is applied whatever it holds.
    void resetToDefaults();

    // A record received from the attached device.
    void receiveNetCfg(const tup::netcfg_s& received);
    void receiveSnmpCfg(const tup::snmpcfg_s& received);
    void receiveModbusCfg(const tup::modbuscfg_s& received);

    // "k3p.sh <address>" on first contact; `registered` is called once the
    // script has ended (the device's pages are asked for only then). When
    // the device is lost the records still waiting are dropped (they came
    // from the device that is gone) and "k3p.sh delete <address>" follows.
    void deviceAttached(const QString& address, std::function<void()> registered = nullptr);
    void deviceLost(const QString& address);

    const tup::netcfg_s& netCfg() const { return net.inForce; }
    const tup::snmpcfg_s& snmpCfg() const { return snmp.inForce; }
    const tup::modbuscfg_s& modbusCfg() const { return modbus.inForce; }
    int periodMs() const { return period; }

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

signals:
    // A record became the one in force; its scripts are queued.
    void netCfgApplied(const tup::netcfg_s& cfg);
    void snmpCfgApplied(const tup::snmpcfg_s& cfg);
    void modbusCfgApplied(const tup::modbuscfg_s& cfg);

private:
    template <class Cfg> struct Kind {
        Cfg inForce;
        std::optional<Cfg> waiting;
        QTimer* periodTimer = nullptr;
    };
    template <class Cfg> void receive(Kind<Cfg>& kind, const Cfg& received);
    template <class Cfg> void periodEnded(Kind<Cfg>& kind);
    template <class Cfg> QTimer* makeTimer(Kind<Cfg>& kind);

    // Queue the scripts of one record; false when nothing could be applied
    // (the SNMP file could not be written) and the old record stays in force.
    bool apply(const tup::netcfg_s& cfg);
    bool apply(const tup::snmpcfg_s& cfg);
    bool apply(const tup::modbuscfg_s& cfg);

    ScriptWatcher* scripts;
    const int period;
    Kind<tup::netcfg_s> net;
    Kind<tup::snmpcfg_s> snmp;
    Kind<tup::modbuscfg_s> modbus;
};

} // namespace Tessal

#endif
