// The SR report: found in the list's current study, checked before the dialog opens, and the
// one report dialog the frame keeps for its life.

#include "shell/mainframe.h"

#include <QEvent>

#include <atomic>
#include <utility>

#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevdetached.h"
#include "shell/xevfileopen.h"
#include "shell/xevreportdlg.h"
#include "shell/xevziparchive.h"
#include "study/xevlistformview.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"

namespace {

constexpr uint32_t kReportUnreadable = 10024;
constexpr uint32_t kReportOutOfMemory = 10006;

const ImageInfo* FirstReportImage(const SeriesInfo* series)
{
    if (series == nullptr) {
        return nullptr;
    }
    for (const ImageInfo* image : series->images) {
        if (image != nullptr && image->sopInstanceUid == u"SR") {
            return image;
        }
    }
    return nullptr;
}

// The dialog as the study list drives it: WM_XEV_REPORT_TEXT to its handle asks the frame for
// the series' report, and a show asked for before it waits for that answer.
class ReportLink : public XEVReportDialogLink {
public:
    ReportLink(CMainFrame& frame, CXEVReportDlg& dialog) : frame_(frame), dialog_(dialog)
    {
        receiver_.SetHandler(WM_XEV_REPORT_TEXT, [this](XEVWParam, XEVLParam l) {
            frame_.RequestReport(reinterpret_cast<const SeriesInfo*>(l), std::exchange(showNext_, false));
            return XEVResult(0);
        });
    }
    bool IsShown() const override { return dialog_.isVisible(); }
    void Show() override { showNext_ = true; }
    void Close() override
    {
        showNext_ = false;
        frame_.DropReportRequest();
        dialog_.hide();
    }
    XEVWindowHandle Handle() const override { return receiver_.Handle(); }

private:
    CMainFrame& frame_;
    CXEVReportDlg& dialog_;
    XEVMessageReceiver receiver_;
    bool showNext_ = false;
};

}   // namespace

// One request: the worker writes the outcome and the report, then posts; the GUI thread reads
// them only once that post has come.
struct CMainFrame::ReportJob {
    enum class Outcome { NotExtracted, Unreadable, OutOfMemory, Read };
    QString path;
    uint64_t serial = 0;
    bool show = false;
    std::atomic<int32_t> stop{0};
    Outcome outcome = Outcome::NotExtracted;
    ReportInfo report;

    // The checks of the document, then its read, all on the medium.
    void CheckAndRead()
    {
        const XEVLoadState& state = GetLoadState();
        const std::string native = XEVNativePath(path);
        // A member that cannot be extracted has no file to name.
        if (!state.GetZipPath().empty() && state.ExtractZipMember(native, std::string()) != 0) {
            outcome = Outcome::NotExtracted;
            return;
        }
        // The read itself tells whether the file reads as a DICOM document (a DICOMDIR does not):
        // parsed once, within the report's budget.
        int32_t status = 0;
        const bool read = stop.load() == 0 && HasDicmMarker(native) && ReadReportFile(path, report, &status) != 0;
        outcome = read                                        ? Outcome::Read
                  : status == XEVVEKHelper::kStatusLoadBudget ? Outcome::OutOfMemory
                                                              : Outcome::Unreadable;
    }
};

bool CMainFrame::OpenReport(SeriesInfo* series)
{
    return FirstReportImage(series) != nullptr;
}

void CMainFrame::RequestReport(const SeriesInfo* series, bool show)
{
    const ImageInfo* image = FirstReportImage(series);
    if (image == nullptr || shutDown_) {
        return;
    }
    auto job = std::make_shared<ReportJob>();
    job->path = image->filePath;
    job->serial = ++reportSerial_;
    job->show = show || (reportJob_ != nullptr && reportJob_->show);
    DropReportRequest();
    // Not joined: a worker in a read of a slow disc ends on its own, owning what it writes, and
    // its answer to a frame that has gone is dropped with the handle.
    const bool started = XEVStartDetached([job, answers = reportAnswers_.Handle()] {
        job->CheckAndRead();
        if (job->stop.load() == 0) {
            XEVPostMessage(answers, WM_XEV_REPORT_TEXT, XEVWParam(job->serial), 0);
        }
    });
    if (!started) {
        return;
    }
    reportJob_ = std::move(job);
}

void CMainFrame::DropReportRequest()
{
    if (reportJob_ != nullptr) {
        reportJob_->stop = 1;
        reportJob_.reset();
    }
}

void CMainFrame::OnReportRead(uint64_t serial)
{
    // An answer to a request since replaced or dropped changes nothing.
    if (reportJob_ == nullptr || reportJob_->serial != serial || shutDown_) {
        return;
    }
    const std::shared_ptr<ReportJob> job = std::move(reportJob_);
    switch (job->outcome) {
    case ReportJob::Outcome::NotExtracted: return;
    case ReportJob::Outcome::Unreadable:
        XEVShowFailureText(this, MessageWithPath(GetMessageString(kReportUnreadable), job->path));
        return;
    case ReportJob::Outcome::OutOfMemory:
        XEVShowFailureText(this, MessageWithPath(GetMessageString(kReportOutOfMemory), job->path));
        return;
    case ReportJob::Outcome::Read: break;
    }
    GetReportDialog(true);
    if (job->show) {
        reportDialog_->hide();
    }
    reportDialog_->ShowReportInfo(job->report);
    if (job->show) {
        reportDialog_->show();
    }
}

XEVReportDialogLink* CMainFrame::GetReportDialog(bool create)
{
    if (reportDialog_ == nullptr && create) {
        reportDialog_ = new CXEVReportDlg(this);
    }
    if (reportDialog_ != nullptr && reportLink_ == nullptr) {
        reportLink_ = std::make_shared<ReportLink>(*this, *reportDialog_);
    }
    return reportLink_.get();
}

void CMainFrame::OnReportRequest()
{
    const CXEVListFormView* list = GetStudyList();
    if (list == nullptr) {
        return;
    }
    const StudyInfo* study = list->currentStudy != nullptr ? list->currentStudy : list->lastSeriesStudy;
    SeriesInfo* series = XEVFindReportSeries(study);
    if (series == nullptr || !OpenReport(series)) {
        return;
    }
    RequestReport(series, true);
}

void CMainFrame::OnActivate(bool active)
{
    if (active && !isMinimized() && reportDialog_ != nullptr && reportDialog_->reshowFlag != 0) {
        reportDialog_->show();
        reportDialog_->reshowFlag = 0;
    }
}

void CMainFrame::changeEvent(QEvent* e)
{
    QMainWindow::changeEvent(e);
    if (e->type() == QEvent::ActivationChange) {
        OnActivate(isActiveWindow());
    }
}
