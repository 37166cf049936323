#include "shell/xevreportdlg.h"

#include <algorithm>

#include <QFrame>
#include <QHideEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>

#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevbitmapbutton.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevfileopen.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "viewer/xevimageviewctrl.h"

namespace {

constexpr int kClientWidth = 997;
constexpr int kClientHeight = 394;
constexpr int kRowTop = 31;
constexpr int kRowHeight = 33;
constexpr int kValueChars = 64;
constexpr int kAccessionChars = 16;
constexpr uint32_t kDateText = 20301;
// What one event lays into the text box at most, in characters. The box lays out a block of
// its document at once, and a resize or a clear walks every block: lines go into blocks of
// about kBlockChars as line separators, and a line longer than kLineChars goes on in a block
// of its own (the box wraps it at its width anyway), so that neither grows with the report.
constexpr qsizetype kSliceChars = 32768;
constexpr qsizetype kBlockChars = 2048;
constexpr qsizetype kLineChars = 8192;

const QColor kBackground(233, 237, 233);
const QColor kLabelOdd(231, 231, 231);
const QColor kLabelEven(238, 238, 238);
const QColor kValueOdd(240, 240, 240);
const QColor kWhite(255, 255, 255);

// The label texts, in row order.
constexpr uint32_t kLabelTexts[CXEVReportDlg::kRows] = {20400, 20401, 20402, 20403, 20405, 20404};

void Paint(QWidget* widget, QPalette::ColorRole role, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(role, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QFont PointFont(const QString& face, int32_t points)
{
    QFont font(face);
    if (points > 0) {
        font.setPointSize(points);
    }
    return font;
}

}   // namespace

QString XEVReportTime(const QString& value)
{
    if (value.size() < 6) {
        return QString();
    }
    return FormatUIString(GetUIString(20303), {value.mid(0, 2), value.mid(2, 2), value.mid(4, 2)});
}

QString XEVReportName(const QString& value)
{
    const qsizetype equals = value.indexOf(QLatin1Char('='));
    QString name = equals < 0 ? value : value.mid(equals + 1);
    return name.replace(QLatin1Char('^'), QLatin1Char(' '));
}

QRect XEVApplySizingRule(QRect rect, XEVSizingEdge edge, QSize minimum)
{
    if (rect.width() < minimum.width()) {
        if (edge == XEVSizingEdge::Right || edge == XEVSizingEdge::TopRight || edge == XEVSizingEdge::BottomRight) {
            rect.setWidth(minimum.width());
        } else {
            rect.setLeft(rect.right() + 1 - minimum.width());
        }
    }
    if (rect.height() < minimum.height()) {
        if (edge == XEVSizingEdge::Bottom || edge == XEVSizingEdge::BottomLeft || edge == XEVSizingEdge::BottomRight) {
            rect.setHeight(minimum.height());
        } else {
            rect.setTop(rect.bottom() + 1 - minimum.height());
        }
    }
    return rect;
}

CXEVReportDlg::CXEVReportDlg(QWidget* parent) : QDialog(parent)
{
    Paint(this, QPalette::Window, kBackground);

    frame_ = new QFrame(this);
    frame_->setFrameShape(QFrame::Box);
    frame_->setGeometry(30, 30, 455, 200);
    QPalette black = frame_->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    frame_->setPalette(black);

    const XEVCommonSettings& settings = GetCommonSettings();
    const QFont headerFont = PointFont(settings.InfoFaceName, settings.InfoPointSize);
    for (int row = 0; row < kRows; ++row) {
        const bool odd = row % 2 == 0;
        const int y = kRowTop + row * kRowHeight;
        labels_[row] = new QLabel(GetUIString(kLabelTexts[row]), this);
        labels_[row]->setGeometry(31, y, 149, kRowHeight);
        Paint(labels_[row], QPalette::Window, odd ? kLabelOdd : kLabelEven);
        values_[row] = new QLabel(this);
        values_[row]->setGeometry(180, y, 304, kRowHeight);
        Paint(values_[row], QPalette::Window, odd ? kValueOdd : kWhite);
        for (QLabel* label : {labels_[row], values_[row]}) {
            label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            label->setTextFormat(Qt::PlainText);
            label->setFont(headerFont);
        }
    }

    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setUndoRedoEnabled(false);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    text_->setFont(PointFont(settings.ReportFaceName, settings.ReportPointSize));
    text_->setGeometry(495, 30, 472, 270);
    QPalette textPalette = text_->palette();
    textPalette.setColor(QPalette::Base, kWhite);
    text_->setPalette(textPalette);

    sliceTimer_ = new QTimer(this);
    sliceTimer_->setInterval(0);
    connect(sliceTimer_, &QTimer::timeout, this, &CXEVReportDlg::AppendSlice);

    close_ = new CXEVBitmapButton(this);
    close_->setFocusPolicy(Qt::TabFocus);
    close_->setGeometry(863, 320, 104, 44);
    skinned_ = close_->LoadSkin(QStringLiteral("Close")) == 1;
    if (skinned_) {
        close_->SizeToContent();
    } else {
        close_->CXEVOwnerDrawButton::LoadBitmaps(269, 270, 267, 268);
    }
    // Posted, as a click on the caption's close box would be: the dialog only hides.
    connect(close_, &QAbstractButton::clicked, this,
            [this] { QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection); });

    setWindowTitle(QStringLiteral("  ") + GetUIString(20406));
    resize(kClientWidth, kClientHeight);
    minimumSize_ = QSize(kClientWidth, kClientHeight);
    // The window manager keeps the opposite edge when a drag would go below it.
    setMinimumSize(minimumSize_);
    reshowFlag = 0;
    LayOut();
}

void CXEVReportDlg::CentreOnOwner()
{
    QRect area;
    if (QWidget* owner = parentWidget()) {
        area = QRect(owner->mapToGlobal(QPoint(0, 0)), owner->size());
    } else if (const QScreen* screen = this->screen()) {
        area = screen->availableGeometry();
    }
    if (!area.isEmpty()) {
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

int32_t CXEVReportDlg::OnReportText(const SeriesInfo* series)
{
    resize(minimumSize_);
    CentreOnOwner();
    if (series == nullptr) {
        return 0;
    }
    const std::vector<ImageInfo*> images = series->images;
    const ImageInfo* report = nullptr;
    for (const ImageInfo* image : images) {
        if (image != nullptr && image->sopInstanceUid == QStringLiteral("SR")) {
            report = image;
            break;
        }
    }
    if (report == nullptr) {
        return 0;
    }
    const QString path = report->filePath;
    ReportInfo info;
    const int32_t read = XEVReadReport(path, info);
    if (read < 0) {
        return 0;
    }
    if (read == 0) {
        XEVShowFailureText(this, MessageWithPath(GetMessageString(10024), path));
        return 0;
    }
    ShowReportInfo(info);
    return 0;
}

void CXEVReportDlg::ShowReportInfo(const ReportInfo& info)
{
    resize(minimumSize_);
    CentreOnOwner();
    const QString blank = QStringLiteral(" ");
    const QString studyDate = XEVDateText(info.studyDate, kDateText) + blank + XEVReportTime(info.studyTime);
    values_[kName]->setText(blank + XEVReportName(info.patientName).left(kValueChars));
    values_[kPatientId]->setText(blank + info.patientId.left(kValueChars));
    values_[kBirthDate]->setText(blank + XEVDateText(info.birthDate, kDateText).left(kValueChars));
    values_[kAccession]->setText(blank + info.accessionNumber.left(kAccessionChars));
    values_[kStudyDate]->setText(blank + studyDate.left(kValueChars));
    values_[kProcedure]->setText(blank + info.procedureDescription.left(kValueChars));
    // Shared, not copied: the slices read it where it stands.
    pending_ = info.reportText;
    pendingAt_ = 0;
    blockLength_ = lineLength_ = 0;
    slices_ = 0;
    text_->clear();
    AppendSlice();
}

void CXEVReportDlg::AppendSlice()
{
    // The reader ends lines the way the original edit control wants them: CR LF is one line end.
    QString slice;
    const qsizetype size = pending_.size();
    const qsizetype end = std::min(size, pendingAt_ + kSliceChars);
    slice.reserve(end - pendingAt_ + (end - pendingAt_) / kLineChars + 1);
    for (qsizetype at = pendingAt_; at < end; ++at) {
        const QChar c = pending_[at];
        if (c == u'\r' && at + 1 < size && pending_[at + 1] == u'\n') {
            continue;
        }
        if (c == u'\n') {
            const bool blockEnds = blockLength_ >= kBlockChars;
            slice.append(blockEnds ? QChar(u'\n') : QChar(QChar::LineSeparator));
            blockLength_ = blockEnds ? 0 : blockLength_ + 1;
            lineLength_ = 0;
            continue;
        }
        if (lineLength_ == kLineChars) {
            slice.append(u'\n');
            blockLength_ = lineLength_ = 0;
        }
        slice.append(c);
        ++blockLength_;
        ++lineLength_;
    }
    pendingAt_ = end;
    QTextCursor cursor(text_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(slice);
    ++slices_;
    if (pendingAt_ < size) {
        sliceTimer_->start();
    } else {
        sliceTimer_->stop();
        pending_.clear();
        pendingAt_ = 0;
    }
    ApplyScrollBarRule();
}

void CXEVReportDlg::LayOut()
{
    const int right = width();
    const int bottom = height();
    text_->setGeometry(495, 30, right - 525, bottom - 124);
    close_->setGeometry(right - 134, bottom - 74, 104, 44);
}

void CXEVReportDlg::ApplyScrollBarRule()
{
    // Measured with the bar in place, as the text would lie beside it, line by line from the
    // top until the box is full: never more lines than the box shows.
    bool fits = !TextPending();
    const QTextDocument* document = text_->document();
    const int frame = text_->frameWidth();
    const int bar = text_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, text_);
    const qreal margin = document->documentMargin();
    const qreal width = text_->width() - 2 * frame - bar - 2 * margin;
    const qreal room = text_->height() - 2 * frame - 2 * margin;
    qreal height = 0;
    for (QTextBlock block = document->begin(); fits && block.isValid(); block = block.next()) {
        QTextLayout layout(block.text(), text_->font());
        QTextOption option = document->defaultTextOption();
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid() && fits; line = layout.createLine()) {
            line.setLineWidth(width);
            height += line.height();
            fits = height <= room;
        }
        layout.endLayout();
    }
    text_->setVerticalScrollBarPolicy(fits ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAlwaysOn);
}

void CXEVReportDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    LayOut();
    ApplyScrollBarRule();
}

void CXEVReportDlg::hideEvent(QHideEvent* event)
{
    QDialog::hideEvent(event);
    const QWidget* owner = parentWidget();
    if (event->spontaneous() && owner != nullptr && owner->isMinimized()) {
        reshowFlag = 1;
    }
}

int32_t XEVReadReport(const QString& path, ReportInfo& report)
{
    const XEVLoadState& state = GetLoadState();
    if (!state.GetZipPath().empty() && state.ExtractZipMember(XEVNativePath(path), std::string()) != 0) {
        return -1;
    }
    return ReadReportFile(path, report) != 0 ? 1 : 0;
}

CXEVReportDlg* XEVShowReport(CXEVReportDlg*& dialog, QWidget* owner, const SeriesInfo* series)
{
    if (dialog == nullptr) {
        dialog = new CXEVReportDlg(owner);
    }
    dialog->hide();
    dialog->OnReportText(series);
    dialog->show();
    return dialog;
}
