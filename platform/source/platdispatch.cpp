#include "platform/platdispatch.h"

#include <cstdlib>
#include <cstring>

bool PlatForcePlainKernels()
{
    static const bool forced = [] {
        const char* v = std::getenv(PLAT_FORCE_PLAIN_ENV);
        return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
    }();
    return forced;
}
