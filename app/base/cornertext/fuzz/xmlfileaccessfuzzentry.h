#pragma once

#include <cstddef>
#include <cstdint>

// What one input gave: the fuzzer stops on a broken invariant, the corpus replay checks
// the rest.
struct XmlFuzzReport {
    bool loaded = false;
    uint32_t modalities = 0;
    uint32_t records = 0;   // over every location, nested records not counted
    uint32_t items = 0;     // settings items made from them
    uint32_t broken = 0;    // invariants that did not hold
};

// Loads one input as OVERLAY.XML, checks the tree (unique modality and corner names, lines
// emptied whole, nesting within its limit), turns every corner into settings and formats
// every item. Shared by the fuzzer and the test that replays its corpus.
XmlFuzzReport XmlFuzzLoadOverlay(const uint8_t* data, size_t size);
