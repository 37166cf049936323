#include "viewer/xmlfileaccess.h"

#include <gtest/gtest.h>

#include <limits>

#include "viewer/xevoverlaysettinginfo.h"

namespace {

std::string Fixture(const char* name)
{
    return std::string(VIEWER_TEST_DATA_DIR) + "/" + name;
}

const OverlayModalityRecord* Modality(const XmlFileAccess& reader, const char* name)
{
    for (const OverlayModalityRecord& m : reader.modalities) {
        if (m.name == QLatin1String(name)) {
            return &m;
        }
    }
    return nullptr;
}

const OverlayLocationRecord* Location(const OverlayModalityRecord& modality, const char* name)
{
    for (const OverlayLocationRecord& l : modality.locations) {
        if (l.name == QLatin1String(name)) {
            return &l;
        }
    }
    return nullptr;
}

// The records of each line, closing records left out.
std::vector<std::vector<const OverlayItemRecord*>> Lines(const OverlayLocationRecord& location)
{
    std::vector<std::vector<const OverlayItemRecord*>> lines(1);
    for (const OverlayItemRecord& r : location.items) {
        if (r.lineEnd == 1) {
            lines.emplace_back();
        } else {
            lines.back().push_back(&r);
        }
    }
    return lines;
}

// Every item of a position formatted as shown, tag values and macro values empty.
QString Compose(const XEVOverlaySettingInfo& settings, int32_t position)
{
    QString text;
    for (const auto& [line, item] : settings.GetPositionMap(position)) {
        text += FormatOverlayItemText(true, item, QString());
    }
    return text;
}

class OverlayFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(reader_.Load(Fixture("overlay_cases.xml"))); }
    XmlFileAccess reader_;
};

TEST(OverlayFileRoot, LowerCaseRootLoadsOtherRootsFail)
{
    for (const auto& [name, loads] : {std::pair{"overlay_lowercase_root.xml", true},
                                      {"overlay_wrong_root.xml", false},
                                      {"overlay_broken.xml", false},
                                      {"no_such_file.xml", false}}) {
        XmlFileAccess reader;
        EXPECT_EQ(reader.Load(Fixture(name)), loads) << name;
        EXPECT_EQ(reader.modalities.size(), loads ? 1u : 0u) << name;
    }
    EXPECT_FALSE(XmlFileAccess().LoadFromData(QByteArray()));
}

TEST_F(OverlayFile, ModalitiesInFileOrderNamesTrimmedLaterOnesReplace)
{
    ASSERT_EQ(reader_.modalities.size(), 3u);
    EXPECT_EQ(reader_.modalities[0].name, QStringLiteral("CT"));
    EXPECT_EQ(reader_.modalities[1].name, QStringLiteral("OTHER"));
    EXPECT_EQ(reader_.modalities[2].name, QStringLiteral("MR"));
    // The second MR replaced the first's corners.
    ASSERT_EQ(reader_.modalities[2].locations.size(), 1u);
    EXPECT_EQ(reader_.modalities[2].locations[0].name, QStringLiteral("LOWERRIGHT"));
    // The last FONT wins; its NAME is trimmed.
    EXPECT_EQ(reader_.fontFaceName, QStringLiteral("MS Mincho"));
    EXPECT_EQ(reader_.fontPointSize, 12);
    // A second LOCATION replaces the first's lines; MIDDLE and the nameless one are skipped.
    const OverlayModalityRecord& ct = reader_.modalities[0];
    ASSERT_EQ(ct.locations.size(), 2u);
    EXPECT_EQ(ct.locations[0].name, QStringLiteral("UPPERLEFT"));
    for (const OverlayItemRecord& r : ct.locations[0].items) {
        EXPECT_NE(r.str, QStringLiteral("replaced"));
    }
}

TEST_F(OverlayFile, TagNumbersIndexesAndFormats)
{
    const auto lines = Lines(*Location(*Modality(reader_, "CT"), "UPPERLEFT"));
    ASSERT_EQ(lines.size(), 9u);

    // "0010,0010", and a PREFIX keeps its blanks.
    ASSERT_EQ(lines[0].size(), 1u);
    EXPECT_EQ(lines[0][0]->group, 0x0010);
    EXPECT_EQ(lines[0][0]->element, 0x0010);
    EXPECT_EQ(lines[0][0]->prefix, QStringLiteral(" ID: "));
    EXPECT_EQ(lines[0][0]->suffix, QStringLiteral(" "));
    // "0x0010,0x0010" reads 0 and 0 and stays.
    EXPECT_EQ(lines[1][0]->group, 0);
    EXPECT_EQ(lines[1][0]->element, 0);
    // "0010" empties its whole line, the texts beside it too.
    ASSERT_EQ(lines[2].size(), 3u);
    for (const OverlayItemRecord* r : lines[2]) {
        EXPECT_EQ(r->group, 0xFFFF);
        EXPECT_EQ(r->element, 0xFFFF);
        EXPECT_TRUE(r->str.isEmpty());
    }
    // "0010,0010,0": invalid, its prefix stays.
    EXPECT_EQ(lines[3][0]->group, 0xFFFF);
    EXPECT_EQ(lines[3][0]->prefix, QStringLiteral("P"));
    // INDEX 6 empties the line with its macro; 5 does not.
    EXPECT_EQ(lines[4][0]->group, 0xFFFF);
    EXPECT_EQ(lines[4][1]->kind, OverlayItemRecord::kMacro);
    EXPECT_TRUE(lines[4][1]->str.isEmpty());
    EXPECT_EQ(lines[5][0]->group, 0x0020);
    EXPECT_EQ(lines[5][0]->element, 0x0013);
    EXPECT_EQ(lines[5][0]->index, 5);
    // Formats in any case; a trimmed NO.
    EXPECT_EQ(lines[6][0]->group, 0x0008);
    EXPECT_EQ(lines[6][0]->element, 0x0020);
    EXPECT_EQ(lines[6][0]->str, QStringLiteral("DT"));
    EXPECT_EQ(lines[6][1]->str, QStringLiteral("TM"));
    // An unknown FORMAT empties the line.
    EXPECT_EQ(lines[7][0]->group, 0xFFFF);
    // The low 16 bits of long numbers; an INDEX past 32 bits saturates and empties the line.
    EXPECT_EQ(lines[8][0]->group, 0xFFFF);
}

TEST_F(OverlayFile, MacrosBlankTagsNestedTagsAndTexts)
{
    const OverlayLocationRecord* location = Location(*Modality(reader_, "CT"), "LOWERRIGHT");
    const auto lines = Lines(*location);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0][0]->str, QStringLiteral("zoom_rate"));
    EXPECT_TRUE(lines[1][0]->str.isEmpty());   // "ZOOM" emptied its line
    EXPECT_TRUE(lines[1][1]->str.isEmpty());
    EXPECT_EQ(lines[1][0]->group, 0xFFFF);
    EXPECT_TRUE(lines[2][0]->str.isEmpty());   // an empty VALUE stays valid
    EXPECT_EQ(lines[2][0]->group, 0);

    // A TAG with one blank inside reads none of its attributes.
    const OverlayItemRecord* blank = lines[3][0];
    EXPECT_EQ(blank->kind, OverlayItemRecord::kTag);
    EXPECT_EQ(blank->group, 0);
    EXPECT_EQ(blank->element, 0);
    EXPECT_TRUE(blank->prefix.isEmpty() && blank->suffix.isEmpty() && blank->str.isEmpty());
    EXPECT_EQ(blank->nested, nullptr);

    // A TAG in a TAG becomes the nested chain.
    const OverlayItemRecord* outer = lines[4][0];
    EXPECT_EQ(outer->group, 0x0040);
    EXPECT_EQ(outer->element, 0xA730);
    EXPECT_EQ(outer->prefix, QStringLiteral("seq:"));
    ASSERT_NE(outer->nested, nullptr);
    EXPECT_EQ(outer->nested->group, 0x0040);
    EXPECT_EQ(outer->nested->element, 0xA160);
    EXPECT_EQ(outer->nested->prefix, QStringLiteral("inner"));
    EXPECT_EQ(outer->nested->nested, nullptr);

    // VALUE of an element written "TEXT" is taken as written; of "text" trimmed.
    EXPECT_EQ(lines[5][0]->str, QStringLiteral("  as written  "));
    EXPECT_EQ(lines[5][1]->str, QStringLiteral("trimmed"));
    EXPECT_EQ(location->items.back().lineEnd, 0);
}

TEST_F(OverlayFile, ConvertsCornersWithOtherAsFallback)
{
    XEVOverlaySettingInfo settings;
    for (const int32_t position : {0, 2, 5, 7, 1, 3}) {
        EXPECT_EQ(reader_.ConvertToSettings(settings, QStringLiteral("CT"), position), 1);
    }
    // The last line has no break; every earlier one ends in an empty text item.
    EXPECT_EQ(Compose(settings, 7), QStringLiteral("Z:\r\nx\r\n[]\r\n\r\n\r\n  as written  trimmed"));
    const auto& lowerRight = settings.GetPositionMap(7);
    EXPECT_EQ(lowerRight.at(1).macroName, QStringLiteral("Zoom Rate"));
    EXPECT_EQ(lowerRight.at(1).appendSeparator, 0);
    EXPECT_EQ(lowerRight.at(2).kind, XEVOverlaySettingInfoItem::kText);
    EXPECT_EQ(lowerRight.at(2).appendSeparator, 1);
    EXPECT_TRUE(lowerRight.at(2).text.isEmpty());
    EXPECT_TRUE(lowerRight.at(3).macroName.isEmpty());   // "ZOOM"
    // The nested chain is handed on by reference.
    bool nestedSeen = false;
    for (const auto& [line, item] : lowerRight) {
        if (item.group == 0x0040 && item.element == 0xA730) {
            ASSERT_NE(item.nested, nullptr);
            EXPECT_EQ(item.nested->element, 0xA160);
            nestedSeen = true;
        }
    }
    EXPECT_TRUE(nestedSeen);

    // CT has no LOWERLEFT: OTHER's; no UPPERRIGHT anywhere: nothing; 1 and 3 have no corner.
    EXPECT_EQ(Compose(settings, 2), QStringLiteral("other lower left"));
    EXPECT_TRUE(settings.GetPositionMap(5).empty());
    EXPECT_TRUE(settings.GetPositionMap(1).empty());
    EXPECT_TRUE(settings.GetPositionMap(3).empty());

    // The first upper-left line: prefix, value, suffix.
    const XEVOverlaySettingInfoItem& id = settings.GetItem(1, 0);
    EXPECT_EQ(id.kind, XEVOverlaySettingInfoItem::kTag);
    EXPECT_EQ(id.appendSeparator, 0);
    XEVOverlaySettingInfoItem filled = id;
    filled.value = QStringLiteral("12345");
    EXPECT_EQ(FormatOverlayItemText(true, filled, QString()), QStringLiteral(" ID: 12345 "));

    // An unknown modality takes OTHER's corners; a TAG right under LOCATION was skipped.
    XEVOverlaySettingInfo us;
    reader_.ConvertToSettings(us, QStringLiteral("US"), 0);
    EXPECT_EQ(Compose(us, 0), QStringLiteral("other upper left"));
    XEVOverlaySettingInfo lower;
    reader_.ConvertToSettings(lower, QStringLiteral("ct"), 7);
    EXPECT_TRUE(lower.GetPositionMap(7).empty());   // names compare with case; OTHER has none
}

TEST(OverlayFileEncoding, ShiftJisAndUtf16FilesReadTheSame)
{
    for (const char* name : {"overlay_shiftjis.xml", "overlay_utf16.xml"}) {
        XmlFileAccess reader;
        ASSERT_TRUE(reader.Load(Fixture(name))) << name;
        EXPECT_EQ(reader.fontFaceName, QStringLiteral("ＭＳ ゴシック")) << name;
        ASSERT_EQ(reader.modalities.size(), 1u) << name;
        EXPECT_EQ(reader.modalities[0].locations.at(0).items.at(0).prefix, QStringLiteral("患者名：")) << name;
    }
}

TEST(OverlayFileLimits, NumbersSaturateAndFirstAttributeWins)
{
    XmlFileAccess reader;
    ASSERT_TRUE(reader.LoadFromData("<OVERLAYSETTING><FONT NAME='A' name='B' SIZE='99999999999'/>"
                                    "<MODALITY NAME='CT'><LOCATION VALUE='UPPERLEFT'>"
                                    "<LINE><TAG NO='0010,0010' INDEX='-99999999999'/></LINE>"
                                    "<LINE><TAG NO='12345,ABCDE'/></LINE>"
                                    "</LOCATION></MODALITY></OVERLAYSETTING>"));
    EXPECT_EQ(reader.fontFaceName, QStringLiteral("A"));
    EXPECT_EQ(reader.fontPointSize, std::numeric_limits<int32_t>::max());
    const auto& items = reader.modalities.at(0).locations.at(0).items;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].index, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(items[0].group, 0xFFFF);
    EXPECT_EQ(items[2].group, 0x2345);
    EXPECT_EQ(items[2].element, 0xBCDE);

    XmlFileAccess negative;
    ASSERT_TRUE(negative.LoadFromData("<OVERLAYSETTING><FONT SIZE='-99999999999'/></OVERLAYSETTING>"));
    EXPECT_EQ(negative.fontPointSize, std::numeric_limits<int32_t>::min());
}

TEST(OverlayFileLimits, DeepNestingIsCutAndNeverExhaustsTheStack)
{
    const int depth = 40;
    QByteArray xml = "<OVERLAYSETTING><MODALITY NAME='CT'><LOCATION VALUE='UPPERLEFT'><LINE>";
    for (int i = 0; i < depth; ++i) {
        xml += "<TAG NO='0040," + QByteArray::number(0xA000 + i, 16) + "'>";
    }
    for (int i = 0; i < depth; ++i) {
        xml += "</TAG>";
    }
    xml += "</LINE></LOCATION></MODALITY></OVERLAYSETTING>";
    XmlFileAccess reader;
    ASSERT_TRUE(reader.LoadFromData(xml));
    const auto& items = reader.modalities.at(0).locations.at(0).items;
    ASSERT_EQ(items.size(), 1u);
    int chain = 0;
    const OverlayItemRecord* last = &items[0];
    for (const OverlayItemRecord* r = items[0].nested.get(); r != nullptr; r = r->nested.get()) {
        ++chain;
        last = r;
    }
    EXPECT_EQ(chain, XmlFileAccess::kMaxNestedTagLevels);
    // The innermost kept TAG reads its own attributes.
    EXPECT_EQ(last->element, 0xA000 + XmlFileAccess::kMaxNestedTagLevels);
    EXPECT_EQ(items[0].element, 0xA000);

    // Documents as deep as the reader takes load without recursion per level; deeper ones
    // are refused before they are parsed.
    auto deep = [](int levels) {
        QByteArray xml = "<OVERLAYSETTING><MODALITY NAME='CT'><LOCATION VALUE='UPPERLEFT'><LINE>";
        xml += QByteArray("<TAG>").repeated(levels) + QByteArray("</TAG>").repeated(levels);
        return xml + "</LINE></LOCATION></MODALITY></OVERLAYSETTING>";
    };
    const int within = int(XmlFileAccess::kDepthLimit) - 4;
    XmlFileAccess deepReader;
    EXPECT_EQ(deepReader.Parse(deep(within)), PlatReadResult::Read);
    EXPECT_EQ(deepReader.Parse(deep(within + 1)), PlatReadResult::TooLarge);
    EXPECT_EQ(deepReader.Parse(deep(200000)), PlatReadResult::TooLarge);
}

// One element of count attributes, NAME among them.
QByteArray Attributes(int count, const char* value = "x")
{
    QByteArray xml = "<OVERLAYSETTING><MODALITY NAME='CT'";
    for (int i = 1; i < count; ++i) {
        xml += " A" + QByteArray::number(i) + "='" + value + "'";
    }
    return xml + "/></OVERLAYSETTING>";
}

// Shapes whose parse would grow faster than the file (attributes checked against each other,
// a stack per open element, declared entities and default attributes) are refused by one pass
// over the characters; what only looks like them inside values, comments and sections is not.
TEST(OverlayFileLimits, HostileShapesAreRefusedBeforeTheyAreParsed)
{
    const uint32_t limit = XmlFileAccess::kAttributeLimit;
    XmlFileAccess reader;
    EXPECT_EQ(reader.Parse(Attributes(int(limit))), PlatReadResult::Read);
    EXPECT_EQ(reader.Parse(Attributes(int(limit) + 1)), PlatReadResult::TooLarge);
    EXPECT_EQ(reader.Parse(Attributes(200000)), PlatReadResult::TooLarge);
    // Quoted '=', '>' and '<!' count for nothing.
    EXPECT_EQ(reader.Parse(Attributes(int(limit), "a=b&gt;c=d")), PlatReadResult::Read);
    XmlFileAccess quoted;
    ASSERT_EQ(quoted.Parse("<OVERLAYSETTING><FONT NAME=\"x=y>z['\" SIZE='1'/></OVERLAYSETTING>"), PlatReadResult::Read);
    EXPECT_EQ(quoted.fontFaceName, QStringLiteral("x=y>z['"));

    // Elements and attributes together.
    const QByteArray wide =
        "<OVERLAYSETTING>" + QByteArray("<X/>").repeated(int(XmlFileAccess::kItemLimit)) + "</OVERLAYSETTING>";
    EXPECT_EQ(reader.Parse(wide), PlatReadResult::TooLarge);
    const QByteArray notElements = "<OVERLAYSETTING><!--" + QByteArray("<X a=''/>").repeated(100000) + "--><![CDATA[" +
                                   QByteArray("<X/>").repeated(100000) + "]]><?pi " +
                                   QByteArray("<X/>").repeated(100000) + "?></OVERLAYSETTING>";
    EXPECT_EQ(reader.Parse(notElements), PlatReadResult::Read);

    // A document type naming the root alone loads; one with declarations of its own does not.
    EXPECT_EQ(reader.Parse("<!DOCTYPE OVERLAYSETTING SYSTEM 'a[b]'><OVERLAYSETTING/>"), PlatReadResult::Read);
    const QByteArray entity = "<?xml version='1.0'?><!DOCTYPE OVERLAYSETTING [<!ENTITY e '<X/>'>]><OVERLAYSETTING>" +
                              QByteArray("&e;").repeated(1000) + "</OVERLAYSETTING>";
    EXPECT_EQ(reader.Parse(entity), PlatReadResult::TooLarge);

    // The characters are counted as the reader decodes them: UTF-16 too.
    const QString text = QString::fromUtf8(Attributes(int(limit) + 1));
    QByteArray utf16("\xFF\xFE");
    utf16.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    EXPECT_EQ(reader.Parse(utf16), PlatReadResult::TooLarge);
}

TEST(OverlayFileLimits, MacroNamesAnyCase)
{
    EXPECT_EQ(OverlayMacroDisplayName(QStringLiteral("page")), QStringLiteral("Page of TotalPages"));
    EXPECT_EQ(OverlayMacroDisplayName(QStringLiteral("Mammo_Laterality")), QStringLiteral("Mammo Image Laterality"));
    EXPECT_EQ(OverlayMacroDisplayName(QStringLiteral("JPEG_LOSSY")), QStringLiteral("JPEG Lossy Data"));
    EXPECT_TRUE(OverlayMacroDisplayName(QStringLiteral("DFOV")).isEmpty());
}

}   // namespace
