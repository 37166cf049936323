#pragma once

// What the annotation and corner-text tests share: canvases at screen resolution, reading
// the painted pixels back, and a manager of annotations over a frame in a view.

#include <QImage>
#include <QPainter>
#include <QRect>
#include <QWidget>

#include <cmath>
#include <memory>

#include "testsupport/qtguitestapp.h"
#include "viewer/xevoverlaymanager.h"

inline constexpr QRgb kWhite = qRgb(255, 255, 255);
inline constexpr QRgb kBlack = qRgb(0, 0, 0);
inline constexpr QRgb kGrey = qRgb(128, 128, 128);

// 96 dpi, as a screen, so fonts come out at the size the views use.
inline QImage Canvas(int w, int h, QRgb fill = kBlack)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    image.fill(fill);
    return image;
}

// Pixels of that colour inside the area.
inline int CountColour(const QImage& image, const QRect& area, QRgb colour)
{
    int n = 0;
    const QRect inside = area & image.rect();
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            n += image.pixel(x, y) == colour ? 1 : 0;
        }
    }
    return n;
}

// A white pixel within reach of the point, rounded.
inline bool WhiteNear(const QImage& image, double x, double y, int reach = 1)
{
    const int cx = static_cast<int>(std::lround(x));
    const int cy = static_cast<int>(std::lround(y));
    return CountColour(image, QRect(cx - reach, cy - reach, 2 * reach + 1, 2 * reach + 1), kWhite) > 0;
}

// A 400 x 400 frame of 1 mm pixels at zoom 1 in a view of the same size.
class OverlayFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        view_ = std::make_unique<QWidget>();
        view_->resize(400, 400);
        manager_.imageWidth = 400;
        manager_.imageHeight = 400;
        manager_.spacing1 = 1.0;
        manager_.spacing2 = 1.0;
    }
    void AddMeasure(QPoint a, QPoint b)
    {
        manager_.BeginMeasure(a);
        manager_.DragMeasure(zoom1_, b);
        manager_.EndMeasure(zoom1_, b);
    }
    void AddText(QPoint at, const QString& text)
    {
        manager_.BeginText(at, view_.get());
        manager_.CurrentText()->edit->insertPlainText(text);
        manager_.EndTextEdit(zoom1_);
    }
    CXEVOverlayArrow* AddArrow(QPoint head, QPoint tail)
    {
        manager_.BeginArrow(head);
        manager_.DragArrow(tail, zoom1_);
        EXPECT_EQ(manager_.EndArrowDrag(view_.get()), 1);
        manager_.EndArrowEdit(zoom1_);
        return manager_.CurrentArrow();
    }
    // Drawing also tells the texts their box sizes.
    QImage Paint(QRgb fill = kBlack)
    {
        QImage image = Canvas(400, 400, fill);
        QPainter painter(&image);
        manager_.DrawAll(painter, {0, 0}, {0, 0}, 1.0);
        return image;
    }

    std::unique_ptr<QWidget> view_;
    XEVOverlayManager manager_;
    const XEVOverlayView zoom1_{nullptr, {0, 0}, {0, 0}, 1.0};
};
