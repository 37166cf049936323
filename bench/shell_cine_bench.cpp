// Cine through the title pane at its fastest speed on a decoded 100-image series, against a
// bare precise timer stepping the same cell in the same binary. Counters: the ticks that
// landed in 3 s, their ratio to the bare timer's, and the mean rate the pane measured.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <memory>

#include "bench_jobworker.h"
#include "bench_qt.h"
#include "shell/mainframe.h"
#include "shell/xevslider.h"
#include "shell/xevtitleformview.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "viewer/xevimageformview.h"
#include "viewer/xevimageviewctrl.h"

namespace {

constexpr int kImages = 100;
constexpr int kRunMs = 3000;
double bareTicks = 0;

bool EnoughMemory()
{
    return true;
}

StudyInfo* DecodedStudy()
{
    static StudyInfo* study = [] {
        BenchEnsureApplication<QApplication>("shell_cine_bench");
        XEVSetMemoryTest(&EnoughMemory);
        auto* s = new StudyInfo;
        s->SetModalities(QStringLiteral("CT"));
        auto* series = new SeriesInfo;
        series->modality = QStringLiteral("CT");
        for (int i = 0; i < kImages; ++i) {
            auto* image = new ImageInfo;
            image->SetFilePath(QStringLiteral(SHELL_BENCH_DATA "/quad16.dcm"));
            int32_t frame = 0;
            while (image->LoadImage(frame, XEVWindowHandle(), 1) != 0 && frame != -1) {
            }
            series->images.push_back(image);
        }
        s->series.push_back(series);
        return s;
    }();
    return study;
}

// Counts the pane's cine ticks and samples the rate each one measured.
class TickCounter : public QObject {
public:
    explicit TickCounter(CXEVTitleFormView& pane) : pane_(pane) {}
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Timer) {
            if (ticks > 1) {
                rateSum += pane_.MeasuredRate();
                ++rates;
            }
            ++ticks;
        }
        return false;
    }
    int ticks = 0;
    double rateSum = 0;
    int rates = 0;

private:
    CXEVTitleFormView& pane_;
};

struct Frame {
    Frame() : study(DecodedStudy()), frame(*new CMainFrame)
    {
        frame.resize(1280, 1024);
        frame.OnCreateClient();
        frame.show();
        frame.SetUpPanes();
        CXEVImageFormView& view = *frame.GetImageFormView();
        view.ShowFitted(study);
        BenchWaitForJobWorker(GetLoadState().GetLoaderWindow());
        QApplication::processEvents();
        view.ActivateCell(kXEVFirstStudyCellId);
        view.SelectCell(kXEVFirstStudyCellId);
    }
    ~Frame() { delete &frame; }
    // The study first: it makes the application the frame needs.
    StudyInfo* study;
    CMainFrame& frame;
};

void RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void BM_BarePreciseTimer(benchmark::State& state)
{
    Frame f;
    XEVImageViewCtrl* cell = f.frame.GetImageFormView()->GetSelectedView();
    int ticks = 0;
    for (auto _ : state) {
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(18);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            cell->SetCurrentImage(XEVImageViewCtrl::kNext, 1);
            ++ticks;
        });
        timer.start();
        RunFor(kRunMs);
    }
    bareTicks = ticks;
    state.counters["ticks"] = ticks;
}

void BM_TitlePaneCine(benchmark::State& state)
{
    Frame f;
    CXEVTitleFormView& pane = *f.frame.GetTitlePane();
    pane.SpeedSlider().setValue(10);
    TickCounter counter(pane);
    pane.installEventFilter(&counter);
    for (auto _ : state) {
        pane.OnPlayPause();
        RunFor(kRunMs);
        pane.OnPlayPause();
    }
    state.counters["interval_ms"] = pane.PlayInterval();
    state.counters["ticks"] = counter.ticks;
    state.counters["ratio_to_bare"] = bareTicks > 0 ? counter.ticks / bareTicks : 0.0;
    state.counters["mean_fps"] = counter.rates > 0 ? counter.rateSum / counter.rates : 0.0;
}

}   // namespace

BENCHMARK(BM_BarePreciseTimer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TitlePaneCine)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
