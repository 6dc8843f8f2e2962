#include "snmpcodes.h"

namespace tup
{

namespace
{
const char* const VERSIONS[] = {"UNDEF", "V1", "V2", "V3NOAUTH", "V3NOPRIV", "V3PRIV"};
const char* const HASHES[] = {"UNDEF", "MD5", "SHA"};
const char* const CIPHERS[] = {"UNDEF", "DES", "AES"};

template <size_t N> const char* lookup(const char* const (&table)[N], uint8_t code)
{
    return code < N ? table[code] : table[0];
}

template <size_t N>
bool reverse(const char* const (&table)[N], const std::string& text, uint8_t& code)
{
    for (size_t i = 0; i < N; ++i)
        if (text == table[i]) {
            code = static_cast<uint8_t>(i);
            return true;
        }
    return false;
}
} // namespace

const char* snmpVersionText(uint8_t code)
{
    return lookup(VERSIONS, code);
}
const char* snmpHashText(uint8_t code)
{
    return lookup(HASHES, code);
}
const char* snmpCipherText(uint8_t code)
{
    return lookup(CIPHERS, code);
}

bool snmpVersionCode(const std::string& text, uint8_t& code)
{
    return reverse(VERSIONS, text, code);
}
bool snmpHashCode(const std::string& text, uint8_t& code)
{
    return reverse(HASHES, text, code);
}
bool snmpCipherCode(const std::string& text, uint8_t& code)
{
    return reverse(CIPHERS, text, code);
}

} // namespace tup
