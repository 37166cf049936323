#include "study/xevvekhelper.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "study/xevloadstate.h"

namespace {
// Loader threads insert frames while the view reads them: every access takes the lock.
using Guard = std::lock_guard<PlatRecursiveLock>;
}   // namespace

XEVVEKHelper::XEVVEKHelper() : manager(XEVLoadMemoryBudget()), dicomInfo(&manager), header(&manager)
{
}

XEVVEKHelper::~XEVVEKHelper()
{
    ReleaseAll();
    ReleaseHeader();
}

void XEVVEKHelper::ReleaseAll()
{
    Guard guard(lock);
    DeleteFrames();
    frameCount = 0;
    currentFrame = 0;
    allFramesLoaded = 0;
    cropX = cropY = cropWidth = cropHeight = 0;
    viewValue = 0;
    viewWidth = viewHeight = 0;
    for (int i = 1; i < 6; ++i) {
        cornerTexts[i].clear();
    }
    ClearStatus();
    notifyWindow = XEVWindowHandle();
    viewFlag = 0;
    manager.clear();
}

void XEVVEKHelper::DeleteFrames()
{
    Guard guard(lock);
    for (auto& entry : frames) {
        entry.second->Free();
        delete entry.second;
    }
    frames.clear();
}

void XEVVEKHelper::ClearStatus()
{
    statusCode = 0;
    statusText.clear();
}

void XEVVEKHelper::ResetView()
{
    Guard guard(lock);
    ClearAnnotations();
    ResetWindows();
    currentFrame = 0;
    if (header.is_valid()) {
        cropX = cropY = 0;
        cropWidth = viewWidth = GetImageWidth();
        cropHeight = viewHeight = GetImageHeight();
    }
    // A file that failed for another reason than memory keeps its failure, so that showing it
    // again does not read it again on its own.
    if (statusCode == kStatusOutOfMemory) {
        ClearStatus();
    }
    viewFlag = 0;
}

FrameImageInfo* XEVVEKHelper::GetFrame(int32_t index) const
{
    Guard guard(lock);
    if (index == kIndexCurrent) {
        index = currentFrame;
    }
    auto found = frames.find(index);
    return found == frames.end() ? nullptr : found->second;
}

FrameImageInfo* XEVVEKHelper::GetCurrentFrame() const
{
    Guard guard(lock);
    return GetFrame(currentFrame);
}

uint8_t* XEVVEKHelper::GetFrameBits(int32_t index) const
{
    Guard guard(lock);
    FrameImageInfo* frame = GetFrame(index);
    return frame == nullptr ? nullptr : frame->Data();
}

bool XEVVEKHelper::IsFrameLoaded(int32_t index) const
{
    Guard guard(lock);
    return GetFrameBits(index == -1 ? frameCount - 1 : index) != nullptr;
}

uint8_t* XEVVEKHelper::GetDisplayBits(int32_t index) const
{
    Guard guard(lock);
    FrameImageInfo* frame = GetFrame(index);
    return frame == nullptr ? nullptr : frame->displayBuffer.Data();
}

void XEVVEKHelper::StoreDisplayBuffer(const void* data, uint32_t size, int32_t index)
{
    Guard guard(lock);
    FrameImageInfo* frame = GetFrame(index);
    if (frame == nullptr) {
        return;
    }
    frame->displayBuffer.CopyFrom(data, size);
    displayData = frame->displayBuffer.Data();
    displaySize = frame->displayBuffer.Size();
}

void XEVVEKHelper::FreeDisplayBuffer()
{
    Guard guard(lock);
    if (FrameImageInfo* frame = GetCurrentFrame()) {
        frame->displayBuffer.Free();
    }
    displayData = nullptr;
    displaySize = 0;
}

void XEVVEKHelper::SetCurrentFrame(int32_t index)
{
    Guard guard(lock);
    if (index >= 0 && index < frameCount) {
        currentFrame = index;
    }
}

void XEVVEKHelper::NextFrame()
{
    Guard guard(lock);
    SetCurrentFrame(currentFrame + 1);
}

void XEVVEKHelper::PrevFrame()
{
    Guard guard(lock);
    SetCurrentFrame(currentFrame - 1);
}

int32_t XEVVEKHelper::GetImageWidth() const
{
    Guard guard(lock);
    return header.is_valid() ? static_cast<int32_t>(header.width()) : 0;
}

int32_t XEVVEKHelper::GetImageHeight() const
{
    Guard guard(lock);
    return header.is_valid() ? static_cast<int32_t>(header.height()) : 0;
}

void XEVVEKHelper::SetCropRect(int32_t x, int32_t y, int32_t w, int32_t h)
{
    Guard guard(lock);
    if (!header.is_valid()) {
        return;
    }
    // In 64 bits: x + w must not wrap.
    const int64_t width = GetImageWidth();
    const int64_t height = GetImageHeight();
    if (x >= 0 && x < width) {
        cropX = x;
    }
    if (y >= 0 && y < height) {
        cropY = y;
    }
    if (w > 0 && int64_t(x) + w <= width) {
        cropWidth = w;
    }
    if (h > 0 && int64_t(y) + h <= height) {
        cropHeight = h;
    }
}

void XEVVEKHelper::SetViewSize(int32_t w, int32_t h)
{
    Guard guard(lock);
    if (w > 0) {
        viewWidth = w;
    }
    if (h > 0) {
        viewHeight = h;
    }
}

void XEVVEKHelper::GetWindow(double& centre, double& width) const
{
    Guard guard(lock);
    if (const FrameImageInfo* frame = GetCurrentFrame()) {
        centre = frame->windowCenter;
        width = frame->windowWidth;
    }
}

void XEVVEKHelper::GetWindowStep(double& centreStep, double& widthStep) const
{
    Guard guard(lock);
    if (const FrameImageInfo* frame = GetCurrentFrame()) {
        centreStep = frame->windowCenterStep;
        widthStep = frame->windowWidthStep;
    }
}

void XEVVEKHelper::SetWindow(int32_t index, double centre, double width)
{
    Guard guard(lock);
    if (index == kIndexAllFrames) {
        for (auto& entry : frames) {
            entry.second->SetWindow(centre, width, 0);
        }
    } else if (FrameImageInfo* frame = GetFrame(index)) {
        frame->SetWindow(centre, width, 0);
    }
}

void XEVVEKHelper::ResetWindows()
{
    Guard guard(lock);
    for (auto& entry : frames) {
        entry.second->windowCenter = entry.second->windowCenterDefault;
        entry.second->windowWidth = entry.second->windowWidthDefault;
    }
}

void XEVVEKHelper::ClearAnnotations()
{
    Guard guard(lock);
    for (auto& entry : frames) {
        entry.second->ClearAll();
    }
}

void XEVVEKHelper::AddFrame(int32_t index, FrameImageInfo* frame)
{
    Guard guard(lock);
    FrameImageInfo*& slot = frames[index];
    if (slot != frame) {
        delete slot;
    }
    slot = frame;
}
