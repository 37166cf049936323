#include "platform/platcodepage.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::u16string Decode(uint32_t codePage, std::string_view bytes)
{
    std::u16string out;
    EXPECT_EQ(PlatMultiByteToUtf16(codePage, bytes, out), PlatConvertStatus::Ok);
    return out;
}

std::string Encode(uint32_t codePage, std::u16string_view text)
{
    std::string out;
    EXPECT_EQ(PlatUtf16ToMultiByte(codePage, text, out), PlatConvertStatus::Ok);
    return out;
}

TEST(PlatCodePage, EverySupportedCodePageOpens)
{
    for (uint32_t cp : {874u,   932u,   936u,   949u,   950u,   1250u,  1251u,  1252u,  1253u,
                        1254u,  1255u,  1256u,  28591u, 28592u, 28593u, 28594u, 28595u, 28596u,
                        28597u, 28598u, 28599u, 50221u, 51932u, 51949u, 51950u, 54936u, 65001u}) {
        EXPECT_TRUE(PlatIsCodePageSupported(cp)) << cp;
    }
    EXPECT_FALSE(PlatIsCodePageSupported(12345));
    std::u16string out = u"kept";
    EXPECT_EQ(PlatMultiByteToUtf16(12345, "abc", out), PlatConvertStatus::UnsupportedCodePage);
    EXPECT_EQ(out, u"kept");
}

TEST(PlatCodePage, MalformedInputBecomesReplacementCharacters)
{
    // A lone 0xFF in UTF-8, and a GB18030 lead byte cut off at the end.
    EXPECT_EQ(Decode(65001, "a\xFF"
                            "b"),
              u"a\uFFFDb");
    EXPECT_EQ(Decode(54936, "x\xCD"), u"x\uFFFD");
}

TEST(PlatCodePage, UnmappableCharactersFailInsteadOfTurningIntoQuestionMarks)
{
    std::string out = "kept";
    EXPECT_EQ(PlatUtf16ToMultiByte(28591, u"\u5C71", out), PlatConvertStatus::Unmappable);
    EXPECT_EQ(out, "kept");
    const char16_t loneSurrogate[] = {u'a', 0xD800, u'b'};
    EXPECT_EQ(PlatUtf16ToMultiByte(65001, std::u16string_view(loneSurrogate, 3), out), PlatConvertStatus::Unmappable);
}

TEST(PlatCodePage, Iso2022JpCoversKatakanaKanjiAndSupplementaryKanji)
{
    // U+9DD7 exists only in JIS X 0212; U+FF94 is half-width katakana.
    const std::u16string text = u"A\uFF94\u5C71\u9DD7b";
    const std::string bytes = Encode(50221, text);
    EXPECT_EQ(bytes, "A\x1B(I\x54\x1B$B\x3B\x33\x1B$(D\x6C\x3F\x1B(Bb");
    EXPECT_EQ(Decode(50221, bytes), text);
    // Old JIS designation and the JIS-Roman set decode as well.
    EXPECT_EQ(Decode(50221, "\x1B$@\x3B\x33\x1B(J^"), u"\u5C71^");
    // A byte left over in a two-byte set is replaced, not read past the end.
    EXPECT_EQ(Decode(50221, "\x1B$B\x3B"), u"\uFFFD");
}

TEST(PlatCodePage, EucTwReachesThreeCnsPlanes)
{
    // Plane 1 (U+4E00), plane 2 (U+4E42) and plane 3 (U+4E28).
    const std::u16string text = u"\u4E00\u4E42\u4E28";
    const std::string bytes = Encode(51950, text);
    EXPECT_EQ(bytes.size(), 2u + 4u + 4u);
    EXPECT_EQ(bytes.substr(2, 2), "\x8E\xA2");
    EXPECT_EQ(bytes.substr(6, 2), "\x8E\xA3");
    EXPECT_EQ(Decode(51950, bytes), text);
}

TEST(PlatCodePage, LeadBytes)
{
    EXPECT_TRUE(PlatIsDBCSLeadByte(932, 0x81));
    EXPECT_FALSE(PlatIsDBCSLeadByte(932, 0xB1));   // half-width katakana stands alone
    EXPECT_TRUE(PlatIsDBCSLeadByte(936, 0xD5));
    EXPECT_FALSE(PlatIsDBCSLeadByte(936, 0x5E));
    EXPECT_FALSE(PlatIsDBCSLeadByte(28591, 0xE9));
}

TEST(PlatCodePage, ConcurrentConversionsDoNotShareShiftState)
{
    const std::u16string text = u"\u5C71\u7530^\u592A\u90CE=\uFF94\uFF8F\uFF80\uFF9E";
    const std::string expected = Encode(50221, text);
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                std::string bytes;
                std::u16string back;
                if (PlatUtf16ToMultiByte(50221, text, bytes) != PlatConvertStatus::Ok || bytes != expected ||
                    PlatMultiByteToUtf16(50221, bytes, back) != PlatConvertStatus::Ok || back != text) {
                    ++failures[t];
                }
                std::u16string kr;
                if (PlatMultiByteToUtf16(51949, "\xC8\xAB", kr) != PlatConvertStatus::Ok || kr != u"\uD64D") {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int f : failures) {
        EXPECT_EQ(f, 0);
    }
}

}   // namespace

// Any file name survives the trip through text: UTF-8 reads as its characters, every other
// byte as U+DC80 + byte, and the way back gives the same bytes.
TEST(PlatCodePage, PathsRoundTripThroughText)
{
    EXPECT_EQ(PlatPathToUtf16("/disc/IM\xC3\x89"
                              "1"),
              u"/disc/IM\u00C9"
              "1");
    EXPECT_EQ(PlatPathToUtf16("/disc/IM\xC9"
                              "1"),
              u"/disc/IM\xDCC9"
              "1");
    EXPECT_EQ(PlatPathToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(PlatPathToUtf16("/media/cdrom/DICOM/IM0"), u"/media/cdrom/DICOM/IM0");
    EXPECT_EQ(PlatUtf16ToPath(u"/media/cdrom/DICOM/IM0"), "/media/cdrom/DICOM/IM0");
    for (const std::string& bytes : {std::string("/disc/L\xC9VEL/IM\xC9"
                                                 "1"),
                                     std::string("\xC3\x89\xC3"), std::string("\xE0\x80\xAF\xED\xA0\x80\xFF\x80"),
                                     std::string("a\xF0\x9F\x98\x80z"), std::string()}) {
        EXPECT_EQ(PlatUtf16ToPath(PlatPathToUtf16(bytes)), bytes);
    }
    // A lone surrogate that stands for no byte becomes U+FFFD.
    EXPECT_EQ(PlatUtf16ToPath(u"a\xD800"
                              u"b"),
              "a\xEF\xBF\xBD"
              "b");
}
