#pragma once

// Distance measurements, the pixel-value readout and the reference lines of a frame.

#include <QPoint>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

#include "viewer/xevoverlaycommon.h"

class CXEVOverlayMeasure : public CXEVOverlayCommon {
public:
    static constexpr int32_t kModeNone = 0;
    static constexpr int32_t kModeStart = 1;
    static constexpr int32_t kModeEnd = 2;
    static constexpr int32_t kModeWhole = 3;

    ~CXEVOverlayMeasure() override = default;

    // While drawing: a point inside the image becomes the end.
    void Drag(const XEVOverlayView& view, QPoint pt);
    // 1 with the points stored in image coordinates; 0 when never complete.
    int32_t Commit(QPoint origin, QPoint offset, double zoom);
    int32_t SelectForDrag(QPoint pt);
    int32_t DragSelected(const XEVOverlayView& view, QPoint pt);
    int32_t HitTest(QPoint pt) const;
    void Draw(const XEVOverlayView& view);
    QString GetLabelText(double zoom);
    static void DrawCaliper(QPainter& painter, QPoint a, QPoint b);
    static QPoint PlaceLabel(const XEVRect& bounds, int32_t width, int32_t height, QPoint start, QPoint end);

    int32_t selected = 0;
    QPoint start{-1, -1};
    QPoint end{-1, -1};
    QPoint labelPosition{-1, -1};
    QPoint imageStart{-1, -1};
    QPoint imageEnd{-1, -1};
    QPoint imageLabelPosition{-1, -1};
    QString labelText;
    int32_t labelWidth = 60;
    int32_t labelHeight = 16;
    QPoint dragAnchor{-1, -1};
    int32_t dragMode = kModeNone;
    int32_t complete = 0;
    double length = 0.0;

private:
    void MeasureLabel(const XEVOverlayView& view);
};

// Where the pixel-value readout finds a frame's values: memory where it holds them exactly,
// else the frame's stored values, read with this record's own bits, sign and packing.
struct XEVPixelProbe {
    static constexpr int32_t kRgb = 1;
    static constexpr int32_t kCmyk = 2;
    static constexpr int32_t kYbr = 3;

    int32_t colorCode = 0;
    int32_t channels = 0;
    int32_t bits = 0;
    const void* data = nullptr;
    uint64_t size = 0;   // bytes
    int32_t width = 0;
    int32_t height = 0;
    int32_t isSigned = 0;
    // A single sample reads as sample x factor + offset: the rescale of stored values.
    double factor = 1.0;
    double offset = 0.0;
};

class CXEVOverlayPixelValue : public CXEVOverlayCommon {
public:
    static inline const QString kCtImageStorage = QStringLiteral("1.2.840.10008.5.1.4.1.1.2");

    ~CXEVOverlayPixelValue() override = default;

    // Reads the pixel drawn under pt; without a drawing, the one the view's zoom puts there.
    void ProbeValue(const XEVPixelProbe& probe, QPoint pt, const XEVOverlayView& view,
                    const XEVDrawnPixels& drawn = {});
    // The image pixel drawn under a screen point, not clamped to the image.
    QPoint DrawnPixelAt(QPoint pt, const XEVOverlayView& view, const XEVDrawnPixels& drawn) const;
    void PlaceText(QPoint pt, const XEVOverlayView& view);
    void Draw(QPainter& painter);
    // The readout of the values held now.
    QString FormatValue() const;

    QString text;
    QPoint position;
    int32_t textWidth = 0;
    int32_t textHeight = 0;
    int32_t active = 0;
    int32_t color = 0;
    double value = 0.0;
    double red = 0.0;
    double green = 0.0;
    double blue = 0.0;
};

class CXEVOverlayReferenceLine : public CXEVOverlayCommon {
public:
    static constexpr int32_t kFirst = 0;
    static constexpr int32_t kLast = 1;
    static constexpr int32_t kCurrent = 2;

    struct Line {
        int32_t valid = 0;
        int32_t x1 = 0;
        int32_t y1 = 0;
        int32_t x2 = 0;
        int32_t y2 = 0;
        // The source image's Instance Number; none when the file holds no number.
        std::optional<int32_t> number;
    };

    ~CXEVOverlayReferenceLine() override = default;

    void Draw(QPainter& painter, const XEVRect& bounds, QPoint origin, QPoint offset, double zoom);
    // "C" and the line's number; "C" alone for a source without one.
    static QString LabelText(const Line& line);
    // The label rectangle of a screen segment at its end 0 or 1; false when it cannot lie
    // inside the bounds (forced: after sliding it along the segment).
    static bool PlaceLabel(int32_t endIndex, bool forced, int32_t width, int32_t height, QPoint p1, QPoint p2,
                           const XEVRect& bounds, XEVRect& label);

    std::array<Line, 3> lines{};
};
