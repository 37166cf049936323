#include "platform/platfileid.h"

#include "platform/platfolder.h"

#include "plat_temp_folder.h"

#include <gtest/gtest.h>

TEST(PlatFileId, UnsafeIdsAreRefused)
{
    for (const char* id : {"", "..\\x", "\\IMG\\1", "IMG\\\\1", "IMG\\.\\1", "C:\\x", "A/B", "IMG\\", "IMG\\..", ".",
                           "IMG\\a\x01", "IMG\\a\x7F", "IMG\\a\nb", "/etc/passwd"}) {
        EXPECT_FALSE(PlatIsSafeFileId(id)) << id;
        EXPECT_EQ(PlatJoinFileId("/disc", id), "") << id;
    }
    for (const char* id : {"IMG\\0001", "DICOMDIR", "a..b\\.c", "S0\\IM 1"}) {
        EXPECT_TRUE(PlatIsSafeFileId(id)) << id;
    }
}

TEST(PlatFileId, LowerCaseCopyOfADiscResolves)
{
    PlatTempFolder disc;
    disc.Write("img/0001", "x");
    disc.Write("img/sub/0002", "x");
    PlatFileIdResolver resolver;
    EXPECT_EQ(resolver.Join(disc.Path(), "IMG\\0001"), disc / "img/0001");
    EXPECT_EQ(resolver.Join(disc.Path() + "/", "IMG\\SUB\\0002"), disc / "img/sub/0002");
    // Missing files keep the written spelling below the last folder found.
    EXPECT_EQ(resolver.Join(disc.Path(), "IMG\\9999"), disc / "img/9999");
    EXPECT_EQ(resolver.Join(disc.Path(), "NONE\\A\\B"), disc / "NONE/A/B");
}

// A disc mounted as ISO 9660 without name mapping shows each file with its version, and a
// name without extension with the "." before it; folders carry none. The IDs resolve to those
// names, a name without version first; what only looks like a version does not count.
TEST(PlatFileId, IsoVersionSuffixesResolve)
{
    PlatTempFolder disc;
    disc.Write("DICOMDIR;1", "d");
    disc.Write("DICOM/CT0001;1", "x");
    disc.Write("DICOM/ct0002.;1", "x");
    disc.Write("DICOM/MR0001;2", "x");
    disc.Write("DICOM/MR0001;1", "x");
    disc.Write("DICOM/BOTH", "plain");
    disc.Write("DICOM/BOTH;1", "versioned");
    disc.Write("DICOM/NOTE;A", "x");
    disc.Write("DICOM/;1", "x");
    PlatFileIdResolver resolver;
    EXPECT_EQ(resolver.Join(disc.Path(), "DICOMDIR"), disc / "DICOMDIR;1");
    EXPECT_EQ(PlatJoinFileId(disc.Path(), "DICOMDIR"), disc / "DICOMDIR;1");
    EXPECT_EQ(resolver.Join(disc.Path(), "DICOM\\CT0001"), disc / "DICOM/CT0001;1");
    EXPECT_EQ(resolver.Join(disc.Path(), "dicom\\ct0001"), disc / "DICOM/CT0001;1");
    EXPECT_EQ(resolver.Join(disc.Path(), "DICOM\\CT0002"), disc / "DICOM/ct0002.;1");
    EXPECT_EQ(resolver.Join(disc.Path(), "DICOM\\MR0001"), disc / "DICOM/MR0001;1");
    EXPECT_EQ(resolver.Join(disc.Path(), "DICOM\\BOTH"), disc / "DICOM/BOTH");
    EXPECT_EQ(resolver.Join(disc.Path(), "DICOM\\CT0001;1"), disc / "DICOM/CT0001;1");
    EXPECT_EQ(resolver.Join(disc.Path(), "DICOM\\NOTE"), disc / "DICOM/NOTE");
    EXPECT_EQ(resolver.Join(disc.Path(), "DICOM\\CT0003"), disc / "DICOM/CT0003");
}

TEST(PlatFileId, ExactSpellingWins)
{
    PlatTempFolder disc;
    disc.Write("IMG/A", "upper");
    disc.Write("img/a", "lower");
    PlatFileIdResolver resolver;
    EXPECT_EQ(resolver.Join(disc.Path(), "IMG\\A"), disc / "IMG/A");
    EXPECT_EQ(resolver.Join(disc.Path(), "img\\a"), disc / "img/a");
    // No exact spelling: the first in byte order, whatever order the folder lists them in.
    EXPECT_EQ(resolver.Join(disc.Path(), "Img\\A"), disc / "IMG/A");
}

// IDs with bytes above 0x7F name folders of the same bytes, in Latin-1 and in UTF-8 alike;
// an ID in a legacy code page also finds folders the system names in UTF-8, its bytes read
// as Latin-1, and ASCII case still folds around such bytes.
TEST(PlatFileId, NonAsciiIdsResolve)
{
    PlatTempFolder disc;
    disc.Write("L\xC9VEL/IM\xC9"
               "1",
               "latin");
    disc.Write("U\xC3\x89VEL/IM\xC3\x89"
               "1",
               "utf8");
    disc.Write("w\xC3\xA9vel/im\xC3\xA9"
               "1",
               "mounted");
    PlatFileIdResolver resolver;
    EXPECT_EQ(resolver.Join(disc.Path(), "L\xC9VEL\\IM\xC9"
                                         "1"),
              disc / "L\xC9VEL/IM\xC9"
                     "1");
    EXPECT_EQ(resolver.Join(disc.Path(), "U\xC3\x89VEL\\IM\xC3\x89"
                                         "1"),
              disc / "U\xC3\x89VEL/IM\xC3\x89"
                     "1");
    EXPECT_EQ(resolver.Join(disc.Path(), "W\xE9VEL\\IM\xE9"
                                         "1"),
              disc / "w\xC3\xA9vel/im\xC3\xA9"
                     "1");
    // Bytes of one form never stand for the other the other way round.
    EXPECT_EQ(resolver.Join(disc.Path(), "L\xC3\x89VEL\\X"), disc / "L\xC3\x89VEL/X");
}

TEST(PlatFileId, EachFolderIsListedOncePerResolver)
{
    PlatTempFolder disc;
    disc.Write("img/0001", "x");
    PlatFileIdResolver resolver;
    EXPECT_EQ(resolver.Join(disc.Path(), "IMG\\0001"), disc / "img/0001");
    disc.Write("img/0002", "x");
    EXPECT_EQ(resolver.Join(disc.Path(), "IMG\\0002"), disc / "img/0002");
    disc.Write("img/late", "x");
    EXPECT_EQ(resolver.Join(disc.Path(), "IMG\\LATE"), disc / "img/LATE");
    PlatFileIdResolver fresh;
    EXPECT_EQ(fresh.Join(disc.Path(), "IMG\\LATE"), disc / "img/late");
}

TEST(PlatFileId, ProgramFolderFilesResolveTheSameWay)
{
    PlatTempFolder program;
    program.Write("zylv.ini", "[Options]\n");
    program.Write("overlay.xml", "<x/>");
    program.Write("res/btn_on.bmp", "BM");
    PlatSetModuleFolderForTest(program.Path());
    PlatFileIdResolver resolver;
    EXPECT_EQ(resolver.Join(PlatGetModuleFolder(), "ZYLV.INI"), program / "zylv.ini");
    EXPECT_EQ(resolver.Join(PlatGetModuleFolder(), "OVERLAY.XML"), program / "overlay.xml");
    EXPECT_EQ(resolver.Join(PlatGetModuleFolder(), "Res\\BTN_ON.BMP"), program / "res/btn_on.bmp");
    PlatSetModuleFolderForTest("");
}

// Links that lead out of the disc's folder are refused like an unsafe ID, made at test time;
// links that stay inside, and a disc folder reached through a link, resolve as before.
TEST(PlatFileId, LinksLeavingTheDiscAreRefused)
{
    PlatTempFolder outside;
    outside.Write("secret", "s");
    outside.Write("folder/secret", "s");
    PlatTempFolder disc;
    disc.Write("img/0001", "x");
    disc.Write("img/sub/0002", "x");
    namespace fs = std::filesystem;
    fs::create_symlink(outside / "secret", disc / "img/file");
    fs::create_directory_symlink(outside / "folder", disc / "img/dir");
    fs::create_symlink("../../" + fs::path(outside.Path()).filename().string() + "/secret", disc / "img/relative");
    fs::create_symlink(outside / "missing", disc / "img/dangling");
    fs::create_symlink(disc / "img/loop", disc / "img/loop");
    fs::create_symlink("0001", disc / "img/inside");
    fs::create_directory_symlink(disc / "img/sub", disc / "sublink");
    fs::create_directory_symlink(disc.Path(), outside / "disc");

    PlatFileIdResolver resolver;
    for (const char* id : {"IMG\\FILE", "IMG\\DIR\\SECRET", "IMG\\DIR\\NEW", "IMG\\RELATIVE", "IMG\\DANGLING",
                           "IMG\\LOOP", "IMG\\LOOP\\X"}) {
        EXPECT_EQ(resolver.Join(disc.Path(), id), "") << id;
    }
    EXPECT_EQ(resolver.Join(disc.Path(), "IMG\\INSIDE"), disc / "img/inside");
    EXPECT_EQ(resolver.Join(disc.Path(), "SUBLINK\\0002"), disc / "sublink/0002");
    EXPECT_EQ(resolver.Join(disc.Path(), "IMG\\9999"), disc / "img/9999");
    EXPECT_EQ(resolver.Join(outside / "disc", "IMG\\0001"), outside / "disc/img/0001");
    EXPECT_EQ(resolver.Join(outside / "disc", "IMG\\FILE"), "");
    EXPECT_EQ(resolver.Join(disc / "none", "IMG\\0001"), disc / "none/IMG/0001");
    // The program's own files may be links to anywhere.
    EXPECT_EQ(PlatJoinFileId(disc / "img", "FILE"), disc / "img/file");
}
