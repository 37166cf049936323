#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "kernel_test_util.h"
#include "memory/copy_fill.h"
#include "memory/zero_fill.h"

// The 32- and 64-byte copies of level 5, called directly on processors that have them, against
// memcpy.

namespace {

using WideCopy = KernelTest;
using copy_fn = void* (*)(const void*, void*, int32_t);

struct Body {
    const char* name;
    copy_fn fn;
};

std::vector<Body> wide_bodies()
{
    std::vector<Body> bodies;
#if defined(__x86_64__) || defined(__i386__)
    if (cpu_avx2_usable())
        bodies.push_back({"AVX2", &CopyBytesAvx2});
    if (cpu_avx512_usable())
        bodies.push_back({"AVX-512", &CopyBytesAvx512});
#endif
    return bodies;
}

#define KV_WIDE_BODIES(bodies)                                                                                         \
    const std::vector<Body> bodies = wide_bodies();                                                                    \
    if (bodies.empty())                                                                                                \
    GTEST_SKIP() << "the processor has neither AVX2 nor AVX-512"

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kBand = 96;   // guard bytes checked on each side

std::vector<uint8_t> noise(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

// Copies n bytes from src to d and checks them and the guard bands around d, then puts the
// guards back. The bands must lie inside the caller's buffer.
::testing::AssertionResult copied(copy_fn fn, const uint8_t* src, uint8_t* d, int32_t count)
{
    const size_t n = count > 0 ? size_t(count) : 0;
    if (fn(src, d, count) != d)
        return ::testing::AssertionFailure() << "wrong return";
    if (n != 0 && std::memcmp(d, src, n) != 0)
        return ::testing::AssertionFailure() << "bytes differ";
    for (size_t i = 1; i <= kBand; ++i)
        if (d[-ptrdiff_t(i)] != kGuard || d[n + i - 1] != kGuard)
            return ::testing::AssertionFailure() << "guard " << i << " overwritten";
    std::memset(d, kGuard, n);
    return ::testing::AssertionSuccess();
}

TEST_F(WideCopy, MatchesMemcpyAtEverySizeAndAlignment)
{
    KV_WIDE_BODIES(bodies);
    constexpr int32_t kMax = 2100;
    const std::vector<uint8_t> bytes = noise(kMax + 128, 5);
    std::vector<uint8_t> out(kMax + 128 + 2 * kBand, kGuard);
    uint8_t* const out0 = out.data() + kBand + (64 - reinterpret_cast<uintptr_t>(out.data() + kBand) % 64);
    for (const Body& body : bodies) {
        SCOPED_TRACE(body.name);
        for (int32_t n = -2; n <= kMax; ++n) {
            // Every source offset against a few destination ones, and the other way round.
            for (int so = 0; so < 64; ++so)
                for (int dso : {0, 1, 16, 33}) {
                    const uint8_t* s = bytes.data() + so;
                    ASSERT_TRUE(copied(body.fn, s, out0 + dso, n)) << n << " from " << so << " to " << dso;
                    ASSERT_TRUE(copied(body.fn, bytes.data() + dso, out0 + so, n))
                        << n << " from " << dso << " to " << so;
                }
        }
    }
}

// Destinations just past their source modulo 4 KiB copy backward; nearby distances forward.
TEST_F(WideCopy, EitherDirectionGivesTheSameBytes)
{
    KV_WIDE_BODIES(bodies);
    std::vector<uint8_t> storage(16 * 4096);
    uint8_t* page = storage.data() + (4096 - reinterpret_cast<uintptr_t>(storage.data()) % 4096);
    for (const Body& body : bodies)
        for (const size_t from : {0, 7, 64})
            for (const size_t ahead : {0, 1, 32, 100, 255, 256, 4000})
                for (const int32_t count : {257, 513, 1028, 4099, 20000}) {
                    const std::vector<uint8_t> bytes = noise(size_t(count), uint32_t(count + ahead));
                    std::memcpy(page + from, bytes.data(), bytes.size());
                    uint8_t* d = page + 6 * 4096 + from + ahead;
                    std::memset(d - kBand, kGuard, size_t(count) + 2 * kBand);
                    EXPECT_TRUE(copied(body.fn, page + from, d, count))
                        << body.name << " " << from << " " << ahead << " " << count;
                }
}

// A source that ends at an unreadable page: neither the copies nor the reads ahead of the
// streaming path look past it, cached (another vendor) or streaming (an Intel processor with a
// 512 KiB cache).
TEST_F(WideCopy, ReadsOnlyTheSourceAndStreamsTheSameBytes)
{
    KV_WIDE_BODIES(bodies);
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t large = (4u << 20) + 3;
    const size_t span = (large + page - 1) / page * page + page;
    auto* base =
        static_cast<uint8_t*>(mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    ASSERT_EQ(mprotect(base + span, page, PROT_NONE), 0);
    uint8_t* const end = base + span;
    std::vector<uint8_t> out(large + 128 + 2 * kBand, kGuard);
    uint8_t* const out0 = out.data() + kBand + (64 - reinterpret_cast<uintptr_t>(out.data() + kBand) % 64);
    const std::vector<uint8_t> bytes = noise(large, 9);
    for (bool intel : {false, true}) {
        Leaf2 cache(intel, 0x00002201u);
        ASSERT_EQ(QueryCacheSizeLeaf2(), intel ? 512u * 1024 : 0u);
        for (const Body& body : bodies)
            for (const int32_t count : {65, 100, 257, 600, 1028, 1 << 20, (1 << 20) + 1, int32_t(large)})
                for (int dso : {0, 7, 32}) {
                    uint8_t* src = end - count;
                    std::memcpy(src, bytes.data(), size_t(count));
                    ASSERT_TRUE(copied(body.fn, src, out0 + dso, count))
                        << body.name << " " << count << " to " << dso << (intel ? " streaming" : "");
                }
    }
    munmap(base, span + page);
}

}   // namespace
