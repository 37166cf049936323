#pragma once

// The image area: a black widget with a vertical scroll bar that is at the same time the
// grid of cells. It runs the job host, keeps the mouse tool, sizes the grid for what is
// shown, releases the cells' loaders one at a time and scrolls the grid by rows.

#include <QScrollBar>
#include <QTimer>
#include <QWidget>

#include <cstdint>

#include "shell/xevmessageids.h"
#include "study/xevjobhost.h"
#include "viewer/xevimagewindow.h"

constexpr int32_t kXEVRecheckTimerId = 200;
constexpr int32_t kXEVRecheckPeriodMs = 1000;
// How long a scroll rests before the rows it brought into view start loading.
constexpr int32_t kXEVScrollSettleMs = 150;

class CXEVImageFormView : public QWidget, public XEVImageWindow {
public:
    // Starts the job host and makes the first cell of each mode.
    CXEVImageFormView(QWidget* parent, XEVImageAreaHost* host);
    ~CXEVImageFormView() override;

    void ShowSeries(SeriesInfo* series);
    void ShowFitted(StudyInfo* study);
    void ApplyLayout(int32_t index);
    // Lays the cells out again in the current client area and repaints them, keeping what
    // each shows.
    void ResetImageArea();
    void SetCinePlaying(int32_t playing);
    void ResetTool();
    void SetTool(int32_t bit);

    // Handles one message as its handler would when it is sent; answers 0.
    XEVResult OnMessage(uint32_t id, XEVWParam wParam, XEVLParam lParam);
    // Posts a message to the form view's own queue.
    void PostToSelf(uint32_t id, XEVWParam wParam = 0, XEVLParam lParam = 0);

    // Scrolls so that the grid row at that scroll position is the first one shown.
    void ScrollTo(int32_t position);
    int32_t FirstVisibleRow() const { return firstVisibleRow_; }
    // Scroll height (0 without scrolling), as the rows needed take it.
    int32_t ScrollHeight() const { return scrollHeight_; }
    const QScrollBar& ScrollBar() const { return *scrollBar_; }
    const QTimer& RecheckTimer() const { return recheckTimer_; }
    CXEVFileLoadCtrlThread& JobHost() { return jobHost_; }

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    QRect GridClientRect() const override;
    int32_t FirstShownRow() const override { return firstVisibleRow_; }
    void StudyCellsComing() override;

private:
    void UpdateScrollSizes();
    // Lays the cells out from the first visible row (row 0 in the fixed layout).
    void PlaceCells();
    void RowUpdate(int32_t position, bool redraw);
    int32_t RowHeight() const;
    void SendLayoutChanged(int32_t index);
    void OnLoadDone(int32_t id, XEVLParam how);
    // Opens the gate of the next study cell waiting for its turn, in id order from that cell
    // and round; with none left, the pre-load goes on.
    void HandOnTurn(int32_t id);
    // A study cell's loader runs, or its end is on its way.
    bool TurnTaken() const;
    // A study cell waits for its turn.
    bool AnyCellWaiting() const;
    void OnLoadFailed(int32_t id);
    void OnMemoryRecheck(int32_t id);
    void OnFirstImage(int32_t id, bool requested = false);
    void OnEnlarge(int32_t id);
    // The key of the entry whose frame the cell shows: for a file split into one entry per
    // frame and stepped by its frames, the entry that starts at that frame.
    static int32_t ShownEntry(const XEVImageViewCtrl& cell);
    // The cell becomes the active and selected one and takes the keys.
    void TakeKeys(XEVImageViewCtrl* cell);
    void OnInvert(int32_t id);
    void OnThreadUiDestroy();
    // The cine step of the selected cell while cine plays in the fixed layout.
    void StepSelectedCine();

    // The study cell that was enlarged into the single tile, 0 for none.
    int32_t enlargedFrom_ = 0;
    int32_t firstVisibleRow_ = 0;
    int32_t scrollUpdating_ = 0;
    int32_t scrollHeight_ = 0;
    QScrollBar* scrollBar_ = nullptr;
    QTimer recheckTimer_;
    // Rows a scroll brings into view start loading once it has rested this long: the rows it
    // only passes over read nothing.
    QTimer settleTimer_;
    CXEVFileLoadCtrlThread jobHost_;
};
