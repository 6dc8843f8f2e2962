#include "sectionwalker.h"

#include "tupbytes.h"
#include "tupwire.h"

#include <algorithm>

namespace tup
{

namespace
{

// The section kinds the receiver knows: name, whole size of a fixed-size
// kind (0 for Core, which takes the rest of the payload) and the start of
// its length mismatch message ("" for GpioState, which has none; Core has
// no fixed size to mismatch).
struct section_kind_s {
    uint16_t type;
    const char* name;
    size_t fixedSize;
    const char* mismatch;
};

constexpr section_kind_s SECTION_KINDS[] = {
    {SECT_DEVINFO, "DevInfo", SECT_DEVINFO_SIZE, "DevInfo section length mismatch ("},
    {SECT_GPIOSTATE, "GpioState", SECT_GPIOSTATE_SIZE, ""},
    {SECT_NETCFG, "NetCfg", SECT_NETCFG_SIZE, "NetCfg section length mismatch ("},
    {SECT_SNMPCFG, "SnmpCfg", SECT_SNMPCFG_SIZE, "SnmpCfg section length mismatch ("},
    {SECT_MODBUSCFG, "ModbusCfg", SECT_MODBUSCFG_SIZE, "ModbusCfg section length mismatch ("},
    {SECT_CORE, "Core", 0, nullptr},
};

const section_kind_s* sectionKind(uint16_t type)
{
    for (const section_kind_s& k : SECTION_KINDS)
        if (k.type == type)
            return &k;
    return nullptr;
}

} // namespace

const char* sectionMismatchText(uint16_t type)
{
    const section_kind_s* k = sectionKind(type);
    return k != nullptr ? k->mismatch : nullptr;
}

const char* sectionName(uint16_t type)
{
    const section_kind_s* k = sectionKind(type);
    return k != nullptr ? k->name : nullptr;
}

size_t walkSections(const uint8_t* frame, size_t frameSize, const SectionDecoder& decode,
                    const WalkLog& log, const SectionReport& report, const SectionReport& undecoded)
{
    uint16_t length = 0, sectOffset = 0, sectCount = 0;
    if (frame == nullptr || !readU16(frame, frameSize, 2, length) ||
        !readU16(frame, frameSize, 4, sectOffset) || !readU16(frame, frameSize, 6, sectCount))
        return 0;

    size_t pos = static_cast<size_t>(sectOffset) + TUP_PREFIX_SIZE;
    // The payload the header announces, but never more than the frame holds.
    size_t remaining = length >= TUP_HEADER_SIZE ? length - TUP_HEADER_SIZE : 0;
    remaining = std::min(remaining, pos < frameSize ? frameSize - pos : 0);

    size_t visited = 0;
    for (unsigned i = 0; i < sectCount; ++i) {
        section_view_s v;
        v.index = i;
        v.offset = pos;
        auto note = [&](const std::string& line) {
            v.notes.push_back(line);
            if (log)
                log(line);
        };
        if (remaining < TUP_SECTION_HEAD) {
            if (log)
                log("Payload too short. Drop remaining bytes");
            break;
        }
        ++visited;
        readU16(frame, frameSize, pos, v.type);
        readU16(frame, frameSize, pos + 2, v.length);

        bool skipped = false;
        if (v.length > remaining) {
            note("Section length exceed frame length. Skip section");
            skipped = true;
        }
        size_t step;
        const section_kind_s* kind = sectionKind(v.type);
        const bool known = kind != nullptr;
        if (v.type == SECT_CORE) {
            step = remaining;
        } else if (known) {
            step = kind->fixedSize;
            if (v.length != step) {
                if (*kind->mismatch != '\0')
                    note(kind->mismatch + std::to_string(step) + ")");
                step = static_cast<size_t>(v.length) + 4;
            }
        } else {
            note("Unknown section type. Skip section");
            skipped = true;
            step = static_cast<size_t>(v.length) + 4;
        }

        SectionOutcome outcome = known ? SectionOutcome::Skipped : SectionOutcome::Unknown;
        if (!skipped && known) {
            v.bytes = frame + pos;
            v.size = std::min(step, frameSize - pos);
            const bool ok = decode ? decode(v) : false;
            outcome = ok ? SectionOutcome::Decoded : SectionOutcome::DecodeFailed;
            if (ok)
                step = v.length;
        } else if (undecoded) {
            undecoded(v, outcome);
        }
        if (outcome != SectionOutcome::Decoded)
            note("Decode error");
        if (report)
            report(v, outcome);

        if (step >= remaining) {
            pos += remaining;
            remaining = 0;
        } else {
            pos += step;
            remaining -= step;
        }
    }
    return visited;
}

} // namespace tup
