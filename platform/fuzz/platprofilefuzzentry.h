#pragma once

// One settings file through the settings reader, with its names' hashes narrowed by the first
// byte so that different names collide. A file of plain ASCII is also read by a line-by-line
// reference here, and every section and key it holds must answer the reference's value.

#include <cstddef>
#include <cstdint>

struct ProfileFuzzReport {
    bool ascii = false;
    uint32_t keys = 0;     // keys the reference found and asked for
    uint32_t broken = 0;   // answers that differ from the reference
};

ProfileFuzzReport ProfileFuzzRead(const uint8_t* data, size_t size);
