#include "viewer/xevoverlaymanager.h"

#include <QPainter>
#include <QWidget>

XEVOverlayManager::~XEVOverlayManager()
{
    pixelValue.ResetCalibration();
    ClearAll();
    ResetCalibration();
}

void XEVOverlayManager::ClearAll()
{
    for (auto& [id, text] : texts) {
        text->text = text->CloseEdit(text->text);
    }
    for (auto& [id, arrow] : arrows) {
        arrow->label = arrow->CloseEdit(arrow->label);
    }
    measures.clear();
    texts.clear();
    arrows.clear();
    measureLastId = measureCurrentId = measureSelectedId = 0;
    textLastId = textCurrentId = textSelectedId = 0;
    arrowLastId = arrowCurrentId = arrowSelectedId = 0;
    textEditOpen = arrowEditOpen = 0;
}

void XEVOverlayManager::SetCalibration()
{
    pixelValue.CopyCalibration(*this);
}

void XEVOverlayManager::SetCalibration2()
{
    referenceLine.CopyCalibration(*this);
}

void XEVOverlayManager::DrawAll(QPainter& painter, QPoint origin, QPoint offset, double zoom)
{
    const XEVOverlayView view{&painter, offset, origin, zoom};
    for (auto& [id, measure] : measures) {
        measure->Draw(view);
    }
    for (auto& [id, text] : texts) {
        text->Draw(view);
    }
    for (auto& [id, arrow] : arrows) {
        arrow->Draw(view);
    }
    if (pixelValue.active == 1) {
        pixelValue.Draw(painter);
    }
}

void XEVOverlayManager::DrawReferenceLine(QPainter& painter, const XEVRect& client, QPoint origin, QPoint offset,
                                          double zoom)
{
    const XEVRect bounds{client.left + 1, client.top + 1, client.right - 1, client.bottom - 1};
    referenceLine.Draw(painter, bounds, origin, offset, zoom);
}

void XEVOverlayManager::ProbePixelValue(QPoint pt, const XEVOverlayView& view, const XEVDrawnPixels& drawn)
{
    pixelValue.ProbeValue(probe, pt, view, drawn);
    pixelValue.PlaceText(pt, view);
}

void XEVOverlayManager::BeginMeasure(QPoint pt)
{
    auto measure = std::make_unique<CXEVOverlayMeasure>();
    measure->CopyCalibration(*this);
    measure->start = pt;
    measureCurrentId = ++measureLastId;
    measures.emplace(measureCurrentId, std::move(measure));
}

void XEVOverlayManager::DragMeasure(const XEVOverlayView& view, QPoint pt)
{
    if (CXEVOverlayMeasure* measure = CurrentMeasure()) {
        measure->Drag(view, pt);
    }
}

void XEVOverlayManager::EndMeasure(const XEVOverlayView& view, QPoint)
{
    CXEVOverlayMeasure* measure = CurrentMeasure();
    if (measure != nullptr && measure->Commit(view.origin, view.offset, view.zoom) == 0) {
        measures.erase(measureCurrentId);
    }
}

void XEVOverlayManager::BeginText(QPoint pt, QWidget* parent, const XEVOverlayView* fitView)
{
    auto text = std::make_unique<CXEVOverlayText>();
    text->CopyCalibration(*this);
    textCurrentId = ++textLastId;
    CXEVOverlayText* raw = text.get();
    texts.emplace(textCurrentId, std::move(text));
    raw->BeginNew(pt, parent);
    FitOnChange(*raw, fitView);
    textEditOpen = 1;
}

void XEVOverlayManager::EndTextEdit(const XEVOverlayView& view)
{
    textEditOpen = 0;
    CXEVOverlayText* text = CurrentText();
    if (text == nullptr) {
        return;
    }
    const bool hadBox = text->IsEditing();
    text->text = text->CloseEdit(text->text);
    if (hadBox && !text->text.isEmpty()) {
        text->Commit(view);
    } else {
        texts.erase(textCurrentId);
    }
}

int32_t XEVOverlayManager::ResizeTextEdit(const XEVOverlayView& view)
{
    CXEVOverlayText* text = CurrentText();
    if (text == nullptr) {
        return 0;
    }
    text->FitEdit(view);
    return 1;
}

int32_t XEVOverlayManager::ResizeArrowEdit(const XEVOverlayView& view)
{
    CXEVOverlayArrow* arrow = CurrentArrow();
    if (arrow == nullptr) {
        return 0;
    }
    arrow->FitEdit(view);
    return 1;
}

void XEVOverlayManager::FocusTextEdit()
{
    CXEVOverlayText* text = CurrentText();
    if (text != nullptr && text->IsEditing()) {
        text->edit->setFocus();
    }
}

void XEVOverlayManager::FocusArrowEdit()
{
    CXEVOverlayArrow* arrow = CurrentArrow();
    if (arrow != nullptr && arrow->IsEditing()) {
        arrow->edit->setFocus();
    }
}

void XEVOverlayManager::BeginArrow(QPoint pt)
{
    auto arrow = std::make_unique<CXEVOverlayArrow>();
    arrow->CopyCalibration(*this);
    arrow->start = pt;
    arrow->end = {-1, -1};
    arrowCurrentId = ++arrowLastId;
    arrows.emplace(arrowCurrentId, std::move(arrow));
}

void XEVOverlayManager::DragArrow(QPoint pt, const XEVOverlayView& view)
{
    if (CXEVOverlayArrow* arrow = CurrentArrow()) {
        arrow->DragEnd(pt, view);
    }
}

void XEVOverlayManager::EndArrowEdit(const XEVOverlayView& view)
{
    arrowEditOpen = 0;
    if (CXEVOverlayArrow* arrow = CurrentArrow()) {
        arrow->Commit(view);
    }
}

int32_t XEVOverlayManager::EndArrowDrag(QWidget* parent, const XEVOverlayView* fitView)
{
    CXEVOverlayArrow* arrow = CurrentArrow();
    if (arrow == nullptr) {
        return 0;
    }
    const bool apart = std::abs(int64_t(arrow->start.x()) - arrow->end.x()) > 1 ||
                       std::abs(int64_t(arrow->start.y()) - arrow->end.y()) > 1;
    if (arrow->complete == 1 && apart) {
        arrow->BeginLabel(parent);
        FitOnChange(*arrow, fitView);
        arrowEditOpen = 1;
        return 1;
    }
    arrows.erase(arrowCurrentId);
    return 0;
}

void XEVOverlayManager::DeselectAll()
{
    for (auto& [id, measure] : measures) {
        measure->selected = 0;
    }
    for (auto& [id, text] : texts) {
        text->selected = 0;
    }
    for (auto& [id, arrow] : arrows) {
        arrow->selected = 0;
    }
    measureSelectedId = textSelectedId = arrowSelectedId = 0;
}

int32_t XEVOverlayManager::SelectAt(QPoint pt)
{
    for (auto& [id, measure] : measures) {
        if (measure->SelectForDrag(pt) != 0) {
            measureSelectedId = id;
            return 1;
        }
    }
    for (auto& [id, text] : texts) {
        text->selected = 0;
        text->dragging = 0;
        if (text->BoxContains(pt)) {
            text->selected = 1;
            text->dragAnchor = pt;
            text->dragging = 1;
            text->imagePosition = {-1, -1};
            textSelectedId = id;
            return 1;
        }
    }
    for (auto& [id, arrow] : arrows) {
        if (arrow->SelectAt(pt) != 0) {
            arrowSelectedId = id;
            return 1;
        }
    }
    return 0;
}

int32_t XEVOverlayManager::SelectMeasureAt(QPoint pt)
{
    for (auto& [id, measure] : measures) {
        measure->selected = 0;
    }
    measureSelectedId = 0;
    for (auto& [id, measure] : measures) {
        if (measure->HitTest(pt) != 0) {
            measure->selected = 1;
            measureSelectedId = id;
            return 1;
        }
    }
    return 0;
}

int32_t XEVOverlayManager::SelectTextAt(QPoint pt)
{
    for (auto& [id, text] : texts) {
        text->selected = 0;
    }
    textSelectedId = 0;
    for (auto& [id, text] : texts) {
        if (text->BoxContains(pt)) {
            text->selected = 1;
            textSelectedId = id;
            return 1;
        }
    }
    return 0;
}

int32_t XEVOverlayManager::SelectArrowAt(QPoint pt)
{
    for (auto& [id, arrow] : arrows) {
        arrow->selected = 0;
    }
    arrowSelectedId = 0;
    for (auto& [id, arrow] : arrows) {
        if (arrow->HitTest(pt) != 0) {
            arrow->selected = 1;
            arrowSelectedId = id;
            return 1;
        }
    }
    return 0;
}

int32_t XEVOverlayManager::AnyMeasureHit(QPoint pt)
{
    for (auto& [id, measure] : measures) {
        if (measure->SelectForDrag(pt) != 0) {
            return 1;
        }
    }
    return 0;
}

int32_t XEVOverlayManager::DragSelected(const XEVOverlayView& view, QPoint pt)
{
    int32_t moved = 0;
    if (CXEVOverlayMeasure* measure = Find(measures, measureSelectedId)) {
        moved |= measure->DragSelected(view, pt);
    }
    if (CXEVOverlayText* text = Find(texts, textSelectedId)) {
        moved |= text->Drag(pt, view);
    }
    if (CXEVOverlayArrow* arrow = Find(arrows, arrowSelectedId)) {
        moved |= arrow->Drag(pt, view);
    }
    return moved != 0 ? 1 : 0;
}

int32_t XEVOverlayManager::DropSelected(const XEVOverlayView& view, QPoint)
{
    int32_t dropped = 0;
    if (CXEVOverlayMeasure* measure = Find(measures, measureSelectedId)) {
        measure->Commit(view.origin, view.offset, view.zoom);
        dropped = 1;
    }
    if (CXEVOverlayText* text = Find(texts, textSelectedId)) {
        text->Commit(view);
        dropped = 1;
    }
    if (CXEVOverlayArrow* arrow = Find(arrows, arrowSelectedId)) {
        arrow->Commit(view);
        dropped = 1;
    }
    return dropped;
}

int32_t XEVOverlayManager::ReEditSelectedText(QWidget* parent, const XEVOverlayView* fitView)
{
    CXEVOverlayText* text = Find(texts, textSelectedId);
    if (text == nullptr) {
        return 0;
    }
    const int32_t dx = text->boxPosition.x() - text->editRect.left;
    const int32_t dy = text->boxPosition.y() - text->editRect.top;
    text->editRect = {text->editRect.left + dx, text->editRect.top + dy, text->editRect.right + dx,
                      text->editRect.bottom + dy};
    text->OpenEdit(parent);
    FitOnChange(*text, fitView);
    text->imagePosition = {-1, -1};
    textEditOpen = 1;
    textCurrentId = textSelectedId;
    return 1;
}

int32_t XEVOverlayManager::ReEditArrowLabelAt(QPoint pt, int32_t& id, QWidget* parent, const XEVOverlayView* fitView)
{
    for (auto& [key, arrow] : arrows) {
        arrow->selected = 0;
    }
    arrowSelectedId = 0;
    bool anyHit = false;
    for (auto& [key, arrow] : arrows) {
        if (!arrow->label.isEmpty() && arrow->LabelContains(pt)) {
            arrow->selected = 1;
            arrowSelectedId = key;
            id = key;
            const int32_t dx = arrow->labelPosition.x() - arrow->editRect.left;
            const int32_t dy = arrow->labelPosition.y() - arrow->editRect.top;
            arrow->editRect = {arrow->editRect.left + dx, arrow->editRect.top + dy, arrow->editRect.right + dx,
                               arrow->editRect.bottom + dy};
            arrow->OpenEdit(parent);
            FitOnChange(*arrow, fitView);
            arrow->imageLabelPosition = {-1, -1};
            arrowEditOpen = 1;
            arrowCurrentId = arrowSelectedId;
            return 1;
        }
        anyHit = anyHit || arrow->HitTest(pt) != 0;
    }
    return anyHit ? 1 : 0;
}

int32_t XEVOverlayManager::DeleteSelectedMeasure()
{
    const bool present = Find(measures, measureSelectedId) != nullptr;
    if (present) {
        measures.erase(measureSelectedId);
    }
    measureSelectedId = 0;
    return present ? 1 : 0;
}

int32_t XEVOverlayManager::DeleteSelectedText()
{
    const bool present = Find(texts, textSelectedId) != nullptr;
    if (present) {
        texts.erase(textSelectedId);
    }
    textSelectedId = 0;
    return present ? 1 : 0;
}

int32_t XEVOverlayManager::DeleteSelectedArrow()
{
    const bool present = Find(arrows, arrowSelectedId) != nullptr;
    if (present) {
        arrows.erase(arrowSelectedId);
    }
    arrowSelectedId = 0;
    return present ? 1 : 0;
}
