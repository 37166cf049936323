#include "study/xevreadmanager.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "platform/platmemory.h"
#include "viewer/xevimagememory.h"

namespace {
std::atomic<XEVVekAllocateFunction> vekAllocate{nullptr};

// Each block starts with the bytes it was mapped with, 0 for one from malloc.
constexpr size_t kBlockTag = 16;
std::mutex largestMutex;
XEVReadManager::Peak largest;
// What a closed memory gives: what the base's constructor makes, three blocks, each with its size
// in front.
constexpr uint32_t kClosedBlocks = 3;
constexpr uint64_t kClosedBytes = 4096;
static_assert(sizeof(VEK_FirstErrorHandler) + sizeof(VEK_BlockWorkflow) + sizeof(VEK_RelationForST) + 3 * 16 <=
              kClosedBytes);
}   // namespace

XEVReadManager::~XEVReadManager()
{
    {
        std::lock_guard<std::mutex> guard(largestMutex);
        if (peak() >= largest.bytes) {
            largest = {peak(), budget()};
        }
    }
    // A read this large (millions of parsed elements) leaves its blocks free in its thread's
    // arena, resident beside the next large read on another thread: they go back at once.
    if (peak() >= kXEVLargeReadBytes) {
        PlatReturnFreeMemory();
    }
}

XEVReadManager::Peak XEVReadManager::LargestPeak()
{
    std::lock_guard<std::mutex> guard(largestMutex);
    return largest;
}

void XEVReadManager::ResetLargestPeak()
{
    std::lock_guard<std::mutex> guard(largestMutex);
    largest = {};
}

void XEVSetVekAllocateFunction(XEVVekAllocateFunction allocate)
{
    vekAllocate.store(allocate);
}

void* XEVVekMemoryManager::allocate(uint32_t size)
{
    if (!open_) {
        if (closedBlocks_ == kClosedBlocks || closedBytes_ + size > kClosedBytes) {
            return nullptr;
        }
        ++closedBlocks_;
        closedBytes_ += size;
    }
    if (size > UINT32_MAX - kBlockTag) {
        return nullptr;
    }
    const XEVVekAllocateFunction allocate = vekAllocate.load(std::memory_order_relaxed);
    const size_t bytes = size_t(size) + kBlockTag;
    // A decode's lookup tables and lines of a frame's size are mapped as the frames are, and
    // taken again by the next load.
    const bool mapped = allocate == nullptr && bytes >= kXEVMappedImageBytes;
    void* block = mapped                ? XEVTakeImagePages(bytes)
                  : allocate != nullptr ? allocate(uint32_t(bytes))
                                        : std::malloc(bytes);
    if (block == nullptr) {
        return nullptr;
    }
    *static_cast<uint64_t*>(block) = mapped ? bytes : 0;
    return static_cast<uint8_t*>(block) + kBlockTag;
}

void XEVVekMemoryManager::free(void* pointer)
{
    if (pointer == nullptr) {
        return;
    }
    void* block = static_cast<uint8_t*>(pointer) - kBlockTag;
    const uint64_t mapped = *static_cast<const uint64_t*>(block);
    if (mapped != 0) {
        XEVGiveImagePages(block, size_t(mapped));
    } else {
        std::free(block);
    }
}
