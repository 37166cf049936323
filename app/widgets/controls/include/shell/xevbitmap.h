#pragma once

// Bitmaps built into the program, by resource id, and the bitmap that draws one.

#include <QImage>
#include <QPixmap>

#include <cstdint>

class QPainter;

// The built-in bitmap of the id, decoded once and kept; a null image for an unknown id.
QImage XEVLoadBuiltInImage(uint16_t resourceId);

class CXEVBitmap {
public:
    explicit CXEVBitmap(uint16_t resourceId);

    // 0 and 0 when the id has no bitmap.
    int32_t Width() const { return pixmap_.width(); }
    int32_t Height() const { return pixmap_.height(); }
    bool IsNull() const { return pixmap_.isNull(); }
    const QPixmap& Pixmap() const { return pixmap_; }

    // The whole bitmap at its own size; a plain copy, nothing blended.
    void Draw(QPainter& painter, int32_t x, int32_t y) const;
    void StretchDraw(QPainter& painter, int32_t x, int32_t y, int32_t width, int32_t height) const;

private:
    QPixmap pixmap_;
};
