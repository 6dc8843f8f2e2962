// Command line of tupsend: what to build, where to send it, how often.
#pragma once

#include "tup.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tupsend
{

// One section in the order it was given on the command line.
struct section_option_s {
    uint16_t type = 0;
    tup::devinfo_s devinfo;
    tup::gpiostate_s gpio;
    tup::netcfg_s netcfg;
    tup::snmpcfg_s snmpcfg;
    tup::modbuscfg_s modbuscfg;
    std::vector<tup::core_tmp> items;  // Core
    bool raw = false;                  // --raw-section: payload as given
    std::vector<uint8_t> payload;      // raw payload
    std::optional<uint16_t> rawLength; // forced length field of a raw section
};

enum class OutputFormat { Hex, Raw };

struct send_options_s {
    std::string host = "127.0.0.1";
    uint16_t port = tup::TUP_DEFAULT_PORT;
    std::vector<section_option_s> sections;
    std::optional<uint32_t> seqno;
    std::optional<uint32_t> timestamp;
    std::optional<uint8_t> magic, version;
    std::optional<uint16_t> length, sectOffset, sectCount, checksum;
    unsigned long count = 1;           // 0: until interrupted
    double interval = 1.0;             // seconds between frames
    std::optional<std::string> output; // write instead of sending; "-" is stdout
    OutputFormat format = OutputFormat::Hex;
    bool verbose = false;
    bool help = false;
    bool showVersion = false; // -V: --version is the frame's version field
};

// Parses argv. On a bad option or value returns false with error set to a
// one-line explanation; nothing has been sent or written then.
bool parseOptions(int argc, char** argv, send_options_s& opts, std::string& error);

// Core item value "TYPE:VALUE" (hex, u8, s8, u16, s16, u32, s32, float,
// string, bool) -> data bytes in wire order (little-endian).
bool parseCoreValue(const std::string& text, std::vector<uint8_t>& wire, std::string& error);

const char* usageText();

} // namespace tupsend
