#pragma once

// The DICOM access helper: as a loader it fills the study model from a DICOMDIR or reads an
// SR document; as the owner of one image it keeps the file's decoded frames and view state.

#include <QString>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platlock.h"
#include "shell/xevmessage.h"
#include "study/xevreadmanager.h"
#include "study/xevstagedread.h"
#include "study/xevstudymodel.h"
#include "vek_dicomdirinfo.h"
#include "vek_dicominfo.h"
#include "vek_header.h"
#include "vek_samplerange.h"

// The text record of one SR document.
struct ReportInfo {
    QString patientName;
    QString patientId;
    QString birthDate;
    QString accessionNumber;
    QString studyDate;
    QString studyTime;
    QString procedureDescription;
    QString reportText;
};

// What one DICOMDIR may bring into memory, so that the whole viewer stays under 512 MiB on
// any disc. Its records read and entries listed (a file listed frame by frame counts an entry
// per frame): 50,000 patients of one image each (200,000 records) fit.
constexpr uint64_t kXEVDicomDirRecordLimit = 200000;
// And the memory its read takes, counted where it is allocated, whatever its shape: at most
// kXEVDicomDirMemoryBudget through the read's manager, of which the parsed elements take at
// most kXEVDicomDirElementBudget and the records the rest. 50,000 patients of one image each
// took 275 MB of elements and 425 MB in all. The file is read as far as these allow, however
// long it is: of a record only the elements its fields come from are read, and of those only
// values of at most kXEVDicomDirValueLength, of a longer text its first bytes (cut as a file's
// own texts are, DicomTextValue); the rest (icons, long or private values) stays in the file.
// Past either limit the records read whole are listed and the rest are not, and the load says
// which limit it met (dicomDirCut).
constexpr uint64_t kXEVDicomDirMemoryBudget = uint64_t(432) << 20;
constexpr uint64_t kXEVDicomDirElementBudget = uint64_t(320) << 20;
constexpr uint32_t kXEVDicomDirValueLength = 1024;
// dicomDirCut's bits: the limit that left records out.
constexpr int32_t kXEVDicomDirCutRecords = 1;
constexpr int32_t kXEVDicomDirCutMemory = 2;
// Not limits: images whose files a symbolic link places outside the disc, or reaches through a
// link to nothing or a loop of links, were left out; the list says which in their own words.
constexpr int32_t kXEVDicomDirLinkedOut = 4;
constexpr int32_t kXEVDicomDirLinkDangling = 8;
constexpr int32_t kXEVDicomDirLinkLoop = 16;
constexpr int32_t kXEVDicomDirLinks = kXEVDicomDirLinkedOut | kXEVDicomDirLinkDangling | kXEVDicomDirLinkLoop;
constexpr uint32_t kXEVLinkedOutMessage = 10046;
constexpr uint32_t kXEVDanglingLinkMessage = 10048;
constexpr uint32_t kXEVLinkLoopMessage = 10049;
// The messages of the link bits of a cut, in the order of the bits.
std::vector<uint32_t> XEVLinkMessages(int32_t cut);
// An archive's member stored as a symbolic link: refused, never followed.
constexpr uint32_t kXEVLinkMemberMessage = 10047;
// Tests lower both to reach a cut with a small DICOMDIR; 0 restores the constant.
void XEVSetDicomDirMemoryBudget(uint64_t bytes, uint64_t elementBytes);
// The budget in force, as the list names it.
uint64_t XEVDicomDirMemoryBudget();

// What one SR document's read may hold at once, through its manager: the parsed elements (at
// most three quarters of it; the items read whole past that are kept, as in a file cut short)
// and the text made from them, with what the text box takes for each of its lines. A report
// past it shows its text as far as it fits, then message 10045.
constexpr uint64_t kXEVReportMemoryBudget = uint64_t(128) << 20;
// Tests lower it to reach a cut with a small report; 0 restores the constant.
void XEVSetReportMemoryBudget(uint64_t bytes);
// The most any report read held through its manager since the last call.
uint64_t XEVTakeReportMemoryPeak();

// Value Types that give text, with the element each takes its value from.
struct SRValueTypeRow {
    const char16_t* name;
    uint32_t group;
    uint32_t element;
};
constexpr int32_t kSRValueTypeCount = 7;
extern const SRValueTypeRow SRValueTypeTable[kSRValueTypeCount];

// The text of the content items below item (the document's top level when item is null).
QString BuildReportText(const VEK_DICOMInfo& info, const VEK_DICOMTagObj* item);
// ISO 2022 JIS escape sequences decoded to text (through Shift-JIS); shorter than 3 bytes:
// unchanged.
QString ConvertJisName(const QString& text);

class XEVOverlaySettingInfoItem;
class XEVOverlaySettingInfo;
class XEVOverlayViewInfo;

class XEVThread;
class XEVDiscAccount;
struct XEVAheadValues;

// A header an image let go after its load: its share of the dataset first, then the parse that
// made it, freed by whoever holds this, outside the image's lock.
struct XEVLetGoHeader {
    std::unique_ptr<XEVParsedHeader> parsed;
    std::unique_ptr<VEK_DICOMTagObj> share;
};

// A DICOMDIR read whole by File Open's check, kept for the load that follows so that the file
// is parsed once; used by one thread at a time.
struct XEVParsedDicomDir;
using XEVParsedDicomDirPtr = std::shared_ptr<XEVParsedDicomDir>;

// What of a file's value becomes text, wherever it is read: a row, a bar or a corner shows a
// few hundred characters at most, and a DICOMDIR's records are read to the same length. Past
// it a value is cut and the rest stays in the file.
constexpr uint32_t kXEVTextValueLength = kXEVDicomDirValueLength;
// Window centre/width pairs looked at for the first usable one.
constexpr qsizetype kXEVWindowValueCount = 8;
// A corner's items and each item's value as shown, whatever a settings file lists or a value holds.
constexpr size_t kXEVCornerItemLimit = 128;
constexpr qsizetype kXEVCornerValueLength = 256;

// The element's value as text, of a longer value its first `bytes` bytes; empty when it is
// absent or unreadable. cut, when given, says whether the value went on past the bound.
QString DicomTextValue(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element,
                       uint32_t bytes = kXEVTextValueLength, bool* cut = nullptr);

// The first `count` decimal values of an element, each as GetTagText shows a decimal, joined
// by backslashes; empty when the element is absent or one of them cannot be read.
QString DecimalValuesText(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element, uint32_t count);

// Corner-text values of tag items. The value to show for a plain element, from the text
// GetTagText gave: one of its backslash-separated values (index 1 or less: the first).
QString SelectTagValue(const VEK_DICOMTagObj& info, const XEVOverlaySettingInfoItem& item, const QString& text);
// An element inside sequences, reached through the item's nested path, with the leaf's
// format, prefix and suffix; empty when any item or the element is missing.
QString SequenceTagValue(const VEK_DICOMTagObj& info, const XEVOverlaySettingInfoItem& item);
// The element's raw value bytes as text (private elements); empty for binary VRs.
QString RawTagText(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element);

// Where each directory record of a DICOMDIR stands in its sequence, by the low 32 bits of its
// stream position: read once, at the first look-up, so that a disc of many report series is not
// walked again for each of them.
class XEVDirectoryRecordIndex {
public:
    // The item of the first record at that position, or -1.
    int64_t ItemAt(const VEK_DICOMDIRInfo& info, uint32_t position);
    // Indexes built so far, each a walk of every record: for tests and figures.
    static uint64_t Builds();

private:
    std::unordered_map<uint32_t, uint32_t> items_;
    bool built_ = false;
};

// What a load reads of its file beside the frame's own values: the file's values with its first
// frame, the last frame's corner values, and what the decode found of the file. One struct, so
// that a load's own reader and the image hand them over whole and none is left behind.
struct XEVFileValues {
    int32_t frameCount = 0;
    QString transferSyntax;
    QString lossyFlag;
    QString sopClassUid;
    double rescaleIntercept = 0;
    double rescaleSlope = 1.0;
    QString rescaleType;
    int32_t windowPresent = 0;
    double windowCenter = 0;
    double windowWidth = 0;
    int32_t modalityLutPresent = 0;
    std::vector<int32_t> modalityLutDescriptor;
    std::vector<int32_t> modalityLutData;
    int32_t voiLutPresent = 0;
    std::vector<int32_t> voiLutDescriptor;
    std::vector<int32_t> voiLutData;
    // Set by the decode: memory holds 100 x value (a slope below 0.01), a colour frame.
    int32_t smallSlope = 0;
    double smallSlopeIntercept = 0;
    int32_t colorFlag = 0;
    QString orientationLetters[4];
    QString mammoLabel;
};

// Where a frame's slice lies in the patient.
struct XEVSlicePlace {
    double position[3] = {0, 0, 0};
    double orientation[6] = {0, 0, 0, 0, 0, 0};
};

class XEVVEKHelper : public XEVFileValues {
public:
    static constexpr int32_t kStatusDicomDirFailed = -1001;
    static constexpr int32_t kStatusOutOfMemory = -2;
    static constexpr int32_t kStatusLinkedOut = -3;
    static constexpr int32_t kStatusFileNotFound = -2001;
    // The load passed its memory budget: the file's own excess, not the system's shortage, so
    // it is not tried again when memory frees up and the loads after it go on.
    static constexpr int32_t kStatusLoadBudget = -2012;
    static constexpr int32_t kIndexCurrent = -1;
    static constexpr int32_t kIndexAllFrames = -2;

    XEVVEKHelper();
    virtual ~XEVVEKHelper();
    XEVVEKHelper(const XEVVEKHelper&) = delete;
    XEVVEKHelper& operator=(const XEVVEKHelper&) = delete;

    // Frame store.
    void ReleaseAll();
    void DeleteFrames();
    void ClearStatus();
    void ResetView();

    FrameImageInfo* GetFrame(int32_t index) const;
    FrameImageInfo* GetCurrentFrame() const;
    uint8_t* GetFrameBits(int32_t index) const;
    // -1: the last frame.
    bool IsFrameLoaded(int32_t index) const;
    uint8_t* GetDisplayBits(int32_t index) const;
    void StoreDisplayBuffer(const void* data, uint32_t size, int32_t index);
    void FreeDisplayBuffer();
    void SetCurrentFrame(int32_t index);
    void NextFrame();
    void PrevFrame();
    int32_t GetImageWidth() const;
    int32_t GetImageHeight() const;
    void SetCropRect(int32_t x, int32_t y, int32_t w, int32_t h);
    void SetViewSize(int32_t w, int32_t h);
    void GetWindow(double& centre, double& width) const;
    void GetWindowStep(double& centreStep, double& widthStep) const;
    // -2: every frame.
    void SetWindow(int32_t index, double centre, double width);
    void ResetWindows();
    void ClearAnnotations();
    // Takes ownership; a frame already at the index is deleted.
    void AddFrame(int32_t index, FrameImageInfo* frame);

    // Appends the DICOMDIR's patients to the vector; nonzero on success, which records that
    // give no patient are not (an empty record sequence is, and so are records cut by a limit
    // before a patient was whole). The out flags are only ever set to 1. A set stop flag ends
    // the walk before its next record, with 0. A read its memory refused fails with status
    // kStatusOutOfMemory.
    int32_t LoadDicomDir(const QString& path, std::vector<PatientInfo*>& patients, int32_t& hasFrameCounts,
                         int32_t& splitMultiFrame, const std::atomic<int32_t>* stop = nullptr,
                         XEVParsedDicomDirPtr parsed = nullptr);
    // The second, slow pass over the DICOMDIR: each file's own frame count decides the split,
    // unsupported report series may be dropped. Stops before its next record once abortFlag
    // is set, and waits at scanThread's gate before each record. 1 when the DICOMDIR was read
    // (also when aborted); no status text.
    int32_t ScanDicomDir(int32_t& multiFrameFound, int32_t& unsupportedRemoved, const QString& path,
                         std::vector<PatientInfo*>& scanList, int32_t hasFrameCounts,
                         const std::atomic<int32_t>& abortFlag, XEVThread& scanThread);
    // One DICOM file opened directly, as a patient with one study and one series appended to
    // the vector. 0 with status -2001 (no file) or -2002 (not DICOM); the vector is unchanged.
    int32_t LoadDicomFile(const QString& path, std::vector<PatientInfo*>& patients);
    // Whether the path reads as a DICOMDIR, or as a DICOM file. Leave the status alone. Once
    // stop is set the file's reads fail, and the answer, soon given, means nothing.
    static int32_t IsDicomDir(const QString& path, const std::atomic<int32_t>* stop = nullptr);
    // The DICOMDIR read whole, for a load of the same path to walk without reading it again;
    // null when the path does not read as one. One whose read its memory refused comes back
    // without records, for its load to say so.
    static XEVParsedDicomDirPtr ReadDicomDir(const QString& path, const std::atomic<int32_t>* stop = nullptr);
    static int32_t IsDicomFile(const QString& path, const std::atomic<int32_t>* stop = nullptr);
    // The Referenced File ID of the record right after the given series' own record; empty
    // when there is none or it would leave the disc.
    // index serves every look-up of one walk over info.
    static QString GetSeriesRecordFileID(const VEK_DICOMDIRInfo& info, const VEK_DICOMDIRSeries& series,
                                         XEVDirectoryRecordIndex& index);
    static QString GetSeriesRecordFileID(const VEK_DICOMDIRInfo& info, const VEK_DICOMDIRSeries& series);
    // The element's bytes read as ISO 2022 JIS.
    static QString GetJisText(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element);
    // 1 when read; 0 leaves the report untouched (the file cannot be read, or is a DICOMDIR;
    // when its read passed its budget the status says so, kStatusLoadBudget).
    int32_t ReadReport(const QString& path, ReportInfo& report);

    // Decodes frame `frame` (0-based) into a new frame of the map; 1 when it is there
    // afterwards. frame comes back as the next one to load, or -1 after the last one or on
    // failure (the reason in statusText/statusCode). With staged bytes of the file (read
    // before the caller took the image's lock), the decode reads only memory; with the values
    // read ahead (XEVAheadValues), it parses none of the header's values either.
    int32_t LoadImage(const QString& path, int32_t& frame, XEVStagedFile* staged = nullptr,
                      XEVAheadValues* ahead = nullptr);
    // What a frame's load takes from the file's header, the file's values with a first frame and
    // the frame's own, is read before the image's lock is taken from a header of the load's own,
    // so that a paint never waits for a parse. A later frame starts from this helper's file
    // values and its kept header, lent to the load under the lock (false: none to lend).
    bool LendHeader(XEVAheadValues& ahead);
    bool HeaderLent() const { return headerLent_; }
    // Takes back the header this helper lent, however the load ended (stopped, failed, its frame
    // found loaded), and keeps it as a load would; false when it lent none or cannot take it,
    // and the caller frees what is left of it with no lock held. Ends the lend either way.
    bool TakeBackHeader(XEVAheadValues& ahead);
    // Reads the values from header (the load's own), with no lock held.
    static void ReadAhead(XEVAheadValues& ahead, const VEK_DICOMInfo& header, const QString& path, int32_t frame,
                          uint64_t fileSize);
    // A load that ended before its decode (the file did not open or its read failed) leaves
    // the status such a decode would: frame < 0 names the file alone, or shown when given.
    void FailUnread(uint32_t messageId, int32_t code, const QString& path, int32_t frame,
                    const QString& shown = QString());
    // Where frame `frame` lies when this helper holds that file's header; false when the
    // load has to read the header (or has nothing to read: loaded tells).
    bool PlanFrame(const QString& path, int32_t frame, XEVFrameSpan& span, bool& loaded) const;
    // Draws frame `frame` (-1: the current one) from its pixel bytes into its display memory
    // as a DIB: crop, scale to the view size, window to 8 bits, inversions. 1 also for a
    // null source (nothing done); 0 for an unknown frame or a failed step.
    int32_t RenderToView(const uint8_t* source, uint32_t size, int32_t frame);
    // Modality values. 0 when the image is not enhanced CT/MR; frame -1: the shared groups.
    struct GroupValues {
        double intercept = 0;
        double slope = 1.0;
        QString rescaleType;
        int32_t windowPresent = 0;
        double centre = 0;
        double width = 0;
        int32_t voiLutPresent = 0;
        std::vector<int32_t> descriptor;
        std::vector<int32_t> data;
    };
    static int32_t ReadFunctionalGroups(const QString& sopClass, const VEK_DICOMTagObj& info, int32_t frame,
                                        GroupValues& values);
    static bool IsMakerCrImage(const VEK_DICOMTagObj& info);
    static void ReadPixelSpacing(const VEK_DICOMTagObj& info, double& horizontal, double& vertical,
                                 int32_t& magnificationCorrected);
    // The frame's measuring calibration, also handed to its pixel-value and reference-line
    // annotations.
    void ReadCalibration(const VEK_DICOMTagObj& info, FrameImageInfo* record) const;
    void ReadFramePosition(int32_t frame, FrameImageInfo* record) const;
    // Left, right, top, bottom; empty without a usable orientation.
    static void ReadOrientationLetters(const VEK_DICOMTagObj& info, QString letters[4]);
    static QString ReadMammoViewLabel(const VEK_DICOMTagObj& info);
    static QString GetTagText(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element);
    // The frame's corner texts from the corner-text settings of the file's modality; also
    // computes the orientation letters and the mammography label.
    void BuildCornerValues(const VEK_DICOMTagObj& info, FrameImageInfo* record);
    // One position's items of the settings, tag values filled, macros set in the view info.
    void BuildCornerPosition(const XEVOverlaySettingInfo& settings, int32_t position, XEVOverlayViewInfo& view) const;
    QString GetFrameText() const;
    bool IsSameOrientation(const XEVVEKHelper& other) const;
    int32_t GetSliceDistance(const XEVVEKHelper& other, double& distance) const;
    // The current frame's place, copied out so that another image is compared with it without
    // holding two images' locks at once; false without a current frame.
    bool GetSlicePlace(XEVSlicePlace& place) const;
    bool IsSameOrientation(const XEVSlicePlace& other) const;
    int32_t GetSliceDistance(const XEVSlicePlace& other, double& distance) const;

    // Number of Frames of the file (1 when absent or 0), reading only its header.
    int32_t CheckFrameCount(const QString& path, int32_t& count);
    // The header's memory, kept after a load only for the frames still to read, and only as
    // far as the disc's account takes it; let go otherwise, to be read again if asked for.
    void KeepOrReleaseHeader();
    void ReleaseHeader();
    // The header the last release let go, if it can be freed without this helper's lock;
    // whatever out held before is freed.
    void TakeLetGoHeader(XEVLetGoHeader& out);
    // What the kept header holds: the parsed dataset, its own manager's or this one's.
    uint64_t KeptHeaderBytes() const;
    // What the disc's account holds for this helper now.
    uint64_t AccountCharge() const { return accountCharge_; }

    QString statusText;
    int32_t statusCode = 0;
    // The limits past which the last LoadDicomDir left records out (kXEVDicomDirCut... bits).
    int32_t dicomDirCut = 0;
    QString filePath;
    XEVWindowHandle notifyWindow;
    int32_t cancelFlag = 0;
    std::map<int32_t, FrameImageInfo*> frames;
    // Frames whose load failed other than for memory, with the failure: not read again while
    // the helper is kept (the study list lets it go with the selection it leaves).
    std::map<int32_t, std::pair<int32_t, QString>> failedFrames;
    mutable PlatRecursiveLock lock;
    XEVReadManager manager;
    // The header taken from a parse made with no lock held: it outlives dicomInfo's share.
    std::unique_ptr<XEVParsedHeader> parsedHeader;
    // The account of the image's disc (null: none shown), which a header kept after a load is
    // charged to; set by the image before each load.
    std::shared_ptr<XEVDiscAccount> account;
    VEK_DICOMInfo dicomInfo;
    VEK_Header header;
    QString fileText3;
    int32_t allFramesLoaded = 0;
    const uint8_t* displayData = nullptr;
    uint32_t displaySize = 0;
    int32_t cropX = 0;
    int32_t cropY = 0;
    int32_t cropWidth = 0;
    int32_t cropHeight = 0;
    int32_t viewValue = 0;
    int32_t viewWidth = 0;
    int32_t viewHeight = 0;
    int32_t currentFrame = 0;
    QString cornerTexts[6];
    int32_t loaderFlag = 0;
    int32_t viewFlag = 0;

    // Render inputs set by the view: 1 smooth, 2 nearest neighbour, else no scaling; the
    // user's black/white inversion.
    int32_t scaleMode = 1;
    int32_t invertFlag = 0;
    // Byte counts of the last DIB and of its info part.
    uint32_t dibBytes = 0;
    uint32_t dibInfoBytes = 0;

private:
    friend struct XEVAheadValues;
    std::shared_ptr<XEVDiscAccount> chargedAccount_;
    uint64_t accountCharge_ = 0;
    XEVLetGoHeader letGo_;
    // The kept header's bytes charged to the load's manager while it runs.
    uint64_t headerCharge_ = 0;
    bool headerLent_ = false;

    void Fail(uint32_t messageId, const QString& path);
    int32_t LoadFrame(const QString& path, int32_t& frame, XEVStagedFile* staged, XEVAheadValues* ahead);
    void FailFrame(uint32_t messageId, int32_t code, const QString& path, int32_t frame);
    void ResetFileValues();
    // The values of the file read from dicomInfo; fileSize bounds the frames it can hold.
    void ReadFileValues(uint64_t fileSize);
    XEVFileValues& FileValues() { return *this; }
    void ReadModalityLut();
    void ReadRescale();
    void ReadVoiLut();
    void ReadWindowValues();
    static void DefaultWindowFromBits(uint32_t bits, double& centre, double& width);
    // Whether a table read from the file can be applied at all.
    static bool LutUsable(const std::vector<int32_t>& descriptor, const std::vector<int32_t>& data);
    // applied: the table is in the chain; false with the engine unchanged when it is refused.
    VEK_Engine* ApplyLookupTable(const std::vector<int32_t>& descriptor, const std::vector<int32_t>& data,
                                 VEK_Engine* engine, bool& applied);
    // Centre and width spanning the decoded frame's values; false for samples it cannot read.
    static bool WindowFromValueRange(const VEK_Header& frameHeader, const uint8_t* data, double& centre, double& width);
    // Lowest and highest sample of a decoded frame of 8, 16 or 32 bits, or one of them; false for
    // others.
    static bool FrameValueRange(const VEK_Header& frameHeader, const uint8_t* data, double& lo, double& hi,
                                VEK_RangeEnds ends = VEK_RangeEnds::both);
    static void WindowFromLutRange(const std::vector<int32_t>& data, double& centre, double& width);
    // The steps of one frame's load, in order; each failing step has set the status.
    struct FrameLoad;
    int32_t OpenFrameFile(FrameLoad& load);
    int32_t ReadFrameValues(FrameLoad& load);
    VEK_Engine* ReadStoredValues(FrameLoad& load);
    VEK_Engine* ApplyGrayValues(VEK_Engine* engine, FrameLoad& load);
    VEK_Engine* Rescale(VEK_Engine* engine, FrameLoad& load);
    void ColourWindow(const VEK_Header& delivered, FrameLoad& load);
    int32_t WriteFrameMemory(VEK_Engine* engine, FrameLoad& load);
    // Runs the chain into the frame's probe buffer; the readout shows its samples as
    // sample x factor + offset.
    int32_t WriteProbeValues(VEK_Engine* engine, FrameLoad& load, double factor, double offset);
    // The same, and continues the chain from the buffer.
    VEK_Engine* KeepProbeValues(VEK_Engine* engine, FrameLoad& load, double factor, double offset);
    void SetPixelValueSource(FrameLoad& load, const VEK_Header& frameHeader);
    // After a whole-number rescale that may clamp: keeps the stored values where memory
    // clamped some.
    int32_t KeepClampedValues(FrameLoad& load);
    // The range of the frame's memory, found by one pass for whichever step first asks.
    bool MemoryRange(FrameLoad& load, double& lo, double& hi);
    // Memory's range at the ends a clamp can reach; the end not looked at is left outside any
    // value.
    bool ClampRange(FrameLoad& load, double& lo, double& hi);
    // True, with the status set, when the engine run ended with an error.
    bool RunFailed(FrameLoad& load);
    // True, with the status set, when the manager's budget refused memory during this load.
    bool OverBudget(FrameLoad& load);
};
