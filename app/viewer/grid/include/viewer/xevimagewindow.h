#pragma once

// The grid of image cells in the image area. Study mode shows one series per cell, each
// stepped within its cell; series mode shows one image per cell, or one frame where the series
// holds a multi-frame file as one entry, paged by rows x columns.
// Each mode keeps its own cells and layout, so switching back restores the other grid.

#include <QPointer>
#include <QRect>
#include <QWidget>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"
#include "study/xevstudymodel.h"

class QWidget;
class XEVImageViewCtrl;

constexpr int32_t kXEVFirstStudyCellId = 9001;
constexpr int32_t kXEVFirstSeriesCellId = 9501;

// What the image area reaches of the main frame, the title pane and the study list. The
// shell implements it; tests record the calls.
class XEVImageAreaHost {
public:
    virtual ~XEVImageAreaHost() = default;
    // Main frame.
    virtual XEVResult SendToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam lParam) = 0;
    virtual void PostToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam lParam) = 0;
    virtual bool CanSwitchSeriesDisplay() = 0;
    virtual bool IsSwitchLocked() = 0;
    // Asks to switch the series composition for the current list entry, recording the cell's
    // series; once confirmed, the switch shows that series again from the new records.
    virtual void RequestSeriesSwitch(XEVImageViewCtrl& cell) = 0;
    // Title pane: absent while the outer splitter has no pane there.
    virtual bool HasTitlePane() = 0;
    virtual void UpdateToolButtons(int32_t tool) = 0;
    // Study list: repaint at once, after the first cell shows its image.
    virtual void RefreshStudyList() = 0;
};

class XEVImageWindow {
public:
    XEVImageWindow();
    virtual ~XEVImageWindow();
    XEVImageWindow(const XEVImageWindow&) = delete;
    XEVImageWindow& operator=(const XEVImageWindow&) = delete;

    // Owner of the cells and where the grid reports; host may be null.
    void SetOwner(QWidget* owner, XEVImageAreaHost* host);
    // Makes the cells of the active mode for its layout.
    void SetUpCells();
    // Both modes at (1, 1), study mode active, flags cleared.
    void InitState();

    // Returns the new cell's id, 0 when it could not be made (the next id is the same). id 0
    // takes the next id of the active mode.
    int32_t CreateCell(QWidget* parent, const QRect& rect, int32_t id = 0);
    void LayoutCells(QWidget* parent);
    void Arrange(const QRect& rect, int32_t scroll);
    void SetLayout(QWidget* parent, int32_t index);

    void ShowStudy(int32_t index, StudyInfo* study, QWidget* formView);
    void ShowStudyAgain(int32_t index, StudyInfo* study);
    void ShowSeriesTiled(int32_t index, SeriesInfo* series);
    void FitLayout(StudyInfo* study);

    void ActivateCell(int32_t id);
    void SelectCell(int32_t id);
    void SyncAll(int32_t id);
    // A cell that has just come to show its image follows the cell the others follow (the
    // selected or the active one), or, being that cell, has the others follow it.
    void FollowTheLinked(int32_t id);
    XEVImageViewCtrl* GetFirstActiveView() const;
    // The first active cell in sight; null when none is.
    XEVImageViewCtrl* ActiveCellInSight();
    XEVImageViewCtrl* GetSelectedView() const;
    XEVImageViewCtrl* GetCell(int32_t id) const;
    // Clears every cell and stops every reader without waiting for any: the records may go
    // next, and each reader holds them until it ends.
    void ClearAllViews();
    void ResetAll();
    void CloseEdits();
    // Stops every loader and the job host's worker without waiting for any: each ends after
    // its block, on its own.
    void StopLoading();
    void ApplyWindowToAll(bool apply, int32_t id);
    void EnlargeSelected(bool enlarge);

    // Series mode; 0 when an image of the page could not be loaded into the first cell.
    int32_t ShowPage(int32_t modelId);
    // The page shown again from where it starts, each tile with the model's display state.
    void ShowPageAgain(int32_t modelId);
    // direction 0 forward; byPage 0 steps one row. 0 when nothing moved.
    int32_t PageStep(int32_t direction, int32_t byPage);
    // 0 the first page, -1 the last.
    void PageHomeEnd(int32_t which);
    void PageToCell(int32_t id);
    // Frees the decoded data of one image no cell shows; id -1 considers every cell.
    int32_t FreeMemory(int32_t id);
    // Lets far images go, as FreeMemory does, until the decoded images fit their budget
    // again; the number let go.
    int32_t KeepWithinBudget(int32_t id);
    // Cells made by a scroll wait for it to rest.
    bool CellsComing() const { return !coming_.empty(); }
    // A study's cells wait for the worker to read their first images before their loaders start.
    bool StudyStartPending() const { return pendingStart_.has_value(); }
    void ShowCells(int32_t mode, bool show);

    std::map<int32_t, XEVImageViewCtrl*>& ActiveCells() { return activeMode == 0 ? studyCells : seriesCells; }
    const std::map<int32_t, XEVImageViewCtrl*>& ActiveCells() const
    {
        return activeMode == 0 ? studyCells : seriesCells;
    }
    LayoutInfo& ActiveLayout() { return activeMode == 0 ? studyLayout : seriesLayout; }
    const LayoutInfo& ActiveLayout() const { return activeMode == 0 ? studyLayout : seriesLayout; }

    int32_t activeCellOnly = 0;
    int32_t followSelected = 0;
    int32_t activeMode = 0;
    LayoutInfo studyLayout;
    LayoutInfo seriesLayout;
    std::map<int32_t, XEVImageViewCtrl*> studyCells;
    std::map<int32_t, XEVImageViewCtrl*> seriesCells;
    int32_t activeCellId = 0;
    int32_t layoutIndex = 0;
    int32_t previousLayoutIndex = 0;
    // The series position the page starts at, the first cell's: every layout change, page
    // step and repaint of the series grid reads and writes this one record.
    int32_t pageOffset = 0;
    int32_t selectedEnlarged = 0;
    int32_t displayKind = 0;
    StudyInfo* shownStudy = nullptr;
    double savedBaseScale = 1.0;
    int32_t savedZoomMode = 0;
    int32_t savedZoomed = 0;
    int32_t savedSource[4] = {0, 0, 0, 0};
    int32_t cinePlaying = 0;
    // A study's loaders stay back while the worker reads the first images on screen, so that
    // the drive serves those first; they go once it has read none of them for this long.
    int32_t firstImagesWaitMs = 1000;

protected:
    // Makes one cell; null when it cannot be made.
    virtual XEVImageViewCtrl* MakeCell(QWidget* parent, int32_t id);
    // The area the cells fill.
    virtual QRect GridClientRect() const;
    // The grid row shown at the top of that area.
    virtual int32_t FirstShownRow() const { return 0; }
    // Study cells were made for rows a scroll brought into view: a view that can wait for the
    // scroll to settle calls AssignSettledCells then; by default they are assigned at once.
    virtual void StudyCellsComing() { AssignSettledCells(); }
    // The cells made by scrolling that are still in place get their series, their first image
    // queued (for those in sight) and their loaders' turns.
    void AssignSettledCells();
    void PostToMainFrame(uint32_t id);

    QWidget* owner_ = nullptr;
    XEVImageAreaHost* host_ = nullptr;

private:
    // What starts the study's loaders once the first images are read.
    struct StudyStart {
        std::vector<int32_t> paused;   // ids of the cells whose loaders were held
        QPointer<QWidget> formView;
        bool again = false;
        int32_t outstanding = 0;   // first images not read at the last look
    };
    // Study mode with the layout of that index, cells laid out and emptied.
    void EnterStudyMode(int32_t index, StudyInfo* study);
    void AssignStudy(StudyInfo* study, QWidget* formView, bool again);
    // Gives each cell its series and queues the first images of those on screen; their count.
    int32_t QueueFirstImages(StudyInfo* study);
    // The worker's notice or the wait's end for the arrangement of that token.
    void FirstImagesRead(uint64_t token);
    // The cells whose first images are queued and not yet read.
    int32_t OutstandingFirstImages() const;
    // The wait's next look, firstImagesWaitMs on.
    void ArmFirstImagesWait(uint64_t token);
    // One loader starts, the others wait their turn; or, with nothing to load, the pre-load.
    void StartStudyLoaders(const StudyStart& start);
    // The study's cells are left: a start still waiting is dropped.
    void DropPendingStart();
    // Moves the active mode's cells onto a rows-needed grid, making the missing ones; study
    // cells only for the rows shown and one each side.
    void PlaceGrid(QWidget* parent);
    // The places in the grid (cell id - 9001) that have study cells: the rows shown and one
    // each side.
    void StudySlots(int32_t& first, int32_t& last) const;
    // Deletes the study cells outside those places and makes the missing ones; the new cells.
    std::vector<XEVImageViewCtrl*> PlaceStudyCells(QWidget* parent);
    // Rows scrolled into view get their cells, with their series and their loaders' turns.
    void FollowStudyRows();
    // Study cells made outside the study's own assignment: the series of their places, the
    // first image queued with the worker and a turn for their loaders.
    void AssignComingCells(const std::vector<XEVImageViewCtrl*>& made);
    // A study cell scrolled away: hidden, its loader told to stop, deleted once it has.
    void RetireCell(XEVImageViewCtrl* cell);
    // The job worker gives up what it was to read for these cells, which have left the
    // screen; their first images come with their loaders' turns if they come back.
    void TakeBackJobs(const std::vector<XEVImageViewCtrl*>& cells);
    // Deletes the retired cells whose loaders have ended; all of them (joining) with all.
    void ReapRetiredCells(bool all);
    // After a change of view: each cell in sight that lacks the image it shows has it asked
    // of the job worker, in the order of their places and before anything queued; one read
    // already, for a cell that went, is told to the cell now showing it.
    void AskForTheScreen();
    // A cell that had the keys is leaving the screen.
    void NoteKeysLeaving(XEVImageViewCtrl* cell);
    // The keys lost with a cell that left go to the active cell in sight, or to the first.
    void KeepKeys();
    // The cell in sight that holds the keys, with no active cell in sight, becomes the active
    // one as soon as it shows its image.
    void ActivateTheKeysCellOnceItShows();
    // That look, once the window has run a while; one at a time.
    void LookAtTheKeysCellLater();
    // Opens the gate of the first study cell waiting its turn when no loader's gate is open,
    // or when the open one has left the screen and a cell on it waits.
    void ResumeNextStudyLoader();
    void SetModeLayout(LayoutInfo& layout, int32_t index);
    // The page offset taken from where the first tile stands.
    void SettlePageOffset();
    bool ReleaseFar(XEVImageViewCtrl* cell, bool skipBusy);

    // Set while a study's cells are laid out before the study assigns them itself.
    bool enteringStudy_ = false;
    // Set while an arrangement places the cells: it asks for the screen at its end.
    bool arranging_ = false;
    // The cell that had the keys left the screen and none has them yet.
    bool keysLost_ = false;
    bool keysRecheckPending_ = false;
    // The first image each study cell had asked of the worker, until taken back.
    std::map<const XEVImageViewCtrl*, const ImageInfo*> firstAsked_;
    std::vector<XEVImageViewCtrl*> retiring_;
    // Made by a scroll, not yet assigned: a row only passed over is retired before it is.
    std::vector<XEVImageViewCtrl*> coming_;
    // The latest arrangement; the start it waits for, if any; where its notices come (dies
    // with the window, and with it the notices and timers still on their way).
    uint64_t arrangement_ = 0;
    std::optional<StudyStart> pendingStart_;
    std::unique_ptr<XEVMessageReceiver> notices_;
};

// Whether the loader's gate is open now.
bool XEVIsGateOpen(XEVImageViewCtrl* cell);
