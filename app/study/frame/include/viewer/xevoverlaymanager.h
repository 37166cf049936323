#pragma once

// The annotations of one frame: measurements, texts and arrows by id, one pixel-value readout
// and one reference line. A frame derives from it, so the frame's calibration is the base's.

#include <QPoint>

#include <cstdint>
#include <map>
#include <memory>

#include "viewer/xevoverlaycommon.h"
#include "viewer/xevoverlaymeasure.h"
#include "viewer/xevoverlaytext.h"

class QPainter;
class QWidget;

class XEVOverlayManager : public CXEVOverlayCommon {
public:
    XEVOverlayManager() = default;
    ~XEVOverlayManager() override;

    void ClearAll();
    void SetCalibration();
    void SetCalibration2();

    // Measurements, then texts, then arrows, oldest first, then the pixel value when active.
    void DrawAll(QPainter& painter, QPoint origin, QPoint offset, double zoom);
    void DrawReferenceLine(QPainter& painter, const XEVRect& client, QPoint origin, QPoint offset, double zoom);
    void ProbePixelValue(QPoint pt, const XEVOverlayView& view, const XEVDrawnPixels& drawn = {});

    void BeginMeasure(QPoint pt);
    void DragMeasure(const XEVOverlayView& view, QPoint pt);
    void EndMeasure(const XEVOverlayView& view, QPoint pt);

    // With a view, the edit box re-fits itself to every change of its text in that view.
    void BeginText(QPoint pt, QWidget* parent, const XEVOverlayView* fitView = nullptr);
    void EndTextEdit(const XEVOverlayView& view);
    int32_t ResizeTextEdit(const XEVOverlayView& view);
    void FocusTextEdit();

    void BeginArrow(QPoint pt);
    void DragArrow(QPoint pt, const XEVOverlayView& view);
    void EndArrowEdit(const XEVOverlayView& view);
    int32_t EndArrowDrag(QWidget* parent, const XEVOverlayView* fitView = nullptr);
    int32_t ResizeArrowEdit(const XEVOverlayView& view);
    void FocusArrowEdit();

    void DeselectAll();
    int32_t SelectAt(QPoint pt);
    int32_t SelectMeasureAt(QPoint pt);
    int32_t SelectTextAt(QPoint pt);
    int32_t SelectArrowAt(QPoint pt);
    int32_t AnyMeasureHit(QPoint pt);
    int32_t DragSelected(const XEVOverlayView& view, QPoint pt);
    int32_t DropSelected(const XEVOverlayView& view, QPoint pt);
    int32_t ReEditSelectedText(QWidget* parent, const XEVOverlayView* fitView = nullptr);
    int32_t ReEditArrowLabelAt(QPoint pt, int32_t& id, QWidget* parent, const XEVOverlayView* fitView = nullptr);
    int32_t DeleteSelectedMeasure();
    int32_t DeleteSelectedText();
    int32_t DeleteSelectedArrow();

    CXEVOverlayMeasure* CurrentMeasure() const { return Find(measures, measureCurrentId); }
    CXEVOverlayText* CurrentText() const { return Find(texts, textCurrentId); }
    CXEVOverlayArrow* CurrentArrow() const { return Find(arrows, arrowCurrentId); }

    CXEVOverlayReferenceLine referenceLine;
    CXEVOverlayPixelValue pixelValue;
    XEVPixelProbe probe;

    int32_t measureLastId = 0;
    int32_t measureCurrentId = 0;
    int32_t measureSelectedId = 0;
    std::map<int32_t, std::unique_ptr<CXEVOverlayMeasure>> measures;
    int32_t textEditOpen = 0;
    int32_t textLastId = 0;
    int32_t textCurrentId = 0;
    int32_t textSelectedId = 0;
    std::map<int32_t, std::unique_ptr<CXEVOverlayText>> texts;
    int32_t arrowEditOpen = 0;
    int32_t arrowLastId = 0;
    int32_t arrowCurrentId = 0;
    int32_t arrowSelectedId = 0;
    std::map<int32_t, std::unique_ptr<CXEVOverlayArrow>> arrows;

private:
    template <typename T>
    static void FitOnChange(T& annotation, const XEVOverlayView* fitView)
    {
        if (fitView != nullptr && annotation.IsEditing()) {
            XEVOverlayView view = *fitView;
            view.painter = nullptr;
            annotation.edit->onChanged = [&annotation, view] { annotation.FitEdit(view); };
        }
    }

    template <typename T>
    static T* Find(const std::map<int32_t, std::unique_ptr<T>>& map, int32_t id)
    {
        if (id <= 0) {
            return nullptr;
        }
        const auto found = map.find(id);
        return found == map.end() ? nullptr : found->second.get();
    }
};
