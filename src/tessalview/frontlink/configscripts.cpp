#include "configscripts.h"

#include "configapply.h"

namespace Tessal
{

void ConfigScripts::resetToDefaults()
{
    last_snmpcfg.port = 161;
    last_snmpcfg.port_trap = 162;
    last_modbuscfg.tcp_port = 502;
    last_netcfg.resetcfg = true;
    last_snmpcfg.resetcfg = true;
    last_modbuscfg.resetcfg = true;
}

void ConfigScripts::applyNetCfg(const tup::netcfg_s& received)
{
    ConfigApply::updateNetCfg(last_netcfg, received);
}

void ConfigScripts::applySnmpCfg(const tup::snmpcfg_s& received)
{
    ConfigApply::updateSnmpCfg(last_snmpcfg, received);
}

void ConfigScripts::applyModbusCfg(const tup::modbuscfg_s& received)
{
    ConfigApply::updateModbusCfg(last_modbuscfg, received);
}

void ConfigScripts::deviceAttached(const QString& address)
{
    ConfigApply::addK3P(address);
}

void ConfigScripts::deviceLost(const QString& address)
{
    ConfigApply::removeK3P(address);
}

} // namespace Tessal
