// Filling the study model from a DICOMDIR, and the text readers the walk uses.
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

#include "platform/platcodepage.h"
#include "platform/platfileid.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevcommonsettings.h"
#include "study/xevloadstate.h"
#include "study/xevsourcehead.h"
#include "study/xevthread.h"
#include "study/xevvekhelper.h"
#include "vek_dicominfo.h"
#include "vek_errorhandler.h"
#include "vek_fileinputstorage.h"
#include "xevstudytext.h"

namespace {

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
           VekToQString(info.get_string_value(0x0002, 0x0002)) == QString::fromUtf16(kDirectoryStorageClass);
}

// Destroys a storage when the call leaves.
struct StorageGuard {
    VEK_InputStorage* storage;
    ~StorageGuard() { vek_destroy(storage); }
};

// The frames a file can hold: whole frames of the record's own geometry in its bytes when the
// record gives rows and columns (bits 1 and one sample when not given: the smallest frame), or
// else what the file's own header and data lay out.
uint64_t FramesTheFileHolds(const QString& path, uint64_t fileSize, const VEK_DICOMTagObj* record, uint64_t claimed)
{
    const auto value = [record](uint16_t element, uint64_t otherwise) -> uint64_t {
        if (record == nullptr || !record->exist(0x0028, element)) {
            return otherwise;
        }
        return uint64_t(std::max<int32_t>(record->get_long_value(0x0028, element), 0));
    };
    const uint64_t frameBits = value(0x0010, 0) * value(0x0011, 0) * std::max<uint64_t>(value(0x0002, 1), 1) *
                               std::max<uint64_t>(value(0x0100, 1), 1);
    if (frameBits != 0) {
        return fileSize * 8 / frameBits;
    }
    // Counts that frames of 64 x 64 bytes would fill pass without opening the file; only a
    // count past that costs a read of the file's header.
    if (claimed <= fileSize / (64 * 64)) {
        return claimed;
    }
    VEK_DefaultManager fileManager;
    VEK_InputStorage* storage = XEVOpenSourceHeader(&fileManager, path);
    if (storage == nullptr) {
        return 0;
    }
    StorageGuard guard{storage};
    VEK_DICOMInfo info(&fileManager);
    return info.load(storage) && info.has_pixel_data() != 0 ? info.frame_count() : 0;
}

// One entry per frame the file can hold: a count past that is damage (or hostility) and must
// not make millions of entries. Clamped with a warning to manager.
int32_t PlausibleFrameCount(int32_t frames, const QString& path, const VEK_DICOMTagObj* record, VEK_Manager* manager)
{
    if (frames < 2) {
        return frames;
    }
    // A member of an imported archive is not extracted for its count: its declared size, and
    // its header read through the archive.
    uint64_t fileSize = 0;
    if (!XEVSourceSize(path, fileSize)) {
        return 1;
    }
    const uint64_t holds = FramesTheFileHolds(path, fileSize, record, uint64_t(frames));
    if (uint64_t(frames) <= holds) {
        return frames;
    }
    vek_report(manager, VEK_WARNING_DATA, __func__, __FILE__, __LINE__);
    return int32_t(std::max<uint64_t>(holds, 1));
}

ImageInfo* NewEntry(const VEK_DICOMDIRImage& record, const QString& path, int32_t startFrame)
{
    auto* image = new ImageInfo;
    image->sopInstanceUid = VekToQString(record.sop_instance_uid);
    image->instanceNumber = static_cast<int32_t>(record.instance_number);
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

QString XEVVEKHelper::GetJisText(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element)
{
    const QString plain = VekToQString(info.get_string_value(group, element));
    const uint32_t length = info.get_length(group, element);
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

QString XEVVEKHelper::GetSeriesRecordFileID(const VEK_DICOMDIRInfo& info, const VEK_DICOMDIRSeries& series)
{
    // The record right after this series' own record, found by its stream position: counting
    // SERIES records in stream order would hand a report series another series' document
    // wherever stream order and the offset tree differ.
    const uint32_t count = info.get_item_count(0x0004, 0x1220);
    VEK_DICOMTagObj item(info);
    for (uint32_t i = 0; i + 1 < count; ++i) {
        if (!info.get_item(0x0004, 0x1220, i, item)) {
            return QString();
        }
        if (static_cast<uint32_t>(item.get_position()) != series.common.position) {
            continue;
        }
        if (!info.get_item(0x0004, 0x1220, i + 1, item)) {
            return QString();
        }
        const QString id = VekToQString(item.get_string_value(0x0004, 0x1500));
        return PlatIsSafeFileId(id.toStdString()) ? id : QString();
    }
    return QString();
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
};

struct WalkResult {
    int32_t framedRecords = 0;
    bool split = false;
    bool multiFrameFound = false;
    bool unsupportedRemoved = false;
};

enum class WalkStatus { Done, OpenFailed, ParseFailed, Raised, Stopped };

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

WalkStatus WalkDicomDir(const QString& path, std::vector<PatientInfo*>& patients, const WalkOptions& options,
                        WalkResult& result)
{
    VEK_DefaultManager callManager;
    const qsizetype slash = path.lastIndexOf(u'/');
    const std::string folder = (slash < 0 ? path : path.left(slash)).toStdString();
    const std::string nativePath = path.toStdString();

    VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&callManager, nativePath.c_str());
    if (storage == nullptr) {
        return WalkStatus::OpenFailed;
    }
    StorageGuard guard{storage};
    VEK_DICOMDIRInfo info(&callManager);
    if (!info.load(storage)) {
        return WalkStatus::ParseFailed;
    }

    const XEVCommonSettings& settings = GetCommonSettings();
    const bool supportSR = settings.ModeSupportSR == 1;
    const bool splitByFile = settings.ModeMultiFrameRead == 1 || options.hasFrameCounts == 1;
    const QString undefinedText = GetUIString(20313);
    const QString reportText = GetUIString(20314);
    PlatFileIdResolver resolver;
    bool aborted = false;
    const auto goesOn = [&] {
        if (!aborted &&
            (options.scan ? !ScanGoesOn(options) : options.abortFlag != nullptr && options.abortFlag->load() != 0)) {
            aborted = true;
        }
        return !aborted;
    };
    try {
        for (const VEK_DICOMDIRPatient& patientRecord : info.patients) {
            if (!goesOn()) {
                break;
            }
            auto patient = std::make_unique<PatientInfo>();
            const VEK_DICOMTagObj& patientTags = patientRecord.common.tag;
            QString name = VekToQString(patientRecord.patient_name);
            if (!name.isEmpty()) {
                if (!patientTags.exist(0x0008, 0x0005)) {
                    name = XEVVEKHelper::GetJisText(patientTags, 0x0010, 0x0010);
                }
                patient->nameIdeographic = PersonNameToDisplay(GetValueOfPair(name));
                patient->nameAlphabetic = PersonNameToDisplay(GetKeyOfPair(name));
            }
            patient->sex = VekToQString(patientRecord.patient_sex);
            if (patientTags.exist(0x0010, 0x1010)) {
                patient->SetAge(VekToQString(patientTags.get_string_value(0x0010, 0x1010)));
            }
            if (patientTags.exist(0x0010, 0x0030)) {
                patient->birthDate = VekToQString(patientTags.get_string_value(0x0010, 0x0030));
            }
            patient->patientId = VekToQString(patientRecord.patient_id);

            for (const VEK_DICOMDIRStudy& studyRecord : patientRecord.studies) {
                if (!goesOn()) {
                    break;
                }
                auto study = std::make_unique<StudyInfo>();
                study->studyInstanceUid = VekToQString(studyRecord.study_instance_uid);
                study->studyDate = VekToQString(studyRecord.study_date);
                QString studyModality = VekToQString(studyRecord.modalities_in_study);
                int32_t counter = 0;

                for (const VEK_DICOMDIRSeries& seriesRecord : studyRecord.series) {
                    if (!goesOn()) {
                        break;
                    }
                    auto series = std::make_unique<SeriesInfo>();
                    series->seriesInstanceUid = VekToQString(seriesRecord.series_instance_uid);
                    series->modality = VekToQString(seriesRecord.modality);
                    series->description = VekToQString(seriesRecord.series_description);
                    series->number = counter;
                    if (studyModality.isEmpty()) {
                        studyModality = series->modality;
                    }
                    bool reportFlag = false;
                    bool basicTextFlag = false;

                    for (const VEK_DICOMDIRImage& imageRecord : seriesRecord.images) {
                        if (!goesOn()) {
                            break;
                        }
                        // An ID that would leave the disc, through a link too, is not listed.
                        const std::string joined =
                            resolver.Join(folder, VekToQString(imageRecord.file_id).toStdString());
                        if (joined.empty()) {
                            vek_report(&callManager, VEK_WARNING_DATA, __func__, __FILE__, __LINE__);
                            continue;
                        }
                        const QString filePath = QString::fromStdString(joined);
                        int32_t frameNumber = 0;
                        bool split = false;
                        if (options.scan) {
                            // The file itself, not the record, says how many frames it holds.
                            XEVVEKHelper counterHelper;
                            if (counterHelper.CheckFrameCount(filePath, frameNumber) == 0) {
                                frameNumber = 0;
                            }
                            split = frameNumber > 1 && splitByFile;
                            frameNumber =
                                split ? PlausibleFrameCount(frameNumber, filePath, nullptr, &callManager) : frameNumber;
                            split = split && frameNumber >= 2;
                        } else {
                            const VEK_DICOMTagObj& imageTags = imageRecord.common.tag;
                            if (imageTags.exist(0x0028, 0x0008)) {
                                frameNumber = imageTags.get_long_value(0x0028, 0x0008);
                            }
                            if (frameNumber >= 1) {
                                ++result.framedRecords;
                            }
                            frameNumber = PlausibleFrameCount(frameNumber, filePath, &imageTags, &callManager);
                            split = frameNumber >= 2;
                        }
                        if (split) {
                            result.multiFrameFound = true;
                            if (seriesRecord.images.size() < 2) {
                                AppendEntries(series.get(), imageRecord, filePath, frameNumber);
                            } else {
                                auto own = std::make_unique<SeriesInfo>();
                                own->seriesInstanceUid = series->seriesInstanceUid;
                                own->number = ++counter;
                                QString description = VekToQString(seriesRecord.series_description);
                                if (description.isEmpty()) {
                                    description = undefinedText;
                                }
                                own->modality = VekToQString(seriesRecord.modality);
                                if (studyModality.isEmpty()) {
                                    studyModality = own->modality;
                                }
                                own->description = QStringLiteral("%1_%2").arg(description).arg(own->number);
                                AppendEntries(own.get(), imageRecord, filePath, frameNumber);
                                study->series.push_back(own.release());
                                result.split = true;
                            }
                            continue;
                        }
                        auto image = std::unique_ptr<ImageInfo>(NewEntry(imageRecord, filePath, 0));
                        const QString sopClass = VekToQString(imageRecord.referenced_sop_class_uid);
                        if (!supportSR) {
                            if (!IsSRClass(sopClass)) {
                                series->images.push_back(image.release());
                            }
                            continue;
                        }
                        if (sopClass == QString::fromUtf16(kBasicTextSRClass)) {
                            basicTextFlag = true;
                        }
                        if (IsSRClass(sopClass)) {
                            image->sopInstanceUid = QStringLiteral("SR");
                            series->modality = QStringLiteral("SR");
                            reportFlag = true;
                        }
                        series->images.push_back(image.release());
                    }

                    if (supportSR) {
                        if (seriesRecord.images.empty() && series->modality == u"SR") {
                            // Documents listed under other record types: the record after the
                            // series' own one.
                            const QString id = XEVVEKHelper::GetSeriesRecordFileID(info, seriesRecord);
                            const std::string joined =
                                id.isEmpty() ? std::string() : resolver.Join(folder, id.toStdString());
                            if (!joined.empty()) {
                                auto image = std::make_unique<ImageInfo>();
                                image->filePath = QString::fromStdString(joined);
                                image->sopInstanceUid = QStringLiteral("SR");
                                series->images.push_back(image.release());
                            }
                            reportFlag = true;
                            basicTextFlag = true;
                        } else if (reportFlag && !basicTextFlag) {
                            continue;
                        }
                        if (options.reportCheck && reportFlag && IsUnsupportedReport(*series)) {
                            result.unsupportedRemoved = true;
                            continue;
                        }
                    }
                    if (series->description.isEmpty()) {
                        series->description = undefinedText;
                    }
                    if (reportFlag) {
                        series->description = reportText;
                    }
                    if (!series->images.empty()) {
                        SortImages(series.get());
                        study->series.push_back(series.release());
                    }
                    ++counter;
                }
                study->modalities = studyModality;
                SortSeries(study.get());
                if (!study->series.empty()) {
                    patient->studies.push_back(study.release());
                }
            }
            if (!patient->studies.empty()) {
                patients.push_back(patient.release());
            }
        }
    } catch (...) {
        return WalkStatus::Raised;
    }
    return aborted && !options.scan ? WalkStatus::Stopped : WalkStatus::Done;
}

}   // namespace

int32_t XEVVEKHelper::LoadDicomDir(const QString& path, std::vector<PatientInfo*>& patients, int32_t& hasFrameCounts,
                                   int32_t& splitMultiFrame, const std::atomic<int32_t>* stop)
{
    ClearStatus();
    WalkResult result;
    WalkOptions options;
    options.abortFlag = stop;
    const WalkStatus status = WalkDicomDir(path, patients, options, result);
    if (status == WalkStatus::OpenFailed) {
        Fail(10003, path);
        manager.clear();
        return 0;
    }
    if (status == WalkStatus::ParseFailed) {
        Fail(10004, path);
        return 0;
    }
    if (result.split) {
        splitMultiFrame = 1;
    }
    if (status != WalkStatus::Done) {
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
    VEK_DefaultManager callManager;
    const std::string nativePath = path.toStdString();
    VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&callManager, nativePath.c_str());
    if (storage == nullptr) {
        return fail(10005, -2001);
    }
    StorageGuard guard{storage};
    try {
        VEK_DICOMInfo info(&callManager);
        if (!info.load(storage) || IsDirectoryData(info)) {
            return fail(10007, -2002);
        }
        const auto text = [&](uint16_t group, uint16_t element) {
            return VekToQString(info.get_string_value(group, element));
        };
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
        series->number = info.exist(0x0020, 0x0011) ? info.get_long_value(0x0020, 0x0011) : 0;
        series->description = text(0x0008, 0x103E);
        series->modality = text(0x0008, 0x0060);
        if (studyModality.isEmpty()) {
            studyModality = series->modality;
        }

        int32_t frames = 1;
        if (info.exist(0x0028, 0x0008)) {
            frames = std::max(info.get_long_value(0x0028, 0x0008), 1);
        }
        if (info.has_pixel_data() != 0 && uint32_t(frames) > info.frame_count()) {
            // The frames the data holds.
            vek_report(&callManager, VEK_WARNING_DATA, __func__, __FILE__, __LINE__);
            frames = int32_t(std::max<uint32_t>(info.frame_count(), 1));
        }
        const bool basicText = text(0x0008, 0x0016) == QString::fromUtf16(kBasicTextSRClass);
        const QString sopInstanceUid = basicText ? QStringLiteral("SR") : text(0x0008, 0x0018);
        const int32_t instanceNumber = info.get_long_value(0x0020, 0x0013);
        series->images.reserve(size_t(frames));
        for (int32_t k = 0; k < frames; ++k) {
            auto* image = new ImageInfo;
            image->sopInstanceUid = sopInstanceUid;
            image->instanceNumber = instanceNumber;
            image->filePath = path;
            image->startFrame = k;
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
        manager.clear();
        return 0;
    }
    manager.clear();
    return 1;
}

namespace {

// Whether the file loads as Info and accept takes it; every failure, thrown or not, gives 0.
template <class Info>
int32_t LoadsAs(const QString& path, bool (*accept)(const Info&) = nullptr)
{
    try {
        VEK_DefaultManager callManager;
        const std::string nativePath = path.toStdString();
        VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&callManager, nativePath.c_str());
        if (storage == nullptr) {
            return 0;
        }
        StorageGuard guard{storage};
        Info info(&callManager);
        return info.load(storage) && (accept == nullptr || accept(info)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}   // namespace

int32_t XEVVEKHelper::IsDicomDir(const QString& path)
{
    return LoadsAs<VEK_DICOMDIRInfo>(path);
}

int32_t XEVVEKHelper::IsDicomFile(const QString& path)
{
    return LoadsAs<VEK_DICOMInfo>(path, [](const VEK_DICOMInfo& info) { return !IsDirectoryData(info); });
}
