// One mouse-move step of a window/level drag (new window, re-render, repaint) on a 1024x1024
// cell showing a 512x512 16-bit frame, against a full repaint of the same cell in the same
// run. The ratio move / full paint is the tool's own overhead.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QMouseEvent>

#include <dcmtk/dcmdata/dctk.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_dcmtk_ct.h"
#include "bench_qt.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "viewer/xevimageviewctrl.h"

namespace {

constexpr int kFrame = 512;
constexpr int kView = 1024;

// A signed 16-bit frame with ramps, written by DCMTK so the loader reads a real file.
const std::string& ToolFramePath()
{
    static const std::string path = [] {
        const std::string file = QDir::tempPath().toStdString() + "/viewer_tools_bench_ct.dcm";
        std::vector<Uint16> pixels(size_t(kFrame) * kFrame);
        for (int y = 0; y < kFrame; ++y) {
            for (int x = 0; x < kFrame; ++x) {
                pixels[size_t(y) * kFrame + x] = Uint16(int16_t((x * 5 + y * 11) % 2000 - 1000));
            }
        }
        bench_write_ct_file(file, "1.2.3.40.9000", kFrame, pixels.data(), static_cast<unsigned long>(pixels.size()));
        return file;
    }();
    return path;
}

struct ToolCell {
    ToolCell()
    {
        BenchEnsureApplication<QApplication>("viewer_tools_bench");
        image.SetFilePath(QString::fromStdString(ToolFramePath()));
        int32_t frame = 0;
        image.LoadImage(frame, XEVWindowHandle(), 1);
        view = std::make_unique<XEVImageViewCtrl>(nullptr, 9001);
        view->resize(kView, kView);
        view->cornerTextsShown = 0;
        view->SetImages({&image});
        view->SetupFirstImage();
        view->SetWindowAll(40, 400);
        view->show();
        QCoreApplication::processEvents();
        view->repaint();
    }
    ~ToolCell() { view.reset(); }
    void Send(QEvent::Type type, QPoint p, Qt::MouseButton button, Qt::MouseButtons buttons)
    {
        QMouseEvent e(type, QPointF(p), QPointF(view->mapToGlobal(p)), button, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(view.get(), &e);
    }
    ImageInfo image;
    std::unique_ptr<XEVImageViewCtrl> view;
};

void BM_CellFullPaint(benchmark::State& state)
{
    ToolCell cell;
    for (auto _ : state) {
        cell.view->invertPending = 1;
        cell.view->repaint();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CellFullPaint)->Unit(benchmark::kMillisecond);

void BM_WindowLevelDragStep(benchmark::State& state)
{
    ToolCell cell;
    GetLoadState().mouseTool = kXEVToolWindowLevel;
    const QPoint start(512, 512);
    cell.Send(QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    // Back and forth by 3 pixels, so every step changes the window and the offsets stay small.
    int step = 0;
    for (auto _ : state) {
        const QPoint p = start + QPoint((step++ & 1) != 0 ? 0 : 3, 0);
        cell.Send(QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton);
    }
    cell.Send(QEvent::MouseButtonRelease, start, Qt::LeftButton, Qt::NoButton);
    GetLoadState().mouseTool = 0;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WindowLevelDragStep)->Unit(benchmark::kMillisecond);

}   // namespace
