#include "snmpjson.h"

#include "snmpcodes.h"
#include "tupbytes.h"
#include "tupwire.h"

#include <cJSON.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace tupsend
{

namespace
{

using CodeParser = bool (*)(const std::string&, uint8_t&);

struct code_field_s {
    const char* name;
    uint8_t tup::snmpcfg_s::*member;
    CodeParser parse;
};

const code_field_s CODE_FIELDS[] = {
    {"version", &tup::snmpcfg_s::version, tup::snmpVersionCode},
    {"nopriv_hash", &tup::snmpcfg_s::nopriv_hash, tup::snmpHashCode},
    {"priv_hash", &tup::snmpcfg_s::priv_hash, tup::snmpHashCode},
    {"priv_algo", &tup::snmpcfg_s::priv_algo, tup::snmpCipherCode},
    {"cli_mode", &tup::snmpcfg_s::cli_mode, tup::snmpVersionCode},
    {"cli_hash", &tup::snmpcfg_s::cli_hash, tup::snmpHashCode},
    {"cli_algo", &tup::snmpcfg_s::cli_algo, tup::snmpCipherCode},
};

const std::pair<const char*, uint32_t tup::snmpcfg_s::*> TRAP_FIELDS[] = {
    {"trap_addr1", &tup::snmpcfg_s::trap_addr1}, {"trap_addr2", &tup::snmpcfg_s::trap_addr2},
    {"trap_addr3", &tup::snmpcfg_s::trap_addr3}, {"trap_addr4", &tup::snmpcfg_s::trap_addr4},
    {"trap_addr5", &tup::snmpcfg_s::trap_addr5},
};

bool port(const cJSON* item, const char* name, uint16_t& out, std::string& error)
{
    if (!cJSON_IsNumber(item) || item->valuedouble < 0 || item->valuedouble > 65535 ||
        std::floor(item->valuedouble) != item->valuedouble) {
        error = std::string("'") + name + "' must be a whole number from 0 to 65535";
        return false;
    }
    out = static_cast<uint16_t>(item->valuedouble);
    return true;
}

bool member(const cJSON* item, tup::snmpcfg_s& c, std::string& error)
{
    const std::string name = item->string ? item->string : "";
    for (const auto& f : CODE_FIELDS) {
        if (name != f.name)
            continue;
        if (!cJSON_IsString(item) || !f.parse(item->valuestring, c.*f.member)) {
            error = "'" + name + "' must be one of the code texts of its table";
            return false;
        }
        return true;
    }
    for (const auto& f : tup::SNMP_TEXT_FIELDS) {
        if (name != f.name)
            continue;
        if (!cJSON_IsString(item)) {
            error = "'" + name + "' must be a text";
            return false;
        }
        if (std::strlen(item->valuestring) > tup::TUP_TEXT_SIZE) {
            error = "'" + name + "' is longer than 32 characters";
            return false;
        }
        c.*f.member = item->valuestring;
        return true;
    }
    for (const auto& f : TRAP_FIELDS) {
        if (name != f.first)
            continue;
        if (!cJSON_IsString(item) || !tup::parseIPv4(item->valuestring, c.*f.second)) {
            error = "'" + name + "' must be a dotted IPv4 address";
            return false;
        }
        return true;
    }
    if (name == "port")
        return port(item, "port", c.port, error);
    if (name == "port_trap")
        return port(item, "port_trap", c.port_trap, error);
    if (name == "options")
        return true; // the sender always writes 0xFF
    error = "unknown member '" + name + "'";
    return false;
}

} // namespace

bool parseSnmpJson(const std::string& text, tup::snmpcfg_s& out, std::string& error)
{
    std::unique_ptr<cJSON, void (*)(cJSON*)> root(cJSON_Parse(text.c_str()), cJSON_Delete);
    if (!root) {
        error = "not valid JSON";
        return false;
    }
    if (!cJSON_IsObject(root.get())) {
        error = "the JSON document must be an object";
        return false;
    }
    tup::snmpcfg_s c;
    for (const cJSON* item = root->child; item != nullptr; item = item->next)
        if (!member(item, c, error))
            return false;
    c.options = 0xFF;
    out = c;
    return true;
}

bool readSnmpJson(const std::string& path, tup::snmpcfg_s& out, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read SNMP file '" + path + "'";
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    if (!parseSnmpJson(ss.str(), out, error)) {
        error = "SNMP file '" + path + "': " + error;
        return false;
    }
    return true;
}

} // namespace tupsend
