#include "viewer/xevoverlaysettinginfo.h"

#include <gtest/gtest.h>

namespace {

XEVOverlaySettingInfoItem TagItem(const QString& value, const QString& format)
{
    XEVOverlaySettingInfoItem item;
    item.value = value;
    item.format = format;
    item.appendSeparator = 0;
    return item;
}

TEST(OverlaySettingInfo, MissingLineGivesTheDefaultItem)
{
    XEVOverlaySettingInfo info;
    const XEVOverlaySettingInfoItem& item = info.GetItem(3, 0);
    EXPECT_EQ(item.kind, 0);
    EXPECT_TRUE(item.prefix.isEmpty() && item.value.isEmpty() && item.text.isEmpty() && item.suffix.isEmpty());
    EXPECT_EQ(item.appendSeparator, 1);
    EXPECT_EQ(FormatOverlayItemText(true, item, QString()), QStringLiteral("\r\n"));
    // Out of range positions give the same shared default.
    EXPECT_EQ(&info.GetItem(1, 42), &item);
}

TEST(OverlaySettingInfo, AddOutsideTheEightPositionsChangesNothing)
{
    XEVOverlaySettingInfo info;
    XEVOverlaySettingInfoItem item;
    item.text = QStringLiteral("x");
    info.AddItem(8, item);
    info.AddItem(-1, item);
    for (int32_t position = 0; position < 8; ++position) {
        EXPECT_TRUE(info.GetPositionMap(position).empty());
    }
    EXPECT_TRUE(info.GetPositionMap(8).empty());
    EXPECT_TRUE(info.GetPositionMap(-1).empty());
}

TEST(OverlaySettingInfo, AddsNumberLinesFromOneInOrder)
{
    XEVOverlaySettingInfo info;
    XEVOverlaySettingInfoItem item;
    for (const char* text : {"a", "b", "c"}) {
        item.Reset();
        item.kind = XEVOverlaySettingInfoItem::kText;
        item.text = QString::fromLatin1(text);
        info.AddItem(5, item);
    }
    const auto& map = info.GetPositionMap(5);
    ASSERT_EQ(map.size(), 3u);
    int32_t expected = 1;
    for (const auto& [line, stored] : map) {
        EXPECT_EQ(line, expected);
        EXPECT_EQ(stored.text, QString(QChar(u'a' + expected - 1)));
        ++expected;
    }
    for (int32_t position = 0; position < 8; ++position) {
        EXPECT_EQ(info.GetPositionMap(position).empty(), position != 5);
    }
    // A copy is independent.
    XEVOverlaySettingInfo copy = info;
    copy.AddItem(5, item);
    EXPECT_EQ(info.GetPositionMap(5).size(), 3u);
    EXPECT_EQ(copy.GetPositionMap(5).size(), 4u);
}

TEST(OverlaySettingInfo, ResetRestoresEveryDefault)
{
    XEVOverlaySettingInfoItem item;
    item.kind = 2;
    item.separator = QStringLiteral("|");
    item.appendSeparator = 0;
    item.group = 0x10;
    item.index = 3;
    item.format = QStringLiteral("DT");
    item.Reset();
    EXPECT_EQ(item.kind, 0);
    EXPECT_EQ(item.separator, QStringLiteral("\r\n"));
    EXPECT_EQ(item.appendSeparator, 1);
    EXPECT_EQ(item.group, 0);
    EXPECT_EQ(item.index, 0);
    EXPECT_TRUE(item.format.isEmpty());
    EXPECT_EQ(item.nested, nullptr);
}

TEST(OverlaySettingInfo, DatesAndTimes)
{
    const auto format = [](const char* value, const char* code) {
        return FormatOverlayItemText(true, TagItem(QString::fromLatin1(value), QString::fromLatin1(code)), QString());
    };
    EXPECT_EQ(format("2012", "DT"), QStringLiteral("2012"));
    EXPECT_EQ(format("2012031", "DT"), QStringLiteral("2012031"));
    EXPECT_EQ(format("20120315", "DT"), QStringLiteral("2012/03/15"));
    EXPECT_EQ(format("20120315093000", "DT"), QStringLiteral("2012/03/15"));
    EXPECT_EQ(format("1234", "TM"), QStringLiteral("1234"));
    EXPECT_EQ(format("093015.250", "TM"), QStringLiteral("09:30:15"));
    EXPECT_EQ(format("20120315", "dt"), QStringLiteral("20120315"));
    EXPECT_EQ(format("093015", ""), QStringLiteral("093015"));
}

TEST(OverlaySettingInfo, EmptyValuesAndHiddenItems)
{
    XEVOverlaySettingInfoItem tag;
    tag.prefix = QStringLiteral("ID:");
    tag.suffix = QStringLiteral("!");
    EXPECT_EQ(FormatOverlayItemText(true, tag, QString()), QStringLiteral("\r\n"));
    tag.value = QStringLiteral("42");
    EXPECT_EQ(FormatOverlayItemText(true, tag, QString()), QStringLiteral("ID:42!\r\n"));

    XEVOverlaySettingInfoItem macro;
    macro.kind = XEVOverlaySettingInfoItem::kMacro;
    macro.prefix = QStringLiteral("Z:");
    macro.suffix = QStringLiteral("x");
    macro.appendSeparator = 0;
    EXPECT_EQ(FormatOverlayItemText(true, macro, QString()), QStringLiteral("Z:x"));
    EXPECT_EQ(FormatOverlayItemText(true, macro, QStringLiteral("2")), QStringLiteral("Z:2x"));

    XEVOverlaySettingInfoItem text;
    text.kind = XEVOverlaySettingInfoItem::kText;
    text.text = QStringLiteral("T");
    text.separator = QStringLiteral("|");
    EXPECT_EQ(FormatOverlayItemText(true, text, QString()), QStringLiteral("T|"));

    // Hidden: only the separator, of every kind.
    EXPECT_EQ(FormatOverlayItemText(false, tag, QString()), QStringLiteral("\r\n"));
    EXPECT_EQ(FormatOverlayItemText(false, macro, QStringLiteral("2")), QString());
    EXPECT_EQ(FormatOverlayItemText(false, text, QString()), QStringLiteral("|"));

    XEVOverlaySettingInfoItem unknown;
    unknown.kind = 9;
    unknown.text = QStringLiteral("T");
    EXPECT_EQ(FormatOverlayItemText(true, unknown, QString()), QStringLiteral("\r\n"));
}

}   // namespace
