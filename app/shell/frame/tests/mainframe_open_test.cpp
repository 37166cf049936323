#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>

#include "discopentestsupport.h"
#include "frametestsupport.h"
#include "plat_temp_folder.h"
#include "platform/platfile.h"
#include "shell/xev_uistring.h"
#include "shell/xevfileopen.h"
#include "shell/xevsplitterwnd.h"
#include "shell/xevziparchive.h"
#include "study/xevlistformview.h"
#include "study/xevstudymodel.h"
#include "study/xevthread.h"
#include "study/xevvekhelper.h"
#include "testsupport/grab.h"
#include "testsupport/zipmaker.h"

namespace {

namespace fs = std::filesystem;

const std::string kSample = KV_SAMPLE_DIR;
const std::string kFrameData = FRAME_TEST_DATA_DIR;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The disc's files as members below prefix, in a stable order.
std::vector<ZipMakerMember> DiscMembers(const std::string& disc, const std::string& prefix)
{
    std::vector<ZipMakerMember> members;
    for (const auto& entry : fs::recursive_directory_iterator(disc)) {
        if (entry.is_regular_file()) {
            members.push_back({prefix + fs::relative(entry.path(), disc).string(), ReadFile(entry.path().string())});
        }
    }
    std::sort(members.begin(), members.end(),
              [](const ZipMakerMember& a, const ZipMakerMember& b) { return a.name < b.name; });
    return members;
}

// A frame with a study list, a temporary folder of its own as the temporary folder, and a
// canary beside the extraction folder.
class FileOpenTest : public FileOpenFrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        tmpEnv_.emplace("TMPDIR", temp_.Path().c_str());
        kestro_ = XEVGetExtractFolder();
        canary_ = temp_.Write("canary", "canary");
        ShowFrameWithList();
    }
    void TearDown() override
    {
        CloseFrameWithList();
        EXPECT_EQ(ReadFile(canary_), "canary");
        tmpEnv_.reset();
        FrameTest::TearDown();
    }

    // Chooses path in the dialog and waits for the list's load to end.
    void Open(const std::string& path)
    {
        chooser_.path = QString::fromStdString(path);
        frame->OnFileOpen();
        ASSERT_TRUE(PumpUntil([this] { return !frame->Opening(); }, 30000));
        WaitLoaded();
    }
    void WaitLoaded()
    {
        PumpUntil([this] { return List().loaded != 0; }, 30000);
        ASSERT_EQ(List().loaded, 1);
    }
    // Patient, study and series counts with each series' entries, as the list holds them.
    std::vector<size_t> Shape()
    {
        std::vector<size_t> shape;
        for (PatientInfo* patient : List().patients) {
            shape.push_back(patient->studies.size());
            for (StudyInfo* study : patient->studies) {
                for (SeriesInfo* series : study->series) {
                    shape.push_back(series->images.size());
                }
            }
        }
        return shape;
    }
    std::string MakeDiscZip(const std::string& name, const std::string& prefix)
    {
        const std::string zip = temp_.Path() + "/" + name;
        EXPECT_TRUE(MakeZip(zip, DiscMembers(kSample, prefix)));
        return zip;
    }
    int Failures() const { return static_cast<int>(box.texts.size()); }
    // The first cell showing an image, once that image's pixels are in.
    XEVImageViewCtrl* LoadedCell()
    {
        for (const auto& [id, cell] : Image().ActiveCells()) {
            if (cell->CurrentImage() != nullptr && cell->HasFramePixels(0)) {
                return cell;
            }
        }
        return nullptr;
    }

    PlatTempFolder temp_;
    std::string kestro_;
    std::string canary_;
    std::optional<ScopedEnv> tmpEnv_;
};

}   // namespace

TEST_F(FrameTest, MenuBarOnlyWithModeOrvixInTheLocalesLanguage)
{
    GetCommonSettings().ModeOrvix = 0;
    MakeFrame();
    EXPECT_EQ(frame->menuWidget(), nullptr);
    EXPECT_EQ(frame->FileOpenAction(), nullptr);

    GetCommonSettings().ModeOrvix = 1;
    for (const bool japanese : {true, false}) {
        QLocale::setDefault(QLocale(japanese ? QLocale::Japanese : QLocale::English));
        MakeFrame();
        auto* bar = qobject_cast<QMenuBar*>(frame->menuWidget());
        ASSERT_NE(bar, nullptr);
        ASSERT_EQ(bar->actions().size(), 1);
        EXPECT_EQ(bar->actions()[0]->text(), japanese ? QStringLiteral("ファイル(&F)") : QStringLiteral("File(&F)"));
        QAction* open = frame->FileOpenAction();
        ASSERT_NE(open, nullptr);
        EXPECT_EQ(bar->actions()[0]->menu()->actions(), QList<QAction*>{open});
        EXPECT_EQ(open->text(),
                  japanese ? QStringLiteral("開く...\tCtrl+O(&O)") : QStringLiteral("Open...\tCtrl+O(&O)"));
        EXPECT_EQ(open->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
        EXPECT_EQ(open->data().toInt(), ID_XEV_FILE_OPEN);
        // Disabled until the terms are answered.
        EXPECT_FALSE(open->isEnabled());
        frame->OnAgreementClosed(1);
        EXPECT_TRUE(open->isEnabled());
        // The rows still fit what the menu bar leaves.
        EXPECT_EQ(frame->OuterSplitter()->widget(0)->height(), kXEVTitleRowHeight);
        EXPECT_EQ(frame->OuterSplitter()->widget(2)->height(), kXEVStatusRowHeight);
    }
    QLocale::setDefault(QLocale::system());
    GetCommonSettings().ModeOrvix = 0;
}

TEST_F(FileOpenTest, AZippedDiscListsAsTheDiscAndExtractsOnDemand)
{
    // The disc itself, for comparison.
    Open(kSample + "/DICOMDIR");
    const std::vector<size_t> disc = Shape();
    ASSERT_EQ(List().patients.size(), 2u);

    const std::string zip = MakeDiscZip("disc.zip", "CD/");
    Open(zip);
    EXPECT_EQ(Failures(), 0);
    // The archive's own folder inside the extraction folder.
    const std::string folder = GetLoadState().GetExtractFolder();
    ASSERT_EQ(fs::path(folder).parent_path().string(), kestro_);
    EXPECT_EQ(ReadFile(folder + "/DICOMDIR"), ReadFile(kSample + "/DICOMDIR"));
    EXPECT_EQ(GetLoadState().GetZipPath(), zip);
    EXPECT_EQ(frame->singleFileOpened, 0);
    // The multi-frame file's count read its member's header through the archive: nothing came
    // out yet.
    EXPECT_EQ(Shape(), disc);
    const auto extracted = [&] { return ExtractedNames(folder); };
    EXPECT_EQ(extracted(), std::vector<std::string>{"DICOMDIR"});
    for (const std::string& made : {kestro_, folder}) {
        struct stat st {};
        ASSERT_EQ(::stat(made.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }

    // So does the scan's frame count.
    XEVVEKHelper counter;
    int32_t frames = 0;
    EXPECT_EQ(counter.CheckFrameCount(QString::fromStdString(folder + "/DICOM/MR0002"), frames), 1);
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(counter.CheckFrameCount(QString::fromStdString(folder + "/DICOM/NONE"), frames), 0);
    EXPECT_EQ(extracted(), std::vector<std::string>{"DICOMDIR"});

    // The first study shows, its images taken from the archive as the cells load them.
    List().OpenFirstEntry();
    XEVImageViewCtrl* cell = nullptr;
    PumpUntil([&] { return (cell = LoadedCell()) != nullptr; }, 30000);
    ASSERT_NE(cell, nullptr);
    const std::string shown = cell->CurrentImage()->filePath.toStdString();
    EXPECT_EQ(shown, folder + "/DICOM/CT0001");
    EXPECT_EQ(ReadFile(shown), ReadFile(kSample + "/DICOM/CT0001"));
    EXPECT_EQ(Failures(), 0);
}

// The system's dialog opens without a loop of its own: File Open returns with it up, a second
// File Open only raises it, and the file chosen in it opens once it has gone.
TEST_F(FileOpenTest, TheOpenDialogWaitsForItsAnswerWithoutALoopOfItsOwn)
{
    XEVSetOpenFileDialog(nullptr);
    frame->OnFileOpen();
    frame->OnFileOpen();
    const QList<QFileDialog*> dialogs = frame->findChildren<QFileDialog*>();
    ASSERT_EQ(dialogs.size(), 1);
    QFileDialog* dialog = dialogs.front();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(List().loaded, 0);
    dialog->selectFile(QString::fromStdString(kSample + "/DICOMDIR"));
    static_cast<QDialog*>(dialog)->accept();
    ASSERT_TRUE(PumpUntil([this] { return List().loaded != 0; }, 30000));
    EXPECT_EQ(List().patients.size(), 2u);
    EXPECT_EQ(Failures(), 0);
    EXPECT_TRUE(PumpUntil([this] { return frame->findChildren<QFileDialog*>().isEmpty(); }));
}

TEST_F(FileOpenTest, NewSourcesReplaceTheArchiveAndACancelChangesNothing)
{
    const std::string first = MakeDiscZip("first.zip", "CD/");
    Open(first);
    ASSERT_EQ(GetLoadState().GetZipPath(), first);
    const std::vector<size_t> shape = Shape();

    // A cancelled dialog leaves everything as it was.
    chooser_.path.clear();
    frame->OnFileOpen();
    ASSERT_TRUE(PumpUntil([&] { return !frame->Opening(); }, 30000));
    Pump();
    EXPECT_EQ(chooser_.asked, 2);
    EXPECT_EQ(List().loaded, 1);
    EXPECT_EQ(Shape(), shape);
    EXPECT_EQ(GetLoadState().GetZipPath(), first);
    EXPECT_EQ(Failures(), 0);

    // A second archive starts from an empty folder of its own; the first one's goes.
    const std::string firstFolder = GetLoadState().GetExtractFolder();
    ASSERT_EQ(GetLoadState().ExtractZipMember(firstFolder + "/DICOM/CR0001", ""), 0);
    const std::string second = MakeDiscZip("second.zip", "");
    Open(second);
    EXPECT_EQ(GetLoadState().GetZipPath(), second);
    WaitForFolderRemovals();
    EXPECT_FALSE(fs::exists(firstFolder));
    const std::string secondFolder = fs::path(GetLoadState().GetExtractFolder()).filename().string();
    EXPECT_EQ(ExtractedNames(kestro_), (std::vector<std::string>{secondFolder, secondFolder + "/DICOMDIR"}));
    EXPECT_EQ(Shape(), shape);

    // A single file forgets the archive, and its members no longer stand in for files. The
    // switch choice goes but for its series key, and no switch is offered.
    frame->SetSelectionRecord(1, QStringLiteral("study"), QStringLiteral("series"));
    frame->Selection().switchFlag = 1;
    Open(kSample + "/DICOM/CR0001");
    EXPECT_EQ(frame->singleFileOpened, 1);
    EXPECT_FALSE(frame->CanSwitchSeriesDisplay());
    EXPECT_EQ(frame->Selection().index, -1);
    EXPECT_TRUE(frame->Selection().studyKey.isEmpty());
    EXPECT_EQ(frame->Selection().seriesKey, QStringLiteral("series"));
    EXPECT_EQ(frame->Selection().switchFlag, 0);
    EXPECT_TRUE(GetLoadState().GetZipPath().empty());
    EXPECT_TRUE(GetLoadState().GetExtractFolder().empty());
    WaitForFolderRemovals();
    EXPECT_TRUE(ExtractedNames(kestro_).empty());
    ASSERT_EQ(List().patients.size(), 1u);

    // The archive's own DICOMDIR opened again keeps the archive it came from.
    Open(second);
    Open(GetLoadState().GetExtractFolder() + "/DICOMDIR");
    EXPECT_EQ(GetLoadState().GetZipPath(), second);
    EXPECT_EQ(Shape(), shape);

    // Any other DICOMDIR forgets it, with the single-file mark and the whole switch choice.
    ASSERT_FALSE(ExtractedNames(kestro_).empty());
    frame->SetSelectionRecord(1, QStringLiteral("study"), QStringLiteral("series"));
    Open(kSample + "/DICOMDIR");
    EXPECT_EQ(frame->singleFileOpened, 0);
    EXPECT_EQ(frame->Selection().index, -1);
    EXPECT_TRUE(frame->Selection().seriesKey.isEmpty());
    EXPECT_TRUE(GetLoadState().GetZipPath().empty());
    WaitForFolderRemovals();
    EXPECT_TRUE(ExtractedNames(kestro_).empty());
    EXPECT_EQ(Shape(), shape);
    EXPECT_EQ(Failures(), 0);
}

TEST_F(FileOpenTest, RefusedInputsShowOneMessageAndKeepWhatIsShown)
{
    Open(kSample + "/DICOMDIR");
    const std::vector<size_t> shape = Shape();
    const std::string dicm = temp_.Write("fake.dcm", std::string(128, '\0') + "DICM" + std::string(64, 'x'));
    const std::string text = temp_.Write("notes.txt", "plain text");
    const std::string image = ReadFile(kSample + "/DICOM/CT0001");
    std::vector<std::string> refused = {dicm, text};
    for (const char* name : {"OLD_DICOMDIR", "DICOMDIR_A/DICOMDIR", "dicomdir"}) {
        const std::string zip = temp_.Path() + "/" + std::to_string(refused.size()) + ".zip";
        ASSERT_TRUE(MakeZip(zip, {{name, ReadFile(kSample + "/DICOMDIR")}, {"DICOM/CT0001", image}}));
        refused.push_back(zip);
    }
    for (const std::string& path : refused) {
        const int before = Failures();
        chooser_.path = QString::fromStdString(path);
        frame->OnFileOpen();
        ASSERT_TRUE(PumpUntil([&] { return !frame->Opening(); }, 30000));
        Pump();
        EXPECT_EQ(Failures(), before + 1) << path;
        EXPECT_EQ(List().loaded, 1) << path;
        EXPECT_EQ(Shape(), shape) << path;
    }
    EXPECT_EQ(GetMessageString(10027), QStringLiteral("ファイルの読み込みに失敗しました。"));
    EXPECT_TRUE(ExtractedNames(kestro_).empty());
}

namespace {

// Holds the read-ahead in the first file it opens until let go.
struct ReadAheadHold {
    std::mutex mutex;
    std::condition_variable changed;
    int opened = 0;
    bool holding = true;
};
ReadAheadHold* readAheadHold = nullptr;

void HoldFirstReadAhead(const QString&)
{
    std::unique_lock<std::mutex> lock(readAheadHold->mutex);
    if (++readAheadHold->opened == 1) {
        readAheadHold->changed.notify_all();
        readAheadHold->changed.wait(lock, [] { return !readAheadHold->holding; });
    }
}

}   // namespace

// A choice File Open refuses leaves the shown disc's read-ahead reading: held in its first file
// while the choice is made and refused, it goes on through every file of the disc once let go.
TEST_F(FileOpenTest, ARefusedFileOpenLeavesTheShownDiscsReadAheadReading)
{
    ReadAheadHold hold;
    readAheadHold = &hold;
    List().readAheadObserver = HoldFirstReadAhead;
    struct Restore {
        CXEVListFormView& list;
        ReadAheadHold& hold;
        ~Restore()
        {
            {
                std::lock_guard<std::mutex> lock(hold.mutex);
                hold.holding = false;
            }
            hold.changed.notify_all();
            list.readAhead.WaitAll();
            list.readAheadObserver = nullptr;
            readAheadHold = nullptr;
        }
    } restore{List(), hold};
    Open(kSample + "/DICOMDIR");
    const int64_t before = List().ReadAheadFilesRead();
    ASSERT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> lock(hold.mutex);
        return hold.opened == 1;
    }));

    std::set<QString> files;
    for (const PatientInfo* patient : List().patients) {
        for (const StudyInfo* study : patient->studies) {
            for (const SeriesInfo* series : study->series) {
                for (const ImageInfo* image : series->images) {
                    files.insert(image->filePath);
                }
            }
        }
    }
    ASSERT_GT(files.size(), 1u);

    chooser_.path = QString::fromStdString(temp_.Write("notes.txt", "plain text"));
    frame->OnFileOpen();
    ASSERT_TRUE(PumpUntil([&] { return !frame->Opening() && Failures() > 0; }));
    {
        std::lock_guard<std::mutex> lock(hold.mutex);
        hold.holding = false;
    }
    hold.changed.notify_all();
    ASSERT_TRUE(PumpUntil([&] { return List().readAhead.Running() == 0; }, kNoCeilingWaitMs));
    EXPECT_EQ(Failures(), 1);
    EXPECT_EQ(List().loaded, 1);
    EXPECT_EQ(List().ReadAheadFilesRead(), before + int64_t(files.size()));
    std::lock_guard<std::mutex> lock(hold.mutex);
    EXPECT_EQ(hold.opened, int(files.size()));
}

// Anyone may make files in the temporary folder: a link named "Kestro" (the old extraction
// folder's name), a file in the place of the user's folder, or, for the superuser, that folder
// given to another user, neither stop an archive from opening nor have anything written
// through them or removed.
TEST_F(FileOpenTest, NamesPlantedInTheTemporaryFolderNeitherStopNorTakeTheArchive)
{
    XEVEndExtractFolder();
    const std::string zip = MakeDiscZip("disc.zip", "");
    const std::string target = temp_.Path() + "/target";
    const std::string keep = temp_.Write("target/keep", "keep");
    const std::string user = temp_.Path() + "/kestro-" + std::to_string(::geteuid());
    fs::create_directory_symlink(target, temp_.Path() + "/Kestro");
    fs::remove_all(user);
    fs::create_directory_symlink(target, user);

    Open(zip);
    EXPECT_EQ(Failures(), 0);
    EXPECT_EQ(GetLoadState().GetZipPath(), zip);
    const std::string folder = GetLoadState().GetExtractFolder();
    EXPECT_EQ(folder.rfind(user + "-x.", 0), 0u) << folder;
    List().OpenFirstEntry();
    PumpUntil([&] { return LoadedCell() != nullptr; }, 30000);
    EXPECT_NE(LoadedCell(), nullptr);
    EXPECT_EQ(Failures(), 0);
    EXPECT_EQ(ReadFile(keep), "keep");
    EXPECT_EQ(std::distance(fs::directory_iterator(target), fs::directory_iterator()), 1);

    if (::geteuid() == 0) {
        fs::remove(user);
        fs::create_directory(user);
        const std::string other = temp_.Write("kestro-" + std::to_string(::geteuid()) + "/keep", "keep");
        ASSERT_EQ(::chown(user.c_str(), 65534, 65534), 0);
        // The first open's loaders end before its folder is taken from under them.
        ASSERT_TRUE(PumpUntilLoaded(Image()));
        XEVEndExtractFolder();
        Open(zip);
        EXPECT_EQ(Failures(), 0);
        EXPECT_EQ(GetLoadState().GetExtractFolder().rfind(user + "-x.", 0), 0u);
        EXPECT_EQ(ReadFile(other), "keep");
    }
}

TEST_F(FileOpenTest, PipesMissingPathsFakeZipsAndBrokenDicomDirsEndAtOnceWithOneMessage)
{
    Open(kSample + "/DICOMDIR");
    const std::vector<size_t> shape = Shape();
    PlatStuckPipe pipe(temp_.Path() + "/disc.zip");
    ASSERT_TRUE(pipe.Made());
    const std::string fakeZip = temp_.Write("fake.zip", std::string("PK\x03\x04", 4) + "no archive follows");
    // A DICOMDIR that does not load as one is still no image.
    const std::string noRecords = kFrameData + "/norecords/DICOMDIR";
    for (const std::string& path : {pipe.Path(), temp_.Path() + "/missing", fakeZip, noRecords}) {
        const int before = Failures();
        QElapsedTimer clock;
        clock.start();
        chooser_.path = QString::fromStdString(path);
        frame->OnFileOpen();
        ASSERT_TRUE(PumpUntil([&] { return !frame->Opening(); }, 30000));
        Pump();
        if (kHangCeilings) {
            EXPECT_LT(clock.elapsed(), kQuickStepCeilingMs) << path;
        }
        ASSERT_EQ(Failures(), before + 1) << path;
        EXPECT_EQ(box.texts.back(), GetMessageString(10027));
        EXPECT_EQ(List().loaded, 1) << path;
        EXPECT_EQ(Shape(), shape) << path;
        EXPECT_EQ(frame->singleFileOpened, 0) << path;
    }
    // Records that fail to load never make the file an image either, whatever else it says.
    const QString badRecords = QString::fromStdString(kFrameData + "/badrecords/DICOMDIR");
    EXPECT_TRUE(IsDicomFile(QString::fromStdString(kSample + "/DICOM/CT0001")));
    EXPECT_FALSE(IsDicomFile(badRecords));
    EXPECT_NE(ClassifyOpenPath(badRecords), XEVOpenKind::DicomFile);
    for (const std::string& path : {noRecords, badRecords.toStdString()}) {
        XEVVEKHelper helper;
        std::vector<PatientInfo*> patients;
        EXPECT_EQ(helper.LoadDicomFile(QString::fromStdString(path), patients), 0) << path;
        EXPECT_TRUE(patients.empty()) << path;
    }
    EXPECT_FALSE(pipe.Freed());
}

// A disc whose studies have no PATIENT record, or that has no record at all, gives nothing to
// show: one message each, the list stays empty and the patient view blank. The DICOMDIRs are
// written now, record by record.
TEST_F(FileOpenTest, APatientlessOrEmptyDicomDirAnswersOnceAndShowsNothing)
{
    const std::string command = "/usr/bin/python3 " + kFrameData + "/write_patientless.py " + temp_.Path();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    frame->OnAgreementClosed(1);
    CXEVPatientView& view = Title().PatientView();
    CXEVPatientView blankView;
    blankView.resize(view.size());
    const QImage blank = Grab(blankView);

    for (const char* name : {"nopatient", "empty"}) {
        const int before = Failures();
        chooser_.path = QString::fromStdString(temp_.Path() + "/" + name + "/DICOMDIR");
        frame->OnFileOpen();
        ASSERT_TRUE(PumpUntil([&] { return Failures() > before && !frame->Opening(); })) << name;
        Wait(300);
        ASSERT_EQ(Failures(), before + 1) << name;
        EXPECT_EQ(box.texts.back(), GetMessageString(10027));
        EXPECT_TRUE(List().patients.empty()) << name;
        EXPECT_EQ(view.Filled(), 0) << name;
        EXPECT_TRUE(Grab(view) == blank) << name;
        EXPECT_EQ(LoadedCell(), nullptr) << name;
    }
}

namespace {

// Holds the open's worker in its open of one file until the test, or a join on the GUI
// thread, lets it go.
struct HeldOpen {
    std::mutex mutex;
    std::condition_variable changed;
    std::string path;
    bool held = false;
    bool released = false;
    void Release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
};
HeldOpen* heldOpen = nullptr;
std::thread::id guiThread;
std::atomic<int> guiJoins{0};

void HoldTheChosenFile(const char* path)
{
    HeldOpen* hold = heldOpen;
    if (hold == nullptr || std::this_thread::get_id() == guiThread || hold->path != path) {
        return;
    }
    std::unique_lock<std::mutex> lock(hold->mutex);
    hold->held = true;
    hold->changed.notify_all();
    hold->changed.wait(lock, [hold] { return hold->released; });
}

// A join while the frame is destroyed would wait for the held worker for ever: it is counted
// and lets the worker go.
std::atomic<bool> destroying{false};
void CountGuiJoin()
{
    if (destroying.load() && std::this_thread::get_id() == guiThread) {
        ++guiJoins;
        if (heldOpen != nullptr) {
            heldOpen->Release();
        }
    }
}

}   // namespace

// File Open hands its worker's answer over by a post, however quick the worker: the command
// returns before anything of the open is done. A frame closed and destroyed while the worker
// is in a read waits for it nowhere; the worker ends afterwards, reaching nothing of it.
TEST_F(FileOpenTest, FileOpenNeverWaitsForItsWorkerNorDoesTheFramesEnd)
{
    chooser_.path = QString::fromStdString(kSample + "/DICOMDIR");
    frame->OnFileOpen();
    EXPECT_TRUE(frame->Opening());
    EXPECT_EQ(frame->FileOpenEnabled(), 0);
    EXPECT_EQ(List().loaded, 0);
    ASSERT_TRUE(PumpUntil([this] { return !frame->Opening(); }, kNoCeilingWaitMs));
    EXPECT_EQ(frame->FileOpenEnabled(), 1);
    WaitLoaded();
    EXPECT_EQ(List().patients.size(), 2u);
    // The quick worker may still be returning.
    ASSERT_TRUE(XEVWaitDetached(std::chrono::steady_clock::now() + std::chrono::milliseconds(kNoCeilingWaitMs)));

    HeldOpen hold;
    hold.path = temp_.Path() + "/held";
    fs::copy_file(kSample + "/DICOM/CT0001", hold.path);
    guiThread = std::this_thread::get_id();
    guiJoins = 0;
    heldOpen = &hold;
    PlatSetOpenObserver(&HoldTheChosenFile);
    XEVSetJoinObserver(&CountGuiJoin);
    chooser_.path = QString::fromStdString(hold.path);
    frame->OnFileOpen();
    {
        std::unique_lock<std::mutex> lock(hold.mutex);
        ASSERT_TRUE(
            hold.changed.wait_for(lock, std::chrono::milliseconds(kNoCeilingWaitMs), [&] { return hold.held; }));
    }
    EXPECT_TRUE(frame->Opening());
    frame->close();
    EXPECT_FALSE(frame->Opening());
    // The list's read-ahead, stopped by the close, is joined with the list once its block ends:
    // what is counted here is the open's worker alone.
    ASSERT_TRUE(PumpUntil([this] { return List().readAhead.Running() == 0; }, kNoCeilingWaitMs));
    destroying = true;
    frame.reset();
    destroying = false;
    EXPECT_EQ(guiJoins.load(), 0);
    EXPECT_EQ(XEVDetachedRunning(), 1u);

    hold.Release();
    EXPECT_TRUE(XEVWaitDetached(std::chrono::steady_clock::now() + std::chrono::milliseconds(kNoCeilingWaitMs)));
    XEVSetJoinObserver(nullptr);
    PlatSetOpenObserver(nullptr);
    heldOpen = nullptr;
    // The fixture's end closes a frame of its own.
    ShowFrameWithList();
}

namespace {

// What describes the open disc: the list's shape, the patient view, a cell's image and
// which tool and cine buttons can be pressed.
struct ShownDisc {
    std::vector<size_t> shape;
    QImage header;
    QString image;
    std::vector<bool> tools;
};

}   // namespace

class DropOpenTest : public FileOpenTest {
protected:
    void SetUp() override
    {
        FileOpenTest::SetUp();
        const std::string command =
            "/usr/bin/python3 " + kFrameData + "/write_damaged_zips.py " + kSample + " " + temp_.Path();
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        frame->OnAgreementClosed(1);
    }
    // Drops path on the list and waits for its check to answer.
    void Drop(const std::string& path)
    {
        XEVDropFiles drop;
        drop.paths = {QString::fromStdString(path)};
        XEVSendMessage(List().Handle(), WM_XEV_DROPFILES, 0, reinterpret_cast<XEVLParam>(&drop));
        EXPECT_TRUE(drop.finished);
        ASSERT_TRUE(PumpUntil([this] { return !frame->Opening(); }, 30000));
        Pump();
    }
    ShownDisc Shown()
    {
        ShownDisc shown{Shape(), Grab(Title().PatientView()), QString(), {}};
        if (XEVImageViewCtrl* cell = LoadedCell()) {
            shown.image = cell->CurrentImage()->filePath;
        }
        for (int32_t button = CXEVTitleFormView::kWindowLevel; button <= CXEVTitleFormView::kPlay; ++button) {
            shown.tools.push_back(Title().ButtonAt(CXEVTitleFormView::Button(button)).isEnabled());
        }
        return shown;
    }
    // The list, the patient view, the first loaded cell and the tools show what they showed.
    void ExpectShownAsBefore(const ShownDisc& before)
    {
        EXPECT_EQ(List().loaded, 1);
        const ShownDisc after = Shown();
        EXPECT_EQ(after.shape, before.shape);
        EXPECT_TRUE(after.header == before.header);
        EXPECT_EQ(after.image, before.image);
        EXPECT_EQ(after.tools, before.tools);
    }
    // The two roads a user opens a path by: a drop on the list and File Open, each waited for.
    std::vector<std::pair<const char*, std::function<void(const std::string&)>>> Routes()
    {
        return {
            {"a drop", [this](const std::string& path) { Drop(path); }},
            {"File Open",
             [this](const std::string& path) {
                 chooser_.path = QString::fromStdString(path);
                 frame->OnFileOpen();
                 ASSERT_TRUE(PumpUntil([this] { return !frame->Opening(); }, 30000));
                 Pump();
             }},
        };
    }
    // The sample disc shown, its first image loaded.
    ShownDisc OpenSample()
    {
        Open(kSample + "/DICOMDIR");
        EXPECT_TRUE(
            PumpUntil([this] { return Title().PatientView().Filled() == 1 && LoadedCell() != nullptr; }, 30000));
        return Shown();
    }
};

// Refused paths, dropped on the list or chosen in File Open, after a disc was opened: one
// message each, and the list, the patient view, the cells and the tools still describe that
// disc. Among them DICOMDIRs that only their load refuses: no patient, no record, every image
// behind a link out of the disc.
TEST_F(DropOpenTest, ARefusedPathLeavesTheOpenDiscAsItWas)
{
    for (const std::string script : {"write_patientless.py", "write_linked_disc.py"}) {
        const std::string command = "PYTHONPATH=" + kSample + "/../app/testsupport/python /usr/bin/python3 " +
                                    kFrameData + "/" + script + " " + temp_.Path();
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    const ShownDisc before = OpenSample();
    ASSERT_FALSE(before.shape.empty());
    ASSERT_FALSE(before.image.isEmpty());
    ASSERT_EQ(before.tools, std::vector<bool>(before.tools.size(), true));
    const std::string text = temp_.Write("notes.txt", "plain text");
    const std::string dicm = temp_.Write("fake.dcm", std::string(128, '\0') + "DICM" + std::string(64, 'x'));
    const auto routes = Routes();
    const std::pair<std::string, uint32_t> refused[] = {
        {temp_.Path() + "/nodicomdir.zip", 10027},
        {temp_.Path() + "/truncated.zip", 10027},
        {temp_.Path() + "/brokendir.zip", 10027},
        {text, 10027},
        {dicm, 10027},
        {temp_.Path() + "/nopatient/DICOMDIR", 10027},
        {temp_.Path() + "/empty/DICOMDIR", 10027},
        {temp_.Path() + "/OUTFOLDER/DICOMDIR", kXEVLinkedOutMessage},
    };
    for (const auto& [route, open] : routes) {
        for (const auto& [path, message] : refused) {
            SCOPED_TRACE(std::string(route) + " " + path);
            const int failures = Failures();
            open(path);
            ExpectShownAsBefore(before);
            ASSERT_EQ(Failures(), failures + 1);
            EXPECT_EQ(box.texts.back(), GetMessageString(message));
        }
    }
}

namespace {

// The names of whole members: one still being written has a dot name of its own until its
// rename, which a load on the open zip may be doing at any moment.
std::vector<std::string> WholeMembers(std::vector<std::string> names)
{
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& name) { return fs::path(name).filename().string()[0] == '.'; }),
                names.end());
    return names;
}

}   // namespace

// Archives whose DICOMDIR lands whole but whose load would show nothing: no patient, no record,
// a DICOMDIR member that is plain text, an only image stored as a link. Dropped on the list or
// chosen in File Open while a disc, or a zip of it, is open: one message each, and the disc shown
// stays, its loads going on; the open zip's extracted files stay, readable, and nothing of the
// refused ones is left. The same archive holding its image opens then in place of the zip, whose
// folder goes.
TEST_F(DropOpenTest, ARefusedArchiveLeavesTheOpenDiscAndItsExtractionAsTheyWere)
{
    const std::string command = "/usr/bin/python3 " + kFrameData + "/write_patientless.py " + temp_.Path();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const auto zipOf = [this](const std::string& name, const std::string& folder, bool link) {
        const std::string zip = temp_.Path() + "/" + name;
        const ZipMakerMember image = link ? ZipMakerMember{"IM1", "/etc/hostname", true}
                                          : ZipMakerMember{"IM1", ReadFile(temp_.Path() + "/nopatient/IM1")};
        EXPECT_TRUE(MakeZip(zip, {{"DICOMDIR", ReadFile(temp_.Path() + "/" + folder + "/DICOMDIR")}, image}));
        return zip;
    };
    const std::pair<std::string, uint32_t> refused[] = {
        {zipOf("nopatient.zip", "nopatient", false), 10027},
        {zipOf("empty.zip", "empty", false), 10027},
        {temp_.Path() + "/notdicomdir.zip", 10027},
        {zipOf("linkonly.zip", "onepatient", true), kXEVLinkMemberMessage},
    };
    const auto routes = Routes();
    std::string zipFolder;
    for (const bool zipped : {false, true}) {
        SCOPED_TRACE(zipped ? "a zip open" : "a disc open");
        if (zipped) {
            Open(MakeDiscZip("disc.zip", "CD/"));
            ASSERT_TRUE(
                PumpUntil([this] { return Title().PatientView().Filled() == 1 && LoadedCell() != nullptr; }, 30000));
        } else {
            OpenSample();
        }
        // Every cell in view has its image, so the first one with pixels stays the same.
        ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded(); }, 30000));
        const ShownDisc before = Shown();
        ASSERT_FALSE(before.image.isEmpty());
        const std::string zip = GetLoadState().GetZipPath();
        zipFolder = GetLoadState().GetExtractFolder();
        const std::vector<std::string> extracted = WholeMembers(ExtractedNames(kestro_));
        ASSERT_EQ(extracted.empty(), !zipped);
        for (const auto& [route, open] : routes) {
            for (const auto& [path, message] : refused) {
                SCOPED_TRACE(std::string(route) + " " + path);
                const int failures = Failures();
                open(path);
                ASSERT_EQ(Failures(), failures + 1);
                EXPECT_EQ(box.texts.back(), GetMessageString(message));
                ExpectShownAsBefore(before);
                EXPECT_EQ(GetLoadState().GetZipPath(), zip);
                EXPECT_EQ(GetLoadState().GetExtractFolder(), zipFolder);
                // What the open zip extracted stays, and its loads may have added to it; nothing
                // lies beside its folder once the refused one's has gone.
                WaitForFolderRemovals();
                const std::vector<std::string> now = ExtractedNames(kestro_);
                const std::vector<std::string> whole = WholeMembers(now);
                EXPECT_TRUE(std::includes(whole.begin(), whole.end(), extracted.begin(), extracted.end()));
                for (const std::string& name : now) {
                    EXPECT_TRUE(zipped && name.rfind(fs::path(zipFolder).filename().string(), 0) == 0) << name;
                }
            }
        }
        if (zipped) {
            EXPECT_EQ(ReadFile(before.image.toStdString()),
                      ReadFile(kSample + "/" + before.image.toStdString().substr(zipFolder.size() + 1)));
        }
        // The disc's loads go on: the other patient's last series shows its image.
        SeriesInfo* last = List().patients.back()->studies.back()->series.back();
        Image().ShowSeries(last);
        EXPECT_TRUE(PumpUntil(
            [&] {
                const XEVImageViewCtrl* cell = LoadedCell();
                return cell != nullptr && cell->CurrentImage() == last->images.front();
            },
            30000));
        EXPECT_EQ(Failures(), 8);
        box.texts.clear();
    }
    const std::string accepted = zipOf("onepatient.zip", "onepatient", false);
    Open(accepted);
    EXPECT_EQ(GetLoadState().GetZipPath(), accepted);
    WaitForFolderRemovals();
    EXPECT_FALSE(fs::exists(zipFolder));
    EXPECT_TRUE(PumpUntil([this] { return LoadedCell() != nullptr; }, 30000));
    const std::string now = fs::path(GetLoadState().GetExtractFolder()).filename().string();
    EXPECT_EQ(ExtractedNames(kestro_), (std::vector<std::string>{now, now + "/DICOMDIR", now + "/IM1"}));
    EXPECT_EQ(Failures(), 0);
}

// An archive named on the command line whose DICOMDIR member reads whole but is no DICOMDIR
// fails in its load, with nothing open before it: the list, the patient view and the tools then
// say that nothing is open. The disc dropped next opens with every tool and cine button that any
// open gives.
TEST_F(DropOpenTest, ADiscDroppedAfterAFailedArchiveOpensWithItsTools)
{
    const ShownDisc opened = OpenSample();
    CXEVPatientView blankView;
    blankView.resize(Title().PatientView().size());
    CloseFrameWithList();
    ShowFrameWithList();
    frame->OnAgreementClosed(1);
    frame->StartPathLoad(QString::fromStdString(temp_.Path() + "/notdicomdir.zip"));
    ASSERT_TRUE(PumpUntil([this] { return Failures() > 0; }, 30000));
    EXPECT_EQ(box.texts.back(), GetMessageString(10027));
    const ShownDisc failed = Shown();
    EXPECT_TRUE(failed.shape.empty());
    EXPECT_TRUE(failed.header == Grab(blankView));
    EXPECT_TRUE(failed.image.isEmpty());
    EXPECT_EQ(failed.tools, std::vector<bool>(opened.tools.size(), false));
    Drop(kSample + "/DICOMDIR");
    WaitLoaded();
    ASSERT_TRUE(PumpUntil([this] { return Title().PatientView().Filled() == 1 && LoadedCell() != nullptr; }, 30000));
    const ShownDisc shown = Shown();
    EXPECT_EQ(shown.shape, opened.shape);
    EXPECT_TRUE(shown.header == opened.header);
    EXPECT_EQ(shown.tools, opened.tools);
}

// A member whose deflated bytes were damaged fails its check as it is extracted: its cell
// names it as a member that cannot be read, by its name in the archive, not by the
// extraction folder's path of a file that was never written.
TEST_F(DropOpenTest, ABrokenMemberIsNamedByItsNameInTheArchive)
{
    const std::string zip = temp_.Path() + "/brokenmember.zip";
    Open(zip);
    ASSERT_TRUE(PumpUntil([this] { return Failures() > 0; }, 30000));
    ASSERT_EQ(Failures(), 1);
    const QString& text = box.texts.front();
    EXPECT_TRUE(text.startsWith(GetMessageString(10008))) << text.toStdString();
    EXPECT_TRUE(text.contains(QString::fromStdString(zip + "/CD/DICOM/CT0001"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QString::fromStdString(kestro_))) << text.toStdString();
    EXPECT_FALSE(fs::exists(GetLoadState().GetExtractFolder() + "/DICOM/CT0001"));
}

// A member stored as a symbolic link (to /etc/hostname) is refused as a link, named by its name
// in the archive, and nothing is written or followed for it; the disc's other images load.
TEST_F(DropOpenTest, ALinkMemberIsRefusedAsALinkAndNamedByItsNameInTheArchive)
{
    const std::string zip = temp_.Path() + "/linkmember.zip";
    Open(zip);
    ASSERT_TRUE(PumpUntil([this] { return Failures() > 0; }, 30000));
    ASSERT_EQ(Failures(), 1);
    const QString& text = box.texts.front();
    EXPECT_TRUE(text.startsWith(GetMessageString(kXEVLinkMemberMessage))) << text.toStdString();
    EXPECT_TRUE(text.contains(QString::fromStdString(zip + "/CD/DICOM/CT0001"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QString::fromStdString(kestro_))) << text.toStdString();
    EXPECT_EQ(fs::symlink_status(GetLoadState().GetExtractFolder() + "/DICOM/CT0001").type(), fs::file_type::not_found);
    EXPECT_TRUE(PumpUntil([this] { return LoadedCell() != nullptr; }, 30000));
}
