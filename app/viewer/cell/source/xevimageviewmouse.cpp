// The cell's mouse tools, keys, wheel and right-button menus.

#include <QAbstractSlider>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>

#include "shell/xevcommonsettings.h"
#include "shell/xevmessageids.h"
#include "shell/xevrmenu.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "viewer/xevimageviewctrl.h"
#include "xevlockedhelper.h"

namespace {

std::atomic<XEVMenuPresenter*> menuPresenter{nullptr};

int32_t Round(double value)
{
    return static_cast<int32_t>(std::trunc(value + 0.5));
}

double SaneAspect(double aspect)
{
    return std::isfinite(aspect) && aspect > 0.0 ? aspect : 1.0;
}

// The fit-to-window scale; sizes taken as at least 1 so an empty cell or a tiny image never
// divides by zero.
double FitScale(int32_t cw, int32_t ch, int32_t w, int32_t h, double v)
{
    const double byHeight = double(ch) / std::max(Round(h * v), 1);
    const double byWidth = double(cw) / std::max(w, 1);
    return std::min(byHeight, byWidth);
}

// Moving the pointer back is possible only where the platform lets a program place it.
bool CanWarpPointer()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal") &&
           !platform.startsWith(QLatin1String("wayland"));
}

struct CommandTool {
    int32_t command;
    int32_t tool;
    uint32_t message;   // what selects the tool in the form view
};
constexpr CommandTool kToolCommands[] = {
    {ID_XEV_WINDOWLEVEL, kXEVToolWindowLevel, WM_XEV_TOOL_WINDOWLEVEL},
    {ID_XEV_ZOOM, kXEVToolZoom, WM_XEV_TOOL_ZOOM},
    {ID_XEV_PAN, kXEVToolPan, WM_XEV_TOOL_PAN},
    {ID_XEV_MEASURE, kXEVToolMeasure, WM_XEV_TOOL_MEASURE},
    {ID_XEV_TEXT, kXEVToolText, WM_XEV_TOOL_TEXT},
    {ID_XEV_ARROW, kXEVToolArrow, WM_XEV_TOOL_ARROW},
    {ID_XEV_PIXELVALUE, kXEVToolPixelValue, WM_XEV_TOOL_PIXELVALUE},
};

// The command of a chosen action, found among the menu's own items.
int32_t CommandOf(const CXEVRMenu& menu, uint16_t menuId, const QAction* chosen)
{
    const XEVMenuData* data = XEVFindMenuData(menuId);
    if (chosen == nullptr || data == nullptr) {
        return 0;
    }
    for (const XEVMenuItemData& item : data->items) {
        if (item.command != 0 && menu.FindCommand(item.command) == chosen) {
            return item.command;
        }
    }
    return 0;
}

}   // namespace

void XEVSetMenuPresenter(XEVMenuPresenter* presenter)
{
    menuPresenter.store(presenter);
}

void XEVImageViewCtrl::SendToParent(uint32_t id, XEVWParam wParam, XEVLParam lParam)
{
    if (QWidget* parent = parentWidget()) {
        XEVRegisterMessageIds();
        XEVMessageEvent event(id, wParam, lParam);
        QCoreApplication::sendEvent(parent, &event);
    }
}

void XEVImageViewCtrl::ScrollFormView(bool up)
{
    QWidget* parent = parentWidget();
    QScrollBar* bar =
        parent != nullptr ? parent->findChild<QScrollBar*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
    if (bar != nullptr) {
        bar->triggerAction(up ? QAbstractSlider::SliderPageStepSub : QAbstractSlider::SliderPageStepAdd);
    }
}

QPoint XEVImageViewCtrl::Confine(QPoint pt, int32_t tool) const
{
    if (confineArea_.isEmpty() || XEVToolHotSpot(tool).isNull()) {
        return pt;
    }
    return QPoint(std::clamp(pt.x(), confineArea_.left(), confineArea_.right()),
                  std::clamp(pt.y(), confineArea_.top(), confineArea_.bottom()));
}

void XEVImageViewCtrl::DropToolUnlessLocked()
{
    if (GetCommonSettings().OperationLock != 0) {
        return;
    }
    GetLoadState().mouseTool = 0;
    int32_t buttons = 0;
    {
        XEVLockedHelper locked(CurrentImage(), true);
        const FrameImageInfo* frame = ShownFrame(locked.helper);
        if (frame != nullptr) {
            buttons = frame->textEditOpen != 0 ? kXEVToolText : (frame->arrowEditOpen != 0 ? kXEVToolArrow : 0);
        }
    }
    if (XEVTitlePaneState* pane = XEVGetTitlePane()) {
        pane->UpdateToolButtons(buttons);
    }
}

void XEVImageViewCtrl::WatchEdits()
{
    // The edit boxes swallow Escape as the cell does.
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        child->removeEventFilter(this);
        child->installEventFilter(this);
    }
}

bool XEVImageViewCtrl::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void XEVImageViewCtrl::mousePressEvent(QMouseEvent* event)
{
    const QPoint pt = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        OnLButtonDown(pt);
    } else if (event->button() == Qt::RightButton) {
        if (dragInProgress == 0) {
            confineArea_ = QRect();
            SendToParent(WM_XEV_CELL_RBUTTON, XEVWParam(controlId_), 0);
        }
    } else if (event->button() == Qt::MiddleButton) {
        XEVTitlePaneState* pane = XEVGetTitlePane();
        if (pane == nullptr || (!pane->IsTextToolPressed() && !pane->IsArrowToolPressed())) {
            middlePoint = pt;
        }
    }
    event->accept();
}

void XEVImageViewCtrl::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pt = event->position().toPoint();
    if ((event->buttons() & Qt::LeftButton) != 0 || dragInProgress != 0) {
        OnDragMove(pt);
    } else if ((event->buttons() & Qt::MiddleButton) != 0) {
        OnMiddleMove(pt);
    }
    if (event->buttons() == Qt::NoButton) {
        UpdateCursor(pt);
    }
    event->accept();
}

void XEVImageViewCtrl::mouseReleaseEvent(QMouseEvent* event)
{
    const QPoint pt = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        OnLButtonUp(pt);
    } else if (event->button() == Qt::RightButton) {
        OnRButtonUp(pt, event->globalPosition().toPoint(), (event->buttons() & Qt::LeftButton) != 0);
    } else if (event->button() == Qt::MiddleButton) {
        if (IsLinked()) {
            XEVLockedHelper locked(CurrentImage());
            const bool loaded = locked.helper != nullptr;
            locked.Unlock();
            if (loaded) {
                SendToParent(WM_XEV_LINKED_MOVED, XEVWParam(controlId_), 0);
            }
        }
    }
    event->accept();
}

void XEVImageViewCtrl::OnLButtonDown(QPoint pt)
{
    {
        XEVLockedHelper locked(CurrentImage());
        if (locked.helper == nullptr) {
            return;
        }
    }
    if (selected == 0) {
        SendToParent(WM_XEV_CELL_SELECT, XEVWParam(controlId_), 0);
    }
    XEVLockedHelper locked(CurrentImage(), true);
    FrameImageInfo* frame = ShownFrame(locked.helper);
    if (frame == nullptr) {
        return;
    }
    const XEVOverlayView view = OverlayView(nullptr);
    const int32_t tool = GetLoadState().mouseTool.load();
    if (tool == kXEVToolNone) {
        if (frame->textEditOpen != 0) {
            frame->EndTextEdit(view);
            update();
        }
        if (frame->arrowEditOpen != 0) {
            frame->EndArrowEdit(view);
            update();
        }
        frame->DeselectAll();
        XEVTitlePaneState* pane = XEVGetTitlePane();
        if (pane != nullptr && pane->IsCinePlaying()) {
            return;
        }
        if (frame->SelectAt(pt) != 0) {
            update();
        }
        return;
    }
    if (!HitTest(pt, tool)) {
        return;
    }
    dragTool = tool;
    const QPoint corrected = pt + XEVToolHotSpot(tool);
    // The confining tools keep their tip on the drawn image.
    confineArea_ = XEVToolHotSpot(tool).isNull() ? QRect() : destination.translated(-XEVToolHotSpot(tool));
    switch (tool) {
    case kXEVToolWindowLevel:
        windowCenter = frame->windowCenter;
        windowWidth = frame->windowWidth;
        break;
    case kXEVToolZoom:
        zoomIncrement = 0.0;
        zoomMode = kZoomed;
        sourceCentre = QPoint((sourceLeft + sourceRight) / 2, (sourceTop + sourceBottom) / 2);
        zoomAnchor = frame->ScreenToImage(pt, view);
        break;
    case kXEVToolPan:
        panStart = QRect(sourceLeft, sourceTop, sourceRight - sourceLeft, sourceBottom - sourceTop);
        panInProgress = 1;
        break;
    case kXEVToolMeasure: frame->BeginMeasure(corrected); break;
    case kXEVToolText:
        if (frame->textEditOpen != 0) {
            frame->EndTextEdit(view);
        }
        if (frame->textEditOpen == 0) {
            frame->BeginText(pt, this, &view);
            WatchEdits();
        }
        update();
        break;
    case kXEVToolArrow:
        if (frame->arrowEditOpen != 0) {
            frame->EndArrowEdit(view);
            update();
        }
        frame->BeginArrow(corrected);
        break;
    case kXEVToolPixelValue:
        frame->ProbePixelValue(corrected, view, DrawnPixels(frame));
        frame->pixelValue.active = 1;
        break;
    default: break;
    }
    dragStart = corrected;
    lastPointer_ = pt;
    dragOffset = QPoint(0, 0);
    dragInProgress = 1;
}

void XEVImageViewCtrl::ApplyZoomRule(XEVVEKHelper* helper, const FrameImageInfo* frame)
{
    const int32_t W = helper->GetImageWidth();
    const int32_t H = helper->GetImageHeight();
    const double v = SaneAspect(frame->EffectiveVerticalScale());
    const double z = baseScale + zoomIncrement;
    const int32_t hs = std::max(Round(H * v * z), 1);
    const int32_t ws = std::max(Round(W * z), 1);
    const double f = std::max(500.0 / hs, 500.0 / ws);
    const int32_t dy = dragOffset.y();
    zoomIncrement = -(dy * 0.01 * f);
    double zmin = 0.01;
    double zmax = 10.0;
    if (W != 0 && H != 0) {
        const double fit = FitScale(width(), height(), W, H, v);
        zmin = std::max(fit, 0.01);
        zmax = std::max(10.0, fit);
    }
    if (baseScale + zoomIncrement < zmin) {
        zoomIncrement = zmin - baseScale;
    } else if (baseScale + zoomIncrement > zmax) {
        zoomIncrement = zmax - baseScale;
    }
    zoomed = 1;
    if (!(zoomIncrement > 0.0)) {
        return;
    }
    // Enlarging slides the shown part toward the point under the pointer at the press; the
    // slide ends at the anchor, however long the drag.
    const double s = baseScale + zoomIncrement;
    const auto slide = [](int32_t steps, int32_t& centre, int32_t anchor, int32_t& low, int32_t& high, int32_t limit) {
        for (int32_t i = 0; i < steps && centre != anchor; ++i) {
            const int32_t dir = anchor > centre ? 1 : -1;
            centre += dir;
            if ((dir > 0 && high < limit - 1) || (dir < 0 && low > 0)) {
                low += dir;
                high += dir;
            }
        }
    };
    int32_t cx = sourceCentre.x();
    int32_t cy = sourceCentre.y();
    slide(Round(std::abs(dy) / s), cx, zoomAnchor.x(), sourceLeft, sourceRight, W);
    slide(Round(std::abs(dy) / v / s), cy, zoomAnchor.y(), sourceTop, sourceBottom, H);
    sourceCentre = QPoint(cx, cy);
}

void XEVImageViewCtrl::OnDragMove(QPoint pt)
{
    XEVLockedHelper locked(CurrentImage(), true);
    FrameImageInfo* frame = ShownFrame(locked.helper);
    if (frame == nullptr) {
        return;
    }
    const XEVOverlayView view = OverlayView(nullptr);
    const int32_t tool = GetLoadState().mouseTool.load();
    if (tool == kXEVToolNone) {
        if (frame->DragSelected(view, pt) != 0) {
            update();
        }
        return;
    }
    if (dragInProgress == 0) {
        return;
    }
    const bool relative = tool == kXEVToolWindowLevel || tool == kXEVToolZoom;
    if (relative) {
        const QPoint step = pt - lastPointer_;
        dragOffset += step;
        setCursor(std::abs(step.x()) < 2 && std::abs(step.y()) < 2 ? XEVToolCursor(tool) : QCursor(Qt::BlankCursor));
    }
    switch (tool) {
    case kXEVToolPan: dragOffset = pt - dragStart; break;
    case kXEVToolWindowLevel: windowLevelChanged = 1; break;
    case kXEVToolZoom: ApplyZoomRule(locked.helper, frame); break;
    case kXEVToolMeasure: frame->DragMeasure(view, Confine(pt, tool) + XEVToolHotSpot(tool)); break;
    case kXEVToolArrow: frame->DragArrow(Confine(pt, tool) + XEVToolHotSpot(tool), view); break;
    case kXEVToolPixelValue:
        frame->ProbePixelValue(Confine(pt, tool) + XEVToolHotSpot(tool), view, DrawnPixels(frame));
        break;
    default: break;
    }
    locked.Unlock();
    repaint();
    lastPointer_ = pt;
    if (relative && CanWarpPointer()) {
        // The pointer stays where the drag began, so it never reaches the screen's edge.
        const QPoint home = mapToGlobal(dragStart);
        QCursor::setPos(home);
        if (QCursor::pos() == home) {
            lastPointer_ = dragStart;
        }
    }
}

void XEVImageViewCtrl::ReleaseWindowLevel(XEVVEKHelper* helper)
{
    double centreStep = 1.0;
    double widthStep = 1.0;
    helper->GetWindowStep(centreStep, widthStep);
    const double centre = windowCenter + dragOffset.y() * centreStep;
    const double width = windowWidth - dragOffset.x() * widthStep;
    helper->SetWindow(ResolveFrame(helper), centre, width);
    const FrameImageInfo* shown = helper->GetFrame(ResolveFrame(helper));
    if (shown != nullptr) {
        windowCenter = shown->windowCenter;
        windowWidth = shown->windowWidth;
    }
}

void XEVImageViewCtrl::SpreadWindowLevel()
{
    // Called with no image's lock held: the set's images are locked one at a time.
    for (const auto& [key, image] : images_) {
        XEVLockedHelper other(image, true);
        if (other.helper == nullptr) {
            continue;
        }
        for (auto& [index, frame] : other.helper->frames) {
            if (frame != nullptr) {
                frame->SetWindow(windowCenter, windowWidth, 0);
            }
        }
    }
}

void XEVImageViewCtrl::OnLButtonUp(QPoint pt)
{
    rightMenuShown = 0;
    const int32_t tool = GetLoadState().mouseTool.load();
    if (tool == kXEVToolWindowLevel || tool == kXEVToolZoom) {
        unsetCursor();
    }
    const bool dragged = dragInProgress != 0;
    const auto endDrag = [this, pt] {
        dragTool = 0;
        confineArea_ = QRect();
        dragStart = pt;
        dragInProgress = 0;
        dragOffset = QPoint(0, 0);
        panInProgress = 0;
    };
    XEVLockedHelper locked(CurrentImage(), true);
    FrameImageInfo* frame = ShownFrame(locked.helper);
    if (frame == nullptr) {
        // The image may have been released for memory since the press: the drag just ends.
        endDrag();
        zoomIncrement = 0.0;
        return;
    }
    const XEVOverlayView view = OverlayView(nullptr);
    if (tool == kXEVToolNone) {
        const bool dropped = frame->DropSelected(view, pt) != 0;
        locked.Unlock();
        DropToolUnlessLocked();
        if (dropped) {
            update();
        }
        return;
    }
    // A press outside the image started nothing, so its release ends nothing.
    if (!dragged) {
        return;
    }
    const QPoint corrected = Confine(pt, tool) + XEVToolHotSpot(tool);
    bool repaintCell = true;
    switch (tool) {
    case kXEVToolPan: {
        // The source as the preview showed it, also when no paint came since the last move.
        const XEVViewGeometry g = ComputeGeometry(width(), height(), locked.helper->GetImageWidth(),
                                                  locked.helper->GetImageHeight(), frame->EffectiveVerticalScale());
        if (g.drawable) {
            sourceLeft = g.sourceLeft;
            sourceTop = g.sourceTop;
            sourceRight = g.sourceRight;
            sourceBottom = g.sourceBottom;
        }
        destinationEdges = destination;
        panStart = QRect(sourceLeft, sourceTop, sourceRight - sourceLeft, sourceBottom - sourceTop);
        break;
    }
    case kXEVToolZoom:
        destinationEdges = destination;
        baseScale += zoomIncrement;
        zoomIncrement = 0.0;
        break;
    case kXEVToolWindowLevel: ReleaseWindowLevel(locked.helper); break;
    case kXEVToolMeasure: frame->EndMeasure(view, corrected); break;
    case kXEVToolArrow:
        if (frame->arrowEditOpen == 0) {
            repaintCell = frame->EndArrowDrag(this, &view) != 0;
            WatchEdits();
        } else {
            repaintCell = false;
        }
        break;
    case kXEVToolPixelValue: frame->pixelValue.active = 0; break;
    default: break;
    }
    endDrag();
    locked.Unlock();
    if (tool == kXEVToolWindowLevel) {
        SpreadWindowLevel();
    }
    if (repaintCell) {
        update();
    }
    if (tool == kXEVToolWindowLevel && IsLinked()) {
        SendToParent(WM_XEV_LINKED_WINDOW, 1, XEVLParam(controlId_));
    }
    if (tool == kXEVToolWindowLevel || tool == kXEVToolZoom || tool == kXEVToolPan) {
        PostToParent(WM_XEV_DISPLAY_STATE, XEVWParam(controlId_), XEVLParam(tool));
    }
    DropToolUnlessLocked();
}

void XEVImageViewCtrl::OnRButtonUp(QPoint pt, QPoint global, bool leftHeld)
{
    if (active == 0 || dragInProgress != 0) {
        return;
    }
    XEVLockedHelper locked(CurrentImage(), true);
    FrameImageInfo* frame = ShownFrame(locked.helper);
    if (frame == nullptr || !locked.helper->IsFrameLoaded(ResolveFrame(locked.helper))) {
        return;
    }
    rightMenuShown = 1;
    uint16_t menu = 0;
    if (frame->SelectMeasureAt(pt) != 0) {
        menu = kXEVMenuMeasure;
    } else if (frame->SelectTextAt(pt) != 0) {
        menu = kXEVMenuText;
    } else if (frame->SelectArrowAt(pt) != 0) {
        menu = kXEVMenuArrow;
    }
    locked.Unlock();
    if (menu != 0) {
        if (menu != kXEVMenuArrow) {
            repaint();
        }
        ShowAnnotationMenu(menu, global);
    } else if (!leftHeld) {
        ShowCellMenu(global);
    }
}

void XEVImageViewCtrl::contextMenuEvent(QContextMenuEvent* event)
{
    // The mouse's menu comes from the button's release; this one is the keyboard's.
    if (event->reason() == QContextMenuEvent::Keyboard) {
        ShowCellMenu(QPoint(-1, -1));
    }
    event->accept();
}

void XEVImageViewCtrl::mouseDoubleClickEvent(QMouseEvent* event)
{
    event->accept();
    if (event->button() != Qt::LeftButton) {
        return;
    }
    if (rightMenuShown != 0) {
        rightMenuShown = 0;
        return;
    }
    const QPoint pt = event->position().toPoint();
    XEVLockedHelper locked(CurrentImage(), true);
    FrameImageInfo* frame = ShownFrame(locked.helper);
    if (frame == nullptr || frame->AnyMeasureHit(pt) != 0) {
        return;
    }
    const XEVOverlayView view = OverlayView(nullptr);
    if (frame->textSelectedId > 0) {
        if (frame->ReEditSelectedText(this, &view) != 0) {
            WatchEdits();
            update();
        }
        return;
    }
    int32_t id = 0;
    if (frame->ReEditArrowLabelAt(pt, id, this, &view) != 0) {
        WatchEdits();
        update();
        return;
    }
    locked.Unlock();
    PostToParent(WM_XEV_CELL_DBLCLK, XEVWParam(controlId_), 0);
}

void XEVImageViewCtrl::OnMiddleMove(QPoint pt)
{
    XEVTitlePaneState* pane = XEVGetTitlePane();
    if (dragInProgress != 0 || (pane != nullptr && (pane->IsTextToolPressed() || pane->IsArrowToolPressed()))) {
        return;
    }
    const int32_t dy = pt.y() - middlePoint.y();
    if (GetCineLength() <= 1 || std::abs(dy) <= 3) {
        return;
    }
    SetCurrentImage(dy > 0 ? kNext : kPrevious, 0);
    middlePoint = pt;
}

void XEVImageViewCtrl::wheelEvent(QWheelEvent* event)
{
    event->accept();
    const int32_t delta = event->angleDelta().y();
    if ((event->modifiers() & Qt::ControlModifier) != 0) {
        XEVRegisterMessageIds();
        QCoreApplication::postEvent(window(), new XEVMessageEvent(WM_XEV_STEP_LAYOUT, delta >= 0 ? 1 : 0, 0));
        return;
    }
    if (IsLinked()) {
        if ((event->buttons() & Qt::MiddleButton) == 0) {
            SendToParent(WM_XEV_LINKED_STEP, XEVWParam(controlId_), XEVLParam(delta));
        }
        return;
    }
    if (active != 0 && GetCineLength() > 1 && delta != 0) {
        SetCurrentImage(delta < 0 ? kNext : kPrevious, 0);
    }
}

bool XEVImageViewCtrl::OnKey(int key)
{
    if (key == Qt::Key_Escape) {
        return true;
    }
    {
        XEVLockedHelper locked(CurrentImage(), true);
        const FrameImageInfo* frame = ShownFrame(locked.helper);
        if (frame != nullptr && (frame->textEditOpen != 0 || frame->arrowEditOpen != 0)) {
            return false;
        }
    }
    const XEVWParam id = XEVWParam(controlId_);
    if (key == Qt::Key_PageUp || key == Qt::Key_PageDown) {
        const bool up = key == Qt::Key_PageUp;
        if (IsLinked()) {
            SendToParent(WM_XEV_LINKED_PAGE, id, up ? 1 : 0);
        } else {
            ScrollFormView(up);
        }
        return true;
    }
    if (active == 0 || GetCineLength() <= 1) {
        return false;
    }
    // Linked cells hand the step to the form view; Left and Right move the cell first.
    struct KeyStep {
        int key;
        int32_t direction;
        uint32_t linked;
        XEVLParam param;
        bool moveFirst;
    };
    static constexpr KeyStep kSteps[] = {
        {Qt::Key_Right, kNext, WM_XEV_LINKED_MOVED, 0, true},
        {Qt::Key_Left, kPrevious, WM_XEV_LINKED_MOVED, 0, true},
        {Qt::Key_Down, kNext, WM_XEV_LINKED_STEP, -120, false},
        {Qt::Key_Up, kPrevious, WM_XEV_LINKED_STEP, 120, false},
        {Qt::Key_Home, kFirst, WM_XEV_LINKED_HOME_END, 0, false},
        {Qt::Key_End, kLast, WM_XEV_LINKED_HOME_END, -1, false},
    };
    for (const KeyStep& step : kSteps) {
        if (step.key != key) {
            continue;
        }
        if (step.moveFirst || !IsLinked()) {
            SetCurrentImage(step.direction, 0);
        }
        if (step.moveFirst && IsLinked() && stepAwaited_ != -1) {
            // The cell waits for the position stepped to: the page follows once it is taken,
            // and laid out now it would drop the wait.
            stepMovesPage_ = true;
            return true;
        }
        if (IsLinked()) {
            SendToParent(step.linked, id, step.param);
        }
        return true;
    }
    return false;
}

void XEVImageViewCtrl::keyPressEvent(QKeyEvent* event)
{
    if (OnKey(event->key())) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void XEVImageViewCtrl::UpdateCursor(QPoint pt)
{
    if (active == 0 && HasFramePixels(currentFrame)) {
        SendToParent(WM_XEV_CELL_ACTIVATE, XEVWParam(controlId_), 0);
    }
    {
        XEVLockedHelper locked(CurrentImage(), true);
        FrameImageInfo* frame = ShownFrame(locked.helper);
        if (frame != nullptr && frame->textEditOpen != 0) {
            frame->FocusTextEdit();
        } else if (frame != nullptr && frame->arrowEditOpen != 0) {
            frame->FocusArrowEdit();
        } else if (!hasFocus()) {
            setFocus(Qt::MouseFocusReason);
        }
    }
    if (GetCommonSettings().MenuShowing != 0 || dragTool != 0) {
        return;
    }
    const int32_t tool = GetLoadState().mouseTool.load();
    if (tool != kXEVToolNone && HitTest(pt, tool)) {
        setCursor(XEVToolCursor(tool));
    } else {
        setCursor(Qt::ArrowCursor);
    }
}

void XEVImageViewCtrl::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (event->size() == handledSize_) {
        return;
    }
    handledSize_ = event->size();
    const int32_t cw = event->size().width();
    const int32_t ch = event->size().height();
    cornerTextsShown = cw >= 250 && ch >= 250 ? 1 : 0;
    if (zoomMode != kZoomed) {
        return;
    }
    XEVLockedHelper locked(CurrentImage(), true);
    const FrameImageInfo* frame = ShownFrame(locked.helper);
    if (frame == nullptr) {
        return;
    }
    const double fit = FitScale(cw, ch, locked.helper->GetImageWidth(), locked.helper->GetImageHeight(),
                                SaneAspect(frame->EffectiveVerticalScale()));
    if (baseScale < fit) {
        baseScale = fit;
    }
}

void XEVImageViewCtrl::OnResetDisplay()
{
    zoomMode = kFit;
    {
        XEVLockedHelper locked(CurrentImage());
        if (locked.helper != nullptr) {
            panStart = QRect(0, 0, locked.helper->GetImageWidth(), locked.helper->GetImageHeight());
        }
    }
    for (const auto& [key, image] : images_) {
        XEVLockedHelper locked(image, true);
        if (locked.helper != nullptr) {
            locked.helper->ResetView();
        }
    }
    {
        XEVLockedHelper locked(CurrentImage(), true);
        if (locked.helper != nullptr) {
            locked.helper->GetWindow(windowCenter, windowWidth);
        }
    }
    windowLevelChanged = 0;
    panInProgress = 0;
    zoomed = 0;
    zoomIncrement = 0.0;
    update();
    PostToParent(WM_XEV_DISPLAY_STATE, XEVWParam(controlId_), 0);
}

uint16_t XEVImageViewCtrl::CellMenuId() const
{
    XEVTitlePaneState* pane = XEVGetTitlePane();
    const bool playing = pane != nullptr && pane->IsCinePlaying();
    if (GetCommonSettings().ModeSupportSR == 0) {
        return playing ? kXEVMenuImagePlaying : kXEVMenuImage;
    }
    return playing ? kXEVMenuImageReportPlaying : kXEVMenuImageReport;
}

std::unique_ptr<CXEVRMenu> XEVImageViewCtrl::BuildMenu(uint16_t menuId) const
{
    const XEVCommonSettings& settings = GetCommonSettings();
    auto menu = std::make_unique<CXEVRMenu>();
    const bool cellMenu = menuId == kXEVMenuImage || menuId == kXEVMenuImagePlaying || menuId == kXEVMenuImageReport ||
                          menuId == kXEVMenuImageReportPlaying;
    const XEVMenuLabels* labels = &settings.MenuLabelsDelete1;
    if (cellMenu) {
        const bool playing = menuId == kXEVMenuImagePlaying || menuId == kXEVMenuImageReportPlaying;
        labels = playing ? &settings.MenuLabelsPlaying : &settings.MenuLabelsStopped;
    } else if (menuId == kXEVMenuText) {
        labels = &settings.MenuLabelsDelete2;
    } else if (menuId == kXEVMenuArrow) {
        labels = &settings.MenuLabelsDelete3;
    }
    const int32_t loaded =
        cellMenu ? menu->LoadOwnerDraw(menuId, *labels, kXEVImageMenuIcons, int32_t(std::size(kXEVImageMenuIcons)))
                 : menu->LoadOwnerDraw(menuId, *labels);
    if (loaded == 0) {
        return nullptr;
    }
    if (!cellMenu) {
        return menu;
    }
    menu->CheckMenuItem(ID_XEV_LOCK, settings.OperationLock != 0);
    const int32_t tool = GetLoadState().mouseTool.load();
    for (const CommandTool& entry : kToolCommands) {
        menu->CheckMenuItem(entry.command, entry.tool == tool);
    }
    menu->CheckMenuItem(ID_XEV_SERIES_SYNC, settings.SeriesAutoLink != 0);
    bool inverted = false;
    bool invertible = true;
    {
        XEVLockedHelper locked(CurrentImage());
        if (locked.helper != nullptr) {
            inverted = locked.helper->invertFlag != 0;
            // Colour images have no inverse display.
            invertible = locked.helper->colorFlag == 0;
        }
    }
    menu->CheckMenuItem(ID_XEV_INVERT, inverted);
    menu->EnableMenuItem(ID_XEV_INVERT, invertible);
    XEVTitlePaneState* pane = XEVGetTitlePane();
    menu->EnableMenuItem(ID_XEV_SHOW_REPORT, pane == nullptr || pane->IsReportEnabled());
    return menu;
}

void XEVImageViewCtrl::PresentMenu(std::unique_ptr<CXEVRMenu> menu, uint16_t menuId, QPoint global, bool cellMenu)
{
    CXEVRMenu* popup = menu->GetSubMenu(0);
    if (popup == nullptr) {
        menu->FreeItemData(nullptr);
        return;
    }
    XEVCommonSettings& settings = GetCommonSettings();
    if (XEVMenuPresenter* presenter = menuPresenter.load()) {
        if (cellMenu) {
            settings.MenuShowing = 1;
        }
        const int32_t command = presenter->Show(*popup, menuId, global);
        if (cellMenu) {
            settings.MenuShowing = 0;
        }
        menu->FreeItemData(nullptr);
        if (command != 0) {
            OnCommand(command);
        }
        return;
    }
    // Opened without a loop of its own: the cell may be retired while the menu is up, and the
    // chosen command then reaches nothing.
    CXEVRMenu* owned = menu.release();
    if (cellMenu) {
        settings.MenuShowing = 1;
    }
    QObject::connect(popup, &QMenu::triggered, this, [this, owned, menuId](QAction* chosen) {
        if (const int32_t command = CommandOf(*owned, menuId, chosen); command != 0) {
            OnCommand(command);
        }
    });
    // The choice comes after the menu has hidden, in the same event: the menu goes after both.
    QObject::connect(popup, &QMenu::aboutToHide, owned, [owned, cellMenu] {
        if (cellMenu) {
            GetCommonSettings().MenuShowing = 0;
        }
        QMetaObject::invokeMethod(
            owned,
            [owned] {
                owned->FreeItemData(nullptr);
                delete owned;
            },
            Qt::QueuedConnection);
    });
    popup->popup(global);
}

void XEVImageViewCtrl::ShowCellMenu(QPoint global)
{
    if (global == QPoint(-1, -1)) {
        global = mapToGlobal(QPoint(0, 0)) + QPoint(5, 5);
    }
    const uint16_t id = CellMenuId();
    std::unique_ptr<CXEVRMenu> menu = BuildMenu(id);
    if (menu != nullptr) {
        PresentMenu(std::move(menu), id, global, true);
    }
}

void XEVImageViewCtrl::ShowAnnotationMenu(uint16_t menuId, QPoint global)
{
    std::unique_ptr<CXEVRMenu> menu = BuildMenu(menuId);
    if (menu != nullptr) {
        PresentMenu(std::move(menu), menuId, global, false);
    }
}

bool XEVImageViewCtrl::OnToolCommand(int32_t id)
{
    for (const CommandTool& entry : kToolCommands) {
        if (entry.command == id) {
            if (active != 0) {
                SendToParent(entry.message, 0, 0);
            }
            return true;
        }
    }
    XEVCommonSettings& settings = GetCommonSettings();
    switch (id) {
    case ID_XEV_LOCK:
        settings.OperationLock = settings.OperationLock != 0 ? 0 : 1;
        if (settings.OperationLock == 0) {
            DropToolUnlessLocked();
            CloseAnnotationEdit();
            update();
        }
        return true;
    case ID_XEV_PLAY:
        if (XEVTitlePaneState* pane = XEVGetTitlePane(); pane != nullptr && pane->IsPlayVisible()) {
            SendToParent(WM_XEV_CELL_SELECT, XEVWParam(controlId_), 0);
            pane->PressPlay();
        }
        return true;
    case ID_XEV_SERIES_SYNC: settings.SeriesAutoLink = settings.SeriesAutoLink != 0 ? 0 : 1; return true;
    case ID_XEV_RESET_DISPLAY: OnResetDisplay(); return true;
    case ID_XEV_DELETE_MEASURE:
    case ID_XEV_DELETE_TEXT:
    case ID_XEV_DELETE_ARROW: {
        XEVLockedHelper locked(CurrentImage(), true);
        FrameImageInfo* frame = ShownFrame(locked.helper);
        if (frame == nullptr) {
            return true;
        }
        const int32_t deleted = id == ID_XEV_DELETE_MEASURE ? frame->DeleteSelectedMeasure()
                                : id == ID_XEV_DELETE_TEXT  ? frame->DeleteSelectedText()
                                                            : frame->DeleteSelectedArrow();
        if (deleted != 0) {
            update();
        }
        return true;
    }
    default: return false;
    }
}
