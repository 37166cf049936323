#pragma once

// One image cell: paints the current frame of its image set with window and level, zoom and
// pan, its annotations and corner texts; loads its images on its own thread and steps
// through them.

#include <QCursor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"
#include "study/xevthread.h"
#include "viewer/xevoverlaycommon.h"
#include "viewer/xevoverlayviewinfo.h"
#include "viewer/xevreferencelinegeometry.h"

class CXEVRMenu;
class ImageInfo;
class XEVVEKHelper;
class FrameImageInfo;
class QPainter;

// The mouse tools, one bit each, as the load state's tool word holds them.
enum XEVMouseTool : int32_t {
    kXEVToolNone = 0,
    kXEVToolWindowLevel = 1,
    kXEVToolZoom = 2,
    kXEVToolPan = 4,
    kXEVToolMeasure = 8,
    kXEVToolText = 16,
    kXEVToolArrow = 32,
    kXEVToolPixelValue = 64,
};
// Where the tool's cursor points, from the pointer position; zero for tools whose cursor
// points with its origin.
QPoint XEVToolHotSpot(int32_t tool);
// The tool's cursor, drawn here; the arrow cursor for tool 0 or an unknown word.
QCursor XEVToolCursor(int32_t tool);

// The title pane's states that a cell reads. The shell registers its pane; without one the
// pane counts as absent.
class XEVTitlePaneState {
public:
    virtual ~XEVTitlePaneState() = default;
    virtual bool IsCinePlaying() const = 0;
    virtual bool IsReportEnabled() const = 0;
    virtual bool IsTextToolPressed() const = 0;
    virtual bool IsArrowToolPressed() const = 0;
    // The tool buttons show the tool (0: none pressed).
    virtual void UpdateToolButtons(int32_t) {}
    virtual bool IsPlayVisible() const { return true; }
    // The play button's command: starts or pauses cine.
    virtual void PressPlay() {}
};
void XEVSetTitlePane(XEVTitlePaneState* pane);
XEVTitlePaneState* XEVGetTitlePane();

// Shows a built right-button menu and answers the chosen command, 0 for none. Without one the
// pop-up opens and the choice comes later; tests record the menu instead.
class XEVMenuPresenter {
public:
    virtual ~XEVMenuPresenter() = default;
    virtual int32_t Show(CXEVRMenu& popup, uint16_t menuId, QPoint global) = 0;
};
// Null restores the pop-up.
void XEVSetMenuPresenter(XEVMenuPresenter* presenter);

// Where failure texts and questions go: the main frame installs its box, tests count instead.
// Neither call may run an event loop: the caller may be a notice handler of a cell that the
// grid retires while a box is up.
class XEVMessageBox {
public:
    virtual ~XEVMessageBox() = default;
    virtual void Show(QWidget* parent, const QString& text) = 0;
    // An OK/Cancel question; answered gets 1 for OK, 2 for Cancel, once, later or at once, and
    // never after the box's owner has gone. A box that only counts answers Cancel.
    virtual void Ask(QWidget* parent, const QString& text, std::function<void(int32_t)> answered)
    {
        Show(parent, text);
        answered(2);
    }
};
// Null leaves failures to stderr and answers questions with Cancel.
void XEVSetMessageBox(XEVMessageBox* box);
// Installs box unless another is installed; true when it was installed.
bool XEVInstallMessageBox(XEVMessageBox* box);
// Removes box when it is the one installed.
void XEVRemoveMessageBox(XEVMessageBox* box);
void XEVShowFailureText(QWidget* parent, const QString& text);

// Whether the medium the images come from is still there, asked when an image file is not
// found: the shell answers, from the source it opened.
class XEVMediumWatch {
public:
    enum State : int32_t { kPresent, kGoneNow, kGoneBefore };
    virtual ~XEVMediumWatch() = default;
    // kGoneNow the first time the medium is found gone, kGoneBefore after that.
    virtual State Check() = 0;
    // Ends the loads of the medium that went.
    virtual void OnGone() = 0;
    virtual QString DicomDirPath() const = 0;
};
void XEVSetMediumWatch(XEVMediumWatch* watch);
// An image's load failure: a file not found on a medium that has gone ends the loads with one
// message for the medium; any other is shown as XEVShowFailureText shows it.
void XEVShowLoadFailure(QWidget* parent, const QString& text, int32_t status);
// The question with OK and Cancel: answered gets 1 for OK, 2 otherwise.
void XEVAskOkCancel(QWidget* parent, const QString& text, std::function<void(int32_t)> answered);

// The lParam of a cell's WM_XEV_VIEW_LOAD_DONE when its loader ended short of memory, with
// images left to load.
constexpr XEVLParam kXEVLoadEndedShortOfMemory = 1;
// The lParam of a cell's WM_XEV_MEMORY_RECHECK when a decode it asked for passed the decoded
// images' budget: far images are let go, the memory test is not made.
constexpr XEVLParam kXEVDecodedBudgetRecheck = 2;

// A packed bitmap (info header, colour table, rows) as a top-down RGB32 image; null when
// the header is not one of 8, 24 or 32 bits uncompressed, or the rows would pass the end of
// the bytes given.
QImage XEVDibToImage(const uint8_t* dib, uint64_t size);
// The same into target, reusing its memory when the size fits; false leaves target as it was.
bool XEVDibToImage(const uint8_t* dib, uint64_t size, QImage& target);

// Where the current frame lands in the client area, and which part of it.
struct XEVViewGeometry {
    // False: nothing to draw (no size, or an empty client area).
    bool drawable = false;
    double scale = 1.0;    // displayed scale
    double aspect = 1.0;   // vertical factor
    QRect destination;     // x, y, width, height in the client
    int32_t sourceLeft = 0;
    int32_t sourceTop = 0;
    int32_t sourceRight = 0;    // exclusive
    int32_t sourceBottom = 0;   // exclusive
};

class XEVImageViewCtrl : public QWidget {
public:
    enum Direction : int32_t { kNext = 0, kPrevious = 1, kFirst = 2, kLast = 3 };
    enum ZoomMode : int32_t { kFit = 0, kActualSize = 1, kZoomed = 2 };
    // The rows at the foot of the cell that a progress step repaints alone.
    static constexpr int32_t kProgressStripHeight = 6;

    XEVImageViewCtrl(QWidget* parent, int32_t controlId);
    ~XEVImageViewCtrl() override;
    XEVImageViewCtrl(const XEVImageViewCtrl&) = delete;
    XEVImageViewCtrl& operator=(const XEVImageViewCtrl&) = delete;

    int32_t ControlId() const { return controlId_; }
    // Reports of loaders reach the cell only through this handle; it dies with the cell.
    XEVWindowHandle Handle() const;

    // Image set and display state.
    void ClearView(bool repaint);
    void SetImages(const std::vector<ImageInfo*>& images);
    void CopyImages(const std::map<int32_t, ImageInfo*>& images);
    std::map<int32_t, ImageInfo*> GetImages() const { return images_; }
    // Entries of the set looked at to tell whether a load's notice is this cell's: one a
    // notice, and the set once after each change.
    uint64_t NoticeEntriesVisited() const { return noticeEntriesVisited_; }
    void CopyDisplayState(const XEVImageViewCtrl& source);
    int32_t GetCineLength() const;
    int32_t GetPosition() const;
    void SetCurrentImage(int32_t direction, int32_t wrap);
    // Cine's step: the next position, wrapping; a frame not decoded yet is asked for and the
    // cell stays on the one it shows until a later step finds it.
    void CineStep();
    // The image cine, or a step of the user's, waits on: kept while memory is relieved, as the
    // one shown is.
    const ImageInfo* CineAwaited() const { return cineAwaited_ != nullptr ? cineAwaited_ : stepAwaitedImage_; }
    // The key of the image, and the frame of it, a step of the user's waits on while the cell
    // shows the one before; -1 when none.
    int32_t StepAwaited() const { return stepAwaited_; }
    int32_t StepAwaitedFrame() const { return stepAwaited_ != -1 ? stepAwaitedFrame_ : -1; }
    // 0 while the grid keeps the cell out of sight: its loader then reads behind the screen.
    std::atomic<int32_t> inView{1};
    int32_t GoToImage(int32_t position);
    // Shows that frame of that entry of the set; false when the set does not hold it.
    bool ShowEntry(ImageInfo* entry, int32_t frame);
    bool SetActive(bool active);
    bool NeedsLoading() const;
    void SetupFirstImage();
    bool HasFramePixels(int32_t frame) const;
    // Asks the job worker for the frame the cell stands on; the cell paints it when it comes.
    bool LoadCurrentImage();
    bool ReleaseFarImage(bool skipWhenBusy);
    void SetWindowAll(double centre, double width);
    void TakeWindowFromImage();
    void SyncToView(XEVImageViewCtrl* other);
    // Both cells lay one image set over the tiles of a page.
    bool TilesTheSameSet(const XEVImageViewCtrl& other) const;
    bool IsMultiFrameCurrent() const;
    ImageInfo* CurrentImage() const;
    // In tile mode the cells of a series show positions: every frame of a multi-frame file the
    // set holds as one entry, one position for every other entry (a frame count not known yet
    // counts one). The number of positions, the current one (-1 for none), the entry and
    // frame of one (false past the end); the position of an entry's frame (-1: its last).
    int32_t TileCount() const;
    int32_t TilePosition() const;
    int32_t TilePositionOf(int32_t image, int32_t frame) const;
    bool TilePlace(int32_t position, int32_t& image, int32_t& frame) const;

    // Loader: started by the grid, paused and resumed through its gate. A queued loader
    // holds no thread until its turn comes: resuming it starts the thread (false when the
    // system refused one). Reaping joins a loader that has ended and leaves any other.
    bool StartLoader();
    void QueueLoader();
    bool IsLoaderQueued() const { return loaderQueued_; }
    void StopLoader();
    void PauseLoader();
    bool ResumeLoader();
    void ReapEndedLoader();

    // Commands of the cell's menu.
    void OnCommand(int32_t id);

    // Menus: the cell menu's resource for the cine and report states; a menu built with its
    // labels, icons, check marks and greying (null when there is no such menu); showing one
    // at a global position (the cell menu at (-1, -1) opens at the client's top-left + 5).
    uint16_t CellMenuId() const;
    std::unique_ptr<CXEVRMenu> BuildMenu(uint16_t menuId) const;
    void ShowCellMenu(QPoint global);
    void ShowAnnotationMenu(uint16_t menuId, QPoint global);
    // Opens the menu without waiting for the choice; the chosen command comes back to this cell
    // while it lives. A cell menu marks the menu shown meanwhile.
    void PresentMenu(std::unique_ptr<CXEVRMenu> menu, uint16_t menuId, QPoint global, bool cellMenu);

    // Tool word back to 0 unless the operation lock is on, the title pane told.
    void DropToolUnlessLocked();
    // Fit zoom, every annotation of the cell's images gone, default windows.
    void OnResetDisplay();

    // The geometry of the current frame in a client area of that size; updates the base
    // scale when fitting, as the paint does.
    XEVViewGeometry ComputeGeometry(int32_t clientWidth, int32_t clientHeight, int32_t imageWidth, int32_t imageHeight,
                                    double aspect);
    // For the mouse code: whether the cursor, moved by the tool's hot spot, is on the drawn
    // image; the area a drag keeps the cursor in (the drawn image, or the whole destination),
    // in global coordinates; a client point in the current frame's pixels; and closing an
    // open text or arrow edit.
    bool HitTest(QPoint cursor, int32_t tool) const;
    QRect CursorArea(bool drawnImageOnly) const;
    QPoint ClientToImage(QPoint client) const;
    void CloseAnnotationEdit();

    // The corner texts as the next paint writes them; empty without a current frame.
    XEVOverlayViewInfo BuildCornerTexts() const;
    const QImage& RenderedImage() const { return rendered_; }

    // State, as the grid, the form view and the mouse code use it.
    std::atomic<int32_t> loadingUnderWay{0};
    // Set by the loader as it posts its end, cleared when the form view takes that message: a
    // cell whose end is still on its way is not done for the others.
    std::atomic<int32_t> loadDonePending{0};
    std::atomic<int32_t> loaderRunning{0};
    XEVThread loader;
    int32_t tileMode = 0;
    int32_t loadedCount = 0;
    // Whether the form view has heard of this cell's first image since it was cleared.
    bool firstImageTold = false;
    int32_t progressOnly = 0;
    int32_t fullRepaint = 0;
    int32_t active = 0;
    int32_t selected = 0;
    int32_t invertPending = 1;
    int32_t cornerTextsShown = 1;
    int32_t keepWindow = 0;
    int32_t keepPosition = 0;
    std::atomic<int32_t> progressShown{0};
    std::atomic<int32_t> progressTotal{0};
    QRect destination;
    int32_t sourceLeft = 0;
    int32_t sourceTop = 0;
    int32_t sourceRight = 0;
    int32_t sourceBottom = 0;
    QRect panStart;   // left, top, width, height of the source when a pan drag began
    int32_t currentImage = -1;
    int32_t currentFrame = -1;
    int32_t cellsPerPage = 1;
    // The tile's place on its page (0 the first), set by the grid that lays the page out.
    int32_t pagePlace = 0;
    int32_t dragInProgress = 0;
    QPoint dragStart;
    QPoint dragOffset;
    int32_t zoomMode = kFit;
    int32_t dragTool = 0;
    double baseScale = 1.0;
    double zoomIncrement = 0.0;
    int32_t zoomed = 0;
    double windowCenter = 0.0;
    double windowWidth = 0.0;
    int32_t windowKnown = 0;
    int32_t referenceLineShown = 0;
    int32_t forcedLoadBusy = 0;
    // Tiles the cell's set lay out when it last asked the worker for a frame: a file found to
    // hold frames lays the page out again.
    int32_t tilesAtRequest_ = 0;
    // The image, and its frame, the worker decodes for the cell, until its answer comes.
    const ImageInfo* frameAsked_ = nullptr;
    int32_t frameAskedFrame_ = 0;
    // Set while a cine step runs; the image that step waits on.
    bool cineStep_ = false;
    const ImageInfo* cineAwaited_ = nullptr;
    // The user's steps go on from the image and frame they wait on; the cell keeps showing
    // what it showed. The page follows a tile step waited on once it is taken when the step
    // would have moved the page.
    int32_t stepAwaited_ = -1;
    int32_t stepAwaitedFrame_ = 0;
    const ImageInfo* stepAwaitedImage_ = nullptr;
    bool stepMovesPage_ = false;
    // The first image queued for a cell that never had one, until its notice comes.
    const ImageInfo* firstLoadAsked_ = nullptr;
    int32_t memoryMessageShown = 0;
    // Mouse state. A cell of a series laid over the grid pages with the grid, as a linked
    // cell does.
    int32_t seriesLinked = 0;
    int32_t windowLevelChanged = 0;
    int32_t panInProgress = 0;
    int32_t rightMenuShown = 0;
    QRect destinationEdges;
    QPoint zoomAnchor;
    QPoint sourceCentre;
    QPoint middlePoint;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Receiver;
    // What the renderer read for the image the cell holds.
    struct RenderKey {
        const XEVVEKHelper* helper = nullptr;
        const FrameImageInfo* frame = nullptr;
        const uint8_t* pixels = nullptr;
        int32_t frameIndex = 0;
        int32_t cropX = 0;
        int32_t cropY = 0;
        int32_t cropWidth = 0;
        int32_t cropHeight = 0;
        int32_t viewWidth = 0;
        int32_t viewHeight = 0;
        int32_t scaleMode = 0;
        int32_t invert = 0;
        double centre = 0;
        double width = 0;
        friend bool operator==(const RenderKey&, const RenderKey&) = default;
    };

    void OnImageLoaded(ImageInfo* image);
    bool HoldsImage(const ImageInfo* image);
    // A frame the cell asked the worker for has been decoded, or has failed.
    void OnRequestedFrame(ImageInfo* image, int32_t frame);
    void OnLoadNow();
    // Queues the set's first image with the worker, as the grid does for a new cell.
    void AskFirstLoad();
    // Past the decoded images' budget, asks the grid to let far images go.
    void RelieveDecodedBudget();
    // Tells the form view of the cell's first image, once since the cell was cleared; requested:
    // the frame shown came by a request, so the page needs no laying out again around it.
    void TellFirstImage(bool requested);
    void LoaderMain(std::vector<ImageInfo*> images, const std::atomic<int32_t>& stop);
    // The loader's last word: its flags down, then WM_XEV_VIEW_LOAD_DONE with how it ended;
    // nothing from a run already stopped, whose stopper has set the flags, maybe for the next.
    void PostLoadEnd(const XEVWindowHandle& self, XEVLParam how, const std::atomic<int32_t>& stop);
    void PostToParent(uint32_t id, XEVWParam wParam, XEVLParam lParam);
    // The view's frame with -1 as the last frame of the helper.
    int32_t ResolveFrame(const XEVVEKHelper* helper) const;
    // The frame the cell shows of the helper; null without a helper.
    FrameImageInfo* ShownFrame(const XEVVEKHelper* helper) const;
    XEVOverlayView OverlayView(QPainter* painter) const;
    // How the frame shown was cropped and scaled, for the pixel-value readout; empty when the
    // image drawn is not of that frame.
    XEVDrawnPixels DrawnPixels(const FrameImageInfo* frame) const;
    bool RenderCurrent(XEVVEKHelper* helper, FrameImageInfo* frame, int32_t frameIndex, int32_t clientWidth,
                       int32_t clientHeight);
    void DrawProgress(QPainter& painter, int32_t clientWidth, int32_t clientHeight) const;
    void DrawFrames(QPainter& painter, int32_t clientWidth, int32_t clientHeight) const;
    // The progress bar goes, and the cell paints whole again.
    void EndProgress();
    void ApplyHeldWindow(ImageInfo* image, int32_t frame);
    // The frame from the worker: the GUI thread never reads the medium.
    bool LoadNow(ImageInfo* image, int32_t frame, int32_t forced = 0);
    // During a cine step: true when the step waits for that frame, asked of the worker.
    bool CineWaits(ImageInfo* image, int32_t frame);
    // Asks the job worker for the frame; false without one. Cine's asks wait behind the
    // others: what the user steps to in any cell is read first.
    bool AskWorker(ImageInfo* image, int32_t frame, int32_t forced, bool behind = false);
    // A step of the user's to an image or frame not decoded: asks for it and waits, the cell
    // showing what it shows; false when there is no worker to ask.
    bool StepWaits(int32_t key, int32_t frame);
    void ForgetStepAwaited();
    // The image and frame a step waits on have come: the cell shows them; false when they
    // have not.
    bool TakeStepAwaited(const ImageInfo* image);
    // GoToImage but for the step waited on.
    int32_t GoToPosition(int32_t position);
    // A user's step (not cine's) while one waits: it goes on from the position waited on.
    bool StepGoesOnFromAwaited() const { return !cineStep_ && images_.count(stepAwaited_) != 0; }
    bool FrameAsked(const ImageInfo* image, int32_t frame) const
    {
        return frameAsked_ == image && frameAskedFrame_ == frame;
    }
    // Each answers whether the cell moved; loaded tells that the step had to decode.
    bool StepFrames(XEVVEKHelper* helper, int32_t frameCount, int32_t direction, int32_t wrap, bool& loaded);
    bool StepImages(int32_t direction, int32_t wrap, bool& loaded, bool& wrappedWhileLoading);
    bool StepTile(int32_t direction, int32_t wrap, bool& loaded);
    // Positions of the entry at that key in tile mode: its file's frames, or 1.
    int32_t TileSpan(int32_t key) const;
    // The entry's file failed to load for a reason other than memory: steps pass it over.
    bool LoadFailed(int32_t key) const;
    // That frame of the image failed to load: cine passes it over rather than ask again.
    static bool FrameFailed(ImageInfo* image, int32_t frame);
    // From that key in steps of one (+1 or -1), the first entry whose file did not fail; a key
    // outside the set when none.
    int32_t SkipFailed(int32_t key, int32_t step) const;
    // A slice's plane as the reference lines of another cell need it, copied out of its image.
    struct ReferencePlane {
        XEVVector3 row;
        XEVVector3 column;
        XEVVector3 position;
        double spacingRow = 0;
        double spacingColumn = 0;
        double columns = 0;
        double rows = 0;
        std::optional<int32_t> instanceNumber;
    };
    // The first, last and current slices, each where it is loaded.
    using ReferencePlanes = std::array<std::optional<ReferencePlane>, 3>;
    ReferencePlanes ReferencePlanesShown();
    void ComputeReferenceLines(XEVVEKHelper* helper, const ReferencePlanes& planes);

    // Mouse and keys.
    void OnLButtonDown(QPoint pt);
    void OnLButtonUp(QPoint pt);
    void OnDragMove(QPoint pt);
    void OnRButtonUp(QPoint pt, QPoint global, bool leftHeld);
    void OnMiddleMove(QPoint pt);
    bool OnKey(int key);
    void ApplyZoomRule(XEVVEKHelper* helper, const FrameImageInfo* frame);
    void ReleaseWindowLevel(XEVVEKHelper* helper);
    // The released window to every frame of the set.
    void SpreadWindowLevel();
    void UpdateCursor(QPoint pt);
    void SendToParent(uint32_t id, XEVWParam wParam, XEVLParam lParam);
    // The commands of the tools, the lock, play, linking, reset and the deletes; false for others.
    bool OnToolCommand(int32_t id);
    void ScrollFormView(bool up);
    bool IsLinked() const { return seriesLinked != 0 || tileMode != 0; }
    void WatchEdits();
    // Cursor clamp of the confining tools: the drawn image moved back by the hot spot.
    QPoint Confine(QPoint pt, int32_t tool) const;

    QPoint lastPointer_;   // where the previous drag step ended
    QRect confineArea_;    // empty: the cursor is free
    QSize handledSize_;    // hidden cells get the same resize at every grab

    int32_t controlId_;
    std::unique_ptr<Receiver> receiver_;
    std::map<int32_t, ImageInfo*> images_;
    // The images of the set, for the notices: a series of thousands gets one per image.
    std::unordered_set<const ImageInfo*> imageIndex_;
    bool imageIndexStale_ = true;
    uint64_t noticeEntriesVisited_ = 0;
    QImage rendered_;
    RenderKey renderKey_;
    // Read and written on the GUI thread only.
    bool loaderQueued_ = false;
    // A run's end and its stop, or a resume, one after the other: a flag set by the one that
    // came second is never undone by the first. Held for the flags only, never across a read.
    std::mutex loaderFlagsLock_;
};
