#include <gtest/gtest.h>

#include <QString>

#include <memory>

#include "headerback.h"
#include "study/xevvekhelper.h"
#include "viewer/xevoverlaysettinginfo.h"
#include "viewer/xevoverlayviewinfo.h"
#include "viewer/xmlfileaccess.h"

namespace {

struct Tags : ::testing::Test {
    void SetUp() override
    {
        int32_t frame = 0;
        ASSERT_EQ(helper.LoadImage(QStringLiteral(STUDY_TEST_DATA_DIR "/frames/tags.dcm"), frame), 1);
        ASSERT_TRUE(ReadHeaderBack(helper));
    }
    QString Select(uint16_t group, uint16_t element, int32_t index, const QString& text)
    {
        XEVOverlaySettingInfoItem item;
        item.group = group;
        item.element = element;
        item.index = index;
        return SelectTagValue(helper.dicomInfo, item, text);
    }
    XEVVEKHelper helper;
};

}   // namespace

TEST_F(Tags, SelectsValuesByIndex)
{
    EXPECT_EQ(XEVVEKHelper::GetTagText(helper.dicomInfo, 0x0028, 0x0030), QStringLiteral("0.50"));
    EXPECT_EQ(Select(0x0008, 0x1010, 2, QStringLiteral("0.5\\0.25")), QStringLiteral("0.25"));
    EXPECT_EQ(Select(0x0008, 0x1010, 3, QStringLiteral("0.5\\0.5")), QString());
    EXPECT_EQ(Select(0x0008, 0x1010, 0, QStringLiteral("0.5\\0.25")), QStringLiteral("0.5"));
    EXPECT_EQ(Select(0x0008, 0x1010, 5, QStringLiteral("ONE")), QStringLiteral("ONE"));
    // FD keeps its full value, not GetTagText's two decimals.
    EXPECT_EQ(XEVVEKHelper::GetTagText(helper.dicomInfo, 0x0018, 0x9087), QStringLiteral("1234.57"));
    EXPECT_TRUE(Select(0x0018, 0x9087, 1, QStringLiteral("1234.57")).startsWith(QStringLiteral("1234.5678")));
    // Private, empty text: read from the raw bytes.
    EXPECT_EQ(Select(0x0009, 0x1010, 1, QString()).trimmed(), QStringLiteral("PRIVATE TEXT"));
    // Binary values show nothing.
    EXPECT_EQ(Select(0x7FE0, 0x0010, 1, QStringLiteral("x")), QString());
}

TEST_F(Tags, ValuesInsideSequencesWithFormats)
{
    auto leaf = std::make_unique<OverlayItemRecord>();
    leaf->group = 0x0008;
    leaf->element = 0x0032;
    leaf->str = QStringLiteral("TM");
    leaf->prefix = QStringLiteral("<");
    leaf->suffix = QStringLiteral(">");
    OverlayItemRecord path;
    path.group = 0x0008;
    path.element = 0x1140;
    path.index = 1;
    path.nested = std::move(leaf);
    XEVOverlaySettingInfoItem item;
    item.group = 0x0040;
    item.element = 0x0275;
    item.index = 1;
    item.nested = &path;
    EXPECT_EQ(SequenceTagValue(helper.dicomInfo, item), QStringLiteral("<09:30:15>"));
    path.nested->element = 0x0020;
    path.nested->str = QStringLiteral("DT");
    EXPECT_EQ(SequenceTagValue(helper.dicomInfo, item), QStringLiteral("<2024/01/31>"));
    // Item numbers below 1 or past the end name nothing.
    item.index = 0;
    EXPECT_EQ(SequenceTagValue(helper.dicomInfo, item), QString());
    item.index = 2;
    EXPECT_EQ(SequenceTagValue(helper.dicomInfo, item), QString());
    item.index = 1;
    path.index = 0;
    EXPECT_EQ(SequenceTagValue(helper.dicomInfo, item), QString());
    EXPECT_EQ(FormatDateTimeText(QStringLiteral("DT"), QStringLiteral("2024")), QStringLiteral("2024"));
}

namespace {

XEVOverlaySettingInfoItem TagItem(uint16_t group, uint16_t element, int32_t index = 0)
{
    XEVOverlaySettingInfoItem item;
    item.kind = XEVOverlaySettingInfoItem::kTag;
    item.group = group;
    item.element = element;
    item.index = index;
    return item;
}

XEVOverlaySettingInfoItem MacroItem(const QString& name)
{
    XEVOverlaySettingInfoItem item;
    item.kind = XEVOverlaySettingInfoItem::kMacro;
    item.macroName = name;
    return item;
}

}   // namespace

TEST(CornerValuesTest, PositionsTakeTagValuesAndTheFilesMacros)
{
    XEVOverlaySettingInfo settings;
    settings.AddItem(0, TagItem(0x0018, 0x0050));
    settings.AddItem(0, MacroItem(kXEVMacroOrientationLeft));
    settings.AddItem(0, MacroItem(kXEVMacroMammoLaterality));
    settings.AddItem(0, MacroItem(kXEVMacroMultiframe));
    settings.AddItem(0, MacroItem(kXEVMacroJpegLossy));
    settings.AddItem(7, TagItem(0x0018, 0x1310, 2));
    settings.AddItem(7, MacroItem(kXEVMacroOrientationBottom));

    XEVVEKHelper helper;
    int32_t frame = 0;
    ASSERT_EQ(helper.LoadImage(QStringLiteral(STUDY_TEST_DATA_DIR "/frames/values.dcm"), frame), 1);
    ASSERT_TRUE(ReadHeaderBack(helper));
    XEVOverlayViewInfo view;
    for (int32_t position = 0; position < kXEVOverlayPositionCount; ++position) {
        helper.BuildCornerPosition(settings, position, view);
    }
    ASSERT_EQ(view.positions[0].size(), 5u);
    EXPECT_EQ(view.positions[0][0].value, QStringLiteral("2"));
    ASSERT_EQ(view.positions[7].size(), 2u);
    EXPECT_EQ(view.positions[7][0].value, QStringLiteral("256"));
    EXPECT_TRUE(view.positions[3].empty());
    EXPECT_EQ(view.orientationLeftText, QStringLiteral("AR"));
    EXPECT_EQ(view.orientationBottomText, QStringLiteral("F"));
    EXPECT_TRUE(view.orientationRightText.isEmpty());   // not in the settings
    EXPECT_EQ(view.mammoLateralityText, QStringLiteral("RMLO"));
    EXPECT_EQ(view.jpegLossyText, QStringLiteral("Lossy Data"));
    EXPECT_TRUE(view.multiframeText.isEmpty());

    XEVVEKHelper multi;
    frame = 0;
    ASSERT_EQ(multi.LoadImage(QStringLiteral(STUDY_TEST_DATA_DIR "/frames/multi10.dcm"), frame), 1);
    XEVOverlayViewInfo multiView;
    multi.BuildCornerPosition(settings, 0, multiView);
    EXPECT_EQ(multiView.multiframeText, QStringLiteral("Multiframe"));
    EXPECT_TRUE(multiView.jpegLossyText.isEmpty());
    EXPECT_TRUE(multiView.orientationLeftText.isEmpty());
}
