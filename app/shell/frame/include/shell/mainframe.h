#pragma once

// The main window: an outer splitter of three rows (title pane, the study list beside the
// image area, status pane) as its central widget. It gives the panes typed access to each
// other and handles the layout and pre-load messages they send it.

#include <QMainWindow>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "shell/xevfailurebox.h"
#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"
#include "shell/xevsplitterwnd.h"
#include "viewer/xevimageviewctrl.h"
#include "viewer/xevimagewindow.h"

class CXEVAgreeDlg;
class CXEVImageFormView;
class CXEVListFormView;
class CXEVPatientView;
class QSocketNotifier;
class SeriesInfo;
class XEVReportDialogLink;
class XEVStudyListHost;
class CXEVStatusFormView;
class CXEVTitleFormView;
class XEVImageViewCtrl;
class XEVPreloadView;
class StudyInfo;
enum class XEVOpenKind;
struct XEVLoadedRecords;
using XEVOpenClassifier = XEVOpenKind (*)(const QString& path, const std::atomic<int32_t>* stop);
class CXEVReportDlg;
class PatientInfo;
class QAction;

constexpr int32_t kXEVLoadFailedResult = -1001;

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
    void RequestSeriesSwitch(XEVImageViewCtrl& cell) override;
    bool HasTitlePane() override { return GetTitlePane() != nullptr; }
    void UpdateToolButtons(int32_t tool) override;
    void RefreshStudyList() override;

    // Start-up, the first selection and shut-down (mainframe_start.cpp)
    // Makes the study list pane, with the frame as its host, and puts it into the list column.
    CXEVListFormView* InstallStudyList();
    CXEVListFormView* GetStudyList() const;
    // The start-up arguments the terms dialog reads.
    void SetStartArguments(const QStringList& arguments) { startArguments_ = arguments; }
    // walked: the path as File Open's check walked it, handed on instead of walking it again.
    void StartDicomDirLoad(const QString& path, std::shared_ptr<XEVLoadedRecords> walked = nullptr);
    // Width and height at most 1280 x 1024, centred on the work area; a top margin below
    // 34 becomes 0.
    static QRect InitialPlacement(const QRect& workArea);
    void SetInitialPlacement();
    void ShowAgreement(int32_t mode);
    XEVWindowHandle AgreementHandle() const { return agreementHandle_; }
    CXEVAgreeDlg* AgreementDialog() const;
    // " V a.b.c.d" of the build's version; empty without one.
    static QString GetVersionSuffix();
    static QString FormatVersionSuffix(const QString& version);
    void OnAgreementClosed(XEVWParam wParam);
    XEVResult OnStartViewing(XEVWParam wParam);
    void OnHelpRequest();
    // F1: the terms again, OK only; nothing while a terms dialog is open.
    void OnHelpCommand();
    // Opens the help file; false when no viewer took it. Tests replace it, null restores.
    using HelpOpener = bool (*)(const QString& path);
    static void SetHelpOpener(HelpOpener opener);
    // The program's medium left the mount table.
    void OnDeviceRemoveComplete();
    // Watches the mount table while the program runs from a CD-ROM.
    void WatchProgramMount();
    // Stops and joins every loader, scan, read-ahead and pre-load thread and empties the cells
    // and the list, in an order where no thread reads a freed record.
    void ShutDownLoaders();
    void ShutDownDescendants();
    // Tells the failed loads of image files, whichever thread read them.
    void OnLoadFailures();
    // The ordered stop of closing; runs once, from closing or else from the destructor.
    void ShutDown();
    void SetProgramOnCdRom(int32_t onCdRom) { programOnCdRom_ = onCdRom; }
    int32_t Agreed() const { return agreed_; }
    int32_t LoadResult() const { return loadResult_; }
    int32_t AgreementMode() const { return agreementMode_; }
    uint8_t FileOpenEnabled() const { return fileOpenEnabled_; }
    // Set once the first selection was made after start-up (read by --screenshot and tests).
    int32_t StartedViewing() const { return startedEntries_ != 0 ? 1 : 0; }
    // The first selection was made and every cell of it on screen shows its frame or has
    // failed to load it. failure, where given, gets a failed cell's reason when no cell on
    // screen shows an image, and is emptied otherwise.
    bool FirstCellsLoaded(QString* failure = nullptr) const;
    // The first selection was made and leaves nothing to load: the list holds no patient, or
    // the study it showed gave no cell an image (reports alone). why gets which.
    bool NothingToShow(QString* why = nullptr) const;
    // Where a failed start-up load says so instead of its box (--screenshot); null restores
    // the box.
    using StartFailureReport = std::function<void(const QString& message)>;
    void SetStartFailureReport(StartFailureReport report) { startFailureReport_ = std::move(report); }

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
    // The question; answered gets 1 for OK, 2 for Cancel.
    void ConfirmSeriesSwitch(std::function<void(int32_t)> answered);
    void PerformSeriesSwitch();
    // Asks; once confirmed, switches and shows the recorded entry again.
    void RequestSeriesSwitch(int32_t index, const QString& studyKey, const QString& seriesKey, bool store);
    // Positions of the recorded study and series in the patient; left as they are without one.
    static void FindSelectedPositions(const SelectionRecord& record, const PatientInfo* patient, int32_t& study,
                                      int32_t& series);
    // Once the terms are accepted at start-up: the switch without a question when it can be made.
    void SwitchSeriesAtAcceptance();
    // Selects the recorded entry again; false when the record holds none.
    bool SelectRecordedEntry();
    void OnReportRequest();
    // True when the series holds an SR document to ask for; reads nothing.
    bool OpenReport(SeriesInfo* series);
    // Checks and reads the series' SR document on a worker; once it has answered, names an
    // unreadable file or fills the report dialog (hidden and shown again when show is set).
    // Replaces a request not yet answered, keeping its show.
    void RequestReport(const SeriesInfo* series, bool show);
    // Forgets the request not yet answered: its answer changes nothing.
    void DropReportRequest();
    // A report request whose worker has not answered yet.
    bool ReportPending() const { return reportJob_ != nullptr; }
    // The report dialog, made first when create is set; null before.
    XEVReportDialogLink* GetReportDialog(bool create);
    CXEVReportDlg* ReportDialog() const { return reportDialog_; }
    // Shows the report dialog again when it went with the minimised frame.
    void OnActivate(bool active);
    // 1 after a single DICOM file was opened: the series composition is not switched then.
    int32_t singleFileOpened = 0;

    // File Open, the "ModeOrvix" menu bar and the command-line path.
    // Opens the file dialog; the chosen path is opened once it is answered.
    void OnFileOpen();
    void OnUpdateFileOpen();
    // Opens a zip archive holding a DICOMDIR, a DICOMDIR or a single DICOM file in place of
    // what is shown; anything else, or an archive that cannot be imported, gives message
    // 10027, and a DICOMDIR whose load lists nothing its load's message. The medium is read on
    // a worker, a DICOMDIR walked there too; what is shown, and its loads, are touched only
    // once the worker has answered that the path is accepted.
    void OpenPath(const QString& path);
    // The path given on the command line, told apart like File Open's; what is none of the
    // three kinds goes to the DICOMDIR load, whose failure start-up reports (under
    // "ModeOrvix" with message 10027, as File Open does).
    void StartPathLoad(const QString& path);
    // An open whose worker has not answered yet.
    bool Opening() const { return opening_ != nullptr; }
    // True once closing has begun.
    bool IsShutDown() const { return shutDown_; }
    // Where the frame's failures and questions open, one box at a time.
    XEVFailureBox& FailureBox() { return *failureBox_; }
    // Stops every reader of the records and empties the list and the cells.
    void ResetViewers();
    // Another disc replaces the one shown (File Open, a drop, the command line): the old
    // disc's boxes and questions close unanswered, its queued failures and its report not yet
    // read are dropped, and what its threads tell later reaches nothing.
    void BeginDisc();
    // A path dropped on the study list: opened as File Open opens it.
    void OpenDroppedPath(const QString& path);
    void SetFileOpenEnabled(bool enabled);
    // Null without "ModeOrvix".
    QAction* FileOpenAction() const { return fileOpenAction_; }

protected:
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

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
    std::unique_ptr<XEVFailureBox> failureBox_;
    CXEVSplitterWnd* outer_ = nullptr;
    CXEVSplitterWnd* inner_ = nullptr;
    XEVStudyListAccess* listAccess_ = nullptr;
    int32_t clientCreated_ = 0;
    int32_t programOnCdRom_ = 0;
    int32_t savedShowState_ = 1;

    // Start-up and shut-down (mainframe_start.cpp)
    // Answers the cells whether the disc of the open DICOMDIR is still there.
    class MediumWatch;
    std::unique_ptr<XEVMediumWatch> mediumWatch_;
    // The disc went during the loads and was told once; a new source clears it.
    bool mediumGoneTold_ = false;
    std::unique_ptr<XEVStudyListHost> listHost_;
    QStringList startArguments_;
    QPointer<CXEVAgreeDlg> agreement_;
    XEVWindowHandle agreementHandle_;
    QSocketNotifier* mountNotifier_ = nullptr;
    int mountFd_ = -1;
    int32_t agreed_ = 0;
    int32_t loadResult_ = 0;
    int32_t agreementMode_ = 0;
    uint8_t fileOpenEnabled_ = 0;
    // The build of the list's entries whose viewing has started (0: none yet).
    uint64_t startedEntries_ = 0;
    // A path the user named (command line or File Open) went to the DICOMDIR load: a load that
    // fails, or gives records but no patient, answers message 10027.
    bool startPathUnopened_ = false;
    StartFailureReport startFailureReport_;
    bool shutDown_ = false;
    // Runs work on a worker that nobody waits for, then `then` on this thread once the worker's
    // answer comes, unless the frame has closed or a newer open replaced it. File Open is off
    // meanwhile.
    struct OpenStep;
    void RunThen(std::function<void(const std::atomic<int32_t>* stop)> work, std::function<void()> then);
    void OnOpenAnswer(uint64_t serial);
    std::shared_ptr<OpenStep> opening_;
    std::function<void()> openThen_;
    uint8_t openEnabled_ = 0;
    uint64_t openSerial_ = 0;
    // Where the open's worker answers: gone with the frame, so a late answer reaches nothing.
    XEVMessageReceiver openAnswers_;
    void StopClassification();
    // Series-composition switch and the SR report.
    SelectionRecord selection_;
    CXEVReportDlg* reportDialog_ = nullptr;
    std::shared_ptr<XEVReportDialogLink> reportLink_;
    // The report asked for last; its worker owns it too and ends on its own.
    struct ReportJob;
    std::shared_ptr<ReportJob> reportJob_;
    uint64_t reportSerial_ = 0;
    // Where the workers tell that a report was read: gone with the frame.
    XEVMessageReceiver reportAnswers_;
    void OnReportRead(uint64_t serial);

    // File Open and the menu bar.
    void SetUpMenuBar();
    // failed runs, with the check's failure, when the archive holds no DICOMDIR, cannot be
    // imported, or (unless loadRefused) gives nothing to show; the source shown is then left as
    // it was. loadRefused: with no source open, what the walk refused is loaded all the same, and
    // that load says why.
    void ImportArchive(const QString& zipPath, std::function<void(intptr_t failure)> failed, bool loadRefused);
    void LoadDicomDir(const QString& path, std::shared_ptr<XEVLoadedRecords> walked);
    // loaded: the file as File Open's check read it.
    void LoadSingleFile(const QString& path, std::shared_ptr<XEVLoadedRecords> loaded = nullptr);
    // A new source forgets the series-composition choice; a DICOMDIR also its second key.
    void ResetSelectionForOpen(bool dicomDir);
    void OpenChosenPath(const QString& path);
    QAction* fileOpenAction_ = nullptr;
    QPointer<QWidget> fileDialog_;
};
