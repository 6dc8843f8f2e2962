// SNMP code tables, the same in the sender and every decoder.
#pragma once

#include <cstdint>
#include <string>

namespace tup
{

const char* snmpVersionText(uint8_t code); // 1 "V1" .. 5 "V3PRIV", else "UNDEF"
const char* snmpHashText(uint8_t code);    // 1 "MD5", 2 "SHA", else "UNDEF"
const char* snmpCipherText(uint8_t code);  // 1 "DES", 2 "AES", else "UNDEF"

// Text -> code; "UNDEF" gives 0. False for a text not in the table
// (compared case-sensitively, as the receivers print them).
bool snmpVersionCode(const std::string& text, uint8_t& code);
bool snmpHashCode(const std::string& text, uint8_t& code);
bool snmpCipherCode(const std::string& text, uint8_t& code);

} // namespace tup
