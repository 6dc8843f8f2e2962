// Checks datagrams like the unit's receiver and describes each as JSON.
#pragma once

#include "framecheck.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct cJSON;

namespace Tessal
{

class FrameWatcher
{
public:
    explicit FrameWatcher(unsigned timeoutSeconds) : m_timeout(timeoutSeconds) {}

    // One JSON object for one datagram (the caller owns it): sender, header
    // fields, and either the decoded sections of an accepted frame or the
    // check that dropped it with the receiver's message. nowMs is a
    // monotonic clock reading used by the silence watchdog.
    cJSON* handleDatagram(const uint8_t* data, size_t size, const std::string& sender,
                          uint16_t senderPort, uint64_t nowMs);

    // When a sender is attended and nothing was accepted for the timeout,
    // detaches it and returns an event object; else nullptr.
    cJSON* checkSilence(uint64_t nowMs);

    // Milliseconds until the watchdog would fire, -1 when it is not armed.
    long long msUntilSilence(uint64_t nowMs) const;

    const tup::link_state_s& state() const { return m_state; }

private:
    unsigned m_timeout;
    tup::link_state_s m_state;
    uint64_t m_lastAcceptMs = 0;
};

} // namespace Tessal
