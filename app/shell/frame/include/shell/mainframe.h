#pragma once

// The main window: an outer splitter of three rows (title pane, the study list beside the
// image area, status pane) as its central widget. It gives the panes typed access to each
// other and handles the layout and pre-load messages they send it.

#include <QMainWindow>
#include <QString>

#include <cstdint>

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
    bool CanSwitchSeriesDisplay() override { return false; }
    bool IsSwitchLocked() override { return false; }
    bool RequestSeriesSwitch(XEVImageViewCtrl&) override { return false; }
    bool HasTitlePane() override { return GetTitlePane() != nullptr; }
    void UpdateToolButtons(int32_t tool) override;
    void RefreshStudyList() override;

protected:
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
};
