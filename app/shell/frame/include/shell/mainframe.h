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
class CXEVListFormView;
class CXEVStatusFormView;
class CXEVTitleFormView;
class XEVImageViewCtrl;
class XEVPreloadView;
class StudyInfo;
class QAction;

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

// File Open's file chooser; tests replace it to choose a path or cancel.
class XEVOpenFileDialog {
public:
    virtual ~XEVOpenFileDialog() = default;
    // The chosen file's full path; empty when cancelled.
    virtual QString Choose(QWidget* parent) = 0;
};
// Null restores the system's open-file dialog.
void XEVSetOpenFileDialog(XEVOpenFileDialog* dialog);

constexpr int32_t kXEVFileOpenCommand = 32817;

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

    // File Open, the "ModeOrvix" menu bar and the command-line path.
    void OnFileOpen();
    void OnUpdateFileOpen();
    // Opens a zip archive holding a DICOMDIR, a DICOMDIR or a single DICOM file in place of
    // what is shown; anything else, or an archive that cannot be imported, gives message
    // 10027. False then.
    bool OpenPath(const QString& path);
    // The path given on the command line, told apart like File Open's; what is none of the
    // three kinds goes to the DICOMDIR load, whose failure start-up reports.
    void StartPathLoad(const QString& path);
    // Stops every reader of the records and empties the list and the cells.
    void ResetViewers();
    void SetFileOpenEnabled(bool enabled);
    bool IsFileOpenEnabled() const { return fileOpenEnabled_ != 0; }
    bool IsSingleFileOpened() const { return singleFileOpened_ != 0; }
    // Null without "ModeOrvix".
    QAction* FileOpenAction() const { return fileOpenAction_; }

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

    // File Open and the menu bar.
    void SetUpMenuBar();
    bool ImportArchive(const QString& zipPath, bool startUp);
    void LoadDicomDir(const QString& path);
    void LoadSingleFile(const QString& path);
    // A new source forgets the series-composition choice; a DICOMDIR also its second key.
    void ResetSelectionForOpen(bool dicomDir);
    int32_t singleFileOpened_ = 0;
    QAction* fileOpenAction_ = nullptr;
    uint8_t fileOpenEnabled_ = 0;
};
