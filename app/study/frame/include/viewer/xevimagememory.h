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
