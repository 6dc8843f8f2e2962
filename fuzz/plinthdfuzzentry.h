#pragma once

#include <cstddef>
#include <cstdint>

// One fuzz input through plinthd's JSON command layer: the input is split at
// newlines into up to 8 command texts, each run through the command
// dispatcher of a server thread that starts idle (interfaces are opened on
// /dev/null instead of a port). Aborts when a reply is not a JSON object.
int plinthdFuzzCmd(const uint8_t* data, size_t size);

// One fuzz input as bytes a master sends: the first byte picks TCP or RTU,
// the rest goes through libmodbus's receive and reply and the daemon's
// post-processing (and straight into the post-processing as well). Aborts
// when a register breaks its access rule afterwards.
int plinthdFuzzQuery(const uint8_t* data, size_t size);
