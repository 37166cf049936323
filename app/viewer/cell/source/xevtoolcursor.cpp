#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "viewer/xevimageviewctrl.h"

namespace {

constexpr int kCursorSize = 32;

// White strokes with a black rim, readable on any image.
void Stroke(QPainter& painter, const QPainterPath& path)
{
    painter.strokePath(path, QPen(Qt::black, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.strokePath(path, QPen(Qt::white, 1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

QPainterPath CrossAt(QPointF c, qreal arm)
{
    QPainterPath path;
    path.moveTo(c.x() - arm, c.y());
    path.lineTo(c.x() + arm, c.y());
    path.moveTo(c.x(), c.y() - arm);
    path.lineTo(c.x(), c.y() + arm);
    return path;
}

}   // namespace

QPoint XEVToolHotSpot(int32_t tool)
{
    switch (tool) {
    case kXEVToolMeasure: return {13, 13};
    case kXEVToolArrow: return {15, 0};
    case kXEVToolPixelValue: return {0, 27};
    default: return {0, 0};
    }
}

QCursor XEVToolCursor(int32_t tool)
{
    QPixmap pixmap(kCursorSize, kCursorSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // Tools that point with the pointer itself take the drawing's centre as hot spot; the
    // others point with a tip that the mouse code reaches by its correction.
    QPoint hotSpot(16, 16);
    QPainterPath path;
    switch (tool) {
    case kXEVToolWindowLevel: {
        painter.setPen(QPen(Qt::black, 1));
        painter.setBrush(Qt::white);
        painter.drawPie(QRectF(6, 6, 20, 20), 90 * 16, 180 * 16);
        painter.setBrush(Qt::black);
        painter.setPen(QPen(Qt::white, 1));
        painter.drawPie(QRectF(6, 6, 20, 20), -90 * 16, 180 * 16);
        break;
    }
    case kXEVToolZoom:
        hotSpot = QPoint(0, 0);
        path.addEllipse(QPointF(13, 13), 7, 7);
        path.moveTo(18, 18);
        path.lineTo(28, 28);
        path.addPath(CrossAt(QPointF(13, 13), 3));
        break;
    case kXEVToolPan:
        path.addPath(CrossAt(QPointF(16, 16), 12));
        for (const QPointF& tip : {QPointF(16, 4), QPointF(16, 28), QPointF(4, 16), QPointF(28, 16)}) {
            const QPointF in = QPointF(16, 16) + (tip - QPointF(16, 16)) * 0.75;
            const QPointF side(in.y() - 16, in.x() - 16);
            path.moveTo(in + side * 0.3);
            path.lineTo(tip);
            path.lineTo(in - side * 0.3);
        }
        break;
    case kXEVToolMeasure:
        hotSpot = QPoint(0, 0);
        path.addPath(CrossAt(QPointF(13, 13), 8));
        path.moveTo(19, 25);
        path.lineTo(29, 25);
        break;
    case kXEVToolText:
        path.moveTo(11, 6);
        path.lineTo(21, 6);
        path.moveTo(16, 6);
        path.lineTo(16, 26);
        path.moveTo(12, 26);
        path.lineTo(20, 26);
        break;
    case kXEVToolArrow:
        hotSpot = QPoint(0, 0);
        path.moveTo(15, 0);
        path.lineTo(15, 20);
        path.moveTo(11, 6);
        path.lineTo(15, 0);
        path.lineTo(19, 6);
        break;
    case kXEVToolPixelValue:
        hotSpot = QPoint(0, 0);
        path.moveTo(0, 27);
        path.lineTo(8, 19);
        path.addRect(QRectF(8, 10, 16, 9));
        break;
    default: painter.end(); return QCursor(Qt::ArrowCursor);
    }
    if (!path.isEmpty()) {
        Stroke(painter, path);
    }
    painter.end();
    return QCursor(pixmap, hotSpot.x(), hotSpot.y());
}
