// The grid's own cost of a page step: one page forward of a decoded 500-image series in a
// 3x3 grid of 341x341 cells, painted, against nine lone cells of the same size stepping
// to and painting the same frames, in the same binary.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>

#include <memory>
#include <vector>

#include "bench_jobworker.h"
#include "bench_qt.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "viewer/xevimageformview.h"
#include "viewer/xevimageviewctrl.h"

namespace {

constexpr int kImages = 500;
constexpr int kCell = 341;

bool EnoughMemory()
{
    return true;
}

// 500 images of one fixture, each with its own decoded frame.
SeriesInfo* DecodedSeries()
{
    static SeriesInfo* series = [] {
        BenchEnsureApplication<QApplication>("viewer_grid_bench");
        XEVSetMemoryTest(&EnoughMemory);
        auto* s = new SeriesInfo;
        s->modality = QStringLiteral("CT");
        for (int i = 0; i < kImages; ++i) {
            auto* image = new ImageInfo;
            image->SetFilePath(QStringLiteral(VIEWGRID_BENCH_DATA "/quad16.dcm"));
            int32_t frame = 0;
            while (image->LoadImage(frame, XEVWindowHandle(), 1) != 0 && frame != -1) {
            }
            s->images.push_back(image);
        }
        return s;
    }();
    return series;
}

// A 3x3 grid of the series, its background decodes done.
void ShowDecodedSeries(CXEVImageFormView& view)
{
    view.resize(3 * kCell, 3 * kCell);
    view.show();
    view.ShowSeries(DecodedSeries());
    BenchWaitForJobWorker(GetLoadState().GetLoaderWindow());
    QApplication::processEvents();
}

void BM_GridPageStep(benchmark::State& state)
{
    (void)DecodedSeries();   // makes the application first
    CXEVImageFormView view(nullptr, nullptr);
    ShowDecodedSeries(view);
    QImage canvas = BenchCanvas(3 * kCell);
    int64_t pages = 0;
    for (auto _ : state) {
        if (view.PageStep(0, 1) == 0) {
            view.PageHomeEnd(0);
        }
        view.render(&canvas);
        benchmark::DoNotOptimize(canvas.constBits());
        ++pages;
    }
    state.counters["pages/s"] = benchmark::Counter(double(pages), benchmark::Counter::kIsRate);
    state.counters["offset"] = view.pageOffset;
}
BENCHMARK(BM_GridPageStep)->Unit(benchmark::kMillisecond);

void BM_NineCellPaints(benchmark::State& state)
{
    SeriesInfo* series = DecodedSeries();
    QWidget parent;
    parent.resize(3 * kCell, 3 * kCell);
    std::vector<std::unique_ptr<XEVImageViewCtrl>> cells;
    std::map<int32_t, ImageInfo*> images;
    for (int i = 0; i < kImages; ++i) {
        images[i] = series->images[i];
    }
    for (int k = 0; k < 9; ++k) {
        auto cell = std::make_unique<XEVImageViewCtrl>(&parent, 9501 + k);
        cell->setGeometry((k % 3) * kCell, (k / 3) * kCell, kCell, kCell);
        cell->tileMode = 1;
        cell->CopyImages(images);
        cell->GoToImage(k);
        cell->SetupFirstImage();
        cells.push_back(std::move(cell));
    }
    parent.show();
    QApplication::processEvents();
    // The same canvas as the grid's, each cell painted at its own place.
    QImage canvas = BenchCanvas(3 * kCell);
    int32_t offset = 0;
    int64_t pages = 0;
    for (auto _ : state) {
        offset = offset + 9 + 9 <= kImages ? offset + 9 : 0;
        for (int k = 0; k < 9; ++k) {
            cells[k]->GoToImage(offset + k);
            cells[k]->render(&canvas, QPoint((k % 3) * kCell, (k / 3) * kCell));
        }
        benchmark::DoNotOptimize(canvas.constBits());
        ++pages;
    }
    state.counters["pages/s"] = benchmark::Counter(double(pages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_NineCellPaints)->Unit(benchmark::kMillisecond);

}   // namespace

namespace {

// The page step's bookkeeping alone, without painting.
void BM_GridPageStepOnly(benchmark::State& state)
{
    (void)DecodedSeries();   // makes the application first
    CXEVImageFormView view(nullptr, nullptr);
    ShowDecodedSeries(view);
    for (auto _ : state) {
        if (view.PageStep(0, 1) == 0) {
            view.PageHomeEnd(0);
        }
    }
}
BENCHMARK(BM_GridPageStepOnly)->Unit(benchmark::kMillisecond);

}   // namespace
