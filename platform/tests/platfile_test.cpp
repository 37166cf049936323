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

// What the settings holder and the zip index take for "the file they read": a look again at
// an untouched file agrees; a rewrite in place at the same length, a touch of the time alone
// and a file renamed over it each make another.
TEST(PlatFile, SameFileStateSeesRewritesAndReplacements)
{
    PlatTempFolder folder;
    const std::string file = folder.Write("settings", "abcd");
    struct stat first {};
    struct stat again {};
    ASSERT_EQ(::stat(file.c_str(), &first), 0);
    ASSERT_EQ(::stat(file.c_str(), &again), 0);
    EXPECT_TRUE(PlatSameFileState(first, again));

    const auto look = [&] {
        struct stat now {};
        EXPECT_EQ(::stat(file.c_str(), &now), 0);
        return now;
    };
    // The same length written again, its time set back to the first look's: the change time
    // still moves.
    folder.Write("settings", "wxyz");
    const struct timespec times[2] = {first.st_atim, first.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    struct stat rewritten = look();
    EXPECT_EQ(rewritten.st_ino, first.st_ino);
    rewritten.st_ctim = first.st_ctim;
    EXPECT_TRUE(PlatSameFileState(first, rewritten));   // only the change time told them apart
    EXPECT_FALSE(PlatSameFileState(first, look()));

    const struct timespec later[2] = {first.st_atim, {first.st_mtim.tv_sec, first.st_mtim.tv_nsec ^ 1}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), later, 0), 0);
    struct stat touched = look();
    touched.st_ctim = first.st_ctim;
    EXPECT_FALSE(PlatSameFileState(first, touched));

    const struct stat before = look();
    folder.Write("other", "wxyz");
    std::filesystem::rename(folder / "other", file);
    struct stat renamed = look();
    EXPECT_NE(renamed.st_ino, before.st_ino);
    renamed.st_mtim = before.st_mtim;
    renamed.st_ctim = before.st_ctim;
    EXPECT_FALSE(PlatSameFileState(before, renamed));
    folder.Write("settings", "wxyzw");
    struct stat longer = look();
    EXPECT_FALSE(PlatSameFileState(renamed, longer));
}
