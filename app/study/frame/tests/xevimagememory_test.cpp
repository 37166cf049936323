#include "viewer/xevimagememory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>

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

}   // namespace
