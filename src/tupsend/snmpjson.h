#pragma once

#include "tuprecords.h"

#include <string>

namespace tupsend
{

// Reads SNMP settings from a JSON object whose members carry the field names
// of the SnmpCfg section: codes as their table texts ("V3PRIV", "SHA",
// "AES"), the seventeen texts (at most 32 characters), port and port_trap,
// trap_addr1 .. trap_addr5 as dotted IPv4 text. Missing members keep their
// defaults (codes UNDEF, empty texts, ports 161 and 162, no trap address);
// unknown members and bad values are errors. options is always 0xFF.
bool readSnmpJson(const std::string& path, tup::snmpcfg_s& out, std::string& error);
bool parseSnmpJson(const std::string& text, tup::snmpcfg_s& out, std::string& error);

} // namespace tupsend
