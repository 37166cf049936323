#include "shell/xevrmenu.h"

#include <QPainter>

#include <gtest/gtest.h>

#include "shell/xevbitmapbutton.h"
#include "testsupport/programfolder.h"
#include "testsupport/xevcontroltest.h"

namespace {

// Draws one item of the menu's pop-up into an image of its measured size.
QImage DrawOne(CXEVRMenu& popup, int32_t command, uint32_t state, QRect* rect = nullptr)
{
    XEVMeasureItem measure;
    measure.itemId = command;
    measure.itemData = const_cast<XEVRMenuItem*>(popup.FindItem(command));
    popup.MeasureItem(measure);
    QImage image(measure.itemWidth, measure.itemHeight, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter painter(&image);
    XEVDrawItem draw;
    draw.itemId = command;
    draw.itemState = state;
    draw.painter = &painter;
    draw.itemRect = image.rect();
    popup.DrawItem(draw);
    if (rect != nullptr) {
        *rect = image.rect();
    }
    return image;
}

// The darkest channel value of a region: text ink shows as low values.
int Darkest(const QImage& image, const QRect& region)
{
    int darkest = 255;
    const QRect r = region.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            darkest = std::min({darkest, qRed(p), qGreen(p), qBlue(p)});
        }
    }
    return darkest;
}

class RMenuTest : public XEVSettingsTest {
protected:
    const QPalette palette_ = QApplication::palette();
};

TEST_F(RMenuTest, BuildsTheCellMenuWithLabelsAndIcons)
{
    CXEVRMenu menu;
    ASSERT_EQ(menu.LoadOwnerDraw(kXEVMenuImageReport, GetCommonSettings().MenuLabelsStopped, kXEVImageMenuIcons,
                                 std::size(kXEVImageMenuIcons)),
              1);
    // The root holds the pop-up title only; it is not drawn as an item.
    ASSERT_EQ(menu.actions().size(), 1);
    EXPECT_EQ(menu.actions()[0]->text(), QStringLiteral("RMenu"));
    EXPECT_FALSE(menu.IsOwnerDrawn(menu.actions()[0]));
    CXEVRMenu* popup = menu.GetSubMenu(0);
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(menu.GetSubMenu(1), nullptr);

    const QList<QAction*> items = popup->actions();
    ASSERT_EQ(items.size(), 17);
    for (QAction* item : items) {
        EXPECT_TRUE(popup->IsOwnerDrawn(item));
        EXPECT_NE(item->text(), QStringLiteral("RMenu"));
    }
    EXPECT_TRUE(items[3]->isSeparator());
    EXPECT_EQ(popup->FindItem(32816)->label, QStringLiteral("レポート表示"));
    EXPECT_EQ(popup->FindItem(32791)->label, QStringLiteral("再生"));
    EXPECT_EQ(popup->FindItem(32773)->owner, popup);
    for (const XEVMenuIcon& icon : kXEVImageMenuIcons) {
        EXPECT_EQ(popup->FindItem(icon.command)->icon.size(), QSize(16, 16)) << icon.command;
    }
    EXPECT_TRUE(popup->FindItem(32803)->icon.isNull());

    CXEVRMenu playing;
    ASSERT_EQ(playing.LoadOwnerDraw(kXEVMenuImagePlaying, GetCommonSettings().MenuLabelsPlaying), 1);
    EXPECT_EQ(playing.FindItem(32791)->label, QStringLiteral("一時停止"));
    EXPECT_EQ(playing.FindItem(32816), nullptr);
    EXPECT_TRUE(playing.FindItem(32773)->icon.isNull());   // no icon table
}

TEST_F(RMenuTest, MissingMenuIconAndSecondFree)
{
    CXEVRMenu none;
    EXPECT_EQ(none.LoadOwnerDraw(4242, GetCommonSettings().MenuLabelsStopped), 0);
    EXPECT_EQ(none.GetSubMenu(0), nullptr);
    EXPECT_EQ(none.FreeItemData(nullptr), 0);

    // The first icon that fails ends the icons of the pop-up.
    const XEVMenuIcon icons[] = {{32773, 234}, {32774, 9999}, {32775, 237}};
    CXEVRMenu menu;
    ASSERT_EQ(menu.LoadOwnerDraw(kXEVMenuImage, GetCommonSettings().MenuLabelsStopped, icons, 3), 1);
    EXPECT_FALSE(menu.FindItem(32773)->icon.isNull());
    EXPECT_TRUE(menu.FindItem(32774)->icon.isNull());
    EXPECT_TRUE(menu.FindItem(32775)->icon.isNull());
    // An item without icon still draws, with the tick box when checked.
    ASSERT_TRUE(menu.CheckMenuItem(32775, true));
    const QImage image = DrawOne(*menu.GetSubMenu(0), 32775, kXEVStateChecked);
    EXPECT_EQ(image.pixel(2, 2) | 0xFF000000u, qRgb(64, 64, 64));

    EXPECT_EQ(menu.FreeItemData(nullptr), 1);
    EXPECT_EQ(menu.GetSubMenu(0), nullptr);
    EXPECT_EQ(menu.FreeItemData(nullptr), 0);
    EXPECT_EQ(menu.FindCommand(32773), nullptr);
}

TEST_F(RMenuTest, SettingsFileRelabelsAndLongTextsStayWhole)
{
    const QByteArray longLabel(300, 'W');
    WriteIni("[Strings]\nS20200=Window\nS20201=" + longLabel + "\n");
    GetCommonSettings().Load();
    CXEVRMenu menu;
    ASSERT_EQ(menu.LoadOwnerDraw(kXEVMenuImage, GetCommonSettings().MenuLabelsStopped), 1);
    EXPECT_EQ(menu.FindItem(32773)->label, QStringLiteral("Window"));
    EXPECT_EQ(menu.FindItem(32774)->label, QString::fromLatin1(longLabel));
    EXPECT_EQ(menu.FindItem(32775)->label, QStringLiteral("移動"));

    // The long label's width reaches the item.
    CXEVRMenu* popup = menu.GetSubMenu(0);
    XEVMeasureItem measure;
    measure.itemData = const_cast<XEVRMenuItem*>(popup->FindItem(32774));
    popup->MeasureItem(measure);
    CXEVFont font;
    ASSERT_TRUE(font.CreateFromInfo(GetCommonSettings().Fonts[6], popup));
    EXPECT_NEAR(popup->WidestLabel(), QFontMetrics(font.Font()).horizontalAdvance(QString::fromLatin1(longLabel)), 1);
}

TEST_F(RMenuTest, AcceleratorColumnAndItemHeight)
{
    XEVMenuLabels labels = GetCommonSettings().MenuLabelsStopped;
    labels[32773] = QStringLiteral("Level\tCtrl+W");
    CXEVRMenu menu;
    ASSERT_EQ(menu.LoadOwnerDraw(kXEVMenuImage, labels), 1);
    CXEVRMenu* popup = menu.GetSubMenu(0);
    EXPECT_EQ(popup->FindItem(32773)->label, QStringLiteral("Level"));
    EXPECT_EQ(popup->FindItem(32773)->accelerator, QStringLiteral("Ctrl+W"));

    const QImage image = DrawOne(*popup, 32773, 0);
    EXPECT_GE(image.height(), 20);
    const int labelEnd = 22 + popup->WidestLabel();
    EXPECT_EQ(image.width(), labelEnd + popup->WidestAccelerator());
    EXPECT_GT(popup->WidestAccelerator(), 6);
    // Ink of the accelerator lies in the second column.
    EXPECT_LT(Darkest(image, QRect(labelEnd, 0, popup->WidestAccelerator(), image.height())), 100);

    // Without tabs the second column is 6 pixels; tiny text still gives 20-pixel items.
    GetCommonSettings().Fonts[6].points = 4;
    CXEVRMenu text;
    ASSERT_EQ(text.LoadOwnerDraw(kXEVMenuText, GetCommonSettings().MenuLabelsDelete2), 1);
    const QImage small = DrawOne(*text.GetSubMenu(0), 32811, 0);
    EXPECT_EQ(text.GetSubMenu(0)->WidestAccelerator(), 6);
    EXPECT_EQ(small.height(), 20);
    EXPECT_EQ(small.width(), 22 + text.GetSubMenu(0)->WidestLabel() + 6);

    GetCommonSettings().Fonts[6].points = 40;
    CXEVRMenu big;
    ASSERT_EQ(big.LoadOwnerDraw(kXEVMenuText, GetCommonSettings().MenuLabelsDelete2), 1);
    EXPECT_GT(DrawOne(*big.GetSubMenu(0), 32811, 0).height(), 40);
}

TEST_F(RMenuTest, CheckedAndSelectedLooks)
{
    CXEVRMenu menu;
    ASSERT_EQ(menu.LoadOwnerDraw(kXEVMenuImage, GetCommonSettings().MenuLabelsStopped, kXEVImageMenuIcons,
                                 std::size(kXEVImageMenuIcons)),
              1);
    CXEVRMenu* popup = menu.GetSubMenu(0);
    const QRgb shadow = palette_.color(QPalette::Dark).rgb();
    const QRgb hilight = palette_.color(QPalette::Light).rgb();
    const QRgb face = palette_.color(QPalette::Button).rgb();
    const QRgb window = palette_.color(QPalette::Window).rgb();

    // Plain: icon column and item background.
    QImage plain = DrawOne(*popup, 32803, 0);
    EXPECT_EQ(plain.pixel(19, 1) | 0xFF000000u, face);
    EXPECT_EQ(plain.pixel(20, 1) | 0xFF000000u, window);

    // Checked with an icon: the etched frame, sunken outside and raised inside; no tick box.
    QImage etched = DrawOne(*popup, 32773, kXEVStateChecked);
    EXPECT_EQ(etched.pixel(0, 0) | 0xFF000000u, shadow);
    EXPECT_EQ(etched.pixel(19, 19) | 0xFF000000u, hilight);
    EXPECT_EQ(etched.pixel(1, 1) | 0xFF000000u, hilight);
    EXPECT_EQ(etched.pixel(18, 18) | 0xFF000000u, shadow);
    EXPECT_EQ(CountOther(etched, QRect(2, 2, 16, 16), qRgb(241, 240, 239)), 256);
    // The icon's transparent colour shows the frame's face.
    EXPECT_EQ(etched.pixel(2, 2) | 0xFF000000u, face);

    // Checked without an icon: the drawn tick box.
    QImage ticked = DrawOne(*popup, 32803, kXEVStateChecked);
    EXPECT_EQ(ticked.pixel(2, 2) | 0xFF000000u, qRgb(64, 64, 64));
    EXPECT_EQ(ticked.pixel(3, 3) | 0xFF000000u, qRgb(241, 240, 239));
    EXPECT_EQ(ticked.pixel(2 + 7, 2 + 8) | 0xFF000000u, qRgb(64, 64, 64));   // on the tick

    // Greyed and checked: the box in the three grey shades only.
    QImage greyTick = DrawOne(*popup, 32803, kXEVStateChecked | kXEVStateGrayed | kXEVStateDisabled);
    EXPECT_EQ(greyTick.pixel(2, 2) | 0xFF000000u, shadow);

    // Selected: the blue box, white text.
    const QRgb fill = qRgb(120, 160, 200);
    QImage selected = DrawOne(*popup, 32803, kXEVStateSelected);
    EXPECT_EQ(selected.pixel(0, 0) | 0xFF000000u, qRgb(0, 50, 128));
    EXPECT_EQ(selected.pixel(selected.width() - 1, selected.height() - 1) | 0xFF000000u, qRgb(0, 50, 128));
    EXPECT_EQ(selected.pixel(21, 1) | 0xFF000000u, fill);
    EXPECT_EQ(Darkest(selected, QRect(22, 1, popup->WidestLabel(), selected.height() - 2)),
              std::min({qRed(fill), qGreen(fill), qBlue(fill)}));

    // Greyed and selected: no box, grey text.
    QImage grey = DrawOne(*popup, 32803, kXEVStateSelected | kXEVStateGrayed | kXEVStateDisabled);
    EXPECT_EQ(CountOther(grey, grey.rect(), fill), grey.width() * grey.height());
    const int ink = Darkest(grey, QRect(22, 0, popup->WidestLabel(), grey.height()));
    EXPECT_GE(ink, 140);
    EXPECT_LT(ink, std::min({qRed(window), qGreen(window), qBlue(window)}));
}

TEST_F(RMenuTest, SeparatorsAndUnknownItems)
{
    CXEVRMenu menu;
    ASSERT_EQ(menu.LoadOwnerDraw(kXEVMenuImage, GetCommonSettings().MenuLabelsStopped), 1);
    CXEVRMenu* popup = menu.GetSubMenu(0);
    XEVMeasureItem separator;
    popup->MeasureItem(separator);
    EXPECT_EQ(separator.itemWidth, 1);
    EXPECT_EQ(separator.itemHeight, 1);

    QImage image(60, 3, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter painter(&image);
    XEVDrawItem draw;
    draw.painter = &painter;
    draw.itemRect = QRect(0, 1, 60, 1);
    popup->DrawItem(draw);
    EXPECT_EQ(image.pixel(1, 1) | 0xFF000000u, palette_.color(QPalette::Button).rgb());
    EXPECT_EQ(image.pixel(2, 1) | 0xFF000000u, qRgb(128, 128, 128));
    EXPECT_EQ(image.pixel(57, 1) | 0xFF000000u, qRgb(128, 128, 128));
    EXPECT_NE(image.pixel(58, 1) | 0xFF000000u, qRgb(128, 128, 128));

    // A command that is not in the menu, or another control type, draws nothing.
    image.fill(Qt::magenta);
    draw.itemId = 32816;
    popup->DrawItem(draw);
    draw.itemId = 32773;
    draw.ctlType = 4;
    popup->DrawItem(draw);
    EXPECT_EQ(CountOther(image, image.rect(), qRgb(255, 0, 255)), 0);
}

TEST_F(RMenuTest, TheMenuWidgetUsesTheOwnerDrawing)
{
    CXEVRMenu menu;
    ASSERT_EQ(menu.LoadOwnerDraw(kXEVMenuImage, GetCommonSettings().MenuLabelsStopped, kXEVImageMenuIcons,
                                 std::size(kXEVImageMenuIcons)),
              1);
    CXEVRMenu* popup = menu.GetSubMenu(0);
    popup->setActiveAction(popup->FindCommand(32799));
    const QImage image = Grab(*popup);
    const QRect item = popup->actionGeometry(popup->FindCommand(32799));
    EXPECT_EQ(item.height(), 20);
    EXPECT_EQ(item.width(), 22 + popup->WidestLabel() + popup->WidestAccelerator());
    EXPECT_EQ(popup->actionGeometry(popup->actions()[3]).height(), 1);
    EXPECT_EQ(image.pixel(item.left(), item.top()) | 0xFF000000u, qRgb(0, 50, 128));
    EXPECT_EQ(image.pixel(item.left() + 21, item.top() + 1) | 0xFF000000u, qRgb(120, 160, 200));
    const QRect first = popup->actionGeometry(popup->FindCommand(32773));
    EXPECT_EQ(image.pixel(first.left() + 1, first.top() + 1) | 0xFF000000u, palette_.color(QPalette::Button).rgb());
}

}   // namespace
