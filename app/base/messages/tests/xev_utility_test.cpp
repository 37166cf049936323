#include "shell/xev_utility.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <memory>
#include <string>
#include <vector>

#include "plat_comma_locale.h"
#include "testsupport/programfolder.h"

namespace {

QString Q(const char* text)
{
    return QString::fromUtf8(text);
}

TEST(XEVUtility, DicomValueParts)
{
    const QString numbers = Q("1.5\\2.5");
    EXPECT_EQ(GetDicomValuePart(numbers, 0), Q("1.5"));
    EXPECT_EQ(GetDicomValuePart(numbers, 1), Q("2.5"));
    EXPECT_EQ(GetDicomValuePart(numbers, 2), QString());
    EXPECT_EQ(GetDicomValuePart(numbers, -1), QString());
    EXPECT_EQ(GetDicomValuePart(QString(), 0), QString());

    // An empty value between two backslashes counts ...
    const QString gap = Q("A\\\\B");
    EXPECT_EQ(GetDicomValuePart(gap, 0), Q("A"));
    EXPECT_EQ(GetDicomValuePart(gap, 1), QString());
    EXPECT_EQ(GetDicomValuePart(gap, 2), Q("B"));
    // ... an empty rest after the last does not.
    const QString trailing = Q("A\\B\\");
    EXPECT_EQ(GetDicomValuePart(trailing, 0), Q("A"));
    EXPECT_EQ(GetDicomValuePart(trailing, 1), Q("B"));
    EXPECT_EQ(GetDicomValuePart(trailing, 2), QString());
    EXPECT_EQ(GetDicomValuePart(Q("\\X"), 0), QString());
    EXPECT_EQ(GetDicomValuePart(Q("\\X"), 1), Q("X"));
}

TEST(XEVUtility, SmallTextFunctions)
{
    EXPECT_EQ(CountTextLines(QString()), 0);
    EXPECT_EQ(CountTextLines(Q("a")), 1);
    EXPECT_EQ(CountTextLines(Q("a\r\nb")), 2);
    EXPECT_EQ(CountTextLines(Q("a\nb")), 1);   // only CRs count

    EXPECT_EQ(RemoveTabs(Q("\ta\tb\t")), Q("ab"));

    EXPECT_EQ(GetKeyOfPair(Q("k=v=w")), Q("k"));
    EXPECT_EQ(GetValueOfPair(Q("k=v=w")), Q("v"));
    EXPECT_EQ(GetKeyOfPair(Q("plain")), Q("plain"));
    EXPECT_EQ(GetValueOfPair(Q("plain")), Q("plain"));
    EXPECT_EQ(GetValueOfPair(Q("k=")), QString());

    EXPECT_EQ(PersonNameToDisplay(Q("YAMADA^TARO")), Q("YAMADA TARO"));
    EXPECT_EQ(PersonNameToDisplay(Q("山田^太郎^^")), Q("山田 太郎  "));
}

TEST(XEVUtility, ConversionsKeepJapaneseAndReplaceLoneSurrogates)
{
    const QString text = Q("患者 ID/𠀋");
    EXPECT_EQ(WideToCStringA(text), QByteArray("患者 ID/𠀋"));
    EXPECT_EQ(CStringAToCString(WideToCStringA(text)), text);
    EXPECT_EQ(WideToCString(text), text);
    EXPECT_EQ(StringToCString(WideToMultiByte(text)), text);
    EXPECT_EQ(StringToWString(WStringToString(text.toStdU16String())), text.toStdU16String());
    EXPECT_TRUE(WideToMultiByte(QString()).empty());

    const QString lone = QString(QChar(0xD800)) + Q("x");
    EXPECT_EQ(WideToCString(lone), Q("?x"));
}

// A front end may run under a locale whose decimal mark is a comma.
class CommaLocale : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(PlatUseCommaLocale(LC_ALL)) << "install the Debian package locales";
        ASSERT_EQ(std::string(std::localeconv()->decimal_point), ",");
    }
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(CommaLocale, NumbersReadWithAPoint)
{
    EXPECT_EQ(StrToDoubleEnglish(Q("0.5")), 0.5);
    EXPECT_EQ(StrToFloatEnglish(Q("0.5")), 0.5f);
    EXPECT_EQ(StrToDoubleEnglish(Q(" -2.5e3 ")), -2500.0);
    EXPECT_EQ(StrToDoubleEnglish(Q("+.25")), 0.25);
    // Only a value that is wholly a number reads as one.
    for (const char* text : {"1,5", " -2.5e3xyz", "abc", "", "   ", "--1", "0x10", "E+05", "2.5abc"}) {
        EXPECT_TRUE(std::isnan(StrToDoubleEnglish(Q(text)))) << text;
    }
    int32_t n = 0;
    EXPECT_TRUE(StrToIntEnglish(Q(" -7 "), n));
    EXPECT_EQ(n, -7);
    // An integer written as a decimal is that integer.
    EXPECT_TRUE(StrToIntEnglish(Q("64.0"), n));
    EXPECT_EQ(n, 64);
    for (const char* text : {"7.5", "64abc", "", "2147483648", "1e3x", "2147483647.5"}) {
        EXPECT_FALSE(StrToIntEnglish(Q(text), n)) << text;
    }
}

TEST(XEVUtility, NumbersNotFiniteAreNoValue)
{
    for (const char* text : {"1e400", "-1e400", "inf", " -INF", "nan", "infinity"}) {
        EXPECT_TRUE(std::isnan(StrToDoubleEnglish(Q(text)))) << text;
        EXPECT_TRUE(std::isnan(StrToFloatEnglish(Q(text)))) << text;
    }
    EXPECT_TRUE(std::isnan(StrToFloatEnglish(Q("1e39"))));
    EXPECT_EQ(StrToDoubleEnglish(Q("1e39")), 1e39);
    EXPECT_EQ(StrToDoubleEnglish(Q("1e-400")), 0.0);
    // However long, a number reads whole.
    EXPECT_EQ(StrToDoubleEnglish(Q(("0.5" + std::string(62, '0') + "e1").c_str())), 5.0);
    EXPECT_EQ(StrToFloatEnglish(Q((std::string(70, '0') + "5").c_str())), 5.0f);
}

class XEVFiles : public XEVProgramFolderTest {};

TEST_F(XEVFiles, FileExistsIsFalseForAFolder)
{
    WriteFile(QStringLiteral("file.txt"), "x");
    EXPECT_TRUE(FileExists(folder_.filePath(QStringLiteral("file.txt"))));
    EXPECT_FALSE(FileExists(folder_.path()));
    EXPECT_FALSE(FileExists(folder_.filePath(QStringLiteral("missing"))));
    EXPECT_FALSE(FileExists(QString()));
    EXPECT_EQ(GetModuleFolder(), folder_.path() + QStringLiteral("/"));
}

TEST_F(XEVFiles, IniReadersSaturateCutAndTurnBackslashN)
{
    WriteIni("[Sec]\nbig=4294967396\nsmall=-4294967396\ntext=a\\nb\\\\n\n"
             "empty=\n");
    EXPECT_EQ(ReadIniInt(Q("Sec"), Q("big"), 5), INT32_MAX);
    EXPECT_EQ(ReadIniInt(Q("Sec"), Q("small"), 5), INT32_MIN);
    EXPECT_EQ(ReadIniInt(Q("Sec"), Q("none"), 5), 5);
    EXPECT_EQ(ReadIniString(Q("text"), Q("d"), Q("Sec")), Q("a\nb\\\n"));
    EXPECT_EQ(ReadIniString(Q("empty"), Q("d"), Q("Sec")), Q("d"));
    EXPECT_EQ(ReadIniString(Q("none"), Q("d"), Q("Sec")), Q("d"));
    EXPECT_EQ(ReadIniString(Q("none"), QString(), Q("Sec")), QString());
}

TEST(XEVMemory, FreeMemoryLimitsAreExclusiveAndInclusive)
{
    EXPECT_FALSE(HasFreeMemory(PlatMemoryStatus{52428800 - 1000, 1000}));
    EXPECT_TRUE(HasFreeMemory(PlatMemoryStatus{52428800 - 1000, 1001}));
    // Huge figures do not wrap the sum.
    EXPECT_TRUE(HasFreeMemory(PlatMemoryStatus{UINT64_MAX, UINT64_MAX}));
    EXPECT_FALSE(HasFreeMemory(PlatMemoryStatus{0, 0}));

    const PlatMemoryStatus plenty{uint64_t{8} << 30, kPlatUserAddressSpace};
    EXPECT_TRUE(IsMemoryAvailable(plenty, 3040870400));
    EXPECT_FALSE(IsMemoryAvailable(plenty, 3040870401));
    // Above 4 GiB a 32-bit figure would wrap to 100 MiB and pass.
    EXPECT_FALSE(IsMemoryAvailable(plenty, (uint64_t{4} << 30) + (uint64_t{100} << 20)));
    EXPECT_FALSE(IsMemoryAvailable(PlatMemoryStatus{1000, 1000}, 0));
}

TEST(XEVMemory, OwnProcessFigures)
{
    const uint64_t use = GetProcessMemoryUse();
    EXPECT_GT(use, uint64_t{1} << 20);
    EXPECT_LT(use, uint64_t{64} << 30);
    EXPECT_TRUE(HasFreeMemory());
    EXPECT_TRUE(IsMemoryAvailable());
}

// The converter into a buffer of exactly the given capacity, so ASan sees any overrun.
std::string Jis(const std::string& source, size_t capacity)
{
    // The source in a heap block of its exact size with the terminator.
    std::unique_ptr<char[]> in(new char[source.size() + 1]);
    std::memcpy(in.get(), source.c_str(), source.size() + 1);
    std::unique_ptr<char[]> out(new char[capacity]);
    ConvertJisToShiftJis(in.get(), out.get(), capacity);
    const size_t length = strnlen(out.get(), capacity);
    EXPECT_LT(length, capacity) << "not terminated";
    return std::string(out.get(), length);
}

std::string Jis(const std::string& source)
{
    return Jis(source, 2 * source.size() + 1);
}

TEST(XEVJisToShiftJis, EscapesLineEndsAndHighBytes)
{
    EXPECT_EQ(Jis("\x1B$B\x30\x21\x1B(B"), "\x88\x9F");
    EXPECT_EQ(Jis("\x1B$@\x30\x21\x1B(Jx"), "\x88\x9Fx");
    EXPECT_EQ(Jis("\x1B&@\x1B$B\x30\x21\x1B(I!"), "\x88\x9F!");
    // Outside two-byte mode the same bytes stay.
    EXPECT_EQ(Jis("\x30\x21"), "\x30\x21");
    EXPECT_EQ(Jis("a\nb"), "a\r\nb");
    EXPECT_EQ(Jis("\nb"), "\r\nb");
    EXPECT_EQ(Jis("a\r\nb"), "a\r\nb");
    EXPECT_EQ(Jis("\x1B$B\x80\xFE\x30\x21"), "\x80\xFE\x88\x9F");
    // A second byte that is no JIS byte passes the first alone.
    EXPECT_EQ(Jis("\x1B$B\x30\x0A"), "\x30\r\n");
    // An unknown escape is copied.
    EXPECT_EQ(Jis("\x1B(Z"), "\x1B(Z");
    EXPECT_EQ(Jis(""), "");
}

TEST(XEVJisToShiftJis, NeverReadsPastTheSourceNorWritesPastTheBuffer)
{
    // Cut escapes and a lead byte just before the terminator.
    for (const char* cut : {"\x1B", "\x1B$", "\x1B&", "\x1B&@", "\x1B&@\x1B", "\x1B&@\x1B$", "\x1B(", "\x1B$B\x30"}) {
        const std::string source(cut);
        EXPECT_EQ(Jis(source).size() <= source.size(), true);
    }
    EXPECT_EQ(Jis("\x1B$B\x30"), "\x30");

    // Callers give the source length + 10; each lone LF needs one byte more.
    const std::string lfs(200, '\n');
    const std::string out = Jis(lfs, lfs.size() + 10);
    EXPECT_EQ(out.size(), 208u);   // 104 whole CR LFs
    for (size_t i = 0; i < out.size(); i += 2) {
        ASSERT_EQ(out.substr(i, 2), "\r\n");
    }
    // A two-byte character that does not fit is left out whole.
    EXPECT_EQ(Jis("a\x1B$B\x30\x21", 3), "a");
    EXPECT_EQ(Jis("a\x1B$B\x30\x21", 4), "a\x88\x9F");
    EXPECT_EQ(Jis("abc", 1), "");
    ConvertJisToShiftJis("abc", nullptr, 0);
    char one = 'x';
    ConvertJisToShiftJis(nullptr, &one, 1);
    EXPECT_EQ(one, '\0');
}

TEST(XEVJisToShiftJis, KanjiRowsMatchIconv)
{
    iconv_t cd = iconv_open("SHIFT_JIS", "ISO-2022-JP");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    auto convert = [cd](std::string in, std::string& out) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        out.assign(in.size() * 2 + 16, '\0');
        char* src = in.data();
        size_t srcLeft = in.size();
        char* dst = out.data();
        size_t dstLeft = out.size();
        const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        if (r == static_cast<size_t>(-1) || iconv(cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1)) {
            return false;
        }
        out.resize(out.size() - dstLeft);
        return true;
    };
    // The assigned characters of rows 16 to 47 (level-1 kanji), as iconv knows them.
    std::string text = "\x1B$B";
    int32_t characters = 0;
    for (int row = 16; row <= 47; ++row) {
        for (int cell = 1; cell <= 94; ++cell) {
            const char pair[2] = {static_cast<char>(0x20 + row), static_cast<char>(0x20 + cell)};
            std::string expected;
            if (!convert(std::string("\x1B$B") + std::string(pair, 2) + "\x1B(B", expected)) {
                continue;
            }
            ++characters;
            text.append(pair, 2);
        }
    }
    text += "\x1B(B";
    EXPECT_EQ(characters, 2965);
    std::string expected;
    ASSERT_TRUE(convert(text, expected));
    EXPECT_EQ(Jis(text), expected);
    iconv_close(cd);
}

}   // namespace
