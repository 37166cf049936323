// Discs of many records opened through the real frame: the list fills in a time that grows
// with the records, not with their square, and the window keeps answering while it does.
#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "discopentestsupport.h"
#include "largedisctestsupport.h"
#include "shell/xev_uistring.h"
#include "study/xevlistformview.h"
#include "study/xevvekhelper.h"

namespace {

namespace fs = std::filesystem;

const std::string kHostile = std::string(STUDY_TEST_DATA_DIR) + "/hostile";

constexpr bool kSanitized = kDiscTestSanitized;
constexpr int kBarIds = kXEVLastBarId - kXEVFirstBarId + 1;

// Filler of 23 MiB: parsed, its elements and items cost far more than the DICOMDIR's memory.
constexpr size_t kFillerBytes = size_t(23) << 20;

// An item of defined length around body.
std::string ItemOf(const std::string& body)
{
    std::string item("\xFE\xFF\x00\xE0", 4);
    for (int shift = 0; shift < 32; shift += 8) {
        item.push_back(char((body.size() >> shift) & 0xFF));
    }
    return item + body;
}

// What the list says it leaves out: the DICOMDIR's records past its records or past its memory
// of megabytes, patients past the bars.
QString RecordsCut()
{
    return GetMessageString(10040).arg(GetMessageString(10042).arg(kXEVDicomDirRecordLimit));
}
QString MemoryCut(uint64_t megabytes = kXEVDicomDirMemoryBudget >> 20)
{
    return GetMessageString(10040).arg(GetMessageString(10043).arg(megabytes));
}
std::vector<QString> PatientsCut()
{
    return {GetMessageString(10041).arg(kBarIds)};
}

// What a disc cost from File Open until its first entry was opened.
struct Cost {
    qint64 ms = 0;
    qint64 stallMs = 0;
    uint64_t peak = 0;
    int threads = 0;
};

class LargeDiscTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        disc_ = temp_.Path() + "/disc";
        fs::create_directories(disc_ + "/IMG");
        fs::copy_file(kHostile + "/IMG/OK1", disc_ + "/IMG/OK1");
        // Terms accepted, as the program's "/Agree": the list's end starts the viewing.
        frame->OnAgreementClosed(1);
        Pump();
    }
    // Writes the DICOMDIR with top as its patients, opens it and reports what that cost.
    Cost WriteAndOpen(DicomDirWriter& dir, const std::vector<int>& top, qint64 limitMs, const char* name)
    {
        Chain(dir, -1, top);
        dir.Write(disc_ + "/DICOMDIR");
        const Cost cost = OpenMeasured(limitMs);
        Report(name, cost);
        return cost;
    }
    // Opens the disc and waits until the list has opened its first entry.
    Cost OpenMeasured(qint64 limitMs)
    {
        GuiStallMeter meter;
        QElapsedTimer timer;
        timer.start();
        chooser_.path = QString::fromStdString(disc_ + "/DICOMDIR");
        frame->OnFileOpen();
        PumpUntil([this] { return !frame->Opening(); }, limitMs);
        PumpUntil([this] { return List().loaded != 0 && List().selectedEntry != 0; }, limitMs);
        Cost cost;
        cost.ms = timer.elapsed();
        cost.stallMs = meter.LongestMs();
        cost.peak = PeakResidentBytes();
        cost.threads = ProcessThreadCount();
        EXPECT_EQ(List().loaded, 1);
        return cost;
    }
    void Report(const char* name, const Cost& cost)
    {
        RecordProperty(std::string(name) + "_ms", std::to_string(cost.ms));
        RecordProperty(std::string(name) + "_stall_ms", std::to_string(cost.stallMs));
        RecordProperty(std::string(name) + "_peak_MB", std::to_string(cost.peak >> 20));
        RecordProperty(std::string(name) + "_threads", std::to_string(cost.threads));
        std::printf("[ figures  ] %s: %lld ms, longest stall %lld ms, peak RSS %llu MB, %d threads\n", name,
                    (long long)cost.ms, (long long)cost.stallMs, (unsigned long long)(cost.peak >> 20), cost.threads);
    }

    void ExpectListedBeforeTheFiller(std::string filler, const char* name);
    Cost OpenAroundTheFiller(std::string filler, const char* name);

    std::string disc_;
};

}   // namespace

// Report series that list their documents under records of another type, as many as a large
// archive holds: each series finds the document right after its own record, and the records are
// walked once for all of them. 30,000 series in the optimised build; the sanitizers' build
// takes a tenth, as its allocator keeps what a larger disc touched resident for the tests after.
TEST_F(LargeDiscTest, ReportSeriesFindTheirDocuments)
{
    GetCommonSettings().ModeSupportSR = 1;
    const int patients = 1000, seriesPerStudy = kSanitized ? 3 : 30;
    DicomDirWriter dir;
    std::vector<int> top;
    int number = 0;
    for (int p = 0; p < patients; ++p) {
        const auto [patient, study] = PatientWithStudy(dir, Numbered("RID%04d", p), Numbered("4.%d", p));
        std::vector<int> series;
        for (int s = 0; s < seriesPerStudy; ++s, ++number) {
            series.push_back(AddSeries(dir, "SR", Numbered("5.%d", number), s + 1));
            std::string body;
            DicomDirWriter::Element(body, 0x0004, 0x1500, "CS", Numbered("SR\\R%05d", number));
            DicomDirWriter::Element(body, 0x0004, 0x1510, "UI", "1.2.840.10008.5.1.4.1.1.88.11");
            const int document = dir.Add("SR DOCUMENT", body);
            Chain(dir, series.back(), {document});
        }
        Chain(dir, patient, {study});
        Chain(dir, study, series);
        top.push_back(patient);
    }
    const uint64_t indexesBefore = XEVDirectoryRecordIndex::Builds();
    WriteAndOpen(dir, top, kSanitized ? 300000 : 60000, kSanitized ? "report_series_3000" : "report_series_30000");
    ASSERT_EQ(List().patients.size(), size_t(patients));
    number = 0;
    for (const PatientInfo* patient : List().patients) {
        ASSERT_EQ(patient->studies.size(), 1u);
        ASSERT_EQ(patient->studies[0]->series.size(), size_t(seriesPerStudy));
        for (const SeriesInfo* series : patient->studies[0]->series) {
            ASSERT_EQ(series->images.size(), 1u);
            EXPECT_EQ(series->images[0]->sopInstanceUid, u"SR");
            EXPECT_EQ(series->description, GetUIString(20314));
            ASSERT_EQ(series->images[0]->filePath.toStdString(), disc_ + Numbered("/SR/R%05d", number)) << number;
            ++number;
        }
    }
    EXPECT_EQ(box.texts.size(), 0u);
    // The records are walked once for the load's index of them, not once per series (which took
    // 14.9 s for these 30,000 once; the time is printed above).
    EXPECT_EQ(XEVDirectoryRecordIndex::Builds() - indexesBefore, 1u);
}

// Patients of one study, one series and one image each, all of the one intact file: every
// patient is listed in record order, the first one opens and its image paints, and the window
// answers while the list fills. 200,000 records in the optimised build; the sanitizers' build
// takes a tenth.
TEST_F(LargeDiscTest, ManyPatientsFillTheListAndTheFirstShows)
{
    const int patients = kSanitized ? 5000 : 50000;
    DicomDirWriter dir;
    const std::vector<int> top = AddOneImagePatients(dir, patients);
    const Cost cost =
        WriteAndOpen(dir, top, kSanitized ? kNoCeilingWaitMs : 120000, kSanitized ? "patients_5000" : "patients_50000");
    ASSERT_EQ(List().patients.size(), size_t(patients));
    for (int p : {0, patients / 2, patients - 1}) {
        const PatientInfo& patient = *List().patients[size_t(p)];
        EXPECT_EQ(patient.patientId.toStdString(), Numbered("PID%05d", p));
        ASSERT_EQ(patient.studies.size(), 1u);
        ASSERT_EQ(patient.studies[0]->series.size(), 1u);
        ASSERT_EQ(patient.studies[0]->series[0]->images.size(), 1u);
        EXPECT_EQ(patient.studies[0]->series[0]->images[0]->filePath.toStdString(), disc_ + "/IMG/OK1");
    }
    EXPECT_EQ(List().selectedEntry, kXEVFirstBarId);
    XEVStudyListCtrl* tree = List().Tree(kXEVFirstTreeId);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->topLevelItemCount(), 1);
    // The bars end at their last id, and the list says so once.
    EXPECT_EQ(List().EntryCount(), std::min(patients, kBarIds));
    EXPECT_EQ(box.texts, patients > kBarIds ? PatientsCut() : std::vector<QString>{});

    std::vector<XEVImageViewCtrl*> cells = ShowSeries(List().patients[0]->studies[0]->series[0], 1);
    ASSERT_EQ(cells.size(), 1u);
    EXPECT_GT(PaintedBright(cells)[0], 0);
    EXPECT_EQ(box.texts.size(), patients > kBarIds ? 1u : 0u);
    // The opened patient's tree is the only one made: a tree per patient was built while the
    // window waited (25 s for these once).
    EXPECT_EQ(List().findChildren<XEVStudyListCtrl*>().size(), 1);
    // A ceiling that catches a load growing with the square of the records, in the optimised
    // build only.
    if (kHangCeilings) {
        EXPECT_LT(cost.ms, 150000);
    }
}

// A real disc whose DICOMDIR dcmmkdir wrote with a 128 x 128 icon in every image record: its
// 1,700 images make 28.4 MB of records, all of which are listed, the icons left unread.
TEST_F(LargeDiscTest, IconRecordsOfARealDiscAreAllListed)
{
    const int images = kSanitized ? 300 : 1700;
    const std::string command = "PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -W ignore " +
                                std::string(FRAME_TEST_DATA_DIR) + "/write_icon_disc.py " + disc_ + " " +
                                std::to_string(images) + " 128";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    if (!kSanitized) {
        ASSERT_GT(fs::file_size(disc_ + "/DICOMDIR"), uint64_t(24) << 20);
    }
    ResetPeakResidentBytes();
    const Cost cost = OpenMeasured(kSanitized ? kNoCeilingWaitMs : 60000);
    Report(kSanitized ? "icon_records_300" : "icon_records_1700", cost);
    ASSERT_EQ(List().patients.size(), 1u);
    ASSERT_EQ(List().patients[0]->studies.size(), 1u);
    ASSERT_EQ(List().patients[0]->studies[0]->series.size(), 1u);
    SeriesInfo* series = List().patients[0]->studies[0]->series[0];
    ASSERT_EQ(series->images.size(), size_t(images));
    EXPECT_EQ(series->images.back()->instanceNumber, images);
    EXPECT_EQ(series->images.back()->filePath.toStdString(), disc_ + Numbered("/MR/IM%05d", images - 1));
    EXPECT_EQ(box.texts.size(), 0u);
    // Its grid's cells fill with the first images, which paint.
    AwaitStartShow();
    Image().ShowSeries(series);
    std::vector<XEVImageViewCtrl*> cells;
    ASSERT_TRUE(PumpUntil([&] {
        cells.clear();
        for (const auto& [id, cell] : Image().ActiveCells()) {
            if (cell->CurrentImage() != nullptr && cell->HasFramePixels(0)) {
                cells.push_back(cell);
            }
        }
        return !cells.empty();
    }));
    EXPECT_GT(PaintedBright({cells.front()})[0], 0);
    EXPECT_EQ(box.texts.size(), 0u);
}

// 50,000 patients of one image each whose records average 154 bytes (31 MB in all): every
// patient is listed, and the list says only that its bars stop at the 10,001st.
TEST_F(LargeDiscTest, ManyPatientsOfLongerRecordsLoadWhole)
{
    if (kSanitized) {
        GTEST_SKIP() << "200,000 records take minutes under the sanitizers";
    }
    const int patients = 50000;
    DicomDirWriter dir;
    const std::vector<int> top = AddOneImagePatients(dir, patients);
    // Comments that bring the patient, study and series records to 154 bytes; the image
    // records are 158 already.
    for (const int patient : top) {
        DicomDirWriter::Element(dir[patient].body, 0x0010, 0x4000, "LT", std::string(48, 'P'));
        DicomDirWriter::Element(dir[patient + 1].body, 0x0032, 0x4000, "LT", std::string(32, 'S'));
        DicomDirWriter::Element(dir[patient + 2].body, 0x0020, 0x4000, "LT", std::string(38, 'R'));
    }
    Chain(dir, -1, top);
    dir.Write(disc_ + "/DICOMDIR");
    // The peak from here on is the open's, not the writing's.
    dir = DicomDirWriter();
    ResetPeakResidentBytes();
    Report("patients_50000_of_154_bytes", OpenMeasured(120000));
    ASSERT_GT(fs::file_size(disc_ + "/DICOMDIR"), uint64_t(30) << 20);
    ASSERT_EQ(List().patients.size(), size_t(patients));
    EXPECT_EQ(List().patients.back()->patientId.toStdString(), Numbered("PID%05d", patients - 1));
    EXPECT_EQ(box.texts, PatientsCut());
}

// Opens a disc of three patients, a record of another type carrying filler and two patients
// after it; what the open cost, reported under name.
Cost LargeDiscTest::OpenAroundTheFiller(std::string filler, const char* name)
{
    DicomDirWriter dir;
    std::vector<int> top = AddOneImagePatients(dir, 3);
    dir.Add("PRIVATE", std::move(filler));
    filler = std::string();
    for (const int patient : AddOneImagePatients(dir, 2)) {
        top.push_back(patient);
    }
    Chain(dir, -1, top);
    dir.Write(disc_ + "/DICOMDIR");
    // The peak from here on is the open's, not the writing's.
    dir = DicomDirWriter();
    ResetPeakResidentBytes();
    const Cost cost = OpenMeasured(kSanitized ? 300000 : 60000);
    Report(name, cost);
    return cost;
}

// The three patients before the filler are listed, the two after it are not, and the list says
// so once; the first patient's image shows.
void LargeDiscTest::ExpectListedBeforeTheFiller(std::string filler, const char* name)
{
    const Cost cost = OpenAroundTheFiller(std::move(filler), name);
    ASSERT_EQ(List().patients.size(), 3u);
    EXPECT_EQ(List().patients[2]->patientId.toStdString(), "PID00002");
    EXPECT_EQ(box.texts, std::vector<QString>{MemoryCut()});
    std::vector<XEVImageViewCtrl*> cells = ShowSeries(List().patients[0]->studies[0]->series[0], 1);
    ASSERT_EQ(cells.size(), 1u);
    EXPECT_GT(PaintedBright(cells)[0], 0);
    EXPECT_EQ(box.texts.size(), 1u);
    // The elements' share and a fixed base for the rest of the viewer; the sanitizers'
    // allocator holds far more.
    if (!kSanitized) {
        EXPECT_LT(cost.peak, kXEVDicomDirElementBudget + (uint64_t(96) << 20));
    }

    // The next disc opens whole, with nothing more to say.
    DicomDirWriter next;
    const std::vector<int> two = AddOneImagePatients(next, 2);
    WriteAndOpen(next, two, 60000, "dicomdir_after_the_cut");
    ASSERT_EQ(List().patients.size(), 2u);
    EXPECT_EQ(List().patients[1]->patientId.toStdString(), "PID00001");
    EXPECT_EQ(box.texts.size(), 1u);
}

// Values no record gives stay in the file, however long: a record of another type carrying
// 40 MiB in private values, one longer than what a read holds of values in all, among three
// patients before it and two after. All five are listed, with nothing to say, and the read
// holds none of the values.
TEST_F(LargeDiscTest, LongValuesStayInTheFileAndTheRecordsAfterAreListed)
{
    std::string values;
    DicomDirWriter::Element(values, 0x0009, 0x1010, "OB", std::string(size_t(8) << 20, '\1'));
    DicomDirWriter::Element(values, 0x0009, 0x1011, "OB", std::string(size_t(32) << 20, '\2'));
    const Cost cost = OpenAroundTheFiller(std::move(values), "dicomdir_long_values");
    ASSERT_EQ(List().patients.size(), 5u);
    EXPECT_EQ(List().patients[4]->patientId.toStdString(), "PID00001");
    EXPECT_EQ(box.texts.size(), 0u);
    // Held, the values alone would take 40 MiB above the viewer's base.
    if (!kSanitized) {
        EXPECT_LT(cost.peak, uint64_t(120) << 20);
    }
}

// A DICOMDIR whose parse costs more than the viewer gives one: millions of empty elements, or
// sequences nested as deep as they are read whose innermost one holds millions of empty items,
// each some 18 times its bytes in memory once parsed. They lie in a sequence of undefined
// length, which cannot be passed over unread.
std::string UndefinedLengthSequence(const std::string& items)
{
    std::string sequence = ExplicitHeader(0x0009, 0x1010, "SQ", 0xFFFFFFFF) + items;
    return sequence + std::string("\xFE\xFF\xDD\xE0\0\0\0\0", 8);
}

TEST_F(LargeDiscTest, EmptyElementsPastTheDicomDirMemoryAreNotListed)
{
    std::string elements;
    for (uint32_t k = 0; elements.size() < kFillerBytes; ++k) {
        DicomDirWriter::Element(elements, uint16_t(0x0009 + 2 * (k >> 16)), uint16_t(k), "LO", "");
    }
    ExpectListedBeforeTheFiller(UndefinedLengthSequence(ItemOf(elements)), "dicomdir_empty_elements");
}

TEST_F(LargeDiscTest, NestedEmptyItemsPastTheDicomDirMemoryAreNotListed)
{
    std::string nested;
    while (nested.size() < kFillerBytes) {
        nested += ItemOf("");
    }
    for (int depth = 0; depth < 3; ++depth) {
        std::string sequence;
        DicomDirWriter::Element(sequence, 0x0009, 0x1010, "SQ", depth == 0 ? nested : ItemOf(nested));
        nested = std::move(sequence);
    }
    ExpectListedBeforeTheFiller(UndefinedLengthSequence(ItemOf(nested)), "dicomdir_nested_empty_items");
}

// Patients whose records cost more than the elements leave them (long names, widened as they
// are read), with the DICOMDIR's memory lowered so that a small directory passes it while its
// records are first collected: the patients read whole are listed in order, the list says the
// rest are not, the disc is not refused, and the first patient's image shows.
TEST_F(LargeDiscTest, PatientsPastTheDicomDirMemoryWhileCollectedAreNotListed)
{
    constexpr int kPatients = 1000;
    XEVSetDicomDirMemoryBudget(uint64_t(8) << 20, uint64_t(15) << 19);
    struct Restore {
        ~Restore() { XEVSetDicomDirMemoryBudget(0, 0); }
    } restore;
    DicomDirWriter dir;
    const std::vector<int> top = AddOneImagePatients(dir, kPatients);
    for (int p = 0; p < kPatients; ++p) {
        std::string body;
        DicomDirWriter::Element(body, 0x0010, 0x0010, "PN", std::string(kXEVDicomDirValueLength, char('A' + p % 26)));
        DicomDirWriter::Element(body, 0x0010, 0x0020, "LO", Numbered("PID%05d", p));
        dir[top[size_t(p)]].body = body;
    }
    WriteAndOpen(dir, top, kSanitized ? 300000 : 60000, "dicomdir_records_past_memory");
    const size_t listed = List().patients.size();
    ASSERT_GT(listed, 0u);
    EXPECT_LT(listed, size_t(kPatients));
    for (size_t p = 0; p < listed; ++p) {
        EXPECT_EQ(List().patients[p]->patientId.toStdString(), Numbered("PID%05d", int(p)));
    }
    EXPECT_EQ(box.texts, std::vector<QString>{MemoryCut(8)});
    std::vector<XEVImageViewCtrl*> cells = ShowSeries(List().patients[0]->studies[0]->series[0], 1);
    ASSERT_EQ(cells.size(), 1u);
    EXPECT_GT(PaintedBright(cells)[0], 0);
    EXPECT_EQ(box.texts.size(), 1u);
}

// One patient more than fit the records the viewer reads of a DICOMDIR (50,000 patients of
// four records each do): the first 50,000 are listed, and the list says it left records out and
// that its bars stop at the 10,001st patient.
TEST_F(LargeDiscTest, RecordsPastTheDicomDirRecordsAreNotListedAndTheListSaysSo)
{
    if (kSanitized) {
        GTEST_SKIP() << "200,000 records take minutes under the sanitizers";
    }
    const int patients = int(kXEVDicomDirRecordLimit / 4) + 1;
    DicomDirWriter dir;
    const std::vector<int> top = AddOneImagePatients(dir, patients);
    WriteAndOpen(dir, top, 120000, "dicomdir_past_its_records");
    ASSERT_EQ(List().patients.size(), size_t(patients - 1));
    EXPECT_EQ(List().patients.back()->patientId.toStdString(), Numbered("PID%05d", patients - 2));
    EXPECT_EQ(List().EntryCount(), kBarIds);
    std::vector<QString> told = {RecordsCut() + QStringLiteral("\n\n") + PatientsCut().front()};
    EXPECT_EQ(box.texts, told);
}

// Patients without images, more records than the viewer reads: the DICOMDIR is no failure,
// it lists nothing, and the list says it left records out past its records.
TEST_F(LargeDiscTest, PatientsWithoutImagesPastTheRecordsAreToldNotRefused)
{
    if (kSanitized) {
        GTEST_SKIP() << "200,000 records take minutes under the sanitizers";
    }
    DicomDirWriter dir;
    std::vector<int> top;
    for (int p = 0; p <= int(kXEVDicomDirRecordLimit); ++p) {
        std::string body;
        DicomDirWriter::Element(body, 0x0010, 0x0010, "PN", Numbered("NONE^%06d", p));
        DicomDirWriter::Element(body, 0x0010, 0x0020, "LO", Numbered("N%06d", p));
        top.push_back(dir.Add("PATIENT", body));
    }
    Chain(dir, -1, top);
    dir.Write(disc_ + "/DICOMDIR");
    dir = DicomDirWriter();
    chooser_.path = QString::fromStdString(disc_ + "/DICOMDIR");
    frame->OnFileOpen();
    ASSERT_TRUE(PumpUntil([this] { return !frame->Opening() && List().loaded != 0; }, 120000));
    EXPECT_EQ(List().loadResult, 0);
    EXPECT_EQ(List().patients.size(), 0u);
    ASSERT_TRUE(PumpUntil([this] { return !box.texts.empty(); }));
    EXPECT_EQ(box.texts, std::vector<QString>{RecordsCut()});
}

// A DICOMDIR whose memory refuses its read before a record is whole: a million empty elements
// ahead of its records, under a memory a tenth of what they take once parsed. File Open and the
// command line say that memory ran out, and the reads stayed within it.
TEST_F(LargeDiscTest, ADicomDirItsMemoryRefusesSaysItIsOutOfMemory)
{
    XEVSetDicomDirMemoryBudget(uint64_t(8) << 20, uint64_t(6) << 20);
    struct Restore {
        ~Restore() { XEVSetDicomDirMemoryBudget(0, 0); }
    } restore;
    DicomDirWriter dir;
    Chain(dir, -1, AddOneImagePatients(dir, 2));
    dir.Write(disc_ + "/DICOMDIR");
    std::string bytes = ReadWholeFile(disc_ + "/DICOMDIR");
    std::string empty;
    for (uint32_t k = 0; k < (1u << 20); ++k) {
        DicomDirWriter::Element(empty, uint16_t(0x0009 + 2 * (k >> 16)), uint16_t(k), "LO", "");
    }
    // Ahead of the file-set elements, after the file meta group.
    const size_t at = bytes.find(std::string("\x04\x00\x30\x11", 4));
    ASSERT_NE(at, std::string::npos);
    bytes.insert(at, empty);
    {
        std::ofstream out(disc_ + "/DICOMDIR", std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
    }
    bytes = std::string();
    empty = std::string();
    ResetPeakResidentBytes();
    chooser_.path = QString::fromStdString(disc_ + "/DICOMDIR");
    frame->OnFileOpen();
    // Refused by File Open's own walk: the list is not touched.
    ASSERT_TRUE(PumpUntil([this] { return !frame->Opening() && !box.texts.empty(); }, 60000));
    EXPECT_EQ(box.texts, std::vector<QString>{GetMessageString(10044)});
    EXPECT_EQ(List().loaded, 0);
    EXPECT_EQ(List().patients.size(), 0u);

    // The command line's path, which its own load reads, says the same.
    frame->StartPathLoad(chooser_.path);
    ASSERT_TRUE(PumpUntil([this] { return box.texts.size() == 2; }));
    EXPECT_EQ(box.texts.back(), GetMessageString(10044));
    EXPECT_EQ(List().patients.size(), 0u);
    if (!kSanitized) {
        EXPECT_LT(PeakResidentBytes(), uint64_t(120) << 20);
    }
}

// Closing the window while File Open still reads the chosen DICOMDIR to tell what it is: the
// window answers meanwhile and takes no second File Open, and the close ends the read at once,
// with no message and no thread left behind. 200,000 records take seconds to read in the
// optimised build; the sanitizers' build reads a tenth as slowly.
TEST_F(LargeDiscTest, ClosingWhileTheChosenDiscIsReadEndsAtOnce)
{
    DicomDirWriter dir;
    const std::vector<int> top = AddOneImagePatients(dir, kSanitized ? 5000 : 50000);
    Chain(dir, -1, top);
    dir.Write(disc_ + "/DICOMDIR");
    const int threads = ProcessThreadCount();

    int ticks = 0;
    bool secondOpenRefused = false;
    bool actionDisabled = false;
    QElapsedTimer sinceClose;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (frame->FileOpenEnabled() != 0 || sinceClose.isValid()) {
            return;
        }
        // The first tick comes while File Open waits on the read: a second open is refused,
        // then the window closes.
        ++ticks;
        actionDisabled = frame->FileOpenAction() != nullptr && !frame->FileOpenAction()->isEnabled();
        frame->OnFileOpen();
        secondOpenRefused = chooser_.asked == 1;
        sinceClose.start();
        frame->close();
    });
    tick.start();
    chooser_.path = QString::fromStdString(disc_ + "/DICOMDIR");
    const uint64_t readBefore = ProcessBytesRead();
    frame->OnFileOpen();
    // File Open came back while the read goes on, having run no event of the window.
    EXPECT_TRUE(frame->Opening());
    EXPECT_EQ(ticks, 0);
    // The open's worker is joined once it has stopped, after the window has gone.
    ASSERT_TRUE(PumpUntil([&] { return sinceClose.isValid() && !frame->Opening(); }, 60000));
    const uint64_t read = ProcessBytesRead() - readBefore;
    const qint64 closeMs = sinceClose.isValid() ? sinceClose.elapsed() : -1;
    tick.stop();

    ASSERT_EQ(ticks, 1);
    EXPECT_TRUE(secondOpenRefused);
    EXPECT_TRUE(actionDisabled);
    EXPECT_GE(closeMs, 0);
    // A ceiling against a close that waits for the whole read (seconds here), in the optimised
    // build only.
    if (kHangCeilings) {
        EXPECT_LT(closeMs, 1000);
    }
    EXPECT_EQ(box.texts.size(), 0u);
    EXPECT_EQ(List().loaded, 0);
    // A detached worker's thread leaves right after its end is told.
    EXPECT_TRUE(PumpUntil([&] { return ProcessThreadCount() <= threads; }));
    std::printf("[ figures  ] close during the read: %lld ms, %llu of %llu KB read\n", (long long)closeMs,
                (unsigned long long)(read >> 10), (unsigned long long)(fs::file_size(disc_ + "/DICOMDIR") >> 10));
}
