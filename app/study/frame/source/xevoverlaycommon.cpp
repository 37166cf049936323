#include "viewer/xevoverlaycommon.h"

#include <QFontMetrics>
#include <QPaintDevice>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// Qt's raster engine mis-draws beyond +-32,767; lines are cut to the device plus a margin
// wide enough for any pen and cap.
constexpr double kClipMargin = 16.0;

// Liang-Barsky: false when nothing of the segment lies in the box.
bool ClipSegment(double& x1, double& y1, double& x2, double& y2, double left, double top, double right, double bottom)
{
    double t0 = 0.0;
    double t1 = 1.0;
    const double dx = x2 - x1;
    const double dy = y2 - y1;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {x1 - left, right - x1, y1 - top, bottom - y1};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0) {
            if (q[i] < 0.0) {
                return false;
            }
            continue;
        }
        const double r = q[i] / p[i];
        if (p[i] < 0.0) {
            t0 = std::max(t0, r);
        } else {
            t1 = std::min(t1, r);
        }
        if (t0 > t1) {
            return false;
        }
    }
    const double nx1 = x1 + t0 * dx;
    const double ny1 = y1 + t0 * dy;
    x2 = x1 + t1 * dx;
    y2 = y1 + t1 * dy;
    x1 = nx1;
    y1 = ny1;
    return true;
}

void StrokeClipped(QPainter& painter, QPoint from, QPoint to)
{
    const QPaintDevice* device = painter.device();
    double x1 = from.x();
    double y1 = from.y();
    double x2 = to.x();
    double y2 = to.y();
    if (device != nullptr) {
        const QRectF area =
            painter.worldTransform().inverted().mapRect(QRectF(0, 0, device->width(), device->height()));
        if (!ClipSegment(x1, y1, x2, y2, area.left() - kClipMargin, area.top() - kClipMargin,
                         area.right() + kClipMargin, area.bottom() + kClipMargin)) {
            return;
        }
    }
    if (x1 == x2 && y1 == y2 && from == to) {
        painter.drawPoint(from);
        return;
    }
    painter.drawLine(QPointF(x1, y1), QPointF(x2, y2));
}

bool VisibleOnDevice(const QPainter& painter, const QRect& rect)
{
    const QPaintDevice* device = painter.device();
    if (device == nullptr) {
        return true;
    }
    const QRect area = painter.worldTransform().inverted().mapRect(QRect(0, 0, device->width(), device->height()));
    return rect.intersects(area.adjusted(-1, -1, 1, 1));
}

}   // namespace

CXEVOverlayCommon::~CXEVOverlayCommon()
{
    ResetCalibration();
}

void CXEVOverlayCommon::ResetCalibration()
{
    sopClassUid.clear();
    modality.clear();
    calibrationText.clear();
    spacing1 = 0.0;
    spacing2 = 0.0;
    aspectBase = 1.0;
    verticalScale = 1.0;
    imageWidth = 0;
    imageHeight = 0;
    calibrationFlag = 0;
}

void CXEVOverlayCommon::CopyCalibration(const CXEVOverlayCommon& source)
{
    sopClassUid = source.sopClassUid;
    modality = source.modality;
    spacing1 = source.spacing1;
    spacing2 = source.spacing2;
    aspectBase = source.aspectBase;
    verticalScale = source.verticalScale;
    imageWidth = source.imageWidth;
    imageHeight = source.imageHeight;
    calibrationFlag = source.calibrationFlag;
    calibrationText = source.calibrationText;
}

void CXEVOverlayCommon::DrawLine(QPainter& painter, QPoint from, QPoint to, uint32_t rgb, int32_t width)
{
    painter.save();
    QPen pen(QColor::fromRgb(rgb & 0xFFFFFFu), std::max(width, 1));
    // GDI's wide pens are round at the ends and joins.
    pen.setCapStyle(width > 1 ? Qt::RoundCap : Qt::SquareCap);
    pen.setJoinStyle(width > 1 ? Qt::RoundJoin : Qt::MiterJoin);
    painter.setPen(pen);
    StrokeClipped(painter, from, to);
    painter.restore();
}

void CXEVOverlayCommon::DrawDottedLine(QPainter& painter, QPoint from, QPoint to)
{
    painter.save();
    QPen pen(QColor(255, 255, 255), 1, Qt::DotLine);
    painter.setPen(pen);
    painter.setBackgroundMode(Qt::TransparentMode);
    StrokeClipped(painter, from, to);
    painter.restore();
}

void CXEVOverlayCommon::DrawFrame(QPainter& painter, const XEVRect& r)
{
    DrawLine(painter, {r.left, r.top}, {r.right, r.top}, 0xFFFFFF, 1);
    DrawLine(painter, {r.left, r.bottom}, {r.right, r.bottom}, 0xFFFFFF, 1);
    DrawLine(painter, {r.left, r.top}, {r.left, r.bottom}, 0xFFFFFF, 1);
    DrawLine(painter, {r.right, r.top}, {r.right, r.bottom}, 0xFFFFFF, 1);
}

void CXEVOverlayCommon::DrawShadowText(QPainter& painter, QPoint position, int32_t width, int32_t height,
                                       const QString& text)
{
    const QRect box(position.x(), position.y(), std::max(width, 0), std::max(height, 0));
    if (!VisibleOnDevice(painter, box.adjusted(0, 0, 1, 1))) {
        return;
    }
    painter.save();
    painter.setBackgroundMode(Qt::TransparentMode);
    const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextExpandTabs;
    painter.setPen(QColor(0, 0, 0));
    painter.drawText(box.translated(1, 1), flags, text);
    painter.setPen(QColor(255, 255, 255));
    painter.drawText(box, flags, text);
    painter.restore();
}

void CXEVOverlayCommon::DrawHandle(QPainter& painter, QPoint point)
{
    const QRect box(point.x() - 4, point.y() - 4, 8, 8);
    if (!VisibleOnDevice(painter, box)) {
        return;
    }
    painter.save();
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::NoBrush);
    // The frame in white, then the whole square inverted, so the frame shows dark.
    painter.fillRect(box.x(), box.y(), 8, 1, Qt::white);
    painter.fillRect(box.x(), box.y() + 7, 8, 1, Qt::white);
    painter.fillRect(box.x(), box.y(), 1, 8, Qt::white);
    painter.fillRect(box.x() + 7, box.y(), 1, 8, Qt::white);
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.fillRect(box, Qt::white);
    painter.restore();
}

void CXEVOverlayCommon::MeasureSingleLine(QPainter& painter, const QString& text, int32_t& width, int32_t& height)
{
    const QRect r = painter.boundingRect(QRect(0, 0, 0, 0), Qt::TextSingleLine | Qt::TextExpandTabs, text);
    width = r.width();
    height = r.height();
}

void CXEVOverlayCommon::MeasureSingleLine(const QFont& font, const QPaintDevice* device, const QString& text,
                                          int32_t& width, int32_t& height)
{
    const QFontMetrics metrics(font, device);
    const QRect r = metrics.boundingRect(QRect(0, 0, 0, 0), Qt::TextSingleLine | Qt::TextExpandTabs, text);
    width = r.width();
    height = r.height();
}

int32_t CXEVOverlayCommon::HitSegment(QPoint a, QPoint b, QPoint p)
{
    const int64_t minX = std::min(a.x(), b.x()) - int64_t(kHitDistance);
    const int64_t maxX = std::max(a.x(), b.x()) + int64_t(kHitDistance);
    const int64_t minY = std::min(a.y(), b.y()) - int64_t(kHitDistance);
    const int64_t maxY = std::max(a.y(), b.y()) + int64_t(kHitDistance);
    if (p.x() < minX || p.x() > maxX || p.y() < minY || p.y() > maxY) {
        return 0;
    }
    return DistanceToLine(a, b, p) <= kHitDistance ? 1 : 0;
}

int32_t CXEVOverlayCommon::DistanceToLine(QPoint a, QPoint b, QPoint p)
{
    if (a == b) {
        return 0;
    }
    // Products overflow 32 bits beyond 46,341 pixels, which high zoom reaches.
    const double A = double(b.y()) - a.y();
    const double B = double(a.x()) - b.x();
    const double C = double(a.y()) * b.x() - double(a.x()) * b.y();
    const double d = std::fabs(A * p.x() + B * p.y() + C) / std::sqrt(A * A + B * B);
    return d >= double(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(d);
}

QPoint CXEVOverlayCommon::ClampInside(QPoint point, const XEVRect& rect)
{
    int32_t x = point.x();
    int32_t y = point.y();
    if (x <= rect.left) {
        x = rect.left + 1;
    } else if (x >= rect.right) {
        x = rect.right - 1;
    }
    if (y <= rect.top) {
        y = rect.top + 1;
    } else if (y >= rect.bottom) {
        y = rect.bottom - 1;
    }
    return {x, y};
}

QPoint CXEVOverlayCommon::OffsetPoint(QPoint p, int64_t dx, int64_t dy)
{
    return {SaturateCoordinate(double(p.x()) + double(dx)), SaturateCoordinate(double(p.y()) + double(dy))};
}

bool CXEVOverlayCommon::InBox(QPoint p, int32_t width, int32_t height, QPoint pt)
{
    return p.x() <= pt.x() && int64_t(pt.x()) < int64_t(p.x()) + width && p.y() <= pt.y() &&
           int64_t(pt.y()) < int64_t(p.y()) + height;
}

bool CXEVOverlayCommon::NearPoint(QPoint p, QPoint pt)
{
    return int64_t(p.x()) - 5 <= pt.x() && pt.x() < int64_t(p.x()) + 5 && int64_t(p.y()) - 5 <= pt.y() &&
           pt.y() < int64_t(p.y()) + 5;
}

void CXEVOverlayCommon::MoveEnd(QPoint& point, int64_t dx, int64_t dy, const XEVRect& rect)
{
    point = OffsetPoint(point, dx, dy);
    if (!rect.Contains(point)) {
        point = ClampInside(point, rect);
    }
}

void CXEVOverlayCommon::MoveBoth(QPoint& start, QPoint& end, int64_t dx, int64_t dy, const XEVRect& rect)
{
    QPoint s = OffsetPoint(start, dx, dy);
    QPoint e = OffsetPoint(end, dx, dy);
    const bool endInside = rect.Contains(e);
    if (!rect.Contains(s)) {
        const QPoint c = ClampInside(s, rect);
        e = OffsetPoint(e, int64_t(c.x()) - s.x(), int64_t(c.y()) - s.y());
        s = c;
    }
    if (!endInside) {
        const QPoint c = ClampInside(e, rect);
        s = OffsetPoint(s, int64_t(c.x()) - e.x(), int64_t(c.y()) - e.y());
        e = c;
    }
    start = s;
    end = e;
}

int32_t CXEVOverlayCommon::SaturateCoordinate(double value)
{
    if (std::isnan(value)) {
        return 0;
    }
    return static_cast<int32_t>(std::clamp(value, -double(kCoordinateLimit), double(kCoordinateLimit)));
}

double CXEVOverlayCommon::EffectiveVerticalScale() const
{
    return std::isfinite(verticalScale) && verticalScale > 0.0 ? verticalScale : 1.0;
}

namespace {

bool UsableZoom(double zoom)
{
    return std::isfinite(zoom) && zoom > 0.0;
}

}   // namespace

QPoint CXEVOverlayCommon::ScreenToImage(QPoint s, QPoint offset, QPoint origin, double zoom) const
{
    if (!UsableZoom(zoom)) {
        return origin;
    }
    const double v = EffectiveVerticalScale();
    const double x = std::trunc((double(s.x()) - offset.x()) / zoom + 0.5) + origin.x();
    const double y = std::trunc((double(s.y()) - offset.y()) / v / zoom + 0.5) + origin.y();
    return {SaturateCoordinate(x), SaturateCoordinate(y)};
}

QPoint CXEVOverlayCommon::ImageToScreen(QPoint image, QPoint origin, QPoint offset, double zoom) const
{
    if (!UsableZoom(zoom)) {
        return offset;
    }
    const double v = EffectiveVerticalScale();
    const double x = std::trunc((double(image.x()) - origin.x()) * zoom + 0.5) + offset.x();
    const double y = std::trunc((double(image.y()) - origin.y()) * v * zoom + 0.5) + offset.y();
    return {SaturateCoordinate(x), SaturateCoordinate(y)};
}

XEVRect CXEVOverlayCommon::ImageRectToScreen(const XEVRect& r, QPoint origin, QPoint offset, double zoom) const
{
    const QPoint a = ImageToScreen({r.left, r.top}, origin, offset, zoom);
    const QPoint b = ImageToScreen({r.right, r.bottom}, origin, offset, zoom);
    return {a.x(), a.y(), b.x(), b.y()};
}

XEVRect CXEVOverlayCommon::ImageScreenRect(const XEVOverlayView& view) const
{
    return ImageRectToScreen({0, 0, imageWidth, imageHeight}, view.origin, view.offset, view.zoom);
}
