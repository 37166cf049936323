#include "platprofilefuzzentry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ProfileFuzzRead(data, size).broken != 0) {
        __builtin_trap();
    }
    return 0;
}
