// The SR report: found in the list's current study, checked before the dialog opens, and the
// one report dialog the frame keeps for its life.

#include "shell/mainframe.h"

#include <QEvent>

#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevfileopen.h"
#include "shell/xevreportdlg.h"
#include "shell/xevziparchive.h"
#include "study/xevlistformview.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"

namespace {

constexpr uint32_t kReportUnreadable = 10024;

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

// The dialog as the study list drives it; WM_XEV_REPORT_TEXT to its handle refills it.
class ReportLink : public XEVReportDialogLink {
public:
    explicit ReportLink(CXEVReportDlg& dialog) : dialog_(dialog)
    {
        receiver_.SetHandler(WM_XEV_REPORT_TEXT, [this](XEVWParam, XEVLParam l) {
            return XEVResult(dialog_.OnReportText(reinterpret_cast<const SeriesInfo*>(l)));
        });
    }
    bool IsShown() const override { return dialog_.isVisible(); }
    void Show() override { dialog_.show(); }
    void Close() override { dialog_.hide(); }
    XEVWindowHandle Handle() const override { return receiver_.Handle(); }

private:
    CXEVReportDlg& dialog_;
    XEVMessageReceiver receiver_;
};

}   // namespace

bool CMainFrame::OpenReport(SeriesInfo* series)
{
    const ImageInfo* report = FirstReportImage(series);
    if (report == nullptr) {
        return false;
    }
    const QString path = report->filePath;
    // The file lies on the medium: checked on a worker while the window answers.
    bool extracted = true;
    bool readable = false;
    if (!RunAnswering([&](const std::atomic<int32_t>* stop) {
            const XEVLoadState& state = GetLoadState();
            extracted = state.GetZipPath().empty() || state.ExtractZipMember(XEVNativePath(path), std::string()) == 0;
            readable = extracted && HasDicmMarker(XEVNativePath(path)) && IsDicomFile(path, stop);
        })) {
        return false;
    }
    // A member that cannot be extracted has no file to name: no message.
    if (!extracted) {
        return false;
    }
    if (!readable) {
        XEVShowFailureText(this, MessageWithPath(GetMessageString(kReportUnreadable), path));
        return false;
    }
    return true;
}

XEVReportDialogLink* CMainFrame::GetReportDialog(bool create)
{
    if (reportDialog_ == nullptr && create) {
        reportDialog_ = new CXEVReportDlg(this);
        // The dialog reads its report as the checks above do, off the GUI thread.
        reportDialog_->SetReader([this](const QString& path, ReportInfo& report) {
            int32_t read = -1;
            return RunAnswering([&](const std::atomic<int32_t>*) { read = XEVReadReport(path, report); }) ? read : -1;
        });
    }
    if (reportDialog_ != nullptr && reportLink_ == nullptr) {
        reportLink_ = std::make_shared<ReportLink>(*reportDialog_);
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
    GetReportDialog(true);
    XEVShowReport(reportDialog_, this, series);
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
