#include "platform/platmemory.h"

#include "plat_temp_folder.h"

#include <gtest/gtest.h>

namespace {
constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kKiB = 1024;
}   // namespace

TEST(PlatMemory, FixtureFiguresComeBackInBytes)
{
    PlatTempFolder folder;
    const std::string meminfo = folder.Write("meminfo", "MemTotal:       16000000 kB\n"
                                                        "MemFree:         1000000 kB\n"
                                                        "MemAvailable:    8388608 kB\n");
    const std::string status = folder.Write("status", "Name:\tviewer\n"
                                                      "VmSize:\t  2097152 kB\n"
                                                      "VmRSS:\t  3145728 kB\n"
                                                      "RssAnon:\t  2097152 kB\n"
                                                      "VmSwap:\t  1048576 kB\n");
    PlatMemoryStatus figures;
    ASSERT_TRUE(PlatGetMemoryStatusFrom(meminfo, status, 0, figures));
    EXPECT_EQ(figures.availablePhysical, 8 * kGiB);
    EXPECT_EQ(figures.availableVirtual, kPlatUserAddressSpace - 2 * kGiB);

    ASSERT_TRUE(PlatGetMemoryStatusFrom(meminfo, status, 6 * kGiB, figures));
    EXPECT_EQ(figures.availableVirtual, 4 * kGiB);
    ASSERT_TRUE(PlatGetMemoryStatusFrom(meminfo, status, kGiB, figures));
    EXPECT_EQ(figures.availableVirtual, 0u);

    // Above 4 GiB the sum must not wrap.
    PlatProcessMemory use;
    ASSERT_TRUE(PlatGetProcessMemoryFrom(status, use));
    EXPECT_EQ(use.workingSet, 3 * kGiB);
    EXPECT_EQ(use.pageFileUse, 3 * kGiB);
    EXPECT_EQ(use.workingSet + use.pageFileUse, 6 * kGiB);
}

TEST(PlatMemory, MissingFileOrFieldFailsTheCall)
{
    PlatTempFolder folder;
    const std::string meminfo = folder.Write("meminfo", "MemTotal: 100 kB\nMemAvailable: 50 kB\n");
    const std::string noSwap = folder.Write("status", "VmSize: 10 kB\nVmRSS: 5 kB\nRssAnon: 4 kB\n");
    const std::string noSize = folder.Write("status2", "VmRSS: 5 kB\nRssAnon: 4 kB\nVmSwap: 0 kB\n");
    const std::string broken = folder.Write("status3", "VmSize: kB\nVmRSS: 5 kB\nRssAnon: 4 kB\nVmSwap: 0 kB\n");
    PlatMemoryStatus figures;
    PlatProcessMemory use;
    EXPECT_FALSE(PlatGetMemoryStatusFrom(folder / "absent", noSwap, 0, figures));
    EXPECT_FALSE(PlatGetMemoryStatusFrom(meminfo, folder / "absent", 0, figures));
    EXPECT_FALSE(PlatGetMemoryStatusFrom(meminfo, noSize, 0, figures));
    EXPECT_FALSE(PlatGetMemoryStatusFrom(meminfo, broken, 0, figures));
    EXPECT_FALSE(PlatGetMemoryStatusFrom(noSwap, noSwap, 0, figures));
    EXPECT_TRUE(PlatGetMemoryStatusFrom(meminfo, noSwap, 0, figures));
    EXPECT_EQ(figures.availablePhysical, 50 * kKiB);
    EXPECT_FALSE(PlatGetProcessMemoryFrom(noSwap, use));
    EXPECT_FALSE(PlatGetProcessMemoryFrom(folder / "absent", use));
}

TEST(PlatMemory, OwnProcessFigures)
{
    PlatMemoryStatus figures;
    ASSERT_TRUE(PlatGetMemoryStatus(figures));
    EXPECT_GT(figures.availablePhysical, 0u);
    EXPECT_GT(figures.availableVirtual, 0u);
    PlatProcessMemory use;
    ASSERT_TRUE(PlatGetProcessMemory(use));
    EXPECT_GT(use.workingSet, 0u);
}
