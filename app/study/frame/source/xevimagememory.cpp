#include "viewer/xevimagememory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define XEV_ADDRESS_CHECKER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define XEV_ADDRESS_CHECKER 1
#endif
#endif

#if defined(XEV_ADDRESS_CHECKER)
#include <sanitizer/asan_interface.h>
#define XEV_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define XEV_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define XEV_POISON(address, size) ((void)(address), (void)(size))
#define XEV_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace {

// Mappings freed are kept up to this many bytes for the frames of the next page, which are
// mostly of their size, and for the next load's working buffers: a new mapping is faulted in and
// zeroed page by page. The oldest go first.
constexpr size_t kKeptMappedBytes = size_t(16) << 20;

struct KeptMappings {
    std::mutex mutex;
    std::vector<std::pair<void*, size_t>> blocks;   // oldest first
    size_t bytes = 0;
    std::atomic<uint64_t> made{0};
};

// Never freed: image memory may be let go during the program's end.
KeptMappings& Kept()
{
    static KeptMappings* const kept = new KeptMappings;
    return *kept;
}

size_t PageRounded(size_t n)
{
    static const size_t page = size_t(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

// The address checker sees a block handed out as it saw one from malloc: its n bytes usable,
// the rounding past them off limits. What a block's last user marked (the parser's free
// elements) is no one's now.
void HandOut(void* block, size_t n, size_t size, bool kept)
{
    XEV_UNPOISON(block, n);
    XEV_POISON(static_cast<uint8_t*>(block) + n, size - n);
#if defined(XEV_ADDRESS_CHECKER)
    // With the byte the checker's malloc fills its blocks with: a read of bytes never written
    // shows, where a kept block would give the last image's.
    if (kept) {
        std::memset(block, 0xBE, n);
    }
#else
    (void)kept;
#endif
}

std::atomic<XEVImageAllocateFunction> g_allocate{nullptr};
std::atomic<uint64_t> g_held{0};

}   // namespace

void XEVSetImageAllocateFunction(XEVImageAllocateFunction allocate)
{
    g_allocate.store(allocate);
}

uint64_t XEVImageMemoryHeld()
{
    return g_held.load(std::memory_order_relaxed);
}

namespace {

// Left without the marks a user put on it: another mapping, a file's among them, may come to
// the same addresses.
void Unmap(void* pages, size_t bytes)
{
    XEV_UNPOISON(pages, bytes);
    ::munmap(pages, bytes);
}

}   // namespace

void* XEVTakeImagePages(size_t n)
{
    const size_t size = PageRounded(n);
    KeptMappings& kept = Kept();
    {
        std::lock_guard<std::mutex> lock(kept.mutex);
        for (auto it = kept.blocks.rbegin(); it != kept.blocks.rend(); ++it) {
            if (it->second == size) {
                void* block = it->first;
                kept.bytes -= size;
                kept.blocks.erase(std::next(it).base());
                HandOut(block, n, size, true);
                return block;
            }
        }
    }
    void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        // Short of memory: what is kept for later goes first.
        XEVReleaseKeptImagePages();
        pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    if (pages == MAP_FAILED) {
        return nullptr;
    }
    kept.made.fetch_add(1, std::memory_order_relaxed);
    // A mapping may land where one let go was, its marks still on it.
    HandOut(pages, n, size, false);
    return pages;
}

void XEVGiveImagePages(void* block, size_t n)
{
    const size_t size = PageRounded(n);
    if (size > kKeptMappedBytes) {
        Unmap(block, size);
        return;
    }
    // A use after this is caught as one after free is.
    XEV_POISON(block, size);
    std::vector<std::pair<void*, size_t>> old;
    {
        KeptMappings& kept = Kept();
        std::lock_guard<std::mutex> lock(kept.mutex);
        size_t drop = 0;
        while (kept.bytes + size > kKeptMappedBytes) {
            kept.bytes -= kept.blocks[drop].second;
            ++drop;
        }
        old.assign(kept.blocks.begin(), kept.blocks.begin() + drop);
        kept.blocks.erase(kept.blocks.begin(), kept.blocks.begin() + drop);
        kept.blocks.emplace_back(block, size);
        kept.bytes += size;
    }
    for (const auto& [pages, bytes] : old) {
        Unmap(pages, bytes);
    }
}

void XEVReleaseKeptImagePages()
{
    std::vector<std::pair<void*, size_t>> old;
    {
        KeptMappings& kept = Kept();
        std::lock_guard<std::mutex> lock(kept.mutex);
        old.swap(kept.blocks);
        kept.bytes = 0;
    }
    for (const auto& [pages, bytes] : old) {
        Unmap(pages, bytes);
    }
}

uint64_t XEVImageMappingsMade()
{
    return Kept().made.load(std::memory_order_relaxed);
}

XEVImageMemory::~XEVImageMemory()
{
    status_ = kStatusOk;
    Free();
}

void XEVImageMemory::Allocate(uint32_t n)
{
    status_ = kStatusOk;
    Free();
    if (n == 0) {
        return;
    }
    void* buffer = nullptr;
    try {
        const XEVImageAllocateFunction allocate = g_allocate.load();
        if (allocate != nullptr) {
            buffer = allocate(n);
        } else if (n >= kXEVMappedImageBytes) {
            buffer = XEVTakeImagePages(n);
            mapped_ = buffer != nullptr;
        } else {
            buffer = std::malloc(n);
        }
    } catch (const std::bad_alloc&) {
        buffer = nullptr;
    } catch (...) {
        status_ = kStatusFailed;
        return;
    }
    if (buffer == nullptr) {
        status_ = kStatusOutOfMemory;
        return;
    }
    data_ = static_cast<uint8_t*>(buffer);
    size_ = n;
    g_held.fetch_add(n, std::memory_order_relaxed);
}

void XEVImageMemory::Free()
{
    if (data_ != nullptr) {
        g_held.fetch_sub(size_, std::memory_order_relaxed);
        if (mapped_) {
            XEVGiveImagePages(data_, size_);
        } else {
            std::free(data_);
        }
        data_ = nullptr;
        size_ = 0;
        mapped_ = false;
    }
}

void XEVImageMemory::CopyFrom(const void* source, uint32_t n)
{
    if (source == nullptr) {
        return;
    }
    if (size_ != n) {
        Allocate(n);
    }
    if (data_ != nullptr && n != 0) {
        std::memcpy(data_, source, n);
    }
}
