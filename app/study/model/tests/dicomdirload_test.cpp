#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "shell/xev_uistring.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevziparchive.h"
#include "study/xevloadstate.h"
#include "study/xevvekhelper.h"
#include "testsupport/zipmaker.h"
#include "vek_fileinputstorage.h"

namespace {

const QString kData = QStringLiteral(STUDY_TEST_DATA_DIR);

// Patients of one load, deleted with the fixture.
struct Loaded {
    std::vector<PatientInfo*> patients;
    int32_t result = 0;
    int32_t hasFrameCounts = 0;
    int32_t split = 0;
    XEVVEKHelper helper;
    ~Loaded()
    {
        for (PatientInfo* p : patients)
            delete p;
    }
};

std::unique_ptr<Loaded> Load(const QString& path, int32_t supportSR)
{
    GetCommonSettings().ModeSupportSR = supportSR;
    auto loaded = std::make_unique<Loaded>();
    loaded->result = loaded->helper.LoadDicomDir(path, loaded->patients, loaded->hasFrameCounts, loaded->split);
    GetCommonSettings().ModeSupportSR = 0;
    return loaded;
}

// The expected values of the pydicom walk: line kind -> fields, in file order.
std::vector<std::vector<QString>> Expected()
{
    QFile file(kData + QStringLiteral("/expected.txt"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    std::vector<std::vector<QString>> lines;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        std::vector<QString> fields;
        for (const QByteArray& f : line.split('\t'))
            fields.push_back(QString::fromUtf8(f));
        lines.push_back(fields);
    }
    return lines;
}

QString FileName(const ImageInfo* image)
{
    return QFileInfo(image->filePath).fileName().toUpper();
}

void CopyLowerCase(const QString& from, const QString& to)
{
    QDir().mkpath(to);
    for (const QFileInfo& entry : QDir(from).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        const QString target = to + u'/' + entry.fileName().toLower();
        if (entry.isDir()) {
            CopyLowerCase(entry.filePath(), target);
        } else {
            ASSERT_TRUE(QFile::copy(entry.filePath(), target));
        }
    }
}

}   // namespace

TEST(LoadDicomDirTest, DiscAPatientsStudiesSeriesAndImages)
{
    auto a = Load(kData + QStringLiteral("/discA/DICOMDIR"), 0);
    ASSERT_EQ(a->result, 1);
    EXPECT_EQ(a->helper.statusCode, 0);
    ASSERT_EQ(a->patients.size(), 2u);
    const PatientInfo& p1 = *a->patients[0];
    // The names as pydicom decodes the raw JIS bytes of the record.
    const auto expected = Expected();
    ASSERT_EQ(expected[0][0], QStringLiteral("PATIENT"));
    const QString jis = expected[0][1].trimmed();
    EXPECT_EQ(p1.nameIdeographic, jis.section(u'=', 1).replace(u'^', u' '));
    EXPECT_EQ(p1.nameIdeographic, QStringLiteral("山田 太郎"));
    EXPECT_EQ(p1.nameAlphabetic, QStringLiteral("Yamada Taro"));
    EXPECT_EQ(p1.ageText, expected[0][2]);
    EXPECT_EQ(p1.age, 45);
    EXPECT_EQ(p1.patientId, QStringLiteral("P1"));
    EXPECT_EQ(a->patients[1]->nameAlphabetic, QStringLiteral("Doe John"));
    EXPECT_EQ(a->patients[1]->nameIdeographic, QStringLiteral("Doe John"));

    // SR off: the third study holds only reports and unsafe IDs and is gone.
    ASSERT_EQ(p1.studies.size(), 2u);
    const StudyInfo& s1 = *p1.studies[0];
    EXPECT_EQ(s1.studyInstanceUid, QStringLiteral("1.2.3.1"));
    ASSERT_EQ(s1.series.size(), 2u);
    // Series Numbers 5 then 2 keep record order.
    EXPECT_EQ(s1.series[0]->description, QStringLiteral("FIVE"));
    EXPECT_EQ(s1.series[0]->number, 0);
    EXPECT_EQ(s1.series[1]->number, 1);
    // Instance numbers 3, 1, 2, 1 (I01, I02, I03, I06): sorted, the tie in record order.
    const SeriesInfo& five = *s1.series[0];
    ASSERT_EQ(five.images.size(), 4u);
    const char* order[] = {"I02", "I06", "I03", "I01"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(FileName(five.images[i]), QString::fromLatin1(order[i]));
        EXPECT_TRUE(QFileInfo::exists(five.images[i]->filePath)) << five.images[i]->filePath.toStdString();
    }
    EXPECT_EQ(five.images[0]->instanceNumber, 1);
    EXPECT_EQ(five.images[3]->instanceNumber, 3);

    // A 30-frame file alone in its series: 30 entries.
    const SeriesInfo& mf = *s1.series[1];
    ASSERT_EQ(mf.images.size(), 30u);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(mf.images[i]->startFrame, i);
    }
    EXPECT_EQ(mf.description, QStringLiteral("MF"));

    // A 10-frame file among 3 records: two entries stay, "<description>_1" follows.
    const StudyInfo& s2 = *p1.studies[1];
    EXPECT_EQ(s2.modalities, QStringLiteral("MR"));
    ASSERT_EQ(s2.series.size(), 3u);
    EXPECT_EQ(s2.series[0]->images.size(), 2u);
    EXPECT_EQ(s2.series[0]->number, 0);
    EXPECT_EQ(s2.series[1]->description, QStringLiteral("THREE_1"));
    EXPECT_EQ(s2.series[1]->number, 1);
    EXPECT_EQ(s2.series[1]->images.size(), 10u);
    EXPECT_EQ(s2.series[1]->images[9]->startFrame, 9);
    EXPECT_EQ(s2.series[2]->number, 2);
    EXPECT_EQ(s2.series[2]->description, GetUIString(20313));
    EXPECT_EQ(a->split, 1);
    EXPECT_EQ(a->hasFrameCounts, 1);

    for (const PatientInfo* p : a->patients)
        for (const StudyInfo* s : p->studies)
            for (const SeriesInfo* e : s->series)
                for (const ImageInfo* i : e->images)
                    EXPECT_TRUE(QFileInfo::exists(i->filePath));
}

TEST(LoadDicomDirTest, LowerCaseCopyFindsEveryFile)
{
    QTemporaryDir dir;
    CopyLowerCase(kData + QStringLiteral("/discA"), dir.path() + QStringLiteral("/disc"));
    auto a = Load(dir.path() + QStringLiteral("/disc/dicomdir"), 1);
    ASSERT_EQ(a->result, 1);
    int count = 0;
    for (const PatientInfo* p : a->patients)
        for (const StudyInfo* s : p->studies)
            for (const SeriesInfo* e : s->series)
                for (const ImageInfo* i : e->images) {
                    EXPECT_TRUE(QFileInfo::exists(i->filePath)) << i->filePath.toStdString();
                    ++count;
                }
    EXPECT_EQ(count, 4 + 30 + 2 + 10 + 1 + 1 + 1 + 1);
}

TEST(LoadDicomDirTest, ReportSeriesWithSRSupport)
{
    auto a = Load(kData + QStringLiteral("/discA/DICOMDIR"), 1);
    ASSERT_EQ(a->result, 1);
    ASSERT_EQ(a->patients[0]->studies.size(), 3u);
    const StudyInfo& s3 = *a->patients[0]->studies[2];
    // Basic Text SR kept, Comprehensive SR alone dropped, the SR DOCUMENT series found by the
    // record after its own; the series of unsafe IDs is empty and dropped.
    ASSERT_EQ(s3.series.size(), 2u);
    EXPECT_EQ(s3.CountNonReportSeries(), 0);
    for (const SeriesInfo* e : s3.series) {
        EXPECT_EQ(e->modality, QStringLiteral("SR"));
        EXPECT_EQ(e->description, GetUIString(20314));
        EXPECT_EQ(e->description, QStringLiteral("レポート"));
        ASSERT_EQ(e->images.size(), 1u);
        EXPECT_EQ(e->images[0]->sopInstanceUid, QStringLiteral("SR"));
    }
    EXPECT_EQ(FileName(s3.series[0]->images[0]), QStringLiteral("R01"));
    EXPECT_EQ(FileName(s3.series[1]->images[0]), QStringLiteral("R03"));
    EXPECT_EQ(s3.series[0]->number, 0);
    // The dropped Comprehensive SR series does not advance the numbering.
    EXPECT_EQ(s3.series[1]->number, 1);
}

TEST(LoadDicomDirTest, SeriesRecordFileIdAndUnsafeIds)
{
    VEK_DefaultManager manager;
    const std::string path = (kData + QStringLiteral("/discA/DICOMDIR")).toStdString();
    VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&manager, path.c_str());
    ASSERT_NE(storage, nullptr);
    VEK_DICOMDIRInfo info(&manager);
    ASSERT_TRUE(info.load(storage));
    vek_destroy(storage);
    const VEK_DICOMDIRStudy& s3 = info.patients[0].studies[2];
    EXPECT_EQ(XEVVEKHelper::GetSeriesRecordFileID(info, s3.series[2]), QStringLiteral("SR\\R03"));
    // The record after the unsafe series' own record holds "..\IMG\I01".
    EXPECT_TRUE(XEVVEKHelper::GetSeriesRecordFileID(info, s3.series[3]).isEmpty());
    EXPECT_EQ(XEVVEKHelper::GetSeriesRecordFileID(info, s3.series[0]), QStringLiteral("SR\\R01"));
}

TEST(LoadDicomDirTest, MissingAndNonDicomFilesFail)
{
    auto patient = new PatientInfo;
    const QString missing = kData + QStringLiteral("/nothing/DICOMDIR");
    XEVVEKHelper helper;
    std::vector<PatientInfo*> patients{patient};
    int32_t frames = 0, split = 0;
    EXPECT_EQ(helper.LoadDicomDir(missing, patients, frames, split), 0);
    EXPECT_EQ(helper.statusCode, -1001);
    EXPECT_EQ(helper.statusText,
              GetMessageString(10003) + QStringLiteral("\n      [") + missing + QStringLiteral("]\n"));
    const QString notDicom = kData + QStringLiteral("/expected.txt");
    EXPECT_EQ(helper.LoadDicomDir(notDicom, patients, frames, split), 0);
    EXPECT_EQ(helper.statusCode, -1001);
    EXPECT_EQ(helper.statusText,
              GetMessageString(10004) + QStringLiteral("\n      [") + notDicom + QStringLiteral("]\n"));
    ASSERT_EQ(patients.size(), 1u);
    EXPECT_EQ(patients[0], patient);
    EXPECT_EQ(frames, 0);
    delete patient;
}

TEST(LoadDicomDirTest, FrameCountsBelowOneAndHostileCounts)
{
    auto zero = Load(kData + QStringLiteral("/discA/DIRZERO"), 0);
    ASSERT_EQ(zero->result, 1);
    EXPECT_EQ(zero->hasFrameCounts, 0);
    EXPECT_EQ(zero->split, 0);
    ASSERT_EQ(zero->patients.size(), 1u);
    EXPECT_EQ(zero->patients[0]->studies[0]->series[0]->images.size(), 2u);

    // 2,147,483,647 frames claimed by a record without geometry for a file of 10 frames: the
    // 10 entries the file lays out, not exhausted memory.
    auto huge = Load(kData + QStringLiteral("/discA/DIRHUGE"), 0);
    ASSERT_EQ(huge->result, 1);
    EXPECT_EQ(huge->hasFrameCounts, 1);
    ASSERT_EQ(huge->patients.size(), 1u);
    const std::vector<ImageInfo*>& entries = huge->patients[0]->studies[0]->series[0]->images;
    ASSERT_EQ(entries.size(), 10u);
    for (size_t k = 0; k < entries.size(); ++k) {
        EXPECT_EQ(entries[k]->startFrame, int32_t(k));
    }
}

// The same hostile count in an imported archive: the member's header is read through the
// archive and nothing is extracted. A set stop ends a load before its first record.
TEST(LoadDicomDirTest, ArchiveMembersAreCountedWhereTheyLieAndAStopEndsTheLoad)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString folder = temp.path() + QStringLiteral("/Kestro");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile::copy(kData + QStringLiteral("/discA/DIRHUGE"), folder + QStringLiteral("/DICOMDIR")));
    QFile image(kData + QStringLiteral("/discA/IMG/I05"));
    ASSERT_TRUE(image.open(QIODevice::ReadOnly));
    const QByteArray bytes = image.readAll();
    const std::string zip = (temp.path() + QStringLiteral("/disc.zip")).toStdString();
    ASSERT_TRUE(MakeZip(zip, {{"DICOMDIR", "d"}, {"IMG/I05", bytes.toStdString()}}));
    GetLoadState().SetArchive(zip, folder.toStdString());

    auto huge = Load(folder + QStringLiteral("/DICOMDIR"), 0);
    ASSERT_EQ(huge->result, 1);
    ASSERT_EQ(huge->patients.size(), 1u);
    EXPECT_EQ(huge->patients[0]->studies[0]->series[0]->images.size(), 10u);
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{QStringLiteral("DICOMDIR")});

    std::atomic<int32_t> stop{1};
    Loaded stopped;
    EXPECT_EQ(stopped.helper.LoadDicomDir(folder + QStringLiteral("/DICOMDIR"), stopped.patients,
                                          stopped.hasFrameCounts, stopped.split, &stop),
              0);
    EXPECT_TRUE(stopped.patients.empty());
    GetLoadState().SetArchive(std::string(), std::string());
    ZipForgetIndex();
}

TEST(LoadDicomDirTest, ReportDocumentFollowsItsOwnSeriesRecord)
{
    // The offset tree and the stream hold the two studies in opposite orders; whichever the
    // reader follows, each report series takes the document right after its own record.
    auto a = Load(kData + QStringLiteral("/discA/DIRSWAP"), 1);
    ASSERT_EQ(a->result, 1);
    ASSERT_EQ(a->patients.size(), 1u);
    const PatientInfo& p = *a->patients[0];
    ASSERT_EQ(p.studies.size(), 2u);
    std::map<QString, QString> documents;
    for (const StudyInfo* s : p.studies) {
        ASSERT_EQ(s->series.size(), 1u);
        ASSERT_EQ(s->series[0]->images.size(), 1u);
        documents[s->studyInstanceUid] = FileName(s->series[0]->images[0]);
    }
    EXPECT_EQ(documents[QStringLiteral("1.2.3.7")], QStringLiteral("R01"));
    EXPECT_EQ(documents[QStringLiteral("1.2.3.8")], QStringLiteral("R03"));
}

TEST(LoadDicomDirTest, DamagedDirectoriesLoadWhatTheyCan)
{
    // Broken offsets, loops, cut files and foreign record types from the reader's fixtures.
    const QDir data(QStringLiteral(STUDY_VEK_DATA_DIR));
    const QStringList names = data.entryList({QStringLiteral("dir_*")}, QDir::Files);
    ASSERT_GE(names.size(), 10);
    for (const QString& name : names) {
        auto a = Load(data.filePath(name), 1);
        if (a->result == 0) {
            EXPECT_EQ(a->helper.statusCode, -1001) << name.toStdString();
            EXPECT_TRUE(a->patients.empty()) << name.toStdString();
        }
        for (const PatientInfo* p : a->patients) {
            EXPECT_FALSE(p->studies.empty()) << name.toStdString();
            for (const StudyInfo* s : p->studies)
                for (const SeriesInfo* e : s->series)
                    EXPECT_FALSE(e->images.empty()) << name.toStdString();
        }
    }
    auto forward = Load(data.filePath(QStringLiteral("dir_forward")), 0);
    ASSERT_EQ(forward->result, 1);
    ASSERT_EQ(forward->patients.size(), 2u);
    EXPECT_EQ(forward->patients[0]->nameAlphabetic, QStringLiteral("ONE"));
    EXPECT_EQ(forward->patients[0]->studies[0]->series.size(), 2u);
}

// A record's frame count is bound by the file's own header, whatever geometry the record
// claims: 10^7 frames of 1 x 1 pixel at 1 bit for a file of 320 frames of 64 x 64 bytes give
// its 320 entries, 2^31 - 1 for a 300,000,000-byte value of 512 x 512 x 16-bit frames its 572
// whole frames, and a file whose pixel data is missing one entry.
TEST(LoadDicomDirTest, RecordFrameCountsAreBoundByTheFilesOwnHeader)
{
    namespace fs = std::filesystem;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const fs::path disc = dir.path().toStdString();
    fs::copy((kData + QStringLiteral("/hostile_frames")).toStdString(), disc, fs::copy_options::recursive);
    const auto entries = [&](const char* dicomdir) {
        auto loaded = Load(QString::fromStdString((disc / dicomdir).string()), 0);
        EXPECT_EQ(loaded->result, 1) << dicomdir;
        std::vector<int32_t> frames;
        if (loaded->patients.size() == 1) {
            for (const ImageInfo* image : loaded->patients[0]->studies.at(0)->series.at(0)->images) {
                frames.push_back(image->startFrame);
            }
        }
        return frames;
    };
    EXPECT_EQ(entries("DIRMANY"), std::vector<int32_t>{0});
    EXPECT_EQ(entries("DIRSPARSE"), std::vector<int32_t>{0});

    {
        std::ofstream many(disc / "IMG/MANY", std::ios::binary | std::ios::app);
        many << std::string(64 * 64 * 320, '\x80');
    }
    fs::resize_file(disc / "IMG/SPARSE", fs::file_size(disc / "IMG/SPARSE") + 300000000);
    const std::vector<int32_t> many = entries("DIRMANY");
    ASSERT_EQ(many.size(), 320u);
    const std::vector<int32_t> sparse = entries("DIRSPARSE");
    ASSERT_EQ(sparse.size(), 300000000u / (512 * 512 * 2));
    for (size_t k = 0; k < sparse.size(); ++k) {
        EXPECT_EQ(sparse[k], int32_t(k));
    }
}
