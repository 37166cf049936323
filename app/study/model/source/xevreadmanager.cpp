#include "study/xevreadmanager.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace {
std::atomic<XEVVekAllocateFunction> vekAllocate{nullptr};
std::mutex largestMutex;
XEVReadManager::Peak largest;
}   // namespace

XEVReadManager::~XEVReadManager()
{
    std::lock_guard<std::mutex> guard(largestMutex);
    if (peak() >= largest.bytes) {
        largest = {peak(), budget()};
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
    const XEVVekAllocateFunction allocate = vekAllocate.load(std::memory_order_relaxed);
    return allocate != nullptr ? allocate(size) : std::malloc(size);
}

void XEVVekMemoryManager::free(void* pointer)
{
    std::free(pointer);
}
