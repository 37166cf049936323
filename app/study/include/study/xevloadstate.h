#pragma once

// The process-wide load state shared by the loaders: memory-short flags, the imported
// archive, and the pre-load thread's running flag.

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platlock.h"

class XEVLoadState {
public:
    // 1 while the pre-load thread runs; 0 without one.
    int32_t IsPreloadRunning() const { return preloadRunning.load(); }
    // Nothing to pause until a pre-load thread exists.
    void PausePreload() {}
    // Extracts the archive member whose name ends path to target; -1: not extracted.
    int32_t ExtractZipMember(const std::string& path, const std::string& target) const;

    std::atomic<int32_t> memoryShort{0};
    std::atomic<int32_t> memoryShortStudy{0};
    std::string archivePath;
    std::string archiveFolder;
    std::atomic<int32_t> preloadRunning{0};
    mutable PlatRecursiveLock lock;
};

XEVLoadState& GetLoadState();

// The memory test a non-forced image load makes first; tests replace it, null restores
// the platform's figures.
using XEVMemoryTest = bool (*)();
void XEVSetMemoryTest(XEVMemoryTest test);
bool XEVRunMemoryTest();
