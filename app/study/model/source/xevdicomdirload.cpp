// Filling the study model from a DICOMDIR, and the text readers the walk uses.
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "platform/platcodepage.h"
#include "platform/platfile.h"
#include "platform/platfileid.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevcommonsettings.h"
#include "study/xevframeheader.h"
#include "study/xevloadstate.h"
#include "study/xevsourcehead.h"
#include "study/xevstagedread.h"
#include "study/xevthread.h"
#include "study/xevvekhelper.h"
#include "vek_decorator.h"
#include "vek_dicominfo.h"
#include "vek_errorhandler.h"
#include "vek_fileinputstorage.h"
#include "vek_inputstoragedecorator.h"
#include "xevstudytext.h"

namespace {

// A DICOMDIR whose read its memory refused.
constexpr uint32_t kDicomDirOutOfMemoryMessage = 10044;

constexpr char16_t kSRClassPrefix[] = u"1.2.840.10008.5.1.4.1.1.88";
constexpr char16_t kBasicTextSRClass[] = u"1.2.840.10008.5.1.4.1.1.88.11";

bool IsSRClass(const QString& sopClass)
{
    return sopClass.startsWith(QString::fromUtf16(kSRClassPrefix));
}

// A DICOMDIR, readable or not, is never an image: one whose records fail to load must not
// open as a nameless single file. Its record sequence or its file meta class tells.
bool IsDirectoryData(const VEK_DICOMTagObj& info)
{
    constexpr char16_t kDirectoryStorageClass[] = u"1.2.840.10008.1.3.10";
    return info.exist(0x0004, 0x1220) ||
           DicomTextValue(info, 0x0002, 0x0002) == QString::fromUtf16(kDirectoryStorageClass);
}

// Whether the file meta group at the head of the file names the directory storage class: such
// a file is never an image, told without reading its records.
bool NamesDirectoryClass(const std::string& path)
{
    std::FILE* file = PlatOpenRegularStream(path.c_str());
    if (file == nullptr) {
        return false;
    }
    uint8_t head[4096];
    const size_t n = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    size_t at = 132;
    if (n < at || std::memcmp(head + 128, "DICM", 4) != 0) {
        return false;
    }
    auto u16 = [&head](size_t i) { return uint32_t(head[i]) | uint32_t(head[i + 1]) << 8; };
    // The meta group is explicit VR little endian; these VRs have a 4-byte length after 2 spare bytes.
    constexpr std::string_view kLongForms[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                               "SV", "UC", "UN", "UR", "UT", "UV"};
    while (at + 8 <= n && u16(at) == 0x0002) {
        const std::string_view vr(reinterpret_cast<const char*>(head + at + 4), 2);
        const bool longForm = std::find(std::begin(kLongForms), std::end(kLongForms), vr) != std::end(kLongForms);
        const size_t value = at + (longForm ? 12 : 8);
        const uint64_t length = longForm && value <= n ? (uint64_t(u16(at + 10)) << 16 | u16(at + 8)) : u16(at + 6);
        if (value + length > n) {
            return false;
        }
        if (u16(at + 2) == 0x0002) {
            std::string_view uid(reinterpret_cast<const char*>(head + value), size_t(length));
            while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) {
                uid.remove_suffix(1);
            }
            return uid == "1.2.840.10008.1.3.10";
        }
        at = value + size_t(length);
    }
    return false;
}

// The file's elements loaded. Pixel data in a form the reader does not take (its format
// error, such as a progressive JPEG, or a description it refuses, such as a palette, with its
// data error or without a word) still lists the file, as its DICOMDIR record would; its image
// then says that it cannot be read.
bool LoadsElements(VEK_DICOMInfo& info, VEK_InputStorage* storage, VEK_Manager& manager)
{
    if (info.load(storage)) {
        return true;
    }
    const uint32_t code = manager.status().code();
    const bool error = (code & 0x80000000u) != 0;
    return (code == VEK_ERROR_FORMAT || code == VEK_ERROR_DATA || !error) && info.exist(0x7FE0, 0x0010);
}

// Destroys a storage when the call leaves.
struct StorageGuard {
    VEK_InputStorage* storage;
    ~StorageGuard() { vek_destroy(storage); }
};

// Reads that fail once the stop flag is set: a load nobody waits for ends at its next read.
class StoppableInput : public VEK_InputStorageDecorator {
public:
    using VEK_InputStorageDecorator::initiate;
    using VEK_InputStorageDecorator::VEK_InputStorageDecorator;
    bool initiate(VEK_InputStorage* storage, const std::atomic<int32_t>* stop)
    {
        stop_ = stop;
        return VEK_InputStorageDecorator::initiate(storage);
    }
    // The reader that takes the data over brings its own flag.
    void Rebind(const std::atomic<int32_t>* stop) { stop_ = stop; }
    int32_t get() override { return Stopped() ? -1 : VEK_InputStorageDecorator::get(); }
    int32_t read(void* buffer, int32_t n) override
    {
        return Stopped() ? 0 : VEK_InputStorageDecorator::read(buffer, n);
    }

private:
    bool Stopped() const { return stop_ != nullptr && stop_->load(std::memory_order_relaxed) != 0; }

    const std::atomic<int32_t>* stop_ = nullptr;
};

// The DICOMDIR as its reader may take it: once stop is set, no more (stop may be null); its
// memory, not its length, bounds the read. The storage goes into the guard; null on failure.
VEK_InputStorage* DirectoryInput(VEK_Manager* manager, VEK_InputStorage* file, const std::atomic<int32_t>* stop,
                                 StorageGuard& stoppable)
{
    stoppable.storage = vek_create<StoppableInput>(manager, file, stop);
    return stoppable.storage;
}

std::atomic<uint64_t> dicomDirMemoryBudget{kXEVDicomDirMemoryBudget};
std::atomic<uint64_t> dicomDirElementBudget{kXEVDicomDirElementBudget};

// How every read of a DICOMDIR goes: the tree alone (records in record order too would hold
// each twice), within its records and its memory, and only what the records give: icons, long
// and private values stay in the file.
void BoundDirectoryRead(VEK_DICOMDIRInfo& info, XEVReadManager& manager, const std::atomic<int32_t>* stop)
{
    manager.set_budget(dicomDirMemoryBudget.load());
    info.set_element_limit(dicomDirElementBudget.load());
    info.set_record_fields_only(kXEVDicomDirValueLength);
    info.set_record_order_kept(false);
    info.set_record_limit(kXEVDicomDirRecordLimit);
    info.set_stop(stop);
}

// Headers of the files the records name, each read once per walk; none for a file that does
// not load.
using FrameHeaderCache = std::unordered_map<std::string, std::optional<XEVFrameHeader>>;

// One entry per frame the file holds, as its own header says: a record's count past that is
// damage (or hostility) and must not make millions of entries. Clamped with a warning to manager.
int32_t PlausibleFrameCount(int32_t frames, const QString& path, FrameHeaderCache& headers, VEK_Manager* manager)
{
    if (frames < 2) {
        return frames;
    }
    const std::string key = XEVNativePath(path);
    auto found = headers.find(key);
    if (found == headers.end()) {
        // A member of an imported archive is read where it lies, not extracted for its count.
        found = headers.emplace(key, XEVReadFrameHeader(path)).first;
    }
    const uint64_t holds = found->second ? XEVFramesTheHeaderHolds(*found->second, uint64_t(frames)) : 0;
    if (uint64_t(frames) <= holds) {
        return frames;
    }
    vek_report(manager, VEK_WARNING_DATA, __func__, __FILE__, __LINE__);
    return int32_t(std::max<uint64_t>(holds, 1));
}

// Empties the list and lets its storage go (clear keeps it).
template <class T>
void Release(VEK_Vector<T>& list, VEK_Manager* manager)
{
    list = VEK_Vector<T>(manager);
}

// What the study model's objects hold on the heap, as a walk charges them to the read's budget:
// each block with the allocator's own bytes, texts with their headers, and a pointer to each
// object in its parent's list, with room for the list to grow.
constexpr uint64_t kBlockBytes = 32;
template <class T>
constexpr uint64_t kObjectBytes = kBlockBytes + sizeof(T) + 2 * sizeof(T*);
uint64_t TextBytes(uint64_t units)
{
    return units == 0 ? 0 : kBlockBytes + 2 * (units + 1);
}
uint64_t TextBytes(const QString& text)
{
    return TextBytes(uint64_t(text.capacity()));
}

ImageInfo* NewEntry(const VEK_DICOMDIRImage& record, const QString& path, int32_t startFrame)
{
    auto* image = new ImageInfo;
    image->sopInstanceUid = VekToQString(record.sop_instance_uid);
    image->instanceNumber = record.instance_number;
    image->numbered = record.instance_number_present != 0;
    image->filePath = path;
    image->startFrame = startFrame;
    return image;
}

void AppendEntries(SeriesInfo* series, const VEK_DICOMDIRImage& record, const QString& path, int32_t count)
{
    series->images.reserve(series->images.size() + static_cast<size_t>(count));
    for (int32_t k = 0; k < count; ++k) {
        series->images.push_back(NewEntry(record, path, k));
    }
}

}   // namespace

// The DICOMDIR as File Open's check read it: the storage stays open, as values may stay in it.
struct XEVParsedDicomDir {
    QString path;
    XEVReadManager manager{dicomDirMemoryBudget.load()};
    StorageGuard file{nullptr};
    StorageGuard stoppable{nullptr};
    // The limits that left records out (kXEVDicomDirCut... bits).
    int32_t cut = 0;
    // Its memory refused the read before a record was whole: there is no info.
    bool outOfMemory = false;
    std::optional<VEK_DICOMDIRInfo> info;
    // Hands the reads over to the thread that walks the records, with its own stop flag.
    void Rebind(const std::atomic<int32_t>* stop)
    {
        if (stoppable.storage != nullptr) {
            static_cast<StoppableInput*>(stoppable.storage)->Rebind(stop);
        }
        info->set_stop(stop);
    }
};

uint64_t XEVDicomDirMemoryBudget()
{
    return dicomDirMemoryBudget.load();
}

std::vector<uint32_t> XEVLinkMessages(int32_t cut)
{
    std::vector<uint32_t> messages;
    for (const auto& [bit, message] : {std::pair{kXEVDicomDirLinkedOut, kXEVLinkedOutMessage},
                                       std::pair{kXEVDicomDirLinkDangling, kXEVDanglingLinkMessage},
                                       std::pair{kXEVDicomDirLinkLoop, kXEVLinkLoopMessage}}) {
        if ((cut & bit) != 0) {
            messages.push_back(message);
        }
    }
    return messages;
}

void XEVSetDicomDirMemoryBudget(uint64_t bytes, uint64_t elementBytes)
{
    dicomDirMemoryBudget.store(bytes != 0 ? bytes : kXEVDicomDirMemoryBudget);
    dicomDirElementBudget.store(elementBytes != 0 ? elementBytes : kXEVDicomDirElementBudget);
}

QString XEVVEKHelper::GetJisText(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element)
{
    const QString plain = DicomTextValue(info, group, element);
    const uint32_t length = std::min(info.get_held_length(group, element), kXEVTextValueLength);
    const void* bytes = nullptr;
    if (length < 3 || !info.get_value_pointer(group, element, bytes) || bytes == nullptr) {
        return plain;
    }
    try {
        // Trailing padding of the value is not part of the name.
        std::string source(static_cast<const char*>(bytes), length);
        while (!source.empty() && (source.back() == ' ' || source.back() == '\0')) {
            source.pop_back();
        }
        return DecodeJisBytes(source, plain);
    } catch (...) {
        return plain;
    }
}

namespace {
std::atomic<uint64_t> indexBuilds{0};
}   // namespace

uint64_t XEVDirectoryRecordIndex::Builds()
{
    return indexBuilds.load();
}

int64_t XEVDirectoryRecordIndex::ItemAt(const VEK_DICOMDIRInfo& info, uint32_t position)
{
    if (!built_) {
        built_ = true;
        ++indexBuilds;
        const uint32_t count = info.get_item_count(0x0004, 0x1220);
        items_.reserve(count);
        VEK_DICOMTagObj item(info);
        for (uint32_t i = 0; i < count && info.get_item(0x0004, 0x1220, i, item); ++i) {
            // Past 4 GiB positions repeat: the first record keeps its place.
            items_.emplace(static_cast<uint32_t>(item.get_position()), i);
        }
    }
    const auto it = items_.find(position);
    return it != items_.end() ? int64_t(it->second) : -1;
}

QString XEVVEKHelper::GetSeriesRecordFileID(const VEK_DICOMDIRInfo& info, const VEK_DICOMDIRSeries& series,
                                            XEVDirectoryRecordIndex& index)
{
    // The record right after this series' own record, found by its stream position: counting
    // SERIES records in stream order would hand a report series another series' document
    // wherever stream order and the offset tree differ.
    const int64_t at = index.ItemAt(info, series.common.position);
    VEK_DICOMTagObj item(info);
    if (at < 0 || !info.get_item(0x0004, 0x1220, uint32_t(at) + 1, item)) {
        return QString();
    }
    bool cut = false;
    const QString id = DicomTextValue(item, 0x0004, 0x1500, kXEVTextValueLength, &cut);
    // A cut path names another file.
    return !cut && PlatIsSafeFileId(id.toStdString()) ? id : QString();
}

QString XEVVEKHelper::GetSeriesRecordFileID(const VEK_DICOMDIRInfo& info, const VEK_DICOMDIRSeries& series)
{
    XEVDirectoryRecordIndex index;
    return GetSeriesRecordFileID(info, series, index);
}

void XEVVEKHelper::Fail(uint32_t messageId, const QString& path)
{
    statusCode = kStatusDicomDirFailed;
    statusText = GetMessageString(messageId) + QStringLiteral("\n      [") + path + QStringLiteral("]\n");
}

namespace {

// What the scan does differently from the DICOMDIR load.
struct WalkOptions {
    bool scan = false;
    int32_t hasFrameCounts = 0;
    // Both passes end before their next record once it is set.
    const std::atomic<int32_t>* abortFlag = nullptr;
    XEVThread* gate = nullptr;
    bool reportCheck = false;
    // The medium's turn for the walk's reads: the load is what the screen waits for, the
    // scan goes behind every other read.
    XEVReadPriority Priority() const { return scan ? XEVReadPriority::Background : XEVReadPriority::OnScreen; }
};

struct WalkResult {
    // The limits past which records were left out (kXEVDicomDirCut... bits).
    int32_t cut = 0;
    int32_t framedRecords = 0;
    bool split = false;
    bool multiFrameFound = false;
    bool unsupportedRemoved = false;
};

enum class WalkStatus { Done, OpenFailed, ParseFailed, OutOfMemory, Raised, Stopped };

// The limits past which a read left records out.
int32_t CutOf(const VEK_DICOMDIRInfo& info)
{
    return (info.records_left_out_at_limit() ? kXEVDicomDirCutRecords : 0) |
           (info.records_left_out_for_memory() ? kXEVDicomDirCutMemory : 0);
}

// Before each record of a scan: false once the scan is aborted; otherwise waits while the
// read-ahead holds the scanner.
bool ScanGoesOn(const WalkOptions& options)
{
    if (options.abortFlag != nullptr && options.abortFlag->load() != 0) {
        return false;
    }
    // Timed, so that an abort ends the wait even while the read-ahead holds the gate.
    while (options.gate != nullptr && !options.gate->WaitGate(20)) {
        if (options.abortFlag != nullptr && options.abortFlag->load() != 0) {
            return false;
        }
    }
    return true;
}

// A report series whose document gives no text of ours.
bool IsUnsupportedReport(const SeriesInfo& series)
{
    for (const ImageInfo* image : series.images) {
        if (image->sopInstanceUid == u"SR") {
            ReportInfo report;
            XEVVEKHelper reader;
            reader.ReadReport(image->filePath, report);
            return report.reportText == GetMessageString(10025);
        }
    }
    return false;
}

// One pass over a loaded DICOMDIR into the study model, a step per level of its records.
class DicomDirWalk {
public:
    DicomDirWalk(VEK_DICOMDIRInfo& info, std::string folder, const WalkOptions& options, WalkResult& result,
                 XEVReadManager* manager)
        : info_(info), folder_(std::move(folder)), options_(options), result_(result), manager_(manager)
    {
        const XEVCommonSettings& settings = GetCommonSettings();
        supportSR_ = settings.ModeSupportSR == 1;
        splitByFile_ = settings.ModeMultiFrameRead == 1 || options.hasFrameCounts == 1;
    }

    void Patients(std::vector<PatientInfo*>& patients)
    {
        waiting_ = info_.patients.size();
        for (uint32_t p = 0; p < waiting_; ++p) {
            listing_ = p;
            if (!GoesOn()) {
                break;
            }
            VEK_DICOMDIRPatient& record = info_.patients[p];
            std::unique_ptr<PatientInfo> patient = Patient(record);
            if (!patient->studies.empty()) {
                patients.push_back(patient.release());
            }
            // Its records are in the model now: the model grows as they go.
            Release(record.studies, manager_);
        }
    }

    // Whether a stop ended the walk before its last record.
    bool Aborted() const { return aborted_; }

private:
    // Per series: whether it is a report, and whether a Basic Text SR document is among it.
    struct SeriesFlags {
        bool report = false;
        bool basicText = false;
    };
    // Per study: its modalities, and the number the next series takes.
    struct StudyState {
        QString modality;
        int32_t counter = 0;
    };

    bool GoesOn()
    {
        // The model takes the memory of the read's records as they go: both within its budget.
        // Once past it, the records after are not listed, though what the walk lets go after
        // would make room again.
        const uint64_t budget = manager_->budget();
        if (!full_ && entries_ >= kXEVDicomDirRecordLimit) {
            full_ = true;
            result_.cut |= kXEVDicomDirCutRecords;
        }
        // A read its memory cut leaves little room: the last patients waiting go first to make
        // room for the one being listed, as if the read had left them out.
        while (!full_ && budget != 0 && manager_->in_use() + modelBytes_ > budget && waiting_ > listing_ + 1) {
            Release(info_.patients[--waiting_].studies, manager_);
            result_.cut |= kXEVDicomDirCutMemory;
        }
        if (!full_ && budget != 0 && manager_->in_use() + modelBytes_ > budget) {
            full_ = true;
            result_.cut |= kXEVDicomDirCutMemory;
        }
        if (full_) {
            return false;
        }
        if (!aborted_ && (options_.scan ? !ScanGoesOn(options_)
                                        : options_.abortFlag != nullptr && options_.abortFlag->load() != 0)) {
            aborted_ = true;
        }
        return !aborted_;
    }

    std::unique_ptr<PatientInfo> Patient(const VEK_DICOMDIRPatient& record)
    {
        auto patient = std::make_unique<PatientInfo>();
        const VEK_DICOMTagObj& tags = record.common.tag;
        QString name = VekToQString(record.patient_name);
        if (!name.isEmpty()) {
            if (!tags.exist(0x0008, 0x0005)) {
                name = XEVVEKHelper::GetJisText(tags, 0x0010, 0x0010);
            }
            patient->nameIdeographic = PersonNameToDisplay(GetValueOfPair(name));
            patient->nameAlphabetic = PersonNameToDisplay(GetKeyOfPair(name));
        }
        patient->sex = VekToQString(record.patient_sex);
        if (tags.exist(0x0010, 0x1010)) {
            patient->SetAge(DicomTextValue(tags, 0x0010, 0x1010));
        }
        if (tags.exist(0x0010, 0x0030)) {
            patient->birthDate = DicomTextValue(tags, 0x0010, 0x0030);
        }
        patient->patientId = VekToQString(record.patient_id);
        modelBytes_ += kObjectBytes<PatientInfo> + TextBytes(patient->nameIdeographic) +
                       TextBytes(patient->nameAlphabetic) + TextBytes(patient->birthDate) + TextBytes(patient->sex) +
                       TextBytes(patient->ageText) + TextBytes(patient->patientId);
        for (const VEK_DICOMDIRStudy& studyRecord : record.studies) {
            if (!GoesOn()) {
                break;
            }
            std::unique_ptr<StudyInfo> study = Study(studyRecord);
            if (!study->series.empty()) {
                patient->studies.push_back(study.release());
            }
        }
        return patient;
    }

    std::unique_ptr<StudyInfo> Study(const VEK_DICOMDIRStudy& record)
    {
        auto study = std::make_unique<StudyInfo>();
        study->studyInstanceUid = VekToQString(record.study_instance_uid);
        study->studyDate = VekToQString(record.study_date);
        StudyState state;
        state.modality = VekToQString(record.modalities_in_study);
        modelBytes_ += kObjectBytes<StudyInfo> + TextBytes(study->studyInstanceUid) + TextBytes(study->studyDate) +
                       TextBytes(state.modality);
        for (const VEK_DICOMDIRSeries& seriesRecord : record.series) {
            if (!GoesOn()) {
                break;
            }
            Series(seriesRecord, *study, state);
        }
        study->modalities = state.modality;
        SortSeries(study.get());
        return study;
    }

    void Series(const VEK_DICOMDIRSeries& record, StudyInfo& study, StudyState& state)
    {
        auto series = std::make_unique<SeriesInfo>();
        series->seriesInstanceUid = VekToQString(record.series_instance_uid);
        series->modality = VekToQString(record.modality);
        series->description = VekToQString(record.series_description);
        series->number = state.counter;
        modelBytes_ += kObjectBytes<SeriesInfo> + TextBytes(series->seriesInstanceUid) + TextBytes(series->modality) +
                       TextBytes(series->description);
        if (state.modality.isEmpty()) {
            state.modality = series->modality;
        }
        SeriesFlags flags;
        for (const VEK_DICOMDIRImage& imageRecord : record.images) {
            if (!GoesOn()) {
                break;
            }
            Image(imageRecord, record, *series, study, state, flags);
        }
        // A series dropped for its reports does not advance the numbering.
        if (!KeepsReports(record, *series, flags)) {
            return;
        }
        if (series->description.isEmpty()) {
            series->description = UIText(undefinedText_, 20313);
        }
        if (flags.report) {
            series->description = UIText(reportText_, 20314);
        }
        if (!series->images.empty()) {
            SortImages(series.get());
            study.series.push_back(series.release());
        }
        ++state.counter;
    }

    // The frames the record's file is listed with; split when it gets an entry per frame,
    // whole when it has too many frames for that and stays one entry.
    int32_t FrameCount(const VEK_DICOMDIRImage& record, const QString& filePath, bool& split, bool& whole)
    {
        int32_t frameNumber = 0;
        if (options_.scan) {
            // The file itself, not the record, says how many frames it holds.
            XEVVEKHelper counterHelper;
            XEVMediumTurn turn(options_.Priority(), options_.abortFlag);
            if (!turn.Held() || counterHelper.CheckFrameCount(filePath, frameNumber) == 0) {
                frameNumber = 0;
            }
            whole = frameNumber > kXEVFrameEntryLimit;
            split = frameNumber > 1 && splitByFile_ && !whole;
            return frameNumber;
        }
        const VEK_DICOMTagObj& imageTags = record.common.tag;
        uint32_t counted = 0;
        if (imageTags.get_count(0x0028, 0x0008, counted)) {
            // A count past int32_t is past the frames held, which the file's header then gives.
            frameNumber = int32_t(std::min<uint32_t>(counted, INT32_MAX));
        }
        if (frameNumber >= 1) {
            ++result_.framedRecords;
        }
        if (frameNumber >= 2) {
            // The file's header, read to check the record's count, in the medium's turn; a
            // record of one frame reads nothing and waits for no turn.
            XEVMediumTurn turn(options_.Priority(), options_.abortFlag);
            frameNumber = PlausibleFrameCount(frameNumber, filePath, frameHeaders_, manager_);
        }
        whole = frameNumber > kXEVFrameEntryLimit;
        split = frameNumber >= 2 && !whole;
        return frameNumber;
    }

    void Image(const VEK_DICOMDIRImage& record, const VEK_DICOMDIRSeries& seriesRecord, SeriesInfo& series,
               StudyInfo& study, StudyState& state, SeriesFlags& flags)
    {
        // An ID that would leave the disc, through a link too, is not listed; the list says
        // when a link was the way out.
        const std::string id = VekToQString(record.file_id).toLatin1().toStdString();
        PlatJoinRefusal refusal = PlatJoinRefusal::None;
        const std::string joined = resolver_.Join(folder_, id, &refusal);
        if (joined.empty()) {
            vek_report(manager_, VEK_WARNING_DATA, __func__, __FILE__, __LINE__);
            result_.cut |= refusal == PlatJoinRefusal::LinkOut        ? kXEVDicomDirLinkedOut
                           : refusal == PlatJoinRefusal::LinkDangling ? kXEVDicomDirLinkDangling
                           : refusal == PlatJoinRefusal::LinkLoop     ? kXEVDicomDirLinkLoop
                                                                      : 0;
            return;
        }
        const QString filePath = XEVPathText(joined);
        bool split = false;
        bool whole = false;
        const int32_t frameNumber = FrameCount(record, filePath, split, whole);
        entries_ += split ? uint64_t(frameNumber) : 1;
        // Each entry has a text of the instance of its own; the path is shared.
        modelBytes_ += (split ? uint64_t(frameNumber) : 1) *
                           (kObjectBytes<ImageInfo> + TextBytes(uint64_t(record.sop_instance_uid.size()))) +
                       TextBytes(filePath);
        if (split) {
            result_.multiFrameFound = true;
            if (seriesRecord.images.size() < 2) {
                AppendEntries(&series, record, filePath, frameNumber);
            } else {
                SplitSeries(record, seriesRecord, series, study, state, filePath, frameNumber);
            }
            return;
        }
        auto image = std::unique_ptr<ImageInfo>(NewEntry(record, filePath, 0));
        image->wholeMultiFrame = whole;
        const QString sopClass = VekToQString(record.referenced_sop_class_uid);
        if (!supportSR_) {
            if (!IsSRClass(sopClass)) {
                series.images.push_back(image.release());
            }
            return;
        }
        if (sopClass == QString::fromUtf16(kBasicTextSRClass)) {
            flags.basicText = true;
        }
        if (IsSRClass(sopClass)) {
            image->sopInstanceUid = QStringLiteral("SR");
            series.modality = QStringLiteral("SR");
            flags.report = true;
        }
        series.images.push_back(image.release());
    }

    // A multi-frame file among other files: a series of its own, right after this one.
    void SplitSeries(const VEK_DICOMDIRImage& record, const VEK_DICOMDIRSeries& seriesRecord, const SeriesInfo& series,
                     StudyInfo& study, StudyState& state, const QString& filePath, int32_t frameNumber)
    {
        auto own = std::make_unique<SeriesInfo>();
        own->seriesInstanceUid = series.seriesInstanceUid;
        own->number = ++state.counter;
        QString description = VekToQString(seriesRecord.series_description);
        if (description.isEmpty()) {
            description = UIText(undefinedText_, 20313);
        }
        own->modality = VekToQString(seriesRecord.modality);
        if (state.modality.isEmpty()) {
            state.modality = own->modality;
        }
        own->description = QStringLiteral("%1_%2").arg(description).arg(own->number);
        modelBytes_ += kObjectBytes<SeriesInfo> + TextBytes(own->seriesInstanceUid) + TextBytes(own->modality) +
                       TextBytes(own->description);
        AppendEntries(own.get(), record, filePath, frameNumber);
        study.series.push_back(own.release());
        result_.split = true;
    }

    // With reports supported: a report series without image records gets the document listed
    // right after its own record; false drops the series (reports without text of ours).
    bool KeepsReports(const VEK_DICOMDIRSeries& record, SeriesInfo& series, SeriesFlags& flags)
    {
        if (!supportSR_) {
            return true;
        }
        if (record.images.empty() && series.modality == u"SR") {
            // Documents listed under other record types: the record after the series' own one.
            const QString id = XEVVEKHelper::GetSeriesRecordFileID(info_, record, records_);
            const std::string joined =
                id.isEmpty() ? std::string() : resolver_.Join(folder_, id.toLatin1().toStdString());
            if (!joined.empty()) {
                auto image = std::make_unique<ImageInfo>();
                image->filePath = XEVPathText(joined);
                image->sopInstanceUid = QStringLiteral("SR");
                modelBytes_ += kObjectBytes<ImageInfo> + TextBytes(image->filePath);
                series.images.push_back(image.release());
            }
            flags.report = true;
            flags.basicText = true;
        } else if (flags.report && !flags.basicText) {
            return false;
        }
        if (options_.reportCheck && flags.report && IsUnsupportedReport(series)) {
            result_.unsupportedRemoved = true;
            return false;
        }
        return true;
    }

    static const QString& UIText(std::optional<QString>& text, uint32_t id)
    {
        if (!text) {
            text = GetUIString(id);
        }
        return *text;
    }

    VEK_DICOMDIRInfo& info_;
    const std::string folder_;
    const WalkOptions& options_;
    WalkResult& result_;
    XEVReadManager* manager_;
    bool supportSR_ = false;
    bool splitByFile_ = false;
    // Looked up when first needed: each look-up reads the settings file for an override.
    std::optional<QString> undefinedText_;
    std::optional<QString> reportText_;
    PlatFileIdResolver resolver_;
    XEVDirectoryRecordIndex records_;
    FrameHeaderCache frameHeaders_;
    bool aborted_ = false;
    // The patient being listed, and the patients not let go to make room for it.
    uint32_t listing_ = 0;
    uint32_t waiting_ = 0;
    uint64_t entries_ = 0;
    // The study model's memory the walk has made so far, and whether the walk went past it.
    uint64_t modelBytes_ = 0;
    bool full_ = false;
};

WalkStatus WalkDicomDir(const QString& path, std::vector<PatientInfo*>& patients, const WalkOptions& options,
                        WalkResult& result, XEVParsedDicomDir* parsed = nullptr)
{
    XEVReadManager callManager(dicomDirMemoryBudget.load());
    const std::string nativePath = XEVNativePath(path);
    const std::string folder = PlatFileIdFolder(nativePath);

    StorageGuard guard{nullptr};
    StorageGuard stoppable{nullptr};
    std::optional<VEK_DICOMDIRInfo> own;
    XEVReadManager* manager = &callManager;
    if (parsed != nullptr && parsed->outOfMemory) {
        return WalkStatus::OutOfMemory;
    }
    if (parsed != nullptr) {
        parsed->Rebind(options.abortFlag);
        manager = &parsed->manager;
        result.cut = parsed->cut;
    } else {
        guard.storage = VEK_FileInputStorage::create(&callManager, nativePath.c_str());
        if (guard.storage == nullptr) {
            return WalkStatus::OpenFailed;
        }
        VEK_InputStorage* input = DirectoryInput(&callManager, guard.storage, nullptr, stoppable);
        if (input == nullptr) {
            return WalkStatus::ParseFailed;
        }
        own.emplace(&callManager);
        BoundDirectoryRead(*own, callManager, nullptr);
        XEVMediumTurn turn(options.Priority(), options.abortFlag);
        if (!turn.Held()) {
            // Stopped first: an aborted scan has read what it had, nothing.
            return options.scan ? WalkStatus::Done : WalkStatus::Stopped;
        }
        if (!own->load(input)) {
            return callManager.status().code() == VEK_ERROR_MEMORY ? WalkStatus::OutOfMemory : WalkStatus::ParseFailed;
        }
        result.cut = CutOf(*own);
    }
    VEK_DICOMDIRInfo& info = parsed != nullptr ? *parsed->info : *own;

    bool aborted = false;
    try {
        DicomDirWalk walk(info, folder, options, result, manager);
        walk.Patients(patients);
        aborted = walk.Aborted();
    } catch (...) {
        return WalkStatus::Raised;
    }
    return aborted && !options.scan ? WalkStatus::Stopped : WalkStatus::Done;
}

}   // namespace

int32_t XEVVEKHelper::LoadDicomDir(const QString& path, std::vector<PatientInfo*>& patients, int32_t& hasFrameCounts,
                                   int32_t& splitMultiFrame, const std::atomic<int32_t>* stop,
                                   XEVParsedDicomDirPtr parsed)
{
    ClearStatus();
    dicomDirCut = 0;
    WalkResult result;
    const size_t before = patients.size();
    WalkOptions options;
    options.abortFlag = stop;
    // A check's parse of another path, or one that failed, is not this load's.
    XEVParsedDicomDir* own =
        parsed != nullptr && parsed->path == path && (parsed->info || parsed->outOfMemory) ? parsed.get() : nullptr;
    const WalkStatus status = WalkDicomDir(path, patients, options, result, own);
    if (status == WalkStatus::OpenFailed) {
        Fail(10003, path);
        manager.clear();
        return 0;
    }
    if (status == WalkStatus::ParseFailed) {
        Fail(10004, path);
        return 0;
    }
    if (status == WalkStatus::OutOfMemory) {
        Fail(kDicomDirOutOfMemoryMessage, path);
        statusCode = kStatusOutOfMemory;
        return 0;
    }
    if (result.split) {
        splitMultiFrame = 1;
    }
    dicomDirCut = result.cut;
    if (status != WalkStatus::Done) {
        return 0;
    }
    // Records that give no patient (studies without their PATIENT record), or no record at all,
    // are a directory nothing can be shown from; records a limit cut before a patient with an
    // image was whole are an empty disc, which the list then says.
    if (patients.size() == before && (result.cut & ~kXEVDicomDirLinks) == 0) {
        Fail(result.cut != 0 ? XEVLinkMessages(result.cut).front() : 10004, path);
        statusCode = result.cut != 0 ? kStatusLinkedOut : statusCode;
        return 0;
    }
    if (result.framedRecords > 0) {
        hasFrameCounts = 1;
    }
    return 1;
}

int32_t XEVVEKHelper::ScanDicomDir(int32_t& multiFrameFound, int32_t& unsupportedRemoved, const QString& path,
                                   std::vector<PatientInfo*>& scanList, int32_t hasFrameCounts,
                                   const std::atomic<int32_t>& abortFlag, XEVThread& scanThread)
{
    WalkOptions options;
    options.scan = true;
    options.hasFrameCounts = hasFrameCounts;
    options.abortFlag = &abortFlag;
    options.gate = &scanThread;
    const XEVCommonSettings& settings = GetCommonSettings();
    options.reportCheck = settings.ModeSupportSR == 1 && settings.ModeUnsupportSRDelList == 1;
    WalkResult result;
    const WalkStatus status = WalkDicomDir(path, scanList, options, result);
    if (result.unsupportedRemoved) {
        unsupportedRemoved = 1;
    }
    multiFrameFound = result.multiFrameFound ? 1 : 0;
    return status == WalkStatus::Done ? 1 : 0;
}

int32_t XEVVEKHelper::LoadDicomFile(const QString& path, std::vector<PatientInfo*>& patients)
{
    ClearStatus();
    const auto fail = [&](uint32_t messageId, int32_t code) {
        statusText = GetMessageString(messageId) + QStringLiteral("\n      [") + path + QStringLiteral("]\n");
        statusCode = code;
        manager.clear();
        return 0;
    };
    XEVReadManager callManager(XEVLoadMemoryBudget());
    const std::string nativePath = XEVNativePath(path);
    // The file alone is what the screen shows next: read ahead of the background, as a
    // DICOMDIR's walk is.
    XEVMediumTurn turn(XEVReadPriority::OnScreen, nullptr);
    VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&callManager, nativePath.c_str());
    if (storage == nullptr) {
        return fail(10005, -2001);
    }
    StorageGuard guard{storage};
    try {
        VEK_DICOMInfo info(&callManager);
        if (!LoadsElements(info, storage, callManager) || IsDirectoryData(info)) {
            // Past the read's budget: the file's own excess, said as out of memory.
            return callManager.RefusedSince(0) ? fail(10006, kStatusLoadBudget) : fail(10007, -2002);
        }
        // Bounded as the DICOMDIR's records are: the rest of a long value stays in the file.
        const auto text = [&](uint16_t group, uint16_t element) { return DicomTextValue(info, group, element); };
        auto patient = std::make_unique<PatientInfo>();
        if (info.get_length(0x0010, 0x0010) != 0) {
            QString name = text(0x0010, 0x0010);
            if (!info.exist(0x0008, 0x0005)) {
                name = GetJisText(info, 0x0010, 0x0010);
            }
            patient->nameIdeographic = PersonNameToDisplay(GetValueOfPair(name));
            patient->nameAlphabetic = PersonNameToDisplay(GetKeyOfPair(name));
        }
        patient->sex = text(0x0010, 0x0040);
        if (info.exist(0x0010, 0x1010)) {
            patient->SetAge(text(0x0010, 0x1010));
        }
        if (info.exist(0x0010, 0x0030)) {
            patient->birthDate = text(0x0010, 0x0030);
        }
        patient->patientId = text(0x0010, 0x0020);

        auto study = std::make_unique<StudyInfo>();
        study->studyInstanceUid = text(0x0020, 0x000D);
        study->studyDate = text(0x0008, 0x0020);
        QString studyModality = text(0x0008, 0x0061);

        auto series = std::make_unique<SeriesInfo>();
        series->seriesInstanceUid = text(0x0020, 0x000E);
        series->number = 0;
        info.get_long(0x0020, 0x0011, series->number);
        series->description = text(0x0008, 0x103E);
        series->modality = text(0x0008, 0x0060);
        if (studyModality.isEmpty()) {
            studyModality = series->modality;
        }

        // An entry per frame the file holds, up to the bound past which it stays one entry.
        const int32_t fileFrames = XEVFileFrameCount(info, uint64_t(std::max(storage->size(), 0)));
        const bool whole = fileFrames > kXEVFrameEntryLimit;
        const int32_t frames = whole ? 1 : fileFrames;
        const bool basicText = text(0x0008, 0x0016) == QString::fromUtf16(kBasicTextSRClass);
        const QString sopInstanceUid = basicText ? QStringLiteral("SR") : text(0x0008, 0x0018);
        int32_t instanceNumber = 0;
        const bool numbered = info.get_long(0x0020, 0x0013, instanceNumber);
        series->images.reserve(size_t(frames));
        for (int32_t k = 0; k < frames; ++k) {
            auto* image = new ImageInfo;
            image->sopInstanceUid = sopInstanceUid;
            image->instanceNumber = instanceNumber;
            image->numbered = numbered;
            image->filePath = path;
            image->startFrame = k;
            image->wholeMultiFrame = whole;
            series->images.push_back(image);
        }
        if (series->description.isEmpty()) {
            series->description = GetUIString(20313);
        }
        if (studyModality == u"SR") {
            series->description = GetUIString(20314);
        }
        SortImages(series.get());
        study->series.push_back(series.release());
        study->modalities = studyModality;
        SortSeries(study.get());
        patient->studies.push_back(study.release());
        patients.push_back(patient.release());
    } catch (...) {
        if (callManager.RefusedSince(0)) {
            return fail(10006, kStatusLoadBudget);
        }
        manager.clear();
        return 0;
    }
    manager.clear();
    return 1;
}

namespace {

// Whether the file loads as Info and accept takes it; every failure, thrown or not, gives 0.
template <class Info>
int32_t LoadsAs(const QString& path, const std::atomic<int32_t>* stop, bool (*accept)(const Info&) = nullptr)
{
    try {
        // A check the user waits for: in the medium's turn, ahead of reads in the background.
        XEVMediumTurn turn(XEVReadPriority::OnScreen, stop);
        if (!turn.Held()) {
            return 0;
        }
        XEVReadManager callManager(std::is_same_v<Info, VEK_DICOMDIRInfo> ? dicomDirMemoryBudget.load()
                                                                          : XEVLoadMemoryBudget());
        const std::string nativePath = XEVNativePath(path);
        VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&callManager, nativePath.c_str());
        if (storage == nullptr) {
            return 0;
        }
        StorageGuard guard{storage};
        VEK_InputStorage* input = storage;
        StorageGuard stoppableGuard{nullptr};
        if constexpr (std::is_same_v<Info, VEK_DICOMDIRInfo>) {
            input = DirectoryInput(&callManager, storage, stop, stoppableGuard);
        } else if (stop != nullptr) {
            stoppableGuard.storage = vek_create<StoppableInput>(&callManager, storage, stop);
            input = stoppableGuard.storage;
        }
        if (input == nullptr) {
            return 0;
        }
        Info info(&callManager);
        if constexpr (std::is_same_v<Info, VEK_DICOMDIRInfo>) {
            BoundDirectoryRead(info, callManager, stop);
        }
        bool loaded = false;
        if constexpr (std::is_same_v<Info, VEK_DICOMInfo>) {
            loaded = LoadsElements(info, input, callManager);
            // A file whose read passed its budget is still an image file: its load says that
            // it is out of memory, not that nothing could be opened.
            if (!loaded && callManager.RefusedSince(0)) {
                return 1;
            }
        } else {
            loaded = info.load(input);
        }
        return loaded && (accept == nullptr || accept(info)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}   // namespace

XEVParsedDicomDirPtr XEVVEKHelper::ReadDicomDir(const QString& path, const std::atomic<int32_t>* stop)
{
    try {
        // File Open's check, which the user waits for: in the medium's turn.
        XEVMediumTurn turn(XEVReadPriority::OnScreen, stop);
        if (!turn.Held()) {
            return nullptr;
        }
        auto parsed = std::make_shared<XEVParsedDicomDir>();
        parsed->path = path;
        const std::string nativePath = XEVNativePath(path);
        parsed->file.storage = VEK_FileInputStorage::create(&parsed->manager, nativePath.c_str());
        if (parsed->file.storage == nullptr) {
            return nullptr;
        }
        VEK_InputStorage* input = DirectoryInput(&parsed->manager, parsed->file.storage, stop, parsed->stoppable);
        if (input == nullptr) {
            return nullptr;
        }
        parsed->info.emplace(&parsed->manager);
        BoundDirectoryRead(*parsed->info, parsed->manager, stop);
        if (!parsed->info->load(input)) {
            // A directory its memory refused is still one: its load says so. Its memory goes now.
            const bool refused = parsed->manager.status().code() == VEK_ERROR_MEMORY &&
                                 NamesDirectoryClass(nativePath) && (stop == nullptr || stop->load() == 0);
            if (!refused) {
                return nullptr;
            }
            parsed->info.reset();
            parsed->outOfMemory = true;
            return parsed;
        }
        parsed->cut = CutOf(*parsed->info);
        parsed->Rebind(nullptr);
        return parsed;
    } catch (...) {
        return nullptr;
    }
}

int32_t XEVVEKHelper::IsDicomDir(const QString& path, const std::atomic<int32_t>* stop)
{
    return LoadsAs<VEK_DICOMDIRInfo>(path, stop);
}

int32_t XEVVEKHelper::IsDicomFile(const QString& path, const std::atomic<int32_t>* stop)
{
    // A DICOMDIR is not parsed whole (and past its limits) to be told from an image.
    {
        XEVMediumTurn turn(XEVReadPriority::OnScreen, stop);
        if (!turn.Held() || NamesDirectoryClass(XEVNativePath(path))) {
            return 0;
        }
    }
    return LoadsAs<VEK_DICOMInfo>(path, stop, [](const VEK_DICOMInfo& info) { return !IsDirectoryData(info); });
}
