#include "viewer/xevimagememory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/platmemory.h"

namespace {

void* Refuse(size_t)
{
    return nullptr;
}
void* ThrowBadAlloc(size_t)
{
    throw std::bad_alloc();
}
void* ThrowOther(size_t)
{
    throw std::runtime_error("device lost");
}

class ImageMemory : public ::testing::Test {
protected:
    void TearDown() override { XEVSetImageAllocateFunction(nullptr); }
};

TEST_F(ImageMemory, CopyReusesABufferOfTheSameSizeAndIgnoresANullSource)
{
    XEVImageMemory memory;
    const uint8_t first[4] = {1, 2, 3, 4};
    const uint8_t second[4] = {9, 8, 7, 6};
    memory.CopyFrom(first, 4);
    const uint8_t* buffer = memory.Data();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::memcmp(buffer, first, 4), 0);
    memory.CopyFrom(second, 4);
    EXPECT_EQ(memory.Data(), buffer);
    EXPECT_EQ(std::memcmp(memory.Data(), second, 4), 0);
    memory.CopyFrom(nullptr, 10);
    EXPECT_EQ(memory.Data(), buffer);
    EXPECT_EQ(memory.Size(), 4u);
    EXPECT_EQ(memory.Data()[3], 6);

    // Another size reallocates and copies all of it; 0 empties.
    const uint8_t longer[6] = {1, 1, 2, 3, 5, 8};
    memory.CopyFrom(longer, 6);
    EXPECT_EQ(memory.Size(), 6u);
    EXPECT_EQ(std::memcmp(memory.Data(), longer, 6), 0);
    memory.Allocate(0);
    EXPECT_EQ(memory.Data(), nullptr);
    EXPECT_EQ(memory.Size(), 0u);
    EXPECT_EQ(memory.Status(), 0);
}

TEST_F(ImageMemory, FailedAllocationLeavesNothingAndTellsWhy)
{
    const std::pair<XEVImageAllocateFunction, int32_t> cases[] = {
        {&Refuse, -2}, {&ThrowBadAlloc, -2}, {&ThrowOther, -1}};
    for (const auto& [allocate, status] : cases) {
        XEVImageMemory memory;
        memory.Allocate(16);
        XEVSetImageAllocateFunction(allocate);
        memory.Allocate(32);
        EXPECT_EQ(memory.Data(), nullptr);
        EXPECT_EQ(memory.Size(), 0u);
        EXPECT_EQ(memory.Status(), status);
        memory.Free();
        EXPECT_EQ(memory.Status(), status);

        // CopyFrom copies nothing and tells why.
        const uint8_t bytes[8] = {};
        memory.CopyFrom(bytes, 8);
        EXPECT_EQ(memory.Data(), nullptr);
        EXPECT_EQ(memory.Status(), status);
        XEVSetImageAllocateFunction(nullptr);

        // The next allocation that works clears the status.
        memory.Allocate(8);
        EXPECT_NE(memory.Data(), nullptr);
        EXPECT_EQ(memory.Status(), 0);
    }
}

// Frames decoded on a thread and let go on another give their pages back: none stays free in
// the allocator arena of the thread that decoded them. Held bytes follow, and a frame's buffer
// reallocated to another size, or through the test's allocation, is freed as it was taken.
TEST_F(ImageMemory, FramesLetGoGiveTheirPagesBack)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's allocator keeps what the process frees";
#endif
    constexpr uint32_t kFrame = 1u << 20;
    constexpr int kFrames = 64;
    PlatProcessMemory before;
    ASSERT_TRUE(PlatGetProcessMemory(before));
    const uint64_t heldBefore = XEVImageMemoryHeld();
    std::vector<std::unique_ptr<XEVImageMemory>> frames(kFrames);
    // Small blocks kept between the frames, as a decode leaves them.
    std::vector<void*> kept(kFrames);
    std::thread([&frames, &kept] {
        // A frame freed before, as paging frees them: malloc would take the next ones from the
        // arena rather than map them.
        XEVImageMemory freed;
        freed.Allocate(kFrame + 4096);
        freed.Free();
        for (int k = 0; k < kFrames; ++k) {
            frames[k] = std::make_unique<XEVImageMemory>();
            frames[k]->Allocate(kFrame);
            ASSERT_NE(frames[k]->Data(), nullptr);
            std::memset(frames[k]->Data(), 0x5A, kFrame);
            kept[k] = std::malloc(64);
        }
    }).join();
    EXPECT_EQ(XEVImageMemoryHeld() - heldBefore, uint64_t(kFrames) * kFrame);
    PlatProcessMemory holding;
    ASSERT_TRUE(PlatGetProcessMemory(holding));
    EXPECT_GE(holding.workingSet, before.workingSet + uint64_t(kFrames / 2) * kFrame);
    frames.clear();
    EXPECT_EQ(XEVImageMemoryHeld(), heldBefore);
    PlatProcessMemory after;
    ASSERT_TRUE(PlatGetProcessMemory(after));
    // At most a few kept for the frames to come.
    EXPECT_LT(after.workingSet, before.workingSet + uint64_t(kFrames / 2) * kFrame);
    for (void* block : kept) {
        std::free(block);
    }

    XEVImageMemory memory;
    std::vector<uint8_t> bytes(kFrame, 7);
    memory.CopyFrom(bytes.data(), kFrame);
    memory.CopyFrom(bytes.data(), 16);
    ASSERT_NE(memory.Data(), nullptr);
    EXPECT_EQ(memory.Data()[15], 7);
    XEVSetImageAllocateFunction([](size_t n) { return std::malloc(n); });
    memory.CopyFrom(bytes.data(), kFrame);
    XEVSetImageAllocateFunction(nullptr);
    EXPECT_EQ(memory.Data()[kFrame - 1], 7);
    memory.CopyFrom(bytes.data(), kFrame / 2);
    EXPECT_EQ(memory.Size(), kFrame / 2);
    memory.Free();
    EXPECT_EQ(XEVImageMemoryHeld(), heldBefore);
}

// Frames of one size loaded in turn, as paging loads them, map their memory once. When what is
// kept is full, the oldest kept goes for the block freed last; a closed disc gives back all kept.
TEST_F(ImageMemory, FramesOfOneSizeInTurnMapOnce)
{
    constexpr uint32_t kFrame = 512 * 1024;
    XEVReleaseKeptImagePages();
    const uint64_t made = XEVImageMappingsMade();
    for (int k = 0; k < 50; ++k) {
        XEVImageMemory frame;
        frame.Allocate(kFrame);
        ASSERT_NE(frame.Data(), nullptr);
        std::memset(frame.Data(), k, kFrame);
    }
    EXPECT_EQ(XEVImageMappingsMade(), made + 1);

    // 16 MiB of smaller blocks freed while the frame is held: the frame's own is kept after them.
    {
        XEVImageMemory frame;
        frame.Allocate(kFrame);
        std::vector<std::unique_ptr<XEVImageMemory>> small(64);
        for (auto& block : small) {
            block = std::make_unique<XEVImageMemory>();
            block->Allocate(256 * 1024);
        }
    }
    const uint64_t beforeLast = XEVImageMappingsMade();
    XEVImageMemory last;
    last.Allocate(kFrame);
    EXPECT_EQ(XEVImageMappingsMade(), beforeLast);
    last.Free();

    XEVReleaseKeptImagePages();
    last.Allocate(kFrame);
    EXPECT_EQ(XEVImageMappingsMade(), beforeLast + 1);
}

// The address checker sees the mapped blocks as it sees malloc's: a block given back, kept for
// the next load, and the rounding past a block's size are off limits, and a kept block taken
// again does not hand its next user the last one's bytes.
TEST_F(ImageMemory, TheAddressCheckerCatchesAUseOfAMappedBlockGivenBackOrPastItsSize)
{
#if !defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "only the address checker's build sees a block's limits";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Not a page multiple: the block's last page has slack after it.
    constexpr size_t kBytes = kXEVMappedImageBytes + 1000 + 3;
    XEVReleaseKeptImagePages();
    auto* block = static_cast<volatile uint8_t*>(XEVTakeImagePages(kBytes));
    ASSERT_NE(block, nullptr);
    block[0] = 1;
    block[kBytes - 1] = 0x5A;
    EXPECT_DEATH(block[kBytes] = 1, "use-after-poison");
    EXPECT_DEATH(block[kBytes + 4096 - 1003 - 1] = 1, "use-after-poison");

    XEVGiveImagePages(const_cast<uint8_t*>(block), kBytes);
    EXPECT_DEATH(block[0] = 2, "use-after-poison");
    EXPECT_DEATH((void)block[kBytes - 1], "use-after-poison");

    auto* again = static_cast<volatile uint8_t*>(XEVTakeImagePages(kBytes));
    ASSERT_EQ(again, block);
    EXPECT_NE(again[kBytes - 1], 0x5A);
    again[kBytes - 1] = 1;
    EXPECT_DEATH(again[kBytes] = 1, "use-after-poison");
    XEVGiveImagePages(const_cast<uint8_t*>(again), kBytes);
#endif
}

}   // namespace
