#include "pyr/pyrdicomdictionary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pyr/pyrstring.h"

namespace {

PyrString NameOf(uint32_t group, uint32_t element)
{
    const PyrDicomDictionaryEntry* record = nullptr;
    EXPECT_EQ(PyrDicomDictionary::Lookup(nullptr, group, element, &record), kPyrSuccess);
    return record != nullptr ? PyrString(record->name) : PyrString();
}

TEST(PyrDicomDictionary, VRsOfTellingTags)
{
    EXPECT_EQ(PyrDicomDictionary::GetVR(nullptr, 0x0010, 0x0010), kPyrVR_PN);
    EXPECT_EQ(PyrDicomDictionary::GetVR(nullptr, 0x7FE0, 0x0010), kPyrVR_OB);   // first of OB, OW
    EXPECT_EQ(PyrDicomDictionary::GetVR(nullptr, 0x0028, 0x3002), kPyrVR_SS);   // first of SS, US
    EXPECT_EQ(PyrDicomDictionary::GetVR(nullptr, 0xFFFE, 0xE000), kPyrVR_UN);
    EXPECT_EQ(PyrDicomDictionary::GetVR(nullptr, 0x0009, 0x0010), kPyrVR_UN);   // private
    EXPECT_EQ(PyrDicomDictionary::GetVR(nullptr, 0x0010, 0x9999), kPyrVR_UN);   // known group, unknown element
    EXPECT_EQ(NameOf(0x0010, 0x0010), u"Patient's Name");
    EXPECT_EQ(NameOf(0x0002, 0x0010), u"Transfer Syntax UID");
}

TEST(PyrDicomDictionary, RepeatingCurveAndOverlayGroups)
{
    EXPECT_EQ(NameOf(0x6002, 0x3000), u"Overlay Data");
    EXPECT_EQ(NameOf(0x601E, 0x0010), u"Overlay Rows");
    EXPECT_EQ(PyrDicomDictionary::GetVR(nullptr, 0x6020, 0x0010), kPyrVR_UN);   // past 601E
    EXPECT_EQ(PyrDicomDictionary::GetVR(nullptr, 0x5010, 0x0005), kPyrVR_US);
    EXPECT_EQ(NameOf(0x5001, 0x0005), u"Curve Dimensions");
    EXPECT_EQ(PyrDicomDictionary::GetVR(nullptr, 0x5020, 0x0005), kPyrVR_UN);
}

TEST(PyrDicomDictionary, RowsOfLaterEditionsAreLeftOut)
{
    EXPECT_EQ(NameOf(0x0062, 0x0001), u"Segmentation Type");
    EXPECT_EQ(NameOf(0x0018, 0x9530), u"X-Ray 3D Reconstruction Sequence");
    EXPECT_EQ(NameOf(0x0028, 0x7FE0), u"Pixel Data Provider URL");
    for (auto [group, element] : {std::pair{0x0040u, 0x0512u},
                                  {0x0040u, 0x0560u},
                                  {0x0008u, 0x1164u},
                                  {0x0066u, 0x0001u},
                                  {0x0022u, 0x1001u},
                                  {0x0068u, 0x6210u}}) {
        EXPECT_TRUE(NameOf(group, element).IsEmpty()) << std::hex << group << "," << element;
    }
}

TEST(PyrDicomDictionary, LocalRecordOverridesAndIsUsedUnchanged)
{
    PyrDicomLocalDictionary local = {{0x0010, 0x0010, 1, 0, 0, kPyrVR_LO, 0, 0, 0, u"Local Name"},
                                     {0x0009, 0x1001, 1, 0, 0, 0, 0, 0, 0, u"Private Without VR"}};
    EXPECT_EQ(PyrDicomDictionary::GetVR(&local, 0x0010, 0x0010), kPyrVR_LO);
    EXPECT_EQ(PyrDicomDictionary::GetVR(&local, 0x0009, 0x1001), 0u);
    EXPECT_EQ(PyrDicomDictionary::GetVR(&local, 0x0010, 0x0020), PyrMakeVR('L', 'O'));   // main table
}

TEST(PyrDicomDictionary, TablesAndIndexAgree)
{
    const PyrDicomDictionaryIndex& index = PyrDicomDictionary::Index();
    EXPECT_EQ(PyrDicomDictionary::MainTable()[0].group, 0x0000u);
    EXPECT_EQ(PyrDicomDictionary::MainTable()[index.mainCount - 1].group, 0xFFFEu);
    EXPECT_EQ(PyrDicomDictionary::MainTable()[index.mainCount].name, nullptr);
    size_t withoutVR = 0;
    for (uint32_t i = 0; i < index.mainCount; ++i) {
        const PyrDicomDictionaryEntry& row = PyrDicomDictionary::MainTable()[i];
        withoutVR += row.vr == 0 ? 1 : 0;
        // Every row is found again through the index.
        const PyrDicomDictionaryEntry* found = nullptr;
        PyrDicomDictionary::Lookup(nullptr, row.group, row.element, &found);
        ASSERT_NE(found, nullptr) << std::hex << row.group << "," << row.element;
        EXPECT_EQ(found->name, row.name);
    }
    EXPECT_EQ(withoutVR, 3u);

    PyrDicomDictionaryIndex rebuilt;
    EXPECT_EQ(PyrDicomDictionary::BuildIndex(rebuilt), kPyrSuccess);
    EXPECT_EQ(rebuilt.groups.size(), index.groups.size());
    EXPECT_EQ(rebuilt.mainCount, index.mainCount);
}

// The item rows keep no VR in the table and answer UN, from any number of threads at once.
TEST(PyrDicomDictionary, LookupsLeaveTheTableAloneAndRunInParallel)
{
    const PyrDicomDictionaryEntry* item = nullptr;
    PyrDicomDictionary::Lookup(nullptr, 0xFFFE, 0xE000, &item);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->vr, kPyrVR_UN);
    EXPECT_EQ(PyrDicomDictionary::MainTable()[PyrDicomDictionary::Index().mainCount - 3].vr, 0u);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (PyrDicomDictionary::GetVR(nullptr, 0xFFFE, 0xE00D) != kPyrVR_UN ||
                    PyrDicomDictionary::GetVR(nullptr, 0x0010, 0x0010) != kPyrVR_PN ||
                    PyrDicomDictionary::GetVR(nullptr, 0x6004, 0x3000) != kPyrVR_OB) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

}   // namespace
