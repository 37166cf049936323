#pragma once

#include <cstdint>
#include <string>

// Memory figures in bytes, read from /proc.

struct PlatMemoryStatus {
    uint64_t availablePhysical = 0;   // MemAvailable
    uint64_t availableVirtual = 0;    // address space the process may still map
};

struct PlatProcessMemory {
    uint64_t workingSet = 0;    // VmRSS
    uint64_t pageFileUse = 0;   // RssAnon + VmSwap: private memory, resident or swapped
};

// The user address space of x86-64 without a limit set: 47 bits.
constexpr uint64_t kPlatUserAddressSpace = uint64_t{1} << 47;

// False when a file cannot be read or a field is missing or malformed.
bool PlatGetMemoryStatus(PlatMemoryStatus& status);
bool PlatGetProcessMemory(PlatProcessMemory& memory);

// The same from given files; addressLimit 0 means no RLIMIT_AS is set.
bool PlatGetMemoryStatusFrom(const std::string& meminfoPath, const std::string& statusPath, uint64_t addressLimit,
                             PlatMemoryStatus& status);
bool PlatGetProcessMemoryFrom(const std::string& statusPath, PlatProcessMemory& memory);

// Gives the system back the free memory the heap keeps, in every thread's arena: after a large
// read on one thread, another thread's read would otherwise be resident beside what it freed.
void PlatReturnFreeMemory();
