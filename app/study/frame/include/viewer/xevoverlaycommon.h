#pragma once

// The base of every annotation of a frame: the frame's calibration, the drawing primitives,
// hit tests and the transforms between screen and image coordinates.

#include <QPoint>
#include <QRect>
#include <QString>

#include <cstdint>

class QPainter;
class QPaintDevice;
class QFont;

// Left, top, right, bottom with the right and bottom edges outside, as the annotations use them.
struct XEVRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;

    bool Contains(const QPoint& p) const { return p.x() >= left && p.x() < right && p.y() >= top && p.y() < bottom; }
    friend bool operator==(const XEVRect&, const XEVRect&) = default;
};

// What the view passes for drawing and conversions: the painter (null when only converting),
// the screen offset, the image pixel shown at it, and screen pixels per image pixel.
struct XEVOverlayView {
    QPainter* painter = nullptr;
    QPoint offset;
    QPoint origin;
    double zoom = 1.0;
};

// What the last paint drew at the screen offset: the image part it scaled and the size it
// drew that at, which say the pixel shown at each screen point. Empty when nothing was drawn.
struct XEVDrawnPixels {
    QRect source;
    QSize size;
};

class CXEVOverlayCommon {
public:
    // Screen coordinates are kept within this, so no conversion overflows 32 bits.
    static constexpr int32_t kCoordinateLimit = 1 << 30;
    static constexpr int32_t kHitDistance = 5;

    CXEVOverlayCommon() = default;
    CXEVOverlayCommon(const CXEVOverlayCommon&) = delete;
    CXEVOverlayCommon& operator=(const CXEVOverlayCommon&) = delete;
    virtual ~CXEVOverlayCommon();

    void ResetCalibration();
    void CopyCalibration(const CXEVOverlayCommon& source);

    // Primitives. Lines are clipped to the painter's device before they are drawn.
    static void DrawLine(QPainter& painter, QPoint from, QPoint to, uint32_t rgb, int32_t width);
    static void DrawDottedLine(QPainter& painter, QPoint from, QPoint to);
    static void DrawFrame(QPainter& painter, const XEVRect& rect);
    static void DrawShadowText(QPainter& painter, QPoint position, int32_t width, int32_t height, const QString& text);
    static void DrawHandle(QPainter& painter, QPoint point);
    // Size of the text on one line in the painter's font.
    static void MeasureSingleLine(QPainter& painter, const QString& text, int32_t& width, int32_t& height);
    // The same with a font for a device (null: 96 dpi), for callers without a painter.
    static void MeasureSingleLine(const QFont& font, const QPaintDevice* device, const QString& text, int32_t& width,
                                  int32_t& height);

    static int32_t HitSegment(QPoint a, QPoint b, QPoint p);
    static int32_t DistanceToLine(QPoint a, QPoint b, QPoint p);
    static QPoint ClampInside(QPoint point, const XEVRect& rect);
    // The point moved by (dx, dy), saturated.
    static QPoint OffsetPoint(QPoint point, int64_t dx, int64_t dy);
    // Inside the box of that size at the top-left corner (right and bottom edges outside).
    static bool InBox(QPoint topLeft, int32_t width, int32_t height, QPoint pt);
    // Within the grab square [p - 5, p + 5) of a point, in x and in y.
    static bool NearPoint(QPoint p, QPoint pt);
    // Drags of a two-point annotation: one end moved and kept strictly inside, or both moved
    // together, pushed back as one when either leaves, so length and direction stay.
    static void MoveEnd(QPoint& point, int64_t dx, int64_t dy, const XEVRect& rect);
    static void MoveBoth(QPoint& start, QPoint& end, int64_t dx, int64_t dy, const XEVRect& rect);

    // The transforms with this annotation's vertical scale. A vertical scale that is not a
    // positive finite number counts as 1.0; a zoom that is not positive converts nothing
    // (the answer is the image origin, or the screen offset).
    QPoint ScreenToImage(QPoint screen, QPoint offset, QPoint origin, double zoom) const;
    QPoint ImageToScreen(QPoint image, QPoint origin, QPoint offset, double zoom) const;
    XEVRect ImageRectToScreen(const XEVRect& image, QPoint origin, QPoint offset, double zoom) const;
    QPoint ScreenToImage(QPoint screen, const XEVOverlayView& view) const
    {
        return ScreenToImage(screen, view.offset, view.origin, view.zoom);
    }
    QPoint ImageToScreen(QPoint image, const XEVOverlayView& view) const
    {
        return ImageToScreen(image, view.origin, view.offset, view.zoom);
    }
    // The whole frame (0, 0, width, height) on the screen.
    XEVRect ImageScreenRect(const XEVOverlayView& view) const;
    double EffectiveVerticalScale() const;

    // A double as a 32-bit coordinate, saturated at +-2^30; not-a-number gives 0.
    static int32_t SaturateCoordinate(double value);

    // Calibration.
    QString sopClassUid;
    QString modality;
    QString scratchText;   // not part of the calibration
    double spacing1 = 0.0;
    double spacing2 = 0.0;
    double aspectBase = 1.0;
    double verticalScale = 1.0;
    int32_t imageWidth = 0;
    int32_t imageHeight = 0;
    int32_t calibrationFlag = 0;
    QString calibrationText;
};
