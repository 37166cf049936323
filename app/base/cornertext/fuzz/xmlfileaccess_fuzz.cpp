#include "xmlfileaccessfuzzentry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (XmlFuzzLoadOverlay(data, size).broken != 0) {
        __builtin_trap();
    }
    return 0;
}
