// Painting an image cell: a full repaint of a 512x512 signed 16-bit frame (centre 40, width
// 400) into a 1024x1024 cell (render, bitmap to QImage, drawImage) against OpenCV's
// single-threaded cv::resize INTER_LINEAR and DCMTK's createScaledImage + getOutputData(8) of
// the same frame and window; a repaint without rendering against a plain widget drawing one
// 1024x1024 RGB32 image, and one drawing the same size in Grayscale8 (Qt converts it on every
// draw, on worker threads: process CPU time counts them); scrolling a decoded 500-slice
// series; cine stepped by an 18 ms precise timer for 3 s.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmimgle/dcmimage.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_dcmtk_ct.h"
#include "bench_qt.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "viewer/xevimageviewctrl.h"

namespace {

constexpr int kFrame = 512;
constexpr int kView = 1024;

// A CT-like frame: smooth ramps from -1000 to 1000 with some detail.
const std::vector<int16_t>& FramePixels()
{
    static const std::vector<int16_t> pixels = [] {
        std::vector<int16_t> p(size_t(kFrame) * kFrame);
        for (int y = 0; y < kFrame; ++y) {
            for (int x = 0; x < kFrame; ++x) {
                p[size_t(y) * kFrame + x] = int16_t((x * 7 + y * 13 + (x ^ y) % 61) % 2000 - 1000);
            }
        }
        return p;
    }();
    return pixels;
}

// The frame as a DICOM file that both our loader and DCMTK read.
const std::string& FramePath()
{
    static const std::string path = [] {
        const std::string file = QDir::tempPath().toStdString() + "/viewer_paint_bench_ct.dcm";
        const std::vector<int16_t>& p = FramePixels();
        bench_write_ct_file(file, "1.2.3.38.9000", kFrame, reinterpret_cast<const Uint16*>(p.data()),
                            static_cast<unsigned long>(p.size()));
        return file;
    }();
    return path;
}

std::unique_ptr<ImageInfo> LoadedImage()
{
    auto image = std::make_unique<ImageInfo>();
    image->SetFilePath(QString::fromStdString(FramePath()));
    int32_t frame = 0;
    image->LoadImage(frame, XEVWindowHandle(), 1);
    return image;
}

struct ShownCell {
    explicit ShownCell(const std::vector<ImageInfo*>& images) : view(nullptr, 9001)
    {
        BenchEnsureApplication<QApplication>("viewer_paint_bench");
        view.resize(kView, kView);
        view.cornerTextsShown = 0;
        view.SetImages(images);
        view.SetupFirstImage();
        view.show();
        QCoreApplication::processEvents();
    }
    XEVImageViewCtrl view;
};

void BM_CellFullPaint(benchmark::State& state)
{
    BenchEnsureApplication<QApplication>("viewer_paint_bench");
    std::unique_ptr<ImageInfo> image = LoadedImage();
    ShownCell cell({image.get()});
    cell.view.SetWindowAll(40, 400);
    for (auto _ : state) {
        // Forces the render, the bitmap hand-over and the draw.
        cell.view.invertPending = 1;
        cell.view.repaint();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CellFullPaint)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

void BM_CellPaintWithoutRender(benchmark::State& state)
{
    BenchEnsureApplication<QApplication>("viewer_paint_bench");
    std::unique_ptr<ImageInfo> image = LoadedImage();
    ShownCell cell({image.get()});
    cell.view.SetWindowAll(40, 400);
    cell.view.repaint();
    for (auto _ : state) {
        cell.view.repaint();
    }
}
BENCHMARK(BM_CellPaintWithoutRender)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// The parts of a full paint: the renderer alone, and the bitmap hand-over alone.
void BM_CellPartRender(benchmark::State& state)
{
    std::unique_ptr<ImageInfo> image = LoadedImage();
    XEVVEKHelper* helper = image->GetHelper();
    FrameImageInfo* frame = helper->GetFrame(0);
    frame->SetWindow(40, 400, 0);
    helper->SetViewSize(kView, kView);
    helper->scaleMode = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(helper->RenderToView(frame->Data(), frame->Size(), 0));
    }
}
BENCHMARK(BM_CellPartRender)->Unit(benchmark::kMillisecond);

void BM_CellPartBitmapToImage(benchmark::State& state)
{
    std::unique_ptr<ImageInfo> image = LoadedImage();
    XEVVEKHelper* helper = image->GetHelper();
    FrameImageInfo* frame = helper->GetFrame(0);
    helper->SetViewSize(kView, kView);
    helper->RenderToView(frame->Data(), frame->Size(), 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(XEVDibToImage(frame->displayBuffer.Data(), frame->displayBuffer.Size()));
    }
}
BENCHMARK(BM_CellPartBitmapToImage)->Unit(benchmark::kMillisecond);

// The floor of a cell's cached paint: one 1024x1024 RGB32 image drawn by a plain widget; the
// same in Grayscale8, which Qt converts at every draw.
class PlainImageWidget : public QWidget {
public:
    explicit PlainImageWidget(QImage::Format format) : image_(kView, kView, format)
    {
        image_.fill(Qt::darkGray);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.drawImage(0, 0, image_);
    }

private:
    QImage image_;
};

void BM_PlainWidgetRepaint(benchmark::State& state, QImage::Format format)
{
    BenchEnsureApplication<QApplication>("viewer_paint_bench");
    PlainImageWidget widget(format);
    widget.resize(kView, kView);
    widget.show();
    QCoreApplication::processEvents();
    for (auto _ : state) {
        widget.repaint();
    }
}
BENCHMARK_CAPTURE(BM_PlainWidgetRepaint, rgb32, QImage::Format_RGB32)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PlainWidgetRepaint, grey8, QImage::Format_Grayscale8)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

void BM_OpenCVResizeLinear(benchmark::State& state)
{
    cv::setNumThreads(1);
    const cv::Mat source(kFrame, kFrame, CV_16S, const_cast<int16_t*>(FramePixels().data()));
    cv::Mat target;
    for (auto _ : state) {
        cv::resize(source, target, cv::Size(kView, kView), 0, 0, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(target.data);
    }
}
BENCHMARK(BM_OpenCVResizeLinear)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

void BM_DcmtkScaledOutput(benchmark::State& state)
{
    DicomImage image(FramePath().c_str());
    if (image.getStatus() != EIS_Normal) {
        state.SkipWithError("DCMTK cannot read the frame");
        return;
    }
    image.setWindow(40, 400);
    for (auto _ : state) {
        std::unique_ptr<DicomImage> scaled(
            image.createScaledImage(static_cast<unsigned long>(kView), static_cast<unsigned long>(kView)));
        benchmark::DoNotOptimize(scaled->getOutputData(8));
    }
}
BENCHMARK(BM_DcmtkScaledOutput)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

struct Series {
    explicit Series(int count)
    {
        for (int i = 0; i < count; ++i) {
            images.push_back(LoadedImage());
            pointers.push_back(images.back().get());
        }
    }
    std::vector<std::unique_ptr<ImageInfo>> images;
    std::vector<ImageInfo*> pointers;
};

void BM_CellScrollSeries(benchmark::State& state)
{
    BenchEnsureApplication<QApplication>("viewer_paint_bench");
    Series series(500);
    ShownCell cell(series.pointers);
    for (auto _ : state) {
        cell.view.SetCurrentImage(XEVImageViewCtrl::kNext, 1);
        cell.view.repaint();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CellScrollSeries)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// Cine at the fastest interval: the steps that happen of those due, and how late the last is.
void BM_CellCine18ms(benchmark::State& state)
{
    BenchEnsureApplication<QApplication>("viewer_paint_bench");
    Series series(100);
    ShownCell cell(series.pointers);
    constexpr int kInterval = 18;
    constexpr int kRunMs = 3000;
    for (auto _ : state) {
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(kInterval);
        QElapsedTimer clock;
        int64_t steps = 0;
        int64_t lastAt = 0;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            cell.view.SetCurrentImage(XEVImageViewCtrl::kNext, 1);
            cell.view.repaint();
            ++steps;
            lastAt = clock.elapsed();
        });
        QEventLoop loop;
        QTimer::singleShot(kRunMs + kInterval / 2, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        clock.start();
        timer.start();
        loop.exec();
        timer.stop();
        const int64_t due = kRunMs / kInterval;
        state.counters["due"] = double(due);
        state.counters["done"] = double(steps);
        state.counters["done_ratio"] = double(steps) / double(due);
        state.counters["last_late_ms"] = double(lastAt - steps * kInterval);
    }
    state.counters["rendered_images_per_cell"] = cell.view.RenderedImage().isNull() ? 0 : 1;
}
BENCHMARK(BM_CellCine18ms)->Iterations(1)->Unit(benchmark::kMillisecond);

}   // namespace
