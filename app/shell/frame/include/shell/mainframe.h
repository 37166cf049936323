#pragma once

// The main window: an outer splitter of three rows (title pane, the study list beside the
// image area, status pane) as its central widget. It gives the panes typed access to each
// other and handles the layout and pre-load messages they send it.

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <memory>

#include "shell/xevmessage.h"
#include "shell/xevsplitterwnd.h"
#include "viewer/xevimageviewctrl.h"
#include "viewer/xevimagewindow.h"

class CXEVImageFormView;
class CXEVStatusFormView;
class CXEVTitleFormView;
class XEVImageViewCtrl;
class XEVPreloadView;
class StudyInfo;
class CXEVListFormView;
class CXEVReportDlg;
class PatientInfo;
class SeriesInfo;
class XEVReportDialogLink;

constexpr uint32_t WM_XEV_SET_LAYOUT = 0x1420;
constexpr uint32_t WM_XEV_STEP_LAYOUT = 0x1421;
constexpr uint32_t WM_XEV_SPLITTER_DBLCLK = 0x1445;
constexpr uint32_t WM_XEV_SHOW_HELP = 0x1508;

constexpr int32_t kXEVTitleRowHeight = 93;
constexpr int32_t kXEVStatusRowHeight = 43;
constexpr int32_t kXEVFixedRowsHeight = 136;
constexpr int32_t kXEVListColumnWidth = 332;

// What the frame reaches of the study list pane.
class XEVStudyListAccess {
public:
    virtual ~XEVStudyListAccess() = default;
    // The narrow text of the current entry's key; empty without one.
    virtual QString GetCurrentKey() const = 0;
    virtual StudyInfo* FindStudy(const QString& key) = 0;
    virtual void ShowEntries() = 0;
    // What the pre-load walks.
    virtual XEVPreloadView* GetPreloadView() = 0;
};

class CMainFrame : public QMainWindow, public XEVImageAreaHost {
public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Makes both splitters and the four panes; the list column holds a plain pane until a
    // study list is set. False when a pane cannot be made.
    bool OnCreateClient();
    // Puts the study list into the list column in place of what was there; access may be null.
    void SetListView(QWidget* pane, XEVStudyListAccess* access);

    QWidget* GetListView() const;
    CXEVImageFormView* GetImageFormView() const;
    CXEVStatusFormView* GetStatusPane() const;
    CXEVTitleFormView* GetTitlePane() const;
    XEVImageViewCtrl* GetActiveImageView() const;
    CXEVSplitterWnd* OuterSplitter() const { return outer_; }
    CXEVSplitterWnd* InnerSplitter() const { return inner_; }

    void SetUpPanes();
    void ApplyLayout(int32_t index);
    void SetFullScreen(bool on);
    void FocusActiveView();
    void EnablePaneControls(bool enable);
    void LayoutRows();
    QString GetListViewKey() const;
    StudyInfo* FindInListView(const QString& key) const;
    void ShowAllListEntries();
    static bool IsProgramOnCdRom();

    XEVWindowHandle Handle() const { return receiver_.Handle(); }
    XEVResult OnMessage(uint32_t id, XEVWParam wParam, XEVLParam lParam);
    void OnPreloadControl();
    void OnStepLayout(XEVWParam wParam);

    int32_t ProgramOnCdRom() const { return programOnCdRom_; }
    int32_t SavedShowState() const { return savedShowState_; }

    // What the image area reaches.
    XEVResult SendToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam lParam) override;
    void PostToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam lParam) override;
    bool CanSwitchSeriesDisplay() override;
    bool IsSwitchLocked() override;
    bool RequestSeriesSwitch(XEVImageViewCtrl& cell) override;
    bool HasTitlePane() override { return GetTitlePane() != nullptr; }
    void UpdateToolButtons(int32_t tool) override;
    void RefreshStudyList() override;

    // Series-composition switch and the SR report (mainframe_switch.cpp, mainframe_report.cpp).
    struct SelectionRecord {
        int32_t index = -1;
        QString studyKey;
        QString seriesKey;
        // Set once a switch was asked for or made since the last open: no second question.
        int32_t switchFlag = 0;
    };
    void SetSelectionRecord(int32_t index, const QString& studyKey, const QString& seriesKey);
    void ClearSelectionIndex();
    SelectionRecord& Selection() { return selection_; }
    // The study list pane as the switch and the report reach it; null while it is missing.
    CXEVListFormView* ListFormView() const;
    // The question's answer: 1 OK, 2 Cancel.
    int32_t ConfirmSeriesSwitch();
    void PerformSeriesSwitch();
    bool RequestSeriesSwitch(int32_t index, const QString& studyKey, const QString& seriesKey, bool store);
    // Positions of the recorded study and series in the patient; left as they are without one.
    static void FindSelectedPositions(const SelectionRecord& record, const PatientInfo* patient, int32_t& study,
                                      int32_t& series);
    // Once the terms are accepted at start-up: the switch without a question when it can be made.
    void SwitchSeriesAtStartUp();
    void OnReportRequest();
    bool OpenReport(SeriesInfo* series);
    // The report dialog, made first when create is set; null before.
    XEVReportDialogLink* GetReportDialog(bool create);
    CXEVReportDlg* ReportDialog() const { return reportDialog_; }
    // Shows the report dialog again when it went with the minimised frame.
    void OnActivate(bool active);
    // 1 after a single DICOM file was opened: the series composition is not switched then.
    int32_t singleFileOpened = 0;

protected:
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The frame's own receiver, so that other threads and panes reach it by handle.
    class Receiver : public XEVMessageReceiver {
    public:
        explicit Receiver(CMainFrame& frame) : frame_(frame) {}

    protected:
        XEVResult OnMessage(uint32_t id, XEVWParam wParam, XEVLParam lParam) override
        {
            return frame_.OnMessage(id, wParam, lParam);
        }

    private:
        CMainFrame& frame_;
    };

    Receiver receiver_;
    CXEVSplitterWnd* outer_ = nullptr;
    CXEVSplitterWnd* inner_ = nullptr;
    XEVStudyListAccess* listAccess_ = nullptr;
    int32_t clientCreated_ = 0;
    int32_t programOnCdRom_ = 0;
    int32_t savedShowState_ = 1;
    // Series-composition switch and the SR report.
    SelectionRecord selection_;
    CXEVReportDlg* reportDialog_ = nullptr;
    std::shared_ptr<XEVReportDialogLink> reportLink_;
};
