// The viewer on a slow medium (one drive head, a seek for each request that is not sequential,
// then the bytes at 6 MB/s), through the real frame: the GUI thread never reads the medium.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "plat_temp_folder.h"
#include "testsupport/slowdisc.h"

namespace {

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}   // namespace

// The medium itself: what it counts is what the frame tests below assert.
TEST(SlowDiscMedium, CountsTheGuiThreadsReadsAndTheHeadsSeeks)
{
    PlatTempFolder temp;
    if (!OnSlowDisc()) {
        temp.Write("disc/A", std::string(300000, 'a'));
        temp.Write("disc/B", std::string(300000, 'b'));
        temp.Write("C", "off the medium");
        RunTestOnSlowDisc({temp / "disc", 50e6, 1, 0});
        return;
    }
    const std::string root = SlowDiscRoot();
    const std::string outside = root.substr(0, root.rfind('/')) + "/C";
    EXPECT_EQ(SlowDiscGuiReads(), 0);
    EXPECT_EQ(Slurp(outside), "off the medium");
    EXPECT_EQ(SlowDiscReads(), 0);

    // The main thread through a stream: counted, one seek to reach the file.
    EXPECT_EQ(Slurp(root + "/A").size(), 300000u);
    const long guiReads = SlowDiscGuiReads();
    EXPECT_GT(guiReads, 0);
    EXPECT_EQ(SlowDiscFirstGuiRead(), root + "/A");
    EXPECT_EQ(SlowDiscSeeks(), 1);

    // Another thread by fread and pread: not the GUI thread's; a seek to the other file.
    std::thread([&] {
        std::FILE* file = std::fopen((root + "/B").c_str(), "rb");
        ASSERT_NE(file, nullptr);
        char buffer[1000];
        EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file), sizeof buffer);
        std::fclose(file);
        const int fd = open((root + "/B").c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, buffer, sizeof buffer, 200000), ssize_t(sizeof buffer));
        close(fd);
    }).join();
    EXPECT_EQ(SlowDiscGuiReads(), guiReads);
    EXPECT_EQ(SlowDiscSeeks(), 2);

    // What was read is cached: read again, it moves no head, and is still counted as a read.
    const long reads = SlowDiscReads();
    std::thread([&] { EXPECT_EQ(Slurp(root + "/A").size(), 300000u); }).join();
    EXPECT_EQ(SlowDiscSeeks(), 2);
    EXPECT_GT(SlowDiscReads(), reads);
    EXPECT_EQ(SlowDiscGuiReads(), guiReads);
}
