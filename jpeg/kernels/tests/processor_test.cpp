#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

#include "kernel_test_util.h"
#include "platform/platdispatch.h"
#include "processor/cpu_query.h"
#include "processor/kernel_dispatch.h"

namespace {

constexpr uint32_t kSse = 1u << 25, kSse2 = 1u << 26, kHtt = 1u << 28, kIa64 = 1u << 30;      // EDX
constexpr uint32_t kSse3 = 1u << 0, kSsse3 = 1u << 9, kSse41 = 1u << 19, kSse42 = 1u << 20;   // ECX
constexpr uint32_t kLongMode = 1u << 29;                                                      // leaf 0x80000001 EDX

// What one processor answers, in the words the identification reads.
struct Processor {
    bool intel = true;
    uint32_t family = 6, model = 0, ext_model = 0, ext_family = 0;
    uint32_t ecx1 = 0, edx1 = kSse | kSse2;
    uint32_t logical = 1;
    uint32_t max_leaf = 0xB;
    uint32_t cores = 1;
    uint32_t max_ext_leaf = 0x80000008u;
    bool long_mode = true;
};

class Recorded {
public:
    explicit Recorded(const Processor& p)
    {
        const uint32_t eax1 = p.model << 4 | p.family << 8 | p.ext_model << 16 | p.ext_family << 20;
        uint32_t ebx0, edx0, ecx0;
        if (p.intel) {
            ebx0 = 0x756e6547u, edx0 = 0x49656e69u, ecx0 = 0x6c65746eu;   // GenuineIntel
        } else {
            ebx0 = 0x68747541u, edx0 = 0x69746e65u, ecx0 = 0x444d4163u;   // AuthenticAMD
        }
        answers_ = {
            {0, 0, {p.max_leaf, ebx0, ecx0, edx0}},
            {1, 0, {eax1, p.logical << 16, p.ecx1, p.edx1}},
            {4, 0, {(p.cores - 1) << 26 | 0x121u, 0, 0, 0}},
            {0x80000000u, 0, {p.max_ext_leaf, 0, 0, 0}},
            {0x80000001u, 0, {0, 0, 0, p.long_mode ? kLongMode : 0u}},
        };
        recording_ = {true, answers_.data(), static_cast<int>(answers_.size())};
        cpuid_use_recording(&recording_);
    }
    ~Recorded() { cpuid_use_recording(nullptr); }

private:
    std::vector<CpuidAnswer> answers_;
    CpuidRecording recording_{};
};

int32_t expected_stored(int32_t level)
{
    return PlatForcePlainKernels() ? 0 : level;
}

using Identification = KernelTest;

TEST_F(Identification, NoCpuidGivesTypeZeroLevelZeroAndTheWarning)
{
    const CpuidRecording none{false, nullptr, 0};
    cpuid_use_recording(&none);
    EXPECT_EQ(CheckCpuidPresent(), 0);
    EXPECT_EQ(cpu_identify_type(), 0);
    dispatch_level.store(3);
    EXPECT_EQ(dispatch_init(), kernel_processor_warning);
    EXPECT_EQ(dispatch_level.load(), 0);
}

// Identifies a recorded processor and checks its type, the stored level and the set-up's result.
void expect_identified(const Processor& p, int32_t type, int32_t level)
{
    Recorded rec(p);
    EXPECT_EQ(CheckCpuVendor(), p.intel ? 1 : 0);
    EXPECT_EQ(cpu_identify_type(), type);
    EXPECT_EQ(dispatch_level_for_type(type), level);
    EXPECT_EQ(dispatch_init(), p.intel ? kernel_ok : kernel_processor_warning);
    EXPECT_EQ(dispatch_level.load(), expected_stored(level));
}

TEST_F(Identification, OtherVendorRunsItsFallbackLevelWithTheWarning)
{
    Processor amd;
    amd.intel = false;
    amd.family = 15;
    amd.ext_family = 8;
    expect_identified(amd, 65, 2);
    // The warning does not undo the level.
    uint16_t table[64];
    int16_t block[64] = {};
    for (auto& q : table)
        q = 1;
    EXPECT_EQ(dequant_idct_8x8(block, block, table), 0);
    EXPECT_EQ(dispatch_level.load(), expected_stored(2));
}

TEST_F(Identification, DevelopmentMachineGivesLevelFive)
{
    // Rocket Lake: family 6, model 0xA7, SSE4.2, eight cores with hyper-threading.
    Processor p;
    p.model = 7;
    p.ext_model = 0xA;
    p.ecx1 = kSse3 | kSsse3 | kSse41 | kSse42;
    p.edx1 = kSse | kSse2 | kHtt;
    p.logical = 16;
    p.max_leaf = 0x1B;
    p.cores = 8;
    expect_identified(p, 69, 5);
}

struct TypeCase {
    const char* what;
    Processor p;
    int32_t type;
    int32_t level;
};

Processor make(uint32_t family, uint32_t model, uint32_t ecx1, uint32_t edx1, uint32_t cores = 1)
{
    Processor p;
    p.family = family;
    p.model = model & 15;   // models above 15 come from the extended model field
    p.ext_model = model >> 4;
    p.ecx1 = ecx1;
    p.edx1 = edx1;
    p.cores = cores;
    return p;
}

TEST_F(Identification, VendorRulesAndFallbacks)
{
    const uint32_t sse2 = kSse | kSse2;
    std::vector<TypeCase> cases = {
        {"6/15 SSSE3 four cores", make(6, 15, kSse3 | kSsse3, sse2, 4), 34, 4},
        {"6/15 SSSE3 two cores", make(6, 15, kSse3 | kSsse3, sse2, 2), 33, 4},
        {"6/15 without SSSE3 falls back", make(6, 15, kSse3, sse2, 4), 66, 3},
        {"6/26 SSE4.2", make(6, 26, kSse3 | kSsse3 | kSse41 | kSse42, sse2), 35, 5},
        {"6/26 without SSE4.2 falls back", make(6, 26, kSse3 | kSsse3 | kSse41, sse2), 68, 5},
        {"6/28 without SSSE3 falls back", make(6, 28, kSse3, sse2), 66, 3},
        {"6/14 one core", make(6, 14, kSse3, sse2, 1), 10, 3},
        {"6/14 two cores", make(6, 14, kSse3, sse2, 2), 11, 3},
        {"6/9", make(6, 9, 0, sse2), 9, 2},
        {"6/7", make(6, 7, 0, kSse), 5, 1},
        {"6/3", make(6, 3, 0, 0), 4, 0},
        {"5/4", make(5, 4, 0, 0), 2, 0},
        {"5/9 falls back", make(5, 9, 0, kSse), 64, 1},
        {"15 SSE3 64-bit", make(15, 4, kSse3, sse2), 32, 3},
        {"15 no SSE3 no HT", make(15, 2, 0, sse2), 6, 2},
        {"IA-64 family 7", make(7, 0, 0, kIa64), 16, 1},
        {"IA-64 family 6", make(6, 15, kSse3 | kSsse3, kIa64 | sse2), 17, 1},
    };
    {
        Processor p = make(6, 7, kSse3 | kSsse3 | kSse41, sse2);   // model 7 + 16 x 1 = 23
        p.ext_model = 1;
        cases.push_back({"6/23 from the extended model", p, 68, 5});
        p = make(15, 4, kSse3, sse2);
        p.ext_family = 1;
        cases.push_back({"family 15 with extended family 1 falls back", p, 66, 3});
        p = make(15, 2, 0, sse2 | kHtt);
        p.logical = 2;
        cases.push_back({"15 no SSE3 hyper-threading", p, 7, 2});
        p.logical = 1;
        cases.push_back({"15 HTT flag with one logical processor", p, 6, 2});
        p = make(15, 4, kSse3, sse2);
        p.long_mode = false;
        cases.push_back({"15 SSE3 32-bit", p, 8, 3});
        p = make(6, 15, kSse3 | kSsse3, sse2, 4);
        p.max_leaf = 3;
        cases.push_back({"leaf 4 unasked below max leaf 4: one core", p, 33, 4});
        p = make(6, 0, 0, 0);
        p.intel = false;
        cases.push_back({"64-bit mode alone", p, 96, 0});
        p.max_ext_leaf = 0x80000000u;
        cases.push_back({"no extended leaves: no 64-bit mode", p, 0, 0});
    }
    for (const TypeCase& c : cases) {
        SCOPED_TRACE(c.what);
        expect_identified(c.p, c.type, c.level);
    }
}

TEST_F(Identification, SupportedLevelMatchesThisProcessor)
{
    // x86-64 always has SSE2; the level the processor's own answers choose never exceeds what it
    // can run on the processors we meet.
#if defined(__x86_64__)
    EXPECT_EQ(CheckCpuidPresent(), 1);
    EXPECT_GE(dispatch_supported_level(), 2);
#endif
    EXPECT_LE(dispatch_level_for_type(cpu_identify_type()), dispatch_supported_level());
}

using Dispatch = KernelTest;

TEST_F(Dispatch, SetLevelRefusesLevelsOutOfRange)
{
    dispatch_level.store(0);
    EXPECT_EQ(dispatch_set_level(-1), kernel_out_of_range);
    EXPECT_EQ(dispatch_set_level(6), kernel_out_of_range);
    EXPECT_EQ(dispatch_level.load(), 0);
    EXPECT_EQ(dispatch_set_level(2), 0);
    EXPECT_EQ(dispatch_set_level(0), 2);
}

TEST_F(Dispatch, StubsRunWhileTheLevelIsSet)
{
    // The level is read without a lock; it must be an atomic so that a decode running beside
    // the set-up is no data race (the ThreadSanitizer build checks this).
    static_assert(std::atomic<int32_t>::is_always_lock_free);
    dispatch_level.store(0);
    const std::array<int16_t, 64> src = [] {
        std::array<int16_t, 64> b{};
        b[0] = 100;
        return b;
    }();
    std::array<uint16_t, 64> table;
    table.fill(1);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t)
        workers.emplace_back([&] {
            std::array<int16_t, 64> out;
            while (!stop.load()) {
                if (dequant_idct_8x8(src.data(), out.data(), table.data()) != kernel_ok)
                    ++bad;
                // Whichever level ran, the first row is 13.
                if (out[0] != 13)
                    ++bad;
            }
        });
    for (int i = 0; i < 200; ++i) {
        dispatch_init();
        dispatch_set_level(0);
    }
    stop.store(true);
    for (std::thread& w : workers)
        w.join();
    EXPECT_EQ(bad.load(), 0);
}

}   // namespace
