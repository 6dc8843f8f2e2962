#include "tuprecords.h"

namespace tup
{

bool devinfo_s::operator==(const devinfo_s& o) const
{
    return type == o.type && hwmajor == o.hwmajor && hwminor == o.hwminor && swmajor == o.swmajor &&
           swminor == o.swminor && swbuild == o.swbuild && serial == o.serial && lang == o.lang;
}

bool gpiostate_s::operator==(const gpiostate_s& o) const
{
    return good == o.good && warning == o.warning && critical == o.critical && buzzer == o.buzzer;
}

bool netcfg_s::operator==(const netcfg_s& o) const
{
    return resetcfg == o.resetcfg && tessal == o.tessal && dhcp == o.dhcp && ip == o.ip &&
           mask == o.mask && gateway == o.gateway && dns1 == o.dns1 && dns2 == o.dns2;
}

const snmp_text_field_s SNMP_TEXT_FIELDS[17] = {
    {"ro_user", &snmpcfg_s::ro_user},
    {"nopriv_user", &snmpcfg_s::nopriv_user},
    {"nopriv_pwd", &snmpcfg_s::nopriv_pwd},
    {"priv_user", &snmpcfg_s::priv_user},
    {"priv_pwd", &snmpcfg_s::priv_pwd},
    {"priv_key", &snmpcfg_s::priv_key},
    {"oid", &snmpcfg_s::oid},
    {"ro_oid", &snmpcfg_s::ro_oid},
    {"nopriv_oid", &snmpcfg_s::nopriv_oid},
    {"priv_oid", &snmpcfg_s::priv_oid},
    {"k3p_context", &snmpcfg_s::k3p_context},
    {"k3p_community", &snmpcfg_s::k3p_community},
    {"cli_engineid", &snmpcfg_s::cli_engineid},
    {"cli_community", &snmpcfg_s::cli_community},
    {"cli_user", &snmpcfg_s::cli_user},
    {"cli_pwd", &snmpcfg_s::cli_pwd},
    {"cli_key", &snmpcfg_s::cli_key},
};

bool snmpcfg_s::operator==(const snmpcfg_s& o) const
{
    if (resetcfg != o.resetcfg || version != o.version || options != o.options ||
        nopriv_hash != o.nopriv_hash || priv_hash != o.priv_hash || priv_algo != o.priv_algo ||
        cli_hash != o.cli_hash || cli_mode != o.cli_mode || cli_algo != o.cli_algo ||
        port != o.port || port_trap != o.port_trap || trap_addr1 != o.trap_addr1 ||
        trap_addr2 != o.trap_addr2 || trap_addr3 != o.trap_addr3 || trap_addr4 != o.trap_addr4 ||
        trap_addr5 != o.trap_addr5)
        return false;
    for (const auto& f : SNMP_TEXT_FIELDS)
        if (this->*f.member != o.*f.member)
            return false;
    return true;
}

bool modbuscfg_s::operator==(const modbuscfg_s& o) const
{
    return resetcfg == o.resetcfg && tcp_status == o.tcp_status && tcp_port == o.tcp_port;
}

bool core_tmp::operator==(const core_tmp& o) const
{
    return ci_class == o.ci_class && ci_field == o.ci_field && instance == o.instance &&
           ci_type == o.ci_type && datalen == o.datalen && baData == o.baData;
}

} // namespace tup
