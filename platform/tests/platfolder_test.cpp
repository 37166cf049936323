#include "platform/platfolder.h"

#include "plat_temp_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

TEST(PlatFolder, ModuleFolderIsTheExecutablesAndTestsMayReplaceIt)
{
    const std::string own = PlatGetModuleFolder();
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(own.back(), '/');
    EXPECT_EQ(own, std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/");

    PlatTempFolder folder;
    PlatSetModuleFolderForTest(folder.Path());
    EXPECT_EQ(PlatGetModuleFolder(), folder.Path() + "/");
    PlatSetModuleFolderForTest("");
    EXPECT_EQ(PlatGetModuleFolder(), own);
}

// Run in a copy of this binary below a long folder: prints what it finds as its folder.
TEST(PlatFolder, PrintModuleFolderWhenAsked)
{
    if (std::getenv("PLAT_PRINT_MODULE_FOLDER") != nullptr) {
        std::printf("module folder=[%s]\n", PlatGetModuleFolder().c_str());
    }
}

TEST(PlatFolder, ModuleFolderIsNotCutShort)
{
    PlatTempFolder folder;
    std::string deep = folder.Path();
    for (int i = 0; i < 7; ++i) {
        deep += "/" + std::string(100, static_cast<char>('a' + i));
    }
    std::filesystem::create_directories(deep);
    ASSERT_GT(deep.size(), 700u);
    const std::string copy = deep + "/platform_tests";
    std::filesystem::copy_file("/proc/self/exe", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
    const std::string command =
        "PLAT_PRINT_MODULE_FOLDER=1 '" + copy + "' --gtest_filter=PlatFolder.PrintModuleFolderWhenAsked";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_NE(output.find("module folder=[" + deep + "/]"), std::string::npos) << output;
}

TEST(PlatFolder, LocalAppDataFollowsXdgThenHome)
{
    ScopedEnv home("HOME", "/home/reader");
    {
        ScopedEnv xdg("XDG_DATA_HOME", "/data/share");
        EXPECT_EQ(PlatGetLocalAppDataFolder(), "/data/share");
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", "relative/share");
        EXPECT_EQ(PlatGetLocalAppDataFolder(), "/home/reader/.local/share");
    }
    ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(PlatGetLocalAppDataFolder(), "/home/reader/.local/share");
}

TEST(PlatFolder, TempFolderFollowsTmpdir)
{
    {
        ScopedEnv tmp("TMPDIR", "/var/scratch");
        EXPECT_EQ(PlatGetTempFolder(), "/var/scratch/");
    }
    ScopedEnv tmp("TMPDIR", nullptr);
    EXPECT_EQ(PlatGetTempFolder(), "/tmp/");
}

TEST(PlatFolder, DriveTypeFromMountinfo)
{
    PlatTempFolder folder;
    const std::string root = folder.Path();
    std::filesystem::create_directories(root + "/cd rom/DICOM/IMG");
    std::filesystem::create_directories(root + "/cd rom/inner");
    std::filesystem::create_directories(root + "/cdx");
    std::filesystem::create_directories(root + "/nfs/study");
    std::filesystem::create_directories(root + "/disc");
    std::filesystem::create_directories(root + "/stick");
    std::filesystem::create_directories(root + "/over");
    const std::string mountinfo =
        folder.Write("mountinfo", "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                                  "30 22 11:0 / " +
                                      root +
                                      "/cd\\040rom ro,relatime shared:5 - iso9660 /dev/sr0 ro\n"
                                      "31 30 8:2 / " +
                                      root +
                                      "/cd\\040rom/inner rw - ext4 /dev/sda2 rw\n"
                                      "32 22 0:50 / " +
                                      root +
                                      "/cd ro - udf /dev/loop3 ro\n"
                                      "33 22 0:51 / " +
                                      root +
                                      "/nfs rw,relatime - nfs4 server:/export rw\n"
                                      "34 22 11:1 / " +
                                      root +
                                      "/disc ro - vfat /dev/sr1 ro\n"
                                      "35 22 8:17 / " +
                                      root +
                                      "/stick rw - vfat /dev/sdb1 rw\n"
                                      "36 22 0:52 / " +
                                      root +
                                      "/over rw - ext4 /dev/sda3 rw\n"
                                      "37 36 0:53 / " +
                                      root + "/over ro - iso9660 /dev/loop4 ro\n");
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/cd rom/DICOM/IMG", mountinfo), PlatDriveType::CdRom);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/cd rom/DICOM/IMG/", mountinfo), PlatDriveType::CdRom);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/cd rom/inner", mountinfo), PlatDriveType::Fixed);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/cdx", mountinfo), PlatDriveType::Fixed);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/nfs/study", mountinfo), PlatDriveType::Remote);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/disc", mountinfo), PlatDriveType::CdRom);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/stick", mountinfo), PlatDriveType::Fixed);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/over", mountinfo), PlatDriveType::CdRom);
    EXPECT_EQ(PlatGetDriveTypeFrom(root, mountinfo), PlatDriveType::Fixed);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/absent", mountinfo), PlatDriveType::None);

    // Through a symbolic link the real location decides.
    std::filesystem::create_directory_symlink(root + "/cd rom/DICOM", root + "/link");
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/link", mountinfo), PlatDriveType::CdRom);
}

TEST(PlatFolder, DriveTypeOfThisMachine)
{
    EXPECT_NE(PlatGetDriveType("/"), PlatDriveType::None);
    EXPECT_EQ(PlatGetDriveType("/no/such/folder/here"), PlatDriveType::None);
}
