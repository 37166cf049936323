#include "study/xevreadmanager.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/platmemory.h"

namespace {
std::atomic<XEVVekAllocateFunction> vekAllocate{nullptr};
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
    const XEVVekAllocateFunction allocate = vekAllocate.load(std::memory_order_relaxed);
    return allocate != nullptr ? allocate(size) : std::malloc(size);
}

void XEVVekMemoryManager::free(void* pointer)
{
    std::free(pointer);
}
