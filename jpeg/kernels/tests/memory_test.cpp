#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "kernel_test_util.h"
#include "memory/copy_fill.h"
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
    struct Case {
        const char* what;
        bool intel;
        uint32_t eax, ebx, ecx, edx, size;
    };
    const Case cases[] = {
        {"0x4D", true, 0x00004D01u, 0, 0, 0, 16u << 20},
        {"0x22 and 0x49: the earlier list entry wins", true, 0x00002201u, 0, 0x00000049u, 0, 4u << 20},
        {"in EBX", true, 0x00000001u, 0x4C000000u, 0, 0, 12u << 20},
        {"in EDX", true, 0x00000001u, 0, 0, 0x00004800u, 3u << 20},
        {"bit 31: no descriptors in that word", true, 0x00000001u, 0x80000049u, 0, 0, 0},
        {"two queries needed", true, 0x00004902u, 0, 0, 0, 0},
        {"another vendor", false, 0x00004901u, 0, 0, 0, 0},
        {"only descriptors outside the list", true, 0x00FFFF01u, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        Leaf2 r(c.intel, c.eax, c.ebx, c.ecx, c.edx);
        EXPECT_EQ(QueryCacheSizeLeaf2(), c.size) << c.what;
    }
}

// ---- copies and fills ----

using CopyFill = KernelTest;
using copy_fn = void* (*)(const void*, void*, int32_t);
using checked_fn = kernel_status (*)(const void*, void*, int32_t);
using fill_fn = void* (*)(uint32_t, void*, int32_t);

copy_fn copy_at(int level)
{
    static const copy_fn fns[6] = {&CopyBytes<0>, &CopyBytes<1>, &CopyBytes<2>,
                                   &CopyBytes<3>, &CopyBytes<4>, &CopyBytes<5>};
    return fns[level];
}
checked_fn checked_at(int level)
{
    static const checked_fn fns[6] = {&CopyBytesChecked<0>, &CopyBytesChecked<1>, &CopyBytesChecked<2>,
                                      &CopyBytesChecked<3>, &CopyBytesChecked<4>, &CopyBytesChecked<5>};
    return fns[level];
}
fill_fn fill_at(int level)
{
    static const fill_fn fns[6] = {&FillWords32<0>, &FillWords32<1>, &FillWords32<2>,
                                   &FillWords32<3>, &FillWords32<4>, &FillWords32<5>};
    return fns[level];
}

// A 64-byte aligned area with guard bytes on both sides of whatever is written at an offset.
struct Area {
    std::vector<uint8_t> storage;
    uint8_t* base;
    explicit Area(size_t bytes) : storage(bytes + 192, 0xA5)
    {
        base = storage.data() + (64 - reinterpret_cast<uintptr_t>(storage.data()) % 64);
    }
    // Bytes outside [p, p + n) that are not guards.
    size_t stray(const uint8_t* p, size_t n) const
    {
        size_t wrong = 0;
        for (size_t i = 0; i < storage.size(); ++i) {
            const uint8_t* q = storage.data() + i;
            wrong += (q < p || q >= p + n) && storage[i] != 0xA5;
        }
        return wrong;
    }
};

std::vector<uint8_t> noise(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

// Copies bytes from src to a destination at offset dso and checks every byte and the guards.
void expect_copy_from(copy_fn copy, const uint8_t* src, const std::vector<uint8_t>& bytes, int dso)
{
    const size_t n = bytes.size();
    Area dst(n);
    uint8_t* d = dst.base + dso;
    ASSERT_EQ(copy(src, d, int32_t(n)), d);
    ASSERT_EQ(std::memcmp(d, bytes.data(), n), 0) << n << " " << dso;
    ASSERT_EQ(dst.stray(d, n), 0u) << n << " " << dso;
}

// Copies count bytes from source offset so to destination offset dso.
void expect_copy(copy_fn copy, int32_t count, int so, int dso)
{
    Area src{size_t(count)};
    const std::vector<uint8_t> bytes = noise(size_t(count), uint32_t(count + so));
    std::memcpy(src.base + so, bytes.data(), bytes.size());
    SCOPED_TRACE(so);
    expect_copy_from(copy, src.base + so, bytes, dso);
}

TEST_F(CopyFill, EveryLevelCopiesExactlyAtEveryAlignment)
{
    for_each_level(0, [](int level) {
        for (int32_t count : {1, 3, 15, 16, 63, 64, 65, 1028})
            for (int so = 0; so < 16; ++so)
                for (int dso = 0; dso < 16; ++dso)
                    expect_copy(copy_at(level), count, so, dso);
    });
}

TEST_F(CopyFill, CheckedCopyRefusesAndLevelOneSizesSelectEachCopy)
{
    for_each_level(0, [](int level) {
        uint8_t src[4] = {1, 2, 3, 4}, dst[4] = {9, 9, 9, 9};
        EXPECT_EQ(checked_at(level)(src, dst, 0), kernel_size_below_one);
        EXPECT_EQ(checked_at(level)(nullptr, dst, 4), kernel_null_pointer);
        EXPECT_EQ(checked_at(level)(src, nullptr, 4), kernel_null_pointer);
        EXPECT_EQ(dst[0] & dst[3], 9);
        // Counts below 1 write nothing.
        copy_at(level)(src, dst, -5);
        fill_at(level)(0, dst, -1);
        EXPECT_EQ(dst[0] & dst[3], 9);
        EXPECT_EQ(checked_at(level)(src, dst, 4), kernel_ok);
        EXPECT_EQ(dst[3], 4);
    });
    for (int32_t count : {8191, 8192, 16383, 16384, 40000})
        for (int so : {0, 3}) {
            const size_t n = size_t(count);
            Area src(n), dst(n);
            const std::vector<uint8_t> bytes = noise(n, 1);
            std::memcpy(src.base + so, bytes.data(), n);
            ASSERT_EQ(CopyBytesChecked<1>(src.base + so, dst.base + 5, count), kernel_ok);
            EXPECT_EQ(std::memcmp(dst.base + 5, bytes.data(), n), 0) << count;
            EXPECT_EQ(dst.stray(dst.base + 5, n), 0u);
        }
}

void expect_fill(fill_fn fill, uint32_t value, int32_t words, int offset)
{
    const size_t n = size_t(words) * 4;
    Area dst(n);
    uint8_t* d = dst.base + offset;
    ASSERT_EQ(fill(value, d, words), d);
    size_t wrong = 0;
    for (size_t w = 0; w < size_t(words); ++w) {
        uint32_t got;
        std::memcpy(&got, d + 4 * w, 4);
        wrong += got != value;
    }
    ASSERT_EQ(wrong, 0u) << words << " at " << offset;
    ASSERT_EQ(dst.stray(d, n), 0u) << words << " at " << offset;
}

TEST_F(CopyFill, FillsWriteEveryWordInOrderAndNothingElse)
{
    for_each_level(0, [](int level) {
        for (int offset = 0; offset < 16; ++offset) {
            expect_fill(fill_at(level), 0xFFFFFFFFu, 257, offset);
            for (int32_t words : {1, 2, 3, 4, 5, 17, 257})
                expect_fill(fill_at(level), 0x11223344u, words, offset);
        }
        // Bytes in memory order of a little-endian word.
        uint8_t bytes[8];
        fill_at(level)(0x11223344u, bytes, 2);
        EXPECT_EQ(bytes[0], 0x44);
        EXPECT_EQ(bytes[7], 0x11);
    });
}

// Aligned copies run forward or backward by the addresses' distance modulo 4 KiB: each way
// gives the same bytes.
TEST_F(CopyFill, AlignedCopiesEitherWay)
{
    std::vector<uint8_t> storage(5 * 4096);
    uint8_t* page = storage.data() + (4096 - reinterpret_cast<uintptr_t>(storage.data()) % 4096);
    for_each_level(0, [&](int level) {
        for (const size_t from : {0, 160, 208})
            for (const size_t to : {0, 16, 3952})
                for (const int32_t count : {64, 100, 1028}) {
                    const std::vector<uint8_t> bytes = noise(size_t(count), uint32_t(from + to));
                    std::memcpy(page + from, bytes.data(), bytes.size());
                    uint8_t* d = page + 2 * 4096 + to;
                    std::memset(d - 16, 0xA5, size_t(count) + 32);
                    copy_at(level)(page + from, d, count);
                    EXPECT_EQ(std::memcmp(d, bytes.data(), bytes.size()), 0) << from << " " << to << " " << count;
                    EXPECT_EQ(d[-1] & d[count], 0xA5);
                }
    });
}

// A source that ends at an unreadable page, with the bytes before it poisoned when built with
// AddressSanitizer: no level reads outside it, whatever the source's and destination's offsets
// (the shifted aligned loads of an unaligned source included).
TEST_F(CopyFill, CopiesReadOnlyTheirSource)
{
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    auto* base =
        static_cast<uint8_t*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    ASSERT_EQ(mprotect(base + 2 * page, page, PROT_NONE), 0);
    uint8_t* const end = base + 2 * page;
    for_each_level(0, [&](int level) {
        for (int32_t first : {64, 80, 150, 1028})
            for (int32_t count = first; count < first + 16; ++count) {
                uint8_t* src = end - count;
                const std::vector<uint8_t> bytes = noise(size_t(count), uint32_t(count));
                std::memcpy(src, bytes.data(), size_t(count));
#if defined(__SANITIZE_ADDRESS__)
                const uintptr_t before = (reinterpret_cast<uintptr_t>(src) & ~uintptr_t(7)) - 64;
                ASAN_POISON_MEMORY_REGION(reinterpret_cast<void*>(before), reinterpret_cast<uintptr_t>(src) - before);
#endif
                for (int dso = 0; dso < 16; ++dso)
                    expect_copy_from(copy_at(level), src, bytes, dso);
#if defined(__SANITIZE_ADDRESS__)
                ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(before), reinterpret_cast<uintptr_t>(src) - before);
#endif
            }
    });
    munmap(base, 3 * page);
}

// Large copies and fills give the same bytes whether they stream past the cache (an Intel
// processor with a 512 KiB cache) or not (another vendor).
TEST_F(CopyFill, StreamingAndCachedPathsAgree)
{
    for (bool intel : {true, false}) {
        Leaf2 cache(intel, 0x00002201u);
        ASSERT_EQ(QueryCacheSizeLeaf2(), intel ? 512u * 1024 : 0u);
        for_each_level(0, [](int level) {
            for (int so : {1, 4})
                expect_copy(copy_at(level), (4 << 20) + 3, so, 0);
            expect_fill(fill_at(level), 0x11223344u, (1 << 19) + 5, 4);
        });
    }
}

}   // namespace
