#pragma once

// Font descriptors and the font made from one for a paint device.

#include <QFont>
#include <QString>

#include <cstdint>

class QPaintDevice;

struct XEVFontInfo {
    QString face = QStringLiteral("FixedSys");
    int32_t points = 9;
    int32_t weight = 400;   // 400 normal, 700 bold
};

class CXEVFont {
public:
    CXEVFont() = default;

    // Replaces the held font with one for the device: pixel size round(points x the
    // device's logical dpi / 72), the descriptor's weight and face. A face the system lacks
    // falls back to a Japanese face. True when a font is held.
    bool CreateFromInfo(const XEVFontInfo& info, const QPaintDevice* device);

    bool IsNull() const { return !created_; }
    const QFont& Font() const { return font_; }

    // round(points x dpi / 72), halves away from zero.
    static int32_t PixelSize(int32_t points, int32_t dpi);

private:
    QFont font_;
    bool created_ = false;
};
