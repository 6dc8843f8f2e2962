// The receiver's checks of one datagram, in the receiver's order, shared by
// the kiosk and tupwatch so both drop the same frames with the same words:
//  1 magic 0xCE        "Not a TUP magic number. Drop frame"
//  2 attended sender   "Packet received from an unknown sender (S, attended A)"
//  3 checksum          "Invalid checksum (0xR != 0xC). Drop frame"
//  4 version 1         "Unknown TUP version"
//  5 length            "Payload length mismatch. Drop frame" + length
//  6 sect_offset       "Section offset out of range. Drop frame" + 2 lines
//  7 sect_count 0      "Section count mismatch section payload length. Drop frame"
//                      or "No section to process. Drop frame" + 1 line
//  8 timestamp 0       "Out of the continuum. Drop frame"
//  9 seqno repeated    "Repeated packet. Drop frame" + "(seqno = last)"
// 10 seqno smaller     accepted with "Back in the sequence, probable reboot of
//                      the KxP" + "(seqno < last)"
// A check whose field lies beyond the end of the datagram drops the frame
// with "Frame too short. Drop frame" instead of reading past it.
// checkFrame never changes the link state; acceptFrame does, after the walk.
#pragma once

#include "tupwire.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tup
{

enum FrameCheck : int {
    CHECK_NONE = 0,
    CHECK_MAGIC = 1,
    CHECK_SENDER = 2,
    CHECK_CHECKSUM = 3,
    CHECK_VERSION = 4,
    CHECK_LENGTH = 5,
    CHECK_SECT_OFFSET = 6,
    CHECK_SECT_COUNT = 7,
    CHECK_TIMESTAMP = 8,
    CHECK_SEQUENCE = 9,
};

// "magic", "sender", "checksum", "version", "length", "sect_offset",
// "sect_count", "timestamp", "seqno"; "" for CHECK_NONE.
const char* checkName(int check);

// Who the receiver listens to and the last sequence number it accepted.
struct link_state_s {
    bool hasPacketSender = false;
    std::string packetSender;
    uint32_t lastSeqno = 0;
};

struct frame_check_s {
    int failed = CHECK_NONE;      // first check that failed, CHECK_NONE when accepted
    std::vector<std::string> log; // lines to log, in order (drop message and details,
                                  // or the back-in-sequence note of an accepted frame)
    bool backInSequence = false;  // accepted with a smaller seqno
    size_t frameSize = 0;         // datagram size without the checksum bytes
    bool crcPresent = false;      // receivedCrc and computedCrc are set
    uint16_t receivedCrc = 0;
    uint16_t computedCrc = 0;
    bool headerPresent = false; // the 16 header bytes are all there
    tup_frame_s frame{};        // fields as far as present
    tupv1_header_s header{};    // host order, fields as far as present

    bool accepted() const { return failed == CHECK_NONE; }
};

frame_check_s checkFrame(const uint8_t* data, size_t size, const std::string& sender,
                         const link_state_s& state);

// After an accepted frame has been walked: remember its seqno and attach to
// the sender if no one is attended yet. Returns true on first contact.
bool acceptFrame(link_state_s& state, const std::string& sender, const frame_check_s& check);

// The silence watchdog's reset: no sender attended, lastSeqno 0.
void detachSender(link_state_s& state);

} // namespace tup
