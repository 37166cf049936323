#include "viewer/xevimageviewctrl.h"

#include <QCoreApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "shell/xev_uistring.h"
#include "shell/xevcommonsettings.h"
#include "study/xevjobhost.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "xevlockedhelper.h"

namespace {

std::atomic<XEVTitlePaneState*> titlePane{nullptr};
std::atomic<XEVMessageBox*> messageBox{nullptr};

int32_t Round(double value)
{
    return static_cast<int32_t>(std::trunc(value + 0.5));
}

// A vertical factor that is not a positive finite number counts as 1.
double SaneAspect(double aspect)
{
    return std::isfinite(aspect) && aspect > 0.0 ? aspect : 1.0;
}

const QColor kActiveFrame(35, 140, 114);
const QColor kInactiveFrame(49, 49, 49);
const QColor kProgress(0, 255, 0);

void DrawOutline(QPainter& painter, int32_t w, int32_t h, int32_t inset, const QColor& colour)
{
    const int32_t x0 = inset;
    const int32_t y0 = inset;
    const int32_t x1 = w - 1 - inset;
    const int32_t y1 = h - 1 - inset;
    if (x1 < x0 || y1 < y0) {
        return;
    }
    painter.fillRect(QRect(QPoint(x0, y0), QPoint(x1, y0)), colour);
    painter.fillRect(QRect(QPoint(x0, y1), QPoint(x1, y1)), colour);
    painter.fillRect(QRect(QPoint(x0, y0), QPoint(x0, y1)), colour);
    painter.fillRect(QRect(QPoint(x1, y0), QPoint(x1, y1)), colour);
}

}   // namespace

void XEVSetTitlePane(XEVTitlePaneState* pane)
{
    titlePane.store(pane);
}

XEVTitlePaneState* XEVGetTitlePane()
{
    return titlePane.load();
}

void XEVSetMessageBox(XEVMessageBox* box)
{
    messageBox.store(box);
}

bool XEVInstallMessageBox(XEVMessageBox* box)
{
    XEVMessageBox* none = nullptr;
    return messageBox.compare_exchange_strong(none, box);
}

void XEVRemoveMessageBox(XEVMessageBox* box)
{
    XEVMessageBox* installed = box;
    messageBox.compare_exchange_strong(installed, nullptr);
}

namespace {

std::atomic<XEVMediumWatch*> mediumWatch{nullptr};

constexpr uint32_t kDicomDirMissingMessage = 10003;

}   // namespace

void XEVShowFailureText(QWidget* parent, const QString& text)
{
    if (XEVMessageBox* box = messageBox.load()) {
        box->Show(parent, text);
        return;
    }
    std::fprintf(stderr, "kestro: %s\n", text.toLocal8Bit().constData());
}

void XEVSetMediumWatch(XEVMediumWatch* watch)
{
    mediumWatch.store(watch);
}

void XEVShowLoadFailure(QWidget* parent, const QString& text, int32_t status)
{
    XEVMediumWatch* watch = mediumWatch.load();
    if (watch == nullptr || status != XEVVEKHelper::kStatusFileNotFound) {
        XEVShowFailureText(parent, text);
        return;
    }
    switch (watch->Check()) {
    case XEVMediumWatch::kPresent: XEVShowFailureText(parent, text); break;
    case XEVMediumWatch::kGoneNow:
        // One message for the medium, not one for every image still to come.
        watch->OnGone();
        XEVShowFailureText(parent, GetMessageString(kDicomDirMissingMessage) + QStringLiteral("\n      [") +
                                       watch->DicomDirPath() + QStringLiteral("]\n"));
        break;
    case XEVMediumWatch::kGoneBefore: break;
    }
}

void XEVAskOkCancel(QWidget* parent, const QString& text, std::function<void(int32_t)> answered)
{
    if (XEVMessageBox* box = messageBox.load()) {
        box->Ask(parent, text, std::move(answered));
        return;
    }
    answered(2);
}

// Receives the reports of loaders and the cell's own requests on the GUI thread.
class XEVImageViewCtrl::Receiver : public XEVMessageReceiver {
public:
    explicit Receiver(XEVImageViewCtrl* view)
    {
        SetHandler(WM_XEV_IMAGE_LOADED, [view](XEVWParam w, XEVLParam l) {
            if (XEVIsRequestedFrameNotice(l)) {
                view->OnRequestedFrame(reinterpret_cast<ImageInfo*>(w), XEVRequestedFrameOf(l));
                return XEVResult(0);
            }
            view->OnImageLoaded(reinterpret_cast<ImageInfo*>(w));
            return XEVResult(0);
        });
        SetHandler(WM_XEV_LOAD_NOW, [view](XEVWParam, XEVLParam) {
            view->OnLoadNow();
            return XEVResult(0);
        });
        // The loader's end, passed on from the GUI thread; its progress bar ends with it, also
        // when a file it passed over left the count short.
        SetHandler(WM_XEV_VIEW_LOAD_DONE, [view](XEVWParam, XEVLParam how) {
            view->ReapEndedLoader();
            if (view->progressShown.load() != 0) {
                view->EndProgress();
            }
            view->PostToParent(WM_XEV_VIEW_LOAD_DONE, XEVWParam(view->ControlId()), how);
            return XEVResult(0);
        });
    }
};

XEVImageViewCtrl::XEVImageViewCtrl(QWidget* parent, int32_t controlId)
    : QWidget(parent), controlId_(controlId), receiver_(std::make_unique<Receiver>(this))
{
    // Every paint covers the whole update area itself; a progress paint keeps the rest.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
    setFocusPolicy(Qt::ClickFocus);
}

XEVImageViewCtrl::~XEVImageViewCtrl()
{
    ClearView(false);
    // A loader let go touches the cell until its body returns; the grid deletes a cell only
    // once its loader has ended, but for its own end.
    loader.WaitAll();
}

XEVWindowHandle XEVImageViewCtrl::Handle() const
{
    return receiver_->Handle();
}

void XEVImageViewCtrl::PostToParent(uint32_t id, XEVWParam wParam, XEVLParam lParam)
{
    if (QWidget* parent = parentWidget()) {
        XEVRegisterMessageIds();
        QCoreApplication::postEvent(parent, new XEVMessageEvent(id, wParam, lParam));
    }
}

ImageInfo* XEVImageViewCtrl::CurrentImage() const
{
    const auto found = images_.find(currentImage);
    return found == images_.end() ? nullptr : found->second;
}

void XEVImageViewCtrl::ClearView(bool repaint)
{
    StopLoader();
    loadingUnderWay = 0;
    loaderRunning = 0;
    progressShown = 0;
    progressTotal = 0;
    loadedCount = 0;
    firstImageTold = false;
    CloseAnnotationEdit();
    rendered_ = QImage();
    renderKey_ = RenderKey();
    windowCenter = 0.0;
    windowWidth = 0.0;
    active = 0;
    selected = 0;
    keepWindow = 0;
    keepPosition = 0;
    zoomMode = kFit;
    zoomed = 0;
    windowKnown = 0;
    cellsPerPage = 1;
    images_.clear();
    cineAwaited_ = nullptr;
    ForgetStepAwaited();
    firstLoadAsked_ = nullptr;
    imageIndexStale_ = true;
    currentImage = -1;
    currentFrame = -1;
    referenceLineShown = 0;
    invertPending = 0;
    if (repaint) {
        update();
    }
}

void XEVImageViewCtrl::SetImages(const std::vector<ImageInfo*>& images)
{
    images_.clear();
    cineAwaited_ = nullptr;
    ForgetStepAwaited();
    firstLoadAsked_ = nullptr;
    imageIndexStale_ = true;
    currentImage = -1;
    currentFrame = -1;
    int32_t key = 0;
    for (ImageInfo* image : images) {
        if (image == nullptr || image->sopInstanceUid == QStringLiteral("SR")) {
            continue;
        }
        images_[key++] = image;
    }
}

void XEVImageViewCtrl::CopyImages(const std::map<int32_t, ImageInfo*>& images)
{
    images_ = images;
    imageIndexStale_ = true;
    currentImage = -1;
    currentFrame = -1;
}

void XEVImageViewCtrl::CopyDisplayState(const XEVImageViewCtrl& source)
{
    keepWindow = source.keepWindow;
    windowCenter = source.windowCenter;
    windowWidth = source.windowWidth;
    windowKnown = source.windowKnown;
    zoomed = source.zoomed;
    zoomMode = source.zoomMode;
    baseScale = source.baseScale;
    keepPosition = source.keepPosition;
    sourceLeft = source.sourceLeft;
    sourceTop = source.sourceTop;
    sourceRight = source.sourceRight;
    sourceBottom = source.sourceBottom;
    XEVLockedHelper locked(CurrentImage(), true);
    if (locked.helper != nullptr) {
        locked.helper->GetWindow(windowCenter, windowWidth);
    }
}

int32_t XEVImageViewCtrl::ResolveFrame(const XEVVEKHelper* helper) const
{
    if (currentFrame == -1 && helper != nullptr) {
        return helper->frameCount - 1;
    }
    return currentFrame;
}

FrameImageInfo* XEVImageViewCtrl::ShownFrame(const XEVVEKHelper* helper) const
{
    return helper != nullptr ? helper->GetFrame(ResolveFrame(helper)) : nullptr;
}

int32_t XEVImageViewCtrl::GetCineLength() const
{
    if (tileMode != 0) {
        return TileCount();
    }
    XEVLockedHelper locked(CurrentImage());
    if (locked.helper != nullptr && locked.helper->frameCount > 1) {
        return locked.helper->frameCount;
    }
    return static_cast<int32_t>(images_.size());
}

int32_t XEVImageViewCtrl::GetPosition() const
{
    if (tileMode != 0) {
        return TilePosition() + 1;
    }
    XEVLockedHelper locked(CurrentImage());
    if (locked.helper != nullptr && locked.helper->frameCount > 1) {
        return ResolveFrame(locked.helper) + 1;
    }
    return currentImage + 1;
}

bool XEVImageViewCtrl::IsMultiFrameCurrent() const
{
    ImageInfo* image = CurrentImage();
    return image != nullptr && image->IsMultiFrame();
}

bool XEVImageViewCtrl::HasFramePixels(int32_t frame) const
{
    XEVLockedHelper locked(CurrentImage(), true);
    return locked.helper != nullptr && locked.helper->IsFrameLoaded(frame);
}

bool XEVImageViewCtrl::NeedsLoading() const
{
    for (const auto& [key, image] : images_) {
        // An image under decode is not loaded yet: waiting for its lock would hold the window
        // for as long as the file takes, an archive member's extraction included.
        std::unique_lock<PlatRecursiveLock> decoding(image->GetLock(), std::try_to_lock);
        if (!decoding.owns_lock()) {
            return true;
        }
        XEVLockedHelper locked(image, true);
        if (locked.helper == nullptr || !locked.helper->IsFrameLoaded(-1)) {
            return true;
        }
    }
    return false;
}

bool XEVImageViewCtrl::SetActive(bool value)
{
    fullRepaint = 1;
    if (!value) {
        CloseAnnotationEdit();
        active = 0;
        return false;
    }
    ImageInfo* image = CurrentImage();
    if (image == nullptr || image->GetHelper() == nullptr) {
        active = 0;
        return false;
    }
    // A frame on its way from the worker: the cell takes the keys now, or a step pressed
    // before the frame comes would be lost.
    if (!HasFramePixels(currentFrame) && (image != frameAsked_ || LoadFailed(currentImage))) {
        return false;
    }
    active = 1;
    update();
    return true;
}

void XEVImageViewCtrl::SetWindowAll(double centre, double width)
{
    windowCenter = centre;
    windowWidth = width;
    XEVLockedHelper locked(CurrentImage(), true);
    if (locked.helper != nullptr) {
        locked.helper->SetWindow(XEVVEKHelper::kIndexAllFrames, centre, width);
    }
    update();
}

void XEVImageViewCtrl::TakeWindowFromImage()
{
    XEVLockedHelper locked(CurrentImage(), true);
    if (locked.helper == nullptr) {
        return;
    }
    if (const FrameImageInfo* frame = locked.helper->GetFrame(ResolveFrame(locked.helper))) {
        windowCenter = frame->windowCenter;
        windowWidth = frame->windowWidth;
    }
}

XEVOverlayView XEVImageViewCtrl::OverlayView(QPainter* painter) const
{
    return XEVOverlayView{painter, destination.topLeft(), QPoint(sourceLeft, sourceTop), baseScale + zoomIncrement};
}

XEVDrawnPixels XEVImageViewCtrl::DrawnPixels(const FrameImageInfo* frame) const
{
    // The key of the image shown records how the renderer cropped and scaled it.
    if (rendered_.isNull() || renderKey_.frame != frame || frame == nullptr) {
        return {};
    }
    return {QRect(renderKey_.cropX, renderKey_.cropY, renderKey_.cropWidth, renderKey_.cropHeight),
            QSize(renderKey_.viewWidth, renderKey_.viewHeight)};
}

void XEVImageViewCtrl::CloseAnnotationEdit()
{
    XEVLockedHelper locked(CurrentImage(), true);
    FrameImageInfo* frame = ShownFrame(locked.helper);
    if (frame == nullptr) {
        return;
    }
    const XEVOverlayView view = OverlayView(nullptr);
    if (frame->textEditOpen != 0) {
        frame->EndTextEdit(view);
    }
    if (frame->arrowEditOpen != 0) {
        frame->EndArrowEdit(view);
    }
}

bool XEVImageViewCtrl::HitTest(QPoint cursor, int32_t tool) const
{
    // The tools' cursors point away from their top-left corner.
    QPoint hotSpot(0, 0);
    if (tool == 2 || tool == 8) {
        hotSpot = QPoint(13, 13);
    } else if (tool == 32) {
        hotSpot = QPoint(15, 0);
    } else if (tool == 64) {
        hotSpot = QPoint(0, 27);
    }
    return destination.contains(cursor + hotSpot);
}

QRect XEVImageViewCtrl::CursorArea(bool drawnImageOnly) const
{
    QRect area = destination;
    if (drawnImageOnly) {
        area = area.intersected(QRect(destination.topLeft(), rendered_.size())).intersected(rect());
    }
    return QRect(mapToGlobal(area.topLeft()), area.size());
}

QPoint XEVImageViewCtrl::ClientToImage(QPoint client) const
{
    XEVLockedHelper locked(CurrentImage(), true);
    const FrameImageInfo* frame = ShownFrame(locked.helper);
    if (frame == nullptr) {
        return QPoint(sourceLeft, sourceTop);
    }
    return frame->ScreenToImage(client, OverlayView(nullptr));
}

XEVViewGeometry XEVImageViewCtrl::ComputeGeometry(int32_t clientWidth, int32_t clientHeight, int32_t imageWidth,
                                                  int32_t imageHeight, double aspect)
{
    XEVViewGeometry g;
    const int32_t W = clientWidth;
    const int32_t H = clientHeight;
    const int32_t iw = imageWidth;
    const int32_t ih = imageHeight;
    const double a = SaneAspect(aspect);
    g.aspect = a;
    if (W <= 0 || H <= 0 || iw <= 0 || ih <= 0 || Round(ih * a) <= 0) {
        return g;
    }
    int32_t left = sourceLeft;
    int32_t top = sourceTop;
    int32_t right = sourceRight;
    int32_t bottom = sourceBottom;
    const bool fit = zoomMode == kFit || zoomed == 0;
    if (fit) {
        const double byWidth = double(W) / iw;
        const double byHeight = double(H) / Round(ih * a);
        baseScale = byWidth <= byHeight ? byWidth : byHeight;
        left = 0;
        top = 0;
        right = iw;
        bottom = ih;
    }
    const double s = baseScale + zoomIncrement;
    if (!std::isfinite(s) || s <= 0.0) {
        return g;
    }
    g.scale = s;
    if (!fit) {
        const int32_t cx = (left + right) / 2;
        const int32_t cy = (top + bottom) / 2;
        const int32_t halfW = Round((W / 2) / s);
        const int32_t halfH = Round((H / 2) / a / s);
        left = std::max(cx - halfW, 0);
        right = std::min(cx + halfW, iw);
        top = std::max(cy - halfH, 0);
        bottom = std::min(cy + halfH, ih);
        // Grow until the client is filled or the image is covered, each direction alone.
        for (;;) {
            const bool growX = Round((right - left) * s) < W && (left > 0 || right < iw);
            const bool growY = Round((bottom - top) * a * s) < H && (top > 0 || bottom < ih);
            if (!growX && !growY) {
                break;
            }
            if (growX) {
                left = std::max(left - 1, 0);
                right = std::min(right + 1, iw);
            }
            if (growY) {
                top = std::max(top - 1, 0);
                bottom = std::min(bottom + 1, ih);
            }
        }
        // Leftover client pixels go to the source, alternately right then left.
        const auto widen = [](int32_t& low, int32_t& high, int32_t slack, int32_t limit) {
            bool toHigh = true;
            for (int32_t i = 0; i < slack; ++i) {
                if (toHigh ? high < limit - 1 : low <= 0) {
                    ++high;
                } else if (low > 0) {
                    --low;
                } else if (high < limit - 1) {
                    ++high;
                } else {
                    break;
                }
                toHigh = !toHigh;
            }
        };
        const int32_t dw = Round((right - left) * s);
        if (dw < W && right - left < iw && W - dw >= 2) {
            widen(left, right, W - dw, iw);
        }
        const int32_t dh = Round((bottom - top) * a * s);
        if (dh < H && bottom - top < ih && H - dh >= 2) {
            widen(top, bottom, H - dh, ih);
        }
    }
    right = std::min(right, left + iw);
    bottom = std::min(bottom, top + ih);
    const int32_t dw = Round((right - left) * s);
    const int32_t dh = Round((bottom - top) * a * s);
    int32_t x = (W - dw) / 2;
    int32_t y = (H - dh) / 2;
    if (keepPosition == 0) {
        x = dw > W ? 0 : (W - dw) / 2;
        y = dh > H ? 0 : (H - dh) / 2;
    }
    // Pan drags move the source from where the drag began, inside the image.
    if (GetLoadState().mouseTool.load() == 4 && zoomMode != kFit && dragInProgress != 0 && dragOffset != QPoint(0, 0)) {
        const int32_t w = std::min(panStart.width(), iw);
        const int32_t h = std::min(panStart.height(), ih);
        int32_t l = panStart.left() - Round(dragOffset.x() / s);
        int32_t t = panStart.top() - Round(dragOffset.y() / a / s);
        l = std::clamp(l, 0, iw - w);
        t = std::clamp(t, 0, ih - h);
        left = l;
        top = t;
        right = l + w;
        bottom = t + h;
    }
    g.sourceLeft = left;
    g.sourceTop = top;
    g.sourceRight = right;
    g.sourceBottom = bottom;
    g.destination = QRect(std::max(x, 0), std::max(y, 0), dw, dh);
    g.drawable = dw > 0 && dh > 0;
    return g;
}

XEVOverlayViewInfo XEVImageViewCtrl::BuildCornerTexts() const
{
    XEVLockedHelper locked(CurrentImage(), true);
    const FrameImageInfo* frame = ShownFrame(locked.helper);
    if (frame == nullptr) {
        return {};
    }
    XEVOverlayViewInfo info = frame->viewInfo;
    const int64_t per = tileMode != 0 ? std::max(cellsPerPage, 1) : 1;
    const auto ceilDiv = [per](int64_t v) { return v <= 0 ? v / per : (v + per - 1) / per; };
    const int64_t length = GetCineLength();
    const int64_t position = GetPosition();
    // Every tile of a page names the page its first tile is on, so that all agree; the page
    // that holds the last position is the last page wherever it starts.
    const int64_t first = std::max<int64_t>(position - std::clamp<int64_t>(pagePlace, 0, per - 1), 1);
    const int64_t page = position <= 0 ? ceilDiv(position) : ceilDiv(first + per - 1 >= length ? length : first);
    info.pageText = QString::asprintf("%ld of %ld", long(page), long(ceilDiv(length)));
    info.zoomText = QString::asprintf("%.2f", baseScale + zoomIncrement);
    info.windowCenterText = QString::asprintf("%.2f", frame->windowCenter);
    info.windowWidthText = QString::asprintf("%.2f", frame->windowWidth);
    info.dfovText = QString::asprintf("%.2f x %.2f", 0.0, 0.0);
    if (dragInProgress == 0) {
        info.TrimZoom();
        info.TrimWindowCenter();
        info.TrimWindowWidth();
    }
    return info;
}

bool XEVImageViewCtrl::RenderCurrent(XEVVEKHelper* helper, FrameImageInfo* frame, int32_t frameIndex,
                                     int32_t clientWidth, int32_t clientHeight)
{
    fullRepaint = 0;
    const XEVViewGeometry g = ComputeGeometry(clientWidth, clientHeight, helper->GetImageWidth(),
                                              helper->GetImageHeight(), frame->EffectiveVerticalScale());
    if (!g.drawable) {
        rendered_ = QImage();
        return false;
    }
    sourceLeft = g.sourceLeft;
    sourceTop = g.sourceTop;
    sourceRight = g.sourceRight;
    sourceBottom = g.sourceBottom;
    if (GetLoadState().mouseTool.load() == 1 && dragInProgress != 0) {
        double centreStep = 1.0;
        double widthStep = 1.0;
        helper->GetWindowStep(centreStep, widthStep);
        frame->SetWindow(windowCenter + dragOffset.y() * centreStep, windowWidth - dragOffset.x() * widthStep, 0);
    }
    helper->SetViewSize(g.destination.width(), g.destination.height());
    helper->scaleMode = zoomIncrement == 0.0 ? 1 : 2;
    helper->SetCropRect(g.sourceLeft, g.sourceTop, g.sourceRight - g.sourceLeft, g.sourceBottom - g.sourceTop);
    const double s = g.scale;
    destination = QRect(g.destination.x(), g.destination.y(), std::min(Round(helper->cropWidth * s), clientWidth),
                        std::min(Round(helper->cropHeight * g.aspect * s), clientHeight));
    if (!(frame->windowWidth >= 1.0)) {
        frame->windowWidth = 1.0;
    }

    // A paint that changes nothing the renderer reads keeps the image it has.
    const RenderKey key{helper,
                        frame,
                        frame->Data(),
                        frameIndex,
                        helper->cropX,
                        helper->cropY,
                        helper->cropWidth,
                        helper->cropHeight,
                        helper->viewWidth,
                        helper->viewHeight,
                        helper->scaleMode,
                        helper->invertFlag,
                        frame->windowCenter,
                        frame->windowWidth};
    if (!rendered_.isNull() && key == renderKey_ && invertPending == 0) {
        return true;
    }
    renderKey_ = RenderKey();
    if (helper->RenderToView(frame->Data(), frame->Size(), frameIndex) == 0 ||
        helper->GetDisplayBits(frameIndex) == nullptr) {
        rendered_ = QImage();
        helper->FreeDisplayBuffer();
        frame->displayBuffer.Free();
        return false;
    }
    const bool converted = XEVDibToImage(frame->displayBuffer.Data(), frame->displayBuffer.Size(), rendered_);
    helper->FreeDisplayBuffer();
    frame->displayBuffer.Free();
    if (!converted) {
        // The previous image stays, as when a bitmap cannot be made.
        return !rendered_.isNull();
    }
    renderKey_ = key;
    return true;
}

void XEVImageViewCtrl::DrawProgress(QPainter& painter, int32_t clientWidth, int32_t clientHeight) const
{
    const int64_t total = progressTotal.load();
    if (total <= 0) {
        return;
    }
    const int64_t length = int64_t(clientWidth - 4) * loadedCount / total;
    if (length <= 2) {
        return;
    }
    // Two lines 2 pixels thick, ending at row H - 5 and row H - 3.
    for (int32_t y : {clientHeight - 5, clientHeight - 3}) {
        painter.fillRect(QRect(2, y - 1, int32_t(length) - 2, 2), kProgress);
    }
}

void XEVImageViewCtrl::DrawFrames(QPainter& painter, int32_t clientWidth, int32_t clientHeight) const
{
    if (tileMode == 0 || active != 0) {
        const QColor& colour = active != 0 ? kActiveFrame : kInactiveFrame;
        DrawOutline(painter, clientWidth, clientHeight, 0, colour);
        if (active != 0) {
            DrawOutline(painter, clientWidth, clientHeight, 1, colour);
            DrawOutline(painter, clientWidth, clientHeight, 2, colour);
        }
    }
    if (selected != 0) {
        DrawOutline(painter, clientWidth, clientHeight, 0, Qt::white);
    }
}

void XEVImageViewCtrl::paintEvent(QPaintEvent* event)
{
    XEVLoadState& state = GetLoadState();
    state.BeginPaint();
    const int32_t W = width();
    const int32_t H = height();
    QPainter painter(this);
    painter.setClipRect(rect());

    ImageInfo* image = CurrentImage();
    // The inversion of the set follows its first grey image. Its flag is read before this
    // image's lock is taken: two images' locks are never held at once, whichever is current.
    int32_t setInvert = -1;
    if (image != nullptr) {
        for (const auto& [key, other] : images_) {
            std::lock_guard<PlatRecursiveLock> guard(other->GetLock());
            const XEVVEKHelper* first = other->GetHelper();
            if (first != nullptr && first->colorFlag == 0) {
                setInvert = first->invertFlag;
                break;
            }
        }
    }
    XEVLockedHelper locked(image, true);
    XEVVEKHelper* helper = locked.helper;
    const int32_t frameIndex = ResolveFrame(helper);
    const bool hasPixels = helper != nullptr && helper->IsFrameLoaded(frameIndex);

    // A frame skipped for lack of memory is loaded once loading has ended; a file that
    // failed for another reason is not tried again at every paint.
    const bool failedBefore =
        helper != nullptr && helper->statusCode != 0 && helper->statusCode != XEVVEKHelper::kStatusOutOfMemory;
    const bool firstToCome = image == nullptr && currentImage == -1 && !images_.empty();
    if (state.memoryShortStudy.load() != 0 && loadingUnderWay.load() == 0 && !hasPixels &&
        (image != nullptr || firstToCome) && state.memoryShort.load() != 1 && !failedBefore) {
        XEVPostMessage(Handle(), WM_XEV_LOAD_NOW);
    }

    FrameImageInfo* frame = nullptr;
    bool drawImage = false;
    if (!hasPixels) {
        rendered_ = QImage();
        renderKey_ = RenderKey();
    } else {
        if (setInvert >= 0 && setInvert != helper->invertFlag) {
            helper->invertFlag = helper->colorFlag != 0 ? 0 : (helper->invertFlag != 0 ? 0 : 1);
        }
        // Only a paint of the progress strip alone may skip the image: a grab, or an update
        // merged with the strip's, covers more of the cell and must draw it all.
        const bool stripOnly = QRect(0, H - kProgressStripHeight, W, kProgressStripHeight).contains(event->rect());
        if (fullRepaint == 0 && progressOnly != 0 && invertPending == 0 && stripOnly) {
            DrawProgress(painter, W, H);
            progressOnly = 0;
            state.EndPaint();
            return;
        }
        progressOnly = 0;
        frame = helper->GetFrame(frameIndex);
        if (frame == nullptr) {
            state.EndPaint();
            return;
        }
        drawImage = RenderCurrent(helper, frame, frameIndex, W, H);
    }

    if (!drawImage || rendered_.isNull()) {
        painter.fillRect(rect(), Qt::black);
    } else {
        for (const QRect& r : QRegion(rect()).xored(QRegion(destination))) {
            painter.fillRect(r, Qt::black);
        }
        painter.drawImage(destination.topLeft(), rendered_,
                          QRect(0, 0, std::min(destination.width(), rendered_.width()),
                                std::min(destination.height(), rendered_.height())));
    }
    if (helper != nullptr && frame != nullptr) {
        const double s = baseScale + zoomIncrement;
        const QPoint origin(sourceLeft, sourceTop);
        frame->DrawAll(painter, origin, destination.topLeft(), s);
        if (referenceLineShown != 0) {
            frame->DrawReferenceLine(painter, XEVRect{0, 0, W, H}, origin, destination.topLeft(), s);
        }
        if (cornerTextsShown != 0) {
            locked.Unlock();
            BuildCornerTexts().Draw(painter, rect(), dragTool);
        }
    }
    if (progressShown.load() != 0) {
        DrawProgress(painter, W, H);
    }
    DrawFrames(painter, W, H);
    state.EndPaint();
    invertPending = 0;
}

void XEVImageViewCtrl::OnCommand(int32_t id)
{
    if (OnToolCommand(id)) {
        return;
    }
    if (id == ID_XEV_SHOW_REPORT) {
        XEVTitlePaneState* pane = XEVGetTitlePane();
        if (pane == nullptr || pane->IsReportEnabled()) {
            XEVRegisterMessageIds();
            XEVMessageEvent event(WM_XEV_SHOW_REPORT, 0, 0);
            QCoreApplication::sendEvent(window(), &event);
        }
        return;
    }
    if (id == ID_XEV_INVERT) {
        if (active == 0) {
            return;
        }
        for (const auto& [key, image] : images_) {
            std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
            if (XEVVEKHelper* helper = image->GetHelper()) {
                helper->invertFlag = helper->colorFlag != 0 ? 0 : (helper->invertFlag != 0 ? 0 : 1);
            }
        }
        invertPending = 1;
        update();
        PostToParent(WM_XEV_INVERT, XEVWParam(controlId_), 0);
    }
}
