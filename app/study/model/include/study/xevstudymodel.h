#pragma once

// The study model: patients > studies > series > images, the decoded frames below each
// image (held by its XEVVEKHelper), and the grid sizes of the image area.

#include <QString>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/platlock.h"
#include "shell/xevmessage.h"
#include "study/xevstagedread.h"
#include "viewer/xevimagememory.h"
#include "viewer/xevoverlaymanager.h"
#include "viewer/xevoverlayviewinfo.h"

class XEVVEKHelper;
struct XEVAheadValues;

class NonCopyable {
protected:
    NonCopyable() = default;
    ~NonCopyable() = default;

public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;
};

// One file of the medium, or one frame of a multi-frame file split into entries.
class ImageInfo : private NonCopyable {
public:
    ImageInfo();
    virtual ~ImageInfo();

    void SetRecordText(const QString& text) { sopInstanceUid = text; }
    void SetFilePath(const QString& text) { filePath = text; }
    bool IsMultiFrame() const;
    // Loads one frame through the helper (made on first use); frame in/out as for
    // XEVVEKHelper::LoadImage. Posts WM_XEV_IMAGE_LOADED to notify when one is given. The
    // file is read before the image's lock is taken, in blocks; a stop set meanwhile ends the
    // call with 0 and no notice. A background load lets loads for the screen read first.
    // One load of an image runs at a time; a file or frame that failed is not read again (forced
    // only skips the memory test): the call answers 0 with the failure kept, and posts the
    // notice. Only a new helper (a new selection of the study list, a new disc) reads it again.
    int32_t LoadImage(int32_t& frame, const XEVWindowHandle& notify, int32_t forced,
                      const std::atomic<int32_t>* stop = nullptr, XEVReadPriority priority = XEVReadPriority::OnScreen);

    // The helper may be replaced by a loader thread while another thread reads it, so each
    // read, replacement and deletion takes the image's lock. A caller that uses the helper
    // beyond one call holds the lock (Lock/Unlock or std::lock_guard on GetLock()).
    XEVVEKHelper* GetHelper() const;
    // Deletes the old helper (when it is another one) and keeps the new one.
    void SetHelper(XEVVEKHelper* helper);
    void FreeHelper() { SetHelper(nullptr); }
    PlatRecursiveLock& GetLock() const { return lock_; }

    QString sopInstanceUid;
    int32_t instanceNumber = 0;
    // Instance Number held a number: an image whose number is no value sorts after these.
    bool numbered = true;
    QString filePath;
    QString loadedPath;
    // Where the job worker reports this image, and a load that skips the memory test; the
    // worker reads both under GetLock(), so writers take it too.
    XEVWindowHandle notifyWindow;
    int32_t forced = 0;
    int32_t startFrame = 0;   // -1: the job runner skips the entry
    // A file of more frames than entries are made for, listed as this one entry: its frames
    // are stepped within it, and decoded as they are shown, even where the other files of
    // the disc have an entry per frame.
    bool wholeMultiFrame = false;
    // Frames of the file as its last successful load found them, 0 before; read without the
    // lock, so a cell laying out a series never waits for a decode under way.
    std::atomic<int32_t> fileFrames{0};
    // The disc shown when the record was made (XEVLoadState::CurrentDisc), or the one a list
    // took it for when it was made ahead of its disc: its failures are told only while that
    // disc is. Set before any reader is given the record.
    uint64_t disc;

private:
    // What a load reads, settled under the lock before the medium is read without it.
    struct LoadPlan {
        QString path;
        XEVFrameSpan span;
        bool headerKnown = false;
        bool loaded = false;
        // The values the decode takes, read before the lock; with a later frame, the header lent.
        std::unique_ptr<XEVAheadValues> ahead;
    };
    // False when there is nothing to load (no path, or memory short: then said to notify).
    bool PlanLoad(int32_t& frame, int32_t forced, LoadPlan& plan, const XEVWindowHandle& notify);
    // Ends the plan's lend, however its load went: the header goes back to the helper that lent
    // it; what the helper cannot keep is freed once the lock is released.
    void EndLend(LoadPlan& plan);
    bool MakeHelper();

    // The file failed as a whole, or that frame of it did: the failure is made the helper's
    // status again, for the notice.
    bool FailedBefore(int32_t frame) const;

    mutable PlatRecursiveLock lock_;
    // Held for a whole load, before lock_: two threads that reach the image together (the job
    // worker and a cell's loader) read its file once, the second finding what the first left.
    std::mutex loadLock_;
    XEVVEKHelper* vekHelper_ = nullptr;
};

class SeriesInfo : private NonCopyable {
public:
    SeriesInfo() = default;
    virtual ~SeriesInfo();

    void ResetImageViews();
    void FreeImageHelpers();
    void SetSeriesInstanceUid(const QString& text) { seriesInstanceUid = text; }
    void SetDescription(const QString& text) { description = text; }

    std::vector<ImageInfo*> images;
    QString seriesInstanceUid;
    int32_t number = 0;
    QString modality;
    QString description;
};

class StudyInfo : private NonCopyable {
public:
    StudyInfo() = default;
    virtual ~StudyInfo();

    void ResetImageViews();
    void FreeImageHelpers();
    int32_t CountNonReportSeries() const;
    int32_t GetSeriesCount() const { return static_cast<int32_t>(series.size()); }
    void SetModalities(const QString& text) { modalities = text; }

    std::vector<SeriesInfo*> series;
    QString studyInstanceUid;
    QString studyDate;
    QString modalities;
};

class PatientInfo : private NonCopyable {
public:
    PatientInfo() = default;
    virtual ~PatientInfo();

    void Clear();
    void SetAge(const QString& text);

    std::vector<StudyInfo*> studies;
    QString nameIdeographic;
    QString nameAlphabetic;
    QString birthDate;
    QString sex;
    QString ageText;
    int32_t age = 0;
    QString patientId;
};

// Stable sorts: entries with equal keys keep the disc's record order.
void SortImages(SeriesInfo* series);
void SortSeries(StudyInfo* study);

// One decoded frame with its annotations and window.
class FrameImageInfo : public XEVImageMemory, public XEVOverlayManager {
public:
    FrameImageInfo() = default;
    ~FrameImageInfo() override = default;

    // Clamped to the ranges; with setDefault the values (and the defaults) are taken as given.
    void SetWindow(double centre, double width, int32_t setDefault);
    // Ranges of a bits-deep sample, widened to hold the current centre and width.
    void SetWindowRange(int32_t bits, int32_t isUnsigned);
    void UpdateWindowStep();

    XEVImageMemory displayBuffer;
    // The values the pixel-value readout reads where memory cannot hold them exactly (a
    // fractional or clamping rescale, or a VOI LUT); empty otherwise.
    XEVImageMemory probeBuffer;
    QString text1;
    double position[3] = {0, 0, 0};
    double orientation[6] = {0, 0, 0, 0, 0, 0};
    // Position and orientation were both read whole: only then does the slice lie anywhere.
    bool placed = false;
    int32_t value1 = 0;
    XEVOverlayViewInfo viewInfo;
    double windowCenter = 0;
    double windowCenterMin = 0;
    double windowCenterMax = 0;
    double windowCenterDefault = 0;
    double windowCenterStep = 1.0;
    double windowWidth = 1.0;
    double windowWidthMin = 1.0;
    double windowWidthMax = 1.0;
    double windowWidthDefault = 1.0;
    double windowWidthStep = 1.0;
    double rescaleSlope = 1.0;
    double rescaleIntercept = 0;
    QString rescaleType;
    QString frameOfReferenceUid;
    std::optional<int32_t> instanceNumber;
};

class RowColInfo {
public:
    RowColInfo() = default;
    RowColInfo(int32_t r, int32_t c) : rows(r), cols(c) {}
    virtual ~RowColInfo() = default;

    int32_t rows = 0;
    int32_t cols = 0;
};

struct XEVLayoutEntry {
    int32_t rows;
    int32_t cols;
};
constexpr int32_t kLayoutTableSize = 8;
extern const XEVLayoutEntry LayoutTable[kLayoutTableSize];

// Polymorphic payload a layout owns for its image window.
class XEVLayoutObject {
public:
    virtual ~XEVLayoutObject() = default;
};

class LayoutInfo : public RowColInfo {
public:
    // 1 x 1, table index 0 (image window).
    LayoutInfo();
    // 0 x 0, table index -1 (status pane); the argument only selects this form.
    explicit LayoutInfo(bool empty);
    ~LayoutInfo() override = default;
    LayoutInfo(const LayoutInfo&) = delete;
    LayoutInfo& operator=(const LayoutInfo&) = delete;

    void SetRowCol(int32_t r, int32_t c);
    // The first table entry with room for n items; 6 x 6 beyond 36.
    void FitCount(int32_t n);
    // "%d x %d" of the table entry; -1 means the current one; empty when there is none.
    QString GetText(int32_t index) const;
    int32_t GetRowsNeeded() const;

    std::map<int32_t, int32_t> cellMap;
    int32_t tableIndex = 0;
    int32_t itemCount = 0;
    int32_t windowValue = 0;
    std::unique_ptr<XEVLayoutObject> object;
};
