// Bounded readers of received bytes and address helpers. Every reader takes
// the buffer size and fails (returns false, leaves out untouched) instead of
// reading past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tup
{

bool readU8(const uint8_t* data, size_t size, size_t offset, uint8_t& out);
bool readU16(const uint8_t* data, size_t size, size_t offset, uint16_t& out); // little-endian
bool readU32(const uint8_t* data, size_t size, size_t offset, uint32_t& out); // little-endian
// IPv4 address in network order on the wire -> host-order number.
bool readIPv4(const uint8_t* data, size_t size, size_t offset, uint32_t& out);
// Fixed text field of fieldSize bytes: the bytes up to the first NUL.
bool readText(const uint8_t* data, size_t size, size_t offset, size_t fieldSize, std::string& out);

void putU16(std::vector<uint8_t>& out, uint16_t v); // little-endian append
void putU32(std::vector<uint8_t>& out, uint32_t v); // little-endian append

// Packs dotted text a.b.c.d as a + b*2^8 + c*2^16 + d*2^24, so that a
// little-endian store puts a first. False for anything but four decimal
// octets 0..255.
bool iptoint(const std::string& text, uint32_t& out);
// Dotted text <-> host-order number (a<<24 | b<<16 | c<<8 | d).
bool parseIPv4(const std::string& text, uint32_t& host);
std::string ipv4Text(uint32_t host);

// Lower-case hexadecimal of bytes, no separators ("0a00ff").
std::string hexText(const uint8_t* data, size_t size);
// Parses hexadecimal digits, optionally separated by blanks, ':' or '-'
// and optionally prefixed by 0x; false on odd digit count or bad chars.
bool parseHex(const std::string& text, std::vector<uint8_t>& out);

} // namespace tup
