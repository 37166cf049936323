#include "shell/xevfont.h"

#include <QPaintDevice>
#include <QStringList>

#include <algorithm>
#include <cstdlib>

namespace {

// The Windows faces the settings name are missing here; fontconfig's Japanese face stands in.
const QString kJapaneseFallback = QStringLiteral("Noto Sans CJK JP");

}   // namespace

int32_t CXEVFont::PixelSize(int32_t points, int32_t dpi)
{
    const int64_t product = int64_t(points) * dpi;
    const int64_t magnitude = (std::llabs(product) + 36) / 72;
    return static_cast<int32_t>(product < 0 ? -magnitude : magnitude);
}

bool CXEVFont::CreateFromInfo(const XEVFontInfo& info, const QPaintDevice* device)
{
    QFont font;
    font.setFamilies(QStringList{info.face, kJapaneseFallback});
    const int32_t dpi = device != nullptr ? device->logicalDpiY() : 96;
    const int32_t pixels = PixelSize(info.points, dpi);
    if (pixels > 0) {
        font.setPixelSize(pixels);
    }
    // Weight 0 asks for the default, as on Windows.
    font.setWeight(static_cast<QFont::Weight>(info.weight <= 0 ? 400 : std::min(info.weight, 1000)));
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    // Draft quality: plain pixels, no smoothing.
    font.setStyleStrategy(QFont::NoAntialias);
    font_ = font;
    created_ = true;
    return true;
}
