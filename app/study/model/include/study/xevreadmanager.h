#pragma once

// The one manager through which the application reads a file's bytes. A disc is untrusted:
// what a read holds is bounded by its budget, never by what the file claims, so a reading
// manager cannot be made without one. Everything else takes it as a VEK_Manager or an
// XEVReadManager (.ci/check_managers.py keeps it so).

#include <cstdint>

#include "vek_managerimpl.h"

// The library memory of the readers. Tests replace the allocation to refuse it and reach the
// out-of-memory paths of a decode; null restores std::malloc.
using XEVVekAllocateFunction = void* (*)(uint32_t bytes);
void XEVSetVekAllocateFunction(XEVVekAllocateFunction allocate);

// The memory one read of an image file may hold through its manager: its load, and the reads
// of it alone (the check that tells an image, its listing as a file opened by itself, its frame
// count, its report). Tests lower it to reach a refusal, 0 restores kPlatLoadMemoryBudget.
void XEVSetLoadMemoryBudget(uint64_t bytes);
uint64_t XEVLoadMemoryBudget();

// The memory under a reading manager. Closed until that manager's constructor opens it, it gives
// only what its base's constructor makes (the error handler, workflow and relation table): a base
// made fresh, by a route that passes the reading manager by (template deduction reaches it
// unnamed), has no budget and no ceiling, and refuses every allocation instead.
class XEVVekMemoryManager : public VEK_MemoryManager {
public:
    void* allocate(uint32_t size) override;
    void free(void* pointer) override;

private:
    friend class XEVReadManager;
    bool open_ = false;
    uint32_t closedBlocks_ = 0;
    uint64_t closedBytes_ = 0;
};

// No read's budget passes this (the largest, a DICOMDIR's, is 432 MiB): a budget above it, as
// one of 0, would lift the bound, and refuses everything instead.
constexpr uint64_t kXEVReadBudgetCeiling = uint64_t(1) << 30;

// A read that held this much gives its freed memory back to the system when it ends.
constexpr uint64_t kXEVLargeReadBytes = uint64_t(64) << 20;

// Final, and its base not named outside: no class derived from it, and no route through the
// base, takes the bound off (the base itself refuses a budget past the ceiling, and a base made
// without it refuses everything).
class XEVReadManager final : public VEK_ManagerImpl<XEVVekMemoryManager, VEK_FirstErrorHandler, VEK_BlockWorkflow> {
    using Base = VEK_ManagerImpl<XEVVekMemoryManager, VEK_FirstErrorHandler, VEK_BlockWorkflow>;

public:
    // budget: the bytes the read may hold at once through this manager; 0 or past the ceiling
    // refuses everything.
    explicit XEVReadManager(uint64_t budget)
    {
        bound_for_good(kXEVReadBudgetCeiling);
        set_budget(budget);
        memory_manager().open_ = true;
    }
    ~XEVReadManager() override;

    // The meter refused an allocation since refusalsBefore (budget_refusals()): the read failed
    // for its own excess, and says so as out of memory.
    bool RefusedSince(uint64_t refusalsBefore) const { return budget_refusals() != refusalsBefore; }

    // The most any reading manager held at once, of those ended since the last reset, and the
    // budget it had then: what a test weighs a read made deep in a route against.
    struct Peak {
        uint64_t bytes = 0;
        uint64_t budget = 0;
    };
    static Peak LargestPeak();
    static void ResetLargestPeak();
};
