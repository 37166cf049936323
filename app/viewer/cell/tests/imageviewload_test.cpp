// A cell's loader and its reports, stepping through images and frames, memory relief and
// the linking of cells.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "plat_temp_folder.h"
#include "shell/xev_uistring.h"
#include "study/xevloadstate.h"
#include "testsupport/viewtestsupport.h"

namespace {

class ImageViewLoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        XEVSetMemoryTest(&AlwaysEnoughMemory);
        XEVSetMessageBox(&box);
        parent.resize(200, 200);
        view = std::make_unique<XEVImageViewCtrl>(&parent, 9002);
        view->setGeometry(0, 0, 64, 64);
    }
    void TearDown() override
    {
        view.reset();
        XEVSetMessageBox(nullptr);
        XEVSetMemoryTest(nullptr);
        GetLoadState().perFrameEntries = 0;
    }

    bool LoaderEnded()
    {
        return PumpUntil([this] { return view->loaderRunning.load() == 0 && view->loadingUnderWay.load() == 0; });
    }

    // The cells hold the images' addresses: the sets outlive them.
    ImageSet& Make(const std::vector<const char*>& names, bool load)
    {
        return *sets.emplace_back(std::make_unique<ImageSet>(names, load));
    }
    ImageSet& Make(const char* name, int count, bool load) { return Make(std::vector<const char*>(count, name), load); }
    // The images in the cell, the first set up when they were decoded here.
    ImageSet& Show(const std::vector<const char*>& names, bool load)
    {
        ImageSet& set = Make(names, load);
        view->SetImages(set.Pointers());
        if (load) {
            view->SetupFirstImage();
        }
        return set;
    }
    ImageSet& Show(const char* name, int count, bool load) { return Show(std::vector<const char*>(count, name), load); }

    std::vector<std::unique_ptr<ImageSet>> sets;
    // Images of a test's own, gone after the cell that shows them.
    std::vector<std::unique_ptr<ImageInfo>> images;
    RecordingBox box;
    MessageLog parent;
    std::unique_ptr<XEVImageViewCtrl> view;
};

TEST_F(ImageViewLoad, OpenGateLoadsEveryImageInOrder)
{
    Show("small.dcm", 5, false);
    ASSERT_TRUE(view->StartLoader());
    ASSERT_TRUE(PumpUntil([&] { return parent.Count(WM_XEV_VIEW_LOAD_DONE) == 1; }));
    Pump();
    EXPECT_EQ(view->loadedCount, 5);
    ASSERT_EQ(parent.messages.size(), 2u);
    EXPECT_EQ(parent.messages[0].id, WM_XEV_FIRST_IMAGE);
    EXPECT_EQ(parent.messages[0].wParam, 9002u);
    EXPECT_EQ(parent.messages[1].id, WM_XEV_VIEW_LOAD_DONE);
    EXPECT_EQ(view->currentImage, 0);
    EXPECT_EQ(view->loadingUnderWay.load(), 0);
    EXPECT_TRUE(view->windowKnown);
    EXPECT_FALSE(view->NeedsLoading());
}

TEST_F(ImageViewLoad, ClosedGateHoldsTheLoaderUntilItOpens)
{
    ImageSet& set = Show("small.dcm", 3, false);
    view->PauseLoader();
    ASSERT_TRUE(view->StartLoader());
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    EXPECT_EQ(view->loadedCount, 0);
    EXPECT_EQ(set[0]->GetHelper(), nullptr);
    EXPECT_TRUE(view->NeedsLoading());
    view->ResumeLoader();
    ASSERT_TRUE(PumpUntil([&] { return parent.Count(WM_XEV_VIEW_LOAD_DONE) == 1; }));
    EXPECT_EQ(view->loadedCount, 3);
}

// The grid looks at a cell, sees its loader under way and hands it the turn; the run ends in
// between. The cell stays settled: its end, already posted, is the one the grid hears.
TEST_F(ImageViewLoad, AResumeThatComesAfterTheRunEndedLeavesTheCellSettled)
{
    Show("small.dcm", 2, false);
    ASSERT_TRUE(view->StartLoader());
    // Not pumped: the run has ended, its end posted and not yet taken.
    view->loader.JoinRun();
    ASSERT_EQ(view->loadingUnderWay.load(), 0);
    EXPECT_TRUE(view->ResumeLoader());
    EXPECT_EQ(view->loaderRunning.load(), 0);
    ASSERT_TRUE(PumpUntil([&] { return parent.Count(WM_XEV_VIEW_LOAD_DONE) == 1; }));
    EXPECT_EQ(view->loaderRunning.load(), 0);
    EXPECT_EQ(view->loader.Running(), 0u);
    EXPECT_EQ(view->loadedCount, 2);
}

TEST_F(ImageViewLoad, StoppingAPausedLoaderLeavesAtOnce)
{
    ImageSet& set = Show("small.dcm", 3, false);
    view->PauseLoader();
    ASSERT_TRUE(view->StartLoader());
    view->ClearView(false);
    EXPECT_EQ(view->loaderRunning.load(), 0);
    Pump();
    EXPECT_EQ(set[0]->GetHelper(), nullptr);
    EXPECT_EQ(parent.Count(WM_XEV_VIEW_LOAD_DONE), 0);
}

TEST_F(ImageViewLoad, ReportsForADestroyedCellAreDropped)
{
    Show("small.dcm", 4, false);
    ASSERT_TRUE(view->StartLoader());
    view.reset();
    Pump();
    EXPECT_EQ(parent.Count(WM_XEV_VIEW_LOAD_DONE), 0);
}

TEST_F(ImageViewLoad, BrokenFileIsPassedOverWithItsStatusShownOnce)
{
    ImageSet& set = Show({"small.dcm", "not_dicom.dcm", "small.dcm"}, false);
    ASSERT_TRUE(view->StartLoader());
    ASSERT_TRUE(PumpUntil([&] { return parent.Count(WM_XEV_VIEW_LOAD_DONE) == 1; }));
    ASSERT_TRUE(LoaderEnded());
    Pump();
    const auto failed = std::find_if(parent.messages.begin(), parent.messages.end(),
                                     [](const CellMessage& m) { return m.id == WM_XEV_VIEW_LOAD_FAILED; });
    ASSERT_NE(failed, parent.messages.end());
    EXPECT_EQ(parent.Count(WM_XEV_VIEW_LOAD_FAILED), 1);
    EXPECT_EQ(failed->wParam, 9002u);
    EXPECT_EQ(failed->lParam, set[1]->GetHelper()->statusCode);
    EXPECT_NE(failed->lParam, 0);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_TRUE(box.texts[0].contains(set[1]->filePath));
    // The file after it still loads, and the bar, short of its total, ends with the loader.
    ASSERT_NE(set[2]->GetHelper(), nullptr);
    EXPECT_TRUE(set[2]->GetHelper()->IsFrameLoaded(0));
    EXPECT_EQ(view->loadedCount, 2);
    EXPECT_EQ(view->progressShown.load(), 0);
    EXPECT_EQ(view->progressTotal.load(), 0);
}

// The first file missing: the cell shows the first that loads, can be made active, and its
// steps pass over the missing one without trying it again.
TEST_F(ImageViewLoad, FirstFileMissingShowsTheNextAndStepsPassItOver)
{
    ImageSet& set = Show({"small.dcm", "small.dcm", "small.dcm"}, false);
    set[0]->SetFilePath(CellFixture("no_such_file.dcm"));
    ASSERT_TRUE(view->StartLoader());
    ASSERT_TRUE(PumpUntil([&] { return parent.Count(WM_XEV_VIEW_LOAD_DONE) == 1; }));
    Pump();
    EXPECT_EQ(box.texts.size(), 1u);
    EXPECT_EQ(view->currentImage, 1);
    EXPECT_TRUE(view->HasFramePixels(view->currentFrame));
    EXPECT_TRUE(view->SetActive(true));
    const auto step = [&](int32_t direction, int32_t wrap) {
        view->SetCurrentImage(direction, wrap);
        return view->currentImage;
    };
    EXPECT_EQ(step(XEVImageViewCtrl::kNext, 0), 2);
    EXPECT_EQ(step(XEVImageViewCtrl::kPrevious, 0), 1);
    EXPECT_EQ(step(XEVImageViewCtrl::kPrevious, 0), 1);
    EXPECT_EQ(step(XEVImageViewCtrl::kLast, 0), 2);
    EXPECT_EQ(step(XEVImageViewCtrl::kFirst, 0), 1);
    EXPECT_EQ(step(XEVImageViewCtrl::kPrevious, 1), 2);
    EXPECT_EQ(step(XEVImageViewCtrl::kNext, 1), 1);
    Pump();
    EXPECT_EQ(box.texts.size(), 1u);
    EXPECT_EQ(parent.Count(WM_XEV_VIEW_LOAD_FAILED), 1);
}

TEST_F(ImageViewLoad, MemoryTextShowsOncePerCellOthersEveryTime)
{
    ImageSet& set = Show("small.dcm", 2, false);
    auto* memory = new XEVVEKHelper;
    memory->statusCode = XEVVEKHelper::kStatusOutOfMemory;
    memory->statusText = QStringLiteral("out of memory");
    set[0]->SetHelper(memory);
    auto* broken = new XEVVEKHelper;
    broken->statusCode = -2002;
    broken->statusText = QStringLiteral("unreadable");
    set[1]->SetHelper(broken);
    ImageSet& stranger = Make("small.dcm", 1, false);
    for (int i = 0; i < 2; ++i) {
        XEVSendMessage(view->Handle(), WM_XEV_IMAGE_LOADED, XEVWParam(set[0]), 0);
        XEVSendMessage(view->Handle(), WM_XEV_IMAGE_LOADED, XEVWParam(set[1]), 0);
        XEVSendMessage(view->Handle(), WM_XEV_IMAGE_LOADED, XEVWParam(stranger[0]), 0);
    }
    EXPECT_EQ(box.texts, (std::vector<QString>{"out of memory", "unreadable", "unreadable"}));
    Pump();
    EXPECT_EQ(parent.Count(WM_XEV_VIEW_LOAD_FAILED), 4);
}

TEST_F(ImageViewLoad, PaintLoadsAnImageSkippedForMemoryOnce)
{
    XEVLoadState& state = GetLoadState();
    state.memoryShortStudy = 1;
    state.memoryShort = 0;
    Show({"small.dcm", "not_dicom.dcm"}, false);
    view->GoToImage(0);
    Grab(*view);
    ASSERT_TRUE(PumpUntil([&] { return view->loadedCount == 1; }));
    EXPECT_TRUE(view->HasFramePixels(0));

    // A file that cannot be read is reported once, not at every paint.
    view->GoToImage(1);
    for (int i = 0; i < 3; ++i) {
        Grab(*view);
        Pump();
    }
    EXPECT_EQ(box.texts.size(), 1u);
    EXPECT_EQ(parent.Count(WM_XEV_VIEW_LOAD_FAILED), 1);

    // Still short of memory: nothing is asked for.
    ImageSet& later = Show({"small.dcm"}, false);
    view->GoToImage(0);
    state.memoryShort = 1;
    Grab(*view);
    Pump();
    EXPECT_EQ(later[0]->GetHelper(), nullptr);
    state.memoryShort = 0;
    state.memoryShortStudy = 0;
}

TEST_F(ImageViewLoad, StepsPastTheEndOnlyWithWrap)
{
    Show("small.dcm", 10, true);
    ASSERT_EQ(view->GoToImage(9), 0);
    view->SetCurrentImage(XEVImageViewCtrl::kNext, 0);
    Pump();
    EXPECT_EQ(view->currentImage, 9);
    EXPECT_EQ(parent.Count(WM_XEV_IMAGE_CHANGED), 0);
    view->SetCurrentImage(XEVImageViewCtrl::kNext, 1);
    Pump();
    EXPECT_EQ(view->currentImage, 0);
    EXPECT_EQ(parent.Count(WM_XEV_IMAGE_CHANGED), 1);
    view->SetCurrentImage(XEVImageViewCtrl::kPrevious, 0);
    EXPECT_EQ(view->currentImage, 0);
    view->SetCurrentImage(XEVImageViewCtrl::kLast, 0);
    EXPECT_EQ(view->currentImage, 9);

    // While loading, "last" is the last image surely decoded.
    view->loadingUnderWay = 1;
    view->loadedCount = 6;
    view->SetCurrentImage(XEVImageViewCtrl::kFirst, 0);
    view->SetCurrentImage(XEVImageViewCtrl::kLast, 0);
    EXPECT_EQ(view->currentImage, 4);
    view->loadingUnderWay = 0;
}

TEST_F(ImageViewLoad, StepToAnUndecodedImageLoadsItWithoutNotice)
{
    ImageSet& set = Make("small.dcm", 3, false);
    int32_t frame = 0;
    ASSERT_EQ(set[0]->LoadImage(frame, XEVWindowHandle(), 1), 1);
    view->SetImages(set.Pointers());
    view->SetupFirstImage();
    view->SetCurrentImage(XEVImageViewCtrl::kNext, 0);
    Pump();
    EXPECT_EQ(view->currentImage, 1);
    ASSERT_NE(set[1]->GetHelper(), nullptr);
    EXPECT_EQ(parent.Count(WM_XEV_IMAGE_CHANGED), 0);
    // While loading an undecoded target is not loaded; only a wrap goes to image 0.
    view->loadingUnderWay = 1;
    view->SetCurrentImage(XEVImageViewCtrl::kNext, 0);
    EXPECT_EQ(view->currentImage, 1);
    view->SetCurrentImage(XEVImageViewCtrl::kNext, 1);
    EXPECT_EQ(view->currentImage, 0);
    view->loadingUnderWay = 0;
}

TEST_F(ImageViewLoad, MultiFrameImageStepsItsFrames)
{
    ImageSet& set = Show({"multi4.dcm"}, true);
    XEVVEKHelper* helper = set[0]->GetHelper();
    ASSERT_EQ(helper->frameCount, 4);
    EXPECT_EQ(view->GetCineLength(), 4);
    for (int expected = 1; expected < 4; ++expected) {
        view->SetCurrentImage(XEVImageViewCtrl::kNext, 0);
        EXPECT_EQ(view->currentFrame, expected);
        EXPECT_EQ(helper->currentFrame, expected);
    }
    EXPECT_EQ(view->GetPosition(), 4);
    view->SetCurrentImage(XEVImageViewCtrl::kNext, 0);
    EXPECT_EQ(view->currentFrame, 3);
    view->SetCurrentImage(XEVImageViewCtrl::kNext, 1);
    EXPECT_EQ(view->currentFrame, 0);
    EXPECT_EQ(helper->currentFrame, 0);
    view->SetCurrentImage(XEVImageViewCtrl::kPrevious, 1);
    EXPECT_EQ(view->currentFrame, 3);
    view->SetCurrentImage(XEVImageViewCtrl::kFirst, 0);
    EXPECT_EQ(view->currentFrame, 0);
    // The shown frame follows: frames hold 0, 40, 80, 120.
    view->SetCurrentImage(XEVImageViewCtrl::kNext, 0);
    view->SetCurrentImage(XEVImageViewCtrl::kNext, 0);
    EXPECT_EQ(Gray(Grab(*view), 32, 32), 80);
}

// A nuclear-medicine file whose Detector Vector and VOI LUT Descriptor each hold 32,767 numbers
// as text, loaded by the cell's own loader and stepped through: every value of the file and of
// each frame is read before the image's lock is taken, so none of them keeps a paint of the
// cell waiting, and each frame still takes its position from the detector its entry names.
TEST_F(ImageViewLoad, HeaderValuesAreReadBeforeTheImageLockIsTaken)
{
    PlatTempFolder temp;
    const std::string command = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
                                "/../app/testsupport/python /usr/bin/python3 -W ignore " VIEWCTRL_TEST_DATA_DIR
                                "/write_long_lists.py " +
                                temp.Path();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ImageInfo& image = *images.emplace_back(std::make_unique<ImageInfo>());
    image.SetFilePath(QString::fromStdString(temp.Path() + "/LONGLISTS"));
    const uint64_t before = XEVValueParsesUnderImageLock();
    view->SetImages({&image});
    ASSERT_TRUE(view->StartLoader());
    ASSERT_TRUE(PumpUntil([&] { return parent.Count(WM_XEV_VIEW_LOAD_DONE) == 1; }));
    ASSERT_TRUE(LoaderEnded());
    XEVVEKHelper* helper = image.GetHelper();
    ASSERT_NE(helper, nullptr);
    ASSERT_EQ(helper->frameCount, 3);
    for (int k = 1; k < 3; ++k) {
        view->SetCurrentImage(XEVImageViewCtrl::kNext, 0);
        ASSERT_TRUE(PumpUntil([&] { return view->HasFramePixels(k); })) << k;
    }
    EXPECT_EQ(XEVValueParsesUnderImageLock(), before);
    std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
    for (int k = 0; k < 3; ++k) {
        const FrameImageInfo* frame = helper->GetFrame(k);
        ASSERT_NE(frame, nullptr) << k;
        EXPECT_EQ(frame->position[0], 10) << k;
        EXPECT_EQ(frame->position[2], 30) << k;
        EXPECT_EQ(frame->windowCenter, 40) << k;
        EXPECT_EQ(frame->windowWidth, 400) << k;
    }
}

TEST_F(ImageViewLoad, ReleaseFarImageFreesTheFarthestFirst)
{
    ImageSet& set = Show("small.dcm", 10, true);
    view->GoToImage(2);
    EXPECT_TRUE(view->ReleaseFarImage(false));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(set[i]->GetHelper() == nullptr, i == 7) << i;
    }
    EXPECT_TRUE(view->ReleaseFarImage(false));
    EXPECT_EQ(set[8]->GetHelper(), nullptr);
    for (int i = 0; i < 7; ++i) {
        view->ReleaseFarImage(false);
    }
    EXPECT_FALSE(view->ReleaseFarImage(false));
    EXPECT_NE(set[2]->GetHelper(), nullptr);

    Show("small.dcm", 4, true);
    view->selected = 1;
    EXPECT_FALSE(view->ReleaseFarImage(true));
    view->selected = 0;
    view->active = 1;
    EXPECT_FALSE(view->ReleaseFarImage(true));
    view->active = 0;
    EXPECT_TRUE(view->ReleaseFarImage(true));
}

TEST_F(ImageViewLoad, ReleaseFarImagePassesOverAnImageBeingDecoded)
{
    ImageSet& set = Show("small.dcm", 4, true);
    // Image 2 is the first choice; another thread holds its lock as a decode does.
    std::atomic<int> held{0};
    std::atomic<int> release{0};
    std::thread decoder([&] {
        std::lock_guard<PlatRecursiveLock> guard(set[2]->GetLock());
        held = 1;
        while (release.load() == 0) {
            std::this_thread::yield();
        }
    });
    while (held.load() == 0) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(view->ReleaseFarImage(false));
    release = 1;
    decoder.join();
    EXPECT_NE(set[2]->GetHelper(), nullptr);
    EXPECT_EQ(set[3]->GetHelper(), nullptr);
}

class ImageViewLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        mine.setGeometry(0, 0, 64, 64);
        theirs.setGeometry(0, 0, 64, 64);
    }
    // The decoder leaves spacing to the calibration step; these slices are 1 mm.
    static void OneMillimetre(const ImageSet& set)
    {
        for (const auto& image : set.images) {
            if (FrameImageInfo* frame = image->GetHelper()->GetFrame(0)) {
                if (frame->spacing1 == 0 || frame->spacing2 == 0) {
                    frame->spacing1 = frame->spacing2 = 1.0;
                }
            }
        }
    }
    // The decoded images in the cell, at that image, the slices 1 mm when asked.
    void Show(XEVImageViewCtrl& cell, const std::vector<const char*>& names, int32_t image, bool oneMillimetre = false)
    {
        const ImageSet& set = *sets.emplace_back(std::make_unique<ImageSet>(names, true));
        if (oneMillimetre) {
            OneMillimetre(set);
        }
        cell.SetImages(set.Pointers());
        cell.SetupFirstImage();
        cell.GoToImage(image);
    }

    const std::vector<const char*> axial = {"axial0.dcm", "axial1.dcm", "axial2.dcm", "axial3.dcm"};
    std::vector<std::unique_ptr<ImageSet>> sets;
    XEVImageViewCtrl mine{nullptr, 9001};
    XEVImageViewCtrl theirs{nullptr, 9002};
};

TEST_F(ImageViewLink, ParallelSlicesJumpToTheNearestOfTheSameFrameOfReference)
{
    Show(mine, axial, 0);
    Show(theirs, {"axial_other.dcm"}, 0);
    mine.SyncToView(&theirs);
    EXPECT_EQ(mine.currentImage, 0);
    EXPECT_EQ(mine.referenceLineShown, 0);

    Show(theirs, axial, 2);
    mine.SyncToView(&theirs);
    EXPECT_EQ(mine.currentImage, 2);
    EXPECT_EQ(mine.referenceLineShown, 0);
    // A cell does not link to itself.
    mine.GoToImage(1);
    mine.SyncToView(&mine);
    EXPECT_EQ(mine.currentImage, 1);
}

TEST_F(ImageViewLink, SagittalAgainstAxialDrawsTheCrossingColumn)
{
    Show(mine, axial, 1, true);
    Show(theirs, {"sagittal0.dcm", "sagittal1.dcm", "sagittal2.dcm"}, 1, true);
    mine.SyncToView(&theirs);
    EXPECT_EQ(mine.currentImage, 1);
    ASSERT_EQ(mine.referenceLineShown, 1);
    // Slices laid out from x = 0 at 1 mm: the current plane x = 40 mm is column 40, solid
    // white; the first and last (x = 20, 50) are dotted.
    const QImage image = Grab(mine);
    int solidRows = 0;
    int dotted = 0;
    for (int y = 16; y < 48; ++y) {
        solidRows += IsColour(image, 40, y, 255, 255, 255) || IsColour(image, 39, y, 255, 255, 255) ? 1 : 0;
        dotted += IsColour(image, 20, y, 255, 255, 255) ? 1 : 0;
        EXPECT_FALSE(IsColour(image, 30, y, 255, 255, 255)) << y;
    }
    EXPECT_GE(solidRows, 28);   // a label box may cover a row
    EXPECT_GT(dotted, 4);
    EXPECT_LT(dotted, 32);
}

}   // namespace

TEST_F(ImageViewLoad, CompressionsTheReaderDoesNotTakeSayTheImageIsUnreadable)
{
    // JPEG 2000 and JPEG-LS from GDCM: the tags read, the pixels cannot be, and the message
    // says so rather than that the tags were unreadable.
    for (const char* name : {"j2k.dcm", "jpegls.dcm"}) {
        box.texts.clear();
        ImageSet& set = Show({name}, false);
        ASSERT_TRUE(view->StartLoader());
        ASSERT_TRUE(PumpUntil([&] { return box.texts.size() == 1; })) << name;
        ASSERT_TRUE(LoaderEnded());
        EXPECT_EQ(box.texts[0],
                  GetMessageString(10008) + QStringLiteral("\n      [") + CellFixture(name) + QStringLiteral("]\n"))
            << name;
        EXPECT_EQ(set[0]->GetHelper()->statusCode, -2003) << name;
        EXPECT_EQ(view->loadedCount, 0) << name;
    }
}
