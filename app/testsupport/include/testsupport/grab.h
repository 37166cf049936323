#pragma once

// Painted pixels of a widget, grabbed offscreen.

#include <QImage>
#include <QRect>
#include <QWidget>

inline QImage Grab(QWidget& widget)
{
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

inline QRgb PixelAt(QWidget& widget, int x, int y)
{
    return Grab(widget).pixel(x, y) | 0xFF000000u;
}

inline int Gray(const QImage& image, int x, int y)
{
    return qRed(image.pixel(x, y));
}

inline bool IsColour(const QImage& image, int x, int y, int r, int g, int b)
{
    const QRgb p = image.pixel(x, y);
    return qRed(p) == r && qGreen(p) == g && qBlue(p) == b;
}

// Counts the pixels of a region that differ from a colour.
inline int CountOther(const QImage& image, const QRect& region, QRgb colour)
{
    int count = 0;
    const QRect r = region.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            count += (image.pixel(x, y) | 0xFF000000u) != (colour | 0xFF000000u) ? 1 : 0;
        }
    }
    return count;
}
