// Decoded section records shared by the receivers. Integers in host order,
// IPv4 addresses as host-order numbers (a.b.c.d is a<<24 | b<<16 | c<<8 | d),
// texts as the wire bytes up to the first NUL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tup
{

struct devinfo_s {
    uint16_t type = 0;
    uint16_t hwmajor = 0;
    uint16_t hwminor = 0;
    uint16_t swmajor = 0;
    uint16_t swminor = 0;
    uint16_t swbuild = 0;
    uint32_t serial = 0;
    std::string lang;
    bool operator==(const devinfo_s& o) const;
};

struct gpiostate_s {
    uint8_t good = 0;
    uint8_t warning = 0;
    uint8_t critical = 0;
    uint8_t buzzer = 0;
    bool operator==(const gpiostate_s& o) const;
};

struct netcfg_s {
    bool resetcfg = false; // receiver side: start-up defaults never confirmed by a frame
    bool tessal = false;
    bool dhcp = false;
    uint32_t ip = 0;
    uint32_t mask = 0;
    uint32_t gateway = 0;
    uint32_t dns1 = 0;
    uint32_t dns2 = 0;
    bool operator==(const netcfg_s& o) const;
};

struct snmpcfg_s {
    bool resetcfg = false; // receiver side
    uint8_t version = 0;
    uint8_t options = 0;
    uint8_t nopriv_hash = 0;
    uint8_t priv_hash = 0;
    uint8_t priv_algo = 0;
    uint8_t cli_hash = 0;
    uint8_t cli_mode = 0;
    uint8_t cli_algo = 0;
    std::string ro_user;
    std::string nopriv_user;
    std::string nopriv_pwd;
    std::string priv_user;
    std::string priv_pwd;
    std::string priv_key;
    std::string oid;
    std::string ro_oid;
    std::string nopriv_oid;
    std::string priv_oid;
    std::string k3p_context;
    std::string k3p_community;
    std::string cli_engineid;
    std::string cli_community;
    std::string cli_user;
    std::string cli_pwd;
    std::string cli_key;
    uint16_t port = 161;
    uint16_t port_trap = 162;
    uint32_t trap_addr1 = 0;
    uint32_t trap_addr2 = 0;
    uint32_t trap_addr3 = 0;
    uint32_t trap_addr4 = 0;
    uint32_t trap_addr5 = 0;
    bool operator==(const snmpcfg_s& o) const;
};

// The seventeen text fields of snmpcfg_s in wire order, with their names, so
// that printers and readers of SNMP settings need not list them again.
struct snmp_text_field_s {
    const char* name;
    std::string snmpcfg_s::*member;
};
extern const snmp_text_field_s SNMP_TEXT_FIELDS[17];

struct modbuscfg_s {
    bool resetcfg = false; // receiver side
    bool tcp_status = false;
    uint16_t tcp_port = 502;
    bool operator==(const modbuscfg_s& o) const;
};

// One data item of a Core section. baData holds the data bytes in reverse
// wire order (most significant byte first).
struct core_tmp {
    uint16_t ci_class = 0;
    uint16_t ci_field = 0;
    uint8_t instance = 0;
    uint8_t ci_type = 0;
    uint16_t datalen = 0;
    std::vector<uint8_t> baData;
    bool operator==(const core_tmp& o) const;
};

} // namespace tup
