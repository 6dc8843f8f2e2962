// Wall-clock time for TUP frames and the tools' output. The header's
// timestamp is unsigned 32-bit seconds since 1970, which holds until 2106;
// a signed 32-bit time_t ends in January 2038, so everything here works on
// 64-bit seconds and the tree is built with 64-bit time_t everywhere.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tup
{

// Seconds since 1970 as the header's timestamp field (modulo 2^32, so it
// wraps in 2106 instead of saturating or going negative).
uint32_t timestampFromSeconds(int64_t seconds);
// The current time as a header timestamp.
uint32_t timestampNow();

// UTC text "YYYY-MM-DDThh:mm:ss.mmmZ" of a moment; "" if the C library cannot
// break it down.
std::string isoUtcText(int64_t seconds, int millis);
// The current time as isoUtcText.
std::string isoUtcNow();

} // namespace tup
