#include "platform/platmemory.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <malloc.h>
#include <sys/resource.h>

namespace {

// Reads "Name:   1234 kB" fields. Each name is looked for at a line start; every one must
// be present with a number, or the read fails.
bool ReadKbFields(const std::string& path, std::initializer_list<const char*> names, uint64_t* values)
{
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        return false;
    }
    const size_t count = names.size();
    bool found[8] = {};
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        size_t index = 0;
        for (const char* name : names) {
            const size_t length = std::strlen(name);
            if (!found[index] && std::strncmp(line, name, length) == 0 && line[length] == ':') {
                const char* p = line + length + 1;
                while (*p == ' ' || *p == '\t') {
                    ++p;
                }
                if (*p < '0' || *p > '9') {
                    break;
                }
                uint64_t value = 0;
                for (; *p >= '0' && *p <= '9'; ++p) {
                    if (value > (UINT64_MAX - 9) / 10) {
                        std::fclose(file);
                        return false;
                    }
                    value = value * 10 + static_cast<uint64_t>(*p - '0');
                }
                while (*p == ' ') {
                    ++p;
                }
                // Every field we read is in kB; a bare number is taken as bytes.
                if (std::strncmp(p, "kB", 2) == 0) {
                    if (value > UINT64_MAX / 1024) {
                        std::fclose(file);
                        return false;
                    }
                    value *= 1024;
                }
                values[index] = value;
                found[index] = true;
                break;
            }
            ++index;
        }
    }
    std::fclose(file);
    for (size_t i = 0; i < count; ++i) {
        if (!found[i]) {
            return false;
        }
    }
    return true;
}

}   // namespace

bool PlatGetMemoryStatusFrom(const std::string& meminfoPath, const std::string& statusPath, uint64_t addressLimit,
                             PlatMemoryStatus& status)
{
    uint64_t available = 0;
    uint64_t vmSize = 0;
    if (!ReadKbFields(meminfoPath, {"MemAvailable"}, &available) || !ReadKbFields(statusPath, {"VmSize"}, &vmSize)) {
        return false;
    }
    const uint64_t space = addressLimit != 0 ? addressLimit : kPlatUserAddressSpace;
    status.availablePhysical = available;
    status.availableVirtual = vmSize < space ? space - vmSize : 0;
    return true;
}

bool PlatGetProcessMemoryFrom(const std::string& statusPath, PlatProcessMemory& memory)
{
    uint64_t values[3] = {};
    if (!ReadKbFields(statusPath, {"VmRSS", "RssAnon", "VmSwap"}, values)) {
        return false;
    }
    memory.workingSet = values[0];
    memory.pageFileUse = values[1] + values[2];
    return true;
}

bool PlatGetMemoryStatus(PlatMemoryStatus& status)
{
    rlimit limit{};
    uint64_t addressLimit = 0;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        addressLimit = limit.rlim_cur;
    }
    return PlatGetMemoryStatusFrom("/proc/meminfo", "/proc/self/status", addressLimit, status);
}

bool PlatGetProcessMemory(PlatProcessMemory& memory)
{
    return PlatGetProcessMemoryFrom("/proc/self/status", memory);
}

void PlatReturnFreeMemory()
{
    malloc_trim(0);
}
