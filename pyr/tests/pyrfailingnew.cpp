#include "pyrfailingnew.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <malloc.h>
#include <new>

namespace {

std::atomic<uint64_t> g_countdown{0};   // 0: disarmed
std::atomic<uint64_t> g_allocations{0};
std::atomic<bool> g_fired{false};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_liveBytes{0};

bool Refuse()
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    uint64_t left = g_countdown.load(std::memory_order_relaxed);
    while (left != 0) {
        if (g_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            if (left == 1) {
                g_fired.store(true, std::memory_order_relaxed);
                return true;
            }
            return false;
        }
    }
    return false;
}

void* Allocate(std::size_t size, std::size_t alignment)
{
    if (Refuse()) {
        return nullptr;
    }
    if (size == 0) {
        size = 1;
    }
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else if (posix_memalign(&p, alignment, size) != 0) {
        p = nullptr;
    }
    if (p != nullptr) {
        g_live.fetch_add(1, std::memory_order_relaxed);
        g_liveBytes.fetch_add(int64_t(malloc_usable_size(p)), std::memory_order_relaxed);
    }
    return p;
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment)
{
    void* p = Allocate(size, alignment);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void Free(void* p) noexcept
{
    if (p != nullptr) {
        g_live.fetch_sub(1, std::memory_order_relaxed);
        g_liveBytes.fetch_sub(int64_t(malloc_usable_size(p)), std::memory_order_relaxed);
        std::free(p);
    }
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

}   // namespace

namespace PyrFailingNew {

void Arm(uint64_t n)
{
    g_fired.store(false);
    g_allocations.store(0);
    g_countdown.store(n);
}

void Disarm()
{
    g_countdown.store(0);
}

bool Fired()
{
    return g_fired.load();
}

uint64_t Allocations()
{
    return g_allocations.load();
}

int64_t LiveBlocks()
{
    return g_live.load();
}

}   // namespace PyrFailingNew

// Every form of new: the throwing ones refuse with std::bad_alloc, the nothrow ones with null.
#define PYR_COUNTED_NEW(Allocator, Alignment, Except, ...)                                                             \
    void* operator new(std::size_t size __VA_OPT__(, ) __VA_ARGS__) Except                                             \
    {                                                                                                                  \
        return Allocator(size, Alignment);                                                                             \
    }                                                                                                                  \
    void* operator new[](std::size_t size __VA_OPT__(, ) __VA_ARGS__) Except                                           \
    {                                                                                                                  \
        return Allocator(size, Alignment);                                                                             \
    }

PYR_COUNTED_NEW(AllocateOrThrow, kPlain, )
PYR_COUNTED_NEW(AllocateOrThrow, std::size_t(a), , std::align_val_t a)
PYR_COUNTED_NEW(Allocate, kPlain, noexcept, const std::nothrow_t&)
PYR_COUNTED_NEW(Allocate, std::size_t(a), noexcept, std::align_val_t a, const std::nothrow_t&)

// Every form of delete, sized, aligned or not, frees through the count.
#define PYR_COUNTED_DELETE(...)                                                                                        \
    void operator delete(__VA_ARGS__) noexcept                                                                         \
    {                                                                                                                  \
        Free(p);                                                                                                       \
    }                                                                                                                  \
    void operator delete[](__VA_ARGS__) noexcept                                                                       \
    {                                                                                                                  \
        Free(p);                                                                                                       \
    }

PYR_COUNTED_DELETE(void* p)
PYR_COUNTED_DELETE(void* p, std::size_t)
PYR_COUNTED_DELETE(void* p, const std::nothrow_t&)
PYR_COUNTED_DELETE(void* p, std::align_val_t)
PYR_COUNTED_DELETE(void* p, std::size_t, std::align_val_t)
PYR_COUNTED_DELETE(void* p, std::align_val_t, const std::nothrow_t&)

int64_t PyrFailingNew::LiveBytes()
{
    return g_liveBytes.load();
}
