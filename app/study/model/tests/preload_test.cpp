#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "loadertestkit.h"
#include "plat_temp_folder.h"
#include "shell/xevcommonsettings.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "study/xevthread.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;

std::mutex readMutex;
std::vector<QString> readOrder;

void RecordRead(const QString& path)
{
    std::lock_guard<std::mutex> guard(readMutex);
    readOrder.push_back(path);
}

std::vector<QString> ReadOrder()
{
    std::lock_guard<std::mutex> guard(readMutex);
    return readOrder;
}

bool HundredMegabytes(PlatMemoryStatus& status)
{
    status.availablePhysical = uint64_t(100) * 1000 * 1000;
    status.availableVirtual = status.availablePhysical;
    return true;
}

bool NoFigures(PlatMemoryStatus&)
{
    return false;
}

// Patients of sparse files of given sizes: the view the pre-load walks.
class FakeView : public XEVPreloadView {
public:
    ~FakeView() override
    {
        StopPreloadOf(this);
        for (PatientInfo* p : patients)
            delete p;
    }
    const std::vector<PatientInfo*>& GetPreloadPatients() const override { return patients; }
    StudyInfo* GetCurrentStudy() const override { return current; }
    StudyInfo* GetLastSeriesStudy() const override { return lastSeries; }

    // Adds a study to the patient at index p (made when missing) with one series of files.
    StudyInfo* AddStudy(size_t p, const std::vector<std::pair<QString, int64_t>>& files)
    {
        while (patients.size() <= p)
            patients.push_back(new PatientInfo);
        auto* study = new StudyInfo;
        auto* series = new SeriesInfo;
        for (const auto& [name, size] : files) {
            auto* image = new ImageInfo;
            image->filePath = dir.filePath(name);
            if (size >= 0)
                MakeSparseFile(image->filePath, size);
            series->images.push_back(image);
        }
        study->series.push_back(series);
        patients[p]->studies.push_back(study);
        return study;
    }
    QString Path(const char* name) const { return dir.filePath(QString::fromUtf8(name)); }

    QTemporaryDir dir;
    std::vector<PatientInfo*> patients;
    StudyInfo* current = nullptr;
    StudyInfo* lastSeries = nullptr;
};

class PreloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        XEVSetMemoryStatusQuery(HundredMegabytes);
        XEVSetPreloadObserver(RecordRead);
        GetCommonSettings().CacheSizeRatio = 50;
        XEVLoadState& state = GetLoadState();
        state.painting = 0;
        state.skipWait = 0;
        state.lastPaintEndMs = XEVSteadyMilliseconds() - 10000;
        std::lock_guard<std::mutex> guard(readMutex);
        readOrder.clear();
    }
    void TearDown() override
    {
        GetLoadState().HaltPreload();
        GetLoadState().preloadThread.WaitAll();
        XEVSetMemoryStatusQuery(nullptr);
        XEVSetPreloadObserver(nullptr);
        GetCommonSettings().CacheSizeRatio = 50;
    }
    // Starts the pre-load and waits for it to end on its own.
    std::vector<QString> Run(FakeView& view)
    {
        XEVLoadState& state = GetLoadState();
        EXPECT_EQ(state.StartPreload(&view), 1);
        EXPECT_TRUE(Eventually([&] { return state.IsPreloadRunning() == 0; }));
        state.preloadThread.WaitAll();
        return ReadOrder();
    }
};

}   // namespace

TEST_F(PreloadTest, ReadsFollowingStudiesThenWrapsWithinTheBudget)
{
    FakeView view;
    view.AddStudy(0, {{"f", 4 * kMiB}, {"g", 4 * kMiB}});
    view.AddStudy(0, {{"h", 4 * kMiB}, {"big", 30 * kMiB}, {"after", 1}});
    view.current = view.AddStudy(1, {{"cur1", 1}, {"cur2", 1}});
    view.AddStudy(1, {{"a", 4 * kMiB}, {"b", 4 * kMiB}});
    view.AddStudy(2, {{"c", 4 * kMiB}, {"d", 4 * kMiB}});
    view.AddStudy(2, {{"e", 4 * kMiB}, {"e", 4 * kMiB}});   // one file listed twice

    // Budget 50 MB: a..h make 32 MiB; the 30 MiB file would pass it and ends the walk.
    const std::vector<QString> expected{view.Path("a"), view.Path("b"), view.Path("c"), view.Path("d"),
                                        view.Path("e"), view.Path("f"), view.Path("g"), view.Path("h")};
    const int64_t before = GetLoadState().preloadFilesRead.load();
    EXPECT_EQ(Run(view), expected);
    EXPECT_EQ(GetLoadState().preloadFilesRead.load() - before, 8);
    EXPECT_EQ(GetLoadState().preloadRunning.load(), 0);
}

TEST_F(PreloadTest, WalkStartsAndEndsWhereThePartSays)
{
    {
        // The only study is the current one: nothing to read.
        FakeView view;
        view.current = view.AddStudy(0, {{"only", 1}});
        EXPECT_TRUE(Run(view).empty());
    }
    {
        // The last study of the last patient: from the top, up to it.
        FakeView view;
        view.AddStudy(0, {{"p0", 1}});
        view.AddStudy(1, {{"p1a", 1}});
        view.current = view.AddStudy(1, {{"p1b", 1}});
        readOrder.clear();
        EXPECT_EQ(Run(view), (std::vector<QString>{view.Path("p0"), view.Path("p1a")}));
    }
    {
        // No current study: the last series' study; unknown to the list: every study once.
        FakeView view;
        view.AddStudy(0, {{"x", 1}});
        view.AddStudy(1, {{"y", 1}});
        StudyInfo stranger;
        view.lastSeries = &stranger;
        readOrder.clear();
        EXPECT_EQ(Run(view), (std::vector<QString>{view.Path("x"), view.Path("y")}));
        view.lastSeries = nullptr;
        readOrder.clear();
        EXPECT_TRUE(Run(view).empty());
    }
}

TEST_F(PreloadTest, RatioZeroReadsOnlyEmptyFilesAndMissingFilesAreSkipped)
{
    GetCommonSettings().CacheSizeRatio = 0;
    FakeView view;
    view.current = view.AddStudy(0, {{"cur", 1}});
    view.AddStudy(0, {{"missing", -1}, {"empty", 0}, {"one", 1}, {"empty2", 0}});
    EXPECT_EQ(Run(view), (std::vector<QString>{view.Path("empty")}));

    // Without memory figures nothing is read.
    XEVSetMemoryStatusQuery(NoFigures);
    GetCommonSettings().CacheSizeRatio = 50;
    readOrder.clear();
    EXPECT_TRUE(Run(view).empty());
}

TEST_F(PreloadTest, PaintingAndARecentPaintHoldTheReads)
{
    XEVLoadState& state = GetLoadState();
    FakeView view;
    view.current = view.AddStudy(0, {{"cur", 1}});
    view.AddStudy(0, {{"n1", 1}, {"n2", 1}});

    state.painting = 1;
    ASSERT_EQ(state.StartPreload(&view), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(ReadOrder().empty());
    state.HaltPreload();
    EXPECT_TRUE(ReadOrder().empty());
    EXPECT_EQ(state.IsPreloadRunning(), 0);

    // A paint that just ended holds the reads until cine asks to skip the wait.
    state.lastPaintEndMs = XEVSteadyMilliseconds();
    ASSERT_EQ(state.StartPreload(&view), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(ReadOrder().empty());
    state.skipWait = 1;
    ASSERT_TRUE(Eventually([&] { return ReadOrder().size() == 2; }));
    EXPECT_EQ(state.skipWait.load(), 0);
}

TEST_F(PreloadTest, PausedAtItsGateUntilResumedAndStoppedByItsView)
{
    XEVLoadState& state = GetLoadState();
    auto view = std::make_unique<FakeView>();
    view->current = view->AddStudy(0, {{"cur", 1}});
    view->AddStudy(0, {{"n1", 1}, {"n2", 1}});
    state.BeginPaint();   // no pre-load yet: nothing happens
    EXPECT_EQ(state.painting.load(), 0);

    // Held by a recent paint, then paused: once the paint is old the gate still holds it.
    state.lastPaintEndMs = XEVSteadyMilliseconds();
    ASSERT_EQ(state.StartPreload(view.get()), 1);
    state.PausePreload();
    state.lastPaintEndMs = XEVSteadyMilliseconds() - 10000;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_TRUE(ReadOrder().empty());
    EXPECT_EQ(state.IsPreloadRunning(), 1);
    state.ResumePreload();
    ASSERT_TRUE(Eventually([&] { return ReadOrder().size() == 2; }));

    // Destroying a view while its pre-load is held stops it; the thread then ends on its own.
    state.painting = 1;
    ASSERT_EQ(state.StartPreload(view.get()), 1);
    view.reset();
    EXPECT_EQ(state.IsPreloadRunning(), 0);
    EXPECT_EQ(state.painting.load(), 0);
    EXPECT_TRUE(Eventually([&] { return state.preloadThread.Running() == 0; }));
    EXPECT_EQ(ReadOrder().size(), 2u);
}

namespace {

// Holds the pre-load in its first file until let go.
HeldRead heldRead;
void HoldFirstRead(const QString& path)
{
    RecordRead(path);
    heldRead.Pass();
}
void LetTheHeldReadGo()
{
    heldRead.Joined();
}

}   // namespace

// A study switch while the pre-load is in a read: the stop is raised and nothing waits; the
// records it was started over go at once, a new pre-load over other records runs beside the
// old one, which ends after its block, reads no further file and leaves the new one's state.
TEST_F(PreloadTest, AStoppedRunInAReadIsNotWaitedForAndLeavesTheNextRunAlone)
{
    XEVLoadState& state = GetLoadState();
    auto first = std::make_unique<FakeView>();
    first->current = first->AddStudy(0, {{"cur", 1}});
    first->AddStudy(0, {{"old1", 1}, {"old2", 1}});
    const QString old1 = first->Path("old1");
    FakeView second;
    second.current = second.AddStudy(0, {{"cur", 1}});
    second.AddStudy(0, {{"new1", 1}, {"new2", 1}});

    heldRead.Arm();
    XEVSetPreloadObserver(HoldFirstRead);
    XEVSetJoinObserver(LetTheHeldReadGo);
    ASSERT_EQ(state.StartPreload(first.get()), 1);
    ASSERT_TRUE(Eventually([] { return heldRead.reads.load() == 1; }));
    // Its records go while its thread is in the read (under ASan: touched after, it fails).
    first.reset();
    state.painting = 1;
    ASSERT_EQ(state.StartPreload(&second), 1);
    EXPECT_EQ(heldRead.joins.load(), 0);
    EXPECT_EQ(state.preloadThread.Running(), 2u);

    // The old run ends after its read, with the new one held by a paint: still running.
    heldRead.holding = false;
    ASSERT_TRUE(Eventually([&] { return state.preloadThread.Running() == 1; }));
    EXPECT_EQ(state.IsPreloadRunning(), 1);
    state.painting = 0;
    ASSERT_TRUE(Eventually([&] { return state.IsPreloadRunning() == 0; }));
    XEVSetJoinObserver(nullptr);
    EXPECT_EQ(heldRead.joins.load(), 0);
    EXPECT_EQ(ReadOrder(), (std::vector<QString>{old1, second.Path("new1"), second.Path("new2")}));
}

TEST_F(PreloadTest, PipesAndDevicesOnTheDiscAreNeitherWaitedOnNorRead)
{
    FakeView view;
    view.AddStudy(0, {{"a", kMiB}, {"pipe", -1}, {"zero", -1}, {"b", kMiB}});
    view.current = view.AddStudy(1, {{"cur", 1}});
    PlatStuckPipe pipe(view.Path("pipe").toStdString());
    ASSERT_TRUE(pipe.Made());
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), view.Path("zero")));
    const int64_t before = GetLoadState().preloadFilesRead.load();
    EXPECT_EQ(Run(view), (std::vector<QString>{view.Path("a"), view.Path("b")}));
    EXPECT_EQ(GetLoadState().preloadFilesRead.load() - before, 2);
    EXPECT_FALSE(pipe.Freed());
}
