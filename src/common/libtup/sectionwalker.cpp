#include "sectionwalker.h"

#include "tupbytes.h"
#include "tupwire.h"

#include <algorithm>

namespace tup
{

const char* sectionMismatchText(uint16_t type)
{
    switch (type) {
    case SECT_DEVINFO:
        return "DevInfo section length mismatch (";
    case SECT_GPIOSTATE:
        return "";
    case SECT_NETCFG:
        return "NetCfg section length mismatch (";
    case SECT_SNMPCFG:
        return "SnmpCfg section length mismatch (";
    case SECT_MODBUSCFG:
        return "ModbusCfg section length mismatch (";
    default:
        return nullptr;
    }
}

const char* sectionName(uint16_t type)
{
    switch (type) {
    case SECT_DEVINFO:
        return "DevInfo";
    case SECT_GPIOSTATE:
        return "GpioState";
    case SECT_NETCFG:
        return "NetCfg";
    case SECT_SNMPCFG:
        return "SnmpCfg";
    case SECT_MODBUSCFG:
        return "ModbusCfg";
    case SECT_CORE:
        return "Core";
    default:
        return nullptr;
    }
}

namespace
{
size_t fixedSize(uint16_t type)
{
    switch (type) {
    case SECT_DEVINFO:
        return SECT_DEVINFO_SIZE;
    case SECT_GPIOSTATE:
        return SECT_GPIOSTATE_SIZE;
    case SECT_NETCFG:
        return SECT_NETCFG_SIZE;
    case SECT_SNMPCFG:
        return SECT_SNMPCFG_SIZE;
    case SECT_MODBUSCFG:
        return SECT_MODBUSCFG_SIZE;
    default:
        return 0;
    }
}
} // namespace

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
        const char* mismatch = sectionMismatchText(v.type);
        const bool known = sectionName(v.type) != nullptr;
        if (v.type == SECT_CORE) {
            step = remaining;
        } else if (known) {
            step = fixedSize(v.type);
            if (v.length != step) {
                if (mismatch != nullptr && *mismatch != '\0')
                    note(mismatch + std::to_string(step) + ")");
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
