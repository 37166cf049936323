#pragma once

#include <cstdint>

// The test binary replaces the global operator new and delete (every form) with ones that
// count live blocks and can be armed to refuse one chosen allocation, so that every
// out-of-memory path of the library can be driven.
namespace PyrFailingNew {

// The n-th allocation from now (1 is the next one) fails: the throwing forms throw
// std::bad_alloc, the nothrow forms answer null. Later allocations succeed again.
void Arm(uint64_t n);
void Disarm();
bool Fired();             // the armed allocation was refused
uint64_t Allocations();   // allocations since the last Arm
int64_t LiveBlocks();     // blocks from operator new not yet deleted
int64_t LiveBytes();      // and the bytes they hold

}   // namespace PyrFailingNew
