#pragma once

#include <cstddef>
#include <cstdint>

// One fuzz input through plinthd's JSON command layer: the input is split at
// newlines into up to 8 command texts, each run through the command
// dispatcher of a server thread that starts idle (no interface is opened).
// Aborts when a reply is not a JSON object.
int plinthdFuzzCmd(const uint8_t* data, size_t size);

// One fuzz input as bytes a master sends, straight into the request
// handler: the first byte picks TCP (MBAP frames cut by their length) or RTU
// (the rest as one frame, through the RTU frame check, and its PDU once more
// without it) and whether events are reported. Aborts when a register breaks
// its access rule, an answer is malformed or a signal text is not JSON.
int plinthdFuzzQuery(const uint8_t* data, size_t size);
