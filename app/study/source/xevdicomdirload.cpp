// Filling the study model from a DICOMDIR, and the text readers the walk uses.
#include <QFileInfo>

#include <memory>
#include <string>

#include "platform/platcodepage.h"
#include "platform/platfileid.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevcommonsettings.h"
#include "study/xevvekhelper.h"
#include "xevstudytext.h"
#include "vek_fileinputstorage.h"

namespace {

constexpr char16_t kSRClassPrefix[] = u"1.2.840.10008.5.1.4.1.1.88";
constexpr char16_t kBasicTextSRClass[] = u"1.2.840.10008.5.1.4.1.1.88.11";

bool IsSRClass(const QString& sopClass)
{
    return sopClass.startsWith(QString::fromUtf16(kSRClassPrefix));
}

// Destroys a storage when the call leaves.
struct StorageGuard {
    VEK_FileInputStorage* storage;
    ~StorageGuard() { vek_destroy(storage); }
};

// One entry per frame the file can plausibly hold: a count above the file's byte size is
// damage (or hostility) and must not make millions of entries.
int32_t PlausibleFrameCount(int32_t frames, const QString& path)
{
    if (frames < 2) {
        return frames;
    }
    const QFileInfo file(path);
    if (!file.exists() || frames > file.size()) {
        return 1;
    }
    return frames;
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

}  // namespace

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

int32_t XEVVEKHelper::LoadDicomDir(const QString& path, std::vector<PatientInfo*>& patients,
                                   int32_t& hasFrameCounts, int32_t& splitMultiFrame)
{
    ClearStatus();
    VEK_DefaultManager callManager;
    const qsizetype slash = path.lastIndexOf(u'/');
    const std::string folder = (slash < 0 ? path : path.left(slash)).toStdString();
    const std::string nativePath = path.toStdString();

    VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&callManager, nativePath.c_str());
    if (storage == nullptr) {
        Fail(10003, path);
        manager.clear();
        return 0;
    }
    StorageGuard guard{storage};
    VEK_DICOMDIRInfo info(&callManager);
    if (!info.load(storage)) {
        Fail(10004, path);
        return 0;
    }

    const bool supportSR = GetCommonSettings().ModeSupportSR == 1;
    const QString undefinedText = GetUIString(20313);
    const QString reportText = GetUIString(20314);
    PlatFileIdResolver resolver;
    int32_t framedRecords = 0;
    try {
        for (const VEK_DICOMDIRPatient& patientRecord : info.patients) {
            auto patient = std::make_unique<PatientInfo>();
            const VEK_DICOMTagObj& patientTags = patientRecord.common.tag;
            QString name = VekToQString(patientRecord.patient_name);
            if (!name.isEmpty()) {
                if (!patientTags.exist(0x0008, 0x0005)) {
                    name = GetJisText(patientTags, 0x0010, 0x0010);
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
                auto study = std::make_unique<StudyInfo>();
                study->studyInstanceUid = VekToQString(studyRecord.study_instance_uid);
                study->studyDate = VekToQString(studyRecord.study_date);
                QString studyModality = VekToQString(studyRecord.modalities_in_study);
                int32_t counter = 0;

                for (const VEK_DICOMDIRSeries& seriesRecord : studyRecord.series) {
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
                        // An ID that would leave the disc is not listed.
                        const std::string joined =
                            resolver.Join(folder, VekToQString(imageRecord.file_id).toStdString());
                        if (joined.empty()) {
                            continue;
                        }
                        const QString filePath = QString::fromStdString(joined);
                        const VEK_DICOMTagObj& imageTags = imageRecord.common.tag;
                        int32_t frameNumber = 0;
                        if (imageTags.exist(0x0028, 0x0008)) {
                            frameNumber = imageTags.get_long_value(0x0028, 0x0008);
                        }
                        if (frameNumber >= 1) {
                            ++framedRecords;
                        }
                        frameNumber = PlausibleFrameCount(frameNumber, filePath);
                        if (frameNumber >= 2) {
                            if (seriesRecord.images.size() < 2) {
                                AppendEntries(series.get(), imageRecord, filePath, frameNumber);
                            } else {
                                auto split = std::make_unique<SeriesInfo>();
                                split->seriesInstanceUid = series->seriesInstanceUid;
                                split->number = ++counter;
                                QString description = VekToQString(seriesRecord.series_description);
                                if (description.isEmpty()) {
                                    description = undefinedText;
                                }
                                split->modality = VekToQString(seriesRecord.modality);
                                if (studyModality.isEmpty()) {
                                    studyModality = split->modality;
                                }
                                split->description = QStringLiteral("%1_%2").arg(description).arg(split->number);
                                AppendEntries(split.get(), imageRecord, filePath, frameNumber);
                                study->series.push_back(split.release());
                                splitMultiFrame = 1;
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
                            const QString id = GetSeriesRecordFileID(info, seriesRecord);
                            const std::string joined = id.isEmpty() ? std::string()
                                                                    : resolver.Join(folder, id.toStdString());
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
        return 0;
    }
    if (framedRecords > 0) {
        hasFrameCounts = 1;
    }
    return 1;
}
