#include <QMouseEvent>
#include <QPaintEvent>
#include <QStyledItemDelegate>

#include "shell/xev_uistring.h"
#include "shell/xevcommonsettings.h"
#include "study/xevlistformview.h"
#include "study/xevstudymodel.h"

namespace {

constexpr uint32_t kStudyText = 20312;
constexpr int32_t kTreeFont = 5;

// Gives every row the tree's item height once one is set.
class RowHeightDelegate : public QStyledItemDelegate {
public:
    RowHeightDelegate(QObject* parent, const int32_t& height) : QStyledItemDelegate(parent), height_(height) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (height_ > 0) {
            size.setHeight(height_);
        }
        return size;
    }

private:
    const int32_t& height_;
};

// A row's text as far as a row can show it: the rest is never shaped, on any paint.
QString RowText(QString text)
{
    if (text.size() > XEVStudyListCtrl::kRowTextLength) {
        text.truncate(XEVStudyListCtrl::kRowTextLength);
        if (text.back().isHighSurrogate()) {
            text.chop(1);
        }
        text += QChar(0x2026);
    }
    return text;
}

}   // namespace

XEVStudyListCtrl::XEVStudyListCtrl(QWidget* parent, const XEVWindowHandle& notify, int32_t controlId)
    : QTreeWidget(parent), notify_(notify), controlId_(controlId)
{
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setDragDropMode(QAbstractItemView::NoDragDrop);
    setExpandsOnDoubleClick(true);
    setUniformRowHeights(true);
    setItemDelegate(new RowHeightDelegate(this, itemHeight_));
    if (font_.CreateFromInfo(GetCommonSettings().Fonts[kTreeFont], this)) {
        setFont(font_.Font());
    }
}

QString XEVStudyListCtrl::StudyText(const StudyInfo& study)
{
    const QString format = GetUIString(kStudyText);
    const QString date = XEVDateDigits(study.studyDate);
    if (!date.isEmpty()) {
        return FormatUIString(format, {date.mid(0, 4), date.mid(4, 2), date.mid(6, 2), study.modalities});
    }
    // A study without a whole date shows no date: the text starts after the date's part of the
    // format, at the first blank after its third value ("%s年%s月%s日 %s検査" gives "%s検査");
    // a format without that blank leaves the modalities alone.
    qsizetype at = 0;
    for (int value = 0; value < 3 && at >= 0; ++value) {
        at = format.indexOf(QStringLiteral("%s"), at);
        at = at < 0 ? at : at + 2;
    }
    const qsizetype blank = at < 0 ? -1 : format.indexOf(u' ', at);
    if (blank < 0) {
        return study.modalities;
    }
    return FormatUIString(format.mid(blank + 1), {study.modalities});
}

void XEVStudyListCtrl::Fill(const PatientInfo& patient)
{
    const int32_t studies = static_cast<int32_t>(std::min<size_t>(patient.studies.size(), kXEVMaxItemStudy + 1));
    for (int32_t k = 0; k < studies; ++k) {
        const StudyInfo& study = *patient.studies[size_t(k)];
        auto* studyItem = new QTreeWidgetItem(this, QStringList(RowText(StudyText(study))));
        studyItem->setData(0, Qt::UserRole, kXEVStudyItemBit | (uint32_t(k) << 16));
        const int32_t count = static_cast<int32_t>(std::min<size_t>(study.series.size(), kXEVMaxItemSeries + 1));
        for (int32_t j = 0; j < count; ++j) {
            auto* seriesItem =
                new QTreeWidgetItem(studyItem, QStringList(RowText(study.series[size_t(j)]->description)));
            seriesItem->setData(0, Qt::UserRole, kXEVSeriesItemBit | (uint32_t(k) << 16) | uint32_t(j));
        }
    }
    const int32_t current = topLevelItemCount() > 0 ? sizeHintForRow(0) : fontMetrics().height();
    SetItemHeight(current + 4);
}

void XEVStudyListCtrl::SetItemHeight(int32_t height)
{
    itemHeight_ = height;
    doItemsLayout();
}

uint32_t XEVStudyListCtrl::ItemData(const QTreeWidgetItem* item)
{
    return item != nullptr ? item->data(0, Qt::UserRole).toUInt() : 0;
}

bool XEVStudyListCtrl::OnLButtonDblClk(const QPoint& point)
{
    QTreeWidgetItem* item = itemAt(point);
    if (item == nullptr) {
        return false;
    }
    // Only the label counts: the row's blank right of it and the indentation do not.
    const QRect rect = visualItemRect(item);
    const int32_t labelWidth = fontMetrics().horizontalAdvance(item->text(0)) + 8;
    if (point.x() < rect.left() || point.x() >= rect.left() + labelWidth || !rect.contains(point)) {
        return false;
    }
    setCurrentItem(item);
    const uint32_t data = ItemData(item);
    if ((data & kXEVStudyItemBit) != 0) {
        return XEVPostMessage(notify_, WM_XEV_STUDY_DBLCLK, XEVWParam(controlId_), XEVLParam(data & ~kXEVStudyItemBit));
    }
    if ((data & kXEVSeriesItemBit) != 0) {
        return XEVPostMessage(notify_, WM_XEV_SERIES_ITEM_DBLCLK, XEVWParam(controlId_),
                              XEVLParam(data & ~kXEVSeriesItemBit));
    }
    return false;
}

void XEVStudyListCtrl::mouseDoubleClickEvent(QMouseEvent* event)
{
    OnLButtonDblClk(event->position().toPoint());
    QTreeWidget::mouseDoubleClickEvent(event);
}

void XEVStudyListCtrl::paintEvent(QPaintEvent* event)
{
    XEVLoadState& state = GetLoadState();
    state.BeginPaint();
    QTreeWidget::paintEvent(event);
    state.EndPaint();
}
