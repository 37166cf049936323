#include "study/xevstudymodel.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "study/xevloadstate.h"
#include "study/xevvekhelper.h"

ImageInfo::ImageInfo() : disc(GetLoadState().CurrentDisc())
{
}

ImageInfo::~ImageInfo()
{
    FreeHelper();
}

bool ImageInfo::IsMultiFrame() const
{
    std::lock_guard<PlatRecursiveLock> guard(lock_);
    return vekHelper_ != nullptr && vekHelper_->frameCount > 1;
}

XEVVEKHelper* ImageInfo::GetHelper() const
{
    std::lock_guard<PlatRecursiveLock> guard(lock_);
    return vekHelper_;
}

void ImageInfo::SetHelper(XEVVEKHelper* helper)
{
    std::lock_guard<PlatRecursiveLock> guard(lock_);
    if (vekHelper_ != helper) {
        delete vekHelper_;
    }
    vekHelper_ = helper;
}

SeriesInfo::~SeriesInfo()
{
    for (ImageInfo* image : images) {
        delete image;
    }
    images.clear();
}

void SeriesInfo::ResetImageViews()
{
    for (ImageInfo* image : images) {
        std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
        if (XEVVEKHelper* helper = image->GetHelper()) {
            helper->ResetView();
        }
    }
}

void SeriesInfo::FreeImageHelpers()
{
    for (ImageInfo* image : images) {
        image->FreeHelper();
    }
}

StudyInfo::~StudyInfo()
{
    for (SeriesInfo* s : series) {
        delete s;
    }
    series.clear();
}

void StudyInfo::ResetImageViews()
{
    for (SeriesInfo* s : series) {
        s->ResetImageViews();
    }
}

void StudyInfo::FreeImageHelpers()
{
    for (SeriesInfo* s : series) {
        s->FreeImageHelpers();
    }
}

int32_t StudyInfo::CountNonReportSeries() const
{
    return static_cast<int32_t>(
        std::count_if(series.begin(), series.end(), [](const SeriesInfo* s) { return s->modality != u"SR"; }));
}

PatientInfo::~PatientInfo()
{
    Clear();
}

void PatientInfo::Clear()
{
    for (StudyInfo* s : studies) {
        delete s;
    }
    studies.clear();
    nameIdeographic.clear();
    nameAlphabetic.clear();
    birthDate.clear();
    sex.clear();
    ageText.clear();
    patientId.clear();
    age = 0;
}

void PatientInfo::SetAge(const QString& text)
{
    ageText = text;
    int32_t value = 0;
    for (int i = 0; i < std::min<qsizetype>(3, text.size()) && text[i].isDigit() && text[i].unicode() < 0x80; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
    }
    age = value;
}

void SortImages(SeriesInfo* series)
{
    std::stable_sort(series->images.begin(), series->images.end(), [](const ImageInfo* a, const ImageInfo* b) {
        return a->numbered != b->numbered ? a->numbered : a->numbered && a->instanceNumber < b->instanceNumber;
    });
}

void SortSeries(StudyInfo* study)
{
    std::stable_sort(study->series.begin(), study->series.end(),
                     [](const SeriesInfo* a, const SeriesInfo* b) { return a->number < b->number; });
}

void FrameImageInfo::SetWindow(double centre, double width, int32_t setDefault)
{
    if (setDefault != 0) {
        windowCenter = windowCenterDefault = centre;
        windowWidth = windowWidthDefault = width;
        return;
    }
    windowCenter = std::clamp(centre, windowCenterMin, std::max(windowCenterMin, windowCenterMax));
    windowWidth = std::clamp(width, windowWidthMin, std::max(windowWidthMin, windowWidthMax));
}

void FrameImageInfo::SetWindowRange(int32_t bits, int32_t isUnsigned)
{
    // In double: 31 or more bits must not overflow.
    const double full = std::ldexp(1.0, bits);
    windowWidthMin = 1.0;
    windowWidthMax = 2.0 * full;
    if (isUnsigned != 0) {
        windowCenterMin = 0;
        windowCenterMax = full - 1.0;
    } else {
        const double half = std::ldexp(1.0, bits - 1);
        windowCenterMin = -half;
        windowCenterMax = half - 1.0;
    }
    if (windowWidth > windowWidthMax) {
        windowWidthMax = windowWidth;
    }
    if (windowCenter < windowCenterMin) {
        windowCenterMin = windowCenter;
    } else if (windowCenter > windowCenterMax) {
        windowCenterMax = windowCenter;
    }
}

void FrameImageInfo::UpdateWindowStep()
{
    const double step = std::fabs(2.0 * windowWidth * rescaleSlope + rescaleIntercept) / 2048.0;
    windowCenterStep = step;
    windowWidthStep = step;
}

const XEVLayoutEntry LayoutTable[kLayoutTableSize] = {{1, 1}, {1, 2}, {2, 2}, {2, 3}, {3, 3}, {4, 4}, {5, 5}, {6, 6}};

LayoutInfo::LayoutInfo() : RowColInfo(1, 1), tableIndex(0)
{
}

LayoutInfo::LayoutInfo(bool) : RowColInfo(0, 0), tableIndex(-1)
{
}

void LayoutInfo::SetRowCol(int32_t r, int32_t c)
{
    rows = r;
    cols = c;
    tableIndex = -1;
    for (int32_t i = 0; i < kLayoutTableSize; ++i) {
        if (LayoutTable[i].rows == r && LayoutTable[i].cols == c) {
            tableIndex = i;
            break;
        }
    }
}

void LayoutInfo::FitCount(int32_t n)
{
    int32_t index = kLayoutTableSize - 1;
    for (int32_t i = 0; i < kLayoutTableSize; ++i) {
        if (n <= LayoutTable[i].rows * LayoutTable[i].cols) {
            index = i;
            break;
        }
    }
    rows = LayoutTable[index].rows;
    cols = LayoutTable[index].cols;
    tableIndex = index;
}

QString LayoutInfo::GetText(int32_t index) const
{
    if (index == -1) {
        index = tableIndex;
    }
    if (index < 0 || index >= kLayoutTableSize) {
        return QString();
    }
    return QStringLiteral("%1 x %2").arg(LayoutTable[index].rows).arg(LayoutTable[index].cols);
}

int32_t LayoutInfo::GetRowsNeeded() const
{
    if (cols == 0) {
        return 0;
    }
    if (itemCount == 0) {
        return rows;
    }
    return std::max(rows, (itemCount + cols - 1) / cols);
}
