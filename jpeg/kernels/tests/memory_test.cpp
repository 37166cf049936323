#include <gtest/gtest.h>

#include <vector>

#include "kernel_test_util.h"
#include "memory/zero_fill.h"

namespace {

using ZeroFill = KernelTest;
using zero_fill_fn = void* (*)(void*, int32_t);

zero_fill_fn zero_fill_at(int level)
{
    static const zero_fill_fn fns[6] = {&ZeroFillBytes<0>, &ZeroFillBytes<1>, &ZeroFillBytes<2>,
                                        &ZeroFillBytes<3>, &ZeroFillBytes<4>, &ZeroFillBytes<5>};
    return fns[level];
}

// Fills count bytes at every alignment 0-15 inside guard bytes and checks exactly those bytes.
void check_counts(int level, const std::vector<int32_t>& counts)
{
    constexpr uint8_t kGuard = 0xA5;
    for (int32_t count : counts) {
        const size_t span = count > 0 ? static_cast<size_t>(count) : 0;
        std::vector<uint8_t> storage(span + 256);
        uint8_t* base = storage.data() + (64 - reinterpret_cast<uintptr_t>(storage.data()) % 64);
        for (int align = 0; align < 16; ++align) {
            std::fill(storage.begin(), storage.end(), kGuard);
            uint8_t* dst = base + align;
            ASSERT_EQ(zero_fill_at(level)(dst, count), dst);
            size_t wrong = 0;
            for (size_t i = 0; i < storage.size(); ++i) {
                const uint8_t* p = storage.data() + i;
                const bool inside = p >= dst && p < dst + span;
                wrong += storage[i] != (inside ? 0 : kGuard);
            }
            ASSERT_EQ(wrong, 0u) << "count " << count << " alignment " << align;
        }
    }
}

const std::vector<int32_t> kCounts = {0, -1, 1, 3, 4, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 128, 1644, 600 * 1024};

TEST_F(ZeroFill, EveryLevelClearsExactlyTheBytesAsked)
{
    for_each_level(0, [](int level) { check_counts(level, kCounts); });
}

// cpuid answers of an Intel processor whose leaf 2 lists the given descriptor words.
class Leaf2 {
public:
    Leaf2(bool intel, uint32_t eax, uint32_t ebx = 0, uint32_t ecx = 0, uint32_t edx = 0)
    {
        answers_[0] = {0, 0, {4, intel ? 0x756e6547u : 0x68747541u, intel ? 0x6c65746eu : 0x444d4163u,
                              intel ? 0x49656e69u : 0x69746e65u}};
        answers_[1] = {2, 0, {eax, ebx, ecx, edx}};
        recording_ = {true, answers_, 2};
        cpuid_use_recording(&recording_);
    }
    ~Leaf2() { cpuid_use_recording(nullptr); }

private:
    CpuidAnswer answers_[2];
    CpuidRecording recording_{};
};

TEST_F(ZeroFill, LargeFillsStreamPastACacheTheyExceed)
{
    // 512 KiB cache: 600 KiB fills take the non-temporal path and must still clear exactly.
    Leaf2 cache(true, 0x00002201u);
    ASSERT_EQ(QueryCacheSizeLeaf2(), 512u * 1024);
    for_each_level(0, [](int level) { check_counts(level, {600 * 1024, 600 * 1024 + 13}); });
}

TEST_F(ZeroFill, CacheSizeFromLeafTwo)
{
    EXPECT_EQ(sizeof(cacheDescriptorSizes), 57u);
    EXPECT_EQ(cacheDescriptorSizes[56], 0);
    {
        Leaf2 r(true, 0x00004D01u);
        EXPECT_EQ(QueryCacheSizeLeaf2(), 16u << 20);
    }
    {
        // 0x22 (512 KiB) and 0x49 (4 MiB) both reported: the earlier list entry wins.
        Leaf2 r(true, 0x00002201u, 0, 0x00000049u);
        EXPECT_EQ(QueryCacheSizeLeaf2(), 4u << 20);
    }
    {
        Leaf2 r(true, 0x00000001u, 0x4C000000u);
        EXPECT_EQ(QueryCacheSizeLeaf2(), 12u << 20);
    }
    {
        Leaf2 r(true, 0x00000001u, 0, 0, 0x00004800u);
        EXPECT_EQ(QueryCacheSizeLeaf2(), 3u << 20);
    }
    {
        Leaf2 r(true, 0x00000001u, 0x80000049u);  // bit 31: no descriptors in that word
        EXPECT_EQ(QueryCacheSizeLeaf2(), 0u);
    }
    {
        Leaf2 r(true, 0x00004902u);  // two queries needed
        EXPECT_EQ(QueryCacheSizeLeaf2(), 0u);
    }
    {
        Leaf2 r(false, 0x00004901u);  // another vendor
        EXPECT_EQ(QueryCacheSizeLeaf2(), 0u);
    }
    {
        Leaf2 r(true, 0x00FFFF01u);  // only descriptors outside the list
        EXPECT_EQ(QueryCacheSizeLeaf2(), 0u);
    }
}

}  // namespace
