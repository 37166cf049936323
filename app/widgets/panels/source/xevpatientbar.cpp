#include "shell/xevpatientbar.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

#include "shell/xev_uistring.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevfont.h"
#include "study/xevstudymodel.h"
#include "xevpaintprotocol.h"

namespace {

constexpr uint32_t kBarDateText = 20311;
constexpr uint32_t kViewDateText = 20301;
constexpr uint32_t kAgeText = 20302;
constexpr int32_t kBarBaseWidth = 322;
constexpr int32_t kLargeFontDpi = 120;

constexpr int32_t kFontViewFirst = 1;
constexpr int32_t kFontViewSecond = 2;
constexpr int32_t kFontBarSelected = 3;
constexpr int32_t kFontBarNormal = 4;

constexpr int kTextFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine;

void SetFont(QPainter& painter, int32_t index, const QPaintDevice* device)
{
    CXEVFont font;
    font.CreateFromInfo(GetCommonSettings().Fonts[index], device);
    painter.setFont(font.Font());
}

// One line in the rectangle, cut with an ellipsis where it does not fit.
void DrawEllipsis(QPainter& painter, const QRect& rect, const QString& text, XEVElidedLine& line)
{
    if (text.isEmpty() || rect.width() <= 0) {
        return;
    }
    painter.drawText(rect, kTextFlags, line.Elide(text, painter.fontMetrics(), painter.font(), rect.width()));
}

uint16_t BarSexIcon(const QString& sex, bool selected)
{
    if (sex == QLatin1String("M")) {
        return selected ? 215 : 214;
    }
    if (sex == QLatin1String("F")) {
        return selected ? 213 : 212;
    }
    return selected ? 211 : 216;
}

uint16_t ViewSexIcon(const QString& sex)
{
    if (sex == QLatin1String("M")) {
        return 206;
    }
    return sex == QLatin1String("F") ? 207 : 208;
}

}   // namespace

XEVPatientFields XEVPatientFields::From(const PatientInfo& patient)
{
    XEVPatientFields fields;
    fields.nameIdeographic = patient.nameIdeographic;
    fields.nameAlphabetic = patient.nameAlphabetic;
    fields.birthDate = patient.birthDate;
    fields.sex = patient.sex;
    fields.ageText = patient.ageText;
    fields.age = patient.age;
    fields.patientId = patient.patientId;
    return fields;
}

const QString& XEVElidedLine::Elide(const QString& text, const QFontMetrics& metrics, const QFont& font, int32_t width)
{
    const QString key = font.key();
    const qreal dpi = metrics.fontDpi();
    if (width != width_ || dpi != dpi_ || key != fontKey_ || text != text_) {
        text_ = text;
        fontKey_ = key;
        width_ = width;
        dpi_ = dpi;
        // No line shows this many characters: the rest is never shaped.
        QString shown = text.left(kTextLength);
        if (shown.size() < text.size() && shown.back().isHighSurrogate()) {
            shown.chop(1);
        }
        const bool cut = shown.size() < text.size();
        shown_ = metrics.elidedText(cut ? shown + QChar(0x2026) : shown, Qt::ElideRight, width);
        ++made_;
    }
    return shown_;
}

QString XEVAgeText(const XEVPatientFields& patient)
{
    if (patient.ageText.isEmpty()) {
        return QString();
    }
    return FormatUIString(GetUIString(kAgeText), {patient.age});
}

XEVPatientBarCtrl::XEVPatientBarCtrl(QWidget* parent) : QWidget(parent), normalSkin_(210)
{
}

XEVPatientBarCtrl::XEVPatientBarCtrl(LastEntry, QWidget* parent) : QWidget(parent), normalSkin_(252)
{
}

void XEVPatientBarCtrl::SetLastEntry(bool last)
{
    normalSkin_ = CXEVBitmap(last ? 252 : 210);
}

void XEVPatientBarCtrl::paintEvent(QPaintEvent*)
{
    XEVPaintProtocol protocol;
    QPainter painter(this);
    const int32_t w = width();
    const int32_t h = height();
    const bool isSelected = selected != 0;
    (isSelected ? selectedSkin_ : normalSkin_).StretchDraw(painter, 0, 0, w, h);

    SetFont(painter, isSelected ? kFontBarSelected : kFontBarNormal, this);
    painter.setPen(isSelected ? Qt::white : Qt::black);
    const int32_t x = w > kBarBaseWidth ? w - kBarBaseWidth : 0;
    int32_t y = 6;
    if (GetCommonSettings().ScreenDpi == kLargeFontDpi) {
        y = (h - painter.fontMetrics().height()) / 2;
    }
    DrawEllipsis(painter, QRect(QPoint(10, y), QPoint(x + 144 - 1, h - 1)), patient_.nameIdeographic, lines_[0]);
    DrawEllipsis(painter, QRect(QPoint(x + 144, y), QPoint(x + 286 - 1, h - 1)),
                 XEVDateText(patient_.birthDate, kBarDateText), lines_[1]);
    CXEVBitmap(BarSexIcon(patient_.sex, isSelected)).Draw(painter, x + 286, 4);
}

void XEVPatientBarCtrl::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        OnLButtonDblClk();
    }
    QWidget::mouseDoubleClickEvent(event);
}

void XEVPatientBarCtrl::OnLButtonDblClk()
{
    if (switchRequest && switchRequest(controlId - 10001)) {
        return;
    }
    if (doubleClickNotify) {
        doubleClickNotify(controlId);
    }
}

CXEVPatientView::CXEVPatientView(QWidget* parent) : QWidget(parent)
{
}

void CXEVPatientView::SetPatientInfo(const PatientInfo& patient)
{
    SetPatient(XEVPatientFields::From(patient));
}

void CXEVPatientView::SetPatient(const XEVPatientFields& patient)
{
    patient_ = patient;
    filled_ = 1;
    repaint();
}

void CXEVPatientView::Clear()
{
    patient_ = XEVPatientFields();
    filled_ = 0;
    repaint();
}

void CXEVPatientView::paintEvent(QPaintEvent*)
{
    XEVPaintProtocol protocol;
    QPainter painter(this);
    painter.setClipRect(rect());
    background_.Draw(painter, 0, 0);
    if (filled_ == 0) {
        return;
    }
    const XEVCommonSettings& settings = GetCommonSettings();
    const int32_t w = width();
    const int32_t h = height();
    const int32_t shift = settings.ScreenDpi == kLargeFontDpi ? -4 : 0;
    painter.setPen(Qt::white);

    SetFont(painter, kFontViewFirst, this);
    DrawEllipsis(painter, QRect(QPoint(20, 30 + shift), QPoint(w - 20 - 1, h - 1)), patient_.nameIdeographic,
                 lines_[0]);
    SetFont(painter, kFontViewSecond, this);
    DrawEllipsis(painter, QRect(QPoint(20, 9), QPoint(180 - 1, h - 1)), patient_.nameAlphabetic, lines_[1]);
    if (settings.ModeDispPatientID != 0) {
        DrawEllipsis(painter, QRect(QPoint(20, 56), QPoint(175 - 1, h - 1)), patient_.patientId, lines_[2]);
    }
    DrawEllipsis(painter, QRect(QPoint(180, 56), QPoint(300 - 1, h - 1)),
                 XEVDateText(patient_.birthDate, kViewDateText), lines_[3]);
    const QString age = XEVAgeText(patient_);
    if (!age.isEmpty()) {
        painter.drawText(QRect(300, 56, w, h), kTextFlags | Qt::TextDontClip, age);
    }
    CXEVBitmap(ViewSexIcon(patient_.sex)).Draw(painter, 360, 52);
}

CXEVPictureCtrl::CXEVPictureCtrl(uint16_t resourceId, QWidget* parent) : QWidget(parent), bitmap_(resourceId)
{
}

void CXEVPictureCtrl::paintEvent(QPaintEvent*)
{
    XEVPaintProtocol protocol;
    QPainter painter(this);
    bitmap_.Draw(painter, (width() - bitmap_.Width()) / 2, (height() - bitmap_.Height()) / 2);
}
