// Corner texts of a frame: XEVOverlayViewInfo::Draw of the built-in CT layout on a 512x512
// image against plain QPainter::drawText of the same blocks, composed beforehand, with the
// same flags.

#include <benchmark/benchmark.h>

#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <vector>

#include "bench_qt.h"
#include "platform/platfolder.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevfont.h"
#include "viewer/xevoverlayviewinfo.h"

namespace {

constexpr int kSize = 512;

void EnsureApplication()
{
    if (BenchEnsureApplication<QGuiApplication>("viewer_cornertext_bench")) {
        QTemporaryDir folder;
        PlatSetModuleFolderForTest(folder.path().toStdString());
        GetCommonSettings().LoadOverlaySettings();
        GetCommonSettings().SetCornerTextFont();
        PlatSetModuleFolderForTest("");
    }
}

XEVOverlayViewInfo CtView()
{
    const XEVOverlaySettingInfo layout = GetCommonSettings().FindOverlaySettingInfo(QStringLiteral("CT"));
    XEVOverlayViewInfo view;
    for (int32_t position = 0; position < kXEVOverlayPositionCount; ++position) {
        for (const auto& [line, item] : layout.GetPositionMap(position)) {
            XEVOverlaySettingInfoItem copy = item;
            if (copy.kind == XEVOverlaySettingInfoItem::kTag) {
                copy.value = QStringLiteral("%1").arg(copy.element * 7 % 1000);
            }
            view.positions[position].push_back(copy);
        }
    }
    view.pageText = QStringLiteral("3 of 20");
    view.zoomText = QStringLiteral("1.50");
    view.windowCenterText = QStringLiteral("40");
    view.windowWidthText = QStringLiteral("400");
    view.orientationTopText = QStringLiteral("A");
    view.orientationBottomText = QStringLiteral("P");
    view.orientationLeftText = QStringLiteral("R");
    view.orientationRightText = QStringLiteral("L");
    return view;
}

void BM_OverlayViewInfoDraw(benchmark::State& state)
{
    EnsureApplication();
    const XEVOverlayViewInfo view = CtView();
    QImage image = BenchCanvas(kSize);
    QPainter painter(&image);
    for (auto _ : state) {
        view.Draw(painter, image.rect(), 0);
    }
}
BENCHMARK(BM_OverlayViewInfoDraw);

struct Block {
    QRect rect;
    int flags;
    QString text;
};

// The blocks as Draw places them, composed and measured once.
std::vector<Block> ComposedBlocks(const XEVOverlayViewInfo& view, const QImage& image, const QFont& font)
{
    const QFontMetrics metrics(font, &image);
    std::vector<Block> blocks;
    for (int32_t position = 0; position < kXEVOverlayPositionCount; ++position) {
        if (view.positions[position].empty()) {
            continue;
        }
        QString text = view.FormatPosition(view.positions[position], 0);
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        const int align = (position == 3 || position == 4) ? Qt::AlignHCenter
                          : position >= 5                  ? Qt::AlignRight
                                                           : Qt::AlignLeft;
        const int flags = Qt::TextWordWrap | Qt::AlignTop | Qt::TextDontClip | align;
        const int h = metrics.boundingRect(QRect(0, 0, kSize - 12, kSize), flags, text).height();
        const int dy = (position == 0 || position == 3 || position == 5) ? 6
                       : (position == 1 || position == 6)                ? (kSize - h) / 2
                                                                         : kSize - h - 6;
        blocks.push_back(Block{QRect(6, dy, kSize - 12, h), flags, text});
    }
    return blocks;
}

// The composed blocks, the font and a painter on a fresh canvas.
struct PlainFixture {
    PlainFixture()
    {
        EnsureApplication();
        font.CreateFromInfo(GetCommonSettings().Fonts[kXEVFontCornerText], &image);
        blocks = ComposedBlocks(CtView(), image, font.Font());
        painter.begin(&image);
        painter.setFont(font.Font());
    }

    QImage image = BenchCanvas(kSize);
    CXEVFont font;
    std::vector<Block> blocks;
    QPainter painter;
};

// One drawText per block: the least any corner-text drawing must do.
void BM_PlainDrawText(benchmark::State& state)
{
    PlainFixture f;
    f.painter.setPen(Qt::white);
    for (auto _ : state) {
        for (const Block& block : f.blocks) {
            f.painter.drawText(block.rect, block.flags, block.text);
        }
    }
}
BENCHMARK(BM_PlainDrawText);

// The same with the shadow: two drawText per block, as the drawing shows them.
void BM_PlainDrawTextWithShadow(benchmark::State& state)
{
    PlainFixture f;
    for (auto _ : state) {
        for (const Block& block : f.blocks) {
            f.painter.setPen(Qt::black);
            f.painter.drawText(block.rect, block.flags, block.text);
            f.painter.setPen(Qt::white);
            f.painter.drawText(block.rect.translated(-1, -1), block.flags, block.text);
        }
    }
}
BENCHMARK(BM_PlainDrawTextWithShadow);

}   // namespace
