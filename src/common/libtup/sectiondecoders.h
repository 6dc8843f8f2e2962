// Section decoders. Each takes the whole section (4-byte head included) and
// the number of bytes handed over, and checks in this order: the type at
// offset 0 is its own ("Bad type"), the length at offset 2 reaches the
// type's size ("Too short"), the bytes handed over are exactly that length
// ("Payload size mismatch"). Only then is the record filled; on failure it
// is left untouched. Nothing is ever read beyond size.
#pragma once

#include "tuprecords.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tup
{

enum class DecodeStatus {
    Ok,
    BadType,
    TooShort,
    SizeMismatch,
    BadItems, // Core: an item runs past the section or bytes are left over
};

// "Bad type", "Too short", "Payload size mismatch", "Core item runs past the section".
const char* decodeStatusText(DecodeStatus status);

DecodeStatus decodeDevInfo(const uint8_t* section, size_t size, devinfo_s& out);
DecodeStatus decodeGpioState(const uint8_t* section, size_t size, gpiostate_s& out);
// NetCfg, SnmpCfg and ModbusCfg clear resetcfg: the record now holds values
// confirmed by a frame.
DecodeStatus decodeNetCfg(const uint8_t* section, size_t size, netcfg_s& out);
DecodeStatus decodeSnmpCfg(const uint8_t* section, size_t size, snmpcfg_s& out);
DecodeStatus decodeModbusCfg(const uint8_t* section, size_t size, modbuscfg_s& out);
// Replaces items with the section's data items in wire order. The items
// must fill the section exactly: an item head or data that runs past the
// section, or a remainder shorter than an item head, is BadItems and items
// stays as it was.
DecodeStatus decodeCore(const uint8_t* section, size_t size, std::vector<core_tmp>& items);

// Core item parser without the section checks: walks items from data to
// data + size. Stops at the first item that does not fit and returns false;
// the items parsed until then are in out.
bool parseCoreItems(const uint8_t* data, size_t size, std::vector<core_tmp>& out);

// A 4-byte item's value as an IEEE-754 single: baData read big-endian (the
// wire bytes read little-endian). False when the item is not 4 bytes long.
bool coreFloat(const core_tmp& item, float& value);

} // namespace tup
