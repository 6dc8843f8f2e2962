// Walks the sections of an accepted frame (the datagram without its
// checksum) the way the receiver does, and never reads beyond the frame:
// - fewer than 4 bytes left: "Payload too short. Drop remaining bytes", end;
// - a section longer than what is left: "Section length exceed frame length.
//   Skip section";
// - a fixed-size type whose length differs: "<Type> section length mismatch
//   (<size>)" and the step becomes length + 4;
// - Core takes the rest of the payload; an unknown type logs "Unknown section
//   type. Skip section" and steps length + 4;
// - a section that was skipped or failed to decode logs "Decode error".
// A step that would run past the end of the payload ends the walk (the
// receiver's 16-bit remainder would otherwise wrap).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tup
{

enum class SectionOutcome {
    Decoded,      // the decoder accepted it
    DecodeFailed, // the decoder rejected it
    Skipped,      // longer than the rest of the payload: not decoded
    Unknown,      // unknown type: not decoded
};

struct section_view_s {
    size_t index = 0;  // 0-based position in the walk
    size_t offset = 0; // offset of the section head in the frame
    uint16_t type = 0;
    uint16_t length = 0;            // the section's length field
    const uint8_t* bytes = nullptr; // bytes handed to the decoder (head included)
    size_t size = 0;                // their number: the step, cut at the frame's end
    std::vector<std::string> notes; // lines logged for this section, in order
};

// Returns the decoder's result for a section of a known type.
using SectionDecoder = std::function<bool(const section_view_s&)>;
using WalkLog = std::function<void(const std::string&)>;
using SectionReport = std::function<void(const section_view_s&, SectionOutcome)>;

// Mismatch message of a fixed-size type without the size ("DevInfo section
// length mismatch ("), "" for GpioState, nullptr for other types.
const char* sectionMismatchText(uint16_t type);
// "DevInfo", "GpioState", "NetCfg", "SnmpCfg", "ModbusCfg", "Core"; nullptr if unknown.
const char* sectionName(uint16_t type);

// Walks frame[0 .. frameSize) using the header fields found in it. decode
// is called for each section of a known type that was not skipped; report
// after each section, with its notes complete; undecoded for a section that
// reaches no decoder (Skipped, Unknown), before its "Decode error" line.
// log, report and undecoded may be empty. Returns the number of sections
// visited.
size_t walkSections(const uint8_t* frame, size_t frameSize, const SectionDecoder& decode,
                    const WalkLog& log = nullptr, const SectionReport& report = nullptr,
                    const SectionReport& undecoded = nullptr);

} // namespace tup
