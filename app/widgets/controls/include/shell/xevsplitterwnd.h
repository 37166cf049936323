#pragma once

// The frame's splitter (rows 1 pixel apart, a column that hides for full screen, a
// notification on a double click between the columns) and the static that relays drops.

#include <QLabel>
#include <QList>
#include <QSplitter>
#include <QStringList>

#include <cstdint>

#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"

// Mouse-key bits of the double-click notification's wParam.
constexpr uint32_t kXEVMouseLeft = 0x0001;
constexpr uint32_t kXEVMouseRight = 0x0002;
constexpr uint32_t kXEVMouseShift = 0x0004;
constexpr uint32_t kXEVMouseControl = 0x0008;
constexpr uint32_t kXEVMouseMiddle = 0x0010;

// Panes stacked in rows (Qt::Vertical) or side by side in columns (Qt::Horizontal).
class CXEVSplitterWnd : public QSplitter {
public:
    explicit CXEVSplitterWnd(Qt::Orientation orientation, QWidget* parent = nullptr);

    // Hides column 0, keeping its width for ShowColumn; a focused pane in it hands the
    // focus to column 1. Only for columns, and only from the shown state.
    void HideColumn();
    // Shows the hidden column again at the width it had; the other columns keep theirs.
    // Nothing when no column is hidden.
    void ShowColumn();
    // -1 when every column shows, else the hidden column.
    int32_t HiddenColumn() const { return hiddenColumn_; }

    // Receives WM_XEV_SPLITTER_DBLCLK; null sends nothing.
    void SetNotifyWindow(const XEVWindowHandle& window) { notify_ = window; }

    // A double click on the handle before widget index; the handle between the first two
    // columns notifies with the mouse keys and the point (x low 16 bits, y high 16 bits).
    void OnHandleDoubleClick(int32_t index, QMouseEvent* event);

protected:
    QSplitterHandle* createHandle() override;

private:
    int32_t hiddenColumn_ = -1;
    int32_t hiddenWidth_ = 0;
    XEVWindowHandle notify_;
};

// The files of one drop, valid while the drop message is handled. The receiver takes the
// paths it wants and marks the drop finished; a drop nobody finished is refused.
struct XEVDropFiles {
    QStringList paths;
    bool finished = false;
};

// A picture static that sends the files dropped on it to its parent window as
// WM_XEV_DROPFILES: wParam the static, lParam the XEVDropFiles. The owner enables drops.
class CXEVStatic : public QLabel {
public:
    explicit CXEVStatic(QWidget* parent = nullptr, const XEVWindowHandle& parentWindow = XEVWindowHandle());

    void SetParentWindow(const XEVWindowHandle& window) { parentWindow_ = window; }
    // The send's result; 0 when there is no receiver.
    XEVResult OnDropFiles(XEVDropFiles& drop);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    XEVWindowHandle parentWindow_;
};
