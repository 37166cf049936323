#pragma once

// What the image-area tests share: a recorder standing for the main frame, title pane and
// study list, studies made of fixture files, and a form view on screen.

#include <memory>
#include <vector>

#include "study/xevloadstate.h"
#include "testsupport/viewtestsupport.h"
#include "testsupport/workeridle.h"
#include "viewer/xevimageformview.h"

class HostRecorder : public XEVImageAreaHost {
public:
    XEVResult SendToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam lParam) override
    {
        sent.push_back({id, wParam, lParam});
        return 0;
    }
    void PostToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam lParam) override
    {
        posted.push_back({id, wParam, lParam});
    }
    bool CanSwitchSeriesDisplay() override { return false; }
    bool IsSwitchLocked() override { return false; }
    void RequestSeriesSwitch(XEVImageViewCtrl&) override {}
    bool HasTitlePane() override { return true; }
    void UpdateToolButtons(int32_t tool) override { toolButtons.push_back(tool); }
    void RefreshStudyList() override { ++studyListRefreshes; }

    int Posted(uint32_t id) const
    {
        int n = 0;
        for (const CellMessage& m : posted) {
            n += m.id == id ? 1 : 0;
        }
        return n;
    }
    // The last layout index the main frame was told, -1 for none.
    int LastLayout() const
    {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            if (it->id == WM_XEV_LAYOUT_CHANGED) {
                return static_cast<int>(it->wParam);
            }
        }
        return -1;
    }

    std::vector<CellMessage> sent;
    std::vector<CellMessage> posted;
    std::vector<int32_t> toolButtons;
    int studyListRefreshes = 0;
};

struct SeriesRecipe {
    const char* modality;
    int count;
    bool decoded;
    const char* file = "small.dcm";
};

inline SeriesInfo* AddSeries(StudyInfo& study, const SeriesRecipe& recipe)
{
    auto* series = new SeriesInfo;
    series->modality = QString::fromUtf8(recipe.modality);
    for (int i = 0; i < recipe.count; ++i) {
        auto* image = new ImageInfo;
        image->SetFilePath(CellFixture(recipe.file));
        if (recipe.decoded) {
            DecodeImage(image);
        }
        series->images.push_back(image);
    }
    study.series.push_back(series);
    return series;
}

// The main frame's tests name the box so.
using CountingBox = RecordingBox;

// Whether a cell's loader has ended and its end reached the form view.
inline bool CellLoadsFinished(const XEVImageViewCtrl& cell)
{
    return cell.loadingUnderWay.load() == 0 && cell.loaderRunning.load() == 0 && cell.loadDonePending.load() == 0;
}

// Runs the queue until the study's loaders have started, no cell of the view loads and the job
// worker has run what it was given: no loader holds an image's lock. False when that does not
// come within the time.
inline bool PumpUntilLoaded(const XEVImageWindow& grid, int timeoutMs = kPumpTimeoutMs)
{
    WorkerIdleWaiter worker;
    bool asked = false;
    return PumpUntil(
        [&] {
            bool loading = grid.StudyStartPending();
            for (const auto* cells : {&grid.studyCells, &grid.seriesCells}) {
                for (const auto& [id, cell] : *cells) {
                    loading = loading || !CellLoadsFinished(*cell);
                }
            }
            if (loading) {
                asked = false;
                return false;
            }
            // Asked once the cells are done: what they queued before reaches the loader window
            // first.
            if (!asked) {
                worker.Ask(GetLoadState().GetLoaderWindow());
                asked = true;
            }
            return worker.Answered();
        },
        timeoutMs);
}

class FormViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        XEVSetMemoryTest(&AlwaysEnoughMemory);
        XEVSetMessageBox(&box);
        GetLoadState().mouseTool = 0;
        GetLoadState().memoryShort = 0;
        view = std::make_unique<CXEVImageFormView>(nullptr, &host);
        view->resize(900, 600);
        view->show();
        Pump();
    }
    void TearDown() override
    {
        view.reset();
        // The test's records are its own: a job worker let go with the view reads them until
        // it ends.
        EXPECT_TRUE(PumpUntil([] { return XEVDetachedRunning() == 0; }));
        studies.clear();
        XEVSetMessageBox(nullptr);
        XEVSetMemoryTest(nullptr);
        GetLoadState().mouseTool = 0;
        GetLoadState().memoryShort = 0;
        GetLoadState().memoryShortStudy = 0;
    }

    StudyInfo& MakeStudy(const std::vector<SeriesRecipe>& recipes, const char* modalities = "CT")
    {
        auto& study = *studies.emplace_back(std::make_unique<StudyInfo>());
        study.SetModalities(QString::fromUtf8(modalities));
        for (const SeriesRecipe& recipe : recipes) {
            AddSeries(study, recipe);
        }
        return study;
    }

    // Shows the study fitted and runs the queue until its cells' loaders have their turns, which
    // come once the worker has read the first images on screen.
    void ShowStarted(StudyInfo& study)
    {
        view->ShowFitted(&study);
        EXPECT_TRUE(PumpUntil([this] { return !view->StudyStartPending(); }));
    }

    XEVImageViewCtrl& Cell(int32_t id)
    {
        XEVImageViewCtrl* cell = view->GetCell(id);
        EXPECT_NE(cell, nullptr) << id;
        return *cell;
    }

    // The cells hold the images' addresses: the studies outlive the view.
    std::vector<std::unique_ptr<StudyInfo>> studies;
    HostRecorder host;
    RecordingBox box;
    std::unique_ptr<CXEVImageFormView> view;
};
