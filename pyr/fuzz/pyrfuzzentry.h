#pragma once

#include <cstddef>
#include <cstdint>

#include "pyr/pyrresult.h"

// What one input gave: the fuzzer stops on a broken invariant, the corpus replay checks
// the rest.
struct PyrFuzzReport {
    uint32_t readings = 0;
    uint32_t succeeded = 0;
    PyrDicomResult firstResult = kPyrSuccess;   // the reading the viewer does first
    uint64_t firstElements = 0;                 // elements below its root, items included
    uint64_t elements = 0;                      // over all readings
    uint32_t broken = 0;                        // invariants that did not hold
};

// Parses one input the ways a viewer meets files, reads back every value and checks the
// tree: parents and children agree, lookups find what the walk finds, groups ascend, and
// nothing said to stand in the source lies past its end. Shared by the fuzzer and the test
// that replays its corpus.
PyrFuzzReport PyrFuzzReadDataset(const uint8_t* data, size_t size);
