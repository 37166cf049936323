#include "pyr/pyrstring.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "plat_comma_locale.h"

namespace {

std::vector<std::u16string> Split(const char16_t* text, const char16_t* separator, const char16_t* escape = u"")
{
    std::vector<PyrString> pieces;
    SplitPyrString(PyrString(text), pieces, PyrString(separator), PyrString(escape));
    std::vector<std::u16string> out;
    for (const PyrString& p : pieces) {
        out.emplace_back(p.View());
    }
    return out;
}

// Empty strings share one buffer that is never freed; growing past UINT32_MAX is refused.
TEST(PyrString, EmptySharedBufferAndCapacityLimits)
{
    PyrString a;
    PyrString b(u"");
    PyrString c(nullptr);
    PyrString d(b);
    PyrString e(u"text");
    e = d;
    e.Release();
    for (const PyrString* s : {&a, &b, &c, &d, &e}) {
        EXPECT_EQ(s->GetString(), PyrString::SharedEmptyBuffer());
        EXPECT_EQ(s->GetLength(), 0u);
        EXPECT_EQ(*s, nullptr);   // a null text equals the empty string
    }
    EXPECT_EQ(PyrEmptyString().GetString(), PyrString::SharedEmptyBuffer());
    EXPECT_EQ(a.ToFloat(), 0.0f);
    EXPECT_TRUE(a.Reserve(0));
    EXPECT_EQ(a.GetString(), PyrString::SharedEmptyBuffer());

    PyrString s(u"abcdef");
    EXPECT_TRUE(s.Resize(3));
    EXPECT_EQ(s, u"abc");
    EXPECT_EQ(*s.At(4), 0);   // units past the new length are cleared
    s.ShrinkToFit();
    EXPECT_EQ(s.GetCapacity(), 4u);
    EXPECT_FALSE(s.Reserve(UINT32_MAX));   // no room for the terminator: refused, string intact
    EXPECT_EQ(s, u"abc");
    PyrString zero(u"x");
    *zero.At(0) = 0;
    zero.ShrinkToFit();
    EXPECT_EQ(zero.GetString(), PyrString::SharedEmptyBuffer());
}

TEST(PyrString, CountedConstructionAndAppend)
{
    EXPECT_EQ(PyrString(u"abcdef", 3), u"abc");
    EXPECT_EQ(PyrString(u"abc", -1), u"abc");
    EXPECT_EQ(PyrString(u"abc", 99), u"abc");
    PyrString s;
    s.Append(u"ab").Append(u"cdef", 2).Append(u"x", 0).Append(nullptr);
    EXPECT_EQ(s, u"abcd");
    s.Append(PyrString());
    EXPECT_EQ(s, u"abcd");
}

TEST(PyrString, AppendAndAssignFromItsOwnBuffer)
{
    PyrString s(u"abc");
    s.Reserve(3);   // no spare room, so appending must move the buffer
    s.Append(s.GetString());
    EXPECT_EQ(s, u"abcabc");
    s.Append(s);
    EXPECT_EQ(s, u"abcabcabcabc");
    PyrString t(u"abcdef");
    t.Assign(t.At(2));
    EXPECT_EQ(t, u"cdef");
    t = t;
    EXPECT_EQ(t, u"cdef");
}

TEST(PyrString, FindAndSubstringBounds)
{
    const PyrString s(u"a\\bc\\d");
    EXPECT_EQ(s.Find(PyrString(u"\\")), 1);
    EXPECT_EQ(s.Find(PyrString(u"\\"), 2), 4);
    EXPECT_EQ(s.Find(PyrString(u"\\"), 5), -1);
    EXPECT_EQ(s.Find(PyrString(u"\\"), -7), 1);
    EXPECT_EQ(s.Find(PyrString(u"a\\bc\\d+")), -1);   // needle longer than the text
    EXPECT_EQ(s.Find(PyrString()), -1);
    EXPECT_EQ(PyrString().Find(PyrString(u"a")), -1);
    EXPECT_EQ(s.Substring(2, 2), u"bc");
    EXPECT_EQ(s.Substring(2), u"bc\\d");
    EXPECT_EQ(s.Substring(2, 100), u"bc\\d");
    EXPECT_TRUE(s.Substring(static_cast<int32_t>(s.GetLength())).IsEmpty());
    EXPECT_TRUE(s.Substring(1, 0).IsEmpty());
    EXPECT_TRUE(s.Substring(7).IsEmpty());
    EXPECT_TRUE(s.Substring(-1, 2).IsEmpty());
}

TEST(PyrString, SplitKeepsEmptyPiecesAndJoinRestoresThem)
{
    using V = std::vector<std::u16string>;
    EXPECT_EQ(Split(u"a\\b\\", u"\\"), (V{u"a", u"b", u""}));
    EXPECT_EQ(Split(u"\\", u"\\"), (V{u"", u""}));
    EXPECT_EQ(Split(u"", u"\\"), V{});
    EXPECT_EQ(Split(u"a\\b", u""), V{u"a\\b"});
    EXPECT_EQ(Split(u"a=>b=>c", u"=>"), (V{u"a", u"b", u"c"}));
    EXPECT_EQ(Split(u"a^\\b\\c", u"\\", u"^"), (V{u"a^\\b", u"c"}));

    std::vector<PyrString> values;
    SplitPyrString(PyrString(u"AXIAL\\\\HELICAL\\"), values, PyrString(u"\\"), PyrString());
    EXPECT_EQ(JoinPyrStrings(values, PyrString(u"\\")), u"AXIAL\\\\HELICAL\\");
    EXPECT_EQ(JoinPyrStrings({PyrString(u"one")}, PyrString(u"\\")), u"one");
    EXPECT_TRUE(JoinPyrStrings({}, PyrString(u"\\")).IsEmpty());
    EXPECT_EQ(JoinPyrStrings({PyrString(), PyrString(u"b")}, PyrString(u"\\")), u"\\b");
}

TEST(PyrString, IntegerTextSaturatesAt32Bits)
{
    const char16_t* end = nullptr;
    EXPECT_EQ(PyrTextToLong(u"  -123abc", &end), -123);
    EXPECT_EQ(*end, u'a');
    const char16_t* text = u"x12";
    EXPECT_EQ(PyrTextToLong(text, &end), 0);
    EXPECT_EQ(end, text);   // nothing read
    // Full-width digits are not digits here.
    const std::pair<const char16_t*, int32_t> signedCases[] = {{u"2147483647", INT32_MAX},
                                                               {u"2147483648", INT32_MAX},
                                                               {u"-2147483648", INT32_MIN},
                                                               {u"-99999999999999999999999", INT32_MIN},
                                                               {u"\uFF11", 0}};
    for (const auto& [t, value] : signedCases) {
        EXPECT_EQ(PyrTextToLong(t), value);
    }
    // A minus is negated in unsigned arithmetic.
    const std::pair<const char16_t*, uint32_t> unsignedCases[] = {{u"4294967295", UINT32_MAX},
                                                                  {u"4294967296", UINT32_MAX},
                                                                  {u"-1", UINT32_MAX},
                                                                  {u"-4294967295", 1u},
                                                                  {u"+12", 12u}};
    for (const auto& [t, value] : unsignedCases) {
        EXPECT_EQ(PyrTextToULong(t), value);
    }
}

TEST(PyrString, NumbersToText)
{
    EXPECT_EQ(PyrStringFromLong(-2147483647 - 1, 10), u"-2147483648");
    EXPECT_EQ(PyrStringFromLong(-1, 16), u"ffffffff");
    EXPECT_EQ(PyrStringFromULong(4294967295u, 10), u"4294967295");
    EXPECT_EQ(PyrStringFromULong(255, 2), u"11111111");
    EXPECT_TRUE(PyrStringFromULong(5, 1).IsEmpty());
}

TEST(PyrString, Format)
{
    EXPECT_EQ(PyrStringFormat(u"%04x%04x", 0x10, 0x20), u"00100020");
    EXPECT_EQ(PyrStringFormat(u"('%s') %d%%", PyrString(u"ISO_IR 100"), -5), u"('ISO_IR 100') -5%");
    EXPECT_EQ(PyrStringFormat(u"%s() %hs", u"\u5C71", "DeleteFileW"), u"\u5C71() DeleteFileW");
    EXPECT_EQ(PyrStringFormat(u"%.06f|%e", 2.5, 1e9), u"2.500000|1.000000e+09");
    EXPECT_EQ(PyrStringFormat(u"%d %u %ld %lld", 0xFFFFFFFFu, -1, 4294967297LL, 4294967297LL),
              u"-1 4294967295 1 4294967297");
    EXPECT_EQ(PyrStringFormat(u"[%-4s|%4s|%.2s]", u"ab", u"cd", u"xyz"), u"[ab  |  cd|xy]");
    EXPECT_EQ(PyrStringFormat(u"0x%02x", 0x1B), u"0x1b");
    // Broken formats give the empty string rather than reading what is not there.
    EXPECT_TRUE(PyrStringFormat(u"%d").IsEmpty());
    EXPECT_TRUE(PyrStringFormat(u"%s", 5).IsEmpty());
    EXPECT_TRUE(PyrStringFormat(u"%f", 5).IsEmpty());
    EXPECT_TRUE(PyrStringFormat(u"%n", 5).IsEmpty());
    EXPECT_TRUE(PyrStringFormat(u"%").IsEmpty());
    EXPECT_TRUE(PyrStringFormat(u"").IsEmpty());
    EXPECT_TRUE(PyrStringFormat(u"%999999999d", 1).IsEmpty());
}

// A front end may switch LC_NUMERIC to a locale whose decimal mark is a comma.
class CommaLocale : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(PlatUseCommaLocale(LC_NUMERIC)) << "install the Debian package locales";
        ASSERT_EQ(std::string(std::localeconv()->decimal_point), ",");
    }
    void TearDown() override { std::setlocale(LC_NUMERIC, "C"); }
};

TEST_F(CommaLocale, TextToNumberIgnoresTheLocale)
{
    EXPECT_EQ(PyrString(u"0.1").ToFloat(), 0.1f);
    EXPECT_EQ(PyrString(u" -2.5e3 ").ToFloat(), -2500.0f);
    const char16_t* end = nullptr;
    const char16_t* text = u"1,5";
    EXPECT_EQ(PyrTextToDouble(text, &end), 1.0);
    EXPECT_EQ(end, text + 1);   // a comma ends the number
    EXPECT_EQ(PyrStringFormat(u"%.06f", 0.25), u"0.250000");
}

TEST(PyrString, ToFloatNarrowsLikeTheHardware)
{
    EXPECT_EQ(PyrString(u"1e39").ToFloat(), HUGE_VALF);
    EXPECT_EQ(PyrString(u"-1e39").ToFloat(), -HUGE_VALF);
    EXPECT_EQ(PyrString(u"3.4028235e38").ToFloat(), 3.4028235e38f);
    EXPECT_EQ(PyrString(u"abc").ToFloat(), 0.0f);
    EXPECT_EQ(PyrString(u"0x10").ToFloat(), 16.0f);
}

}   // namespace
