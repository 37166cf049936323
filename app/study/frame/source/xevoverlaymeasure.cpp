#include "viewer/xevoverlaymeasure.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "shell/xevcommonsettings.h"
#include "shell/xevfont.h"

namespace {

// Selects a settings font for the painter and gives the old one back at the end.
class ScopedOverlayFont {
public:
    ScopedOverlayFont(QPainter& painter, int32_t index) : painter_(painter), old_(painter.font())
    {
        font_.CreateFromInfo(GetCommonSettings().Fonts[index], painter.device());
        painter.setFont(font_.Font());
    }
    ~ScopedOverlayFont() { painter_.setFont(old_); }

private:
    QPainter& painter_;
    QFont old_;
    CXEVFont font_;
};

}   // namespace

// ---- measurement

QString CXEVOverlayMeasure::GetLabelText(double zoom)
{
    if (length != 0.0) {
        return labelText;
    }
    const QString suffix = calibrationFlag != 0 ? QStringLiteral(" *") : QString();
    const double v = EffectiveVerticalScale();
    double s2e = spacing2;
    if (std::isfinite(aspectBase) && aspectBase != 0.0 && v != aspectBase) {
        s2e = spacing2 / (v / aspectBase);
    }
    const double dx = double(end.x()) - start.x();
    const double dy = double(end.y()) - start.y();
    if (!std::isfinite(zoom) || zoom <= 0.0) {
        length = 0.0;
        return QStringLiteral("0.00mm") + suffix;
    }
    // Without a spacing on both axes no length in millimetres exists: the line is measured in
    // image pixels, rows counted as rows whatever the frame's aspect.
    if (!(spacing1 > 0.0) || !(spacing2 > 0.0) || !std::isfinite(spacing1) || !std::isfinite(spacing2)) {
        length = std::hypot(dx, dy / v) / zoom;
        return QString::asprintf("%.2fpx", length) + suffix;
    }
    // hypot: a huge spacing must not turn the length into infinity.
    length = std::hypot(dx * spacing1, dy * s2e) / zoom;
    return QString::asprintf("%.2fmm", length) + suffix;
}

void CXEVOverlayMeasure::MeasureLabel(const XEVOverlayView& view)
{
    if (view.painter != nullptr) {
        ScopedOverlayFont font(*view.painter, kXEVFontMeasure);
        MeasureSingleLine(*view.painter, labelText, labelWidth, labelHeight);
        return;
    }
    CXEVFont font;
    font.CreateFromInfo(GetCommonSettings().Fonts[kXEVFontMeasure], nullptr);
    MeasureSingleLine(font.Font(), nullptr, labelText, labelWidth, labelHeight);
}

void CXEVOverlayMeasure::Drag(const XEVOverlayView& view, QPoint pt)
{
    const XEVRect r = ImageScreenRect(view);
    if (!r.Contains(pt)) {
        return;
    }
    end = pt;
    length = 0.0;
    complete = 1;
    labelText = GetLabelText(view.zoom);
    MeasureLabel(view);
    labelPosition = PlaceLabel(r, labelWidth, labelHeight, start, end);
}

int32_t CXEVOverlayMeasure::Commit(QPoint origin, QPoint offset, double zoom)
{
    int32_t result = 0;
    if (complete != 0) {
        if (length < 0.0 || std::isnan(length)) {
            complete = 0;
        } else {
            imageStart = ScreenToImage(start, offset, origin, zoom);
            imageEnd = ScreenToImage(end, offset, origin, zoom);
            imageLabelPosition = ScreenToImage(labelPosition, offset, origin, zoom);
            result = 1;
        }
    }
    dragAnchor = {-1, -1};
    dragMode = kModeNone;
    return result;
}

int32_t CXEVOverlayMeasure::HitTest(QPoint pt) const
{
    return HitSegment(start, end, pt) != 0 || InBox(labelPosition, labelWidth, labelHeight, pt) ? 1 : 0;
}

int32_t CXEVOverlayMeasure::SelectForDrag(QPoint pt)
{
    dragAnchor = {-1, -1};
    selected = 0;
    dragMode = kModeNone;
    if (HitTest(pt) == 0) {
        return 0;
    }
    selected = 1;
    dragAnchor = pt;
    imageStart = imageEnd = imageLabelPosition = {-1, -1};
    dragMode = NearPoint(start, pt) ? kModeStart : NearPoint(end, pt) ? kModeEnd : kModeWhole;
    return selected;
}

int32_t CXEVOverlayMeasure::DragSelected(const XEVOverlayView& view, QPoint pt)
{
    const XEVRect r = ImageScreenRect(view);
    const int64_t dx = int64_t(pt.x()) - dragAnchor.x();
    const int64_t dy = int64_t(pt.y()) - dragAnchor.y();
    int32_t result = 0;
    if (dragMode == kModeStart || dragMode == kModeEnd) {
        length = 0.0;
        MoveEnd(dragMode == kModeStart ? start : end, dx, dy, r);
        result = 1;
    } else if (dragMode == kModeWhole) {
        MoveBoth(start, end, dx, dy, r);
        result = 1;
    }
    if (result != 0) {
        labelText = GetLabelText(view.zoom);
        MeasureLabel(view);
        labelPosition = PlaceLabel(r, labelWidth, labelHeight, start, end);
    }
    dragAnchor = ClampInside(pt, r);
    return result;
}

QPoint CXEVOverlayMeasure::PlaceLabel(const XEVRect& R, int32_t W, int32_t H, QPoint S, QPoint E)
{
    const int64_t xRS = int64_t(S.x()) + 5;
    const int64_t xLS = int64_t(S.x()) - W - 5;
    const int64_t xRE = int64_t(E.x()) + 5;
    const int64_t xLE = int64_t(E.x()) - W - 5;
    const int64_t yAS = int64_t(S.y()) - H - 5;
    const int64_t yBS = int64_t(S.y()) + 5;
    const int64_t yAE = int64_t(E.y()) - H - 5;
    const int64_t yBE = int64_t(E.y()) + 5;
    auto tooLow = [&](int64_t y) { return y + H > R.bottom; };
    auto tooRight = [&](int64_t x) { return x + W > R.right; };
    auto tooLeft = [&](int64_t x) { return x < R.left; };
    auto above = [&](int64_t y) { return y < R.top; };
    int64_t x;
    int64_t y;
    if (E.x() < S.x()) {
        if (E.y() >= S.y()) {
            x = xRE, y = yBE;
            if (tooLow(y)) {
                x = xLS, y = above(yAS) ? S.y() : yAS;
            }
        } else {
            x = xLS, y = yBS;
            if (tooLow(y)) {
                x = xRE, y = above(yAE) ? E.y() : yAE;
            }
        }
        if (tooRight(x)) {
            x = xLE;
        }
        if (tooLeft(x)) {
            x = xRS;
        }
    } else if (E.y() >= S.y()) {
        x = xLE, y = yBE;
        if (tooLow(y)) {
            x = xRS, y = above(yAS) ? S.y() : yAS;
        }
        if (tooRight(x)) {
            x = xLS, y = above(yAS) ? S.y() : yAS;
        }
        if (tooLeft(x)) {
            x = xRS, y = above(yAS) ? S.y() : yAS;
        }
    } else {
        x = xRS, y = yBS;
        if (tooLow(y)) {
            x = xLE, y = above(yAE) ? E.y() : yAE;
        }
        if (tooRight(x)) {
            x = xLE, y = above(yAE) ? E.y() : yAE;
        }
        if (tooLeft(x)) {
            x = xRE;
        }
    }
    return {SaturateCoordinate(double(x)), SaturateCoordinate(double(y))};
}

void CXEVOverlayMeasure::DrawCaliper(QPainter& painter, QPoint a, QPoint b)
{
    const double theta = std::atan2(double(b.y()) - a.y(), double(b.x()) - a.x());
    const double phi = -(theta + 1.570795);
    const int32_t cx = static_cast<int32_t>(std::cos(phi) * 10);
    const int32_t cy = static_cast<int32_t>(std::sin(phi) * 10);
    const int32_t hx = cx / 2;
    const int32_t hy = cy / 2;
    const QPoint lines[3][2] = {
        {a, b},
        {OffsetPoint(a, hx, -hy), OffsetPoint(a, -hx, hy)},
        {OffsetPoint(b, hx, -hy), OffsetPoint(b, -hx, hy)},
    };
    for (const auto& [rgb, width] : {std::pair<uint32_t, int32_t>{0x000000, 2}, {0xFFFFFF, 1}}) {
        for (const auto& line : lines) {
            DrawLine(painter, line[0], line[1], rgb, width);
        }
    }
}

void CXEVOverlayMeasure::Draw(const XEVOverlayView& view)
{
    if (view.painter == nullptr) {
        return;
    }
    QPainter& painter = *view.painter;
    if (imageStart.x() != -1) {
        start = ImageToScreen(imageStart, view);
        end = ImageToScreen(imageEnd, view);
        labelPosition = ImageToScreen(imageLabelPosition, view);
    }
    ScopedOverlayFont font(painter, kXEVFontMeasure);
    if (complete == 0) {
        return;
    }
    DrawCaliper(painter, start, end);
    labelPosition = PlaceLabel(ImageScreenRect(view), labelWidth, labelHeight, start, end);
    DrawShadowText(painter, labelPosition, labelWidth, labelHeight, labelText);
    if (selected != 0 && dragMode != kModeStart && dragMode != kModeEnd) {
        const QPoint& p = labelPosition;
        for (const QPoint& h : {start, end, p, OffsetPoint(p, labelWidth, 0), OffsetPoint(p, 0, labelHeight),
                                OffsetPoint(p, labelWidth, labelHeight)}) {
            DrawHandle(painter, h);
        }
    }
}

// ---- pixel value

namespace {

// Sample c of pixel (x, y), read with the buffer's own layout: lines of whole bytes, samples
// below 8 bits packed from each byte's high bit down, 8, 16 and 32 bits in native order.
// False when the sample lies outside the buffer or its width has no such layout.
bool ReadSample(const XEVPixelProbe& probe, int64_t x, int64_t y, int64_t c, bool asSigned, double& out)
{
    const uint64_t bits = uint64_t(probe.bits);
    const uint64_t lineBytes = (uint64_t(probe.channels) * bits * uint64_t(probe.width) + 7) / 8;
    const uint64_t bit = uint64_t(y) * lineBytes * 8 + (uint64_t(x) * uint64_t(probe.channels) + uint64_t(c)) * bits;
    if (bit + bits > probe.size * 8) {
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(probe.data) + bit / 8;
    switch (bits) {
    case 1:
    case 2:
    case 4: out = double((bytes[0] >> (8 - bit % 8 - bits)) & ((1u << bits) - 1)); return true;
    case 8: out = asSigned ? double(int8_t(bytes[0])) : double(bytes[0]); return true;
    case 16: {
        uint16_t word;
        std::memcpy(&word, bytes, 2);
        out = asSigned ? double(int16_t(word)) : double(word);
        return true;
    }
    case 32: {
        uint32_t word;
        std::memcpy(&word, bytes, 4);
        out = asSigned ? double(int32_t(word)) : double(word);
        return true;
    }
    default: return false;
    }
}

// The source pixel the scalers show at drawn pixel i of `to` drawn from `from`: the position
// the nearest-neighbour tables reach by the same running sum, from half a step, so that
// boundaries fall where the paint put them. The smooth scalers centre their samples alike,
// which makes it the pixel nearest to what they blend there.
int64_t DrawnSourceIndex(int64_t i, int64_t from, int64_t to)
{
    i = std::clamp<int64_t>(i, 0, to - 1);
    const double step = double(from) / double(to);
    double p = step * 0.5;
    for (int64_t k = 0; k < i; ++k) {
        p += step;
    }
    return std::min<int64_t>(int64_t(p), from - 1);
}

}   // namespace

QPoint CXEVOverlayPixelValue::DrawnPixelAt(QPoint pt, const XEVOverlayView& view,
                                           const XEVDrawnPixels& drawnPixels) const
{
    const QRect& source = drawnPixels.source;
    const QSize& drawn = drawnPixels.size;
    const int64_t dx = int64_t(pt.x()) - view.offset.x();
    const int64_t dy = int64_t(pt.y()) - view.offset.y();
    if (source.width() > 0 && source.height() > 0 && drawn.width() > 0 && drawn.height() > 0) {
        return {int32_t(source.left() + DrawnSourceIndex(dx, source.width(), drawn.width())),
                int32_t(source.top() + DrawnSourceIndex(dy, source.height(), drawn.height()))};
    }
    // Nothing drawn to follow: pixel c covers [c, c + 1) zoomed from the origin.
    if (!std::isfinite(view.zoom) || view.zoom <= 0.0) {
        return view.origin;
    }
    const double x = std::floor(double(dx) / view.zoom) + view.origin.x();
    const double y = std::floor(double(dy) / EffectiveVerticalScale() / view.zoom) + view.origin.y();
    return {SaturateCoordinate(x), SaturateCoordinate(y)};
}

void CXEVOverlayPixelValue::ProbeValue(const XEVPixelProbe& probe, QPoint pt, const XEVOverlayView& view,
                                       const XEVDrawnPixels& drawn)
{
    const QPoint image = DrawnPixelAt(pt, view, drawn);
    value = red = green = blue = 0.0;
    color = 0;
    if (probe.data == nullptr || probe.width <= 0 || probe.height <= 0 || probe.channels <= 0 || probe.bits <= 0) {
        return;
    }
    // A point off the image reads the nearest edge pixel, never a neighbouring row's.
    const int64_t x = std::clamp<int64_t>(image.x(), 0, probe.width - 1);
    const int64_t y = std::clamp<int64_t>(image.y(), 0, probe.height - 1);
    const int64_t needed = probe.colorCode == XEVPixelProbe::kCmyk                                            ? 4
                           : probe.colorCode == XEVPixelProbe::kRgb || probe.colorCode == XEVPixelProbe::kYbr ? 3
                                                                                                              : 1;
    if (needed > probe.channels) {
        return;
    }
    double samples[4] = {0, 0, 0, 0};
    // Colour samples are unsigned.
    const bool single = needed == 1;
    for (int64_t c = 0; c < needed; ++c) {
        if (!ReadSample(probe, x, y, c, single && probe.isSigned != 0, samples[c])) {
            return;
        }
    }
    switch (probe.colorCode) {
    case XEVPixelProbe::kRgb:
        red = samples[0];
        green = samples[1];
        blue = samples[2];
        color = 1;
        break;
    case XEVPixelProbe::kCmyk: {
        const double k = samples[3];
        double* channels[3] = {&red, &green, &blue};
        for (int c = 0; c < 3; ++c) {
            // K above 100 would push t below 0 and the channel above 255.
            const double t = std::clamp((100.0 - k) * samples[c] + 100.0 * k, 0.0, 10000.0);
            *channels[c] = std::trunc((10000.0 - t) * 255.0 / 10000.0);
        }
        color = 1;
        break;
    }
    case XEVPixelProbe::kYbr: {
        const double Y = samples[0];
        const double cb = samples[1] - 128.0;
        const double cr = samples[2] - 128.0;
        red = std::clamp(Y + 1.402 * cr, 0.0, 255.0);
        green = std::clamp(Y - 0.34414 * cb - 0.71414 * cr, 0.0, 255.0);
        blue = std::clamp(Y + 1.772 * cb, 0.0, 255.0);
        color = 1;
        break;
    }
    default: value = samples[0] * probe.factor + probe.offset; break;
    }
}

QString CXEVOverlayPixelValue::FormatValue() const
{
    QString unit = calibrationText == QLatin1String("US") ? QString() : calibrationText;
    if (unit.isEmpty() && sopClassUid == kCtImageStorage) {
        unit = QStringLiteral("HU");
    }
    QString number;
    if (color == 1) {
        number = QString::asprintf("(%.2f, %.2f, %.2f)", red, green, blue);
    } else {
        number = QString::asprintf("%.2f", unit == QLatin1String("OD") ? value / 1000.0 : value);
    }
    return number + u' ' + unit;
}

void CXEVOverlayPixelValue::PlaceText(QPoint pt, const XEVOverlayView& view)
{
    const XEVRect r = ImageScreenRect(view);
    if (!r.Contains(pt)) {
        pt = ClampInside(pt, r);
    } else {
        text = FormatValue();
    }
    int64_t x = int64_t(pt.x()) + 5;
    int64_t y;
    if (int64_t(pt.x()) + textWidth + 5 > r.right) {
        x = int64_t(pt.x()) - (textWidth + 5);
    }
    if (int64_t(pt.y()) + textHeight + 5 > r.bottom) {
        x += 32;
        y = int64_t(pt.y()) - (textHeight + 5);
        if (x + textWidth + 5 > r.right) {
            x -= textWidth + 5;
        }
    } else {
        y = int64_t(pt.y()) + 5;
    }
    position = {SaturateCoordinate(double(x)), SaturateCoordinate(double(y))};
    active = 1;
}

void CXEVOverlayPixelValue::Draw(QPainter& painter)
{
    ScopedOverlayFont font(painter, kXEVFontPixelValue);
    MeasureSingleLine(painter, text, textWidth, textHeight);
    DrawShadowText(painter, position, textWidth, textHeight, text);
}

// ---- reference lines

bool CXEVOverlayReferenceLine::PlaceLabel(int32_t e, bool forced, int32_t w, int32_t h, QPoint p1, QPoint p2,
                                          const XEVRect& B, XEVRect& label)
{
    const int64_t x1 = p1.x();
    const int64_t y1 = p1.y();
    const int64_t x2 = p2.x();
    const int64_t y2 = p2.y();
    int64_t ax;
    int64_t ay;
    int64_t dx;
    int64_t dy;
    if (y1 == y2) {
        const bool leftFirst = x1 <= x2;
        ax = e == 0 ? (leftFirst ? x1 : x2) : (leftFirst ? x2 : x1);
        ay = y1;
        dx = e == 0 ? -w : 1;
        dy = -(h / 2);
    } else if (x1 == x2) {
        const bool upperFirst = y1 <= y2;
        ax = x1;
        ay = e == 0 ? (upperFirst ? y1 : y2) : (upperFirst ? y2 : y1);
        dx = -(w / 2);
        dy = e == 0 ? -h : 1;
    } else {
        const int64_t k = -((y2 - y1) / (x2 - x1));
        const bool leftFirst = x1 < x2;
        const int64_t lx = leftFirst ? x1 : x2;
        const int64_t ly = leftFirst ? y1 : y2;
        const int64_t rx = leftFirst ? x2 : x1;
        const int64_t ry = leftFirst ? y2 : y1;
        if (e == 0) {
            ax = lx, ay = ly, dx = -w, dy = k < 0 ? -(h / 2) : 1;
        } else {
            ax = rx, ay = ry, dx = 1, dy = k >= 0 ? -h : 1;
        }
    }
    int64_t left = ax + dx;
    int64_t top = ay + dy;
    auto inside = [&]() { return left >= B.left && top >= B.top && left + w <= B.right && top + h <= B.bottom; };
    if (inside()) {
        label = {int32_t(left), int32_t(top), int32_t(left + w), int32_t(top + h)};
        return true;
    }
    if (!forced) {
        return false;
    }
    const double m = (y1 == y2 || x1 == x2) ? 0.0 : double(y2 - y1) / double(x2 - x1);
    auto roundAway = [](double v) { return static_cast<int64_t>(std::llround(v)); };
    if (B.left - left > 0) {
        const int64_t d = B.left - left;
        left += d;
        top += m == 0.0 ? 0 : roundAway(double(d) * m);
    }
    if (B.right - (left + w) < 0) {
        const int64_t d = B.right - (left + w);
        left += d;
        top += m == 0.0 ? 0 : roundAway(double(d) * m);
    }
    if (B.top - top > 0) {
        const int64_t d = B.top - top;
        left += m == 0.0 ? 0 : roundAway(double(d) / m);
        top += d;
    }
    if (B.bottom - (top + h) < 0) {
        const int64_t d = B.bottom - (top + h);
        left += m == 0.0 ? 0 : roundAway(double(d) / m);
        top += d;
    }
    if (!inside()) {
        return false;
    }
    label = {int32_t(left), int32_t(top), int32_t(left + w), int32_t(top + h)};
    return true;
}

QString CXEVOverlayReferenceLine::LabelText(const Line& line)
{
    return line.number.has_value() ? QStringLiteral("C %1").arg(*line.number) : QStringLiteral("C");
}

void CXEVOverlayReferenceLine::Draw(QPainter& painter, const XEVRect& bounds, QPoint origin, QPoint offset, double zoom)
{
    ScopedOverlayFont font(painter, kXEVFontReferenceLine);
    auto ends = [&](const Line& line, QPoint& a, QPoint& b) {
        a = ImageToScreen({line.x1, line.y1}, origin, offset, zoom);
        b = ImageToScreen({line.x2, line.y2}, origin, offset, zoom);
    };
    auto stroke = [&](int32_t index) {
        const Line& line = lines[index];
        if (line.valid == 0) {
            return;
        }
        QPoint a;
        QPoint b;
        ends(line, a, b);
        if (index == kCurrent) {
            DrawLine(painter, a, b, 0x000000, 3);
            DrawLine(painter, a, b, 0xFFFFFF, 2);
        } else {
            DrawLine(painter, a, b, 0x000000, 1);
            DrawDottedLine(painter, a, b);
        }
    };
    auto labelOf = [&](int32_t index) {
        const Line& line = lines[index];
        if (line.valid == 0) {
            return;
        }
        QPoint a;
        QPoint b;
        ends(line, a, b);
        const QString text = LabelText(line);
        const QRect size = painter.boundingRect(QRect(0, 0, 0, 0), 0, text);
        XEVRect box;
        const bool placed = PlaceLabel(0, false, size.width(), size.height(), a, b, bounds, box) ||
                            PlaceLabel(1, false, size.width(), size.height(), a, b, bounds, box) ||
                            PlaceLabel(0, true, size.width(), size.height(), a, b, bounds, box) ||
                            PlaceLabel(1, true, size.width(), size.height(), a, b, bounds, box);
        if (!placed) {
            return;
        }
        painter.save();
        painter.setBackgroundMode(Qt::OpaqueMode);
        painter.setBackground(QColor(0, 0, 0));
        painter.setPen(QColor(255, 255, 255));
        const QRect target(box.left, box.top, box.right - box.left, box.bottom - box.top);
        painter.fillRect(target, QColor(0, 0, 0));
        painter.drawText(target, 0, text);
        painter.restore();
    };
    stroke(kCurrent);
    stroke(kFirst);
    labelOf(kFirst);
    stroke(kLast);
    labelOf(kLast);
    labelOf(kCurrent);
}
