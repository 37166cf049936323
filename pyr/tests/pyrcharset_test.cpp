#include "pyr/pyrcharset.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pyr/pyrdicomdataset.h"
#include "pyrlogrecorder.h"
#include "pyrtestsource.h"

using namespace PyrDicomLib;

namespace {

std::u16string Decode(std::string_view bytes, const char16_t* charset, PyrDicomVR vr = kPyrVR_PN,
                      PyrDicomResult expected = kPyrSuccess)
{
    PyrString text;
    EXPECT_EQ(ConvertDicomCharEncodeToUtf16(text, bytes, PyrString(charset), vr, false), expected);
    return std::u16string(text.View());
}

std::string Encode(const char16_t* text, const char16_t* charset, PyrDicomVR vr = kPyrVR_PN)
{
    std::string bytes;
    EXPECT_EQ(ConvertUtf16ToDicomCharEncode(bytes, PyrString(text), PyrString(charset), vr, false), kPyrSuccess);
    return bytes;
}

class WithWriter : public ::testing::Test {
protected:
    PyrLogRecorder writer;
};

// Texts as they are stored: person names from the DICOM standard's character-set annexes,
// and texts encoded by independent encoders.
struct RoundTrip {
    const char* name;
    const char16_t* charset;
    std::string bytes;
    const char16_t* text;
    PyrDicomVR vr = kPyrVR_PN;
};

const RoundTrip kRoundTrips[] = {
    {"JapaneseDefaultAndIr87", u"\\ISO 2022 IR 87",
     "Yamada^Tarou=\x1B$B;3ED\x1B(B^\x1B$BB@O:\x1B(B=\x1B$B$d$^$@\x1B(B^\x1B$B$?$m$&\x1B(B",
     u"Yamada^Tarou=山田^太郎=やまだ^たろう"},
    {"JapaneseIr13AndIr87", u"ISO 2022 IR 13\\ISO 2022 IR 87",
     "\xD4\xCF\xC0\xDE^\xC0\xDB\xB3=\x1B$B;3ED\x1B(J^\x1B$BB@O:\x1B(J=\x1B$B$d$^$@\x1B(J^\x1B$B$?$m$&\x1B(J",
     u"ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ^たろう"},
    {"KoreanDefaultAndIr149", u"\\ISO 2022 IR 149",
     "Hong^Gildong=\x1B$)C\xFB\xF3^\x1B$)C\xD1\xCE\xD4\xD7=\x1B$)C\xC8\xAB^\x1B$)C\xB1\xE6\xB5\xBF",
     u"Hong^Gildong=洪^吉洞=홍^길동"},
    {"ChineseIr58", u"\\ISO 2022 IR 58",
     "Zhang^XiaoDong=\x1B$)A\xD5\xC5^\x1B$)A\xD0\xA1\xB6\xAB= ", u"Zhang^XiaoDong=张^小东= "},
    {"ChineseGb18030", u"GB18030", "Wang^XiaoDong=\xCD\xF5^\xD0\xA1\xB6\xAB=", u"Wang^XiaoDong=王^小东="},
    {"Utf8", u"ISO_IR 192", "Wang^XiaoDong=\xE7\x8E\x8B^\xE5\xB0\x8F\xE6\x9D\xB1= ", u"Wang^XiaoDong=王^小東= "},
    // python3 -c "print('Mori^Ogai=森^鷗外=もり^おうがい'.encode('iso2022_jp_1'))", which iconv's
    // ISO-2022-JP-2 matches byte for byte: 鷗 comes from JIS X 0212 (ESC $ ( D).
    {"SupplementaryKanji", u"ISO 2022 IR 6\\ISO 2022 IR 87\\ISO 2022 IR 159",
     "Mori^Ogai=\x1B$B?9\x1B(B^\x1B$(Dl?\x1B$B30\x1B(B=\x1B$B$b$j\x1B(B^\x1B$B$*$&$,$$\x1B(B",
     u"Mori^Ogai=森^鷗外=もり^おうがい"},
    // A single-byte G1 set outside the first value is designated.
    {"Latin1AsSecondSet", u"\\ISO 2022 IR 100", "Buc^\x1B-AJ\xE9r\xF4me", u"Buc^Jérôme"},
    // Every line of a text carries its own designation.
    {"KoreanLines", u"\\ISO 2022 IR 149",
     "\x1B$)CThe 1st line includes \xB1\xE6\xB5\xBF.\r\nThe 2nd line.\r\n\x1B$)C\xB1\xE6\xB5\xBF",
     u"The 1st line includes 길동.\r\nThe 2nd line.\r\n길동", kPyrVR_LT},
    // Single-byte sets; the Cyrillic sample mixes in Latin c, e, y and p.
    {"Latin1", u"ISO_IR 100",
     "\xC4neas^R\xFC"
     "diger",
     u"\u00C4neas^R\u00FCdiger"},
    {"Cyrillic", u"ISO_IR 144", "\xBB\xEE\xDA\x63\x65\xDC\xD1\x79\x70\xD3",
     u"\u041B\u044E\u043Ace\u043C\u0431yp\u0433"},
    {"Greek", u"ISO_IR 126", "\xC4\xE9\xEF\xED\xF5\xF3\xE9\xEF\xF2",
     u"\u0394\u03B9\u03BF\u03BD\u03C5\u03C3\u03B9\u03BF\u03C2"},
    {"Arabic", u"ISO_IR 127", "\xE2\xC8\xC7\xE6\xEA^\xE4\xE6\xD2\xC7\xD1",
     u"\u0642\u0628\u0627\u0646\u064A^\u0644\u0646\u0632\u0627\u0631"},
    {"Hebrew", u"ISO_IR 138", "\xF9\xF8\xE5\xEF^\xE3\xE1\xE5\xF8\xE4",
     u"\u05E9\u05E8\u05D5\u05DF^\u05D3\u05D1\u05D5\u05E8\u05D4"},
    {"Thai", u"ISO_IR 166", "\xB9\xD2\xC1\xCA\xA1\xD8\xC5", u"\u0E19\u0E32\u0E21\u0E2A\u0E01\u0E38\u0E25"},
    {"DefaultRepertoire", u"", "Smith^John", u"Smith^John"},
    // Planes 1, 2 and 3 of CNS 11643; plane 3 has no Big5 code at all.
    {"CnsPlanes", u"\\ISO 2022 IR 171\\ISO 2022 IR 172\\ISO 2022 IR 183",
     "Chen^\x1B$)G\xC4\xA1\x1B$)H\xA1\xA1=\x1B$)I\xA1\xA1", u"Chen^\u4E00\u4E42=\u4E28"},
};

void PrintTo(const RoundTrip& example, std::ostream* os)
{
    *os << example.name;
}

class RoundTrips : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(RoundTrips, DecodeAndEncodeBackToTheSameBytes)
{
    const RoundTrip& example = GetParam();
    EXPECT_EQ(Decode(example.bytes, example.charset, example.vr), example.text);
    EXPECT_EQ(Encode(example.text, example.charset, example.vr), example.bytes);
}

INSTANTIATE_TEST_SUITE_P(Charset, RoundTrips, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Charset, ParseSpecificCharacterSet)
{
    CharsetList records;
    ParseSpecificCharacterSet(records, PyrString(u"\\ISO 2022 IR 87"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], &CharsetInfomationTable[0]);
    EXPECT_EQ(PyrString(records[1]->definedTerm), u"ISO 2022 IR 87");

    ParseSpecificCharacterSet(records, PyrString(u"ISO_IR 100\\ISO_IR 100"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], records[1]);
    EXPECT_EQ(records[0]->codePage, 28591u);

    ParseSpecificCharacterSet(records, PyrString());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], &CharsetInfomationTable[0]);
}

TEST_F(WithWriter, UnknownTermFallsBackToDefaultWithTwoWarnings)
{
    CharsetList records;
    ParseSpecificCharacterSet(records, PyrString(u"ISO_IR 999"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], &CharsetInfomationTable[0]);
    EXPECT_THAT(writer.Messages(),
                ::testing::ElementsAre(u"A specific character set couldn't be recognized. ('ISO_IR 999')",
                                       u"Any specific character sets couldn't be recognized. ('ISO_IR 999')"));
    for (const PyrLogRecorder::Entry& e : writer.entries) {
        EXPECT_EQ(e.level, 1);
        EXPECT_EQ(e.code, -1);
    }
}

TEST(Charset, ParseEscapeSequenceSplitsIntoStates)
{
    std::vector<EscapeSequenceState> states;
    const EscapeSequenceState initial = InitialState(CharsetInfomationTable[0]);
    ParseEscapeSequence(states, "\x1B$B;3ED\x1B(BABC", initial, kPyrVR_PN);
    ASSERT_EQ(states.size(), 3u);
    EXPECT_TRUE(states[0].bytes.empty());
    EXPECT_EQ(states[1].bytes, ";3ED");
    EXPECT_EQ(states[1].g0MultiByte, 1);
    EXPECT_EQ(states[1].g0Final, 'B');
    EXPECT_EQ(states[2].bytes, "ABC");
    EXPECT_EQ(states[2].g0MultiByte, 0);
    EXPECT_EQ(states[2].g0Final, 'B');

    ParseEscapeSequence(states, "A\x1B$)C\xB1\xE8\x1B-A\xE9", initial, kPyrVR_PN);
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(states[1].g1Final, 'C');
    EXPECT_EQ(states[1].g1MultiByte, 1);
    EXPECT_EQ(states[1].g1SetSize, 1u);
    EXPECT_EQ(states[2].g1Final, 'A');
    EXPECT_EQ(states[2].g1MultiByte, 0);
    EXPECT_EQ(states[2].g1SetSize, 2u);
    EXPECT_EQ(states[2].g0Final, 'B');   // G0 carried over from the state before

    ParseEscapeSequence(states, "", initial, kPyrVR_PN);
    EXPECT_TRUE(states.empty());
}

TEST_F(WithWriter, BrokenEscapeSequencesAreReportedAndDropped)
{
    std::vector<EscapeSequenceState> states;
    const EscapeSequenceState initial = InitialState(CharsetInfomationTable[0]);
    ParseEscapeSequence(states, "\x1B$", initial, kPyrVR_PN);
    EXPECT_EQ(states.size(), 1u);
    EXPECT_THAT(writer.Messages(), ::testing::ElementsAre(u"Incomplete escape sequence."));

    writer.entries.clear();
    ParseEscapeSequence(states, "ab\x1B$\x90xyz", initial, kPyrVR_PN);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].bytes, "ab");
    EXPECT_THAT(writer.Messages(), ::testing::ElementsAre(u"Invalid escape sequence. ('0x90')"));
}

TEST(Charset, FitsTreatsAsciiAndJisRomanAlike)
{
    const CharsetInfomationData& ir13 = CharsetInfomationTable[22];
    ASSERT_EQ(PyrString(ir13.definedTerm), u"ISO 2022 IR 13");
    EscapeSequenceState ascii = InitialState(CharsetInfomationTable[0]);
    ascii.bytes = "Tarou";
    EXPECT_TRUE(Fits(ascii, ir13));
    ascii.bytes = "\xD4";   // G1 byte, but the default repertoire has no G1
    EXPECT_FALSE(Fits(ascii, CharsetInfomationTable[0]));
    ascii.bytes.clear();
    EXPECT_TRUE(Fits(ascii, CharsetInfomationTable[27]));   // empty fits everything
}

TEST(Charset, BuildEscapeSequenceSkipsDesignationsInForce)
{
    const CharsetInfomationData& ir87 = CharsetInfomationTable[24];
    const CharsetInfomationData& ir159 = CharsetInfomationTable[25];
    EscapeSequenceState state = InitialState(CharsetInfomationTable[0]);
    EXPECT_EQ(BuildEscapeSequence(CharsetInfomationTable[0], state, true), "");
    EXPECT_EQ(BuildEscapeSequence(ir87, state, true), "\x1B$B");
    EXPECT_EQ(BuildEscapeSequence(ir159, state, true), "\x1B$(D");
    EXPECT_EQ(BuildEscapeSequence(CharsetInfomationTable[10], state, false), "\x1B(J\x1B-I");   // ISO_IR 13
    EXPECT_EQ(state.g0Final, 'D');   // update clear: unchanged
    EXPECT_EQ(BuildEscapeSequence(CharsetInfomationTable[26], state, false), "\x1B(B\x1B$)C");   // IR 149
}

TEST_F(WithWriter, TextTheSetsCannotHoldIsRefusedNotMangled)
{
    std::string bytes = "untouched";
    // Hangul under a Japanese set, and Japanese under Latin-1.
    EXPECT_EQ(
        ConvertUtf16ToDicomCharEncode(bytes, PyrString(u"\uD64D"), PyrString(u"\\ISO 2022 IR 87"), kPyrVR_PN, false),
        kPyrFailed);
    EXPECT_EQ(ConvertUtf16ToDicomCharEncode(bytes, PyrString(u"\u5C71"), PyrString(u"ISO_IR 100"), kPyrVR_PN, false),
              kPyrFailed);
    // Half-width katakana need ISO 2022 IR 13 beside IR 87.
    EXPECT_EQ(
        ConvertUtf16ToDicomCharEncode(bytes, PyrString(u"\uFF94"), PyrString(u"\\ISO 2022 IR 87"), kPyrVR_PN, false),
        kPyrFailed);
    EXPECT_EQ(bytes, "untouched");
    EXPECT_THAT(
        writer.Messages(),
        ::testing::Contains(u"Cannot convert characters by using specific character set. ('\\ISO 2022 IR 87')"));
}

TEST_F(WithWriter, UndecodableG1BytesKeepTheG0PartAndWarn)
{
    // Shift-JIS bytes after the last designation, where no listed set has a G1 half: the
    // bytes below 0x80 stay, each run above becomes one replacement character.
    EXPECT_EQ(Decode("Yamada^\x1B$B;3ED\x1B(B^\x8E\x52\x93\x63", u"\\ISO 2022 IR 87", kPyrVR_PN, kPyrUndesignatedText),
              u"Yamada^山田^\uFFFDR\uFFFDc");
    EXPECT_THAT(
        writer.Messages(),
        ::testing::ElementsAre(u"Couldn't convert characters by the specific character set. ('\\ISO 2022 IR 87')"));
}

TEST_F(WithWriter, SingleIso2022TermStillDecodesAndWarns)
{
    EXPECT_EQ(Decode("\x1B$B;3ED\x1B(B", u"ISO 2022 IR 87"), u"山田");
    EXPECT_THAT(writer.Messages(),
                ::testing::ElementsAre(
                    u"Only single character set was specified, but the code extension was used. (ISO 2022 IR 87)"));
}

TEST(Charset, WithoutAWriterNothingIsWrittenAndResultsHold)
{
    ASSERT_EQ(PyrGetLogWriter(), nullptr);
    EXPECT_EQ(Decode("Yamada^\x1B$B;3ED\x1B(B^\x8E\x52", u"\\ISO 2022 IR 87", kPyrVR_PN, kPyrUndesignatedText),
              u"Yamada^山田^\uFFFDR");
    std::string bytes;
    EXPECT_EQ(ConvertUtf16ToDicomCharEncode(bytes, PyrString(u"\uD64D"), PyrString(u"ISO_IR 100"), kPyrVR_PN, false),
              kPyrFailed);
}

TEST(Charset, ToPyrStringStopsAtTheTerminator)
{
    PyrString text;
    EXPECT_EQ(ToPyrString(text, "abc\0def", 28591, false), kPyrSuccess);
    EXPECT_EQ(text, u"abc");
    EXPECT_EQ(ToPyrString(text, "abc", 4242, true), kPyrFailed);
    EXPECT_EQ(text, u"abc");
}

// Files from dcmtk's dump2dcm (tests/data/make_fixtures.sh) whose G1 bytes carry no
// designation. The texts are what Python's euc_kr and latin-1 codecs made the bytes from.
TEST(Charset, UndesignatedG1BytesReadWithTheFirstListedG1Set)
{
    struct Case {
        const char* file;
        const char16_t* name;
        const char16_t* study;
    };
    for (const Case& c : {Case{"undesignated_ko.dcm", u"Hong^Gildong=홍^길동", u"Chest 흉부 CT"},
                          Case{"undesignated_latin1.dcm", u"Buc^Jérôme", u"Thorax Übersicht"}}) {
        SCOPED_TRACE(c.file);
        PyrByteSource source(PyrReadWholeFile(std::string(PYR_TEST_DATA_DIR "/") + c.file));
        PyrDicomDataset dataset;
        ASSERT_EQ(source.ReadInto(dataset), kPyrSuccess);
        PyrString text;
        EXPECT_EQ(dataset.GetRoot()->GetChildString(0x0010, 0x0010, text), kPyrUndesignatedText);
        EXPECT_EQ(text, c.name);
        EXPECT_EQ(dataset.GetRoot()->GetChildString(0x0008, 0x1030, text), kPyrUndesignatedText);
        EXPECT_EQ(text, c.study);
        // Callers that only want the text get it as on success.
        EXPECT_EQ(dataset.GetString(0x0010, 0x0010, PyrString(u"none")), c.name);
    }
    // The same bytes with their designation read as plain success.
    EXPECT_EQ(Decode("Hong^Gildong=\x1B$)C\xC8\xAB^\x1B$)C\xB1\xE6\xB5\xBF", u"\\ISO 2022 IR 149"),
              u"Hong^Gildong=홍^길동");
    // A designated G1 set that no listed set fits is not guessed at: its bytes are replaced.
    EXPECT_EQ(Decode("Buc^\x1B-BJ\xE9r", u"\\ISO 2022 IR 100", kPyrVR_PN, kPyrUndesignatedText), u"Buc^J\uFFFDr");
}

}   // namespace
