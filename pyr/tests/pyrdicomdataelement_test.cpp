#include "pyr/pyrdicomdataelement.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "pyr/pyrdecimal.h"
#include "pyr/pyrdicomdataset.h"
#include "pyrlogrecorder.h"

namespace {

class ElementTest : public ::testing::Test {
protected:
    // A child of the root with raw value bytes, as the reader leaves them.
    PyrDicomDataElement* Put(uint32_t group, uint32_t element, PyrDicomVR vr, std::string_view bytes,
                             PyrDicomDataElement* parent = nullptr)
    {
        PyrDicomDataElement* e = dataset.CreateElement();
        e->SetGroup(group);
        e->SetElement(element);
        e->SetVR(vr);
        EXPECT_EQ(e->AllocateValue(static_cast<uint32_t>(bytes.size()), false), kPyrSuccess);
        if (!bytes.empty()) {
            std::memcpy(e->MutableValue(), bytes.data(), bytes.size());
        }
        EXPECT_EQ((parent != nullptr ? parent : dataset.GetRoot())->SetChildElement(e), kPyrSuccess);
        return e;
    }

    PyrDicomDataElement* NewItem()
    {
        PyrDicomDataElement* item = dataset.CreateElement();
        item->SetGroup(0xFFFE);
        item->SetElement(0xE000);
        return item;
    }

    std::u16string Text(const PyrDicomDataElement* e, int32_t index = -1, PyrDicomResult expected = kPyrSuccess)
    {
        PyrString value;
        EXPECT_EQ(e->GetStringValue(value, PyrVR::Unset, index), expected);
        return std::u16string(value.View());
    }

    PyrDicomDataset dataset;
};

std::string Stored(const PyrDicomDataElement* e)
{
    return std::string(reinterpret_cast<const char*>(e->GetValue()), e->GetLength());
}

TEST_F(ElementTest, PlainTextSelectsValuesAfterTrimming)
{
    const PyrDicomDataElement* cs = Put(0x0008, 0x0008, PyrVR::CS, "AXIAL\\HELICAL ");
    EXPECT_EQ(Text(cs, 1), u"HELICAL");
    EXPECT_EQ(Text(cs, 2, kPyrNoValue), u"");
    EXPECT_EQ(Text(cs, -1), u"AXIAL\\HELICAL");
    EXPECT_EQ(cs->GetMultiplicity(), 2u);

    const PyrDicomDataElement* ds = Put(0x0018, 0x0050, PyrVR::DS, "    ");
    EXPECT_EQ(Text(ds), u"");
    double d = 0;
    EXPECT_EQ(ds->GetDouble(d), kPyrNoValue);

    // TM keeps leading blanks; a UI pads with a zero byte that is cut.
    EXPECT_EQ(Text(Put(0x0008, 0x0030, PyrVR::TM, " 1015 ")), u" 1015");
    EXPECT_EQ(Text(Put(0x0008, 0x0018, PyrVR::UI, std::string("1.2.3\0", 6))), u"1.2.3");
}

// A long value read with a limit: only its first bytes become text, a character of several
// bytes cut by the limit is left out, and a number array stops at the text that long.
TEST_F(ElementTest, LimitedReadsTakeTheValuesFirstBytes)
{
    std::string many = "40\\400";
    for (int i = 0; i < 200000; ++i) {
        many += "\\2";
    }
    const PyrDicomDataElement* ds = Put(0x0028, 0x1050, PyrVR::DS, many + " ");
    PyrString value;
    ASSERT_EQ(ds->GetStringValue(value, PyrVR::Unset, -1, 10), kPyrSuccess);
    EXPECT_EQ(value.View(), u"40\\400\\2\\2");
    // One value of many, at either end, without the limit.
    EXPECT_EQ(Text(ds, 1), u"400");
    EXPECT_EQ(Text(ds, 200001), u"2");
    EXPECT_EQ(Text(ds, 200002, kPyrNoValue), u"");
    double d = 0;
    EXPECT_EQ(ds->GetDouble(d, PyrVR::Unset, 1), kPyrSuccess);
    EXPECT_EQ(d, 400);

    Put(0x0008, 0x0005, PyrVR::CS, "ISO_IR 192");
    // "Ab" then e-acute (two bytes) then "c": a limit of 3 ends inside the e-acute.
    const PyrDicomDataElement* lo = Put(0x0008, 0x103E, PyrVR::LO,
                                        "Ab\xC3\xA9"
                                        "cd");
    ASSERT_EQ(lo->GetStringValue(value, PyrVR::Unset, -1, 3), kPyrSuccess);
    EXPECT_EQ(value.View(), u"Ab");
    ASSERT_EQ(lo->GetStringValue(value, PyrVR::Unset, -1, 4), kPyrSuccess);
    EXPECT_EQ(value.View(), u"Ab\u00E9");
    ASSERT_EQ(lo->GetStringValue(value, PyrVR::Unset, -1, 100), kPyrSuccess);
    EXPECT_EQ(value.View(), u"Ab\u00E9cd");

    std::string words;
    for (uint16_t i = 0; i < 1000; ++i) {
        words.append(reinterpret_cast<const char*>(&i), 2);
    }
    const PyrDicomDataElement* us = Put(0x0028, 0x0034, PyrVR::US, words);
    ASSERT_EQ(us->GetStringValue(value, PyrVR::Unset, -1, 6), kPyrSuccess);
    EXPECT_EQ(value.View(), u"0\\1\\2\\3");
}

TEST_F(ElementTest, NumbersFromTextAndBinary)
{
    uint32_t u = 0;
    int32_t s = 0;
    double d = 0;
    const PyrDicomDataElement* is = Put(0x0020, 0x0013, PyrVR::IS, " 12 \\-7");
    EXPECT_EQ(is->GetULong(u), kPyrSuccess);
    EXPECT_EQ(u, 12u);
    EXPECT_EQ(is->GetLong(s, PyrVR::Unset, 1), kPyrSuccess);
    EXPECT_EQ(s, -7);
    EXPECT_EQ(is->GetULong(u, PyrVR::Unset, 2), kPyrNoValue);

    const PyrDicomDataElement* ds = Put(0x0020, 0x0032, PyrVR::DS, "-125.5\\1e2 ");
    EXPECT_EQ(ds->GetDouble(d, PyrVR::Unset, 1), kPyrSuccess);
    EXPECT_DOUBLE_EQ(d, 100.0);

    const PyrDicomDataElement* ss = Put(0x0018, 0x9219, PyrVR::SS, std::string("\xFD\xFF\x05\x00", 4));
    EXPECT_EQ(ss->GetULong(u), kPyrSuccess);
    EXPECT_EQ(u, 0xFFFFFFFDu);   // sign-extended
    EXPECT_EQ(ss->GetDouble(d, PyrVR::Unset, -5), kPyrSuccess);
    EXPECT_EQ(d, -3.0);   // a negative index reads the first value
    EXPECT_EQ(Text(ss), u"-3\\5");

    const PyrDicomDataElement* ul = Put(0x0009, 0x1002, PyrVR::UL, std::string("\xFF\xFF\xFF\xFF", 4));
    EXPECT_EQ(ul->GetDouble(d), kPyrSuccess);
    EXPECT_EQ(d, 4294967295.0);
    EXPECT_EQ(ul->GetLong(s), kPyrSuccess);
    EXPECT_EQ(s, -1);

    const PyrDicomDataElement* at = Put(0x0020, 0x9165, PyrVR::AT, std::string("\x20\x00\x56\x90", 4));
    EXPECT_EQ(at->GetULong(u), kPyrSuccess);
    EXPECT_EQ(u, 0x00209056u);
    EXPECT_EQ(at->GetLong(s), kPyrNoValue);
    EXPECT_EQ(Text(at), u"00209056");

    const float f = 12.5f;
    const PyrDicomDataElement* fl =
        Put(0x0010, 0x9431, PyrVR::FL, std::string_view(reinterpret_cast<const char*>(&f), 4));
    EXPECT_EQ(Text(fl), u"12.500000");

    // A value too short for the index asked, and opaque VRs, never read past the bytes.
    const PyrDicomDataElement* us = Put(0x0028, 0x0010, PyrVR::US, std::string("\x01\x00\x02", 3));
    EXPECT_EQ(us->GetULong(u, PyrVR::Unset, 1), kPyrNoValue);
    EXPECT_EQ(us->GetMultiplicity(), 0u);
    EXPECT_EQ(Put(0x0009, 0x1003, PyrVR::OB, "abcd")->GetULong(u), kPyrNoValue);
    EXPECT_EQ(Text(dataset.GetRoot()->FindChild(0x0009, 0x1003), -1, kPyrNoValue), u"");
}

// A number held as text is its value whole, blanks aside, or no value: what a reader stops
// short of is not ignored, an IS is an integer, and a number must fit the type asked for.
TEST_F(ElementTest, TextNumbersAreReadWholeOrAreNoValue)
{
    const auto longValue = [&](std::string_view text, PyrDicomResult expected, int32_t want = 0) {
        const PyrDicomDataElement* e = Put(0x0020, 0x0013, PyrVR::IS, text);
        int32_t v = 0;
        EXPECT_EQ(e->GetLong(v), expected) << text;
        if (expected == kPyrSuccess) {
            EXPECT_EQ(v, want) << text;
        }
    };
    for (const char* text : {"64abc", "7.5", "", "   ", "0x10", "1e3x", "2147483648", "-2147483649", "--1", "+"}) {
        longValue(text, kPyrNoValue);
    }
    longValue(" -7 ", kPyrSuccess, -7);
    longValue("+2147483647", kPyrSuccess, 2147483647);
    longValue(std::string_view("12\0\0", 4), kPyrSuccess, 12);

    const auto doubleValue = [&](PyrDicomVR vr, std::string_view text, int32_t index, PyrDicomResult expected,
                                 double want = 0) {
        const PyrDicomDataElement* e = Put(0x0028, 0x1053, vr, text);
        double v = 0;
        EXPECT_EQ(e->GetDouble(v, PyrVR::Unset, index), expected) << text;
        if (expected == kPyrSuccess) {
            EXPECT_EQ(v, want) << text;
        }
    };
    for (const char* text : {"2.5abc", "0x10", "E+05", "1e400", "nan", "inf", "", "  ", "1,5", ".", "1e"}) {
        doubleValue(PyrVR::DS, text, 0, kPyrNoValue);
    }
    doubleValue(PyrVR::DS, " 2.5 ", 0, kPyrSuccess, 2.5);
    doubleValue(PyrVR::DS, "\\40 ", 0, kPyrNoValue);
    doubleValue(PyrVR::DS, "\\40 ", 1, kPyrSuccess, 40);
    doubleValue(PyrVR::DS, "1x\\40", 1, kPyrSuccess, 40);
    // An IS read as a double is any integer, however large, and still only an integer.
    doubleValue(PyrVR::IS, "4294967299", 0, kPyrSuccess, 4294967299.0);
    doubleValue(PyrVR::IS, " 100000000000000000000 ", 0, kPyrSuccess, 1e20);
    doubleValue(PyrVR::IS, "100000000000000000000.5", 0, kPyrNoValue);
    doubleValue(PyrVR::IS, "100000000000000000000e1", 0, kPyrSuccess, 1e21);
    doubleValue(PyrVR::IS, "7.5", 0, kPyrNoValue);

    // The values in order: one that is no number does not read, the next still does.
    const PyrDicomDataElement* list = Put(0x0020, 0x0032, PyrVR::DS, "E+05\\50 \\25x\\-1");
    PyrDicomValueReader reader(*list);
    double v = 0;
    EXPECT_EQ(reader.NextDouble(v), kPyrNoValue);
    EXPECT_EQ(reader.NextDouble(v), kPyrSuccess);
    EXPECT_EQ(v, 50.0);
    EXPECT_EQ(reader.NextDouble(v), kPyrNoValue);
    EXPECT_EQ(reader.NextDouble(v), kPyrSuccess);
    EXPECT_EQ(v, -1.0);
    // An IS list by the same rule, value by value.
    PyrDicomValueReader counts(*Put(0x0054, 0x0020, PyrVR::IS, "1.0\\2.5\\3e0 "));
    uint32_t n = 0;
    EXPECT_EQ(counts.NextULong(n), kPyrSuccess);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(counts.NextULong(n), kPyrNoValue);
    EXPECT_EQ(counts.NextULong(n), kPyrSuccess);
    EXPECT_EQ(n, 3u);
}

// IS texts in the shapes writers make, each read as the integer its digits are exactly, within
// the type read, or as no value: pydicom reads them so wherever its float does not hide a
// fraction or round ("3.0000000000000001", "1e-400", "9223372036854775807.0"), and there
// Python's decimal reading of the same text decides (tests/data/make_integer_readings.py).
TEST_F(ElementTest, IntegersWrittenAsDecimalsAreTheIntegersTheirDigitsAre)
{
    std::ifstream table(PYR_TEST_DATA_DIR "/integer_readings.txt", std::ios::binary);
    size_t lines = 0, parted = 0;
    for (std::string line; std::getline(table, line); ++lines) {
        const size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
        ASSERT_NE(tab2, std::string::npos) << line;
        const std::string pydicom = line.substr(0, tab1), exact = line.substr(tab1 + 1, tab2 - tab1 - 1);
        const std::string text = line.substr(tab2 + 1);
        const std::string shown = text.substr(0, 40) + (text.size() > 40 ? "..." : "");
        parted += pydicom != exact ? 1 : 0;
        // The integer within a type, when it is one that fits.
        const auto within = [&](auto& value) {
            return exact != "-" && std::from_chars(exact.data(), exact.data() + exact.size(), value).ec == std::errc();
        };
        int64_t wide = 0, value = 0;
        const bool fits = within(wide);
        EXPECT_EQ(PyrReadWholeInteger(text.data(), text.data() + text.size(), value), fits) << shown;
        EXPECT_EQ(value, fits ? wide : 0) << shown;
        const std::u16string units(text.begin(), text.end());
        value = 0;
        EXPECT_EQ(PyrReadWholeInteger(units.data(), units.data() + units.size(), value), fits) << shown;
        EXPECT_EQ(value, fits ? wide : 0) << shown;

        const PyrDicomDataElement* e = Put(0x0020, 0x0013, PyrVR::IS, text);
        int32_t s = 0, sWant = 0;
        EXPECT_EQ(e->GetLong(s) == kPyrSuccess, within(sWant)) << shown;
        EXPECT_EQ(s, sWant) << shown;
        uint32_t u = 0, uWant = 0;
        EXPECT_EQ(e->GetULong(u) == kPyrSuccess, within(uWant)) << shown;
        EXPECT_EQ(u, uWant) << shown;
        // As a double any integer a double holds, rounded once.
        const double dWant = exact == "-" ? 0 : std::strtod(exact.c_str(), nullptr);
        double d = 0;
        EXPECT_EQ(e->GetDouble(d) == kPyrSuccess, exact != "-" && std::isfinite(dWant)) << shown;
        EXPECT_EQ(d, std::isfinite(dWant) ? dWant : 0) << shown;
    }
    EXPECT_EQ(lines, 81u);
    EXPECT_EQ(parted, 10u);
}

// Of a value held only in part the rest is unknown: a number running on to the end of what is
// held may go on, and is no value; one ended by a backslash before it is whole.
TEST_F(ElementTest, ANumberRunningToTheEndOfAValueHeldInPartIsNoValue)
{
    const std::string digits = "1" + std::string(31, '0');
    for (PyrDicomVR vr : {PyrVR::DS, PyrVR::IS}) {
        PyrDicomDataElement* e = Put(0x0018, 0x0050, vr, "25\\" + digits);
        double whole = 0;
        ASSERT_EQ(e->GetDouble(whole, PyrVR::Unset, 1), kPyrSuccess);
        EXPECT_EQ(whole, 1e31);
        e->SetLength(e->GetBytesHeld() + 8);   // the file's value goes on past these bytes
        ASSERT_TRUE(e->HeldCut());
        double v = 0;
        EXPECT_EQ(e->GetDouble(v, PyrVR::Unset, 1), kPyrNoValue);
        EXPECT_EQ(e->GetDouble(v, PyrVR::Unset, 0), kPyrSuccess);
        EXPECT_EQ(v, 25.0);
        PyrDicomValueReader reader(*e);
        EXPECT_EQ(reader.NextDouble(v), kPyrSuccess);
        EXPECT_EQ(reader.NextDouble(v), kPyrNoValue);
    }
    PyrDicomDataElement* blanks = Put(0x0020, 0x0013, PyrVR::IS, "12    ");
    blanks->SetLength(blanks->GetBytesHeld() + 2);
    int32_t n = 0;
    EXPECT_EQ(blanks->GetLong(n), kPyrNoValue);
}

TEST_F(ElementTest, MultiplicityByRepresentation)
{
    EXPECT_EQ(Put(0x0028, 0x0010, PyrVR::US, "abcdef")->GetMultiplicity(), 3u);
    EXPECT_EQ(Put(0x0018, 0x9306, PyrVR::FD, "12345678abcdefgh")->GetMultiplicity(), 2u);
    EXPECT_EQ(Put(0x0008, 0x0060, PyrVR::CS, "  ")->GetMultiplicity(), 1u);
    EXPECT_EQ(Put(0x0040, 0xA160, PyrVR::UT, "a\\b")->GetMultiplicity(), 1u);
    EXPECT_EQ(Put(0x0008, 0x0070, PyrVR::LO, "")->GetMultiplicity(), 0u);
    EXPECT_EQ(dataset.GetRoot()->GetChildMultiplicity(0x0011, 0x0011), 0u);
}

TEST_F(ElementTest, CharsetTextFollowsTheParentChain)
{
    // The standard's Japanese example: the character set sits two levels up.
    Put(0x0008, 0x0005, PyrVR::CS, "\\ISO 2022 IR 87 ");
    PyrDicomDataElement* sequence = Put(0x0008, 0x1140, PyrVR::SQ, "");
    PyrDicomDataElement* item = NewItem();
    ASSERT_EQ(sequence->AddChildElement(item), kPyrSuccess);
    const PyrDicomDataElement* name =
        Put(0x0010, 0x0010, PyrVR::PN,
            "Yamada^Tarou=\x1B$B;3ED\x1B(B^\x1B$BB@O:\x1B(B=\x1B$B$d$^$@\x1B(B^\x1B$B$?$m$&\x1B(B", item);
    EXPECT_EQ(Text(name), u"Yamada^Tarou=山田^太郎=やまだ^たろう");

    // Leading blanks go for LO, not for PN; an element without a parent uses the default repertoire.
    EXPECT_EQ(Text(Put(0x0010, 0x0020, PyrVR::LO, "  PID  ")), u"PID");
    EXPECT_EQ(Text(Put(0x0010, 0x1001, PyrVR::PN, " A^B\\C ")), u" A^B\\C");
    PyrDicomDataElement* loose = dataset.CreateElement();
    loose->SetVR(PyrVR::LO);
    loose->AllocateValue(3, false);
    std::memcpy(loose->MutableValue(), "\xE9t\xE9", 3);
    EXPECT_EQ(Text(loose), u"été");
}

TEST_F(ElementTest, SettersEnforceRepresentationLimits)
{
    PyrDicomDataElement* root = dataset.GetRoot();
    EXPECT_EQ(root->SetChildString(0x0018, 0x1210, PyrString(u"ABCDEFGHIJKLMNOPQ")), kPyrBadArgument);   // SH, 17
    EXPECT_EQ(root->SetChildString(0x0008, 0x0020, PyrString(u"20240101-20241231")), kPyrSuccess);       // DA range
    EXPECT_EQ(root->SetChildString(0x0008, 0x0060, PyrString(u"CT\\MRX")), kPyrSuccess);
    EXPECT_EQ(root->SetChildString(0x0008, 0x0060, PyrString(u"ABCDEFGHIJKLMNOPQ"), PyrVR::Unset, 1), kPyrBadArgument);

    // Odd texts pad: a zero byte for UI, a blank for the rest, nothing when odd lengths are kept.
    ASSERT_EQ(root->SetChildString(0x0008, 0x0018, PyrString(u"1.2.3")), kPyrSuccess);
    const PyrDicomDataElement* uid = root->FindChild(0x0008, 0x0018);
    ASSERT_EQ(uid->GetLength(), 6u);
    EXPECT_EQ(uid->GetValue()[5], 0);
    const PyrDicomDataElement* modality = root->FindChild(0x0008, 0x0060);
    EXPECT_EQ(Stored(modality), "CT\\MRX");
    ASSERT_EQ(root->SetChildString(0x0008, 0x0060, PyrString(u"US"), PyrVR::Unset, 3), kPyrSuccess);
    EXPECT_EQ(Text(modality), u"CT\\MRX\\\\US");
    dataset.SetKeepOddLengths(true);
    ASSERT_EQ(root->SetChildString(0x0008, 0x0070, PyrString(u"ODD")), kPyrSuccess);
    EXPECT_EQ(root->FindChild(0x0008, 0x0070)->GetLength(), 3u);

    // Text units outside ASCII become blanks in plain-text VRs.
    ASSERT_EQ(root->SetChildString(0x0008, 0x0060, PyrString(u"A\u00e9B")), kPyrSuccess);
    EXPECT_EQ(Text(root->FindChild(0x0008, 0x0060)), u"A B");
}

TEST_F(ElementTest, NumericSettersGrowAndReplace)
{
    PyrDicomDataElement* root = dataset.GetRoot();
    ASSERT_EQ(root->SetChildString(0x0028, 0x0010, PyrString(u"1\\2\\3\\4")), kPyrSuccess);
    PyrDicomDataElement* rows = root->FindChild(0x0028, 0x0010);
    EXPECT_EQ(rows->GetVR(), PyrVR::US);
    EXPECT_EQ(rows->GetMultiplicity(), 4u);
    // Replacing the whole value must not leave old values behind.
    ASSERT_EQ(rows->SetString(PyrString(u"9")), kPyrSuccess);
    EXPECT_EQ(rows->GetMultiplicity(), 1u);
    EXPECT_EQ(rows->SetString(PyrString(u"12x"), PyrVR::Unset, 0), kPyrNoValue);
    ASSERT_EQ(rows->SetULong(7, PyrVR::Unset, 2), kPyrSuccess);
    EXPECT_EQ(Text(rows), u"9\\0\\7");

    PyrDicomDataElement* at = dataset.CreateElement();
    ASSERT_EQ(root->SetChildElement(at), kPyrSuccess);
    ASSERT_EQ(at->SetULong(0x00100020, PyrVR::AT, -1), kPyrSuccess);
    EXPECT_EQ(Stored(at), std::string("\x10\x00\x20\x00", 4));
    EXPECT_EQ(Text(at), u"00100020");
    ASSERT_EQ(at->SetString(PyrString(u"0028,0010")), kPyrBadArgument);
    ASSERT_EQ(at->SetString(PyrString(u"00280010")), kPyrSuccess);
    EXPECT_EQ(at->GetULongOr(0), 0x00280010u);

    PyrDicomDataElement* is = dataset.CreateElement();
    EXPECT_EQ(is->SetDouble(1e12, PyrVR::IS), kPyrBadArgument);   // no 32-bit integer holds it
    ASSERT_EQ(is->SetDouble(-41.9, PyrVR::IS), kPyrSuccess);
    EXPECT_EQ(is->GetLongOr(0), -41);
    PyrDicomDataElement* ds = dataset.CreateElement();
    ASSERT_EQ(ds->SetDouble(2.5, PyrVR::DS), kPyrSuccess);
    EXPECT_EQ(Text(ds), u"2.500000");
    EXPECT_EQ(ds->SetString(PyrString(u"x"), PyrVR::OB), kPyrNoValue);
    delete is;
    delete ds;
}

TEST_F(ElementTest, NegativeIndexIsReportedOnce)
{
    PyrLogRecorder writer;
    PyrDicomDataElement* e = dataset.CreateElement();
    EXPECT_EQ(e->SetULong(1, PyrVR::US, -2), kPyrBadArgument);
    ASSERT_EQ(writer.entries.size(), 1u);
    EXPECT_EQ(writer.entries[0].level, 0);
    EXPECT_EQ(writer.entries[0].code, 10);
    EXPECT_EQ(writer.entries[0].message, u"The index is negative.");
    delete e;
}

TEST_F(ElementTest, ChildrenStayOrderedAndAcyclic)
{
    PyrDicomDataElement* root = dataset.GetRoot();
    const uint32_t order[] = {0x0030, 0x0010, 0x0020, 0x0010};
    PyrDicomDataElement* last = nullptr;
    for (uint32_t number : order) {
        last = Put(0x0028, number, PyrVR::US, "ab");
    }
    Put(0x0008, 0x0060, PyrVR::CS, "CT");
    ASSERT_EQ(root->GetChildCount(), 4u);   // the repeated tag replaced the first
    EXPECT_EQ(root->GetChildAt(0)->GetGroup(), 0x0008u);
    EXPECT_EQ(root->GetChildAt(1)->GetElement(), 0x0010u);
    EXPECT_EQ(root->GetChildAt(1), last);
    EXPECT_EQ(root->GetChildAt(3)->GetElement(), 0x0030u);
    EXPECT_EQ(root->GetChildAt(4), nullptr);

    // Attaching the same child again, or under its own descendant, leaves the tree intact.
    ASSERT_EQ(root->SetChildElement(last), kPyrSuccess);
    EXPECT_EQ(root->GetChildCount(), 4u);
    PyrDicomDataElement* sequence = Put(0x0040, 0x0275, PyrVR::SQ, "");
    PyrDicomDataElement* item = NewItem();
    ASSERT_EQ(sequence->AddChildElement(item), kPyrSuccess);
    EXPECT_EQ(item->AddChildElement(sequence), kPyrBadArgument);
    EXPECT_EQ(item->SetChildElement(root), kPyrBadArgument);
    EXPECT_EQ(item->AddChildElement(item), kPyrBadArgument);
    PyrDicomDataset other;
    EXPECT_EQ(root->SetChildElement(other.CreateElement()), kPyrBadArgument);
    EXPECT_EQ(root->SetChildElement(nullptr), kPyrBadArgument);

    // Repeated item tags are kept in arrival order.
    PyrDicomDataElement* second = NewItem();
    ASSERT_EQ(sequence->AddChildElement(second), kPyrSuccess);
    EXPECT_EQ(sequence->GetChildAt(0), item);
    EXPECT_EQ(sequence->GetChildAt(1), second);

    // Moving to a new group re-sorts the element under its parent.
    last->SetGroup(0x0007);
    EXPECT_EQ(root->GetChildAt(0), last);
    EXPECT_EQ(root->FindChild(0x0007, 0x0010), last);
    EXPECT_EQ(root->FindChild(0x0028, 0x0010), nullptr);
}

TEST_F(ElementTest, SetChildReplacesATagThatArrivedOutOfOrder)
{
    // AddChildElement keeps arrival order, so the group reads 5, 3: no longer sorted.
    PyrDicomDataElement* item = dataset.CreateElement();
    auto make = [&](uint32_t number) {
        PyrDicomDataElement* e = dataset.CreateElement();
        e->SetElement(number);
        EXPECT_EQ(e->SetGroup(0x0028), kPyrSuccess);
        return e;
    };
    ASSERT_EQ(item->AddChildElement(make(5)), kPyrSuccess);
    ASSERT_EQ(item->AddChildElement(make(3)), kPyrSuccess);
    PyrDicomDataElement* replacement = make(3);
    ASSERT_EQ(item->SetChildElement(replacement), kPyrSuccess);
    ASSERT_EQ(item->GetChildCount(), 2u);   // replaced where it stood, not added
    EXPECT_EQ(item->GetChildAt(0)->GetElement(), 5u);
    EXPECT_EQ(item->GetChildAt(1), replacement);
    EXPECT_EQ(item->FindChild(0x0028, 3), replacement);
    // A new tag still goes before the first larger one.
    PyrDicomDataElement* four = make(4);
    ASSERT_EQ(item->SetChildElement(four), kPyrSuccess);
    ASSERT_EQ(item->GetChildCount(), 3u);
    EXPECT_EQ(item->GetChildAt(0), four);
    EXPECT_EQ(item->FindChild(0x0028, 4), four);
    // Nor is the last one taken for the largest: 5 stands first and is replaced there.
    PyrDicomDataElement* five = make(5);
    ASSERT_EQ(item->SetChildElement(five), kPyrSuccess);
    ASSERT_EQ(item->GetChildCount(), 3u);
    EXPECT_EQ(item->GetChildAt(1), five);
    delete item;
}

TEST_F(ElementTest, SettersReplaceTheValueAtAnIndex)
{
    PyrDicomDataElement* root = dataset.GetRoot();
    // Text: the value at the index is replaced, the others stay.
    ASSERT_EQ(root->SetChildString(0x0008, 0x0008, PyrString(u"ORIGINAL\\PRIMARY\\AXIAL")), kPyrSuccess);
    PyrDicomDataElement* type = root->FindChild(0x0008, 0x0008);
    ASSERT_EQ(type->SetString(PyrString(u"SECONDARY"), PyrVR::Unset, 1), kPyrSuccess);
    EXPECT_EQ(Text(type), u"ORIGINAL\\SECONDARY\\AXIAL");
    EXPECT_EQ(type->GetLength(), 24u);

    // SetLong: signed 32 and 16 bits as stored bytes, and into text VRs in decimal.
    PyrDicomDataElement* sl = Put(0x0018, 0x6020, PyrVR::SL, std::string("\x01\x00\x00\x00\x02\x00\x00\x00", 8));
    ASSERT_EQ(sl->SetLong(-70000, PyrVR::Unset, 1), kPyrSuccess);
    EXPECT_EQ(Stored(sl), std::string("\x01\x00\x00\x00\x90\xEE\xFE\xFF", 8));
    PyrDicomDataElement* ss = Put(0x0018, 0x9219, PyrVR::SS, "");
    ASSERT_EQ(ss->SetLong(-3, PyrVR::Unset, -1), kPyrSuccess);
    EXPECT_EQ(Stored(ss), std::string("\xFD\xFF", 2));
    PyrDicomDataElement* is = Put(0x0020, 0x0013, PyrVR::IS, "1\\2\\3");
    ASSERT_EQ(is->SetLong(-42, PyrVR::Unset, 2), kPyrSuccess);
    EXPECT_EQ(Text(is), u"1\\2\\-42");
    EXPECT_EQ(is->SetLong(1, PyrVR::OB), kPyrNoValue);

    // Floats: FL narrows to single precision, FD keeps the double; both grow to the index.
    PyrDicomDataElement* fl = Put(0x0010, 0x9431, PyrVR::FL, "");
    ASSERT_EQ(fl->SetDouble(0.1, PyrVR::Unset, 1), kPyrSuccess);
    ASSERT_EQ(fl->GetLength(), 8u);
    float stored[2];
    std::memcpy(stored, fl->GetValue(), 8);
    EXPECT_EQ(stored[0], 0.0f);
    EXPECT_EQ(stored[1], 0.1f);
    ASSERT_EQ(fl->SetString(PyrString(u"2.5"), PyrVR::Unset, 0), kPyrSuccess);
    EXPECT_EQ(Text(fl), u"2.500000\\0.100000");
    PyrDicomDataElement* fd = Put(0x0018, 0x9306, PyrVR::FD, "");
    ASSERT_EQ(fd->SetDouble(0.1), kPyrSuccess);
    double d = 0;
    std::memcpy(&d, fd->GetValue(), 8);
    EXPECT_EQ(d, 0.1);
    ASSERT_EQ(fd->SetDouble(-1.5, PyrVR::Unset, 2), kPyrSuccess);
    EXPECT_EQ(fd->GetMultiplicity(), 3u);
    ASSERT_EQ(fd->SetDouble(7.0, PyrVR::Unset, 0), kPyrSuccess);   // replaced in place
    EXPECT_EQ(Text(fd), u"7.000000\\0.000000\\-1.500000");
    // DS past 10^8 switches to the exponent form.
    PyrDicomDataElement* ds = Put(0x0018, 0x0050, PyrVR::DS, "");
    ASSERT_EQ(ds->SetDouble(123456789.0), kPyrSuccess);
    EXPECT_EQ(Text(ds), u"1.234568e+08");
    EXPECT_EQ(ds->SetDouble(1.0, PyrVR::Unset, -2), kPyrBadArgument);
}

TEST_F(ElementTest, ValueStorageModes)
{
    struct Allocator : PyrIValueAllocator {
        bool Allocate(void** handle, PyrIRelocationEvent* s, uint32_t size) override
        {
            blocks.emplace_back(size, '\0');
            *handle = blocks.back().data();
            sink = s;
            return true;
        }
        void Free(void*) override { ++freed; }
        void Resolve(void** handle) override { *handle = moved.data(); }
        std::vector<std::string> blocks;
        std::string moved = std::string(16, 'm');
        PyrIRelocationEvent* sink = nullptr;
        int freed = 0;
    } allocator;
    allocator.blocks.reserve(8);

    PyrDicomDatasetOptions options;
    options.valueAllocator = &allocator;
    options.allocatorThreshold = 8;
    PyrDicomDataset withAllocator(&options);
    PyrDicomDataElement* e = withAllocator.CreateElement();
    ASSERT_EQ(e->AllocateValue(4, false), kPyrSuccess);
    EXPECT_EQ(e->GetValueMode(), PyrValueMode::Inline);
    ASSERT_EQ(e->AllocateValue(8, false), kPyrSuccess);
    EXPECT_EQ(e->GetValueMode(), PyrValueMode::Heap);
    ASSERT_EQ(e->AllocateValue(16, false), kPyrSuccess);
    EXPECT_EQ(e->GetValueMode(), PyrValueMode::External);
    ASSERT_NE(allocator.sink, nullptr);
    EXPECT_EQ(allocator.sink->Relocated(), allocator.moved.data());
    EXPECT_EQ(e->GetValue(), reinterpret_cast<const uint8_t*>(allocator.moved.data()));

    ASSERT_EQ(e->SetValueLocation(PyrString(u"/media/cd/IMG1"), 1234, 5000), kPyrSuccess);
    EXPECT_EQ(allocator.freed, 1);
    EXPECT_EQ(e->GetValueMode(), PyrValueMode::InSource);
    EXPECT_EQ(e->GetValue(), nullptr);
    EXPECT_EQ(e->GetLength(), 5000u);
    EXPECT_EQ(e->GetValuePosition(), 1234);
    EXPECT_EQ(e->GetStringValueOr(PyrString(u"x"), PyrVR::US), u"");
    EXPECT_EQ(e->GetULongOr(99, PyrVR::US), 99u);
    EXPECT_EQ(e->Unmap(), kPyrSuccess);

    // Clearing a value that stays in the source never touches the file it names.
    ASSERT_EQ(e->Clear(), kPyrSuccess);
    EXPECT_EQ(e->GetLength(), 0u);
    EXPECT_TRUE(e->GetSourcePath().IsEmpty());
    EXPECT_EQ(e->Unmap(), kPyrBadArgument);
}

// Every value of a file is an element: a directory of 200,000 records holds some 1.5
// million, so each byte of an element is 1.5 MB there. Leaves, most of them, hold no
// children and pay for no group map.
TEST_F(ElementTest, ElementsStayCompactAndLeavesHoldNoChildren)
{
    EXPECT_LE(sizeof(PyrDicomDataElement), 128u);
    PyrDicomDataElement* leaf = Put(0x0008, 0x0060, PyrVR::CS, "CT");
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->GetChildCount(), 0u);
    EXPECT_EQ(leaf->GetChildAt(0), nullptr);
    EXPECT_EQ(leaf->FindChild(0x0008, 0x0060), nullptr);
    // An item's first child makes the map; the last one leaving empties it, and the next
    // comes back.
    PyrDicomDataElement* item = NewItem();
    ASSERT_EQ(Put(0x0008, 0x0050, PyrVR::CS, "SQ")->AddChildElement(item), kPyrSuccess);
    EXPECT_EQ(item->GetChildAt(0), nullptr);
    PyrDicomDataElement* child = Put(0x0010, 0x0010, PyrVR::PN, "AB", item);
    EXPECT_EQ(item->GetChildAt(0), child);
    EXPECT_EQ(item->FindChild(0x0010, 0x0010), child);
    delete child;
    EXPECT_EQ(item->GetChildCount(), 0u);
    EXPECT_EQ(item->GetChildAt(0), nullptr);
    PyrDicomDataElement* next = Put(0x0020, 0x0013, PyrVR::IS, "1 ", item);
    EXPECT_EQ(item->FindChild(0x0020, 0x0013), next);
}

TEST_F(ElementTest, DeletingTheRootLeavesAUsableDataset)
{
    Put(0x0008, 0x0060, PyrVR::CS, "CT");
    delete dataset.GetRoot();
    EXPECT_EQ(dataset.GetRoot(), nullptr);
    EXPECT_EQ(dataset.FindElement(0x0008, 0x0060), nullptr);
    EXPECT_EQ(dataset.GetString(0x0008, 0x0060, PyrString(u"none")), u"none");
    ASSERT_EQ(dataset.Reset(), kPyrSuccess);
    EXPECT_NE(dataset.GetRoot(), nullptr);
}

}   // namespace
