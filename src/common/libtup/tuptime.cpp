#include "tuptime.h"

#include <cstdio>

// A 32-bit time_t turns every clock reading after 2038-01-19 into an error
// (or a wrapped negative value): refuse to build a unit that would do that.
static_assert(sizeof(std::time_t) >= 8, "64-bit time_t needed: build with _TIME_BITS=64");

namespace tup
{

uint32_t timestampFromSeconds(int64_t seconds)
{
    return static_cast<uint32_t>(static_cast<uint64_t>(seconds) & 0xFFFFFFFFu);
}

namespace
{
bool realtime(timespec& ts)
{
    return clock_gettime(CLOCK_REALTIME, &ts) == 0;
}
} // namespace

uint32_t timestampNow()
{
    timespec ts{};
    if (!realtime(ts))
        return 0; // never happens for CLOCK_REALTIME; 0 is the "no time" value
    return timestampFromSeconds(static_cast<int64_t>(ts.tv_sec));
}

std::string isoUtcText(int64_t seconds, int millis)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (gmtime_r(&t, &parts) == nullptr)
        return "";
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  millis);
    return buf;
}

std::string isoUtcNow()
{
    timespec ts{};
    if (!realtime(ts))
        return "";
    return isoUtcText(static_cast<int64_t>(ts.tv_sec), static_cast<int>(ts.tv_nsec / 1000000));
}

} // namespace tup
