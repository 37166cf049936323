#include "shell/xevcommonsettings.h"

#include <gtest/gtest.h>

#include "testsupport/qtguitestapp.h"

#include "testsupport/programfolder.h"

namespace {

struct Expected {
    int32_t kind;
    const char* name;   // macro name, or nothing for a tag
    uint16_t group;
    uint16_t element;
    const char* prefix;
    const char* suffix;
    const char* format;
    int32_t lineBreak;
};

void ExpectItems(const XEVOverlaySettingInfo& info, int32_t position, const std::vector<Expected>& expected)
{
    const auto& map = info.GetPositionMap(position);
    ASSERT_EQ(map.size(), expected.size()) << "position " << position;
    int32_t line = 1;
    for (const Expected& e : expected) {
        const XEVOverlaySettingInfoItem& item = map.at(line);
        SCOPED_TRACE(testing::Message() << "position " << position << " line " << line);
        EXPECT_EQ(item.kind, e.kind);
        EXPECT_EQ(item.macroName, QString::fromLatin1(e.name));
        EXPECT_EQ(item.group, e.group);
        EXPECT_EQ(item.element, e.element);
        EXPECT_EQ(item.prefix, QString::fromLatin1(e.prefix));
        EXPECT_EQ(item.suffix, QString::fromLatin1(e.suffix));
        EXPECT_EQ(item.format, QString::fromLatin1(e.format));
        EXPECT_EQ(item.appendSeparator, e.lineBreak);
        EXPECT_EQ(item.separator, QStringLiteral("\r\n"));
        EXPECT_TRUE(item.value.isEmpty() && item.text.isEmpty());
        EXPECT_EQ(item.index, 0);
        ++line;
    }
}

Expected M(const char* name, const char* prefix, int32_t lineBreak)
{
    return {1, name, 0, 0, prefix, "", "", lineBreak};
}
Expected T(uint16_t g, uint16_t e, const char* prefix, int32_t lineBreak, const char* format = "",
           const char* suffix = "")
{
    return {0, "", g, e, prefix, suffix, format, lineBreak};
}

const std::vector<Expected> kOtherLowerLeft = {M("Multiframe", "", 1), M("Page of TotalPages", "", 0)};
const std::vector<Expected> kOtherUpperRight = {
    T(0x0008, 0x103E, "", 1), T(0x0008, 0x0022, "", 0, "DT"), T(0x0008, 0x0032, " ", 1, "TM"),
    T(0x0018, 0x0010, "", 1), T(0x0020, 0x1041, "LOC:", 1),   T(0x0018, 0x5100, "", 0),
};
const std::vector<Expected> kOtherLowerRight = {
    M("JPEG Lossy Data", "", 1), M("Zoom Rate", "Z:", 1),     M("Window Center", "C:", 1),
    M("Window Width", "W:", 1),  T(0x0020, 0x0013, "IM:", 0),
};

void ExpectOrientation(const XEVOverlaySettingInfo& info)
{
    ExpectItems(info, 1, {M("Patient Orientation Left", "", 0)});
    ExpectItems(info, 3, {M("Patient Orientation Top", "", 0)});
    ExpectItems(info, 4, {M("Patient Orientation Bottom", "", 0)});
    ExpectItems(info, 6, {M("Patient Orientation Right", "", 0)});
}

void ExpectOther(const XEVOverlaySettingInfo& info, bool withLaterality)
{
    if (withLaterality) {
        ExpectItems(info, 0, {M("Mammo Image Laterality", "", 1)});
    } else {
        EXPECT_TRUE(info.GetPositionMap(0).empty());
    }
    ExpectItems(info, 2, kOtherLowerLeft);
    ExpectItems(info, 5, kOtherUpperRight);
    ExpectItems(info, 7, kOtherLowerRight);
    for (const int32_t position : {1, 3, 4, 6}) {
        EXPECT_TRUE(info.GetPositionMap(position).empty());
    }
}

class OverlaySettings : public XEVProgramFolderTest {
protected:
    XEVCommonSettings settings_;
};

TEST_F(OverlaySettings, BuiltInTableWithoutTheFile)
{
    // Before loading the lookup gives an empty layout.
    const XEVOverlaySettingInfo before = settings_.FindOverlaySettingInfo(QStringLiteral("CT"));
    for (int32_t position = 0; position < 8; ++position) {
        EXPECT_TRUE(before.GetPositionMap(position).empty());
    }

    EXPECT_EQ(settings_.LoadOverlaySettings(), 1);
    EXPECT_EQ(settings_.OverlayFileExists, 0);
    EXPECT_EQ(settings_.OverlaySettings.size(), 5u);

    ExpectOther(settings_.FindOverlaySettingInfo(QStringLiteral("OTHER")), false);
    ExpectOther(settings_.FindOverlaySettingInfo(QStringLiteral("US")), false);
    ExpectOther(settings_.FindOverlaySettingInfo(QStringLiteral("ct")), false);
    ExpectOther(settings_.FindOverlaySettingInfo(QStringLiteral("MG")), true);

    // CR: OTHER with the sensitivity after the JPEG-lossy line.
    const XEVOverlaySettingInfo cr = settings_.FindOverlaySettingInfo(QStringLiteral("CR"));
    ExpectItems(cr, 7,
                {M("JPEG Lossy Data", "", 1), T(0x0018, 0x6000, "S:", 1), M("Zoom Rate", "Z:", 1),
                 M("Window Center", "C:", 1), M("Window Width", "W:", 1), T(0x0020, 0x0013, "IM:", 0)});
    // CT and MR: orientation labels; their corners are checked where they are drawn.
    const XEVOverlaySettingInfo ct = settings_.FindOverlaySettingInfo(QStringLiteral("CT"));
    ExpectOrientation(ct);
    EXPECT_TRUE(ct.GetPositionMap(0).empty());
    const XEVOverlaySettingInfo mr = settings_.FindOverlaySettingInfo(QStringLiteral("MR"));
    ExpectOrientation(mr);
    EXPECT_EQ(mr.GetPositionMap(2).size(), 9u);
    EXPECT_EQ(mr.GetItem(7, 5).prefix, QStringLiteral("SP:"));

    settings_.SetCornerTextFont();
    const XEVFontInfo& font = settings_.Fonts[kXEVFontCornerText];
    EXPECT_EQ(font.face, QStringLiteral("MS UI Gothic"));
    EXPECT_EQ(font.points, 11);
    EXPECT_EQ(font.weight, 400);
    settings_.SetCornerTextFont(QStringLiteral("IPAGothic"));
    EXPECT_EQ(settings_.Fonts[kXEVFontCornerText].face, QStringLiteral("IPAGothic"));
    // The other fonts keep the holder's defaults.
    EXPECT_EQ(settings_.Fonts[0].face, QStringLiteral("FixedSys"));
    EXPECT_EQ(settings_.Fonts[0].points, 9);
}

const QByteArray kFile = R"(<?xml version="1.0"?>
<OVERLAYSETTING>
  <FONT NAME="Noto Sans CJK JP" SIZE="14"/>
  <MODALITY NAME="OTHER">
    <LOCATION VALUE="UPPERLEFT"><LINE><TAG NO="0010,0010" PREFIX="ID:"/></LINE></LOCATION>
  </MODALITY>
  <MODALITY NAME="CT">
    <LOCATION VALUE="LOWERRIGHT"><LINE><MACRO VALUE="WINDOW_CENTER" PREFIX="WL:"/></LINE></LOCATION>
  </MODALITY>
  <MODALITY NAME="MG">
    <LOCATION VALUE="UPPERLEFT"><LINE><MACRO VALUE="MAMMO_LATERALITY"/></LINE></LOCATION>
    <LOCATION VALUE="LOWERRIGHT"><LINE><TEXT VALUE="dropped"/></LINE></LOCATION>
  </MODALITY>
  <MODALITY NAME="US">
    <LOCATION VALUE="UPPERRIGHT"><LINE><TEXT VALUE="ultrasound"/></LINE></LOCATION>
  </MODALITY>
</OVERLAYSETTING>
)";

TEST_F(OverlaySettings, FileFoundInAnyCaseGivesItsLayouts)
{
    WriteFile("Overlay.xml", kFile);
    EXPECT_EQ(settings_.LoadOverlaySettings(), 1);
    EXPECT_EQ(settings_.OverlayFileExists, 1);
    EXPECT_EQ(settings_.OverlaySettings.size(), 6u);   // OTHER MG CR CT MR US

    const XEVOverlaySettingInfo other = settings_.FindOverlaySettingInfo(QStringLiteral("OTHER"));
    ExpectItems(other, 0, {T(0x0010, 0x0010, "ID:", 0)});
    for (const int32_t position : {1, 2, 3, 4, 5, 6, 7}) {
        EXPECT_TRUE(other.GetPositionMap(position).empty());
    }

    // CT keeps its orientation labels and takes OTHER's upper left.
    const XEVOverlaySettingInfo ct = settings_.FindOverlaySettingInfo(QStringLiteral("CT"));
    ExpectOrientation(ct);
    ExpectItems(ct, 0, {T(0x0010, 0x0010, "ID:", 0)});
    ExpectItems(ct, 7, {M("Window Center", "WL:", 0)});
    EXPECT_TRUE(ct.GetPositionMap(2).empty());
    // MR is not in the file: OTHER's corners with its orientation labels.
    const XEVOverlaySettingInfo mr = settings_.FindOverlaySettingInfo(QStringLiteral("MR"));
    ExpectOrientation(mr);
    ExpectItems(mr, 0, {T(0x0010, 0x0010, "ID:", 0)});

    // MG: OTHER plus only its own upper-left items.
    const XEVOverlaySettingInfo mg = settings_.FindOverlaySettingInfo(QStringLiteral("MG"));
    ExpectItems(mg, 0, {T(0x0010, 0x0010, "ID:", 0), M("Mammo Image Laterality", "", 0)});
    EXPECT_TRUE(mg.GetPositionMap(7).empty());

    const XEVOverlaySettingInfo us = settings_.FindOverlaySettingInfo(QStringLiteral("US"));
    EXPECT_EQ(us.GetPositionMap(5).at(1).text, QStringLiteral("ultrasound"));
    ExpectItems(us, 0, {T(0x0010, 0x0010, "ID:", 0)});

    settings_.SetCornerTextFont();
    EXPECT_EQ(settings_.Fonts[kXEVFontCornerText].face, QStringLiteral("Noto Sans CJK JP"));
    EXPECT_EQ(settings_.Fonts[kXEVFontCornerText].points, 14);
}

TEST_F(OverlaySettings, MammographyWithoutItsOwnUpperLeftShowsOthersOnce)
{
    WriteFile("OVERLAY.XML", R"(<OVERLAYSETTING>
  <MODALITY NAME="OTHER"><LOCATION VALUE="UPPERLEFT"><LINE><TEXT VALUE="a"/></LINE></LOCATION></MODALITY>
  <MODALITY NAME="MG"><LOCATION VALUE="LOWERLEFT"><LINE><TEXT VALUE="b"/></LINE></LOCATION></MODALITY>
</OVERLAYSETTING>)");
    settings_.LoadOverlaySettings();
    const XEVOverlaySettingInfo mg = settings_.FindOverlaySettingInfo(QStringLiteral("MG"));
    ASSERT_EQ(mg.GetPositionMap(0).size(), 1u);
    EXPECT_EQ(mg.GetPositionMap(0).at(1).text, QStringLiteral("a"));
}

TEST_F(OverlaySettings, CornerFontFromTheFileFallsBackToStringsFaceAndElevenPoints)
{
    struct Case {
        const char* font;
        const char* face;
        int32_t points;
    };
    for (const Case& c :
         {Case{"", "MS UI Gothic", 11}, Case{"<FONT SIZE='0'/>", "MS UI Gothic", 11},
          Case{"<FONT NAME='X' SIZE='-4'/>", "X", 11}, Case{"<FONT NAME='' SIZE='8'/>", "MS UI Gothic", 8}}) {
        WriteFile("OVERLAY.XML", QByteArray("<OVERLAYSETTING>") + c.font + "</OVERLAYSETTING>");
        XEVCommonSettings settings;
        settings.LoadOverlaySettings();
        settings.SetCornerTextFont();
        EXPECT_EQ(settings.Fonts[kXEVFontCornerText].face, QString::fromLatin1(c.face)) << c.font;
        EXPECT_EQ(settings.Fonts[kXEVFontCornerText].points, c.points) << c.font;
        EXPECT_EQ(settings.OverlayReader.fontPointSize, c.points) << c.font;
        // Every built-in modality is there, empty where the file says nothing.
        EXPECT_EQ(settings.OverlaySettings.size(), 5u);
        EXPECT_TRUE(settings.FindOverlaySettingInfo(QStringLiteral("OTHER")).GetPositionMap(7).empty());
    }
}

TEST_F(OverlaySettings, BrokenFileLeavesTheFileCornersEmpty)
{
    WriteFile("OVERLAY.XML", "<OVERLAYSETTING><MODALITY>");
    settings_.LoadOverlaySettings();
    EXPECT_EQ(settings_.OverlayFileExists, 1);
    const XEVOverlaySettingInfo ct = settings_.FindOverlaySettingInfo(QStringLiteral("CT"));
    EXPECT_TRUE(ct.GetPositionMap(7).empty());
    ExpectOrientation(ct);
}

TEST_F(OverlaySettings, AFolderNamedLikeTheFileIsNoFile)
{
    ASSERT_TRUE(QDir(folder_.path()).mkdir(QStringLiteral("OVERLAY.XML")));
    settings_.LoadOverlaySettings();
    EXPECT_EQ(settings_.OverlayFileExists, 0);
    ExpectOther(settings_.FindOverlaySettingInfo(QStringLiteral("OTHER")), false);
}

TEST_F(OverlaySettings, InsertKeepsTheFirstAndLookupCopies)
{
    XEVOverlaySettingInfo first;
    XEVOverlaySettingInfoItem item;
    item.text = QStringLiteral("first");
    first.AddItem(0, item);
    settings_.InsertOverlaySettingInfo(QStringLiteral("XA"), first);
    XEVOverlaySettingInfo second;
    second.AddItem(0, item);
    second.AddItem(0, item);
    settings_.InsertOverlaySettingInfo(QStringLiteral("XA"), second);
    XEVOverlaySettingInfo found = settings_.FindOverlaySettingInfo(QStringLiteral("XA"));
    EXPECT_EQ(found.GetPositionMap(0).size(), 1u);
    found.AddItem(0, item);
    EXPECT_EQ(settings_.FindOverlaySettingInfo(QStringLiteral("XA")).GetPositionMap(0).size(), 1u);
    // No OTHER: an unknown modality gets an empty layout.
    EXPECT_TRUE(settings_.FindOverlaySettingInfo(QStringLiteral("US")).GetPositionMap(0).empty());
    EXPECT_EQ(&GetCommonSettings(), &GetCommonSettings());
}

}   // namespace
