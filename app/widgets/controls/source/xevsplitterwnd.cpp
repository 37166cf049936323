#include "shell/xevsplitterwnd.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QSplitterHandle>
#include <QUrl>

#include <algorithm>

namespace {

class XEVSplitterHandle : public QSplitterHandle {
public:
    XEVSplitterHandle(Qt::Orientation orientation, CXEVSplitterWnd* parent)
        : QSplitterHandle(orientation, parent), owner_(parent)
    {
    }

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override
    {
        owner_->OnHandleDoubleClick(owner_->indexOf(this), event);
        QSplitterHandle::mouseDoubleClickEvent(event);
    }

private:
    CXEVSplitterWnd* owner_;
};

XEVWParam MouseKeys(const QMouseEvent* event)
{
    XEVWParam keys = 0;
    const Qt::MouseButtons buttons = event->buttons() | event->button();
    if (buttons & Qt::LeftButton) {
        keys |= kXEVMouseLeft;
    }
    if (buttons & Qt::RightButton) {
        keys |= kXEVMouseRight;
    }
    if (buttons & Qt::MiddleButton) {
        keys |= kXEVMouseMiddle;
    }
    if (event->modifiers() & Qt::ShiftModifier) {
        keys |= kXEVMouseShift;
    }
    if (event->modifiers() & Qt::ControlModifier) {
        keys |= kXEVMouseControl;
    }
    return keys;
}

}   // namespace

CXEVSplitterWnd::CXEVSplitterWnd(Qt::Orientation orientation, QWidget* parent) : QSplitter(orientation, parent)
{
    // Rows sit 1 pixel apart; columns keep the style's handle.
    if (orientation == Qt::Vertical) {
        setHandleWidth(1);
    }
    setChildrenCollapsible(false);
}

QSplitterHandle* CXEVSplitterWnd::createHandle()
{
    return new XEVSplitterHandle(orientation(), this);
}

void CXEVSplitterWnd::HideColumn()
{
    if (orientation() != Qt::Horizontal || count() == 0 || hiddenColumn_ != -1) {
        return;
    }
    QWidget* column = widget(0);
    hiddenWidth_ = sizes().value(0);
    hiddenColumn_ = 0;
    if (column->isAncestorOf(QApplication::focusWidget()) && count() > 1) {
        widget(1)->setFocus();
    }
    column->hide();
}

void CXEVSplitterWnd::ShowColumn()
{
    if (hiddenColumn_ == -1 || count() == 0) {
        return;
    }
    QList<int> widths = sizes();
    hiddenColumn_ = -1;
    // The others shrink from the last column, which took the freed width.
    widths[0] = hiddenWidth_;
    if (widths.size() > 1) {
        widths.back() = std::max(0, widths.back() - hiddenWidth_ - handleWidth());
    }
    widget(0)->show();
    setSizes(widths);
}

void CXEVSplitterWnd::OnHandleDoubleClick(int32_t index, QMouseEvent* event)
{
    // Handle 1 lies between column 0 (the study list) and column 1 (the images).
    if (orientation() != Qt::Horizontal || index != 1 || notify_.IsNull()) {
        return;
    }
    const QPoint point = mapFromGlobal(event->globalPosition().toPoint());
    const XEVLParam lParam = static_cast<XEVLParam>((static_cast<uint32_t>(point.x()) & 0xFFFF) |
                                                    ((static_cast<uint32_t>(point.y()) & 0xFFFF) << 16));
    XEVSendMessage(notify_, WM_XEV_SPLITTER_DBLCLK, MouseKeys(event), lParam);
}

CXEVStatic::CXEVStatic(QWidget* parent, const XEVWindowHandle& parentWindow)
    : QLabel(parent), parentWindow_(parentWindow)
{
}

XEVResult CXEVStatic::OnDropFiles(XEVDropFiles& drop)
{
    return XEVSendMessage(parentWindow_, WM_XEV_DROPFILES, reinterpret_cast<XEVWParam>(this),
                          reinterpret_cast<XEVLParam>(&drop));
}

namespace {

QStringList DroppedPaths(const QMimeData* data)
{
    QStringList paths;
    if (data == nullptr) {
        return paths;
    }
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            paths.append(url.toLocalFile());
        }
    }
    return paths;
}

}   // namespace

void CXEVStatic::dragEnterEvent(QDragEnterEvent* event)
{
    if (!DroppedPaths(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void CXEVStatic::dragMoveEvent(QDragMoveEvent* event)
{
    if (!DroppedPaths(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void CXEVStatic::dropEvent(QDropEvent* event)
{
    XEVDropFiles drop;
    drop.paths = DroppedPaths(event->mimeData());
    if (drop.paths.isEmpty()) {
        event->ignore();
        return;
    }
    OnDropFiles(drop);
    if (drop.finished) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}
