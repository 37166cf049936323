#pragma once

// The structured-report window: six header rows beside the scrolling report text and a
// skinned close button. Made once and kept; each request refills and re-shows it.

#include <QDialog>
#include <QRect>
#include <QSize>
#include <QString>

#include <array>
#include <cstdint>

class QFrame;
class QLabel;
class QPlainTextEdit;
class QTimer;
class CXEVBitmapButton;
class SeriesInfo;
struct ReportInfo;

// Header values as the rows show them (UI text 20303 is the time's format; dates go through
// XEVDateText with 20301).
// "HHMMSS..." as a time; shorter than 6 characters: empty.
QString XEVReportTime(const QString& value);
// The group after the first "=" (the whole name without one), carets as blanks.
QString XEVReportName(const QString& value);

// The edge or corner being dragged.
enum class XEVSizingEdge { Left, Right, Top, Bottom, TopLeft, TopRight, BottomLeft, BottomRight };
// A drag below the minimum keeps the opposite edge where it is.
QRect XEVApplySizingRule(QRect rect, XEVSizingEdge edge, QSize minimum);

class CXEVReportDlg : public QDialog {
public:
    enum Row { kName, kPatientId, kBirthDate, kAccession, kStudyDate, kProcedure, kRows };

    explicit CXEVReportDlg(QWidget* parent = nullptr);

    // The report of the series' first "SR" image: extracted first while an archive is
    // open, read on the calling thread, formatted and laid out. Without one, or when extraction fails, nothing
    // changes; an unreadable file gives message 10024 with its path. Always 0.
    int32_t OnReportText(const SeriesInfo* series);

    // A report read beforehand (the frame reads it off the GUI thread), formatted and laid out.
    // Its text goes into the box a slice at a time, one slice an event, so that the window
    // answers whatever the report's length; a short report is whole on return.
    void ShowReportInfo(const ReportInfo& info);
    // Slices of the current report laid into the box so far, and whether more wait.
    int32_t TextSlices() const { return slices_; }
    bool TextPending() const { return pendingAt_ < pending_.size(); }

    QSize MinimumDialogSize() const { return minimumSize_; }
    QLabel* Label(Row row) const { return labels_[row]; }
    QLabel* Value(Row row) const { return values_[row]; }
    QPlainTextEdit* ReportText() const { return text_; }
    CXEVBitmapButton* CloseButton() const { return close_; }
    // Whether the close button shows the skin files (else the built-in bitmaps).
    bool HasSkin() const { return skinned_; }

    // 1 after the dialog was hidden with its minimised owner; the frame shows it again on
    // its next activation and clears the flag.
    int32_t reshowFlag = 0;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void LayOut();
    void ApplyScrollBarRule();
    void CentreOnOwner();
    void AppendSlice();

    QSize minimumSize_;
    QFrame* frame_ = nullptr;
    std::array<QLabel*, kRows> labels_{};
    std::array<QLabel*, kRows> values_{};
    QPlainTextEdit* text_ = nullptr;
    // The report text not yet in the box, from pendingAt_ on, and the lengths of the box's
    // last block and line so far.
    QString pending_;
    qsizetype pendingAt_ = 0;
    qsizetype blockLength_ = 0;
    qsizetype lineLength_ = 0;
    int32_t slices_ = 0;
    QTimer* sliceTimer_ = nullptr;
    CXEVBitmapButton* close_ = nullptr;
    bool skinned_ = false;
};

// The report file at path, extracted first while an archive is open, read into report: 1;
// 0 when it cannot be read; -1 when its member cannot be extracted (nothing to name then).
int32_t XEVReadReport(const QString& path, ReportInfo& report);

// The sender's side of a report request: the one dialog made on the first request and
// kept in dialog, hidden, refilled and shown.
CXEVReportDlg* XEVShowReport(CXEVReportDlg*& dialog, QWidget* owner, const SeriesInfo* series);
