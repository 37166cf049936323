#pragma once

#include <cstdint>

// Executes cpuid with the leaf and sub-leaf and stores EAX, EBX, ECX, EDX into out. The caller
// has checked CheckCpuidPresent(); on processors without cpuid it stores zeros.
void QueryCpuid(uint32_t out[4], uint32_t leaf, uint32_t subleaf);

// 1 when the processor has cpuid (the ID flag of the flags register can be toggled), else 0.
int CheckCpuidPresent();

// 1 when cpuid leaf 0 names "GenuineIntel", else 0.
int CheckCpuVendor();

// Beyond the dispatch levels, for bodies behind their own check (asked of the processor, never
// the recording): AVX2 with the operating system saving its registers.
bool cpu_avx2_usable();
// AVX-512 Foundation with the operating system saving its registers.
bool cpu_avx512_usable();

// Processor type code: the vendor rules for "GenuineIntel", else the feature fallback
// 64 (SSE) ... 69 (SSE4.2), 96 (64-bit mode only), 0 (nothing, or no cpuid).
int32_t cpu_identify_type();

// Test seam: the identification, the vendor check and the cache-size query read these recorded
// answers instead of the processor. A leaf that is not recorded answers four zeros. The
// recording must outlive its use; null returns to the processor. QueryCpuid itself always asks
// the processor.
struct CpuidAnswer {
    uint32_t leaf;
    uint32_t subleaf;
    uint32_t regs[4];   // EAX, EBX, ECX, EDX
};
struct CpuidRecording {
    bool present;   // what CheckCpuidPresent answers
    const CpuidAnswer* answers;
    int count;
};
void cpuid_use_recording(const CpuidRecording* recording);

// cpuid as the identification sees it: the recording when one is set, else the processor.
void cpuid_ask(uint32_t out[4], uint32_t leaf, uint32_t subleaf);
