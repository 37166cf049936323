#pragma once

// The study list pane: one patient bar per patient and, below the selected one, the tree of
// that patient's studies and series. It owns the patient list, starts the loads, opens
// studies, series and reports in the image area and takes dropped folders.

#include <QScrollArea>
#include <QString>
#include <QStyledItemDelegate>
#include <QTreeWidget>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "shell/xevfont.h"
#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"
#include "study/xevloadstate.h"
#include "study/xevpatientlist.h"

class CXEVBitmapButton;
class CXEVImageFormView;
class CXEVPatientView;
class CXEVStatic;
class PatientInfo;
class SeriesInfo;
class StudyInfo;
class XEVPatientBarCtrl;
class QLabel;

constexpr int32_t kXEVFirstBarId = 10001;
constexpr int32_t kXEVLastBarId = 20001;
constexpr int32_t kXEVFirstTreeId = 20002;
constexpr int32_t kXEVListBackgroundId = 1025;
constexpr int32_t kXEVListMarkId = 1026;
constexpr int32_t kXEVListButtonId = 1027;
constexpr int32_t kXEVTitlePlayCommand = 1005;

// Item data of the tree: a study item has bit 31 and its study index from bit 16; a series
// item bit 30, the study index from bit 16 (14 bits) and its series index below.
constexpr uint32_t kXEVStudyItemBit = 0x80000000u;
constexpr uint32_t kXEVSeriesItemBit = 0x40000000u;
constexpr int32_t kXEVMaxItemStudy = 0x3FFF;
constexpr int32_t kXEVMaxItemSeries = 0xFFFF;

// The SR report dialog as the study list drives it.
class XEVReportDialogLink {
public:
    virtual ~XEVReportDialogLink() = default;
    virtual bool IsShown() const = 0;
    virtual void Show() = 0;
    virtual void Close() = 0;
    // Receives WM_XEV_REPORT_TEXT.
    virtual XEVWindowHandle Handle() const = 0;
};

// What the study list reaches of the main frame, its title pane and its panes.
class XEVStudyListHost {
public:
    virtual ~XEVStudyListHost() = default;
    virtual void PostToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam lParam) = 0;
    // Null while the inner splitter has no image pane.
    virtual CXEVImageFormView* GetImageFormView() = 0;
    // Null while the outer splitter has no title pane.
    virtual CXEVPatientView* GetPatientView() = 0;
    virtual bool CanSwitchSeriesDisplay() = 0;
    virtual bool IsSwitchLocked() = 0;
    // Asks the user; once confirmed, switches the series composition and shows the entry again.
    virtual void RequestSeriesSwitch(int32_t patientIndex, const QString& studyKey, const QString& seriesKey,
                                     bool store) = 0;
    // False when the series holds no SR document. The document is checked and read when its
    // text is asked for; one that cannot be read is named then, and nothing is shown.
    virtual bool OpenReport(SeriesInfo* series) = 0;
    virtual bool HasTitlePane() = 0;
    virtual bool IsCinePlaying() = 0;
    // WM_COMMAND to the title pane.
    virtual void SendTitleCommand(int32_t command) = 0;
    virtual void EnableReportButton(bool enable) = 0;
    virtual void ClearTitleState() = 0;
    // The frame's report dialog; made first when create is set. Null when there is none.
    virtual XEVReportDialogLink* GetReportDialog(bool create) = 0;
    // The list lets its records go for another source's: what the frame keeps of the old disc
    // (boxes, questions, queued failures) goes with them. dropped: the source was dropped on
    // the list rather than opened by the frame.
    virtual void ReplacingDisc(bool dropped) { (void)dropped; }
    // Opens a dropped path as File Open does (checked first; a path refused leaves the open
    // disc as it was). False when the host leaves the drop to the list.
    virtual bool OpenDropped(const QString& path)
    {
        (void)path;
        return false;
    }
};

// A tree of one patient's studies and series.
class XEVStudyListCtrl : public QTreeWidget {
public:
    // The tree font is the settings' font 5.
    XEVStudyListCtrl(QWidget* parent, const XEVWindowHandle& notify, int32_t controlId);

    // The characters of a row's text that a row takes; past them it ends in an ellipsis.
    static constexpr qsizetype kRowTextLength = 256;

    // Adds the patient's studies and series, then makes the rows 4 pixels higher.
    void Fill(const PatientInfo& patient);
    int32_t ControlId() const { return controlId_; }
    int32_t ItemHeight() const { return itemHeight_; }
    void SetItemHeight(int32_t height);
    static uint32_t ItemData(const QTreeWidgetItem* item);
    // "2012年03月15日 CT検査" from "20120315" or "2012.03.15" and "CT"; "CT検査" without a
    // whole date.
    static QString StudyText(const StudyInfo& study);

    // Posts the study or series notification for an item's label, icon or state icon at
    // point; true when one was posted.
    bool OnLButtonDblClk(const QPoint& point);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    XEVWindowHandle notify_;
    int32_t controlId_;
    int32_t itemHeight_ = 0;
    CXEVFont font_;
};

class CXEVListFormView : public QScrollArea, public XEVPatientList, public XEVPreloadView {
public:
    CXEVListFormView(QWidget* parent, XEVStudyListHost* host);
    ~CXEVListFormView() override;

    // The background's handle: where the image area, the trees and the drop static report.
    XEVWindowHandle Handle() const;

    // Clears the records (their readers stopped first) and starts loading the DICOMDIR or
    // the single file; the end is reported to this pane. 0 when no thread could start.
    // walked: the DICOMDIR as File Open's check walked it, handed on instead of a walk.
    int32_t RestartLoading(const QString& path, std::shared_ptr<XEVLoadedRecords> walked = nullptr);
    // loaded: the file as File Open's check read it, handed on instead of a read.
    int32_t RestartFileLoading(const QString& path, std::shared_ptr<XEVLoadedRecords> loaded = nullptr);
    void BuildEntries();
    void DestroyEntries();
    void ShowEntries();
    // Counts the builds of the entries: each build is started once.
    uint64_t EntriesGeneration() const { return entriesGeneration_; }
    void OpenFirstEntry();
    void SelectEntry(int32_t barId, int32_t studyIndex, int32_t seriesIndex);
    StudyInfo* FindStudy(const std::string& key) const;
    void LayoutEntries(int32_t resizeScrollArea);
    void ShowStudy(StudyInfo* study);
    void ShowSeriesOfStudy(StudyInfo* study, SeriesInfo* series);

    // The message handlers; each answers 0.
    XEVResult OnMessage(uint32_t id, XEVWParam wParam, XEVLParam lParam);
    void OnBarDoubleClick(int32_t barId);
    // A bar's double-click: the frame's series-composition switch to its patient first.
    void OnEntryDoubleClick(int32_t barId);
    // True when the frame's switch took the double-click (it runs once the click is handled).
    bool RequestSwitchTo(int32_t patientIndex);

    const std::vector<PatientInfo*>& GetPreloadPatients() const override { return patients; }
    StudyInfo* GetCurrentStudy() const override { return currentStudy; }
    StudyInfo* GetLastSeriesStudy() const override { return lastSeriesStudy; }

    // The bar of that id while it is in view (or near it): only those are widgets.
    XEVPatientBarCtrl* Bar(int32_t barId) const;
    // Patients listed, each a bar when scrolled into view.
    int32_t EntryCount() const { return entryCount_; }
    // Once after entries are built: what the list leaves out (records past the DICOMDIR's
    // limits, patients past the bar ids), or empty.
    QString TakeListingNotice();
    // Bar widgets alive now.
    size_t BarWidgetCount() const { return bars_.size(); }
    // The patient's tree, made at the first ask; null without the patient's bar.
    XEVStudyListCtrl* Tree(int32_t treeId);
    int32_t ScrollHeight() const { return scrollHeight_; }
    CXEVStatic* Background() const { return background_; }
    QLabel* Mark() const { return mark_; }
    CXEVBitmapButton* AttachButton() const { return button_; }

    int32_t loaded = 0;
    // The result of the load that set `loaded`: the frame may see the flag before the
    // message that carries the result.
    int32_t loadResult = 0;
    int32_t scanDone = 0;
    int32_t selectedEntry = 0;
    StudyInfo* currentStudy = nullptr;
    int32_t entryTop = 10;
    StudyInfo* lastSeriesStudy = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    // Draws nothing itself (the background and the bars do), but paints under the pre-load
    // pause like every other pane.
    void paintEvent(QPaintEvent* event) override;

private:
    // Stops the pre-load, the image area's loading and every thread of the list and empties
    // the cells, so that nothing reads the records while they change.
    void StopRecordReaders();
    // After loading and the pre-load have stopped: frees the study's decoded frames.
    void ReleaseFrames(StudyInfo* study);
    void StopCine();
    void ApplyReportControl(SeriesInfo* report);
    void OnPatientsLoaded(intptr_t result);
    void OnStudyDoubleClick(XEVWParam treeId, XEVLParam data);
    void OnSeriesDoubleClick(XEVWParam treeId, XEVLParam data);
    void OnDropFiles(XEVLParam drop);
    PatientInfo* PatientAt(int64_t index) const;
    XEVStudyListCtrl* TreeOfBar(int32_t barId);
    // Top of the entry's bar in the pane; the entry whose bar or tree covers y.
    int32_t EntryTop(int32_t index) const;
    int32_t EntryAt(int32_t y) const;
    // Makes the bars in view and deletes the others, each placed and marked.
    void SyncBars();
    XEVPatientBarCtrl* MakeBar(int32_t index);
    void DestroyBars();
    // Everything a restart does before the new load starts.
    void ResetForLoad();
    // A fresh receiver per load, so that a report of an earlier load never reaches this one.
    XEVWindowHandle NewLoadReceiver();

    XEVStudyListHost* host_;
    std::map<int32_t, XEVPatientBarCtrl*> bars_;
    // Bars scrolled out of view, hidden until another entry needs one.
    std::vector<XEVPatientBarCtrl*> spareBars_;
    int32_t entryCount_ = 0;
    QString listingNotice_;
    // Set by ShowEntries: bars are made hidden until then.
    bool entriesShown_ = false;
    // Counts builds, so that a queued open of the first entry skips a later list.
    uint64_t entriesGeneration_ = 0;
    std::map<int32_t, XEVStudyListCtrl*> trees_;
    CXEVStatic* background_ = nullptr;
    QLabel* mark_ = nullptr;
    CXEVBitmapButton* button_ = nullptr;
    int32_t scrollHeight_ = 0;
    std::unique_ptr<XEVMessageReceiver> receiver_;
    std::unique_ptr<XEVMessageReceiver> loadReceiver_;
};

// The report series of a study: the first series holding an image whose record text is "SR".
SeriesInfo* XEVFindReportSeries(const StudyInfo* study);
