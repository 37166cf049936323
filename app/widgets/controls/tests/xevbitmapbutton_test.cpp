#include "shell/xevbitmapbutton.h"

#include <QDir>

#include <gtest/gtest.h>

#include "shell/xevbitmap.h"
#include "testsupport/programfolder.h"
#include "testsupport/xevcontroltest.h"

namespace {

const QRgb kOff = qRgb(200, 0, 0);
const QRgb kOn = qRgb(0, 160, 0);
const QRgb kOver = qRgb(0, 0, 220);
const QRgb kDisabled = qRgb(90, 90, 90);

class BitmapButtonTest : public XEVProgramFolderTest {
protected:
    void SetUp() override
    {
        XEVProgramFolderTest::SetUp();
        ASSERT_TRUE(QDir(folder_.path()).mkpath(QStringLiteral("Res")));
    }

    // A flat 40 x 30 skin file under Res/.
    void WriteSkin(const QString& name, QRgb colour)
    {
        QImage image(40, 30, QImage::Format_RGB888);
        image.fill(colour);
        ASSERT_TRUE(image.save(QDir(folder_.path()).filePath(QStringLiteral("Res/") + name), "BMP"));
    }

    void WriteAll(bool withOver = true)
    {
        WriteSkin(QStringLiteral("Btn_OK_off.bmp"), kOff);
        WriteSkin(QStringLiteral("Btn_OK_on.bmp"), kOn);
        if (withOver) {
            WriteSkin(QStringLiteral("Btn_OK_over.bmp"), kOver);
        }
        WriteSkin(QStringLiteral("Btn_OK_d.bmp"), kDisabled);
    }

    // Moves in and waits for the hover notification.
    static void Hover(CXEVBitmapButton& button)
    {
        SendMouse(button, QEvent::MouseMove, QPoint(10, 10), Qt::NoButton, Qt::NoButton);
        ASSERT_TRUE(PumpUntil([&] { return button.Hovering() == 1; }, kControlTimeoutMs));
    }
};

TEST_F(BitmapButtonTest, LooksFollowTheMouseAndTheLatch)
{
    WriteAll();
    CXEVBitmapButton button;
    ASSERT_EQ(button.LoadSkin(QStringLiteral("OK")), 1);
    button.SizeToContent();
    EXPECT_EQ(button.size(), QSize(40, 30));
    EXPECT_EQ(PixelAt(button, 20, 15), kOff);

    Hover(button);
    EXPECT_EQ(PixelAt(button, 20, 15), kOver);
    // Latched wins over hovered.
    button.SetLatched(1);
    EXPECT_EQ(PixelAt(button, 20, 15), kOn);
    button.SetLatched(0);

    // Press then release without moving: pressed, then hovered.
    SendMouse(button, QEvent::MouseButtonPress, QPoint(10, 10), Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(button.Hovering(), 0);
    EXPECT_EQ(PixelAt(button, 20, 15), kOn);
    SendMouse(button, QEvent::MouseButtonRelease, QPoint(10, 10), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(button.Hovering(), 1);
    EXPECT_EQ(PixelAt(button, 20, 15), kOver);

    // Disabled and not hovered shows the disabled look.
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    button.setEnabled(false);
    EXPECT_EQ(PixelAt(button, 20, 15), kDisabled);
}

TEST_F(BitmapButtonTest, LeavingWhileHeldClearsTheHoverAndReenteringTracksAgain)
{
    WriteAll();
    CXEVBitmapButton button;
    ASSERT_EQ(button.LoadSkin(QStringLiteral("OK")), 1);
    button.SizeToContent();
    Hover(button);
    SendMouse(button, QEvent::MouseButtonPress, QPoint(10, 10), Qt::LeftButton, Qt::LeftButton);
    SendMouse(button, QEvent::MouseMove, QPoint(60, 10), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(button.Hovering(), 0);
    EXPECT_EQ(button.Tracking(), 0);
    EXPECT_EQ(PixelAt(button, 20, 15), kOff);
    SendMouse(button, QEvent::MouseMove, QPoint(10, 10), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(button.Tracking(), 1);
    // Released outside: the pointer has gone, so the button is not lit.
    SendMouse(button, QEvent::MouseMove, QPoint(60, 10), Qt::NoButton, Qt::LeftButton);
    SendMouse(button, QEvent::MouseButtonRelease, QPoint(60, 10), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(button.Hovering(), 0);
    EXPECT_EQ(PixelAt(button, 20, 15), kOff);
}

TEST_F(BitmapButtonTest, MissingFiles)
{
    // Without "_over" hovering shows "_off", and loading reports the gap.
    WriteAll(false);
    CXEVBitmapButton button;
    EXPECT_EQ(button.LoadSkin(QStringLiteral("OK")), 0);
    button.SizeToContent();
    EXPECT_FALSE(button.Bitmap(CXEVOwnerDrawButton::kDisabled).isNull());
    Hover(button);
    EXPECT_EQ(PixelAt(button, 20, 15), kOff);

    // Without "_off" nothing else is loaded.
    CXEVBitmapButton other;
    EXPECT_EQ(other.LoadSkin(QStringLiteral("Missing")), 0);
    EXPECT_EQ(other.LoadBitmaps(CXEVBitmapButton::SkinPath(QStringLiteral("Missing"), QStringLiteral("off")),
                                CXEVBitmapButton::SkinPath(QStringLiteral("OK"), QStringLiteral("on")), QString(),
                                QString()),
              0);
    EXPECT_TRUE(other.Bitmap(CXEVOwnerDrawButton::kSelected).isNull());
}

TEST_F(BitmapButtonTest, SkinNamesMatchWithoutRegardToCase)
{
    ASSERT_TRUE(QDir(folder_.path()).rename(QStringLiteral("Res"), QStringLiteral("RES")));
    QImage image(8, 8, QImage::Format_RGB888);
    image.fill(kOn);
    ASSERT_TRUE(image.save(QDir(folder_.path()).filePath(QStringLiteral("RES/BTN_ok_OFF.BMP")), "BMP"));
    CXEVBitmapButton button;
    EXPECT_EQ(button.LoadBitmaps(CXEVBitmapButton::SkinPath(QStringLiteral("OK"), QStringLiteral("off")), QString(),
                                 QString(), QString()),
              1);
    EXPECT_EQ(button.Bitmap(CXEVOwnerDrawButton::kNormal).size(), QSize(8, 8));
}

TEST_F(BitmapButtonTest, CaptionIsDrawnOnlyWhenNotEmpty)
{
    WriteAll();
    CXEVBitmapButton button;
    ASSERT_EQ(button.LoadSkin(QStringLiteral("OK")), 1);
    button.SizeToContent();
    EXPECT_EQ(CountOther(Grab(button), button.rect(), kOff), 0);
    button.SetCaption(QStringLiteral("OK"));
    EXPECT_GT(CountOther(Grab(button), button.rect(), kOff), 0);
}

TEST(ToggleButtonTest, OnlyTheOwnersStateChoosesTheLook)
{
    CXEVToggleButton button;
    QPixmap looks[4];
    const QRgb colours[4] = {kOff, kOn, kOver, kDisabled};
    for (int i = 0; i < 4; ++i) {
        looks[i] = QPixmap(20, 20);
        looks[i].fill(QColor(colours[i]));
        button.SetBitmap(static_cast<CXEVOwnerDrawButton::Look>(i), looks[i]);
    }
    button.SizeToContent();
    button.setEnabled(false);
    EXPECT_EQ(PixelAt(button, 5, 5), kOff);
    button.setEnabled(true);
    button.setFocus();
    button.state = 1;
    EXPECT_EQ(PixelAt(button, 5, 5), kOn);
    button.state = 2;
    EXPECT_EQ(PixelAt(button, 5, 5), kDisabled);
    button.state = 0;
    EXPECT_EQ(PixelAt(button, 5, 5), kOff);
}

TEST(BuiltInBitmapTest, SizesOfTheBuiltInArtwork)
{
    struct Size {
        uint16_t id;
        int width;
        int height;
    };
    const Size sizes[] = {{209, 321, 27}, {210, 321, 27}, {252, 321, 27}, {211, 18, 18}, {216, 18, 18},
                          {218, 442, 93}, {206, 24, 24},  {208, 24, 24},  {148, 17, 20}, {147, 213, 28},
                          {217, 115, 41}, {234, 16, 16},  {241, 16, 16},  {274, 16, 16}};
    for (const Size& size : sizes) {
        const CXEVBitmap bitmap(size.id);
        EXPECT_EQ(bitmap.Width(), size.width) << size.id;
        EXPECT_EQ(bitmap.Height(), size.height) << size.id;
    }
    const CXEVBitmap missing(1);
    EXPECT_TRUE(missing.IsNull());
    EXPECT_EQ(missing.Width(), 0);
}

}   // namespace
