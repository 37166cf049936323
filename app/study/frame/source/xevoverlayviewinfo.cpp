#include "viewer/xevoverlayviewinfo.h"

#include <QCache>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>

#include <cmath>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

#include "shell/xevcommonsettings.h"
#include "shell/xevfont.h"

namespace {

void TrimHundredths(QString& text)
{
    if (text.endsWith(QLatin1String(".00"))) {
        text.chop(3);
    }
}

bool ShownWhileDragging(const XEVOverlaySettingInfoItem& item, int32_t dragTool)
{
    if (dragTool != XEVOverlayViewInfo::kDragWindowLevel && dragTool != XEVOverlayViewInfo::kDragZoom &&
        dragTool != XEVOverlayViewInfo::kDragPan) {
        return true;
    }
    if (item.kind != XEVOverlaySettingInfoItem::kMacro) {
        return false;
    }
    const QString& name = item.macroName;
    switch (dragTool) {
    case XEVOverlayViewInfo::kDragWindowLevel: return name == kXEVMacroWindowCenter || name == kXEVMacroWindowWidth;
    case XEVOverlayViewInfo::kDragZoom: return name == kXEVMacroZoom || name == kXEVMacroDFOV;
    default: return name == kXEVMacroDFOV;
    }
}

// One position's text laid out for a width: a paint draws it as laid out the last time its
// text, font and width were the same.
struct CornerLayout {
    CornerLayout(const QString& text, const QFont& font, const QPaintDevice* device) : layout(text, font, device) {}
    QTextLayout layout;
    int32_t height = 0;
};

// The layouts of recent paints, weighed by their characters: the views of a grid repaint
// their corners without laying them out again.
constexpr int32_t kLayoutCacheCharacters = 1 << 18;
using SharedLayout = std::shared_ptr<const CornerLayout>;
using LayoutCache = QCache<QString, SharedLayout>;

// Painting happens on the GUI thread only; the lock keeps any other caller safe.
std::mutex layoutLock;
LayoutCache* layoutCache = nullptr;

// The layouts go with the application, before the fonts they were made with.
void DropLayoutCache()
{
    const std::lock_guard<std::mutex> held(layoutLock);
    delete std::exchange(layoutCache, nullptr);
}

SharedLayout LayOutCorner(QString text, int32_t position, const QFont& font, QPaintDevice* device, int32_t wrapWidth,
                          int32_t height)
{
    // What a corner holds is cut to what a view can show, whatever its items hold.
    if (text.size() > XEVOverlayViewInfo::kCornerTextLength) {
        text.truncate(XEVOverlayViewInfo::kCornerTextLength);
        if (text.back().isHighSurrogate()) {
            text.chop(1);
        }
    }
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(u'\r', u'\n');
    text.replace(u'\n', QChar::LineSeparator);

    const bool centred = position == 3 || position == 4;
    const bool right = position >= 5;
    const int32_t dpi = device != nullptr ? device->logicalDpiY() : 0;
    const QString key = QString::number(wrapWidth) + u' ' + QString::number(height) + u' ' + QString::number(dpi) +
                        u' ' + QString::number(int(centred) + 2 * int(right)) + u' ' + font.key() + QChar(0) + text;
    const std::lock_guard<std::mutex> held(layoutLock);
    if (layoutCache == nullptr) {
        layoutCache = new LayoutCache(kLayoutCacheCharacters);
        qAddPostRoutine(DropLayoutCache);
    }
    if (const SharedLayout* found = layoutCache->object(key)) {
        return *found;
    }

    // Lines are set as QPainter::drawText sets them with Qt::TextWordWrap: whole-pixel tops,
    // the font's leading between lines; lines below the view's height are not laid out.
    auto entry = std::make_unique<CornerLayout>(text, font, device);
    QTextLayout& layout = entry->layout;
    const qreal leading = QFontMetricsF(font, device).leading();
    QTextOption option(centred ? Qt::AlignHCenter : right ? Qt::AlignRight : Qt::AlignLeft);
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    qreal h = -leading;
    // A line is asked for only while it would start inside the view: one created and left
    // unset would take the whole rest of the text.
    while (h < height || layout.lineCount() == 0) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) {
            break;
        }
        line.setLineWidth(wrapWidth);
        h = std::ceil(h + leading);
        line.setPosition(QPointF(0, h));
        h += line.height();
    }
    layout.endLayout();
    entry->height = static_cast<int32_t>(std::ceil(std::max<qreal>(h, 0)));
    SharedLayout made(std::move(entry));
    layoutCache->insert(key, new SharedLayout(made), std::max<qsizetype>(1, text.size()));
    return made;
}

}   // namespace

void XEVOverlayViewInfo::Clear()
{
    for (Items& items : positions) {
        items.clear();
    }
    for (QString* text : {&pageText, &zoomText, &windowCenterText, &windowWidthText, &dfovText, &orientationTopText,
                          &orientationBottomText, &orientationLeftText, &orientationRightText, &multiframeText,
                          &jpegLossyText, &mammoLateralityText}) {
        text->clear();
    }
}

const XEVOverlayViewInfo::Items& XEVOverlayViewInfo::GetLines(int32_t position) const
{
    static const Items& empty = *new Items;
    return position >= 0 && position < kXEVOverlayPositionCount ? positions[position] : empty;
}

const QString& XEVOverlayViewInfo::MacroValue(const QString& name) const
{
    static const QString& none = *new QString;
    const std::pair<const QString*, const QString*> values[] = {
        {&kXEVMacroPage, &pageText},
        {&kXEVMacroZoom, &zoomText},
        {&kXEVMacroWindowCenter, &windowCenterText},
        {&kXEVMacroWindowWidth, &windowWidthText},
        {&kXEVMacroDFOV, &dfovText},
        {&kXEVMacroOrientationTop, &orientationTopText},
        {&kXEVMacroOrientationBottom, &orientationBottomText},
        {&kXEVMacroOrientationLeft, &orientationLeftText},
        {&kXEVMacroOrientationRight, &orientationRightText},
        {&kXEVMacroMultiframe, &multiframeText},
        {&kXEVMacroJpegLossy, &jpegLossyText},
        {&kXEVMacroMammoLaterality, &mammoLateralityText},
    };
    for (const auto& [macro, text] : values) {
        if (*macro == name) {
            return *text;
        }
    }
    return none;
}

QString XEVOverlayViewInfo::FormatPosition(const Items& items, int32_t dragTool) const
{
    static const QString& none = *new QString;
    QString text;
    for (const XEVOverlaySettingInfoItem& item : items) {
        const bool show = ShownWhileDragging(item, dragTool);
        const QString& value = item.kind == XEVOverlaySettingInfoItem::kMacro ? MacroValue(item.macroName) : none;
        text += FormatOverlayItemText(show, item, value);
    }
    return text;
}

void XEVOverlayViewInfo::Draw(QPainter& painter, const QRect& client, int32_t dragTool) const
{
    CXEVFont font;
    font.CreateFromInfo(GetCommonSettings().Fonts[kXEVFontCornerText], painter.device());
    painter.save();
    painter.setFont(font.Font());
    painter.setBackgroundMode(Qt::TransparentMode);
    const int32_t width = client.width();
    const int32_t height = client.height();
    // Lines break between the margins, so that no line runs past the view's edge.
    const int32_t wrapWidth = std::max(1, width - 2 * kMargin);

    for (int32_t position = 0; position < kXEVOverlayPositionCount; ++position) {
        if (positions[position].empty()) {
            continue;
        }
        const SharedLayout layout = LayOutCorner(FormatPosition(positions[position], dragTool), position, font.Font(),
                                                 painter.device(), wrapWidth, height);
        const bool top = position == 0 || position == 3 || position == 5;
        const int32_t dy = top                                ? kMargin
                           : (position == 1 || position == 6) ? (height - layout->height) / 2
                                                              : height - layout->height - kMargin;
        const QPointF origin(client.left() + kMargin, client.top() + dy);
        painter.setPen(QColor(0, 0, 0));
        layout->layout.draw(&painter, origin);
        painter.setPen(QColor(255, 255, 255));
        layout->layout.draw(&painter, origin - QPointF(1, 1));
    }
    painter.restore();
}

void XEVOverlayViewInfo::TrimZoom()
{
    TrimHundredths(zoomText);
}

void XEVOverlayViewInfo::TrimWindowCenter()
{
    TrimHundredths(windowCenterText);
}

void XEVOverlayViewInfo::TrimWindowWidth()
{
    TrimHundredths(windowWidthText);
}

QString XEVOverlayViewInfo::FormatNumber(double value)
{
    return QString::asprintf("%.2f", value);
}
