#include "platform/platinstance.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "plat_temp_folder.h"

TEST(PlatInstanceLock, SecondHolderIsRefusedUntilTheFirstLetsGo)
{
    PlatTempFolder folder;
    PlatInstanceLock first(folder / "_Kestro_DicomVerdastra");
    PlatInstanceLock second(folder / "_Kestro_DicomVerdastra");
    ASSERT_TRUE(first.Acquire());
    EXPECT_TRUE(first.Acquire());
    EXPECT_FALSE(second.Acquire());
    EXPECT_FALSE(second.Held());
    first.Release();
    EXPECT_TRUE(second.Acquire());
}

TEST(PlatInstanceLock, AnotherProcessIsRefusedAndTheLockDiesWithItsHolder)
{
    PlatTempFolder folder;
    const std::string path = folder / "_Kestro_DicomVerdastra";
    PlatInstanceLock mine(path);
    ASSERT_TRUE(mine.Acquire());
    const pid_t child = fork();
    if (child == 0) {
        PlatInstanceLock other(path);
        _exit(other.Acquire() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // A holder that ends without releasing (a crash) leaves the lock free.
    mine.Release();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        PlatInstanceLock held(path);
        const char ok = held.Acquire() ? 'y' : 'n';
        (void)!write(pipeFds[1], &ok, 1);
        _exit(0);   // no destructor, no release
    }
    char got = 0;
    ASSERT_EQ(read(pipeFds[0], &got, 1), 1);
    EXPECT_EQ(got, 'y');
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    close(pipeFds[0]);
    close(pipeFds[1]);
    EXPECT_TRUE(mine.Acquire());
}

TEST(PlatInstanceLock, LinkInPlaceOfTheFileIsRefused)
{
    PlatTempFolder folder;
    const std::string target = folder.Write("victim", "keep");
    const std::string path = folder / "_Kestro_DicomVerdastra";
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    PlatInstanceLock lock(path);
    EXPECT_FALSE(lock.Acquire());
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
}

// The runtime folder when it is the user's alone; else the user's private folder in the
// temporary folder, never the shared folder itself; nothing when that name is someone else's.
TEST(PlatInstancePath, RuntimeFolderElseThePrivateTemporaryFolder)
{
    PlatTempFolder folder;
    PlatTempFolder temp;
    ScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
    ASSERT_EQ(chmod(folder.Path().c_str(), 0700), 0);
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", folder.Path().c_str());
        EXPECT_EQ(PlatGetInstancePath("_Kestro_DicomVerdastra"), folder.Path() + "/_Kestro_DicomVerdastra");
        EXPECT_EQ(PlatGetRuntimeFolder(), folder.Path() + "/");
    }
    const std::string own = temp / ("kestro-" + std::to_string(geteuid()));
    ASSERT_EQ(chmod(folder.Path().c_str(), 0755), 0);
    for (const char* bad :
         {static_cast<const char*>(nullptr), "relative/run", "/no/such/folder/kv", folder.Path().c_str()}) {
        ScopedEnv runtime("XDG_RUNTIME_DIR", bad);
        EXPECT_EQ(PlatGetInstancePath("class_Verdastra_KESTRO"), own + "/class_Verdastra_KESTRO")
            << (bad ? bad : "unset");
        struct stat st;
        ASSERT_EQ(lstat(own.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u);
    }

    // Another's file in the private folder's place: no path, and the lock says it cannot be had.
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    std::filesystem::remove_all(own);
    temp.Write("kestro-" + std::to_string(geteuid()), "planted");
    EXPECT_EQ(PlatGetInstancePath("_Kestro_DicomVerdastra"), "");
    PlatInstanceLock lock(PlatGetInstancePath("_Kestro_DicomVerdastra"));
    EXPECT_EQ(lock.TryAcquire(), PlatLockResult::Unusable);
}

TEST(PlatInstanceLock, ResultsSayWhyTheLockIsNotTaken)
{
    PlatTempFolder folder;
    PlatInstanceLock first(folder / "lock");
    PlatInstanceLock second(folder / "lock");
    EXPECT_EQ(first.TryAcquire(), PlatLockResult::Taken);
    EXPECT_EQ(second.TryAcquire(), PlatLockResult::HeldElsewhere);
    std::filesystem::create_directory(folder / "dir");
    EXPECT_EQ(PlatInstanceLock(folder / "dir").TryAcquire(), PlatLockResult::Unusable);
    ASSERT_EQ(symlink((folder / "lock").c_str(), (folder / "link").c_str()), 0);
    EXPECT_EQ(PlatInstanceLock(folder / "link").TryAcquire(), PlatLockResult::Unusable);
    EXPECT_EQ(PlatInstanceLock("").TryAcquire(), PlatLockResult::Unusable);
}

// The fallback folder is found again by later starts, so they meet one lock; a folder of its
// name that is not this user's own 0700 folder (open to others, a link, a file) is passed by.
TEST(PlatInstancePath, TheFallbackFolderIsTheUsersOwnAndFoundAgain)
{
    PlatTempFolder temp;
    ScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
    const std::string prefix = temp / ("kestro-" + std::to_string(geteuid()) + "-run.");
    ASSERT_EQ(mkdir((prefix + "AAAAA0").c_str(), 0777), 0);
    ASSERT_EQ(chmod((prefix + "AAAAA0").c_str(), 0777), 0);
    ASSERT_EQ(symlink(temp.Path().c_str(), (prefix + "AAAAA1").c_str()), 0);
    temp.Write("kestro-" + std::to_string(geteuid()) + "-run.AAAAA2", "planted");

    const std::string fallback = PlatGetFallbackRuntimeFolder();
    ASSERT_EQ(fallback.rfind(prefix, 0), 0u) << fallback;
    EXPECT_EQ(fallback.size(), prefix.size() + 7);
    EXPECT_NE(fallback.substr(0, prefix.size() + 5), prefix + "AAAAA");
    struct stat st;
    ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(PlatGetFallbackRuntimeFolder(), fallback);
    PlatInstanceLock first(fallback + "_Kestro_DicomVerdastra");
    PlatInstanceLock later(PlatGetFallbackRuntimeFolder() + "_Kestro_DicomVerdastra");
    EXPECT_EQ(first.TryAcquire(), PlatLockResult::Taken);
    EXPECT_EQ(later.TryAcquire(), PlatLockResult::HeldElsewhere);
}
