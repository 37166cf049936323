// Annotations of a frame: XEVOverlayManager::DrawAll of 100 measurements, 50 texts and 50
// arrows on a 1024x1024 image against plain QPainter drawLine and drawText calls of the same
// primitives (same pens, fonts and texts), measured in the same binary.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <vector>

#include "bench_qt.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevfont.h"
#include "viewer/xevoverlaymanager.h"

namespace {

constexpr int kSize = 1024;

// Committed annotations spread over the image, as after the user drew them.
void Fill(XEVOverlayManager& manager)
{
    manager.imageWidth = kSize;
    manager.imageHeight = kSize;
    manager.spacing1 = 0.5;
    manager.spacing2 = 0.5;
    const XEVOverlayView view{nullptr, {0, 0}, {0, 0}, 1.0};
    for (int i = 0; i < 100; ++i) {
        const QPoint a(20 + (i % 10) * 100, 20 + (i / 10) * 100);
        manager.BeginMeasure(a);
        manager.DragMeasure(view, a + QPoint(60, 35));
        manager.EndMeasure(view, a + QPoint(60, 35));
    }
    for (int i = 0; i < 50; ++i) {
        auto text = std::make_unique<CXEVOverlayText>();
        text->CopyCalibration(manager);
        text->text = QStringLiteral("note %1").arg(i);
        text->imagePosition = QPoint(60 + (i % 10) * 100, 70 + (i / 10) * 200);
        manager.texts.emplace(++manager.textLastId, std::move(text));
    }
    for (int i = 0; i < 50; ++i) {
        const QPoint head(30 + (i % 10) * 100, 130 + (i / 10) * 200);
        manager.BeginArrow(head);
        manager.DragArrow(head + QPoint(50, 40), view);
        CXEVOverlayArrow* arrow = manager.CurrentArrow();
        arrow->label = QStringLiteral("A%1").arg(i);
        arrow->Commit(view);
    }
}

void BM_OverlayManagerDrawAll(benchmark::State& state)
{
    BenchEnsureApplication<QApplication>("viewer_overlay_bench");
    XEVOverlayManager manager;
    Fill(manager);
    QImage image = BenchCanvas(kSize);
    for (auto _ : state) {
        QPainter painter(&image);
        manager.DrawAll(painter, {0, 0}, {0, 0}, 1.0);
        painter.end();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_OverlayManagerDrawAll)->Unit(benchmark::kMicrosecond);

struct Line {
    QPoint a;
    QPoint b;
};
struct Text {
    QRect box;
    QString text;
};

// The same primitives, collected once from the annotations' own geometry.
void BM_PlainQPainterSamePrimitives(benchmark::State& state)
{
    BenchEnsureApplication<QApplication>("viewer_overlay_bench");
    XEVOverlayManager manager;
    Fill(manager);
    {
        QImage warm = BenchCanvas(kSize);
        QPainter painter(&warm);
        manager.DrawAll(painter, {0, 0}, {0, 0}, 1.0);
    }
    std::vector<Line> caliper;
    std::vector<Line> shafts;
    std::vector<Text> measureLabels;
    std::vector<Text> texts;
    std::vector<Text> labels;
    for (const auto& [id, m] : manager.measures) {
        const double theta = std::atan2(double(m->end.y() - m->start.y()), double(m->end.x() - m->start.x()));
        const QPoint tick(int(std::cos(-(theta + 1.570795)) * 10) / 2, int(std::sin(-(theta + 1.570795)) * 10) / 2);
        for (const Line& l : {Line{m->start, m->end},
                              Line{m->start + QPoint(tick.x(), -tick.y()), m->start - QPoint(tick.x(), -tick.y())},
                              Line{m->end + QPoint(tick.x(), -tick.y()), m->end - QPoint(tick.x(), -tick.y())}}) {
            caliper.push_back(l);
        }
        measureLabels.push_back({QRect(m->labelPosition, QSize(m->labelWidth, m->labelHeight)), m->labelText});
    }
    for (const auto& [id, t] : manager.texts) {
        texts.push_back({QRect(t->boxPosition, QSize(t->boxWidth, t->boxHeight)), t->text});
    }
    for (const auto& [id, a] : manager.arrows) {
        QPoint w1;
        QPoint w2;
        CXEVOverlayArrow::WingTips(a->start, a->end, w1, w2);
        for (const Line& l : {Line{a->start, a->end}, Line{a->start, w1}, Line{a->start, w2}}) {
            shafts.push_back(l);
        }
        labels.push_back({QRect(a->labelPosition, QSize(a->labelWidth, a->labelHeight)), a->label});
    }
    QImage image = BenchCanvas(kSize);
    const XEVCommonSettings& settings = GetCommonSettings();
    CXEVFont measureFont;
    CXEVFont textFont;
    CXEVFont arrowFont;
    measureFont.CreateFromInfo(settings.Fonts[kXEVFontMeasure], &image);
    textFont.CreateFromInfo(settings.Fonts[kXEVFontText], &image);
    arrowFont.CreateFromInfo(settings.Fonts[kXEVFontArrow], &image);
    auto pen = [](QColor c, int w) {
        QPen p(c, w);
        p.setCapStyle(w > 1 ? Qt::RoundCap : Qt::SquareCap);
        p.setJoinStyle(w > 1 ? Qt::RoundJoin : Qt::MiterJoin);
        return p;
    };
    const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextExpandTabs;
    auto shadow = [&](QPainter& painter, const Text& t) {
        painter.setPen(Qt::black);
        painter.drawText(t.box.translated(1, 1), flags, t.text);
        painter.setPen(Qt::white);
        painter.drawText(t.box, flags, t.text);
    };
    for (auto _ : state) {
        QPainter painter(&image);
        painter.setFont(measureFont.Font());
        for (size_t i = 0; i < measureLabels.size(); ++i) {
            painter.setPen(pen(Qt::black, 2));
            for (int k = 0; k < 3; ++k)
                painter.drawLine(caliper[i * 3 + k].a, caliper[i * 3 + k].b);
            painter.setPen(pen(Qt::white, 1));
            for (int k = 0; k < 3; ++k)
                painter.drawLine(caliper[i * 3 + k].a, caliper[i * 3 + k].b);
            shadow(painter, measureLabels[i]);
        }
        painter.setFont(textFont.Font());
        for (const Text& t : texts)
            shadow(painter, t);
        painter.setFont(arrowFont.Font());
        for (size_t i = 0; i < labels.size(); ++i) {
            painter.setPen(pen(Qt::black, 4));
            for (int k = 0; k < 3; ++k)
                painter.drawLine(shafts[i * 3 + k].a, shafts[i * 3 + k].b);
            painter.setPen(pen(Qt::white, 2));
            for (int k = 0; k < 3; ++k)
                painter.drawLine(shafts[i * 3 + k].a, shafts[i * 3 + k].b);
            shadow(painter, labels[i]);
        }
        painter.end();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PlainQPainterSamePrimitives)->Unit(benchmark::kMicrosecond);

}   // namespace
