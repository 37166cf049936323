#include "viewer/xevoverlaysettinginfo.h"

#include <gtest/gtest.h>

namespace {

XEVOverlaySettingInfoItem Item(int32_t kind, const char* text, int32_t lineBreak = 1)
{
    XEVOverlaySettingInfoItem item;
    item.kind = kind;
    (kind == XEVOverlaySettingInfoItem::kText ? item.text : item.value) = QString::fromLatin1(text);
    item.appendSeparator = lineBreak;
    return item;
}

TEST(OverlaySettingInfo, LinesNumberFromOneInsideTheEightPositions)
{
    XEVOverlaySettingInfo info;
    for (const char* text : {"a", "b", "c"}) {
        info.AddItem(5, Item(XEVOverlaySettingInfoItem::kText, text));
    }
    info.AddItem(8, Item(XEVOverlaySettingInfoItem::kText, "x"));
    info.AddItem(-1, Item(XEVOverlaySettingInfoItem::kText, "x"));
    const auto& map = info.GetPositionMap(5);
    ASSERT_EQ(map.size(), 3u);
    EXPECT_EQ(map.at(1).text, QStringLiteral("a"));
    EXPECT_EQ(map.at(3).text, QStringLiteral("c"));
    for (int32_t position = -1; position <= 8; ++position) {
        EXPECT_EQ(info.GetPositionMap(position).empty(), position != 5) << position;
    }

    // A missing line, or a position out of range, gives one shared default item.
    const XEVOverlaySettingInfoItem& item = info.GetItem(3, 0);
    EXPECT_EQ(item.kind, XEVOverlaySettingInfoItem::kTag);
    EXPECT_TRUE(item.value.isEmpty() && item.text.isEmpty());
    EXPECT_EQ(FormatOverlayItemText(true, item, QString()), QStringLiteral("\r\n"));
    EXPECT_EQ(&info.GetItem(1, 42), &item);
}

TEST(OverlaySettingInfo, DatesAndTimes)
{
    const char* const cases[][3] = {
        {"2012", "DT", "2012"},
        {"2012031", "DT", "2012031"},
        {"20120315", "DT", "2012/03/15"},
        {"20120315093000", "DT", "2012/03/15"},
        {"1234", "TM", "1234"},
        {"093015.250", "TM", "09:30:15"},
        {"20120315", "dt", "20120315"},
        {"093015", "", "093015"},
        // The older dotted date form, and values that hold no whole date.
        {"1997.04.24", "DT", "1997/04/24"},
        {"1997.4.24", "DT", "1997.4.24"},
        {"2012-03-15", "DT", "2012-03-15"},
        // The older time form with colons; values that hold no whole time stay as they are.
        {"09:30:15", "TM", "09:30:15"},
        {"09:30:15.5", "TM", "09:30:15"},
        {"0930", "TM", "0930"},
        {"09:30", "TM", "09:30"},
        {"9:30:15", "TM", "9:30:15"},
        {"09-30-15", "TM", "09-30-15"},
    };
    for (const auto& c : cases) {
        XEVOverlaySettingInfoItem item = Item(XEVOverlaySettingInfoItem::kTag, c[0], 0);
        item.format = QString::fromLatin1(c[1]);
        EXPECT_EQ(FormatOverlayItemText(true, item, QString()), QString::fromLatin1(c[2])) << c[0] << " " << c[1];
    }
}

TEST(OverlaySettingInfo, EmptyValuesAndHiddenItemsKeepOnlyTheSeparator)
{
    XEVOverlaySettingInfoItem tag;
    tag.prefix = QStringLiteral("ID:");
    tag.suffix = QStringLiteral("!");
    EXPECT_EQ(FormatOverlayItemText(true, tag, QString()), QStringLiteral("\r\n"));
    tag.value = QStringLiteral("42");
    EXPECT_EQ(FormatOverlayItemText(true, tag, QString()), QStringLiteral("ID:42!\r\n"));

    XEVOverlaySettingInfoItem macro = Item(XEVOverlaySettingInfoItem::kMacro, "", 0);
    macro.prefix = QStringLiteral("Z:");
    macro.suffix = QStringLiteral("x");
    EXPECT_EQ(FormatOverlayItemText(true, macro, QString()), QStringLiteral("Z:x"));
    EXPECT_EQ(FormatOverlayItemText(true, macro, QStringLiteral("2")), QStringLiteral("Z:2x"));

    XEVOverlaySettingInfoItem text = Item(XEVOverlaySettingInfoItem::kText, "T");
    text.separator = QStringLiteral("|");
    EXPECT_EQ(FormatOverlayItemText(true, text, QString()), QStringLiteral("T|"));

    EXPECT_EQ(FormatOverlayItemText(false, tag, QString()), QStringLiteral("\r\n"));
    EXPECT_EQ(FormatOverlayItemText(false, macro, QStringLiteral("2")), QString());
    EXPECT_EQ(FormatOverlayItemText(false, text, QString()), QStringLiteral("|"));
    XEVOverlaySettingInfoItem unknown = Item(9, "T");
    unknown.text = unknown.value;
    EXPECT_EQ(FormatOverlayItemText(true, unknown, QString()), QStringLiteral("\r\n"));
}

}   // namespace
