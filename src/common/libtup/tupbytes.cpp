#include "tupbytes.h"

#include <cstdio>

namespace tup
{

bool readU8(const uint8_t* data, size_t size, size_t offset, uint8_t& out)
{
    if (data == nullptr || offset >= size)
        return false;
    out = data[offset];
    return true;
}

bool readU16(const uint8_t* data, size_t size, size_t offset, uint16_t& out)
{
    if (data == nullptr || offset > size || size - offset < 2)
        return false;
    out = static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8));
    return true;
}

bool readU32(const uint8_t* data, size_t size, size_t offset, uint32_t& out)
{
    if (data == nullptr || offset > size || size - offset < 4)
        return false;
    out = static_cast<uint32_t>(data[offset]) | (static_cast<uint32_t>(data[offset + 1]) << 8) |
          (static_cast<uint32_t>(data[offset + 2]) << 16) |
          (static_cast<uint32_t>(data[offset + 3]) << 24);
    return true;
}

bool readIPv4(const uint8_t* data, size_t size, size_t offset, uint32_t& out)
{
    if (data == nullptr || offset > size || size - offset < 4)
        return false;
    out = (static_cast<uint32_t>(data[offset]) << 24) |
          (static_cast<uint32_t>(data[offset + 1]) << 16) |
          (static_cast<uint32_t>(data[offset + 2]) << 8) | static_cast<uint32_t>(data[offset + 3]);
    return true;
}

bool readText(const uint8_t* data, size_t size, size_t offset, size_t fieldSize, std::string& out)
{
    if (data == nullptr || offset > size || size - offset < fieldSize)
        return false;
    size_t n = 0;
    while (n < fieldSize && data[offset + n] != 0)
        ++n;
    out.assign(reinterpret_cast<const char*>(data + offset), n);
    return true;
}

void putU16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
}

bool parseIPv4(const std::string& text, uint32_t& host)
{
    uint32_t result = 0;
    size_t pos = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        size_t start = pos;
        unsigned value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
        }
        if (pos == start || value > 255)
            return false;
        result = (result << 8) | value;
    }
    if (pos != text.size())
        return false;
    host = result;
    return true;
}

bool iptoint(const std::string& text, uint32_t& out)
{
    uint32_t host = 0;
    if (!parseIPv4(text, host))
        return false;
    out = ((host >> 24) & 0xFF) | (((host >> 16) & 0xFF) << 8) | (((host >> 8) & 0xFF) << 16) |
          ((host & 0xFF) << 24);
    return true;
}

std::string ipv4Text(uint32_t host)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (host >> 24) & 0xFF, (host >> 16) & 0xFF,
                  (host >> 8) & 0xFF, host & 0xFF);
    return buf;
}

std::string hexText(const uint8_t* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    if (data == nullptr)
        return s;
    s.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 0x0F]);
    }
    return s;
}

bool parseHex(const std::string& text, std::vector<uint8_t>& out)
{
    std::string s = text;
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s = s.substr(2);
    std::vector<uint8_t> bytes;
    int pending = -1;
    for (char c : s) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == ':' || c == '-' || c == '\n' || c == '\t' || c == '\r') {
            if (pending >= 0)
                return false; // a separator inside a byte
            continue;
        } else
            return false;
        if (pending < 0)
            pending = v;
        else {
            bytes.push_back(static_cast<uint8_t>((pending << 4) | v));
            pending = -1;
        }
    }
    if (pending >= 0)
        return false;
    out = std::move(bytes);
    return true;
}

} // namespace tup
