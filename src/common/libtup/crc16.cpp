#include "crc16.h"

namespace tup
{

namespace
{
inline void shiftBit(uint16_t& reg, uint16_t poly, unsigned bit)
{
    const bool top = (reg & 0x8000u) != 0;
    reg = static_cast<uint16_t>((reg << 1) | (bit & 1u));
    if (top)
        reg ^= poly;
}
} // namespace

uint16_t crc16(uint16_t poly, uint16_t init, const uint8_t* data, size_t size)
{
    if (data == nullptr)
        return 0;
    uint16_t reg = init;
    for (size_t i = 0; i < size; ++i)
        for (unsigned b = 0; b < 8; ++b)
            shiftBit(reg, poly, (data[i] >> b) & 1u);
    for (unsigned b = 0; b < 16; ++b)
        shiftBit(reg, poly, 0);
    uint16_t out = 0;
    for (unsigned b = 0; b < 16; ++b)
        if (reg & (1u << b))
            out |= static_cast<uint16_t>(1u << (15 - b));
    return out;
}

} // namespace tup
