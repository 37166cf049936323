#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "loadertestkit.h"
#include "plat_temp_folder.h"
#include "platform/platevent.h"
#include "shell/xev_uistring.h"
#include "shell/xevcommonsettings.h"
#include "study/xevframeheader.h"
#include "study/xevloadstate.h"
#include "study/xevpatientlist.h"
#include "study/xevstagedread.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"

namespace {

const QString kData = QStringLiteral(STUDY_TEST_DATA_DIR);

// Options of one test, restored afterwards.
struct Modes {
    Modes(int32_t multiFrameRead, int32_t unsupportSRDelList, int32_t supportSR = 0)
    {
        Set(multiFrameRead, unsupportSRDelList, supportSR);
    }
    ~Modes() { Set(0, 0, 0); }
    static void Set(int32_t multiFrameRead, int32_t unsupportSRDelList, int32_t supportSR)
    {
        XEVCommonSettings& s = GetCommonSettings();
        s.ModeMultiFrameRead = multiFrameRead;
        s.ModeUnsupportSRDelList = unsupportSRDelList;
        s.ModeSupportSR = supportSR;
    }
    Modes(const Modes&) = delete;
};

struct Records {
    std::vector<PatientInfo*> patients;
    ~Records()
    {
        for (PatientInfo* p : patients)
            delete p;
    }
};

std::vector<QString> Paths(const std::vector<PatientInfo*>& patients)
{
    std::vector<QString> paths;
    for (const PatientInfo* p : patients)
        for (const StudyInfo* st : p->studies)
            for (const SeriesInfo* se : st->series)
                for (const ImageInfo* im : se->images)
                    paths.push_back(im->filePath);
    return paths;
}

const SeriesInfo* FindSeries(const std::vector<PatientInfo*>& patients, const QString& description)
{
    for (const PatientInfo* p : patients)
        for (const StudyInfo* st : p->studies)
            for (const SeriesInfo* se : st->series)
                if (se->description == description)
                    return se;
    return nullptr;
}

const SeriesInfo* SeriesWithFile(const std::vector<PatientInfo*>& patients, const QString& name)
{
    for (const PatientInfo* p : patients)
        for (const StudyInfo* st : p->studies)
            for (const SeriesInfo* se : st->series)
                for (const ImageInfo* im : se->images)
                    if (im->filePath.endsWith(name))
                        return se;
    return nullptr;
}

}   // namespace

// The loader ends without the list's thread running: the records go into the list only when
// that thread takes the notice, so nothing the window reads changes under it.
TEST(PatientListTest, ALoadsRecordsReachTheListOnlyOnItsOwnThread)
{
    Modes modes(0, 0);
    MessageRecorder recorder;
    XEVPatientList list;
    ASSERT_EQ(list.StartLoading(kData + QStringLiteral("/discA/DICOMDIR"), recorder.Handle()), 1);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPumpTimeoutMs);
    while (list.Running() != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(list.Running(), 0u);
    EXPECT_TRUE(list.patients.empty());
    EXPECT_EQ(recorder.Count(WM_XEV_PATIENTS_LOADED), 0u);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_PATIENTS_LOADED) == 1; }));
    EXPECT_FALSE(list.patients.empty());
}

TEST(PatientListTest, DicomDirLoadPostsItsResultAndSetsThePerFrameFlag)
{
    Modes modes(0, 0);
    MessageRecorder recorder;
    XEVPatientList list;
    ASSERT_EQ(list.StartLoading(kData + QStringLiteral("/discA/DICOMDIR"), recorder.Handle()), 1);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_PATIENTS_LOADED) == 1; }));
    EXPECT_EQ(recorder.Messages()[0].wParam, 0u);

    Records direct;
    XEVVEKHelper helper;
    int32_t known = 0, split = 0;
    ASSERT_EQ(helper.LoadDicomDir(kData + QStringLiteral("/discA/DICOMDIR"), direct.patients, known, split), 1);
    EXPECT_EQ(Paths(list.patients), Paths(direct.patients));
    EXPECT_EQ(list.frameCountsKnown.load(), 1);
    EXPECT_EQ(list.perFrameSplit.load(), 1);
    EXPECT_EQ(GetLoadState().perFrameEntries.load(), 1);
    EXPECT_EQ(list.GetPatient(1), list.patients[1]);
    EXPECT_EQ(list.GetPatient(2), nullptr);
    EXPECT_EQ(list.GetPatient(-1), nullptr);

    // The next load clears the flag first; frame counts 0 and -1 are no counts.
    list.Clear();
    EXPECT_TRUE(list.patients.empty());
    EXPECT_EQ(list.frameCountsKnown.load(), 0);
    ASSERT_EQ(list.StartLoading(kData + QStringLiteral("/discA/DIRZERO"), recorder.Handle()), 1);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_PATIENTS_LOADED) == 2; }));
    EXPECT_EQ(recorder.Messages()[1].wParam, 0u);
    EXPECT_EQ(GetLoadState().perFrameEntries.load(), 0);

    list.Clear();
    ASSERT_EQ(list.StartLoading(kData + QStringLiteral("/nothing/DICOMDIR"), recorder.Handle()), 1);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_PATIENTS_LOADED) == 3; }));
    EXPECT_EQ(intptr_t(recorder.Messages()[2].wParam), kXEVLoadFailed);
    list.WaitAll();
    recorder.Drain();
    EXPECT_EQ(recorder.Count(WM_XEV_SCAN_DONE), 0u);   // no option: no scanner
    EXPECT_TRUE(list.scanner.IsEmpty());
}

TEST(PatientListTest, SingleFileThroughTheLoaderThread)
{
    MessageRecorder recorder;
    XEVPatientList list;
    ASSERT_EQ(list.StartFileLoading(recorder.Handle(), kData + QStringLiteral("/single/multi3.dcm")), 1);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_PATIENTS_LOADED) == 1; }));
    ASSERT_EQ(list.patients.size(), 1u);

    // A failed single-file load posts nothing.
    list.Clear();
    ASSERT_EQ(list.StartFileLoading(recorder.Handle(), kData + QStringLiteral("/single/absent.dcm")), 1);
    list.WaitAll();
    recorder.Drain();
    EXPECT_EQ(recorder.Count(WM_XEV_PATIENTS_LOADED), 1u);
    EXPECT_TRUE(list.patients.empty());
}

// The frames of a file, counted alike by the scan, the image loader and the single-file list:
// its Number of Frames, bound by the whole frames its data holds (320 claimed over a value cut
// short or of 100 frames; 2^31 - 1 claimed over 572 held). Past the entry bound the list makes one entry.
TEST(LoadDicomFileTest, EveryReaderCountsAFilesFramesAlike)
{
    namespace fs = std::filesystem;
    PlatTempFolder temp;
    const std::string many = temp.Path() + "/MANY";
    const std::string sparse = temp.Path() + "/SPARSE";
    const std::string bytes = temp.Path() + "/BYTES";
    fs::copy_file(std::string(STUDY_TEST_DATA_DIR) + "/hostile_frames/IMG/MANY", many);
    fs::copy_file(std::string(STUDY_TEST_DATA_DIR) + "/hostile_frames/IMG/SPARSE", sparse);
    fs::copy_file(std::string(STUDY_TEST_DATA_DIR) + "/long_files/IMG/BYTES", bytes);
    fs::resize_file(sparse, fs::file_size(sparse) + 300000000);
    fs::resize_file(bytes, fs::file_size(bytes) + 10000000);
    const auto counts = [](const std::string& path) {
        const QString file = QString::fromStdString(path);
        XEVVEKHelper scan;
        int32_t scanned = -1;
        EXPECT_EQ(scan.CheckFrameCount(file, scanned), 1) << path;
        XEVVEKHelper loader;
        int32_t frame = 0;
        loader.LoadImage(file, frame);
        XEVVEKHelper lister;
        Records r;
        EXPECT_EQ(lister.LoadDicomFile(file, r.patients), 1) << path;
        const SeriesInfo* series = r.patients.at(0)->studies.at(0)->series.at(0);
        const int32_t listed = int32_t(series->images.size());
        EXPECT_EQ(series->images[0]->wholeMultiFrame, scanned > kXEVFrameEntryLimit) << path;
        return std::vector<int32_t>{scanned, loader.frameCount, scanned > kXEVFrameEntryLimit ? scanned : listed};
    };
    // The value cut short is no pixel data; a value of 100 frames and a bit holds 100 of them.
    const uintmax_t header = fs::file_size(many);
    EXPECT_EQ(counts(many), (std::vector<int32_t>{1, 1, 1}));
    const uint32_t declared = 64 * 64 * 100 + 5;
    {
        std::fstream out(many, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(std::streamoff(header) - 4);
        out.write(reinterpret_cast<const char*>(&declared), 4);
    }
    fs::resize_file(many, header + declared);
    EXPECT_EQ(counts(many), (std::vector<int32_t>{100, 100, 100}));
    fs::resize_file(many, header + 64 * 64 * 330);
    EXPECT_EQ(counts(many), (std::vector<int32_t>{100, 100, 100}));
    const int32_t whole = 300000000 / (512 * 512 * 2);
    EXPECT_EQ(counts(sparse), (std::vector<int32_t>{whole, whole, whole}));
    EXPECT_EQ(counts(bytes), (std::vector<int32_t>{10000000, 10000000, 10000000}));
}

TEST(LoadDicomFileTest, EntriesSeriesAndReports)
{
    XEVVEKHelper helper;
    Records r;
    ASSERT_EQ(helper.LoadDicomFile(kData + QStringLiteral("/single/multi3.dcm"), r.patients), 1);
    ASSERT_EQ(r.patients.size(), 1u);
    const PatientInfo* p = r.patients[0];
    EXPECT_EQ(p->nameAlphabetic, QStringLiteral("Single One"));
    EXPECT_EQ(p->age, 32);
    ASSERT_EQ(p->studies.size(), 1u);
    EXPECT_EQ(p->studies[0]->modalities, QStringLiteral("CT"));   // from the series when the study has none
    ASSERT_EQ(p->studies[0]->series.size(), 1u);
    const SeriesInfo* s = p->studies[0]->series[0];
    EXPECT_EQ(s->number, 7);
    EXPECT_EQ(s->description, GetUIString(20313));
    ASSERT_EQ(s->images.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(s->images[k]->startFrame, k);
        EXPECT_EQ(s->images[k]->instanceNumber, 4);
        EXPECT_EQ(s->images[k]->filePath, kData + QStringLiteral("/single/multi3.dcm"));
    }

    // Number of Frames 0, no Series Number: one entry, series 0.
    ASSERT_EQ(helper.LoadDicomFile(kData + QStringLiteral("/single/nf0.dcm"), r.patients), 1);
    const SeriesInfo* zero = r.patients[1]->studies[0]->series[0];
    EXPECT_EQ(zero->number, 0);
    ASSERT_EQ(zero->images.size(), 1u);
    EXPECT_EQ(zero->images[0]->startFrame, 0);

    // Basic Text SR is marked "SR"; a Comprehensive SR keeps its UID; both are reports.
    ASSERT_EQ(helper.LoadDicomFile(kData + QStringLiteral("/single/basic_sr.dcm"), r.patients), 1);
    ASSERT_EQ(helper.LoadDicomFile(kData + QStringLiteral("/single/comp_sr.dcm"), r.patients), 1);
    const SeriesInfo* basic = r.patients[2]->studies[0]->series[0];
    const SeriesInfo* comp = r.patients[3]->studies[0]->series[0];
    EXPECT_EQ(basic->images[0]->sopInstanceUid, QStringLiteral("SR"));
    EXPECT_NE(comp->images[0]->sopInstanceUid, QStringLiteral("SR"));
    EXPECT_FALSE(comp->images[0]->sopInstanceUid.isEmpty());
    EXPECT_EQ(basic->description, GetUIString(20314));
    EXPECT_EQ(comp->description, GetUIString(20314));
    EXPECT_EQ(basic->modality, QStringLiteral("SR"));

    // Failures leave the vector alone.
    EXPECT_EQ(helper.LoadDicomFile(kData + QStringLiteral("/single/absent.dcm"), r.patients), 0);
    EXPECT_EQ(helper.statusCode, -2001);
    EXPECT_TRUE(helper.statusText.startsWith(GetMessageString(10005)));
    EXPECT_EQ(helper.LoadDicomFile(kData + QStringLiteral("/expected.txt"), r.patients), 0);
    EXPECT_EQ(helper.statusCode, -2002);
    EXPECT_TRUE(helper.statusText.startsWith(GetMessageString(10007)));
    EXPECT_EQ(r.patients.size(), 4u);
}

TEST(LoadDicomFileTest, DicomDirAndDicomFileTests)
{
    const QString dir = kData + QStringLiteral("/discA/DICOMDIR");
    const QString file = kData + QStringLiteral("/single/nf0.dcm");
    EXPECT_EQ(XEVVEKHelper::IsDicomDir(dir), 1);
    EXPECT_EQ(XEVVEKHelper::IsDicomDir(file), 0);
    EXPECT_EQ(XEVVEKHelper::IsDicomFile(file), 1);
    for (const QString& bad : {kData + QStringLiteral("/expected.txt"), kData + QStringLiteral("/absent")}) {
        EXPECT_EQ(XEVVEKHelper::IsDicomDir(bad), 0);
        EXPECT_EQ(XEVVEKHelper::IsDicomFile(bad), 0);
    }
}

TEST(ScanDicomDirTest, SplitsOnlyWithTheOptionOrFrameCountsAndStopsOnAbort)
{
    const QString disc = kData + QStringLiteral("/discA/DICOMDIR");
    XEVThread gate;
    std::atomic<int32_t> abort{0};
    XEVVEKHelper helper;
    {
        Modes modes(0, 0);
        Records r;
        int32_t multi = 7, unsupported = 0;
        ASSERT_EQ(helper.ScanDicomDir(multi, unsupported, disc, r.patients, 0, abort, gate), 1);
        EXPECT_EQ(multi, 0);
        const SeriesInfo* mf = SeriesWithFile(r.patients, QStringLiteral("I04"));
        ASSERT_NE(mf, nullptr);
        EXPECT_EQ(mf->images.size(), 1u);   // 30 frames, not split
        EXPECT_EQ(FindSeries(r.patients, QStringLiteral("THREE_1")), nullptr);
    }
    for (int32_t variant = 0; variant < 2; ++variant) {
        // The option, or frame counts from the DICOMDIR load: the file's own count splits.
        Modes modes(variant == 0 ? 1 : 0, 0);
        Records r;
        int32_t multi = 0, unsupported = 0;
        ASSERT_EQ(helper.ScanDicomDir(multi, unsupported, disc, r.patients, variant, abort, gate), 1);
        EXPECT_EQ(multi, 1);
        EXPECT_EQ(SeriesWithFile(r.patients, QStringLiteral("I04"))->images.size(), 30u);
        const SeriesInfo* own = FindSeries(r.patients, QStringLiteral("THREE_1"));
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(own->images.size(), 10u);
        EXPECT_EQ(own->images[9]->startFrame, 9);
    }
    {
        Records r;
        int32_t multi = 1, unsupported = 0;
        abort = 1;
        EXPECT_EQ(helper.ScanDicomDir(multi, unsupported, disc, r.patients, 1, abort, gate), 1);
        EXPECT_TRUE(r.patients.empty());
        EXPECT_EQ(multi, 0);
        abort = 0;
        EXPECT_EQ(helper.ScanDicomDir(multi, unsupported, kData + QStringLiteral("/none/DICOMDIR"), r.patients, 0,
                                      abort, gate),
                  0);
        EXPECT_TRUE(helper.statusText.isEmpty());
    }
}

TEST(ScanDicomDirTest, UnsupportedReportSeriesAreDroppedOnlyWithTheOption)
{
    const QString disc = kData + QStringLiteral("/discA/DIRSRUN");
    XEVThread gate;
    std::atomic<int32_t> abort{0};
    XEVVEKHelper helper;
    for (int32_t option = 0; option < 2; ++option) {
        Modes modes(0, option, 1);
        Records r;
        int32_t multi = 0, unsupported = 0;
        ASSERT_EQ(helper.ScanDicomDir(multi, unsupported, disc, r.patients, 0, abort, gate), 1);
        EXPECT_EQ(unsupported, option);
        EXPECT_EQ(SeriesWithFile(r.patients, QStringLiteral("R04")) != nullptr, option == 0);
        EXPECT_NE(SeriesWithFile(r.patients, QStringLiteral("R01")), nullptr);
        EXPECT_NE(SeriesWithFile(r.patients, QStringLiteral("I01")), nullptr);
    }
}

TEST(PatientListTest, ScannerRunsAfterTheLoaderAndReportsOnce)
{
    MessageRecorder recorder;
    XEVPatientList list;
    {
        Modes modes(1, 1);
        ASSERT_EQ(list.StartLoading(kData + QStringLiteral("/discA/DICOMDIR"), recorder.Handle()), 1);
        ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_SCAN_DONE) == 1; }));
    }
    const auto messages = recorder.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].id, WM_XEV_PATIENTS_LOADED);
    EXPECT_EQ(messages[1].id, WM_XEV_SCAN_DONE);
    EXPECT_EQ(messages[1].wParam, 0u);
    EXPECT_FALSE(list.scanRecords.empty());
    EXPECT_EQ(list.perFrameSplit.load(), 1);

    // The switch: the current set emptied, then the two sets exchanged.
    const size_t scanned = list.scanRecords.size();
    list.StopReadAhead();
    list.DeletePatients();
    list.SwapRecordSets();
    EXPECT_EQ(list.patients.size(), scanned);
    EXPECT_TRUE(list.scanRecords.empty());
    list.StopScan();
    EXPECT_EQ(list.perFrameSplit.load(), 0);

    // Frame counts known and no report option: nothing to scan, success all the same.
    list.Clear();
    {
        Modes modes(1, 0);
        ASSERT_EQ(list.StartLoading(kData + QStringLiteral("/discA/DICOMDIR"), recorder.Handle()), 1);
        ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_SCAN_DONE) == 2; }));
    }
    EXPECT_EQ(recorder.Messages().back().wParam, 0u);
    EXPECT_TRUE(list.scanRecords.empty());
}

namespace {
// The first background read asked for (the scan's: no read-ahead runs here) waits inside the
// read until the test lets it go, as a header read of a slow drive does.
std::atomic<PlatEvent*> scanHold{nullptr};
std::atomic<PlatEvent*> scanEntered{nullptr};
void HoldFirstBackgroundRead(int priority)
{
    if (priority == 1) {
        if (PlatEvent* entered = scanEntered.exchange(nullptr)) {
            entered->Set();
            scanHold.load()->Wait();
        }
    }
}

std::thread::id joinsOf;
std::atomic<int> joinsWaited{0};
void CountJoin()
{
    if (std::this_thread::get_id() == joinsOf) {
        ++joinsWaited;
    }
}

std::vector<QString> Scanned(const QString& disc)
{
    Records records;
    XEVThread gate;
    std::atomic<int32_t> abort{0};
    int32_t multi = 0, unsupported = 0;
    XEVVEKHelper().ScanDicomDir(multi, unsupported, disc, records.patients, 0, abort, gate);
    return Paths(records.patients);
}
}   // namespace

// A new load, of a DICOMDIR or of one file, while the scan of the last one is inside a read:
// nothing waits for the scan, the new load and its own scan go on, and what the old scan
// makes never reaches the list nor is reported, even once it ends.
TEST(PatientListTest, ANewLoadWhileTheScanReadsWaitsForNoneAndTakesNothingOfIt)
{
    const QString first = kData + QStringLiteral("/discA/DICOMDIR");
    const QString second = kData + QStringLiteral("/discA/DIRSRUN");
    Modes modes(1, 1, 1);
    joinsOf = std::this_thread::get_id();
    joinsWaited = 0;
    XEVSetJoinObserver(CountJoin);
    XEVSetMediumProbe({nullptr, nullptr, HoldFirstBackgroundRead});
    PlatEvent hold(true, false), entered(true, false);
    scanHold = &hold;
    MessageRecorder recorder;
    XEVPatientList list;
    // Ends before the list, whose end joins the scan: a failed step never leaves it held.
    struct Release {
        PlatEvent& hold;
        ~Release()
        {
            scanEntered = nullptr;
            hold.Set();
            XEVSetMediumProbe({});
            XEVSetJoinObserver(nullptr);
        }
    } release{hold};
    for (const bool fileLoad : {false, true}) {
        hold.Reset();
        entered.Reset();
        scanEntered = &entered;
        recorder.Drain();
        const size_t loadedBefore = recorder.Count(WM_XEV_PATIENTS_LOADED);
        const size_t scannedBefore = recorder.Count(WM_XEV_SCAN_DONE);
        ASSERT_EQ(list.StartLoading(first, recorder.Handle()), 1);
        ASSERT_TRUE(entered.Wait(kPumpTimeoutMs)) << "the scan's read";

        list.Clear();
        if (fileLoad) {
            ASSERT_EQ(list.StartFileLoading(recorder.Handle(), kData + QStringLiteral("/single/multi3.dcm")), 1);
            ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_PATIENTS_LOADED) == loadedBefore + 1; }));
        } else {
            ASSERT_EQ(list.StartLoading(second, recorder.Handle()), 1);
            ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_SCAN_DONE) == scannedBefore + 1; }));
        }
        EXPECT_EQ(joinsWaited.load(), 0);
        EXPECT_EQ(list.scanner.Running(), 1u) << "the old scan is still in its read";

        // Once the old scan ends, the list still holds the new load's records alone.
        hold.Set();
        ASSERT_TRUE(PumpUntil([&] { return list.scanner.Running() == 0 && list.Running() == 0; }));
        recorder.Drain();
        EXPECT_EQ(recorder.Count(WM_XEV_SCAN_DONE), scannedBefore + (fileLoad ? 0 : 1));
        // The first load's notice, posted before the clear and never taken, went with its run.
        EXPECT_EQ(recorder.Count(WM_XEV_PATIENTS_LOADED), loadedBefore + 1);
        if (fileLoad) {
            ASSERT_EQ(list.patients.size(), 1u);
            EXPECT_TRUE(list.scanRecords.empty());
        } else {
            EXPECT_EQ(Paths(list.scanRecords), Scanned(second));
            EXPECT_NE(Paths(list.scanRecords), Scanned(first));
        }
        list.Clear();
    }
}

namespace {
std::mutex readMutex;
std::vector<QString> readOrder;
std::atomic<PlatEvent*> readHold{nullptr};
std::atomic<PlatEvent*> readEntered{nullptr};

// Records the path, tells the test and waits while it holds the read-ahead.
void RecordRead(const QString& path)
{
    {
        std::lock_guard<std::mutex> guard(readMutex);
        readOrder.push_back(path);
    }
    if (PlatEvent* entered = readEntered.exchange(nullptr)) {
        entered->Set();
    }
    if (PlatEvent* hold = readHold.load()) {
        hold->Wait();
    }
}
}   // namespace

TEST(ReadAheadTest, ReadsEveryFileOnceInOrderWhileTheScannerWaits)
{
    MessageRecorder recorder;
    XEVPatientList list;
    ASSERT_EQ(list.StartLoading(kData + QStringLiteral("/discA/DICOMDIR"), recorder.Handle()), 1);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_PATIENTS_LOADED) == 1; }));

    PlatEvent hold(true, false), entered(true, false);
    readHold = &hold;
    readEntered = &entered;
    readOrder.clear();
    list.readAheadObserver = RecordRead;
    list.StartReadAhead();
    ASSERT_TRUE(entered.Wait(10000));

    // A scan on the list's scanner gate waits while the read-ahead runs.
    std::atomic<int32_t> scanned{0};
    Records scanRecords;
    std::atomic<int32_t> abort{0};
    ASSERT_TRUE(list.scanner.Start([&] {
        XEVVEKHelper helper;
        int32_t multi = 0, unsupported = 0;
        helper.ScanDicomDir(multi, unsupported, list.mediaPath, scanRecords.patients, 0, abort, list.scanner);
        scanned = 1;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(scanned.load(), 0);
    hold.Set();
    readHold = nullptr;
    ASSERT_TRUE(Eventually([&] { return scanned.load() == 1; }));
    list.StopReadAhead();
    list.scanner.WaitAll();

    std::vector<QString> expected = Paths(list.patients);
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(readOrder, expected);
    EXPECT_EQ(list.ReadAheadFilesRead(), int64_t(expected.size()));
}

TEST(ReadAheadTest, StopReturnsAtOnceAndTheReadEndsWithinABlockOfAHugeFile)
{
    QTemporaryDir dir;
    const QString huge = dir.filePath(QStringLiteral("huge"));
    const QString later = dir.filePath(QStringLiteral("later"));
    ASSERT_TRUE(MakeSparseFile(huge, qint64(8) << 30));   // reads fast, never fits one buffer
    ASSERT_TRUE(MakeSparseFile(later, 4096));
    XEVPatientList list;
    list.patients.push_back(PatientOfFiles({huge, later}));

    // The thread is held inside the huge file: a stop that waited for it would never return.
    PlatEvent entered(true, false);
    PlatEvent hold(true, false);
    readHold = &hold;
    readEntered = &entered;
    list.readAheadObserver = RecordRead;
    list.StartReadAhead();
    ASSERT_TRUE(entered.Wait(10000));
    list.StopReadAhead();
    EXPECT_EQ(list.readAhead.Running(), 1u);
    // The records may go while it ends: it holds their paths, not them.
    list.DeletePatients();
    hold.Set();
    readHold = nullptr;
    ASSERT_TRUE(Eventually([&] { return list.readAhead.Running() == 0; }));
    list.readAhead.ReapEnded();
    EXPECT_TRUE(list.readAhead.IsEmpty());
    EXPECT_LE(list.ReadAheadBytesRead(), 409600);
    EXPECT_EQ(list.ReadAheadFilesRead(), 1);   // the file after it is never opened
}

TEST(ReadAheadTest, PipesAndDevicesOnTheDiscAreNeitherWaitedOnNorRead)
{
    // Sorted, the pipe and the link to /dev/zero come before the one real file.
    QTemporaryDir dir;
    PlatStuckPipe pipe(dir.filePath(QStringLiteral("a_pipe")).toStdString());
    ASSERT_TRUE(pipe.Made());
    const QString zero = dir.filePath(QStringLiteral("b_zero"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), zero));
    const QString real = dir.filePath(QStringLiteral("c_real"));
    ASSERT_TRUE(MakeSparseFile(real, 1000000));
    XEVPatientList list;
    list.patients.push_back(PatientOfFiles({QString::fromStdString(pipe.Path()), zero, real}));

    readHold = nullptr;
    readEntered = nullptr;
    readOrder.clear();
    list.readAheadObserver = RecordRead;
    list.StartReadAhead();
    EXPECT_TRUE(Eventually([&] { return list.ReadAheadFilesRead() == 1; }));
    list.StopReadAhead();
    EXPECT_EQ(readOrder, std::vector<QString>{real});
    EXPECT_EQ(list.ReadAheadBytesRead(), 1000000);
    EXPECT_FALSE(pipe.Freed());
}
