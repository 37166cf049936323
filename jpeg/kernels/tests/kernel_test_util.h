#pragma once

#include <gtest/gtest.h>

#include <array>
#include <vector>

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

// Blocks laid end to end, as the peer's coefficient reader gives them.
inline std::vector<int16_t> flat_blocks(const std::vector<std::array<int16_t, 64>>& blocks)
{
    std::vector<int16_t> out;
    for (const auto& b : blocks) out.insert(out.end(), b.begin(), b.end());
    return out;
}
