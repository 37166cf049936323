// A user's walk through each disc in a slow drive (one head, 100 ms a seek, then 6 MB/s),
// through the real frame, its study list, cells and loaders, each disc in a process of its own
// on the medium: File Open, a series double-clicked, PageDown, End, the wheel, cine for a
// second, another patient's study, File Open of another disc, and close.
//  - The GUI thread reads nothing of the medium along the whole walk.
//  - Every step's cells paint their images; cine starts and stops; the window closes.
//  - Optimised build only: no step stalls the window, the close ends soon, and the multi-frame
//    file's first frame shows while most of the file is still unread.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QKeyEvent>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "discopentestsupport.h"
#include "study/xevstagedread.h"
#include "testsupport/slowdisc.h"
#include "testsupport/viewtestsupport.h"

namespace {

// Hang ceilings of the optimised build, ten times and more a busy run's typical (a step's stall
// is about 0.3 s alone, most of it the first images' bounded wait; bench/slow_disc.sh gives the
// figures); the sanitizers have none. A stall's faults, the GUI thread reading the medium or
// waiting on a lock a reader holds across a read, are caught by the medium's counts.
constexpr qint64 kStallCeilingMs = 20000;
constexpr qint64 kCloseCeilingMs = 20000;
// A step may wait for the drive to read what it shows: far longer than it takes; no ceiling
// under the sanitizers.
constexpr int kStepTimeoutMs = kDiscTestSanitized ? kNoCeilingWaitMs : 120000;

// A disc of make_slow_disc.py to walk, and the other disc File Open takes after it.
struct WalkDisc {
    const char* name;
    const char* kind;
    std::vector<int> numbers;
    const char* otherKind;
    std::vector<int> otherNumbers;
};

std::ostream& operator<<(std::ostream& out, const WalkDisc& disc)
{
    return out << disc.name;
}

// Bytes the loaders asked of the multi-frame file.
struct FileBytes {
    std::mutex mutex;
    std::string path;
    int64_t bytes = 0;
};
FileBytes* watched = nullptr;

void CountFileBytes(const std::string& path, int64_t, int32_t bytes)
{
    std::lock_guard<std::mutex> lock(watched->mutex);
    watched->bytes += path == watched->path ? bytes : 0;
}

class SlowDiscWalkTest : public DiscOpenTest, public ::testing::WithParamInterface<WalkDisc> {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        // The user took the agreement: an opened disc shows its first study.
        frame->OnAgreementClosed(1);
        watched = &fileBytes_;
        XEVSetReadObserver(CountFileBytes);
        // The medium counts what is read under an image's lock and after a reader's stop.
        XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook()});
    }
    void TearDown() override
    {
        DiscOpenTest::TearDown();
        XEVSetMediumProbe({});
        XEVSetReadObserver(nullptr);
        watched = nullptr;
    }

    // Cells that show an image; true once each holds its frame's pixels and they paint: some
    // cell bright (a dark radiograph may have no bright pixel of its own).
    bool Painted()
    {
        std::vector<XEVImageViewCtrl*> shown;
        for (const auto& [id, cell] : Image().ActiveCells()) {
            if (cell->CurrentImage() == nullptr) {
                continue;
            }
            if (!cell->HasFramePixels(cell->currentFrame)) {
                return false;
            }
            shown.push_back(cell);
        }
        return std::any_of(shown.begin(), shown.end(), [](XEVImageViewCtrl* cell) { return BrightPixels(cell) > 0; });
    }

    // Ends a step: its cells painted, the GUI thread still clear of the medium; its stall
    // printed and kept.
    void EndStep(const char* step, GuiStallMeter& stall, const QElapsedTimer& clock)
    {
        EXPECT_TRUE(PumpUntil([this] { return Painted(); }, kStepTimeoutMs)) << step << ": cells not painted";
        const qint64 longest = stall.LongestMs();
        Say("%-8s longest stall %4lld ms, painted after %5lld ms", step, static_cast<long long>(longest),
            static_cast<long long>(clock.elapsed()));
        EXPECT_EQ(SlowDiscGuiReads(), 0) << step << ": the GUI thread read " << SlowDiscFirstGuiRead();
        EXPECT_EQ(SlowDiscLockedBytes(), 0) << step << ": read under an image's lock";
        if (kHangCeilings && !kDiscTestSanitized) {
            EXPECT_LT(longest, kStallCeilingMs) << step;
        }
    }

    XEVImageViewCtrl& ActiveCell()
    {
        XEVImageViewCtrl* cell = Image().GetFirstActiveView();
        return cell != nullptr ? *cell : *Image().ActiveCells().begin()->second;
    }
    void Press(int key)
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(&ActiveCell(), &press);
    }

    void DoubleClick(XEVStudyListCtrl& tree, QTreeWidgetItem& item)
    {
        if (item.parent() != nullptr) {
            item.parent()->setExpanded(true);
        }
        tree.scrollToItem(&item);
        Pump();
        const QRect rect = tree.visualItemRect(&item);
        ASSERT_FALSE(rect.isEmpty());
        Mouse(*tree.viewport(), QEvent::MouseButtonDblClick, QPoint(rect.left() + 4, rect.center().y()), Qt::LeftButton,
              Qt::LeftButton);
    }

    // The first series of the first patient's first study, double-clicked in its tree.
    void DoubleClickFirstSeries()
    {
        XEVStudyListCtrl* tree = List().Tree(kXEVFirstTreeId);
        ASSERT_NE(tree, nullptr);
        QTreeWidgetItem* study = tree->topLevelItem(0);
        ASSERT_NE(study, nullptr);
        ASSERT_GT(study->childCount(), 0);
        DoubleClick(*tree, *study->child(0));
    }

    // Another patient's bar, or another study in the patient's tree, double-clicked; false
    // when the list holds a single study.
    bool SwitchStudy()
    {
        const StudyInfo* shown = List().currentStudy;
        const bool switching = RequestStudySwitch(shown);
        EXPECT_TRUE(!switching || PumpUntil([&] { return List().currentStudy != shown; }, kStepTimeoutMs));
        return switching;
    }
    bool RequestStudySwitch(const StudyInfo* shown)
    {
        for (size_t p = 0; p < List().patients.size(); ++p) {
            const std::vector<StudyInfo*>& studies = List().patients[p]->studies;
            if (std::find(studies.begin(), studies.end(), shown) == studies.end()) {
                List().OnEntryDoubleClick(kXEVFirstBarId + int32_t(p));
                return true;
            }
        }
        if (List().patients.empty() || List().patients[0]->studies.size() < 2) {
            return false;
        }
        XEVStudyListCtrl* tree = List().Tree(kXEVFirstTreeId);
        QTreeWidgetItem* other =
            tree != nullptr ? tree->topLevelItem(shown == List().patients[0]->studies[0]) : nullptr;
        EXPECT_NE(other, nullptr);
        if (other != nullptr) {
            DoubleClick(*tree, *other);
        }
        return other != nullptr;
    }

    // The multi-frame file's first frame while the disc opens: how much of the file was asked
    // for by the time it showed.
    void ExpectFirstFrameEarly()
    {
        XEVImageViewCtrl* multi = nullptr;
        ASSERT_TRUE(PumpUntil(
            [&] {
                multi = nullptr;
                for (const auto& [id, cell] : Image().ActiveCells()) {
                    const auto images = cell->GetImages();
                    if (!images.empty() && images.begin()->second->filePath.toStdString() == fileBytes_.path) {
                        multi = cell;
                    }
                }
                return multi != nullptr && multi->HasFramePixels(0);
            },
            kStepTimeoutMs));
        std::lock_guard<std::mutex> lock(fileBytes_.mutex);
        const int64_t size = int64_t(std::filesystem::file_size(fileBytes_.path));
        Say("first frame shown with %lld of %lld bytes of the file read", static_cast<long long>(fileBytes_.bytes),
            static_cast<long long>(size));
        if (kHangCeilings && !kDiscTestSanitized) {
            EXPECT_LT(fileBytes_.bytes, size / 4);
        }
    }

    void Walk();

    // A figure of the walk, for the parent process to print: the child's output shows only
    // when it fails. The file is beside the medium, not on it.
    template <typename... Args>
    void Say(const char* format, Args... args)
    {
        char line[200];
        std::snprintf(line, sizeof line, format, args...);
        std::ofstream(SlowDiscRoot() + "/../figures", std::ios::app)
            << "[ measure  ] " << GetParam().name << " " << line << "\n";
    }

    FileBytes fileBytes_;
};

void SlowDiscWalkTest::Walk()
{
    const std::string root = SlowDiscRoot();
    const bool multiFrame = std::string(GetParam().kind) == "multiframe";
    fileBytes_.path = multiFrame ? root + "/disc/DICOM/S001/I0001" : std::string();
    {
        GuiStallMeter stall;
        QElapsedTimer clock;
        clock.start();
        Open(root + "/disc/DICOMDIR", kStepTimeoutMs);
        ASSERT_EQ(List().loaded, 1);
        if (multiFrame) {
            ExpectFirstFrameEarly();
        }
        EndStep("open", stall, clock);
    }
    const auto step = [this](const char* name, const std::function<void()>& action) {
        GuiStallMeter stall;
        QElapsedTimer clock;
        clock.start();
        action();
        EndStep(name, stall, clock);
    };
    step("series", [this] {
        DoubleClickFirstSeries();
        Pump();
        EXPECT_EQ(Image().activeMode, 1);
    });
    // A series longer than a page moves; a shorter one stays.
    const int32_t perPage = Image().seriesLayout.rows * Image().seriesLayout.cols;
    const bool pages = ActiveCell().GetCineLength() > perPage;
    step("PageDown", [&] {
        Press(Qt::Key_PageDown);
        EXPECT_EQ(Image().pageOffset, pages ? perPage : 0);
    });
    step("End", [&] {
        const int32_t before = Image().pageOffset;
        Press(Qt::Key_End);
        EXPECT_GE(Image().pageOffset, before);
    });
    step("wheel", [&] {
        const int32_t before = Image().pageOffset;
        for (int k = 0; k < 3; ++k) {
            Wheel(ActiveCell(), 120);
            Pump();
        }
        EXPECT_LE(Image().pageOffset, before);
        EXPECT_TRUE(!pages || Image().pageOffset < before);
    });
    step("cine", [this] {
        if (Image().GetSelectedView() == nullptr) {
            Image().SelectCell(Image().ActiveCells().begin()->first);
        }
        Title().OnPlayPause();
        EXPECT_TRUE(Title().IsCinePlaying());
        Wait(1000);
        Title().OnPlayPause();
        EXPECT_FALSE(Title().IsCinePlaying());
    });
    // The study list holds a second study only on some discs; the other disc is walked to one
    // then.
    bool switched = false;
    step("study", [&] { switched = SwitchStudy(); });
    step("reopen", [&] {
        Open(root + "/other/DICOMDIR", kStepTimeoutMs);
        ASSERT_EQ(List().loaded, 1);
    });
    if (!switched) {
        step("study2", [&] { EXPECT_TRUE(SwitchStudy()); });
    }
    // Closed while the loaders still read: the window goes, the threads end.
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(frame->close());
    const qint64 closing = clock.elapsed();
    EXPECT_FALSE(frame->isVisible());
    Say("close took %lld ms", static_cast<long long>(closing));
    EXPECT_EQ(SlowDiscGuiReads(), 0) << "the GUI thread read " << SlowDiscFirstGuiRead();
    EXPECT_EQ(SlowDiscLockedBytes(), 0) << "read under an image's lock";
    if (kHangCeilings && !kDiscTestSanitized) {
        EXPECT_LT(closing, kCloseCeilingMs);
    }
}

}   // namespace

TEST_P(SlowDiscWalkTest, EveryStepPaintsAndTheGuiThreadNeverReadsTheMedium)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/disc", GetParam().kind, GetParam().numbers));
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/other", GetParam().otherKind, GetParam().otherNumbers));
        RunTestOnSlowDisc({temp_ / "medium", 6e6, 100, 0});
        std::printf("%s", ReadWholeFile(temp_ / "figures").c_str());
        return;
    }
    Walk();
}

// The sample disc's several patients give the study switch; the others are walked to it.
INSTANTIATE_TEST_SUITE_P(Discs, SlowDiscWalkTest,
                         ::testing::Values(WalkDisc{"sample", "sample", {}, "ct", {2, 10, 256}},
                                           WalkDisc{"ct", "ct", {3, 30, 512}, "sample", {}},
                                           WalkDisc{"multiframe", "multiframe", {80, 512}, "sample", {}},
                                           WalkDisc{"mr", "mr", {20, 20, 256}, "sample", {}}),
                         [](const ::testing::TestParamInfo<WalkDisc>& info) { return std::string(info.param.name); });
