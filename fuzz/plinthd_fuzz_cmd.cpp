// libFuzzer target over plinthd's JSON command layer.
#include "plinthdfuzzentry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return plinthdFuzzCmd(data, size);
}
