#include "shell/mainframe.h"

// The study list's answers until the series-composition switch and the report dialog come:
// no switch, no report, and no recorded selection.

bool CMainFrame::RequestSeriesSwitch(int32_t, const QString&, const QString&, bool)
{
    return false;
}

bool CMainFrame::OpenReport(SeriesInfo*)
{
    return false;
}

XEVReportDialogLink* CMainFrame::GetReportDialog(bool)
{
    return nullptr;
}

bool CMainFrame::SelectRecordedEntry()
{
    return false;
}

void CMainFrame::SwitchSeriesAtAcceptance() {}
