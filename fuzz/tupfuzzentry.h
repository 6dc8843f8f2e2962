#pragma once

#include <cstddef>
#include <cstdint>

// One fuzz input through everything that reads received TUP bytes: the
// receiver's checks, the section walk, every section decoder and tupwatch's
// JSON printer. The input is taken as a datagram as it is, and once more with
// its last two bytes replaced by the right checksum so that mutations reach
// the checks and the walk behind the CRC. Aborts when an invariant breaks.
int tupFuzzOne(const uint8_t* data, size_t size);
