#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "plat_temp_folder.h"
#include "platform/platfolder.h"
#include "shell/kestroapp.h"
#include "shell/mainframe.h"
#include "shell/xev_uistring.h"
#include "shell/xevagreedlg.h"
#include "shell/xevbitmap.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevdetached.h"
#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"
#include "shell/xevpatientbar.h"
#include "shell/xevsplitterwnd.h"
#include "shell/xevtitleformview.h"
#include "shell/xevziparchive.h"
#include "study/xevlistformview.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "testsupport/pump.h"
#include "testsupport/qtguitestapp.h"
#include "testsupport/recordingbox.h"
#include "testsupport/xdgfolders.h"
#include "viewer/xevimageformview.h"
#include "viewer/xevimageviewctrl.h"

namespace {

// A whole start-up reads a disc and opens its first cells: more than the usual wait.
constexpr int kStartTimeoutMs = 30000;

const QString kSampleDicomDir = QStringLiteral(KV_SAMPLE_DIR "/DICOMDIR");

bool AlwaysEnoughMemory()
{
    return true;
}

bool NoHelpViewer(const QString&)
{
    return false;
}

// A whole start-up inside the test's application: its own program folder, runtime folder
// and data home, so that neither a running viewer nor an earlier test's acceptance counts.
class KestroStartTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(program_.isValid() && xdg_.isValid());
        PlatSetModuleFolderForTest(program_.path().toStdString());
        qApp->setQuitOnLastWindowClosed(false);
        XEVSetMessageBox(&box_);
        XEVSetMemoryTest(&AlwaysEnoughMemory);
        CMainFrame::SetHelpOpener(&NoHelpViewer);
        WriteIni(0);
    }
    void TearDown() override
    {
        if (instance_) {
            instance_->ExitInstance(0);
            instance_.reset();
        }
        CMainFrame::SetHelpOpener(nullptr);
        XEVSetMemoryTest(nullptr);
        XEVSetMessageBox(nullptr);
        PlatSetModuleFolderForTest("");
        GetCommonSettings().ModeOrvix = 0;
    }

    void WriteIni(int orvix)
    {
        QFile ini(QDir(program_.path()).filePath(QStringLiteral("ZYLV.INI")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(QStringLiteral("[Options]\r\nModeOrvix=%1\r\n").arg(orvix).toLatin1());
    }

    bool Start(QStringList arguments)
    {
        arguments.prepend(QStringLiteral("kestro"));
        instance_ = std::make_unique<XEVKestroInstance>();
        return instance_->InitInstance(arguments);
    }

    CMainFrame& Frame() { return *instance_->MainFrame(); }
    CXEVListFormView& List() { return *Frame().GetStudyList(); }
    // The first cell of the grid that shows an image.
    XEVImageViewCtrl* FirstCell()
    {
        for (const auto& [id, cell] : Frame().GetImageFormView()->ActiveCells()) {
            if (cell->CurrentImage() != nullptr) {
                return cell;
            }
        }
        return nullptr;
    }

    bool WaitForFirstCells()
    {
        return PumpUntil([this] { return Frame().FirstCellsLoaded(); }, kStartTimeoutMs);
    }

    // What the first cell shows: its series' modality and first image.
    QString FirstCellSeries()
    {
        XEVImageViewCtrl* cell = FirstCell();
        ImageInfo* image = cell != nullptr ? cell->CurrentImage() : nullptr;
        return image != nullptr ? image->filePath : QString();
    }

    QTemporaryDir program_;
    TempXdgFolders xdg_;
    RecordingBox box_;
    std::unique_ptr<XEVKestroInstance> instance_;
};

// The tree row of the patient's first series of that modality.
QTreeWidgetItem* FindSeriesItem(XEVStudyListCtrl& tree, const PatientInfo& patient, const QString& modality)
{
    for (QTreeWidgetItemIterator it(&tree); *it != nullptr; ++it) {
        const uint32_t data = XEVStudyListCtrl::ItemData(*it);
        if ((data & kXEVSeriesItemBit) == 0) {
            continue;
        }
        const size_t study = (data >> 16) & kXEVMaxItemStudy;
        const size_t series = data & kXEVMaxItemSeries;
        if (study < patient.studies.size() && series < patient.studies[study]->series.size() &&
            patient.studies[study]->series[series]->modality == modality) {
            return *it;
        }
    }
    return nullptr;
}

// The cell, grabbed as it stands, shows the sample MR's first image: four flat quadrants whose
// centres read 0, 85, 170 and 255 (top-left, top-right, bottom-left, bottom-right).
void ExpectMrQuadrants(XEVImageViewCtrl& cell)
{
    const QImage shot = cell.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const XEVViewGeometry geometry = cell.ComputeGeometry(cell.width(), cell.height(), 256, 256, 1.0);
    ASSERT_TRUE(geometry.drawable);
    const QRect drawn = geometry.destination;
    const double ratio = shot.width() / double(cell.width());
    const int expected[4] = {0, 85, 170, 255};
    for (int q = 0; q < 4; ++q) {
        const double x = drawn.left() + drawn.width() * ((q % 2) * 0.5 + 0.25);
        const double y = drawn.top() + drawn.height() * ((q / 2) * 0.5 + 0.25);
        EXPECT_NEAR(qGray(shot.pixel(int(x * ratio), int(y * ratio))), expected[q], 2) << "quadrant " << q;
    }
}

// Holds the start's leftover sweep until released; a failed step never leaves it held.
class HeldSweep {
public:
    HeldSweep()
    {
        std::shared_future<void> released = release_.get_future().share();
        XEVKestroInstance::SetLeftoverSweepGateForTest(
            [released] { released.wait_for(std::chrono::milliseconds(kStartTimeoutMs)); });
    }
    ~HeldSweep()
    {
        XEVKestroInstance::SetLeftoverSweepGateForTest(nullptr);
        Release();
    }
    HeldSweep(const HeldSweep&) = delete;
    HeldSweep& operator=(const HeldSweep&) = delete;
    void Release()
    {
        try {
            release_.set_value();
        } catch (const std::future_error&) {
        }
    }

private:
    std::promise<void> release_;
};

}   // namespace

TEST_F(KestroStartTest, TermsFirstThenFirstEntryThenTheMrSeriesWithItsGreys)
{
    ASSERT_TRUE(Start({kSampleDicomDir}));
    EXPECT_TRUE(Frame().windowTitle().startsWith(QStringLiteral("RV-K Viewer V ")));
    // The small icon is built-in bitmap 130 at its own 16 x 16.
    const QIcon icon = Frame().windowIcon();
    ASSERT_EQ(icon.availableSizes(), QList<QSize>{QSize(16, 16)});
    EXPECT_EQ(icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_RGB32), XEVLoadBuiltInImage(130));
    CXEVAgreeDlg* dialog = Frame().AgreementDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return dialog->isVisible(); }, kStartTimeoutMs));
    const QRect owner = Frame().frameGeometry();
    EXPECT_EQ(dialog->geometry(),
              QRect(owner.left() + (owner.width() - 800) / 2, owner.top() + (owner.height() - 560) / 2 + 40, 800, 560));
    EXPECT_FALSE(Frame().OuterSplitter()->isEnabled());
    EXPECT_TRUE(Frame().isEnabled());

    // Loaded but not accepted: nothing is selected yet.
    ASSERT_TRUE(PumpUntil([this] { return List().loaded != 0; }, kStartTimeoutMs));
    Wait(50);
    EXPECT_EQ(Frame().StartedViewing(), 0);

    dialog->OnOK();
    ASSERT_TRUE(WaitForFirstCells());
    EXPECT_TRUE(Frame().OuterSplitter()->isEnabled());
    EXPECT_EQ(Frame().AgreementDialog(), nullptr);
    ASSERT_NE(List().Bar(kXEVFirstBarId), nullptr);
    ASSERT_NE(List().Bar(kXEVFirstBarId + 1), nullptr);
    EXPECT_EQ(List().Bar(kXEVFirstBarId + 2), nullptr);
    EXPECT_EQ(List().Bar(kXEVFirstBarId)->Patient().nameIdeographic, QStringLiteral("山田 太郎"));
    EXPECT_TRUE(FirstCellSeries().endsWith(QStringLiteral("CT0001")));
    EXPECT_EQ(box_.Count(), 0);

    XEVStudyListCtrl* tree = List().Tree(kXEVFirstTreeId);
    ASSERT_NE(tree, nullptr);
    QTreeWidgetItem* mr = FindSeriesItem(*tree, *List().patients[0], QStringLiteral("MR"));
    ASSERT_NE(mr, nullptr);
    tree->scrollToItem(mr);
    const QRect row = tree->visualItemRect(mr);
    ASSERT_TRUE(tree->OnLButtonDblClk(QPoint(row.left() + 4, row.center().y())));
    ASSERT_TRUE(PumpUntil(
        [this] {
            XEVImageViewCtrl* cell = FirstCell();
            return FirstCellSeries().endsWith(QStringLiteral("MR0001")) && cell != nullptr && cell->HasFramePixels(0);
        },
        kStartTimeoutMs));
    XEVImageViewCtrl* cell = FirstCell();
    cell->repaint();
    ExpectMrQuadrants(*cell);
}

// A later image's report leaves only the progress strip to repaint; a grab taken before that
// paint (the screenshot polls between events) must still draw the whole cell.
TEST_F(KestroStartTest, AGrabBetweenALaterImagesReportAndItsPaintShowsTheImage)
{
    ASSERT_TRUE(Start({QStringLiteral("/Agree"), kSampleDicomDir}));
    ASSERT_TRUE(WaitForFirstCells());
    ASSERT_TRUE(PumpUntil(
        [this] {
            for (const auto& [id, cell] : Frame().GetImageFormView()->ActiveCells()) {
                if (cell->loadingUnderWay.load() != 0 || cell->progressShown.load() != 0) {
                    return false;
                }
            }
            return true;
        },
        kStartTimeoutMs));
    XEVImageViewCtrl* mr = nullptr;
    for (const auto& [id, cell] : Frame().GetImageFormView()->ActiveCells()) {
        ImageInfo* image = cell->CurrentImage();
        if (image != nullptr && image->filePath.endsWith(QStringLiteral("MR0001"))) {
            mr = cell;
        }
    }
    ASSERT_NE(mr, nullptr);
    const std::map<int32_t, ImageInfo*> images = mr->GetImages();
    ASSERT_GE(images.size(), 2u);
    // The state of a load under way: the first image shown, the second reporting in.
    mr->progressTotal = int32_t(images.size());
    mr->progressShown = 1;
    mr->loadedCount = 1;
    XEVSendMessage(mr->Handle(), WM_XEV_IMAGE_LOADED, reinterpret_cast<XEVWParam>(std::next(images.begin())->second));
    ASSERT_EQ(mr->progressOnly, 1);
    ExpectMrQuadrants(*mr);
}

TEST_F(KestroStartTest, FirstCellsWaitForTheSlowerCellOfTheSelection)
{
    // A small CT, a 2-frame RLE of 1024 x 1024 and a missing file, each in a cell of the first
    // study. The cells report in their own time, so the start is taken more than once.
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        box_.texts.clear();
        ASSERT_TRUE(Start({QStringLiteral("/Agree"), QStringLiteral(KESTRO_TEST_DATA_DIR "/slowdisc/DICOMDIR")}));
        ASSERT_TRUE(WaitForFirstCells());
        // What the screenshot takes at this moment: every cell given a series shows its image,
        // but the one whose file is gone, which has failed.
        int shown = 0;
        int failed = 0;
        for (const auto& [id, cell] : Frame().GetImageFormView()->ActiveCells()) {
            const std::map<int32_t, ImageInfo*> images = cell->GetImages();
            if (images.empty()) {
                continue;
            }
            if (!QFile::exists(images.begin()->second->filePath)) {
                ++failed;
                continue;
            }
            ASSERT_NE(cell->CurrentImage(), nullptr) << id;
            const QImage shot = cell->grab().toImage().convertToFormat(QImage::Format_RGB32);
            EXPECT_GT(qGray(shot.pixel(shot.width() / 2, shot.height() / 2)), 100) << id;
            ++shown;
        }
        EXPECT_EQ(shown, 2);
        EXPECT_EQ(failed, 1);
        // The missing file's box follows its cell's failure; one box, however the cells reported.
        EXPECT_TRUE(PumpUntil([this] { return box_.Count() >= 1; }));
        instance_->ExitInstance(0);
        instance_.reset();
        EXPECT_EQ(box_.Count(), 1);
    }
}

TEST_F(KestroStartTest, AStartAskedAgainForTheSameListShowsNothingAgain)
{
    // The acceptance and the load each ask for the start, and a busy machine may hand both
    // over after the list is built: the first study is shown once, and what its cells read
    // or failed on is neither read nor named again.
    ASSERT_TRUE(Start({QStringLiteral("/Agree"), QStringLiteral(KESTRO_TEST_DATA_DIR "/slowdisc/DICOMDIR")}));
    ASSERT_TRUE(WaitForFirstCells());
    ASSERT_TRUE(PumpUntil([this] { return box_.Count() >= 1; }));
    std::map<ImageInfo*, XEVVEKHelper*> held;
    for (const auto& [id, cell] : Frame().GetImageFormView()->ActiveCells()) {
        for (const auto& [index, image] : cell->GetImages()) {
            if (XEVVEKHelper* helper = image->GetHelper()) {
                held[image] = helper;
            }
        }
    }
    ASSERT_GE(held.size(), 3u);
    XEVSendMessage(Frame().Handle(), WM_XEV_START_VIEWING, 0, 0);
    // A second showing would come two queued hops later and let every helper go.
    for (int round = 0; round < 10; ++round) {
        QCoreApplication::sendPostedEvents();
    }
    for (const auto& [image, helper] : held) {
        EXPECT_EQ(image->GetHelper(), helper) << image->filePath.toStdString();
    }
    instance_->ExitInstance(0);
    instance_.reset();
    EXPECT_EQ(box_.Count(), 1);
}

TEST_F(KestroStartTest, AcceptanceBeforeOrAfterTheLoadOrByArgumentSelectsAlike)
{
    // Before: the answer arrives before the list has loaded.
    ASSERT_TRUE(Start({kSampleDicomDir}));
    ASSERT_EQ(List().loaded, 0);
    Frame().AgreementDialog()->OnOK();
    ASSERT_TRUE(WaitForFirstCells());
    const QString before = FirstCellSeries();
    EXPECT_FALSE(before.isEmpty());
    instance_->ExitInstance(0);
    instance_.reset();

    // After.
    ASSERT_TRUE(Start({kSampleDicomDir}));
    ASSERT_TRUE(PumpUntil([this] { return List().loaded != 0; }, kStartTimeoutMs));
    Frame().AgreementDialog()->OnOK();
    ASSERT_TRUE(WaitForFirstCells());
    EXPECT_EQ(FirstCellSeries(), before);
    instance_->ExitInstance(0);
    instance_.reset();

    // "/Agree": the dialog is never seen.
    ASSERT_TRUE(Start({QStringLiteral("/Agree"), kSampleDicomDir}));
    QPointer<CXEVAgreeDlg> dialog = Frame().AgreementDialog();
    bool seen = false;
    ASSERT_TRUE(PumpUntil(
        [&] {
            seen = seen || (!dialog.isNull() && dialog->isVisible());
            return Frame().FirstCellsLoaded();
        },
        kStartTimeoutMs));
    EXPECT_FALSE(seen);
    EXPECT_EQ(FirstCellSeries(), before);
    EXPECT_EQ(box_.Count(), 0);
}

TEST_F(KestroStartTest, StoredAcceptanceIsAddedAsOneArgument)
{
    // The acceptance marker newer than the shortcut beside the program.
    QFile(QDir(program_.path()).filePath(QStringLiteral("ZYLV.lnk"))).open(QIODevice::WriteOnly);
    const QString folder = CKestroAppCore::GetAgreementFolder();
    ASSERT_FALSE(folder.isEmpty());
    Wait(20);
    QFile(folder + QStringLiteral("Agree")).open(QIODevice::WriteOnly);
    ASSERT_TRUE(Start({kSampleDicomDir}));
    EXPECT_EQ(instance_->RawCommandLine(),
              (QStringList{QStringLiteral("kestro"), kSampleDicomDir, QStringLiteral("/Agree")}));
    ASSERT_TRUE(WaitForFirstCells());
}

TEST_F(KestroStartTest, DecliningClosesTheFrameAndEndsWithZero)
{
    ASSERT_TRUE(Start({kSampleDicomDir}));
    ASSERT_TRUE(PumpUntil([this] { return Frame().AgreementDialog()->isVisible(); }, kStartTimeoutMs));
    Frame().AgreementDialog()->OnCancel();
    ASSERT_TRUE(PumpUntil([this] { return !Frame().isVisible(); }, kStartTimeoutMs));
    EXPECT_EQ(Frame().StartedViewing(), 0);
    EXPECT_EQ(instance_->ExitInstance(0), 0);
    instance_.reset();
}

TEST_F(KestroStartTest, MissingDicomDirEndsAfterAcceptanceOnlyUnlessOrvix)
{
    const QString missing = QDir(program_.path()).filePath(QStringLiteral("NONE/DICOMDIR"));
    ASSERT_TRUE(Start({missing}));
    ASSERT_TRUE(PumpUntil([this] { return List().loaded != 0; }, kStartTimeoutMs));
    Wait(50);
    EXPECT_EQ(box_.Count(), 0);
    EXPECT_TRUE(Frame().isVisible());
    Frame().AgreementDialog()->OnOK();
    ASSERT_TRUE(PumpUntil([this] { return !Frame().isVisible(); }, kStartTimeoutMs));
    EXPECT_EQ(box_.Count(), 1);
    EXPECT_EQ(box_.Last(), GetMessageString(10002));
    Wait(50);
    EXPECT_EQ(box_.Count(), 1);
    instance_->ExitInstance(0);
    instance_.reset();

    // Under "ModeOrvix" the window stays for File Open; the path the user named is said to
    // be unreadable once, as File Open says it.
    WriteIni(1);
    ASSERT_TRUE(Start({missing}));
    Frame().AgreementDialog()->OnOK();
    ASSERT_TRUE(PumpUntil([this] { return List().loaded != 0 && Frame().LoadResult() == 0 && Frame().Agreed(); },
                          kStartTimeoutMs));
    // The message comes from a posted step; a slow build may show it a little later.
    ASSERT_TRUE(PumpUntil([this] { return box_.Count() >= 2; }, kStartTimeoutMs));
    Wait(50);
    EXPECT_TRUE(Frame().isVisible());
    EXPECT_EQ(box_.Count(), 2);
    EXPECT_EQ(box_.Last(), GetMessageString(10027));
    EXPECT_EQ(Frame().FileOpenEnabled(), 1);
    EXPECT_FALSE(Frame().GetTitlePane()->ButtonAt(CXEVTitleFormView::kWindowLevel).isEnabled());
    instance_->ExitInstance(0);
    instance_.reset();

    // No path and no disc: the same empty window, and nothing to say.
    ASSERT_TRUE(Start({}));
    Frame().AgreementDialog()->OnOK();
    ASSERT_TRUE(PumpUntil([this] { return List().loaded != 0 && Frame().LoadResult() == 0 && Frame().Agreed(); },
                          kStartTimeoutMs));
    Wait(50);
    EXPECT_TRUE(Frame().isVisible());
    EXPECT_EQ(box_.Count(), 2);
    EXPECT_EQ(Frame().FileOpenEnabled(), 1);
    EXPECT_FALSE(Frame().GetTitlePane()->ButtonAt(CXEVTitleFormView::kWindowLevel).isEnabled());
}

TEST_F(KestroStartTest, UnopenableCommandLinePathsSayItOnceAndLeaveAWindowToOpenFrom)
{
    QTemporaryDir temp;
    PlatStuckPipe pipe(temp.filePath(QStringLiteral("DICOMDIR")).toStdString());
    ASSERT_TRUE(pipe.Made());
    const QString fakeZip = temp.filePath(QStringLiteral("disc.zip"));
    QFile zip(fakeZip);
    ASSERT_TRUE(zip.open(QIODevice::WriteOnly));
    zip.write(QByteArray("PK\x03\x04", 4) + "no archive follows");
    zip.close();
    // A DICOMDIR that does not load as one is no image either.
    const QString noRecords = QStringLiteral(FRAME_TEST_DATA_DIR "/norecords/DICOMDIR");

    WriteIni(1);
    for (const QString& path : {QString::fromStdString(pipe.Path()), fakeZip, noRecords}) {
        const int before = box_.Count();
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(Start({QStringLiteral("/Agree"), path}));
        ASSERT_TRUE(PumpUntil([&] { return box_.Count() > before; })) << path.toStdString();
        if (kHangCeilings) {
            EXPECT_LT(clock.elapsed(), kQuickStepCeilingMs) << path.toStdString();
        }
        Wait(50);
        EXPECT_EQ(box_.Count(), before + 1) << path.toStdString();
        EXPECT_EQ(box_.Last(), GetMessageString(10027));
        EXPECT_TRUE(Frame().isVisible());
        EXPECT_EQ(Frame().FileOpenEnabled(), 1);
        EXPECT_TRUE(List().patients.empty());
        EXPECT_EQ(Frame().singleFileOpened, 0);
        instance_->ExitInstance(0);
        instance_.reset();
    }

    // Without "ModeOrvix" the pipe ends the program as any unreadable disc does.
    WriteIni(0);
    ASSERT_TRUE(Start({QStringLiteral("/Agree"), QString::fromStdString(pipe.Path())}));
    ASSERT_TRUE(PumpUntil([this] { return !Frame().isVisible(); }));
    EXPECT_EQ(box_.Last(), GetMessageString(10002));
    EXPECT_FALSE(pipe.Freed());
}

TEST_F(KestroStartTest, PipesBesideTheProgramAreTakenForMissingFiles)
{
    // The settings, the terms texts, the corner-text settings and a skin, all on the disc
    // beside the program: pipes that no writer opens. Built-in defaults stand in for them.
    const QDir program(program_.path());
    ASSERT_TRUE(QFile::remove(program.filePath(QStringLiteral("ZYLV.INI"))));
    ASSERT_TRUE(program.mkpath(QStringLiteral("Res")));
    std::vector<std::unique_ptr<PlatStuckPipe>> pipes;
    for (const char* name : {"ZYLV.INI", "AGR96.TXT", "AGR120.TXT", "OVERLAY.XML", "Res/Btn_kaichou_off.bmp"}) {
        pipes.push_back(std::make_unique<PlatStuckPipe>(program.filePath(QString::fromLatin1(name)).toStdString()));
        ASSERT_TRUE(pipes.back()->Made());
    }
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(Start({kSampleDicomDir}));
    ASSERT_TRUE(PumpUntil([this] { return Frame().AgreementDialog()->isVisible(); }));
    Frame().AgreementDialog()->OnOK();
    ASSERT_TRUE(WaitForFirstCells());
    std::printf("[ figures  ] start beside pipes: %lld ms\n", static_cast<long long>(clock.elapsed()));
    if (kHangCeilings) {
        EXPECT_LT(clock.elapsed(), kQuickStepCeilingMs);
    }
    EXPECT_EQ(box_.Count(), 0);
    for (const auto& pipe : pipes) {
        EXPECT_FALSE(pipe->Freed()) << pipe->Path();
    }
}

// Settings and corner-text files of 1 GiB beside the program (sparse, their first lines set
// values): none is read, a warning names each, and the program starts with the defaults and
// the built-in corner texts, its first cells shown.
TEST_F(KestroStartTest, ProgramFilesPastTheirLimitAreTakenForMissing)
{
    const QDir program(program_.path());
    const std::pair<const char*, const char*> files[] = {
        {"ZYLV.INI", "[Options]\r\nModeOrvix=1\r\n[Cashe]\r\nCacheSizeRatio=30\r\n[Font]\r\n"
                     "StringsFaceName=Hostile Sans\r\n[Strings]\r\nS20200=hostile\r\n"},
        {"OVERLAY.XML", "<?xml version=\"1.0\"?><OverlaySetting><FONT NAME=\"Hostile\" SIZE=\"30\"/>"
                        "<MODALITY NAME=\"CT\"><LOCATION VALUE=\"UPPERLEFT\"><LINE><TEXT VALUE=\"hostile\"/>"
                        "</LINE></LOCATION></MODALITY></OverlaySetting>\n"}};
    for (const auto& [name, head] : files) {
        QFile file(program.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(head);
        ASSERT_TRUE(file.resize(qint64(1) << 30));
    }
    testing::internal::CaptureStderr();
    ASSERT_TRUE(Start({kSampleDicomDir}));
    const std::string warned = testing::internal::GetCapturedStderr();
    for (const auto& [name, head] : files) {
        EXPECT_NE(warned.find(program.filePath(QString::fromLatin1(name)).toStdString()), std::string::npos) << warned;
    }
    const XEVCommonSettings& settings = GetCommonSettings();
    EXPECT_EQ(settings.ModeOrvix, 0);
    EXPECT_EQ(settings.CacheSizeRatio, 50);
    EXPECT_EQ(settings.Fonts[1].face, QStringLiteral("MS UI Gothic"));
    EXPECT_EQ(settings.MenuLabelsStopped.at(32773), QStringLiteral("階調"));
    EXPECT_EQ(settings.OverlayFileExists, 0);
    EXPECT_EQ(settings.Fonts[7].points, 11);
    const XEVOverlaySettingInfo ct = settings.FindOverlaySettingInfo(QStringLiteral("CT"));
    EXPECT_TRUE(ct.GetPositionMap(0).empty());
    EXPECT_EQ(ct.GetPositionMap(7).size(), 6u);
    // Without ModeOrvix the terms come first, as with no settings file.
    ASSERT_TRUE(PumpUntil([this] { return Frame().AgreementDialog()->isVisible(); }, kStartTimeoutMs));
    Frame().AgreementDialog()->OnOK();
    ASSERT_TRUE(WaitForFirstCells());
    EXPECT_TRUE(FirstCellSeries().endsWith(QStringLiteral("CT0001")));
    EXPECT_EQ(box_.Count(), 0);
}

// Corner-text files under 16 MiB whose parse would outgrow them: 200,000 attributes on one
// element (checked each against the others), and 15 MiB of nested elements. Neither is parsed:
// the window shows with the built-in corner texts, a warning naming the file.
TEST_F(KestroStartTest, CornerTextFilesPastTheReadersLimitsAreTakenForMissing)
{
    QByteArray attributes = "<OVERLAYSETTING><MODALITY NAME='CT'";
    for (int i = 0; i < 200000; ++i) {
        attributes += " A" + QByteArray::number(i) + "='x'";
    }
    attributes += "><LOCATION VALUE='UPPERLEFT'><LINE><TEXT VALUE='hostile'/></LINE></LOCATION></MODALITY>"
                  "</OVERLAYSETTING>";
    const int levels = (15 << 20) / 7;
    const QByteArray nested = "<OVERLAYSETTING>" + QByteArray("<A>").repeated(levels) +
                              QByteArray("</A>").repeated(levels) + "</OVERLAYSETTING>";
    const QString path = QDir(program_.path()).filePath(QStringLiteral("OVERLAY.XML"));
    for (const QByteArray* overlay : {static_cast<const QByteArray*>(&attributes), &nested}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(*overlay), overlay->size());
        file.close();
        if (instance_) {
            instance_->ExitInstance(0);
            instance_.reset();
        }
        QElapsedTimer clock;
        clock.start();
        testing::internal::CaptureStderr();
        ASSERT_TRUE(Start({QStringLiteral("/Agree"), kSampleDicomDir}));
        const std::string warned = testing::internal::GetCapturedStderr();
        EXPECT_NE(warned.find(path.toStdString()), std::string::npos) << warned;
        const XEVCommonSettings& settings = GetCommonSettings();
        EXPECT_EQ(settings.OverlayFileExists, 0);
        EXPECT_EQ(settings.FindOverlaySettingInfo(QStringLiteral("CT")).GetPositionMap(7).size(), 6u);
        ASSERT_TRUE(WaitForFirstCells());
        if (kHangCeilings) {
            EXPECT_LT(clock.elapsed(), kQuickStepCeilingMs);
        }
        EXPECT_TRUE(Frame().isVisible());
        EXPECT_EQ(box_.Count(), 0);
    }
}

TEST_F(KestroStartTest, PipesAndLinksToDevicesOnTheDiscNeitherFreezeTheViewerNorHoldItsShutdown)
{
    // The sample disc with two MR images, the report and the second patient's XA image
    // replaced by pipes that no writer opens and a link to /dev/zero. The scan reads every
    // file and every report.
    QTemporaryDir disc;
    namespace fs = std::filesystem;
    const fs::path root = disc.path().toStdString();
    fs::copy(KV_SAMPLE_DIR, root, fs::copy_options::recursive);
    std::vector<std::unique_ptr<PlatStuckPipe>> pipes;
    for (const char* name : {"MR0003", "SR0001", "XA0001"}) {
        fs::remove(root / "DICOM" / name);
        pipes.push_back(std::make_unique<PlatStuckPipe>((root / "DICOM" / name).string()));
        ASSERT_TRUE(pipes.back()->Made());
    }
    fs::remove(root / "DICOM" / "MR0004");
    fs::create_symlink("/dev/zero", root / "DICOM" / "MR0004");
    QFile ini(QDir(program_.path()).filePath(QStringLiteral("ZYLV.INI")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write("[Options]\r\nModeMultiFrameRead=1\r\nModeSupportSR=1\r\nModeUnsupportSRDelList=1\r\n");
    ini.close();

    // The read-ahead passes the images before the pipe while the terms are still open; the
    // terms answered, the frame stops it and shows the first study.
    ASSERT_TRUE(Start({QString::fromStdString((root / "DICOMDIR").string())}));
    ASSERT_TRUE(PumpUntil([this] { return List().loaded != 0 && List().ReadAheadFilesRead() >= 7; }, kStartTimeoutMs));
    Frame().AgreementDialog()->OnOK();
    ASSERT_TRUE(WaitForFirstCells());
    EXPECT_TRUE(FirstCellSeries().endsWith(QStringLiteral("CT0001")));
    EXPECT_EQ(List().patients.size(), 2u);
    ASSERT_TRUE(PumpUntil([this] { return List().scanDone != 0; }, kStartTimeoutMs));

    QElapsedTimer clock;
    clock.start();
    Frame().close();
    instance_->ExitInstance(0);
    instance_.reset();
    std::printf("[ figures  ] close beside pipes: %lld ms\n", static_cast<long long>(clock.elapsed()));
    if (kHangCeilings) {
        EXPECT_LT(clock.elapsed(), kQuickStepCeilingMs);
    }
    for (const auto& pipe : pipes) {
        EXPECT_FALSE(pipe->Freed()) << pipe->Path();
    }
}

TEST_F(KestroStartTest, HelpFileMissingUnopenableAndTheTermsAgainOnF1)
{
    ASSERT_TRUE(Start({QStringLiteral("/Agree"), kSampleDicomDir}));
    ASSERT_TRUE(WaitForFirstCells());
    Frame().OnHelpRequest();
    EXPECT_EQ(box_.Count(), 1);
    EXPECT_EQ(box_.Last(), GetMessageString(10001));
    QFile(QDir(program_.path()).filePath(QStringLiteral("ZYLV.CHM"))).open(QIODevice::WriteOnly);
    Frame().OnHelpRequest();
    EXPECT_EQ(box_.Count(), 2);
    EXPECT_TRUE(box_.Last().contains(QStringLiteral("ZYLV.CHM")));
    EXPECT_TRUE(box_.Last().contains(QStringLiteral("xchm")));

    // F1 shows the terms in help mode over the panes; a second F1 while it is open does
    // nothing; OK gives the panes back without a second first selection.
    instance_->OnCommand(kXEVHelpCommand);
    CXEVAgreeDlg* dialog = Frame().AgreementDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->Mode(), 1);
    instance_->OnCommand(kXEVHelpCommand);
    EXPECT_EQ(Frame().AgreementDialog(), dialog);
    EXPECT_FALSE(Frame().OuterSplitter()->isEnabled());
    dialog->OnOK();
    ASSERT_TRUE(PumpUntil([this] { return Frame().AgreementDialog() == nullptr; }, kStartTimeoutMs));
    EXPECT_TRUE(Frame().OuterSplitter()->isEnabled());
}

TEST_F(KestroStartTest, DeviceRemovalClosesTheTermsFirstAndOnlyFromACdRom)
{
    WriteIni(0);
    ASSERT_TRUE(Start({kSampleDicomDir}));
    ASSERT_TRUE(PumpUntil([this] { return Frame().AgreementDialog()->isVisible(); }, kStartTimeoutMs));
    // On a hard disk nothing happens.
    Frame().OnDeviceRemoveComplete();
    Wait(30);
    EXPECT_NE(Frame().AgreementDialog(), nullptr);
    EXPECT_TRUE(Frame().isVisible());
    // From a CD-ROM the open terms get the close, which declines them and so ends the frame.
    Frame().SetProgramOnCdRom(1);
    Frame().OnDeviceRemoveComplete();
    ASSERT_TRUE(PumpUntil([this] { return !Frame().isVisible(); }, kStartTimeoutMs));
}

TEST_F(KestroStartTest, ClosingWhileImagesLoadJoinsEveryThreadFirst)
{
    // Closed at different moments of the load and the first selection; the sanitizer builds
    // catch a thread reading freed records.
    for (int pumps : {0, 1, 3, 10, 40}) {
        ASSERT_TRUE(Start({QStringLiteral("/Agree"), kSampleDicomDir}));
        for (int i = 0; i < pumps; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        Frame().close();
        EXPECT_FALSE(Frame().isVisible());
        EXPECT_EQ(GetLoadState().IsPreloadRunning(), 0);
        EXPECT_TRUE(List().patients.empty());
        EXPECT_EQ(Frame().GetImageFormView()->GetFirstActiveView(), nullptr);
        QCoreApplication::processEvents();
        instance_->ExitInstance(0);
        instance_.reset();
    }
}

// The sample disc as ISO 9660 shows it without name mapping, beside the program: every file
// with its version, "DICOMDIR;1" and "DICOM/CT0001;1". Start-up finds the DICOMDIR where it
// looks for one, and the first images load from the versioned names.
TEST_F(KestroStartTest, ADiscWithIsoVersionedNamesOpensAtStartUp)
{
    const std::filesystem::path disc = program_.path().toStdString();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(KV_SAMPLE_DIR)) {
        const std::filesystem::path relative = std::filesystem::relative(entry.path(), KV_SAMPLE_DIR);
        if (entry.is_directory()) {
            std::filesystem::create_directories(disc / relative);
        } else {
            std::filesystem::copy_file(entry.path(), disc / (relative.string() + ";1"));
        }
    }
    ASSERT_TRUE(Start({QStringLiteral("/Agree")}));
    ASSERT_TRUE(WaitForFirstCells());
    EXPECT_TRUE(FirstCellSeries().endsWith(QStringLiteral("/DICOM/CT0001;1"))) << FirstCellSeries().toStdString();
    XEVImageViewCtrl* cell = FirstCell();
    ASSERT_NE(cell, nullptr);
    EXPECT_TRUE(cell->HasFramePixels(0));
    EXPECT_EQ(box_.Count(), 0);
}

TEST_F(KestroStartTest, ExitRemovesTheExtractionFolderAndThenFreesTheInstance)
{
    QTemporaryDir temp;
    ScopedEnv tmpdir("TMPDIR", temp.path().toStdString().c_str());
    ASSERT_TRUE(Start({QStringLiteral("/Agree"), kSampleDicomDir}));
    const QString folder = QString::fromStdString(XEVGetExtractFolder());
    ASSERT_FALSE(folder.isEmpty());
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/DICOM/sub")));
    QFile(folder + QStringLiteral("/DICOMDIR")).open(QIODevice::WriteOnly);
    QFile(folder + QStringLiteral("/DICOM/sub/.hidden")).open(QIODevice::WriteOnly);
    GetLoadState().SetArchive((temp.path() + QStringLiteral("/disc.zip")).toStdString(), folder.toStdString());
    ASSERT_TRUE(WaitForFirstCells());
    EXPECT_EQ(instance_->ExitInstance(0), 0);
    instance_.reset();
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_TRUE(GetLoadState().GetZipPath().empty());

    // The instance is free again.
    ASSERT_TRUE(Start({QStringLiteral("/Agree"), kSampleDicomDir}));
    ASSERT_TRUE(WaitForFirstCells());
}

// A run killed after an import left its extraction folder, with its lock free: the next start
// removes that folder, and only it. The user's own folder named Kestro, a folder named like an
// extraction folder without a lock, what a link in such a place names, and files beside them
// all stay.
TEST_F(KestroStartTest, StartRemovesWhatAnUnfinishedRunExtracted)
{
    QTemporaryDir temp;
    ScopedEnv tmpdir("TMPDIR", temp.path().toStdString().c_str());
    const QString user = temp.path() + QStringLiteral("/kestro-") + QString::number(::geteuid());
    const QString left = user + QStringLiteral("/x.Ab12Cd");
    ASSERT_TRUE(QDir().mkpath(left + QStringLiteral("/IMG/sub")));
    ASSERT_TRUE(QFile(left + QStringLiteral("/IMG/sub/IM1")).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QFile(left + QStringLiteral("/.owner")).open(QIODevice::WriteOnly));
    const QString unlocked = user + QStringLiteral("/x.Zz99Yy");
    ASSERT_TRUE(QDir().mkpath(unlocked));
    ASSERT_TRUE(QFile(unlocked + QStringLiteral("/keep")).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QDir().mkpath(temp.path() + QStringLiteral("/elsewhere")));
    ASSERT_TRUE(QFile(temp.path() + QStringLiteral("/elsewhere/.owner")).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QFile::link(temp.path() + QStringLiteral("/elsewhere"), user + QStringLiteral("/x.Link00")));
    const QString kestro = temp.path() + QStringLiteral("/Kestro");
    ASSERT_TRUE(QDir().mkpath(kestro + QStringLiteral("/notes")));
    ASSERT_TRUE(QFile(kestro + QStringLiteral("/notes/todo.txt")).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QFile(temp.path() + QStringLiteral("/Kestro.zip")).open(QIODevice::WriteOnly));

    ASSERT_TRUE(Start({QStringLiteral("/Agree"), kSampleDicomDir}));
    ASSERT_TRUE(PumpUntil([this] { return instance_->LeftoverSweepEnded(); }, kNoCeilingWaitMs));
    EXPECT_FALSE(QFileInfo::exists(left));
    EXPECT_TRUE(QFileInfo::exists(unlocked + QStringLiteral("/keep")));
    EXPECT_TRUE(QFileInfo::exists(temp.path() + QStringLiteral("/elsewhere/.owner")));
    EXPECT_TRUE(QFileInfo(user + QStringLiteral("/x.Link00")).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(kestro + QStringLiteral("/notes/todo.txt")));
    EXPECT_TRUE(QFileInfo::exists(temp.path() + QStringLiteral("/Kestro.zip")));
    ASSERT_TRUE(WaitForFirstCells());
}

// A leftover of 8,000 sub-folders is removed beside the start, never before it: the window
// shows its first image while the removal is held back, and the removal ends afterwards.
TEST_F(KestroStartTest, ALargeLeftoverNeverHoldsTheWindow)
{
    QTemporaryDir temp;
    ScopedEnv tmpdir("TMPDIR", temp.path().toStdString().c_str());
    const std::string left = temp.path().toStdString() + "/kestro-" + std::to_string(::geteuid()) + "/x.Big000";
    ASSERT_TRUE(std::filesystem::create_directories(left));
    ASSERT_TRUE(QFile(QString::fromStdString(left + "/.owner")).open(QIODevice::WriteOnly));
    for (int i = 0; i < 8000; ++i) {
        ASSERT_TRUE(std::filesystem::create_directory(left + "/D" + std::to_string(i)));
    }
    HeldSweep held;

    ASSERT_TRUE(Start({QStringLiteral("/Agree"), kSampleDicomDir}));
    ASSERT_TRUE(WaitForFirstCells());
    EXPECT_FALSE(FirstCellSeries().isEmpty());
    EXPECT_FALSE(instance_->LeftoverSweepEnded());
    EXPECT_TRUE(std::filesystem::exists(left + "/D7999"));
    held.Release();
    ASSERT_TRUE(PumpUntil([this] { return instance_->LeftoverSweepEnded(); }, kNoCeilingWaitMs));
    EXPECT_FALSE(std::filesystem::exists(left));
}

// A leftover of 20,000 files whose removal only begins as the run ends: the end lets it go on,
// so one start removes it whole, not a few files of it a start. Under the sanitizers on a busy
// machine a tenth of them overran the end's bound (load 70): a fortieth is sized to it. A
// machine too busy to give a worker its turn within the end's grace (load 33, a disk busy with
// builds) makes that end leave its workers, and the sweep with them: the leftover keeps its lock
// file, and the next start removes it whole.
TEST_F(KestroStartTest, AShortRunRemovesALeftoverWhole)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int kFiles = 500;
#else
    constexpr int kFiles = 20000;
#endif
    constexpr int kStarts = 4;
    QTemporaryDir temp;
    ScopedEnv tmpdir("TMPDIR", temp.path().toStdString().c_str());
    const std::string left = temp.path().toStdString() + "/kestro-" + std::to_string(::geteuid()) + "/x.Many00";
    ASSERT_TRUE(std::filesystem::create_directories(left + "/IMG"));
    ASSERT_TRUE(QFile(QString::fromStdString(left + "/.owner")).open(QIODevice::WriteOnly));
    for (int i = 0; i < kFiles; ++i) {
        const int fd = ::open((left + "/IMG/F" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    int starts = 0;
    bool whole = false;
    while (!whole && starts < kStarts) {
        ++starts;
        SCOPED_TRACE(starts);
        HeldSweep held;
        ASSERT_TRUE(Start({QStringLiteral("/Agree"), kSampleDicomDir}));
        ASSERT_TRUE(WaitForFirstCells());
        if (starts == 1) {
            EXPECT_TRUE(std::filesystem::exists(left + "/IMG/F" + std::to_string(kFiles - 1)));
        }
        held.Release();
        EXPECT_EQ(instance_->ExitInstance(0), 0);
        if (!instance_->ReadersLeft()) {
            EXPECT_TRUE(instance_->LeftoverSweepEnded());
            whole = !std::filesystem::exists(left);
            EXPECT_TRUE(whole);
        } else {
            // Left with the workers, never cut off without its lock. Nothing they reach goes
            // before they have ended, as in the process that ends without destroying it.
            EXPECT_TRUE(std::filesystem::exists(left + "/.owner"));
            ASSERT_TRUE(PumpUntil([] { return XEVDetachedRunning() == 0; }, kNoCeilingWaitMs));
        }
        instance_.reset();
    }
    EXPECT_TRUE(whole) << "each of " << starts << " ends left its workers";
    std::printf("[ figures  ] removed whole by start %d\n", starts);
}

TEST(KestroProgramTest, SecondCopyOnTheSameRuntimeFolderRestoresTheFirstAndEnds)
{
    TempXdgFolders xdg;
    ASSERT_TRUE(xdg.isValid());
    qApp->setQuitOnLastWindowClosed(false);
    {
        XEVKestroInstance first;
        ASSERT_TRUE(first.InitInstance({QStringLiteral("kestro"), QStringLiteral("/Agree"), kSampleDicomDir}));
        // What the first copy extracted stays while it runs, whatever the second does.
        QTemporaryDir temp;
        ScopedEnv tmpdir("TMPDIR", temp.path().toStdString().c_str());
        const QString member = QString::fromStdString(XEVGetExtractFolder()) + QStringLiteral("/IMG/IM1");
        ASSERT_TRUE(QDir().mkpath(QFileInfo(member).path()));
        ASSERT_TRUE(QFile(member).open(QIODevice::WriteOnly));
        first.MainFrame()->showMinimized();
        ASSERT_TRUE(PumpUntil([&] { return first.MainFrame()->isMinimized(); }));

        // posix_spawn rather than a fork: this process runs threads already.
        const QByteArray exe = QByteArrayLiteral(KV_VIEWER_EXE);
        const QByteArray agree = QByteArrayLiteral("/Agree");
        const QByteArray disc = kSampleDicomDir.toLocal8Bit();
        char* argv[] = {const_cast<char*>(exe.constData()), const_cast<char*>(agree.constData()),
                        const_cast<char*>(disc.constData()), nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, exe.constData(), nullptr, nullptr, argv, environ), 0);
        int status = -1;
        ASSERT_TRUE(PumpUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 20000));
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_TRUE(PumpUntil([&] { return !first.MainFrame()->isMinimized(); }));
        EXPECT_TRUE(QFileInfo::exists(member));
        first.ExitInstance(0);
    }
}

// A disc copied into a folder whose name holds a Latin-1 byte, named on the real program's
// command line: the program decodes its arguments without losing that byte, so the disc opens
// and its first images load (the screenshot is taken only then).
TEST(KestroProgramTest, ADiscPathWithBytesThatAreNotUtf8OpensFromTheCommandLine)
{
    TempXdgFolders xdg;
    ASSERT_TRUE(xdg.isValid());
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string folder = temp.path().toStdString() + "/disc\xE9";
    // Qt cannot name the folder to remove it: removed here, however the test ends.
    struct Cleanup {
        std::string folder;
        ~Cleanup() { std::filesystem::remove_all(folder); }
    } cleanup{folder};
    std::filesystem::copy(KV_SAMPLE_DIR, folder, std::filesystem::copy_options::recursive);
    const std::string disc = folder + "/DICOMDIR";
    const std::string shot = temp.path().toStdString() + "/shot.png";

    const std::string exe = KV_VIEWER_EXE;
    const std::string option = "--screenshot";
    const std::string agree = "/Agree";
    char* argv[] = {const_cast<char*>(exe.c_str()),  const_cast<char*>(option.c_str()),
                    const_cast<char*>(shot.c_str()), const_cast<char*>(agree.c_str()),
                    const_cast<char*>(disc.c_str()), nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, exe.c_str(), nullptr, nullptr, argv, environ), 0);
    int status = -1;
    // A disc that does not open ends only at the program's own 60 s limit.
    ASSERT_TRUE(PumpUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 90000));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(std::filesystem::is_regular_file(shot));
}

namespace {

// Runs the real program's --screenshot on path; its exit status, or -1 when it did not end
// within endMs (it is then killed). What it said on stderr goes to errors.
int RunScreenshot(const std::string& path, const std::string& shot, const std::string& errors, int endMs,
                  const std::string& exe = KV_VIEWER_EXE)
{
    const std::string option = "--screenshot";
    const std::string agree = "/Agree";
    char* argv[] = {const_cast<char*>(exe.c_str()),  const_cast<char*>(option.c_str()),
                    const_cast<char*>(shot.c_str()), const_cast<char*>(agree.c_str()),
                    const_cast<char*>(path.c_str()), nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, exe.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = -1;
    if (!PumpUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, endMs)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

QString ReadText(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kScreenshotEndMs = kNoCeilingWaitMs;
#else
// The program's own wait for images is 60 s; a failure ends the run long before.
constexpr int kScreenshotEndMs = 30000;
#endif

}   // namespace

// --screenshot on paths that do not open, a folder and a text file: the program ends as soon
// as the load has failed, says the load's message, takes no screenshot and ends with 1.
TEST(KestroProgramTest, AScreenshotOfAPathThatFailsEndsWithTheFailure)
{
    TempXdgFolders xdg;
    ASSERT_TRUE(xdg.isValid());
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string folder = temp.path().toStdString() + "/folder";
    std::filesystem::create_directory(folder);
    const std::string text = temp.path().toStdString() + "/notes.txt";
    {
        QFile file(QString::fromStdString(text));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not an image\n");
    }
    const std::string shot = temp.path().toStdString() + "/shot.png";
    const std::string errors = temp.path().toStdString() + "/errors.txt";
    for (const std::string& path : {folder, text}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(RunScreenshot(path, shot, errors, kScreenshotEndMs), 1);
        EXPECT_FALSE(std::filesystem::exists(shot));
        const QString message = ReadText(errors);
        EXPECT_TRUE(message.contains(GetMessageString(10027))) << message.toStdString();
    }
}

// --screenshot of what opens with nothing to show: a report alone, a disc whose one study holds
// only a report (listed where the settings ask for reports), and a DICOMDIR of no record, which
// fails as one of no patient does. Each ends as soon as that is known, with 1 and its reason,
// and takes no screenshot.
TEST(KestroProgramTest, AScreenshotWithNothingToShowEndsWithItsReason)
{
    TempXdgFolders xdg;
    ASSERT_TRUE(xdg.isValid());
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string out = temp.path().toStdString();
    ASSERT_EQ(std::system(("/usr/bin/python3 -W ignore " FRAME_TEST_DATA_DIR "/write_patientless.py " + out).c_str()),
              0);
    // The program reads its settings beside itself: a copy of it where they ask for reports.
    const std::string program = out + "/program";
    std::filesystem::create_directory(program);
    std::error_code linked;
    std::filesystem::create_hard_link(KV_VIEWER_EXE, program + "/kestro", linked);
    if (linked) {
        std::filesystem::copy_file(KV_VIEWER_EXE, program + "/kestro");
    }
    {
        QFile ini(QString::fromStdString(program + "/ZYLV.INI"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Options]\r\nModeSupportSR=1\r\n");
    }
    const QString nothing = QStringLiteral("nothing to show");
    const struct {
        std::string path;
        std::string exe;
        QString reason;
    } cases[] = {{out + "/reportonly/SR1", KV_VIEWER_EXE, nothing},
                 {out + "/reportonly/DICOMDIR", program + "/kestro", nothing},
                 {out + "/empty/DICOMDIR", KV_VIEWER_EXE, GetMessageString(10027)}};
    const std::string shot = out + "/shot.png";
    const std::string errors = out + "/errors.txt";
    for (const auto& [path, exe, reason] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(RunScreenshot(path, shot, errors, kScreenshotEndMs, exe), 1);
        EXPECT_FALSE(std::filesystem::exists(shot));
        const QString message = ReadText(errors);
        EXPECT_TRUE(message.contains(reason)) << message.toStdString();
    }
}

// --screenshot of what opens but whose only image in view cannot be shown, a disc whose image
// file is no DICOM file and a file alone whose JPEG stream breaks off: the picture of the
// cell saying so is saved, but the run ends with 1 and the cell's message, naming the file.
TEST(KestroProgramTest, AScreenshotWhoseOnlyImageFailsEndsWithItsMessage)
{
    TempXdgFolders xdg;
    ASSERT_TRUE(xdg.isValid());
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string out = temp.path().toStdString();
    const std::string script = "/usr/bin/python3 -W ignore " KESTRO_TEST_DATA_DIR;
    ASSERT_EQ(
        std::system(
            (script + "/../../../frame/tests/data/write_series_disc.py " + out + "/disc 1 1 --unreadable 1").c_str()),
        0);
    ASSERT_EQ(std::system((script + "/write_broken_image.py " + out + "/broken.dcm").c_str()), 0);
    const std::string errors = out + "/errors.txt";
    const std::pair<std::string, std::string> cases[] = {{out + "/disc/DICOMDIR", out + "/disc/S1/I1"},
                                                         {out + "/broken.dcm", out + "/broken.dcm"}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [path, image] = cases[i];
        SCOPED_TRACE(path);
        const std::string shot = out + "/shot" + std::to_string(i) + ".png";
        EXPECT_EQ(RunScreenshot(path, shot, errors, kScreenshotEndMs), 1);
        EXPECT_TRUE(std::filesystem::is_regular_file(shot));
        const QString message = ReadText(errors);
        EXPECT_TRUE(message.contains(GetMessageString(10008).section(QLatin1Char('\n'), 0, 0)))
            << message.toStdString();
        EXPECT_TRUE(message.contains(QString::fromStdString(image))) << message.toStdString();
    }
}
