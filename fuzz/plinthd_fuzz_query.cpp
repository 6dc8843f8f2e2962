// libFuzzer target over the bytes a Modbus master sends to plinthd.
#include "plinthdfuzzentry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return plinthdFuzzQuery(data, size);
}
