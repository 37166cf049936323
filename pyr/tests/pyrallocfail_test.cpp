// Every allocation of an operation is refused in turn: the operation must answer with a
// result code (out of memory when it could not finish), never throw, and leave no block
// behind. Scenarios hold no gtest macro while armed, since gtest allocates too.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pyr/pyrcharset.h"
#include "pyr/pyrdicomdataset.h"
#include "pyrfailingnew.h"
#include "pyrtestsource.h"

namespace {

struct Outcome {
    PyrDicomResult result = kPyrSuccess;   // the first result other than success
    bool right = true;                     // everything read back as expected (on failure: as before)
};

// Runs the scenario with its 1st, 2nd, ... allocation refused until a run sees no
// refusal; answers the number of allocations so refused.
template <class Scenario>
uint64_t Sweep(const char* name, Scenario scenario)
{
    SCOPED_TRACE(name);
    // Once unarmed first: caches that live on (converters, locales) are not leaks.
    const Outcome warm = scenario();
    EXPECT_EQ(warm.result, kPyrSuccess);
    EXPECT_TRUE(warm.right);
    for (uint64_t n = 1;; ++n) {
        const int64_t before = PyrFailingNew::LiveBlocks();
        Outcome outcome;
        bool threw = false;
        PyrFailingNew::Arm(n);
        try {
            outcome = scenario();
        } catch (...) {
            threw = true;
        }
        const bool fired = PyrFailingNew::Fired();
        PyrFailingNew::Disarm();
        const int64_t leaked = PyrFailingNew::LiveBlocks() - before;

        EXPECT_FALSE(threw) << "allocation " << n;
        EXPECT_EQ(leaked, 0) << "allocation " << n;
        // A refusal may be got round (a retry, a smaller fallback), but never turned into
        // a success with a wrong result.
        if (outcome.result == kPyrSuccess) {
            EXPECT_TRUE(outcome.right) << "allocation " << n;
        } else {
            EXPECT_TRUE(fired);
            EXPECT_EQ(outcome.result, kPyrOutOfMemory) << "allocation " << n;
            EXPECT_TRUE(outcome.right) << "allocation " << n;
        }
        if (!fired || ::testing::Test::HasFailure()) {
            std::printf("[ swept    ] %s: %llu allocations\n", name, static_cast<unsigned long long>(n - 1));
            return n - 1;
        }
    }
}

Outcome Fail(PyrDicomResult r)
{
    Outcome o;
    o.result = r;
    return o;
}

// Counts without allocating, as it runs while allocations are refused.
uint32_t CountElements(const PyrDicomDataElement* e)
{
    uint32_t n = e->GetChildCount();
    for (uint32_t i = 0; i < e->GetChildCount(); ++i) {
        n += CountElements(e->GetChildAt(i));
    }
    return n;
}

// Each step runs only while the ones before it succeeded; the first failure stays.
struct Steps {
    template <class Operation>
    void operator()(Operation&& operation)
    {
        result = result == kPyrSuccess ? operation() : result;
    }
    PyrDicomResult result = kPyrSuccess;
};

uint64_t g_swept = 0;

class AllocationFailure : public ::testing::Test {
protected:
    static void TearDownTestSuite()
    {
        std::printf("[ swept    ] %llu allocations in all, each refused in its own run\n",
                    static_cast<unsigned long long>(g_swept));
    }
};

TEST_F(AllocationFailure, DatasetReading)
{
    for (const char* file : {"ct_explicit_le.dcm", "ct_implicit_le.dcm", "ct_explicit_be.dcm",
                             "ct_undefined_lengths.dcm", "ct_rle.dcm", "DICOMDIR"}) {
        PyrByteSource source(PyrReadWholeFile(std::string(PYR_TEST_DATA_DIR "/") + file));
        ASSERT_GT(source.Size(), 0);
        uint32_t expected = 0;
        uint32_t bits = 0;
        {
            PyrDicomDataset whole;
            ASSERT_EQ(source.ReadInto(whole), kPyrSuccess);
            expected = CountElements(whole.GetRoot());
            bits = whole.GetULong(0x0028, 0x0100, 0);
        }
        g_swept += Sweep(file, [&] {
            source.MoveTo(0);
            PyrDicomDataset dataset;
            const PyrDicomResult r = source.ReadInto(dataset);
            if (r != kPyrSuccess) {
                return Fail(r);
            }
            Outcome o;
            o.right = CountElements(dataset.GetRoot()) == expected && dataset.GetULong(0x0028, 0x0100, 0) == bits;
            return o;
        });
    }
}

// Encapsulated Pixel Data of 300 fragments, so that the list grows several times while read.
TEST_F(AllocationFailure, FragmentList)
{
    std::string file(128, '\0');
    const auto u16 = [&](uint32_t v) { file.append({char(v & 0xFF), char(v >> 8)}); };
    const auto u32 = [&](uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    file += "DICM";
    u16(0x0002);
    u16(0x0010);
    file += "UI";
    u16(20);
    file += std::string("1.2.840.10008.1.2.5", 20);
    u16(0x7FE0);
    u16(0x0010);
    file += "OB";
    u16(0);
    u32(0xFFFFFFFF);
    for (uint32_t i = 0; i <= 300; ++i) {
        u16(0xFFFE);
        u16(0xE000);
        u32(i == 0 ? 0 : 2);
        file += i == 0 ? "" : "ab";
    }
    u16(0xFFFE);
    u16(0xE0DD);
    u32(0);
    PyrByteSource source(std::vector<uint8_t>(file.begin(), file.end()));
    g_swept += Sweep("fragments", [&] {
        source.MoveTo(0);
        PyrDicomDataset dataset;
        const PyrDicomResult r = source.ReadInto(dataset);
        if (r != kPyrSuccess) {
            return Fail(r);
        }
        Outcome o;
        o.right = dataset.GetPixelFragments().Size() == 300 && dataset.GetPixelFragments().Length(299) == 2;
        return o;
    });
}

TEST_F(AllocationFailure, Getters)
{
    PyrByteSource source(PyrReadWholeFile(PYR_TEST_DATA_DIR "/ct_explicit_le.dcm"));
    PyrDicomDataset dataset;
    ASSERT_EQ(source.ReadInto(dataset), kPyrSuccess);
    std::vector<const PyrDicomDataElement*> all;
    for (const PyrWalked& w : PyrFlatten(dataset.GetRoot())) {
        all.push_back(w.element);
    }
    struct Reference {
        PyrString whole;
        PyrString second;
        PyrDicomResult wholeResult;
        PyrDicomResult secondResult;
        uint32_t multiplicity;
        double number;
        PyrDicomResult numberResult;
    };
    std::vector<Reference> expected;
    for (const PyrDicomDataElement* e : all) {
        Reference ref;
        ref.wholeResult = e->GetStringValue(ref.whole);
        ref.secondResult = e->GetStringValue(ref.second, PyrVR::Unset, 1);
        ref.multiplicity = e->GetMultiplicity();
        ref.numberResult = e->GetDouble(ref.number);
        expected.push_back(ref);
    }
    ASSERT_EQ(dataset.GetString(0x0010, 0x0010, PyrString()), u"Yamada^Tarou=山田^太郎=やまだ^たろう");

    g_swept += Sweep("getters", [&] {
        Outcome o;
        for (size_t i = 0; i < all.size(); ++i) {
            const Reference& ref = expected[i];
            PyrString whole;
            PyrString second;
            double number = 0;
            const PyrDicomResult results[] = {all[i]->GetStringValue(whole),
                                              all[i]->GetStringValue(second, PyrVR::Unset, 1),
                                              all[i]->GetDouble(number)};
            const PyrDicomResult wanted[] = {ref.wholeResult, ref.secondResult, ref.numberResult};
            for (int k = 0; k < 3; ++k) {
                if (results[k] == kPyrOutOfMemory && wanted[k] != kPyrOutOfMemory) {
                    return Fail(kPyrOutOfMemory);
                }
                o.right = o.right && results[k] == wanted[k];
            }
            o.right = o.right && whole == ref.whole && second == ref.second &&
                      (ref.numberResult != kPyrSuccess || number == ref.number);
            const uint32_t multiplicity = all[i]->GetMultiplicity();
            if (multiplicity != ref.multiplicity) {
                return Fail(multiplicity == 0 ? kPyrOutOfMemory : kPyrFailed);
            }
        }
        return o;
    });
}

TEST_F(AllocationFailure, ElementSetters)
{
    g_swept += Sweep("setters", [] {
        PyrDicomDataset dataset;
        PyrDicomDataElement* root = dataset.GetRoot();
        if (root == nullptr) {
            return Fail(kPyrOutOfMemory);
        }
        const char16_t* name = u"Yamada^Tarou=山田^太郎=やまだ^たろう";
        Steps step;
        step([&] { return root->SetChildString(0x0008, 0x0005, PyrString(u"\\ISO 2022 IR 87")); });
        step([&] { return root->SetChildString(0x0010, 0x0010, PyrString(name)); });
        step([&] { return root->SetChildString(0x0008, 0x0008, PyrString(u"ORIGINAL\\PRIMARY")); });
        step([&] { return root->SetChildString(0x0008, 0x0008, PyrString(u"HELICAL"), PyrVR::Unset, 3); });
        step([&] { return root->SetChildString(0x0028, 0x0010, PyrString(u"1\\2\\3")); });
        step([&] { return root->SetChildString(0x0020, 0x9165, PyrString(u"00209056")); });
        step([&] { return root->SetChildString(0x0018, 0x9306, PyrString(u"0.625\\-1.5")); });
        step([&] { return root->SetChildString(0x0020, 0x0032, PyrString(u"-125.5\\-130\\45.25")); });
        step([&] { return root->FindChild(0x0028, 0x0010)->SetULong(7, PyrVR::Unset, 4); });
        step([&] { return root->FindChild(0x0028, 0x0010)->SetLong(-2, PyrVR::SS, 1); });
        step([&] { return root->FindChild(0x0018, 0x9306)->SetDouble(2.25, PyrVR::FD, 2); });
        step([&] { return root->FindChild(0x0020, 0x0032)->SetDouble(9.5, PyrVR::DS, 1); });
        // Items of a sequence, and a repeated tag that must replace.
        PyrDicomDataElement* sequence = nullptr;
        auto make = [&](uint32_t group, uint32_t element) {
            PyrDicomDataElement* e = dataset.CreateElement();
            if (e == nullptr) {
                return static_cast<PyrDicomResult>(kPyrOutOfMemory);
            }
            e->SetElement(element);
            sequence = group == 0x0008 ? e : sequence;
            const PyrDicomResult moved = e->SetGroup(group);
            return moved != kPyrSuccess ? moved
                   : group == 0x0008    ? root->SetChildElement(e)
                                        : sequence->AddChildElement(e);
        };
        step([&] { return make(0x0008, 0x1140); });
        for (int i = 0; i < 3; ++i) {
            step([&] { return make(0xFFFE, 0xE000); });
            step([&] {
                return sequence->GetChildAt(static_cast<uint32_t>(i))
                    ->SetChildString(0x0008, 0x1155, PyrString(u"1.2.3"));
            });
        }
        if (step.result != kPyrSuccess) {
            return Fail(step.result);
        }
        PyrFailingNew::Disarm();   // reading back checks, it is not under test
        Outcome o;
        PyrString text;
        o.right = root->GetChildCount() == 8 && sequence->GetChildCount() == 3 &&
                  root->GetChildString(0x0010, 0x0010, text) == kPyrSuccess && text == name &&
                  root->GetChildString(0x0008, 0x0008, text) == kPyrSuccess &&
                  text == u"ORIGINAL\\PRIMARY\\\\HELICAL" &&
                  root->GetChildString(0x0028, 0x0010, text) == kPyrSuccess && text == u"1\\-2\\3\\0\\7" &&
                  root->GetChildString(0x0018, 0x9306, text) == kPyrSuccess &&
                  text == u"0.625000\\0.000000\\2.250000" &&   // FD text takes its first number
                  root->GetChildString(0x0020, 0x0032, text) == kPyrSuccess && text == u"-125.5\\9.500000\\45.25";
        return o;
    });
}

// A setter that runs out of memory leaves the value it had.
TEST_F(AllocationFailure, FailedSettersKeepTheValue)
{
    const std::string name = "Yamada^Tarou=\x1B$B;3ED\x1B(B^\x1B$BB@O:\x1B(B";
    const std::string type = std::string("A\\B\\C ");
    const std::string rows = std::string("\x01\x00\x02\x00\x03\x00", 6);
    auto holds = [](const PyrDicomDataElement* e, const std::string& bytes) {
        return e->GetLength() == bytes.size() && std::memcmp(e->GetValue(), bytes.data(), bytes.size()) == 0;
    };
    g_swept += Sweep("failed setters", [&] {
        PyrDicomDataset dataset;
        PyrDicomDataElement* root = dataset.GetRoot();
        if (root == nullptr) {
            return Fail(kPyrOutOfMemory);
        }
        Steps step;
        step([&] { return root->SetChildString(0x0008, 0x0005, PyrString(u"\\ISO 2022 IR 87")); });
        step([&] { return root->SetChildString(0x0010, 0x0010, PyrString(u"Yamada^Tarou=山田^太郎")); });
        step([&] { return root->SetChildString(0x0008, 0x0008, PyrString(u"A\\B\\C")); });
        step([&] { return root->SetChildString(0x0028, 0x0010, PyrString(u"1\\2\\3")); });
        if (step.result != kPyrSuccess) {
            return Fail(step.result);
        }
        Outcome o;
        o.right = holds(root->FindChild(0x0010, 0x0010), name) && holds(root->FindChild(0x0008, 0x0008), type) &&
                  holds(root->FindChild(0x0028, 0x0010), rows);
        struct Change {
            PyrDicomDataElement* element;
            const char16_t* text;
            int32_t index;
            const std::string& before;
        };
        const Change changes[] = {
            {root->FindChild(0x0010, 0x0010), u"Yamada^Tarou=やまだ^たろう", -1, name},
            {root->FindChild(0x0008, 0x0008), u"X", 1, type},
            {root->FindChild(0x0028, 0x0010), u"7\\8", -1, rows},
        };
        for (const Change& c : changes) {
            const PyrDicomResult changed = c.element->SetString(PyrString(c.text), PyrVR::Unset, c.index);
            if (changed != kPyrSuccess) {
                o.result = changed;
                o.right = o.right && holds(c.element, c.before);
                return o;
            }
        }
        return o;
    });
}

TEST_F(AllocationFailure, CharsetConversion)
{
    struct Case {
        const char16_t* charset;
        std::string bytes;
        const char16_t* text;
        PyrDicomResult decoded = kPyrSuccess;   // undesignated G1 bytes decode with a warning, and do not encode back
    };
    const std::vector<Case> cases = {
        {u"\\ISO 2022 IR 87", "Yamada^Tarou=\x1B$B;3ED\x1B(B^\x1B$BB@O:\x1B(B=\x1B$B$d$^$@\x1B(B^\x1B$B$?$m$&\x1B(B",
         u"Yamada^Tarou=山田^太郎=やまだ^たろう"},
        {u"ISO 2022 IR 13\\ISO 2022 IR 87", "\xD4\xCF\xC0\xDE^\xC0\xDB\xB3=\x1B$B;3ED\x1B(J^\x1B$BB@O:\x1B(J",
         u"ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎"},
        {u"\\ISO 2022 IR 149", "Hong^Gildong=\x1B$)C\xFB\xF3^\x1B$)C\xD1\xCE\xD4\xD7", u"Hong^Gildong=洪^吉洞"},
        {u"\\ISO 2022 IR 171\\ISO 2022 IR 172\\ISO 2022 IR 183", "Chen^\x1B$)G\xC4\xA1\x1B$)H\xA1\xA1=\x1B$)I\xA1\xA1",
         u"Chen^\u4E00\u4E42=\u4E28"},
        {u"ISO_IR 192", "Wang^XiaoDong=\xE7\x8E\x8B^\xE5\xB0\x8F\xE6\x9D\xB1", u"Wang^XiaoDong=王^小東"},
        {u"\\ISO 2022 IR 149", "Hong^Gildong=\xC8\xAB^\xB1\xE6\xB5\xBF", u"Hong^Gildong=홍^길동", kPyrUndesignatedText},
        {u"\\ISO 2022 IR 87", "Yamada^\x1B$B;3ED\x1B(B^\x8E\x52", u"Yamada^山田^\uFFFDR", kPyrUndesignatedText},
    };
    g_swept += Sweep("charset conversion", [&] {
        Outcome o;
        for (const Case& c : cases) {
            const PyrString charset(c.charset);
            const PyrString given(c.text);
            PyrString text;
            std::string bytes;
            const PyrDicomResult decoded =
                PyrDicomLib::ConvertDicomCharEncodeToUtf16(text, c.bytes, charset, kPyrVR_PN, false);
            if (decoded == kPyrOutOfMemory) {
                return Fail(decoded);
            }
            o.right = o.right && decoded == c.decoded && text == c.text;
            if (c.decoded != kPyrSuccess) {
                continue;
            }
            if (const PyrDicomResult r =
                    PyrDicomLib::ConvertUtf16ToDicomCharEncode(bytes, given, charset, kPyrVR_PN, false);
                r != kPyrSuccess) {
                return Fail(r);
            }
            o.right = o.right && bytes == c.bytes;
        }
        return o;
    });
}

}   // namespace

// A file that repeats one tag keeps one element for it: the memory of each replaced element
// serves the next, so such a file costs no more than its last element.
TEST(DatasetMemory, RepeatedTagsReuseTheirElementsMemory)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 20000; ++i) {
        // (0028,0010), implicit VR, 2 bytes: the value fits in the element itself.
        const uint8_t element[] = {0x28, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
        bytes.insert(bytes.end(), std::begin(element), std::end(element));
    }
    PyrByteSource source(bytes);
    const int64_t before = PyrFailingNew::LiveBlocks();
    PyrDicomDataset dataset;
    ASSERT_EQ(source.ReadInto(dataset), kPyrSuccess);
    EXPECT_EQ(dataset.GetRoot()->GetChildCount(), 1u);
    // 20,000 elements kept apart would take some 4 MB, in a handful of growing blocks.
    EXPECT_LE(PyrFailingNew::LiveBlocks() - before, 2);
}
