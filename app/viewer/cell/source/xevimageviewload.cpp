// A cell's loader thread, its load reports, stepping through images and frames, memory
// relief and the linking of cells.

#include <QRect>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <utility>

#include "shell/xevcommonsettings.h"
#include "study/xevjobhost.h"
#include "study/xevloadstate.h"
#include "study/xevrecordkeeper.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "viewer/xevimageviewctrl.h"
#include "viewer/xevreferencelinegeometry.h"
#include "xevlockedhelper.h"

namespace {

XEVVector3 Vector(const double* v)
{
    return XEVVector3{v[0], v[1], v[2]};
}

}   // namespace

bool XEVImageViewCtrl::StartLoader()
{
    std::vector<ImageInfo*> images;
    images.reserve(images_.size());
    for (const auto& [key, image] : images_) {
        images.push_back(image);
    }
    loadingUnderWay = 1;
    // Up before the thread exists, which may end before this returns.
    loaderRunning = loader.WaitGate(0) ? 1 : 0;
    // The thread works on this copy: the set may be replaced while it is paused. Its stop is
    // its own: a loader let go keeps seeing it while the next one starts.
    // The hold keeps the records while the thread may read them, stopped or not.
    const bool started =
        loader.Start([this, images = std::move(images), stop = loader.RunStop(), hold = XEVHoldRecords()]() mutable {
            const auto held = std::move(hold);
            LoaderMain(images, *stop);
        });
    if (!started) {
        loadingUnderWay = 0;
        loaderRunning = 0;
        return false;
    }
    return true;
}

void XEVImageViewCtrl::QueueLoader()
{
    // Waiting for its turn costs no thread: a study may hold tens of thousands of series.
    loader.ResetGate();
    loaderQueued_ = true;
    loadingUnderWay = 1;
}

void XEVImageViewCtrl::StopLoader()
{
    loaderQueued_ = false;
    // Not waited for: a loader in a read ends after its block, on its own, and touches no
    // state of the cell once stopped. Its gate opens, so one held there leaves too.
    std::lock_guard<std::mutex> guard(loaderFlagsLock_);
    loader.Release();
    loaderRunning = 0;
}

void XEVImageViewCtrl::PauseLoader()
{
    loader.ResetGate();
    loaderRunning = 0;
}

bool XEVImageViewCtrl::ResumeLoader()
{
    loader.SetGate();
    if (std::exchange(loaderQueued_, false)) {
        return StartLoader();
    }
    // A run that ended since the caller looked stays ended: its end, on its way, hands the
    // turn on.
    std::lock_guard<std::mutex> guard(loaderFlagsLock_);
    if (loadingUnderWay.load() != 0) {
        loaderRunning = 1;
    }
    return true;
}

void XEVImageViewCtrl::ReapEndedLoader()
{
    // An ended thread keeps its stack until joined; one still running is never waited for,
    // but for the loader of this run that has posted its last word and is only returning.
    loader.ReapEnded();
    if (loadingUnderWay.load() == 0 && loaderRunning.load() == 0) {
        loader.JoinRun();
    }
}

void XEVImageViewCtrl::LoaderMain(std::vector<ImageInfo*> images, const std::atomic<int32_t>& stop)
{
    if (stop.load() != 0) {
        return;
    }
    const XEVWindowHandle self = Handle();
    const int32_t setSize = static_cast<int32_t>(images.size());
    const bool perFrame = GetLoadState().perFrameEntries.load() != 0;
    // The first load is the frame the cell shows; the rest of the set is read behind what
    // the screen asks for, and decoded only while the decoded images' budget has room.
    bool shownLoaded = false;
    for (size_t k = 0; k < images.size(); ++k) {
        ImageInfo* image = images[k];
        if (stop.load() != 0) {
            return;
        }
        {
            XEVLockedHelper locked(image);
            if (locked.helper != nullptr) {
                if (k == 0) {
                    const int32_t total = setSize > 1 || image->wholeMultiFrame ? setSize : locked.helper->frameCount;
                    progressTotal = total;
                    progressShown = total != 0 ? 1 : 0;
                }
                if (locked.helper->statusCode != 0) {
                    continue;
                }
            }
        }
        // Each entry of a split multi-frame file starts at its own frame; the count of images
        // before it is another number as soon as the set holds another file or a skipped one.
        int32_t frame = perFrame && setSize > 1 ? std::max(image->startFrame, 0) : 0;
        for (;;) {
            // Stopped: the one who stopped has reset the cell's loading state already.
            if (stop.load() != 0) {
                return;
            }
            loader.WaitGate();
            if (stop.load() != 0) {
                return;
            }
            if (shownLoaded && !XEVRoomForBackgroundDecode()) {
                // The rest decodes as the cell steps to it.
                PostLoadEnd(self, 0, stop);
                return;
            }
            {
                std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
                image->notifyWindow = self;
            }
            const XEVReadPriority priority =
                shownLoaded || inView.load() == 0 ? XEVReadPriority::Background : XEVReadPriority::OnScreen;
            shownLoaded = true;
            if (image->LoadImage(frame, self, 0, &stop, priority) == 0) {
                if (stop.load() != 0) {
                    return;
                }
                XEVLockedHelper locked(image);
                if (locked.helper == nullptr || locked.helper->statusCode == XEVVEKHelper::kStatusOutOfMemory) {
                    locked.Unlock();
                    // The rest waits for memory; the form view hands the turn on once its
                    // re-check lets loads go on.
                    PostLoadEnd(self, kXEVLoadEndedShortOfMemory, stop);
                    return;
                }
                // A missing or broken file ends only its own load: the images after it still
                // come, and the cell can step to them.
                break;
            }
            // The frames of a file too long to list frame by frame are decoded as they are shown.
            if ((image->IsMultiFrame() && setSize > 1) || perFrame || image->wholeMultiFrame || frame == -1) {
                break;
            }
        }
    }
    PostLoadEnd(self, 0, stop);
}

void XEVImageViewCtrl::PostLoadEnd(const XEVWindowHandle& self, XEVLParam how, const std::atomic<int32_t>& stop)
{
    {
        std::lock_guard<std::mutex> guard(loaderFlagsLock_);
        if (stop.load() != 0) {
            return;
        }
        loadDonePending = 1;
        loadingUnderWay = 0;
        // Down before the post: the cell joins this thread when the message arrives.
        loaderRunning = 0;
    }
    XEVPostMessage(self, WM_XEV_VIEW_LOAD_DONE, 0, how);
}

bool XEVImageViewCtrl::HoldsImage(const ImageInfo* image)
{
    if (imageIndexStale_) {
        imageIndex_.clear();
        imageIndex_.reserve(images_.size());
        for (const auto& [key, candidate] : images_) {
            imageIndex_.insert(candidate);
        }
        noticeEntriesVisited_ += images_.size();
        imageIndexStale_ = false;
    }
    ++noticeEntriesVisited_;
    return imageIndex_.count(image) != 0;
}

void XEVImageViewCtrl::OnImageLoaded(ImageInfo* image)
{
    if (!HoldsImage(image)) {
        return;
    }
    int32_t status = 0;
    QString text;
    {
        XEVLockedHelper locked(image);
        if (locked.helper != nullptr) {
            status = locked.helper->statusCode;
            text = locked.helper->statusText;
        }
    }
    firstLoadAsked_ = nullptr;
    if (status == 0) {
        RelieveDecodedBudget();
        if (image == stepAwaitedImage_) {
            (void)TakeStepAwaited(image);
        }
        ++loadedCount;
        if (loadedCount == 1) {
            SetupFirstImage();
            TellFirstImage(false);
            repaint();
        } else {
            XEVTitlePaneState* pane = XEVGetTitlePane();
            if (pane == nullptr || !pane->IsCinePlaying()) {
                progressOnly = 1;
                update(0, height() - 6, width(), 6);
            }
        }
        if (loadedCount >= progressTotal.load()) {
            EndProgress();
        }
        return;
    }
    PostToParent(WM_XEV_VIEW_LOAD_FAILED, XEVWParam(controlId_), XEVLParam(status));
    // A loader that goes on past the failure ends the progress bar itself when it ends.
    const bool loaderGoesOn =
        status != XEVVEKHelper::kStatusOutOfMemory && (loadingUnderWay.load() != 0 || loadDonePending.load() != 0);
    if (!loaderGoesOn) {
        EndProgress();
    }
    if (!text.isEmpty()) {
        if (status != XEVVEKHelper::kStatusOutOfMemory) {
            // With a failure window the load has told it there, once, cell or no cell.
            if (!GetLoadState().HasFailureWindow()) {
                XEVShowLoadFailure(this, text, status);
            }
        } else if (memoryMessageShown == 0) {
            memoryMessageShown = 1;
            XEVShowFailureText(this, text);
        }
    }
}

void XEVImageViewCtrl::EndProgress()
{
    progressOnly = 0;
    progressShown = 0;
    progressTotal = 0;
    update();
}

void XEVImageViewCtrl::AskFirstLoad()
{
    // A loader that stopped short of memory before the cell's first image leaves the cell with
    // nothing chosen: its first image comes as a first load does, through the worker.
    const XEVWindowHandle loaderWindow = GetLoadState().GetLoaderWindow();
    ImageInfo* first = images_.begin()->second;
    if (firstLoadAsked_ == first || loaderWindow.IsNull()) {
        return;
    }
    {
        std::lock_guard<PlatRecursiveLock> guard(first->GetLock());
        first->notifyWindow = Handle();
        first->forced = 1;
    }
    firstLoadAsked_ = first;
    XEVPostMessage(loaderWindow, WM_XEV_LOADER_QUEUE, 0, XEVLParam(first));
    XEVPostMessage(loaderWindow, WM_XEV_LOADER_START);
}

void XEVImageViewCtrl::OnLoadNow()
{
    if (loadingUnderWay.load() != 0 || forcedLoadBusy != 0 || images_.empty()) {
        return;
    }
    if (currentImage == -1) {
        AskFirstLoad();
        return;
    }
    ImageInfo* image = CurrentImage();
    // Several paints may have asked before the first request ran.
    if (image == nullptr || HasFramePixels(currentFrame)) {
        return;
    }
    const int32_t frame = IsMultiFrameCurrent() ? std::max(currentFrame, 0) : 0;
    // The worker's notice repaints; a request superseded or stopped leaves nothing to reset.
    if (AskWorker(image, frame, 1)) {
        return;
    }
    forcedLoadBusy = 1;
    int32_t next = frame;
    if (image->LoadImage(next, Handle(), 1) == 0) {
        if (GetLoadState().memoryShort.load() == 1) {
            PostToParent(WM_XEV_MEMORY_RECHECK, 0, 0);
        }
    } else if (keepWindow != 0) {
        ApplyHeldWindow(image, frame);
    }
    forcedLoadBusy = 0;
}

bool XEVImageViewCtrl::AskWorker(ImageInfo* image, int32_t frame, int32_t forced, bool behind)
{
    tilesAtRequest_ = TileCount();
    if (!XEVRequestFrame(image, frame, Handle(), forced, behind)) {
        return false;
    }
    frameAsked_ = image;
    frameAskedFrame_ = frame;
    return true;
}

void XEVImageViewCtrl::OnRequestedFrame(ImageInfo* image, int32_t frame)
{
    if (image != nullptr && FrameAsked(image, frame)) {
        frameAsked_ = nullptr;
    }
    RelieveDecodedBudget();
    // The answer to an earlier ask of the same file leaves the step waiting for its own.
    if (image != nullptr && image == stepAwaitedImage_ && !TakeStepAwaited(image) && frame == stepAwaitedFrame_) {
        // It did not decode: the cell stays where it is, and the next step goes on from there.
        ForgetStepAwaited();
    }
    if (image == nullptr || image != CurrentImage()) {
        return;
    }
    if (HasFramePixels(currentFrame)) {
        if (keepWindow != 0) {
            ApplyHeldWindow(image, currentFrame);
        }
        // A first picture that came by a request before the cell's own queued load: the form
        // view hears of it all the same, or the grid is left with no active cell for the keys.
        if (loadedCount == 0) {
            TellFirstImage(true);
        }
    } else if (GetLoadState().memoryShort.load() == 1) {
        PostToParent(WM_XEV_MEMORY_RECHECK, 0, 0);
    }
    if (tileMode != 0 && TileCount() != tilesAtRequest_) {
        tilesAtRequest_ = TileCount();
        PostToParent(WM_XEV_LINKED_MOVED, XEVWParam(controlId_), 0);
    }
    update();
}

void XEVImageViewCtrl::TellFirstImage(bool requested)
{
    if (firstImageTold) {
        return;
    }
    firstImageTold = true;
    PostToParent(WM_XEV_FIRST_IMAGE, XEVWParam(controlId_), requested ? 1 : 0);
}

void XEVImageViewCtrl::RelieveDecodedBudget()
{
    if (XEVDecodedOverBudget()) {
        PostToParent(WM_XEV_MEMORY_RECHECK, XEVWParam(controlId_), kXEVDecodedBudgetRecheck);
    }
}

void XEVImageViewCtrl::ApplyHeldWindow(ImageInfo* image, int32_t frame)
{
    XEVLockedHelper locked(image);
    if (locked.helper != nullptr) {
        std::lock_guard<PlatRecursiveLock> guard(locked.helper->lock);
        locked.helper->SetWindow(frame, windowCenter, windowWidth);
    }
}

void XEVImageViewCtrl::CineStep()
{
    cineAwaited_ = nullptr;
    ForgetStepAwaited();
    cineStep_ = true;
    SetCurrentImage(kNext, 1);
    cineStep_ = false;
}

bool XEVImageViewCtrl::CineWaits(ImageInfo* image, int32_t frame)
{
    // Cine stays on the frame it shows until the next one is decoded: a frame it moved to
    // before would paint black.
    if (!cineStep_ || (!FrameAsked(image, frame) && !AskWorker(image, frame, 0, true))) {
        return false;
    }
    cineAwaited_ = image;
    return true;
}

bool XEVImageViewCtrl::StepWaits(int32_t key, int32_t frame)
{
    const auto found = images_.find(key);
    if (cineStep_ || found == images_.end()) {
        return false;
    }
    ImageInfo* image = found->second;
    // Steps come faster than a slow drive reads: the cell keeps its image, rather than paint
    // black, until the last image or frame stepped to has come; the ones passed over are not
    // read.
    if (!FrameAsked(image, frame) && !AskWorker(image, frame, 0)) {
        return false;
    }
    stepAwaited_ = key;
    stepAwaitedFrame_ = frame;
    stepAwaitedImage_ = image;
    return true;
}

void XEVImageViewCtrl::ForgetStepAwaited()
{
    stepAwaited_ = -1;
    stepAwaitedFrame_ = 0;
    stepAwaitedImage_ = nullptr;
    stepMovesPage_ = false;
}

bool XEVImageViewCtrl::TakeStepAwaited(const ImageInfo* image)
{
    const auto found = images_.find(stepAwaited_);
    if (found == images_.end() || found->second != image) {
        return false;
    }
    const int32_t key = stepAwaited_;
    const int32_t frame = stepAwaitedFrame_;
    {
        XEVLockedHelper locked(found->second, true);
        XEVVEKHelper* helper = locked.helper;
        if (helper == nullptr || !helper->IsFrameLoaded(std::max(frame, 0))) {
            return false;
        }
        if (tileMode == 0 && helper->frameCount > 1 && frame >= 0 && frame < helper->frameCount) {
            helper->SetCurrentFrame(frame);
        }
    }
    const bool movesPage = stepMovesPage_;
    ForgetStepAwaited();
    if (key != currentImage || frame != currentFrame) {
        CloseAnnotationEdit();
    }
    currentImage = key;
    currentFrame = frame;
    update();
    if (tileMode == 0) {
        PostToParent(WM_XEV_IMAGE_CHANGED, XEVWParam(controlId_), 0);
    }
    if (movesPage) {
        PostToParent(WM_XEV_LINKED_MOVED, XEVWParam(controlId_), 0);
    }
    return true;
}

bool XEVImageViewCtrl::LoadNow(ImageInfo* image, int32_t frame, int32_t forced)
{
    if (AskWorker(image, frame, forced)) {
        return true;
    }
    // A cell used without the job host (no loader window) decodes on its own.
    int32_t next = frame;
    if (image->LoadImage(next, Handle(), forced) == 0) {
        return false;
    }
    if (keepWindow != 0) {
        ApplyHeldWindow(image, frame);
    }
    return true;
}

bool XEVImageViewCtrl::LoadCurrentImage()
{
    ImageInfo* image = CurrentImage();
    if (image == nullptr) {
        return false;
    }
    int32_t frame = currentFrame >= 0 ? currentFrame : image->startFrame;
    return AskWorker(image, frame, 0) || image->LoadImage(frame, XEVWindowHandle(), 0) != 0;
}

void XEVImageViewCtrl::SetupFirstImage()
{
    if (currentImage == -1) {
        // The first image that has pixels: one whose file failed would leave the cell black,
        // inactive and unable to step.
        currentImage = 0;
        currentFrame = 0;
        for (const auto& [key, image] : images_) {
            XEVLockedHelper locked(image, true);
            if (locked.helper != nullptr && locked.helper->IsFrameLoaded(image->startFrame)) {
                currentImage = key;
                currentFrame = image->startFrame;
                break;
            }
        }
    }
    XEVLockedHelper locked(CurrentImage());
    if (locked.helper == nullptr) {
        return;
    }
    std::lock_guard<PlatRecursiveLock> guard(locked.helper->lock);
    zoomMode = kFit;
    locked.helper->GetWindow(windowCenter, windowWidth);
    windowKnown = 1;
    const FrameImageInfo* frame = locked.helper->GetFrame(ResolveFrame(locked.helper));
    const double aspect = frame != nullptr ? frame->EffectiveVerticalScale() : 1.0;
    const XEVViewGeometry g =
        ComputeGeometry(width(), height(), locked.helper->GetImageWidth(), locked.helper->GetImageHeight(), aspect);
    if (g.drawable) {
        destination = g.destination;
    }
}

int32_t XEVImageViewCtrl::TileSpan(int32_t key) const
{
    const auto found = images_.find(key);
    if (found == images_.end()) {
        return 0;
    }
    const ImageInfo* image = found->second;
    const int32_t frames = image->fileFrames.load();
    if (frames <= 1 || image->startFrame != 0) {
        return 1;
    }
    // The entries of a file split into one entry per frame stand side by side; each shows its
    // own frame.
    for (const int32_t side : {key - 1, key + 1}) {
        const auto other = images_.find(side);
        if (other != images_.end() && other->second->filePath == image->filePath) {
            return 1;
        }
    }
    return frames;
}

int32_t XEVImageViewCtrl::TileCount() const
{
    int64_t count = 0;
    for (const auto& [key, image] : images_) {
        count += TileSpan(key);
    }
    return int32_t(std::min<int64_t>(count, INT32_MAX));
}

int32_t XEVImageViewCtrl::TilePosition() const
{
    return TilePositionOf(currentImage, currentFrame);
}

int32_t XEVImageViewCtrl::TilePositionOf(int32_t image, int32_t frame) const
{
    if (images_.count(image) == 0) {
        return -1;
    }
    int64_t position = 0;
    for (auto it = images_.begin(); it != images_.end() && it->first < image; ++it) {
        position += TileSpan(it->first);
    }
    const int32_t span = TileSpan(image);
    if (span > 1) {
        position += std::clamp(frame == -1 ? span - 1 : frame, 0, span - 1);
    }
    return int32_t(std::min<int64_t>(position, INT32_MAX));
}

bool XEVImageViewCtrl::TilePlace(int32_t position, int32_t& image, int32_t& frame) const
{
    if (position < 0) {
        return false;
    }
    int64_t start = 0;
    for (const auto& [key, entry] : images_) {
        const int32_t span = TileSpan(key);
        if (position < start + span) {
            image = key;
            frame = span > 1 ? int32_t(position - start) : entry->startFrame;
            return true;
        }
        start += span;
    }
    return false;
}

int32_t XEVImageViewCtrl::GoToImage(int32_t position)
{
    const int32_t previousImage = currentImage;
    const int32_t previousFrame = currentFrame;
    const int32_t previous = GoToPosition(position);
    // A page laid out again around the cell leaves the step it waits for standing; one that
    // moves it drops the step.
    if (currentImage != previousImage || currentFrame != previousFrame) {
        ForgetStepAwaited();
    }
    return previous;
}

int32_t XEVImageViewCtrl::GoToPosition(int32_t position)
{
    const int32_t previousImage = currentImage;
    const int32_t previousFrame = currentFrame;
    if (tileMode != 0 && position != -1) {
        const int32_t previousPosition = TilePosition();
        int32_t image = -1;
        int32_t frame = -1;
        if (!TilePlace(position, image, frame)) {
            currentImage = currentFrame = -1;
            active = selected = 0;
            return 0;
        }
        if (image != currentImage || frame != currentFrame) {
            CloseAnnotationEdit();
        }
        currentImage = image;
        currentFrame = frame;
        return previousPosition;
    }
    ImageInfo* current = CurrentImage();
    // In a cell of one multi-frame image the positions are its frames.
    if (current != nullptr && position != -1) {
        XEVLockedHelper locked(current);
        if (locked.helper != nullptr && locked.helper->frameCount > 1 && images_.size() == 1) {
            if (position >= locked.helper->frameCount) {
                currentImage = currentFrame = -1;
                active = selected = 0;
                return 0;
            }
            if (position != currentFrame) {
                CloseAnnotationEdit();
            }
            currentFrame = position;
            locked.helper->SetCurrentFrame(position);
            return previousFrame;
        }
    }
    const int32_t target = position == -1 ? currentImage : position;
    const auto found = images_.find(target);
    if (found == images_.end()) {
        currentImage = currentFrame = -1;
        active = selected = 0;
        return 0;
    }
    if (target != currentImage) {
        CloseAnnotationEdit();
    }
    ImageInfo* image = found->second;
    currentImage = target;
    currentFrame = image->startFrame;
    XEVLockedHelper locked(image);
    if (locked.helper != nullptr && locked.helper->frameCount > 1 && image->startFrame >= 0 &&
        image->startFrame < locked.helper->frameCount) {
        locked.helper->SetCurrentFrame(image->startFrame);
    }
    return previousImage;
}

bool XEVImageViewCtrl::ShowEntry(ImageInfo* entry, int32_t frame)
{
    ForgetStepAwaited();
    for (const auto& [key, image] : images_) {
        if (image != entry) {
            continue;
        }
        if (key != currentImage || frame != currentFrame) {
            CloseAnnotationEdit();
        }
        currentImage = key;
        currentFrame = frame;
        XEVLockedHelper locked(image, true);
        if (locked.helper != nullptr && locked.helper->IsFrameLoaded(frame)) {
            locked.helper->SetCurrentFrame(frame);
        }
        update();
        return true;
    }
    return false;
}

bool XEVImageViewCtrl::StepFrames(XEVVEKHelper* helper, int32_t f, int32_t direction, int32_t wrap, bool& loaded)
{
    // Cells of a tiled series step by their positions instead (StepTile).
    const int32_t last = f - 1;
    // The steps go from the frame shown, or from the one a step of the user's waits on: the
    // decoder leaves the helper's own position at the last frame it loaded.
    const bool awaiting = StepGoesOnFromAwaited();
    const int32_t fromImage = awaiting ? stepAwaited_ : currentImage;
    const int32_t position = !awaiting ? ResolveFrame(helper) : (stepAwaitedFrame_ == -1 ? last : stepAwaitedFrame_);
    int32_t newFrame = position;
    int32_t newImage = fromImage;
    const int32_t count = static_cast<int32_t>(images_.size());
    switch (direction) {
    case kNext:
        if (position >= last) {
            if (wrap == 0) {
                return false;
            }
            newFrame = 0;
        } else {
            newFrame = position + 1;
        }
        break;
    case kPrevious:
        if (position <= 0) {
            if (wrap == 0) {
                return false;
            }
            newFrame = last;
        } else {
            newFrame = position - 1;
        }
        break;
    case kFirst:
        newFrame = 0;
        newImage = SkipFailed(0, 1);
        break;
    case kLast:
        newFrame = last;
        newImage = SkipFailed(loadingUnderWay.load() != 0 ? loadedCount - 2 : count - 1, -1);
        break;
    default: return false;
    }
    if (newFrame == position && newImage == fromImage) {
        return false;
    }
    const auto found = images_.find(newImage);
    if (found == images_.end()) {
        return false;
    }
    ImageInfo* image = found->second;
    // Cine passes over a frame that failed, forward, as it would wait on it for good.
    for (int32_t passed = 0; cineStep_ && direction == kNext && FrameFailed(image, newFrame) && passed < f; ++passed) {
        newFrame = newFrame >= last ? 0 : newFrame + 1;
    }
    if (newFrame == position && newImage == fromImage) {
        return false;
    }
    if (awaiting && newImage == currentImage &&
        newFrame == (fromImage == currentImage ? ResolveFrame(helper) : currentFrame)) {
        // Back to the frame shown: nothing more is waited for.
        ForgetStepAwaited();
        return false;
    }
    XEVLockedHelper target(image);
    XEVVEKHelper* targetHelper = target.helper;
    if (targetHelper == nullptr || !targetHelper->IsFrameLoaded(newFrame)) {
        if (StepWaits(newImage, newFrame)) {
            return false;
        }
        if (loadingUnderWay.load() == 0) {
            if (CineWaits(image, newFrame) || !LoadNow(image, newFrame)) {
                return false;
            }
            loaded = true;
            targetHelper = image->GetHelper();
        } else {
            if (wrap == 0 || (direction != kNext && direction != kPrevious)) {
                return false;
            }
            newFrame = direction == kNext ? 0 : last;
        }
    }
    ForgetStepAwaited();
    currentFrame = newFrame;
    currentImage = newImage;
    if (targetHelper != nullptr) {
        targetHelper->SetCurrentFrame(newFrame);
    }
    return true;
}

bool XEVImageViewCtrl::LoadFailed(int32_t key) const
{
    const auto found = images_.find(key);
    if (found == images_.end()) {
        return false;
    }
    XEVLockedHelper locked(found->second, true);
    const XEVVEKHelper* helper = locked.helper;
    return helper != nullptr && helper->statusCode != 0 && helper->statusCode != XEVVEKHelper::kStatusOutOfMemory &&
           !helper->IsFrameLoaded(found->second->startFrame);
}

bool XEVImageViewCtrl::FrameFailed(ImageInfo* image, int32_t frame)
{
    XEVLockedHelper locked(image, true);
    return locked.helper != nullptr && locked.helper->failedFrames.count(std::max(frame, 0)) != 0;
}

int32_t XEVImageViewCtrl::SkipFailed(int32_t key, int32_t step) const
{
    while (key != currentImage && images_.count(key) != 0 && LoadFailed(key)) {
        key += step;
    }
    return key;
}

bool XEVImageViewCtrl::StepTile(int32_t direction, int32_t wrap, bool& loaded)
{
    // A load may find a file's frames: the positions after it move, so the step is made again
    // from where the cell stands.
    for (int32_t attempt = 0; attempt < 2; ++attempt) {
        const int32_t count = TileCount();
        const int32_t shown = TilePosition();
        // The user's steps go on from the tile they wait on.
        const int32_t position = StepGoesOnFromAwaited() ? TilePositionOf(stepAwaited_, stepAwaitedFrame_) : shown;
        int32_t target = position;
        switch (direction) {
        case kNext: target = position + 1 < count ? position + 1 : (wrap != 0 ? 0 : position); break;
        case kPrevious: target = position > 0 ? position - 1 : (wrap != 0 ? count - 1 : position); break;
        case kFirst: target = 0; break;
        case kLast: target = count - 1; break;
        default: return false;
        }
        int32_t image = -1;
        int32_t frame = -1;
        if (target == position || !TilePlace(target, image, frame)) {
            return false;
        }
        // Cine passes over a file or frame that failed: it would wait on it for good, asking
        // for it again each time round.
        for (int32_t passed = 0;
             cineStep_ && (LoadFailed(image) || FrameFailed(images_[image], frame)) && passed < count; ++passed) {
            target = target + 1 < count ? target + 1 : 0;
            if (target == position || !TilePlace(target, image, frame)) {
                return false;
            }
        }
        if (target == shown) {
            // Back to the tile shown: nothing more is waited for.
            ForgetStepAwaited();
            return false;
        }
        ImageInfo* entry = images_[image];
        bool decoded = false;
        {
            XEVLockedHelper locked(entry, true);
            decoded = locked.helper != nullptr && locked.helper->IsFrameLoaded(frame);
        }
        if (!decoded) {
            if (StepWaits(image, frame)) {
                return false;
            }
            if (loadingUnderWay.load() != 0 || CineWaits(entry, frame) || !LoadNow(entry, frame)) {
                return false;
            }
            loaded = true;
            if (TileCount() != count) {
                continue;
            }
        }
        ForgetStepAwaited();
        currentImage = image;
        currentFrame = frame;
        return true;
    }
    return false;
}

bool XEVImageViewCtrl::StepImages(int32_t direction, int32_t wrap, bool& loaded, bool& wrappedWhileLoading)
{
    const int32_t count = static_cast<int32_t>(images_.size());
    const bool loading = loadingUnderWay.load() != 0;
    const bool perFrame = GetLoadState().perFrameEntries.load() != 0;
    // The user's steps go on from the one they wait on: none is lost while the drive reads.
    const int32_t from = StepGoesOnFromAwaited() ? stepAwaited_ : currentImage;
    int32_t target = from;
    switch (direction) {
    case kNext:
        target = SkipFailed(from + 1, 1);
        if (target >= count) {
            if (wrap == 0) {
                return false;
            }
            target = SkipFailed(0, 1);
        }
        break;
    case kPrevious:
        target = SkipFailed(from - 1, -1);
        if (target < 0) {
            if (wrap == 0) {
                return false;
            }
            target = SkipFailed(count - 1, -1);
        }
        break;
    case kFirst: target = SkipFailed(0, 1); break;
    case kLast: target = SkipFailed(loading ? loadedCount - 2 : count - 1, -1); break;
    default: return false;
    }
    if (target == from || images_.find(target) == images_.end()) {
        return false;
    }
    if (target == currentImage) {
        // Back to the image shown: nothing more is waited for.
        ForgetStepAwaited();
        return false;
    }
    const auto decoded = [perFrame](ImageInfo* image) {
        XEVLockedHelper locked(image);
        if (locked.helper == nullptr) {
            return false;
        }
        std::lock_guard<PlatRecursiveLock> guard(locked.helper->lock);
        // A whole multi-frame entry is shown from the frame it stands at.
        return perFrame || image->wholeMultiFrame ? locked.helper->IsFrameLoaded(locked.helper->currentFrame)
                                                  : locked.helper->IsFrameLoaded(-1);
    };
    if (!decoded(images_[target])) {
        if (StepWaits(target, images_[target]->startFrame)) {
            return false;
        }
        // A loader waiting for its turn, or held at its gate while another cell's goes first,
        // brings nothing soon: cine asks for its next image rather than stay on the ones loaded.
        const bool loaderGoesOn = loaderRunning.load() != 0 && loader.WaitGate(0);
        if (!loading || (cineStep_ && !loaderGoesOn)) {
            if (CineWaits(images_[target], images_[target]->startFrame) ||
                !LoadNow(images_[target], images_[target]->startFrame)) {
                return false;
            }
            loaded = true;
        } else {
            if (wrap == 0) {
                return false;
            }
            target = direction == kNext ? SkipFailed(0, 1) : SkipFailed(loadedCount - 2, -1);
            if (target == currentImage || images_.find(target) == images_.end()) {
                return false;
            }
            wrappedWhileLoading = true;
        }
    }
    ImageInfo* image = images_[target];
    if (!perFrame || image->wholeMultiFrame) {
        XEVLockedHelper locked(image);
        XEVVEKHelper* helper = locked.helper;
        if (helper != nullptr && helper->frameCount > 1) {
            std::lock_guard<PlatRecursiveLock> guard(helper->lock);
            const int32_t last = helper->frameCount - 1;
            const int32_t position = helper->currentFrame;
            if (direction == kNext) {
                helper->SetCurrentFrame(position < last ? position + 1 : (wrap != 0 ? 0 : position));
            } else if (direction == kPrevious) {
                helper->SetCurrentFrame(position > 0 ? position - 1 : (wrap != 0 ? last : position));
            } else {
                helper->SetCurrentFrame(direction == kFirst ? 0 : last);
            }
        }
    }
    ForgetStepAwaited();
    currentImage = target;
    currentFrame = image->startFrame;
    return true;
}

void XEVImageViewCtrl::SetCurrentImage(int32_t direction, int32_t wrap)
{
    CloseAnnotationEdit();
    if (CurrentImage() == nullptr) {
        return;
    }
    // The user's steps go on from the image and frame one of them waits on.
    const bool awaiting = StepGoesOnFromAwaited();
    ImageInfo* image = awaiting ? images_[stepAwaited_] : CurrentImage();
    const bool perFrame = GetLoadState().perFrameEntries.load() != 0;
    bool moved = false;
    bool loaded = false;
    bool wrappedWhileLoading = false;
    bool framesDone = false;
    if (tileMode != 0) {
        moved = StepTile(direction, wrap, loaded);
        framesDone = true;
    } else {
        XEVLockedHelper locked(image);
        XEVVEKHelper* helper = locked.helper;
        const int32_t f = helper != nullptr ? helper->frameCount : 0;
        if (f > 1 && (!perFrame || image->wholeMultiFrame)) {
            std::unique_lock<PlatRecursiveLock> helperLock(helper->lock);
            const int32_t fromFrame = awaiting ? stepAwaitedFrame_ : currentFrame;
            const int32_t viewFrame = awaiting ? (fromFrame == -1 ? f - 1 : fromFrame) : ResolveFrame(helper);
            const bool toImages = (direction == kNext && viewFrame == f - 1) ||
                                  (direction == kPrevious && (fromFrame == 0 || fromFrame == -1));
            if (!toImages) {
                moved = StepFrames(helper, f, direction, wrap, loaded);
                framesDone = true;
            } else {
                const int32_t keptFrame = currentFrame;
                currentFrame = 0;
                helperLock.unlock();
                moved = StepImages(direction, wrap, loaded, wrappedWhileLoading);
                framesDone = true;
                if (!moved) {
                    // No other image to go to: the frames of this one wrap, or stay.
                    currentFrame = keptFrame;
                    if (wrap != 0) {
                        helperLock.lock();
                        const int32_t target = direction == kNext ? 0 : f - 1;
                        if (helper->IsFrameLoaded(target) && target != ResolveFrame(helper)) {
                            currentFrame = target;
                            helper->SetCurrentFrame(target);
                            moved = true;
                        }
                    }
                }
            }
        }
    }
    if (!framesDone) {
        moved = StepImages(direction, wrap, loaded, wrappedWhileLoading);
    }
    if (!moved) {
        return;
    }
    update();
    if (tileMode == 0 && (!loaded || wrappedWhileLoading)) {
        PostToParent(WM_XEV_IMAGE_CHANGED, XEVWParam(controlId_), 0);
    }
}

bool XEVImageViewCtrl::ReleaseFarImage(bool skipWhenBusy)
{
    const int32_t n = GetCineLength();
    if (skipWhenBusy && (selected != 0 || active != 0 || n < 2)) {
        return false;
    }
    const int32_t count = static_cast<int32_t>(images_.size());
    if (CurrentImage() == nullptr || count == 0 || n <= 0) {
        return false;
    }
    int32_t start = currentImage + n / 2;
    if (start >= n) {
        start -= n;
    }
    start %= count;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t position = (start + i) % count;
        if (position == currentImage) {
            continue;
        }
        ImageInfo* image = images_[position];
        // An image being decoded is passed over.
        std::unique_lock<PlatRecursiveLock> lock(image->GetLock(), std::try_to_lock);
        // One that holds no frame frees nothing, and keeps what failed from being read again.
        if (!lock.owns_lock() || image->GetHelper() == nullptr || image->GetHelper()->frames.empty()) {
            continue;
        }
        image->FreeHelper();
        return true;
    }
    return false;
}

bool XEVImageViewCtrl::TilesTheSameSet(const XEVImageViewCtrl& other) const
{
    return tileMode != 0 && other.tileMode != 0 && images_ == other.images_;
}

void XEVImageViewCtrl::SyncToView(XEVImageViewCtrl* other)
{
    const int32_t hadLines = std::exchange(referenceLineShown, 0);
    // Tiles of one set each hold their own place on the page: linked, every tile would go to
    // the slice nearest the other, which is the other's own.
    if (other == nullptr || other == this || TilesTheSameSet(*other)) {
        if (hadLines != 0) {
            update();
        }
        return;
    }
    // The other cell's slice is copied out: the images of this cell are then locked one at a
    // time, never one inside another's lock, whichever of them is current.
    QString referenceText;
    XEVSlicePlace reference;
    bool placed = false;
    {
        XEVLockedHelper theirs(other->CurrentImage());
        if (theirs.helper != nullptr) {
            referenceText = theirs.helper->GetFrameText();
            placed = theirs.helper->GetSlicePlace(reference);
        }
    }
    if (referenceText.isEmpty()) {
        update();
        return;
    }
    ImageInfo* image = CurrentImage();
    if (image == nullptr) {
        return;
    }
    std::multimap<double, int32_t> parallel;
    const auto consider = [&](const XEVVEKHelper& helper, int32_t position) {
        double distance = 0;
        if (placed && helper.IsSameOrientation(reference) && helper.GetSliceDistance(reference, distance) != 0) {
            parallel.emplace(distance, position);
        }
    };
    bool byFrames = false;
    {
        XEVLockedHelper mine(image);
        if (mine.helper == nullptr) {
            return;
        }
        if (mine.helper->GetFrameText() != referenceText) {
            update();
            return;
        }
        byFrames = mine.helper->frameCount > 1 && images_.size() == 1;
        if (byFrames) {
            const int32_t kept = ResolveFrame(mine.helper);
            for (int32_t k = 0; k < mine.helper->frameCount; ++k) {
                if (mine.helper->GetFrame(k) != nullptr) {
                    mine.helper->SetCurrentFrame(k);
                    consider(*mine.helper, k);
                }
            }
            mine.helper->SetCurrentFrame(kept);
        }
    }
    if (!byFrames) {
        for (const auto& [position, candidate] : images_) {
            XEVLockedHelper locked(candidate);
            if (locked.helper != nullptr) {
                consider(*locked.helper, position);
            }
        }
    }
    if (parallel.empty()) {
        // The other cell's planes are copied out first, so that two cells linked to each other
        // never hold their image locks in opposite orders.
        const ReferencePlanes planes = other->ReferencePlanesShown();
        XEVLockedHelper mine(image);
        if (mine.helper != nullptr) {
            ComputeReferenceLines(mine.helper, planes);
        }
        update();
        return;
    }
    if (GetCommonSettings().SeriesAutoLink != 0) {
        GoToImage(parallel.begin()->second);
        update();
    }
}

XEVImageViewCtrl::ReferencePlanes XEVImageViewCtrl::ReferencePlanesShown()
{
    ReferencePlanes planes;
    const int32_t length = GetCineLength();
    const int32_t positions[3] = {0, length - 1, GetPosition() - 1};
    const auto copy = [](const XEVVEKHelper& helper, const FrameImageInfo* frame) {
        std::optional<ReferencePlane> plane;
        // A slice without its whole position and orientation crosses nothing.
        if (frame != nullptr && frame->placed) {
            plane = ReferencePlane{Vector(frame->orientation),
                                   Vector(frame->orientation + 3),
                                   Vector(frame->position),
                                   frame->spacing1,
                                   frame->spacing2,
                                   static_cast<double>(helper.GetImageWidth()),
                                   static_cast<double>(helper.GetImageHeight()),
                                   frame->instanceNumber};
        }
        return plane;
    };
    {
        XEVLockedHelper current(CurrentImage());
        if (current.helper == nullptr) {
            return planes;
        }
        if (current.helper->frameCount > 1 && images_.size() == 1) {
            for (int32_t kind = 0; kind < 3; ++kind) {
                planes[kind] = copy(*current.helper, current.helper->GetFrame(positions[kind]));
            }
            return planes;
        }
    }
    for (int32_t kind = 0; kind < 3; ++kind) {
        const auto it = images_.find(positions[kind]);
        if (it != images_.end()) {
            XEVLockedHelper locked(it->second);
            if (locked.helper != nullptr) {
                planes[kind] = copy(*locked.helper, locked.helper->GetCurrentFrame());
            }
        }
    }
    return planes;
}

void XEVImageViewCtrl::ComputeReferenceLines(XEVVEKHelper* helper, const ReferencePlanes& planes)
{
    FrameImageInfo* target = helper->GetFrame(ResolveFrame(helper));
    if (target == nullptr) {
        return;
    }
    target->referenceLine.lines = {};
    int32_t found = 0;
    for (int32_t kind = 0; kind < 3; ++kind) {
        // A frame without its whole place takes no line, as a slice without one draws none.
        if (!target->placed || !planes[kind].has_value()) {
            continue;
        }
        const ReferencePlane& source = *planes[kind];
        XEVVector3 first;
        XEVVector3 second;
        int32_t x1 = 0;
        int32_t y1 = 0;
        int32_t x2 = 0;
        int32_t y2 = 0;
        if (ComputeReferenceLine(first, second, x1, y1, x2, y2, Vector(target->orientation),
                                 Vector(target->orientation + 3), source.row, source.column, Vector(target->position),
                                 source.position, helper->GetImageWidth(), helper->GetImageHeight(), source.spacingRow,
                                 source.spacingColumn, target->spacing1, target->spacing2, source.columns,
                                 source.rows) == 0) {
            continue;
        }
        target->referenceLine.lines[kind] = {1, x1, y1, x2, y2, source.instanceNumber};
        ++found;
    }
    referenceLineShown = found > 0 ? 1 : 0;
}
