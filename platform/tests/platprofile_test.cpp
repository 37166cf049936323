#include "platform/platprofile.h"

#include "platform/platfile.h"

#include "plat_temp_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace {

std::string Utf16Le(std::u16string_view text)
{
    std::string bytes("\xFF\xFE", 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

// Bytes this process has read through read() and its kin so far, from /proc/self/io.
uint64_t ProcessBytesRead()
{
    std::FILE* io = std::fopen("/proc/self/io", "r");
    if (io == nullptr) {
        return 0;
    }
    unsigned long long bytes = 0;
    const int found = std::fscanf(io, "rchar: %llu", &bytes);
    std::fclose(io);
    return found == 1 ? bytes : 0;
}

}   // namespace

TEST(PlatProfile, SectionsKeysBlanksQuotesAndComments)
{
    PlatTempFolder folder;
    const std::string ini = folder.Write("ZYLV.INI", "; settings\r\n"
                                                     "[OPTIONS]\r\n"
                                                     " ModeSupportSR = 1 \r\n"
                                                     "ModeOrvix=2\r\n"
                                                     ";ModeMultiFrameRead=1\r\n"
                                                     "modeorvix=7\r\n"
                                                     "Broken=102abc\r\n"
                                                     "Minus= -5\r\n"
                                                     "Letters=abc\r\n"
                                                     "Empty=\r\n"
                                                     "[Font]\r\n"
                                                     "StringsFaceName=\"Noto Sans\"\r\n"
                                                     "Note = a;b ; c\r\n"
                                                     "Single='x'\r\n"
                                                     "[options]\r\n"
                                                     "ModeSupportSR=0\r\n"
                                                     "ModeDispPatientID=0\r\n");
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Options", u"ModeSupportSR", 9, ini), 1);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"options", u"MODEORVIX", 9, ini), 2);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Options", u"ModeMultiFrameRead", 9, ini), 9);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Options", u"Broken", 9, ini), 102);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Options", u"Minus", 9, ini), -5);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Options", u"Letters", 9, ini), 0);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Options", u"Empty", 9, ini), 9);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Options", u"ModeDispPatientID", 9, ini), 0);
    EXPECT_EQ(PlatGetPrivateProfileString(u"Font", u"StringsFaceName", u"d", ini), u"Noto Sans");
    EXPECT_EQ(PlatGetPrivateProfileString(u"Font", u"Note", u"d", ini), u"a;b ; c");
    EXPECT_EQ(PlatGetPrivateProfileString(u"Font", u"Single", u"d", ini), u"x");
    EXPECT_EQ(PlatGetPrivateProfileString(u"Options", u"Empty", u"keep", ini), u"keep");
    EXPECT_EQ(PlatGetPrivateProfileString(u"Cashe", u"CacheSizeRatio", u"50", ini), u"50");
    EXPECT_EQ(PlatGetPrivateProfileString(u"Font", u"ModeSupportSR", u"none", ini), u"none");
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, folder / "absent.ini"), 50);
    EXPECT_EQ(PlatGetPrivateProfileString(u"Font", u"StringsFaceName", u"MS UI Gothic", folder / "absent.ini"),
              u"MS UI Gothic");
}

TEST(PlatProfile, IntegersSaturate)
{
    PlatTempFolder folder;
    const std::string ini = folder.Write("a.ini", "[N]\nbig=99999999999\nsmall=-99999999999\nmax=2147483647\n");
    EXPECT_EQ(PlatGetPrivateProfileInt(u"N", u"big", 0, ini), INT32_MAX);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"N", u"small", 0, ini), INT32_MIN);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"N", u"max", 0, ini), INT32_MAX);
}

TEST(PlatProfile, JapaneseValueReadsTheSameInEveryEncoding)
{
    const std::u16string face = u"ＭＳ ゴシック";
    PlatTempFolder folder;
    const std::string utf16 = folder.Write("u16.ini", Utf16Le(u"[Font]\r\nStringsFaceName=ＭＳ ゴシック\r\n"));
    const std::string utf8 = folder.Write("u8.ini", "[Font]\r\nStringsFaceName=\xEF\xBC\xAD\xEF\xBC\xB3 "
                                                    "\xE3\x82\xB4\xE3\x82\xB7\xE3\x83\x83\xE3\x82\xAF\r\n");
    const std::string utf8Bom =
        folder.Write("u8bom.ini", "\xEF\xBB\xBF[Font]\r\nStringsFaceName=\xEF\xBC\xAD\xEF\xBC\xB3 "
                                  "\xE3\x82\xB4\xE3\x82\xB7\xE3\x83\x83\xE3\x82\xAF\r\n");
    // Shift-JIS bytes as Python's shift_jis codec writes them.
    const std::string sjis =
        folder.Write("sjis.ini", "[Font]\r\nStringsFaceName=\x82\x6C\x82\x72 \x83\x53\x83\x56\x83\x62\x83\x4E\r\n");
    for (const std::string& ini : {utf16, utf8, utf8Bom, sjis}) {
        EXPECT_EQ(PlatGetPrivateProfileString(u"FONT", u"stringsfacename", u"", ini), face) << ini;
    }
}

// The file is held while it stays the same; a rewritten file is read again.
TEST(PlatProfile, ChangedFileIsReadAgain)
{
    PlatTempFolder folder;
    const std::string ini = folder.Write("z.ini", "[Cashe]\nCacheSizeRatio=30\n");
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, ini), 30);
    folder.Write("z.ini", "[Cashe]\nCacheSizeRatio=7\n");
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, ini), 7);
    const std::string other = folder.Write("y.ini", "[Cashe]\nCacheSizeRatio=12\n");
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, other), 12);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, ini), 7);
    std::filesystem::remove(ini);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, ini), 50);
}

// A settings file of 15 MB (half a million lines of a section that is asked for) answers
// hundreds of questions with one read of it: read per question, as it was, the lookups below
// read gigabytes. The first value in file order still wins across the blocks of a section.
TEST(PlatProfile, LargeFileIsReadOnce)
{
    std::string text = "[Strings]\nS20200=first\n";
    text.reserve(16u << 20);
    char line[64];
    for (int i = 0; i < 500000; ++i) {
        text.append(line, static_cast<size_t>(std::snprintf(line, sizeof line, "J%07d=filler value %07d\n", i, i)));
    }
    text += "[Options]\nModeOrvix=1\n[STRINGS]\nS20200=second\nS20201=later\n";
    PlatTempFolder folder;
    const std::string ini = folder.Write("ZYLV.INI", text);
    const uint64_t size = text.size();
    text = std::string();

    const uint64_t before = ProcessBytesRead();
    ASSERT_GT(before, 0u) << "no /proc/self/io";
    int found = 0;
    for (int id = 20000; id < 20400; ++id) {
        const std::u16string key = u"S" + std::u16string(1, u'0' + id / 10000) +
                                   std::u16string(1, u'0' + id / 1000 % 10) + std::u16string(1, u'0' + id / 100 % 10) +
                                   std::u16string(1, u'0' + id / 10 % 10) + std::u16string(1, u'0' + id % 10);
        found += PlatGetPrivateProfileString(u"Strings", key, u"", ini).empty() ? 0 : 1;
        found += PlatGetPrivateProfileInt(u"Message", u"M" + key.substr(1), 0, ini);
    }
    EXPECT_EQ(found, 2);
    EXPECT_EQ(PlatGetPrivateProfileString(u"strings", u"s20200", u"", ini), u"first");
    EXPECT_EQ(PlatGetPrivateProfileString(u"Strings", u"S20201", u"", ini), u"later");
    EXPECT_EQ(PlatGetPrivateProfileString(u"Strings", u"J0499999", u"", ini), u"filler value 0499999");
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Options", u"ModeOrvix", 0, ini), 1);
    // 804 questions, one read of the file.
    const uint64_t read = ProcessBytesRead() - before;
    EXPECT_GE(read, size);
    EXPECT_LT(read, 2 * size);
}

// A settings file past the limit is read as missing, with a warning naming it: a sparse
// file of 1 GiB whose first lines set values gives the defaults. Grown from one byte under
// the limit, the same file's values count again below it.
TEST(PlatProfile, FilePastTheLimitGivesTheDefaults)
{
    PlatTempFolder folder;
    const std::string head = "[Cashe]\r\nCacheSizeRatio=7\r\n[Font]\r\nAgreeFaceName=Sans\r\n";
    const std::string ini = folder.Write("ZYLV.INI", head + std::string(kPlatOwnFileLimit - head.size(), ' '));
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, ini), 7);

    std::filesystem::resize_file(ini, uint64_t(1) << 30);
    testing::internal::CaptureStderr();
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, ini), 50);
    EXPECT_EQ(PlatGetPrivateProfileString(u"Font", u"AgreeFaceName", u"MS Gothic", ini), u"MS Gothic");
    const std::string warned = testing::internal::GetCapturedStderr();
    EXPECT_NE(warned.find(ini), std::string::npos) << warned;
    // Once for the file, not once per question.
    EXPECT_EQ(warned.find(ini), warned.rfind(ini)) << warned;

    std::filesystem::resize_file(ini, kPlatOwnFileLimit + 1);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, ini), 50);
    std::filesystem::resize_file(ini, kPlatOwnFileLimit);
    EXPECT_EQ(PlatGetPrivateProfileInt(u"Cashe", u"CacheSizeRatio", 50, ini), 7);
}

// Names whose hashes agree still find their own values: with every hash narrowed to a few
// bits or to none, each key of several sections answers its own value, the first of a
// repeated key still wins, and a name that shares only a hash gives the default.
TEST(PlatProfile, KeysThatShareAHashKeepTheirOwnValues)
{
    PlatTempFolder folder;
    std::string text;
    for (int s = 0; s < 3; ++s) {
        text += "[Section" + std::to_string(s) + "]\n";
        for (int k = 0; k < 40; ++k) {
            text += "Key" + std::to_string(k) + "=" + std::to_string(100 * s + k) + "\n";
        }
    }
    // Later repeats, in another letter case, lose to the first.
    text += "[SECTION1]\nkey5=later\n[Section2]\nKEY39=later\n";
    // The section's name and the key's split differently: not the same name.
    text += "[Sec]\ntion0Key1=split\n";
    for (const int bits : {0, 3, 64}) {
        PlatSetProfileHashBitsForTest(bits);
        const std::string ini = folder.Write("ZYLV" + std::to_string(bits) + ".INI", text);
        int right = 0;
        for (int s = 0; s < 3; ++s) {
            for (int k = 0; k < 40; ++k) {
                const std::string section = "section" + std::to_string(s);
                const std::string key = "KEY" + std::to_string(k);
                right += PlatGetPrivateProfileInt(std::u16string(section.begin(), section.end()),
                                                  std::u16string(key.begin(), key.end()), -1, ini) == 100 * s + k
                             ? 1
                             : 0;
            }
        }
        EXPECT_EQ(right, 120) << bits;
        EXPECT_EQ(PlatGetPrivateProfileString(u"Sec", u"tion0Key1", u"", ini), u"split") << bits;
        EXPECT_EQ(PlatGetPrivateProfileString(u"Section3", u"Key1", u"none", ini), u"none") << bits;
        EXPECT_EQ(PlatGetPrivateProfileString(u"Section0", u"Key40", u"none", ini), u"none") << bits;
    }
    PlatSetProfileHashBitsForTest(64);
}
