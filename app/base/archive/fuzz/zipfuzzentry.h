#pragma once

#include <cstddef>
#include <cstdint>

// What one input gave: the fuzzer stops on a broken invariant, the corpus replay checks
// the rest.
struct ZipFuzzReport {
    uint32_t entries = 0;     // entries listed
    uint32_t extracted = 0;   // members extracted whole
    uint32_t broken = 0;      // invariants that did not hold
};

// Reads the input as a zip archive: lists it, then extracts up to eight safe members
// through ExtractZipMember into a private folder and reads each one's head in place. Checks
// that every code is one of the archive's, that names and records pair up, that a failed
// extraction leaves no file and a successful one a file of the declared size, and that a
// head gives no byte past its member's declared size and, for a member extracted whole, its
// bytes. Shared by the fuzzer and the corpus replay.
ZipFuzzReport ZipFuzzRead(const uint8_t* data, size_t size);
