#pragma once

// The owning byte buffer of a decoded frame or of its rendered display copy.

#include <cstddef>
#include <cstdint>

// Allocation of image memory: returns std::malloc-compatible memory or null, and may throw.
using XEVImageAllocateFunction = void* (*)(size_t bytes);

// Tests replace the allocation to refuse it; null restores std::malloc.
void XEVSetImageAllocateFunction(XEVImageAllocateFunction allocate);

// Bytes held by every image memory of the process: what the decoded-image budget weighs.
uint64_t XEVImageMemoryHeld();

// A buffer of this size or more is mapped of its own, and its pages go back to the system when
// it is freed. From malloc, the frames let go while paging stayed free in the allocator arena of
// the thread that decoded them, as those that replaced them, decoded on another thread, grew
// another arena.
constexpr size_t kXEVMappedImageBytes = size_t(128) << 10;

// Pages of their own for n bytes, a mapping of that size freed before when one is kept; null
// when the system refuses. Given back with the same n. A decode's large working buffers come
// from here too: from malloc, freeing them at the heap's top had the heap shrunk and grown again,
// its pages faulted in anew, on every load.
void* XEVTakeImagePages(size_t n);
void XEVGiveImagePages(void* block, size_t n);
// Unmaps the mappings kept for later: a disc closed has no next page.
void XEVReleaseKeptImagePages();
// Mappings made, not taken from those kept: what a test counts new memory by.
uint64_t XEVImageMappingsMade();

class XEVImageMemory {
public:
    static constexpr int32_t kStatusOk = 0;
    static constexpr int32_t kStatusOutOfMemory = -2;
    static constexpr int32_t kStatusFailed = -1;   // anything else thrown by the allocation

    XEVImageMemory() = default;
    XEVImageMemory(const XEVImageMemory&) = delete;
    XEVImageMemory& operator=(const XEVImageMemory&) = delete;
    virtual ~XEVImageMemory();

    // Frees the old buffer, then allocates n bytes (uninitialised) unless n is 0. A refused
    // allocation leaves the object empty with status -2 (-1 for any other failure).
    void Allocate(uint32_t n);
    // Releases the buffer; the status stays.
    void Free();
    // Copies n bytes from the source, reallocating only when the size differs. Nothing
    // happens for a null source; nothing is copied when the allocation fails.
    void CopyFrom(const void* source, uint32_t n);

    uint8_t* Data() { return data_; }
    const uint8_t* Data() const { return data_; }
    uint32_t Size() const { return size_; }
    int32_t Status() const { return status_; }

private:
    uint8_t* data_ = nullptr;
    uint32_t size_ = 0;
    int32_t status_ = kStatusOk;
    bool mapped_ = false;   // pages of its own, not from malloc
};
