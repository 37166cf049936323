#include "platform/platfile.h"

#include "plat_temp_folder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

TEST(PlatFile, OnlyRegularFilesOpenAndNothingWaitsForAWriter)
{
    PlatTempFolder folder;
    const std::string file = folder.Write("image", "bytes");
    PlatStuckPipe pipe(folder / "pipe", std::chrono::seconds(3));
    ASSERT_TRUE(pipe.Made());
    std::filesystem::create_symlink(file, folder / "file-link");
    std::filesystem::create_symlink(pipe.Path(), folder / "pipe-link");
    std::filesystem::create_symlink("/dev/zero", folder / "zero-link");
    std::filesystem::create_directory(folder / "folder");

    // A regular file, also through a link, reads in blocking mode.
    for (const std::string& path : {file, folder / "file-link"}) {
        const int fd = PlatOpenRegularFile(path.c_str());
        ASSERT_GE(fd, 0) << path;
        EXPECT_EQ(::fcntl(fd, F_GETFL) & (O_NONBLOCK | O_ACCMODE), O_RDONLY);
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        char bytes[8] = {};
        EXPECT_EQ(::read(fd, bytes, sizeof bytes), 5);
        ::close(fd);
        std::FILE* stream = PlatOpenRegularStream(path.c_str());
        ASSERT_NE(stream, nullptr) << path;
        EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, stream), 5u);
        std::fclose(stream);
        std::string whole = "kept:";
        EXPECT_TRUE(PlatReadRegularFile(path, whole));
        EXPECT_EQ(whole, "kept:bytes");
    }

    // A pipe without a writer, and one with a writer waiting, a device and a folder are
    // refused at once, also through links; a missing path says so.
    int writer = -1;
    for (const bool withWriter : {false, true}) {
        if (withWriter) {
            writer = ::open(pipe.Path().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(writer, 0);
        }
        for (const std::string& path :
             {pipe.Path(), folder / "pipe-link", folder / "zero-link", std::string("/dev/null"), folder / "folder"}) {
            errno = 0;
            EXPECT_EQ(PlatOpenRegularFile(path.c_str()), -1) << path;
            EXPECT_EQ(errno, EINVAL) << path;
            EXPECT_EQ(PlatOpenRegularStream(path.c_str()), nullptr) << path;
            std::string whole;
            EXPECT_FALSE(PlatReadRegularFile(path, whole)) << path;
            EXPECT_TRUE(whole.empty()) << path;
        }
    }
    ::close(writer);
    for (const std::string& path : {folder / "missing", std::string()}) {
        EXPECT_EQ(PlatOpenRegularFile(path.c_str()), -1) << path;
        EXPECT_EQ(errno, ENOENT) << path;
    }
    EXPECT_EQ(PlatOpenRegularFile(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(pipe.Freed());
}

// The program's own files are read only up to their limit: a file at the limit reads whole,
// one byte more is too large and nothing of it is read, nor of a sparse file of 1 GiB; a file
// whose size says less than it gives (as /proc's say 0) stops one byte past the limit.
TEST(PlatFile, FilesPastTheirLimitAreNotRead)
{
    PlatTempFolder folder;
    const std::string file = folder.Write("ZYLV.INI", "bytes");
    std::string whole = "kept:";
    EXPECT_EQ(PlatReadRegularFileUpTo(file, 5, whole), PlatReadResult::Read);
    EXPECT_EQ(whole, "kept:bytes");
    EXPECT_EQ(PlatReadRegularFileUpTo(file, 4, whole), PlatReadResult::TooLarge);
    EXPECT_EQ(whole, "kept:bytes");

    const std::string sparse = folder / "OVERLAY.XML";
    std::filesystem::copy_file(file, sparse);
    std::filesystem::resize_file(sparse, uint64_t(1) << 30);
    whole.clear();
    EXPECT_EQ(PlatReadRegularFileUpTo(sparse, kPlatOwnFileLimit, whole), PlatReadResult::TooLarge);
    EXPECT_TRUE(whole.empty());
    EXPECT_EQ(whole.capacity() < 1024, true) << whole.capacity();

    ASSERT_EQ(std::filesystem::file_size("/proc/self/maps"), 0u);
    EXPECT_EQ(PlatReadRegularFileUpTo("/proc/self/maps", 10, whole), PlatReadResult::TooLarge);
    EXPECT_TRUE(whole.empty());
    EXPECT_EQ(PlatReadRegularFileUpTo("/proc/self/maps", kPlatOwnFileLimit, whole), PlatReadResult::Read);
    EXPECT_NE(whole.find("[stack]"), std::string::npos);

    EXPECT_EQ(PlatReadRegularFileUpTo(folder / "missing", kPlatOwnFileLimit, whole), PlatReadResult::Failed);
    EXPECT_EQ(PlatReadRegularFileUpTo("/dev/zero", kPlatOwnFileLimit, whole), PlatReadResult::Failed);
}
