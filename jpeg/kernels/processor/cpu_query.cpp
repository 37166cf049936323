#include "processor/cpu_query.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define KV_HAVE_CPUID 1
#else
#define KV_HAVE_CPUID 0
#endif

namespace {

std::atomic<const CpuidRecording*> g_recording{nullptr};

int hardware_cpuid_present()
{
#if KV_HAVE_CPUID && defined(__x86_64__)
    // Toggle the ID flag (bit 21) and see whether the change sticks. The pushes step over the
    // red zone, where the compiler may keep locals of this leaf function.
    uint64_t before = 0, after = 0;
    __asm__ volatile("sub $128, %%rsp\n\t"
                     "pushfq\n\t"
                     "pop %0\n\t"
                     "mov %0, %1\n\t"
                     "xor $0x200000, %1\n\t"
                     "push %1\n\t"
                     "popfq\n\t"
                     "pushfq\n\t"
                     "pop %1\n\t"
                     "push %0\n\t"
                     "popfq\n\t"
                     "add $128, %%rsp\n\t"
                     : "=&r"(before), "=&r"(after)
                     :
                     : "cc");
    return ((before ^ after) & 0x200000u) != 0 ? 1 : 0;
#elif KV_HAVE_CPUID
    return __get_cpuid_max(0, nullptr) != 0 ? 1 : 0;   // the same flag test on 32-bit processors
#else
    return 0;
#endif
}

uint32_t bits(uint32_t word, int low, int count)
{
    return (word >> low) & ((1u << count) - 1u);
}

bool bit(uint32_t word, int n)
{
    return ((word >> n) & 1u) != 0;
}

struct Features {
    uint32_t family, model;
    bool sse, sse2, sse3, ssse3, sse41, sse42, ia64, hyperthreading, long_mode;
    uint32_t cores;
};

int32_t fallback_type(const Features& f)
{
    if (f.sse42)
        return 69;
    if (f.sse41)
        return 68;
    if (f.ssse3)
        return 67;
    if (f.sse3)
        return 66;
    if (f.sse2)
        return 65;
    if (f.sse)
        return 64;
    if (f.long_mode)
        return 96;
    return 0;
}

// Vendor rules for "GenuineIntel"; 0 means that no rule matched and the fallback decides.
int32_t intel_type(const Features& f)
{
    const uint32_t fam = f.family, m = f.model;
    if (f.ia64)
        return fam == 7 ? 16 : 17;
    if (fam == 5) {
        if (m == 1 || m == 2)
            return 1;
        if (m == 4)
            return 2;
        return 0;
    }
    if (fam == 6) {
        switch (m) {
        case 1: return 3;
        case 3:
        case 5:
        case 6: return 4;
        case 7:
        case 8:
        case 10:
        case 11: return 5;
        case 9:
        case 13: return 9;
        case 14: return f.cores > 1 ? 11 : 10;
        case 15: return f.ssse3 ? (f.cores > 2 ? 34 : 33) : 0;
        case 23: return f.sse41 ? 68 : 0;
        case 26: return f.sse42 ? 35 : 0;
        case 28: return f.ssse3 ? 36 : 0;
        default: return 0;
        }
    }
    if (fam == 15) {
        if (f.sse3)
            return f.long_mode ? 32 : 8;
        return f.hyperthreading ? 7 : 6;
    }
    return 0;
}

}   // namespace

void QueryCpuid(uint32_t out[4], uint32_t leaf, uint32_t subleaf)
{
#if KV_HAVE_CPUID
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(leaf, subleaf, a, b, c, d);
    out[0] = a;
    out[1] = b;
    out[2] = c;
    out[3] = d;
#else
    (void)leaf;
    (void)subleaf;
    out[0] = out[1] = out[2] = out[3] = 0;
#endif
}

namespace {

// Leaf 7's EBX when AVX registers are usable, else 0. With wide, leaf 7's EBX only when the
// operating system also saves the AVX-512 state (mask and upper ZMM registers).
uint32_t usable_leaf7_ebx(bool wide = false)
{
#if KV_HAVE_CPUID
    if (hardware_cpuid_present() == 0)
        return 0;
    uint32_t r[4];
    QueryCpuid(r, 0, 0);
    if (r[0] < 7)
        return 0;
    QueryCpuid(r, 1, 0);
    if ((r[2] >> 27 & 1) == 0 || (r[2] >> 28 & 1) == 0)
        return 0;   // OSXSAVE, AVX
    uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 6) != 6)
        return 0;   // XMM and YMM state saved
    if (wide && (low & 0xE0) != 0xE0)
        return 0;
    QueryCpuid(r, 7, 0);
    return r[1];
#else
    return 0;
#endif
}

}   // namespace

bool cpu_avx2_usable()
{
    return (usable_leaf7_ebx() >> 5 & 1) != 0;
}

bool cpu_avx512_usable()
{
    return (usable_leaf7_ebx(true) >> 16 & 1) != 0;
}

void cpuid_use_recording(const CpuidRecording* recording)
{
    g_recording.store(recording, std::memory_order_release);
}

void cpuid_ask(uint32_t out[4], uint32_t leaf, uint32_t subleaf)
{
    const CpuidRecording* rec = g_recording.load(std::memory_order_acquire);
    if (rec == nullptr) {
        QueryCpuid(out, leaf, subleaf);
        return;
    }
    out[0] = out[1] = out[2] = out[3] = 0;
    for (int i = 0; i < rec->count; ++i) {
        const CpuidAnswer& a = rec->answers[i];
        if (a.leaf == leaf && a.subleaf == subleaf) {
            for (int k = 0; k < 4; ++k)
                out[k] = a.regs[k];
            return;
        }
    }
}

int CheckCpuidPresent()
{
    const CpuidRecording* rec = g_recording.load(std::memory_order_acquire);
    if (rec != nullptr)
        return rec->present ? 1 : 0;
    return hardware_cpuid_present();
}

int CheckCpuVendor()
{
    uint32_t r[4];
    cpuid_ask(r, 0, 0);
    // "Genu" in EBX, "ineI" in EDX, "ntel" in ECX, little-endian.
    return r[1] == 0x756e6547u && r[3] == 0x49656e69u && r[2] == 0x6c65746eu ? 1 : 0;
}

int32_t cpu_identify_type()
{
    if (CheckCpuidPresent() == 0)
        return 0;

    uint32_t r[4];
    Features f{};
    cpuid_ask(r, 1, 0);
    f.model = bits(r[0], 4, 4);
    f.family = bits(r[0], 8, 4);
    const uint32_t ext_model = bits(r[0], 16, 4);
    const uint32_t ext_family = bits(r[0], 20, 8);
    f.sse3 = bit(r[2], 0);
    f.ssse3 = bit(r[2], 9);
    f.sse41 = bit(r[2], 19);
    f.sse42 = bit(r[2], 20);
    f.sse = bit(r[3], 25);
    f.sse2 = bit(r[3], 26);
    f.ia64 = bit(r[3], 30);
    f.hyperthreading = bit(r[3], 28) && bits(r[1], 16, 8) >= 2;

    cpuid_ask(r, 0x80000000u, 0);
    if ((r[0] & 0x7fffffffu) != 0) {
        cpuid_ask(r, 0x80000001u, 0);
        f.long_mode = bit(r[3], 29);
    }

    cpuid_ask(r, 0, 0);
    f.cores = 1;
    if (r[0] >= 4) {
        cpuid_ask(r, 4, 0);
        f.cores = bits(r[0], 26, 6) + 1;
    }

    if (f.family == 6 || f.family == 15)
        f.model += 16 * ext_model;
    if (f.family == 15)
        f.family += ext_family;

    if (CheckCpuVendor() != 0) {
        const int32_t type = intel_type(f);
        if (type != 0)
            return type;
    }
    return fallback_type(f);
}
