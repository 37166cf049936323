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
    const XEVLoadState& state = GetLoadState();
    // A member that cannot be extracted has no file to name: no message.
    if (!state.GetZipPath().empty() && state.ExtractZipMember(XEVNativePath(path), std::string()) != 0) {
        return false;
    }
    if (!HasDicmMarker(XEVNativePath(path)) || !IsDicomFile(path)) {
        XEVShowFailureText(this, MessageWithPath(GetMessageString(kReportUnreadable), path));
        return false;
    }
    return true;
}

XEVReportDialogLink* CMainFrame::GetReportDialog(bool create)
{
    if (reportDialog_ == nullptr && create) {
        reportDialog_ = new CXEVReportDlg(this);
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
