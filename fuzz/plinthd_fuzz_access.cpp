// libFuzzer target over what the access rules read: network texts, roles
// files, role extensions and certificates.
#include <cstddef>
#include <cstdint>

int plinthdFuzzAccess(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return plinthdFuzzAccess(data, size);
}
