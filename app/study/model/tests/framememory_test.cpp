#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>

#include <QString>

#include <cstdint>

#include "study/xevvekhelper.h"
#include "viewer/xevimagememory.h"

namespace {

long MinorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

}   // namespace

// A 512 x 512 CT loaded again and again, as paging loads frames of one size: the frame and the
// decode's lookup tables take the pages the first load mapped, none is mapped or faulted in anew.
TEST(FrameMemoryTest, LoadsOfOneSizeMapOnceAndFaultNoPagesAnew)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators fault pages of their own";
#endif
    // The heap as a process starts it, whatever this one freed before: malloc maps a block of
    // 128 KiB or more and unmaps it when freed.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    const QString path = QStringLiteral(STUDY_VEK_DATA_DIR "/ct_explicit.dcm");
    const auto load = [&path] {
        XEVVEKHelper helper;
        int32_t frame = 0;
        return helper.LoadImage(path, frame);
    };
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(load(), 1);
    }
    const uint64_t mapped = XEVImageMappingsMade();
    const long faults = MinorFaults();
    constexpr int kLoads = 300;
    for (int k = 0; k < kLoads; ++k) {
        ASSERT_EQ(load(), 1);
    }
    EXPECT_EQ(XEVImageMappingsMade(), mapped);
    // A fresh 512 KiB frame would be 128 faults a load, the heap's lookup tables grown again 64.
    EXPECT_LT(MinorFaults() - faults, kLoads);
}
