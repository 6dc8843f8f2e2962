#include "framecheck.h"

#include "crc16.h"
#include "tupbytes.h"

#include <cstdio>

namespace tup
{

namespace
{
const char* const TOO_SHORT = "Frame too short. Drop frame";

std::string hex(uint16_t v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(v));
    return buf;
}

frame_check_s& fail(frame_check_s& r, int check, std::initializer_list<std::string> lines)
{
    r.failed = check;
    r.log.insert(r.log.end(), lines.begin(), lines.end());
    return r;
}
} // namespace

const char* checkName(int check)
{
    switch (check) {
    case CHECK_MAGIC:
        return "magic";
    case CHECK_SENDER:
        return "sender";
    case CHECK_CHECKSUM:
        return "checksum";
    case CHECK_VERSION:
        return "version";
    case CHECK_LENGTH:
        return "length";
    case CHECK_SECT_OFFSET:
        return "sect_offset";
    case CHECK_SECT_COUNT:
        return "sect_count";
    case CHECK_TIMESTAMP:
        return "timestamp";
    case CHECK_SEQUENCE:
        return "seqno";
    default:
        return "";
    }
}

frame_check_s checkFrame(const uint8_t* data, size_t size, const std::string& sender,
                         const link_state_s& state)
{
    frame_check_s r;
    if (data == nullptr)
        size = 0;

    // 1. magic
    if (!readU8(data, size, 0, r.frame.magic) || r.frame.magic != TUP_MAGIC)
        return fail(r, CHECK_MAGIC, {"Not a TUP magic number. Drop frame"});

    // 2. attended sender
    if (state.hasPacketSender && sender != state.packetSender)
        return fail(r, CHECK_SENDER,
                    {"Packet received from an unknown sender (" + sender + ", attended " +
                     state.packetSender + ")"});

    // 3. checksum over everything before the last two bytes (none in a
    // two-byte datagram, whose checksum is then compared with 0)
    if (size < TUP_CRC_SIZE)
        return fail(r, CHECK_CHECKSUM, {TOO_SHORT});
    r.frameSize = size - TUP_CRC_SIZE;
    readU16(data, size, r.frameSize, r.receivedCrc);
    r.computedCrc = crc16(TUP_POLY, TUP_CRC_INIT, data, r.frameSize);
    r.crcPresent = true;
    if (r.receivedCrc != r.computedCrc)
        return fail(r, CHECK_CHECKSUM,
                    {"Invalid checksum (0x" + hex(r.receivedCrc) + " != 0x" + hex(r.computedCrc) +
                     "). Drop frame"});
    // From here on the frame is the datagram without its checksum.
    const size_t n = r.frameSize;
    tupv1_header_s& h = r.header;

    // 4. version
    if (!readU8(data, n, 1, r.frame.version))
        return fail(r, CHECK_VERSION, {TOO_SHORT});
    if (r.frame.version != TUP_VERSION)
        return fail(r, CHECK_VERSION, {"Unknown TUP version"});

    // 5. length
    // The header record is packed: fields are read into a local, then stored.
    uint16_t v16 = 0;
    uint32_t v32 = 0;
    if (!readU16(data, n, 2, v16))
        return fail(r, CHECK_LENGTH, {TOO_SHORT});
    h.length = v16;
    if (h.length != n - 2)
        return fail(r, CHECK_LENGTH,
                    {"Payload length mismatch. Drop frame", std::to_string(h.length)});

    // 6. sect_offset
    if (!readU16(data, n, 4, v16))
        return fail(r, CHECK_SECT_OFFSET, {TOO_SHORT});
    h.sect_offset = v16;
    if (h.sect_offset < 8 || h.sect_offset > h.length)
        return fail(r, CHECK_SECT_OFFSET,
                    {"Section offset out of range. Drop frame",
                     std::to_string(h.sect_offset) + " < 8",
                     std::to_string(h.sect_offset) + " > " + std::to_string(h.length)});

    // 7. sect_count
    if (!readU16(data, n, 6, v16))
        return fail(r, CHECK_SECT_COUNT, {TOO_SHORT});
    h.sect_count = v16;
    if (h.sect_count == 0) {
        if (h.length > 8)
            return fail(r, CHECK_SECT_COUNT,
                        {"Section count mismatch section payload length. Drop frame",
                         std::to_string(h.sect_count) + " : " + std::to_string(h.length)});
        return fail(r, CHECK_SECT_COUNT,
                    {"No section to process. Drop frame", std::to_string(h.sect_count)});
    }

    // 8. timestamp (a frame shorter than its header stops here)
    if (readU32(data, n, 8, v32))
        h.seqno = v32;
    if (!readU32(data, n, 12, v32))
        return fail(r, CHECK_TIMESTAMP, {TOO_SHORT});
    h.timestamp = v32;
    r.headerPresent = true;
    if (h.timestamp == 0)
        return fail(r, CHECK_TIMESTAMP, {"Out of the continuum. Drop frame"});

    // 9. repeated sequence number
    if (h.seqno == state.lastSeqno)
        return fail(r, CHECK_SEQUENCE,
                    {"Repeated packet. Drop frame", "(" + std::to_string(h.seqno) + " = " +
                                                        std::to_string(state.lastSeqno) + ")"});

    // 10. a smaller number means the device restarted: accepted, noted
    if (h.seqno < state.lastSeqno) {
        r.backInSequence = true;
        r.log.push_back("Back in the sequence, probable reboot of the KxP");
        r.log.push_back("(" + std::to_string(h.seqno) + " < " + std::to_string(state.lastSeqno) +
                        ")");
    }
    return r;
}

bool acceptFrame(link_state_s& state, const std::string& sender, const frame_check_s& check)
{
    if (!check.accepted())
        return false;
    state.lastSeqno = check.header.seqno;
    if (state.hasPacketSender)
        return false;
    state.hasPacketSender = true;
    state.packetSender = sender;
    return true;
}

void detachSender(link_state_s& state)
{
    state.hasPacketSender = false;
    state.lastSeqno = 0;
}

} // namespace tup
