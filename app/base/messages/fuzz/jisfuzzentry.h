#pragma once

#include <cstddef>
#include <cstdint>

// What one input gave: the fuzzer stops on a broken invariant, the corpus replay checks
// the rest.
struct JisFuzzReport {
    uint32_t outputBytes = 0;   // with a destination large enough for everything
    uint32_t broken = 0;        // invariants that did not hold
};

// Converts the input (up to its first zero byte) to Shift-JIS into destinations of every
// capacity from 1 to twice its length + 1, each a heap block of exactly that size. Checks
// that each output is terminated, a prefix of the full output, never more than twice the
// input, and has a CR before every LF. Shared by the fuzzer and the corpus replay test.
JisFuzzReport JisFuzzConvert(const uint8_t* data, size_t size);
