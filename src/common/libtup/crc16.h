#pragma once

#include <cstddef>
#include <cstdint>

namespace tup
{

// Bit-by-bit CRC-16 over size bytes: data bits enter the register least
// significant first, 16 zero bits are shifted through at the end and the
// register is returned bit-reversed. With poly 0x1021 and init 0 this is
// CRC-16/KERMIT ("123456789" -> 0x2189). A null data pointer yields 0.
// The size is not limited to 16 bits, so no datagram is ever cut short.
uint16_t crc16(uint16_t poly, uint16_t init, const uint8_t* data, size_t size);

} // namespace tup
