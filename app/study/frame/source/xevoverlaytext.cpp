#include "viewer/xevoverlaytext.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPalette>
#include <QScrollBar>
#include <QTextCursor>
#include <QWidget>

#include <algorithm>
#include <cmath>

#include "shell/xevcommonsettings.h"

namespace {

QRect MultiLineSize(const QFont& font, const QPaintDevice* device, const QString& text)
{
    const QFontMetrics metrics(font, device);
    return metrics.boundingRect(QRect(0, 0, 0, 0), Qt::TextExpandTabs, text);
}

void FillBlackFramed(QPainter& painter, const XEVRect& r)
{
    const XEVRect wide{r.left - 4, r.top - 4, r.right + 4, r.bottom + 4};
    painter.fillRect(QRect(wide.left, wide.top, wide.right - wide.left, wide.bottom - wide.top), QColor(0, 0, 0));
    CXEVOverlayCommon::DrawFrame(painter, wide);
}

int32_t CountLines(const QString& text)
{
    return text.isEmpty() ? 0 : int32_t(text.count(u'\r') + text.count(u'\n')) + 1;
}

}   // namespace

// ---- edit box

XEVOverlayEdit::XEVOverlayEdit(QWidget* parent, int32_t controlId) : QPlainTextEdit(parent), controlId_(controlId)
{
    setObjectName(QString::number(controlId));
    setProperty("controlId", controlId);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, Qt::black);
    colours.setColor(QPalette::Text, Qt::white);
    setPalette(colours);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTabChangesFocus(false);
    connect(this, &QPlainTextEdit::textChanged, this, [this] { Sanitize(); });
}

void XEVOverlayEdit::Sanitize()
{
    if (busy_) {
        return;
    }
    QString text = toPlainText();
    QString cleaned = text;
    cleaned.remove(u'\t');
    const bool tooLong = cleaned.size() > kMaxLength;
    if (tooLong || cleaned != text) {
        // Refuse what goes past the limit: the text before this change stays.
        const QString kept = tooLong ? accepted_ : cleaned;
        const int caret = std::min<int>(textCursor().position() - int(text.size() - kept.size()), int(kept.size()));
        busy_ = true;
        setPlainText(kept);
        QTextCursor cursor = textCursor();
        cursor.setPosition(std::max(0, caret));
        setTextCursor(cursor);
        busy_ = false;
        text = kept;
    }
    accepted_ = text;
    if (onChanged) {
        onChanged();
    }
}

// ---- shared by the text and the arrow label

XEVOverlayEditable::~XEVOverlayEditable()
{
    delete edit.data();
}

QString XEVOverlayEditable::CloseEdit(const QString& held)
{
    if (edit.isNull()) {
        return held;
    }
    QString text = edit->toPlainText();
    delete edit.data();
    return text;
}

void XEVOverlayEditable::StartBox(int32_t fontIndex, QPoint at, const QWidget* device)
{
    font.CreateFromInfo(GetCommonSettings().Fonts[fontIndex], device);
    const QRect m = MultiLineSize(font.Font(), device, QStringLiteral("M"));
    margin = m.width() / 2;
    minimumWidth = (margin + m.width()) * 2;
    lineHeight = m.height();
    editRect = {at.x(), at.y(), at.x() + minimumWidth, at.y() + lineHeight};
}

void XEVOverlayEditable::Open(QWidget* parent, int32_t controlId, const QString& text)
{
    delete edit.data();
    auto* box = new XEVOverlayEdit(parent, controlId);
    box->setFont(font.Font());
    box->document()->setDocumentMargin(0);
    box->setContentsMargins(margin, 0, margin, 0);
    box->setPlainText(text.left(XEVOverlayEdit::kMaxLength));
    box->setGeometry(editRect.left, editRect.top, editRect.right - editRect.left, editRect.bottom - editRect.top);
    box->moveCursor(QTextCursor::End);
    box->ensureCursorVisible();
    box->show();
    box->setFocus();
    edit = box;
}

int32_t XEVOverlayEditable::Fit(const XEVRect& R, int32_t x, int32_t y)
{
    if (edit.isNull()) {
        return x;
    }
    QString text = edit->toPlainText();
    if (text.contains(u'\t')) {
        QTextCursor cursor = edit->textCursor();
        const int anchor = cursor.anchor();
        const int position = cursor.position();
        text.remove(u'\t');
        edit->setPlainText(text);
        cursor = edit->textCursor();
        cursor.setPosition(std::min<int>(anchor, text.size()));
        cursor.setPosition(std::min<int>(position, text.size()), QTextCursor::KeepAnchor);
        edit->setTextCursor(cursor);
        edit->ensureCursorVisible();
    }
    const int32_t tw = MultiLineSize(font.Font(), edit, text).width();
    const int32_t oldWidth = editRect.right - editRect.left;
    int64_t width = std::max<int64_t>(int64_t(tw) + 4 * int64_t(margin), minimumWidth);
    int32_t lines = edit->document()->lineCount();
    if (std::abs(int64_t(text.size()) - int64_t(previousText.size())) > 2) {
        lines = CountLines(text);
    }
    previousText = text;
    const int64_t height = std::max<int64_t>(int64_t(lineHeight) * lines, lineHeight);
    width = std::min<int64_t>(width, int64_t(R.right) - R.left);
    int64_t nx = int64_t(x) + (int64_t(oldWidth) - width) / 2;
    nx = std::max<int64_t>(nx, R.left);
    if (nx + width >= R.right) {
        nx = int64_t(R.right) - width;
    }
    editRect = {CXEVOverlayCommon::SaturateCoordinate(double(nx)), y,
                CXEVOverlayCommon::SaturateCoordinate(double(nx + width)),
                CXEVOverlayCommon::SaturateCoordinate(double(y) + double(height))};
    edit->setGeometry(editRect.left, editRect.top, editRect.right - editRect.left, editRect.bottom - editRect.top);
    return editRect.left;
}

// ---- text

void CXEVOverlayText::BeginNew(QPoint pt, QWidget* parent)
{
    StartBox(kXEVFontText, pt, parent);
    boxPosition = pt;
    OpenEdit(parent);
    imagePosition = {-1, -1};
}

void CXEVOverlayText::OpenEdit(QWidget* parent)
{
    Open(parent, XEVOverlayEdit::kTextControlId, text);
}

void CXEVOverlayText::FitEdit(const XEVOverlayView& view)
{
    boxPosition.setX(Fit(ImageScreenRect(view), editRect.left, editRect.top));
}

bool CXEVOverlayText::BoxContains(QPoint pt) const
{
    return InBox(boxPosition, boxWidth, boxHeight, pt);
}

void CXEVOverlayText::Draw(const XEVOverlayView& view)
{
    if (view.painter == nullptr) {
        return;
    }
    QPainter& painter = *view.painter;
    if (IsEditing()) {
        FillBlackFramed(painter, editRect);
        return;
    }
    CXEVFont drawFont;
    drawFont.CreateFromInfo(GetCommonSettings().Fonts[kXEVFontText], painter.device());
    const QFont old = painter.font();
    painter.setFont(drawFont.Font());
    if (imagePosition.x() != -1) {
        boxPosition = ImageToScreen(imagePosition, view);
    }
    const QRect size = painter.boundingRect(QRect(0, 0, 0, 0), Qt::TextExpandTabs, text);
    boxWidth = size.width();
    boxHeight = size.height();
    DrawShadowText(painter, boxPosition, boxWidth, boxHeight, text);
    if (selected != 0) {
        const QPoint& p = boxPosition;
        for (const QPoint& h :
             {p, CXEVOverlayCommon::OffsetPoint(p, boxWidth, 0), CXEVOverlayCommon::OffsetPoint(p, 0, boxHeight),
              CXEVOverlayCommon::OffsetPoint(p, boxWidth, boxHeight)}) {
            DrawHandle(painter, h);
        }
    }
    painter.setFont(old);
}

int32_t CXEVOverlayText::Drag(QPoint pt, const XEVOverlayView& view)
{
    if (dragging == 0) {
        return 0;
    }
    const XEVRect full = ImageScreenRect(view);
    const XEVRect R{full.left + 2, full.top + 2, full.right - 2, full.bottom - 2};
    int64_t x = int64_t(boxPosition.x()) + pt.x() - dragAnchor.x();
    int64_t y = int64_t(boxPosition.y()) + pt.y() - dragAnchor.y();
    if (x + boxWidth >= R.right) {
        x = int64_t(R.right) - boxWidth;
    }
    if (x < R.left) {
        x = R.left;
    }
    if (y + boxHeight >= R.bottom) {
        y = int64_t(R.bottom) - boxHeight;
    }
    if (y < R.top) {
        y = R.top;
    }
    boxPosition = {SaturateCoordinate(double(x)), SaturateCoordinate(double(y))};
    imagePosition = {-1, -1};
    dragAnchor = ClampInside(pt, R);
    return 1;
}

void CXEVOverlayText::Commit(const XEVOverlayView& view)
{
    imagePosition = ScreenToImage(boxPosition, view);
    dragging = 0;
}

// ---- arrow

void CXEVOverlayArrow::WingTips(QPoint S, QPoint E, QPoint& w1, QPoint& w2)
{
    const double theta = std::atan2(double(E.y()) - S.y(), double(E.x()) - S.x());
    const double wing = 3.14159 / 6;
    w1 = CXEVOverlayCommon::OffsetPoint(S, int64_t(10 * std::cos(theta - wing)), int64_t(10 * std::sin(theta - wing)));
    w2 = CXEVOverlayCommon::OffsetPoint(S, int64_t(10 * std::cos(theta + wing)), int64_t(10 * std::sin(theta + wing)));
}

void CXEVOverlayArrow::DrawHead(QPainter& painter, QPoint S, QPoint E)
{
    QPoint w1;
    QPoint w2;
    WingTips(S, E, w1, w2);
    for (const auto& [rgb, width] : {std::pair<uint32_t, int32_t>{0x000000, 4}, {0xFFFFFF, 2}}) {
        DrawLine(painter, S, E, rgb, width);
        DrawLine(painter, S, w1, rgb, width);
        DrawLine(painter, S, w2, rgb, width);
    }
}

void CXEVOverlayArrow::DrawHandles(QPainter& painter, QPoint start, QPoint end, const XEVRect& label, bool hasLabel)
{
    DrawHandle(painter, start);
    DrawHandle(painter, end);
    if (hasLabel) {
        for (const QPoint& h : {QPoint(label.left, label.top), QPoint(label.right, label.top),
                                QPoint(label.left, label.bottom), QPoint(label.right, label.bottom)}) {
            DrawHandle(painter, h);
        }
    }
}

QPoint CXEVOverlayArrow::PlaceLabel(QPoint E, QPoint S, int32_t w, int32_t h, const XEVRect& R)
{
    const double phi = std::atan2(-(double(S.y()) - E.y()), double(S.x()) - E.x()) * 180 / 3.14159;
    const int64_t ex = E.x();
    const int64_t ey = E.y();
    int64_t x;
    int64_t y;
    if (phi < -165) {
        x = ex + 10, y = ey - h / 2;
    } else if (phi < -105) {
        x = ex, y = ey - h - 10;
    } else if (phi < -75) {
        x = ex - w / 2, y = ey - h - 10;
    } else if (phi < -15) {
        x = ex - w, y = ey - h - 10;
    } else if (phi < 15) {
        x = ex - w - 10, y = ey - h / 2;
    } else if (phi < 75) {
        x = ex - w, y = ey + 10;
    } else if (phi < 105) {
        x = ex - w / 2, y = ey + 10;
    } else if (phi < 165) {
        x = ex, y = ey + 10;
    } else {
        x = ex + 10, y = ey - h / 2;
    }
    const int64_t verticalAway = S.y() < E.y() ? ey + 10 : ey - h - 10;
    if (x + w >= R.right) {
        x = int64_t(R.right) - w - 10;
        y = verticalAway;
    }
    if (x <= R.left) {
        x = ex;
        y = verticalAway;
    }
    auto chooseX = [&]() {
        if (x + w > ex) {
            if (S.x() < E.x()) {
                x = ex + w + 10 > R.right ? ex + 10 : ex - w - 10;
            } else {
                x = int64_t(R.left) + w + 10 >= ex ? ex + 10 : ex - w - 10;
            }
        }
    };
    if (y + h >= R.bottom) {
        y = ey - h - 10;
        chooseX();
    }
    if (y <= R.top) {
        y = ey + 10;
        chooseX();
    }
    return {SaturateCoordinate(double(x)), SaturateCoordinate(double(y))};
}

void CXEVOverlayArrow::DragEnd(QPoint pt, const XEVOverlayView& view)
{
    const XEVRect R = ImageScreenRect(view);
    if (!R.Contains(pt)) {
        return;
    }
    end = pt;
    labelPosition = PlaceLabel(end, start, labelWidth, labelHeight, R);
    complete = 1;
}

void CXEVOverlayArrow::BeginLabel(QWidget* parent)
{
    StartBox(kXEVFontArrow, labelPosition, parent);
    OpenEdit(parent);
    imageLabelPosition = {-1, -1};
}

void CXEVOverlayArrow::OpenEdit(QWidget* parent)
{
    Open(parent, XEVOverlayEdit::kArrowControlId, label);
}

void CXEVOverlayArrow::FitEdit(const XEVOverlayView& view)
{
    labelPosition.setX(Fit(ImageScreenRect(view), editRect.left, editRect.top));
}

bool CXEVOverlayArrow::LabelContains(QPoint pt) const
{
    return InBox(labelPosition, labelWidth, labelHeight, pt);
}

int32_t CXEVOverlayArrow::HitTest(QPoint pt) const
{
    return HitSegment(start, end, pt) != 0 || (!label.isEmpty() && LabelContains(pt)) ? 1 : 0;
}

int32_t CXEVOverlayArrow::SelectAt(QPoint pt)
{
    dragAnchor = {-1, -1};
    selected = 0;
    dragMode = kModeWhole;
    if (HitTest(pt) == 0) {
        return 0;
    }
    selected = 1;
    dragAnchor = pt;
    imageStart = imageEnd = imageLabelPosition = {-1, -1};
    dragMode = NearPoint(start, pt) ? kModeStart : NearPoint(end, pt) ? kModeEnd : kModeWhole;
    return selected;
}

int32_t CXEVOverlayArrow::Drag(QPoint pt, const XEVOverlayView& view)
{
    if (dragAnchor.x() < 0 && dragAnchor.y() < 0) {
        return 0;
    }
    const XEVRect R = ImageScreenRect(view);
    const int64_t dx = int64_t(pt.x()) - dragAnchor.x();
    const int64_t dy = int64_t(pt.y()) - dragAnchor.y();
    if (dragMode == kModeStart || dragMode == kModeEnd) {
        MoveEnd(dragMode == kModeStart ? start : end, dx, dy, R);
    } else {
        MoveBoth(start, end, dx, dy, R);
    }
    labelPosition = PlaceLabel(end, start, labelWidth, labelHeight, R);
    dragAnchor = ClampInside(pt, R);
    return 1;
}

void CXEVOverlayArrow::Commit(const XEVOverlayView& view)
{
    label = CloseEdit(label);
    imageStart = ScreenToImage(start, view);
    imageEnd = ScreenToImage(end, view);
    imageLabelPosition = ScreenToImage(labelPosition, view);
    dragAnchor = {-1, -1};
    dragMode = kModeWhole;
}

void CXEVOverlayArrow::MeasureLabel(const QPaintDevice* device, int32_t& width, int32_t& height)
{
    const QRect r = MultiLineSize(font.IsNull() ? QFont() : font.Font(), device, label);
    width = r.width();
    height = r.height();
}

void CXEVOverlayArrow::Draw(const XEVOverlayView& view)
{
    if (view.painter == nullptr) {
        return;
    }
    QPainter& painter = *view.painter;
    if (IsEditing()) {
        FillBlackFramed(painter, editRect);
    }
    font.CreateFromInfo(GetCommonSettings().Fonts[kXEVFontArrow], painter.device());
    const QFont old = painter.font();
    painter.setFont(font.Font());
    if (imageStart.x() != -1) {
        start = ImageToScreen(imageStart, view);
        end = ImageToScreen(imageEnd, view);
        if (imageLabelPosition.x() != -1) {
            labelPosition = ImageToScreen(imageLabelPosition, view);
        }
    }
    const bool apart = std::abs(int64_t(start.x()) - end.x()) >= 2 || std::abs(int64_t(start.y()) - end.y()) >= 2;
    if (end.x() != -1 && complete == 1 && apart) {
        DrawHead(painter, start, end);
        if (!label.isEmpty() && !IsEditing()) {
            MeasureLabel(painter.device(), labelWidth, labelHeight);
            labelPosition = PlaceLabel(end, start, labelWidth, labelHeight, ImageScreenRect(view));
            DrawShadowText(painter, labelPosition, labelWidth, labelHeight, label);
        }
        if (selected != 0 && !IsEditing()) {
            const XEVRect box{labelPosition.x(), labelPosition.y(), labelPosition.x() + labelWidth,
                              labelPosition.y() + labelHeight};
            DrawHandles(painter, start, end, box, !label.isEmpty());
        }
    }
    painter.setFont(old);
}
