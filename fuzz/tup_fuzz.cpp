// libFuzzer target over the TUP receiving code.
#include "tupfuzzentry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return tupFuzzOne(data, size);
}
