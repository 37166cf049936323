#include "shell/xevfont.h"

#include <gtest/gtest.h>

#include "testsupport/qtguitestapp.h"

#include <QFontInfo>
#include <QImage>

namespace {

QImage Device(int dpi)
{
    QImage image(8, 8, QImage::Format_RGB32);
    image.setDotsPerMeterX(qRound(dpi / 0.0254));
    image.setDotsPerMeterY(qRound(dpi / 0.0254));
    return image;
}

TEST(XEVFont, PixelSizeFollowsTheDevicesDpi)
{
    EXPECT_EQ(CXEVFont::PixelSize(9, 96), 12);
    EXPECT_EQ(CXEVFont::PixelSize(9, 120), 15);
    EXPECT_EQ(CXEVFont::PixelSize(16, 96), 21);   // 21.33
    EXPECT_EQ(CXEVFont::PixelSize(11, 96), 15);   // 14.67
    EXPECT_EQ(CXEVFont::PixelSize(3, 12), 1);     // 0.5 rounds away from zero
    EXPECT_EQ(CXEVFont::PixelSize(-3, 12), -1);

    const QImage screen = Device(96);
    CXEVFont font;
    EXPECT_TRUE(font.IsNull());
    XEVFontInfo info;
    info.face = QStringLiteral("MS UI Gothic");
    info.points = 16;
    info.weight = 700;
    ASSERT_TRUE(font.CreateFromInfo(info, &screen));
    EXPECT_EQ(font.Font().pixelSize(), 21);
    EXPECT_EQ(font.Font().weight(), QFont::Bold);
    EXPECT_EQ(font.Font().families().value(0), QStringLiteral("MS UI Gothic"));

    const QImage large = Device(120);
    info.points = 9;
    info.weight = 400;
    ASSERT_TRUE(font.CreateFromInfo(info, &large));   // replaces the held font
    EXPECT_EQ(font.Font().pixelSize(), 15);
    EXPECT_EQ(font.Font().weight(), QFont::Normal);
    info.weight = 0;   // the default weight, as on Windows
    ASSERT_TRUE(font.CreateFromInfo(info, &large));
    EXPECT_EQ(font.Font().weight(), QFont::Normal);
}

TEST(XEVFont, MissingWindowsFaceFallsBackToAJapaneseFace)
{
    const QImage screen = Device(96);
    CXEVFont font;
    XEVFontInfo info;
    info.face = QStringLiteral("MS UI Gothic");
    ASSERT_TRUE(font.CreateFromInfo(info, &screen));
    const QFontInfo resolved(font.Font());
    EXPECT_TRUE(resolved.family().contains(QStringLiteral("CJK"))) << resolved.family().toStdString();
}

}   // namespace
