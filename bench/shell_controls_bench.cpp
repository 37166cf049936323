// The skinned controls against plain Qt widgets in the same binary: painting a 54x54
// CXEVBitmapButton against a QPushButton with a 54x54 QIcon under the Fusion style, and
// building, measuring and painting the owner-drawn cell menu 227 once against a QMenu with
// the same 17 actions and icons.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>

#include "bench_qt.h"
#include "shell/xevbitmap.h"
#include "shell/xevbitmapbutton.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevrmenu.h"

namespace {

void EnsureApplication()
{
    if (BenchEnsureApplication<QApplication>("shell_controls_bench")) {
        QApplication::setStyle(QStringLiteral("Fusion"));
        GetCommonSettings().Load();
    }
}

QPixmap Flat(int size, QColor colour)
{
    QPixmap pixmap(size, size);
    pixmap.fill(colour);
    return pixmap;
}

void BM_BitmapButtonPaint(benchmark::State& state)
{
    EnsureApplication();
    CXEVBitmapButton button;
    button.SetBitmap(CXEVOwnerDrawButton::kNormal, Flat(54, Qt::darkCyan));
    button.SetBitmap(CXEVOwnerDrawButton::kSelected, Flat(54, Qt::darkGreen));
    button.SetBitmap(CXEVOwnerDrawButton::kFocus, Flat(54, Qt::darkBlue));
    button.SetBitmap(CXEVOwnerDrawButton::kDisabled, Flat(54, Qt::gray));
    button.SizeToContent();
    QImage canvas = BenchCanvas(54);
    for (auto _ : state) {
        button.render(&canvas);
        benchmark::DoNotOptimize(canvas.constBits());
    }
}
BENCHMARK(BM_BitmapButtonPaint);

void BM_PushButtonIconPaint(benchmark::State& state)
{
    EnsureApplication();
    QPushButton button;
    button.setIcon(QIcon(Flat(54, Qt::darkCyan)));
    button.setIconSize(QSize(54, 54));
    button.setFlat(true);
    button.resize(54, 54);
    QImage canvas = BenchCanvas(54);
    for (auto _ : state) {
        button.render(&canvas);
        benchmark::DoNotOptimize(canvas.constBits());
    }
}
BENCHMARK(BM_PushButtonIconPaint);

void BM_RMenuBuildMeasurePaint(benchmark::State& state)
{
    EnsureApplication();
    const XEVMenuLabels& labels = GetCommonSettings().MenuLabelsStopped;
    QImage canvas = BenchCanvas(400);
    for (auto _ : state) {
        CXEVRMenu menu;
        menu.LoadOwnerDraw(kXEVMenuImageReport, labels, kXEVImageMenuIcons, std::size(kXEVImageMenuIcons));
        CXEVRMenu* popup = menu.GetSubMenu(0);
        popup->resize(popup->sizeHint());
        popup->render(&canvas);
        menu.FreeItemData(nullptr);
        benchmark::DoNotOptimize(canvas.constBits());
    }
}
BENCHMARK(BM_RMenuBuildMeasurePaint);

void BM_QMenuBuildMeasurePaint(benchmark::State& state)
{
    EnsureApplication();
    const XEVMenuLabels& labels = GetCommonSettings().MenuLabelsStopped;
    const XEVMenuData* data = XEVFindMenuData(kXEVMenuImageReport);
    std::map<int32_t, QIcon> icons;
    for (const XEVMenuIcon& icon : kXEVImageMenuIcons) {
        icons[icon.command] = QIcon(QPixmap::fromImage(XEVLoadBuiltInImage(icon.bitmap)));
    }
    QImage canvas = BenchCanvas(400);
    for (auto _ : state) {
        QMenu menu;
        for (const XEVMenuItemData& item : data->items) {
            if (item.command == 0) {
                menu.addSeparator();
                continue;
            }
            const auto icon = icons.find(item.command);
            const auto label = labels.find(item.command);
            const QString text = label != labels.end() ? label->second : QString::fromUtf16(item.text);
            if (icon != icons.end()) {
                menu.addAction(icon->second, text);
            } else {
                menu.addAction(text);
            }
        }
        menu.resize(menu.sizeHint());
        menu.render(&canvas);
        benchmark::DoNotOptimize(canvas.constBits());
    }
}
BENCHMARK(BM_QMenuBuildMeasurePaint);

}   // namespace
