#include "viewer/xevoverlayviewinfo.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QTemporaryDir>

#include <map>

#include "overlaytestsupport.h"
#include "platform/platfolder.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevfont.h"

namespace {

constexpr int kSize = 400;

// The built-in layouts (no OVERLAY.XML in an empty program folder) and the corner font.
void LoadBuiltInSettings()
{
    XEVCommonSettings& settings = GetCommonSettings();
    if (settings.OverlaySettings.empty()) {
        QTemporaryDir folder;
        PlatSetModuleFolderForTest(folder.path().toStdString());
        settings.LoadOverlaySettings();
        PlatSetModuleFolderForTest("");
    }
    settings.SetCornerTextFont();
}

QString TagValue(uint16_t group, uint16_t element)
{
    static const std::map<uint32_t, const char*> values = {
        {0x0008103E, "CHEST ROUTINE"},
        {0x00080022, "20120315"},
        {0x00080032, "093015.250"},
        {0x00201041, "-12.5"},
        {0x00180050, "5"},
        {0x00185100, "HFS"},
        {0x00181100, "350"},
        {0x00181120, "0"},
        {0x00181151, "200"},
        {0x00180060, "120"},
        {0x00200012, "1"},
        {0x00200013, "12"},
        {0x00200011, "3"},
    };
    const auto found = values.find(uint32_t(group) << 16 | element);
    return found == values.end() ? QString() : QString::fromLatin1(found->second);
}

XEVOverlayViewInfo ViewOf(const char* modality)
{
    const XEVOverlaySettingInfo layout = GetCommonSettings().FindOverlaySettingInfo(QString::fromLatin1(modality));
    XEVOverlayViewInfo view;
    for (int32_t position = 0; position < kXEVOverlayPositionCount; ++position) {
        for (const auto& [line, item] : layout.GetPositionMap(position)) {
            XEVOverlaySettingInfoItem copy = item;
            if (copy.kind == XEVOverlaySettingInfoItem::kTag) {
                copy.value = TagValue(copy.group, copy.element);
            }
            view.positions[position].push_back(copy);
        }
    }
    view.pageText = QStringLiteral("3 of 20");
    view.zoomText = QStringLiteral("1.50");
    view.windowCenterText = QStringLiteral("40");
    view.windowWidthText = QStringLiteral("400");
    view.orientationTopText = QStringLiteral("A");
    view.orientationBottomText = QStringLiteral("H");
    view.orientationLeftText = QStringLiteral("R");
    view.orientationRightText = QStringLiteral("L");
    return view;
}

XEVOverlaySettingInfoItem TextItem(const QString& text, int32_t lineBreak = 1)
{
    XEVOverlaySettingInfoItem item;
    item.kind = XEVOverlaySettingInfoItem::kText;
    item.text = text;
    item.appendSeparator = lineBreak;
    return item;
}

XEVOverlaySettingInfoItem MacroItem(const QString& name, const char* prefix, int32_t lineBreak = 1)
{
    XEVOverlaySettingInfoItem item;
    item.kind = XEVOverlaySettingInfoItem::kMacro;
    item.macroName = name;
    item.prefix = QString::fromLatin1(prefix);
    item.appendSeparator = lineBreak;
    return item;
}

QImage Draw(const XEVOverlayViewInfo& view, QRgb fill = kBlack, int32_t dragTool = 0)
{
    QImage image = Canvas(kSize, kSize, fill);
    QPainter painter(&image);
    view.Draw(painter, image.rect(), dragTool);
    return image;
}

// Each block's text as drawn, its flags and the top-left of its measured box: 6 pixels
// inside the edges, centred, or at the middle, from the font's own metrics.
struct Block {
    QString text;
    int flags;
    QRect box;
};

std::map<int32_t, Block> Blocks(const XEVOverlayViewInfo& view, const QImage& image, int32_t dragTool = 0)
{
    CXEVFont font;
    font.CreateFromInfo(GetCommonSettings().Fonts[kXEVFontCornerText], &image);
    const QFontMetrics metrics(font.Font(), &image);
    std::map<int32_t, Block> blocks;
    for (int32_t position = 0; position < 8; ++position) {
        if (view.positions[position].empty()) {
            continue;
        }
        QString text = view.FormatPosition(view.positions[position], dragTool);
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        const int align = (position == 3 || position == 4) ? Qt::AlignHCenter : position >= 5 ? Qt::AlignRight : 0;
        const int flags = Qt::TextWordWrap | align;
        const QRect r = metrics.boundingRect(QRect(0, 0, kSize - 12, kSize), flags, text);
        const int w = r.width();
        const int h = r.height();
        const int dx = position <= 2 ? 6 : (position <= 4 ? (kSize - w) / 2 : kSize - w - 6);
        const int dy = (position == 0 || position == 3 || position == 5) ? 6
                       : (position == 1 || position == 6)                ? (kSize - h) / 2
                                                                         : kSize - h - 6;
        blocks[position] = {text, flags, QRect(dx, dy, w, h)};
    }
    return blocks;
}

// Where the white text of each block lies: its box moved one pixel up and left.
std::map<int32_t, QRect> WhiteBlocks(const XEVOverlayViewInfo& view, const QImage& image, int32_t dragTool = 0)
{
    std::map<int32_t, QRect> white;
    for (const auto& [position, block] : Blocks(view, image, dragTool)) {
        white[position] = block.box.translated(-1, -1);
    }
    return white;
}

// The bounding box of the white pixels inside an area.
QRect WhiteInk(const QImage& image, const QRect& area)
{
    QRect ink;
    for (int y = std::max(0, area.top()); y <= std::min(kSize - 1, area.bottom()); ++y) {
        for (int x = std::max(0, area.left()); x <= std::min(kSize - 1, area.right()); ++x) {
            if (image.pixel(x, y) == kWhite) {
                ink = ink.united(QRect(x, y, 1, 1));
            }
        }
    }
    return ink;
}

class CornerTexts : public ::testing::Test {
protected:
    void SetUp() override { LoadBuiltInSettings(); }
};

TEST_F(CornerTexts, BlocksKeepTheirMargins)
{
    const XEVOverlayViewInfo view = ViewOf("CT");
    const QImage image = Draw(view);
    const auto blocks = WhiteBlocks(view, image);
    ASSERT_EQ(blocks.size(), 7u);   // CT has nothing at the upper left
    EXPECT_EQ(blocks.count(0), 0u);
    for (const auto& [position, rect] : blocks) {
        EXPECT_FALSE(WhiteInk(image, rect).isEmpty()) << "position " << position;
    }
    // The right blocks end at least six pixels from the edge, less the shadow's pixel.
    for (const int32_t position : {5, 6, 7}) {
        EXPECT_LE(WhiteInk(image, blocks.at(position)).right(), 393) << position;
    }
    // Top and bottom centre blocks are centred within one pixel.
    for (const int32_t position : {3, 4}) {
        const QRect ink = WhiteInk(image, blocks.at(position));
        EXPECT_NEAR((ink.left() + ink.right() + 1) / 2.0, kSize / 2.0 - 1, 1.0) << position;
    }
    // Upper blocks start six pixels down, lower ones end six pixels up, less the shadow's.
    EXPECT_EQ(blocks.at(5).top(), 5);
    EXPECT_EQ(blocks.at(7).bottom(), kSize - 8);
    EXPECT_GE(WhiteInk(image, blocks.at(7)).bottom(), kSize - 20);
}

TEST_F(CornerTexts, JapaneseSeriesDescriptionDrawsGlyphs)
{
    // Two different characters give two different inks; missing glyphs would be the same box.
    QImage images[2];
    const QString texts[2] = {QStringLiteral("胸部"), QStringLiteral("頭部")};
    for (int i = 0; i < 2; ++i) {
        XEVOverlayViewInfo view;
        XEVOverlaySettingInfoItem item;
        item.group = 0x0008;
        item.element = 0x103E;
        item.value = texts[i];
        view.positions[5].push_back(item);
        images[i] = Draw(view);
        EXPECT_GT(WhiteInk(images[i], images[i].rect()).width(), 15) << i;
    }
    EXPECT_NE(images[0], images[1]);
    CXEVFont font;
    font.CreateFromInfo(GetCommonSettings().Fonts[kXEVFontCornerText], &images[0]);
    EXPECT_TRUE(QFontMetrics(font.Font()).inFont(QChar(0x80F8)));
}

// The same blocks drawn by QPainter::drawText with the flags of the Windows original
// (word break, centre or right), across the width less the margins.
QImage DrawWithDrawText(const XEVOverlayViewInfo& view, QRgb fill, int32_t dragTool)
{
    QImage image = Canvas(kSize, kSize, fill);
    CXEVFont font;
    font.CreateFromInfo(GetCommonSettings().Fonts[kXEVFontCornerText], &image);
    const auto blocks = Blocks(view, image, dragTool);
    QPainter painter(&image);
    painter.setFont(font.Font());
    for (const auto& [position, block] : blocks) {
        const QRect box(6, block.box.top(), kSize - 12, block.box.height());
        painter.setPen(Qt::black);
        painter.drawText(box, block.flags, block.text);
        painter.setPen(Qt::white);
        painter.drawText(box.translated(-1, -1), block.flags, block.text);
    }
    return image;
}

// Each layout against the oracle: shadow one pixel right and down, wrapping inside the
// margins, positions without items drawing nothing, a window drag leaving its lines.
TEST_F(CornerTexts, SamePixelsAsDrawText)
{
    QString words;
    for (int i = 0; i < 30; ++i) {
        words += QStringLiteral("word%1 ").arg(i);
    }
    struct Case {
        XEVOverlayViewInfo view;
        QRgb fill;
        int32_t dragTool;
    };
    std::vector<Case> cases(6, {ViewOf("CT"), qRgb(90, 90, 90), 0});
    cases[0].view.positions[0] = {TextItem(words, 1), TextItem(QStringLiteral("胸部 単純"), 0)};
    cases[0].view.positions[6].push_back(TextItem(words, 0));
    cases[1].view = XEVOverlayViewInfo();
    cases[1].view.positions[0] = {TextItem(QStringLiteral("YAMADA TARO")), TextItem(QStringLiteral("ID 0012345"), 0)};
    for (const int32_t position : {1, 2, 3, 4, 5, 6}) {
        cases[2].view.positions[position].clear();
    }
    cases[3].view = XEVOverlayViewInfo();
    cases[4].view.positions[7].push_back(TextItem(words + words, 0));
    cases[5].fill = kBlack;
    cases[5].dragTool = 1;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(Draw(c.view, c.fill, c.dragTool), DrawWithDrawText(c.view, c.fill, c.dragTool)) << i;
    }
    // Something to compare: ink in the first layouts, none without items.
    EXPECT_GT(CountColour(Draw(cases[1].view, kGrey), QRect(0, 0, kSize, kSize), kBlack), 5);
    const QImage blank = Draw(cases[3].view);
    EXPECT_TRUE(WhiteInk(blank, blank.rect()).isEmpty());
}

// Layouts are made once for a text, a font and a width and drawn again from then on: a value
// that changes between paints, or a view of another width, draws its own text, never the one
// drawn before.
TEST_F(CornerTexts, RepeatedPaintsDrawTheTextOfTheirOwnPaint)
{
    XEVOverlayViewInfo first = ViewOf("CT");
    XEVOverlayViewInfo second = first;
    second.windowCenterText = QStringLiteral("1234");
    const QImage a = Draw(first);
    const QImage b = Draw(second);
    EXPECT_NE(a, b);
    EXPECT_EQ(Draw(first), a);
    EXPECT_EQ(Draw(second), b);
    EXPECT_EQ(b, DrawWithDrawText(second, kBlack, 0));
    // At half the width the right-hand blocks stand at its own right edge.
    const auto drawNarrow = [&] {
        QImage narrow = Canvas(kSize / 2, kSize, kBlack);
        QPainter painter(&narrow);
        first.Draw(painter, narrow.rect(), 0);
        return narrow;
    };
    const QImage narrow = drawNarrow();
    EXPECT_NE(narrow, a.copy(0, 0, kSize / 2, kSize));
    EXPECT_EQ(drawNarrow(), narrow);
    // A block taller than the view is laid out as far as the view reaches, and draws there
    // as the whole block would.
    XEVOverlayViewInfo tall;
    for (int i = 0; i < 200; ++i) {
        tall.positions[0].push_back(TextItem(QStringLiteral("line %1 of a corner taller than the view").arg(i)));
    }
    EXPECT_EQ(Draw(tall), DrawWithDrawText(tall, kBlack, 0));
}

TEST_F(CornerTexts, DragToolsLeaveOnlyTheirValues)
{
    XEVOverlayViewInfo view = ViewOf("CT");
    view.dfovText = QStringLiteral("0.00 x 0.00");
    view.positions[7].push_back(MacroItem(kXEVMacroDFOV, "DFOV:", 0));
    const auto& lowerRight = view.positions[7];

    EXPECT_EQ(view.FormatPosition(lowerRight, 0),
              QStringLiteral("\r\nZ:1.50\r\nC:40\r\nW:400\r\nIM:12 SE:3DFOV:0.00 x 0.00"));
    // A hidden item still ends its line.
    EXPECT_EQ(view.FormatPosition(lowerRight, 1), QStringLiteral("\r\n\r\nC:40\r\nW:400\r\n"));
    EXPECT_EQ(view.FormatPosition(lowerRight, 2), QStringLiteral("\r\nZ:1.50\r\n\r\n\r\nDFOV:0.00 x 0.00"));
    EXPECT_EQ(view.FormatPosition(lowerRight, 4), QStringLiteral("\r\n\r\n\r\n\r\nDFOV:0.00 x 0.00"));
    // Other tools hide nothing.
    EXPECT_EQ(view.FormatPosition(lowerRight, 8), view.FormatPosition(lowerRight, 0));
    // During a window drag tag items show nothing.
    EXPECT_EQ(view.FormatPosition(view.positions[5], 1), QStringLiteral("\r\n\r\n\r\n\r\n\r\n"));
    EXPECT_EQ(view.FormatPosition(view.positions[5], 0),
              QStringLiteral("CHEST ROUTINE\r\n2012/03/15 09:30:15\r\n\r\nLOC:-12.5\r\nTHK:5\r\nHFS"));
    EXPECT_EQ(view.FormatPosition(view.positions[2], 0),
              QStringLiteral("\r\nRD:350\r\nTilt:0\r\nmA:200\r\nKVP:120\r\nAcq no:1\r\n3 of 20"));
}

TEST_F(CornerTexts, MacroValuesByNameAndLinesOutOfRange)
{
    XEVOverlayViewInfo view;
    view.multiframeText = QStringLiteral("MF");
    view.jpegLossyText = QStringLiteral("Lossy");
    view.mammoLateralityText = QStringLiteral("R");
    const XEVOverlayViewInfo::Items items = {
        MacroItem(kXEVMacroMultiframe, "", 0), MacroItem(kXEVMacroJpegLossy, "[", 0),
        MacroItem(kXEVMacroMammoLaterality, "", 0), MacroItem(QStringLiteral("Unknown"), "u", 0)};
    EXPECT_EQ(view.FormatPosition(items, 0), QStringLiteral("MF[LossyRu"));

    view = ViewOf("MG");
    EXPECT_EQ(view.GetLines(0).size(), 1u);
    EXPECT_TRUE(view.GetLines(8).empty());
    EXPECT_TRUE(view.GetLines(-1).empty());
    view.Clear();
    for (int32_t position = 0; position < 8; ++position) {
        EXPECT_TRUE(view.GetLines(position).empty());
    }
    EXPECT_TRUE(view.pageText.isEmpty() && view.zoomText.isEmpty() && view.windowCenterText.isEmpty());
}

TEST_F(CornerTexts, TrimsAndGrowableValues)
{
    XEVOverlayViewInfo view;
    view.zoomText = QStringLiteral("12.00");
    view.windowCenterText = QStringLiteral("12.50");
    view.windowWidthText = QStringLiteral("0.05");
    view.TrimZoom();
    view.TrimWindowCenter();
    view.TrimWindowWidth();
    EXPECT_EQ(view.zoomText, QStringLiteral("12"));
    EXPECT_EQ(view.windowCenterText, QStringLiteral("12.50"));
    EXPECT_EQ(view.windowWidthText, QStringLiteral("0.05"));
    view.zoomText = QStringLiteral(".0");
    view.TrimZoom();
    EXPECT_EQ(view.zoomText, QStringLiteral(".0"));
    view.windowWidthText = QStringLiteral(".00");
    view.TrimWindowWidth();
    EXPECT_TRUE(view.windowWidthText.isEmpty());

    EXPECT_EQ(XEVOverlayViewInfo::FormatNumber(1.5), QStringLiteral("1.50"));
    const QString huge = XEVOverlayViewInfo::FormatNumber(1e300);
    EXPECT_GT(huge.size(), 300);
    EXPECT_TRUE(huge.startsWith(QStringLiteral("1000000")));
    EXPECT_TRUE(huge.endsWith(QStringLiteral(".00")));
    view.windowWidthText = huge;
    view.TrimWindowWidth();
    EXPECT_EQ(view.windowWidthText.size(), huge.size() - 3);
    const XEVOverlayViewInfo::Items items = {MacroItem(kXEVMacroWindowWidth, "W:", 0)};
    EXPECT_EQ(view.FormatPosition(items, 0).size(), huge.size() - 1);
    view.positions[7] = items;
    const QImage image = Draw(view);
    EXPECT_FALSE(WhiteInk(image, image.rect()).isEmpty());
}

}   // namespace
