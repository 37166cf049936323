#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "huffman/huff_decode.h"
#include "processor/cpu_query.h"
#include "processor/kernel_dispatch.h"

// Restores the dispatch level and drops any cpuid recording after each test.
class KernelTest : public ::testing::Test {
protected:
    void SetUp() override { saved_level_ = dispatch_level.load(); }
    void TearDown() override
    {
        cpuid_use_recording(nullptr);
        dispatch_level.store(saved_level_);
    }

private:
    int32_t saved_level_ = 0;
};

// Runs body(level) for every level this processor has; the rest are skipped.
template <class Body>
void for_each_level(int first, Body body)
{
    for (int level = first; level < dispatch_level_count; ++level) {
        if (level > dispatch_supported_level()) {
            std::printf("level %d skipped: the processor lacks its instructions\n", level);
            continue;
        }
        SCOPED_TRACE(::testing::Message() << "level " << level);
        body(level);
    }
}

#if defined(__x86_64__) || defined(__i386__)
// Runs body on a thread of its own whose fast kernels' memo cannot be allocated; the number of
// refused allocations.
template <class Body>
int run_with_memo_refused(Body body)
{
    static std::atomic<int> refused;
    refused = 0;
    huff_memo_calloc = [](size_t, size_t) -> void* {
        ++refused;
        return nullptr;
    };
    std::thread(body).join();
    huff_memo_calloc = &std::calloc;
    return refused;
}
#endif

// cpuid answers of an Intel processor whose leaf 2 lists the given descriptor words.
class Leaf2 {
public:
    Leaf2(bool intel, uint32_t eax, uint32_t ebx = 0, uint32_t ecx = 0, uint32_t edx = 0)
    {
        answers_[0] = {0,
                       0,
                       {4, intel ? 0x756e6547u : 0x68747541u, intel ? 0x6c65746eu : 0x444d4163u,
                        intel ? 0x49656e69u : 0x69746e65u}};
        answers_[1] = {2, 0, {eax, ebx, ecx, edx}};
        recording_ = {true, answers_, 2};
        cpuid_use_recording(&recording_);
    }
    ~Leaf2() { cpuid_use_recording(nullptr); }

private:
    CpuidAnswer answers_[2];
    CpuidRecording recording_{};
};

// Blocks laid end to end, as the peer's coefficient reader gives them.
inline std::vector<int16_t> flat_blocks(const std::vector<std::array<int16_t, 64>>& blocks)
{
    std::vector<int16_t> out;
    for (const auto& b : blocks)
        out.insert(out.end(), b.begin(), b.end());
    return out;
}
