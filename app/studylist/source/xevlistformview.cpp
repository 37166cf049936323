#include <algorithm>
#include <utility>

#include <QEnterEvent>
#include <QImage>
#include <QLabel>
#include <QMetaObject>
#include <QPalette>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStringList>
#include <QWheelEvent>

#include "shell/xev_uistring.h"
#include "shell/xevbitmap.h"
#include "shell/xevbitmapbutton.h"
#include "shell/xevpatientbar.h"
#include "shell/xevsplitterwnd.h"
#include "study/xevlistformview.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "viewer/xevimageformview.h"
#include "viewer/xevimageviewctrl.h"

namespace {

constexpr int32_t kBarLeft = 10;
constexpr int32_t kBarHeight = 27;
constexpr int32_t kTreeHeight = 300;
constexpr int32_t kScrollExtra = 320;
// Bars kept as widgets above and below the view, so that a step of the wheel finds them made.
constexpr int32_t kBarsBeyondView = 2;
constexpr uint16_t kBackgroundBitmap = 199;
constexpr uint16_t kMarkBitmap = 200;
constexpr uint32_t kDicomDirCutMessage = 10040;
constexpr uint32_t kRecordLimitMessage = 10042;
constexpr uint32_t kMemoryLimitMessage = 10043;
constexpr uint32_t kPatientsCutMessage = 10041;

}   // namespace

SeriesInfo* XEVFindReportSeries(const StudyInfo* study)
{
    if (study == nullptr) {
        return nullptr;
    }
    for (SeriesInfo* series : study->series) {
        for (const ImageInfo* image : series->images) {
            if (image->sopInstanceUid == u"SR") {
                return series;
            }
        }
    }
    return nullptr;
}

CXEVListFormView::CXEVListFormView(QWidget* parent, XEVStudyListHost* host)
    : QScrollArea(parent), host_(host), receiver_(std::make_unique<XEVMessageReceiver>())
{
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWidgetResizable(false);
    setFocusPolicy(Qt::WheelFocus);

    for (uint32_t id : {WM_XEV_IMAGE_LOADED, WM_XEV_VIEW_LOAD_DONE, WM_XEV_SELECT_PATIENT, WM_XEV_STUDY_DBLCLK,
                        WM_XEV_SERIES_ITEM_DBLCLK, WM_XEV_DROPFILES}) {
        receiver_->SetHandler(id, [this, id](XEVWParam w, XEVLParam l) { return OnMessage(id, w, l); });
    }

    background_ = new CXEVStatic(nullptr, receiver_->Handle());
    background_->setObjectName(QStringLiteral("1025"));
    // The art sits at the top, unscaled; below it the pane is filled with its colour. Large
    // pixmap draws and conversions run on Qt's own thread pool, so the art stays small.
    const QImage art = CXEVBitmap(kBackgroundBitmap).Pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    QPalette palette = background_->palette();
    palette.setColor(QPalette::Window,
                     art.isNull() ? QColor(234, 237, 242) : art.pixelColor(art.width() / 2, art.height() - 1));
    background_->setPalette(palette);
    background_->setAutoFillBackground(true);
    background_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    background_->setPixmap(QPixmap::fromImage(art));
    background_->setAcceptDrops(true);
    setWidget(background_);

    const CXEVBitmap markBitmap(kMarkBitmap);
    mark_ = new QLabel(background_);
    mark_->setPixmap(markBitmap.Pixmap());
    mark_->resize(markBitmap.Width(), markBitmap.Height());
    mark_->hide();
    button_ = new CXEVBitmapButton(background_);
    button_->SetCaption(QStringLiteral("添付ファイル"));
    button_->hide();
    QObject::connect(verticalScrollBar(), &QScrollBar::valueChanged, background_, [this] { SyncBars(); });
    LayoutEntries(0);
}

CXEVListFormView::~CXEVListFormView()
{
    // The pre-load and the list's threads read the records the bases delete.
    StopPreloadOf(this);
    StopThreads();
    DestroyEntries();
}

XEVWindowHandle CXEVListFormView::Handle() const
{
    return receiver_->Handle();
}

XEVWindowHandle CXEVListFormView::NewLoadReceiver()
{
    loadReceiver_ = std::make_unique<XEVMessageReceiver>();
    loadReceiver_->SetHandler(WM_XEV_PATIENTS_LOADED,
                              [this](XEVWParam w, XEVLParam l) { return OnMessage(WM_XEV_PATIENTS_LOADED, w, l); });
    loadReceiver_->SetHandler(WM_XEV_SCAN_DONE,
                              [this](XEVWParam w, XEVLParam l) { return OnMessage(WM_XEV_SCAN_DONE, w, l); });
    return loadReceiver_->Handle();
}

void CXEVListFormView::StopRecordReaders()
{
    StopPreloadOf(this);
    if (host_ != nullptr) {
        if (CXEVImageFormView* form = host_->GetImageFormView()) {
            // The cells keep the images' addresses.
            form->StopLoading();
            form->ClearAllViews();
        }
    }
    StopThreads();
}

void CXEVListFormView::ResetForLoad()
{
    if (host_ != nullptr) {
        host_->ReplacingDisc(false);
    }
    StopRecordReaders();
    loaded = 0;
    loadResult = 0;
    scanDone = 0;
    DestroyEntries();
    Clear();
    currentStudy = nullptr;
    lastSeriesStudy = nullptr;
    update();
}

int32_t CXEVListFormView::RestartLoading(const QString& path, std::shared_ptr<XEVLoadedRecords> walked)
{
    ResetForLoad();
    return StartLoading(path, NewLoadReceiver(), std::move(walked));
}

int32_t CXEVListFormView::RestartFileLoading(const QString& path, std::shared_ptr<XEVLoadedRecords> loaded)
{
    ResetForLoad();
    return StartFileLoading(NewLoadReceiver(), path, std::move(loaded));
}

void CXEVListFormView::BuildEntries()
{
    DestroyBars();
    // The bars' ids end at kXEVLastBarId: the patients after them are not listed.
    const size_t barIds = kXEVLastBarId - kXEVFirstBarId + 1;
    entryCount_ = static_cast<int32_t>(std::min<size_t>(patients.size(), barIds));
    QStringList notices;
    const int32_t cut = dicomDirCut.load();
    if ((cut & ~kXEVDicomDirLinks) != 0) {
        // The limits the read met, each in its own words.
        QStringList limits;
        if ((cut & kXEVDicomDirCutRecords) != 0) {
            limits.push_back(GetMessageString(kRecordLimitMessage).arg(kXEVDicomDirRecordLimit));
        }
        if ((cut & kXEVDicomDirCutMemory) != 0) {
            limits.push_back(GetMessageString(kMemoryLimitMessage).arg(XEVDicomDirMemoryBudget() >> 20));
        }
        notices.push_back(GetMessageString(kDicomDirCutMessage).arg(limits.join(u'\n')));
    }
    for (const uint32_t message : XEVLinkMessages(cut)) {
        notices.push_back(GetMessageString(message));
    }
    if (patients.size() > barIds) {
        notices.push_back(GetMessageString(kPatientsCutMessage).arg(barIds));
    }
    listingNotice_ = notices.join(QStringLiteral("\n\n"));
    entriesShown_ = false;
    ++entriesGeneration_;
    // A patient's tree is made when it is first shown or asked for (Tree): ten thousand trees
    // made up front held the window for seconds and took most of the memory of a large disc.
    LayoutEntries(0);
}

QString CXEVListFormView::TakeListingNotice()
{
    return std::exchange(listingNotice_, QString());
}

void CXEVListFormView::DestroyBars()
{
    for (auto& [id, bar] : bars_) {
        delete bar;
    }
    bars_.clear();
    for (XEVPatientBarCtrl* bar : spareBars_) {
        delete bar;
    }
    spareBars_.clear();
}

void CXEVListFormView::DestroyEntries()
{
    for (auto& [id, tree] : trees_) {
        delete tree;
    }
    trees_.clear();
    DestroyBars();
    entryCount_ = 0;
    entriesShown_ = false;
    ++entriesGeneration_;
}

void CXEVListFormView::ShowEntries()
{
    entriesShown_ = true;
    for (auto& [id, bar] : bars_) {
        bar->show();
    }
}

void CXEVListFormView::OpenFirstEntry()
{
    if (entryCount_ == 0) {
        return;
    }
    // As a double-click on the first bar would; not once the entries were built again.
    const uint64_t generation = entriesGeneration_;
    QMetaObject::invokeMethod(
        background_,
        [this, generation] {
            if (generation == entriesGeneration_ && entryCount_ > 0) {
                OnEntryDoubleClick(kXEVFirstBarId);
            }
        },
        Qt::QueuedConnection);
}

bool CXEVListFormView::RequestSwitchTo(int32_t patientIndex)
{
    if (host_ == nullptr || !host_->CanSwitchSeriesDisplay() || host_->IsSwitchLocked()) {
        return false;
    }
    // The switch rebuilds the entries: it runs once the click is handled.
    QMetaObject::invokeMethod(
        background_,
        [this, patientIndex] {
            if (host_->IsSwitchLocked()) {
                return;
            }
            host_->RequestSeriesSwitch(patientIndex, QString(), QString(), true);
        },
        Qt::QueuedConnection);
    return true;
}

void CXEVListFormView::OnEntryDoubleClick(int32_t barId)
{
    if (!RequestSwitchTo(barId - kXEVFirstBarId)) {
        OnBarDoubleClick(barId);
    }
}

XEVPatientBarCtrl* CXEVListFormView::Bar(int32_t barId) const
{
    auto it = bars_.find(barId);
    return it != bars_.end() ? it->second : nullptr;
}

XEVStudyListCtrl* CXEVListFormView::Tree(int32_t treeId)
{
    if (auto it = trees_.find(treeId); it != trees_.end()) {
        return it->second;
    }
    // The tree of a patient that has an entry, filled once.
    const int64_t index = int64_t(treeId) - kXEVFirstTreeId;
    PatientInfo* patient = PatientAt(index);
    if (patient == nullptr || index >= entryCount_) {
        return nullptr;
    }
    auto* tree = new XEVStudyListCtrl(background_, receiver_->Handle(), treeId);
    tree->Fill(*patient);
    tree->hide();
    trees_[treeId] = tree;
    return tree;
}

XEVStudyListCtrl* CXEVListFormView::TreeOfBar(int32_t barId)
{
    // Bar and tree of one patient share its index.
    const int64_t index = int64_t(barId) - kXEVFirstBarId;
    return index >= 0 && index < entryCount_ ? Tree(kXEVFirstTreeId + int32_t(index)) : nullptr;
}

PatientInfo* CXEVListFormView::PatientAt(int64_t index) const
{
    return index >= 0 && index < int64_t(patients.size()) ? patients[size_t(index)] : nullptr;
}

int32_t CXEVListFormView::EntryTop(int32_t index) const
{
    const int32_t selected = selectedEntry - kXEVFirstBarId;
    const bool belowTree = selected >= 0 && selected < entryCount_ && index > selected;
    return entryTop + kBarHeight * index + (belowTree ? kTreeHeight : 0);
}

int32_t CXEVListFormView::EntryAt(int32_t y) const
{
    const int32_t selected = selectedEntry - kXEVFirstBarId;
    int32_t offset = y - entryTop;
    if (selected >= 0 && selected < entryCount_ && offset >= kBarHeight * (selected + 1)) {
        // Inside or below the open tree.
        offset = std::max(offset - kTreeHeight, kBarHeight * (selected + 1));
    }
    return std::clamp(offset < 0 ? 0 : offset / kBarHeight, 0, std::max(entryCount_ - 1, 0));
}

void CXEVListFormView::SyncBars()
{
    // Only the bars in view are widgets: every repaint of the pane walks the shown siblings,
    // and ten thousand of them held each click for seconds.
    if (entryCount_ == 0) {
        DestroyBars();
        return;
    }
    const int32_t top = verticalScrollBar()->value();
    const int32_t first = std::max(EntryAt(top) - kBarsBeyondView, 0);
    const int32_t last = std::min(EntryAt(top + viewport()->height()) + kBarsBeyondView, entryCount_ - 1);
    for (auto it = bars_.begin(); it != bars_.end();) {
        const int32_t index = it->first - kXEVFirstBarId;
        if (index < first || index > last) {
            // Kept for the next entry that comes into view: the bar may also be the one whose
            // double-click is being handled.
            it->second->hide();
            spareBars_.push_back(it->second);
            it = bars_.erase(it);
        } else {
            ++it;
        }
    }
    // A pane that was taller once keeps no more than a few: the rest go once the event that
    // moved the bars is handled.
    while (spareBars_.size() > size_t(2 * kBarsBeyondView)) {
        spareBars_.back()->deleteLater();
        spareBars_.pop_back();
    }
    const int32_t width = viewport()->width() - kBarLeft;
    for (int32_t index = first; index <= last; ++index) {
        const int32_t id = kXEVFirstBarId + index;
        XEVPatientBarCtrl*& bar = bars_[id];
        if (bar == nullptr) {
            bar = MakeBar(index);
        }
        bar->setGeometry(kBarLeft, EntryTop(index), width, kBarHeight);
        bar->selected = id == selectedEntry ? 1 : 0;
        bar->setVisible(entriesShown_);
        bar->update();
    }
}

XEVPatientBarCtrl* CXEVListFormView::MakeBar(int32_t index)
{
    XEVPatientBarCtrl* bar = nullptr;
    if (!spareBars_.empty()) {
        bar = spareBars_.back();
        spareBars_.pop_back();
        bar->SetLastEntry(index + 1 == entryCount_);
    } else {
        bar = index + 1 == entryCount_ ? new XEVPatientBarCtrl(XEVPatientBarCtrl::LastEntry{}, background_)
                                       : new XEVPatientBarCtrl(background_);
    }
    bar->controlId = kXEVFirstBarId + index;
    bar->SetPatientInfo(*patients[size_t(index)]);
    bar->switchRequest = [this](int32_t patientIndex) { return RequestSwitchTo(patientIndex); };
    bar->doubleClickNotify = [this](int32_t id) { OnBarDoubleClick(id); };
    return bar;
}

void CXEVListFormView::LayoutEntries(int32_t resizeScrollArea)
{
    const QSize client = viewport()->size();
    int32_t height = std::max(client.height(), background_->height());
    if (resizeScrollArea != 0) {
        scrollHeight_ = entryCount_ * kBarHeight + kScrollExtra;
        height = std::max(client.height(), scrollHeight_);
    }
    background_->resize(client.width(), height);

    const int32_t width = client.width() - kBarLeft;
    const int32_t selected = selectedEntry - kXEVFirstBarId;
    for (auto& [id, tree] : trees_) {
        if (id - kXEVFirstTreeId != selected) {
            tree->hide();
        }
    }
    if (selected >= 0 && selected < entryCount_) {
        if (XEVStudyListCtrl* ownTree = TreeOfBar(selectedEntry)) {
            ownTree->setGeometry(kBarLeft, EntryTop(selected) + kBarHeight, width, kTreeHeight);
            ownTree->show();
        }
    }
    SyncBars();
    update();
    viewport()->update();
}

void CXEVListFormView::SelectEntry(int32_t barId, int32_t studyIndex, int32_t seriesIndex)
{
    PatientInfo* patient = PatientAt(int64_t(barId) - kXEVFirstBarId);
    XEVStudyListCtrl* tree = TreeOfBar(barId);
    if (patient == nullptr || tree == nullptr) {
        return;
    }
    currentStudy = nullptr;
    selectedEntry = barId;
    LayoutEntries(1);

    if (QTreeWidgetItem* first = tree->topLevelItem(0)) {
        tree->setCurrentItem(first);
        first->setExpanded(true);
    }
    if (QTreeWidgetItem* study = tree->topLevelItem(studyIndex)) {
        tree->setCurrentItem(study);
        study->setExpanded(true);
        if (seriesIndex >= 0) {
            if (QTreeWidgetItem* series = study->child(seriesIndex)) {
                tree->setCurrentItem(series);
                series->setExpanded(true);
            }
        }
    }

    const int32_t index = studyIndex < 0 ? 0 : studyIndex;
    if (index < int32_t(patient->studies.size())) {
        StudyInfo* study = patient->studies[size_t(index)];
        if (seriesIndex < 0) {
            ShowStudy(study);
        } else if (seriesIndex < int32_t(study->series.size())) {
            ShowSeriesOfStudy(study, study->series[size_t(seriesIndex)]);
        }
    }
    update();
    repaint();
}

StudyInfo* CXEVListFormView::FindStudy(const std::string& key) const
{
    for (const PatientInfo* patient : patients) {
        for (StudyInfo* study : patient->studies) {
            if (study->studyInstanceUid.toLocal8Bit().toStdString() == key) {
                return study;
            }
        }
    }
    return nullptr;
}

void CXEVListFormView::StopCine()
{
    if (host_ != nullptr && host_->HasTitlePane() && host_->IsCinePlaying()) {
        host_->SendTitleCommand(kXEVTitlePlayCommand);
    }
}

void CXEVListFormView::ReleaseFrames(StudyInfo* study)
{
    // Nothing may decode into or read the frames while they go; each helper is deleted
    // under its image's lock.
    StopPreloadOf(this);
    study->FreeImageHelpers();
}

void CXEVListFormView::ShowStudy(StudyInfo* study)
{
    StopCine();
    CXEVImageFormView* form = host_ != nullptr ? host_->GetImageFormView() : nullptr;
    if (form != nullptr) {
        form->StopLoading();
        if (currentStudy != nullptr) {
            ReleaseFrames(currentStudy);
            currentStudy = nullptr;
        }
        GetLoadState().memoryShortStudy = 0;
        form->ShowFitted(study);
    }
    currentStudy = study;
    update();
}

void CXEVListFormView::ShowSeriesOfStudy(StudyInfo* study, SeriesInfo* series)
{
    StopCine();
    CXEVImageFormView* form = host_ != nullptr ? host_->GetImageFormView() : nullptr;
    if (form != nullptr) {
        form->StopLoading();
        if (currentStudy != nullptr && (currentStudy != study || !XEVRunMemoryTest())) {
            ReleaseFrames(currentStudy);
            currentStudy = nullptr;
        }
        form->ShowSeries(series);
    }
    update();
}

void CXEVListFormView::ApplyReportControl(SeriesInfo* report)
{
    if (host_ == nullptr) {
        return;
    }
    if (host_->HasTitlePane()) {
        host_->EnableReportButton(report != nullptr);
    }
    XEVReportDialogLink* dialog = host_->GetReportDialog(false);
    if (dialog != nullptr && dialog->IsShown()) {
        if (report != nullptr) {
            XEVSendMessage(dialog->Handle(), WM_XEV_REPORT_TEXT, 0, reinterpret_cast<XEVLParam>(report));
        } else {
            dialog->Close();
        }
    }
}

XEVResult CXEVListFormView::OnMessage(uint32_t id, XEVWParam wParam, XEVLParam lParam)
{
    switch (id) {
    case WM_XEV_PATIENTS_LOADED: OnPatientsLoaded(static_cast<intptr_t>(wParam)); break;
    case WM_XEV_SCAN_DONE: scanDone = 1; break;
    // Only loaders that have ended are joined: one let go may still be in a read.
    case WM_XEV_VIEW_LOAD_DONE: ReapEnded(); break;
    case WM_XEV_SELECT_PATIENT: {
        // Posted: a restart in between may have deleted the patient.
        auto* patient = reinterpret_cast<PatientInfo*>(wParam);
        if (patient != nullptr && std::find(patients.begin(), patients.end(), patient) != patients.end()) {
            ShowStudy(patient->studies.empty() ? nullptr : patient->studies.front());
        }
        break;
    }
    case WM_XEV_STUDY_DBLCLK: OnStudyDoubleClick(wParam, lParam); break;
    case WM_XEV_SERIES_ITEM_DBLCLK: OnSeriesDoubleClick(wParam, lParam); break;
    case WM_XEV_DROPFILES: OnDropFiles(lParam); break;
    default: break;
    }
    return 0;
}

void CXEVListFormView::OnPatientsLoaded(intptr_t result)
{
    if (result == 0) {
        BuildEntries();
        StartReadAhead();
    }
    loadResult = int32_t(result);
    loaded = 1;
    if (host_ != nullptr) {
        host_->PostToMainFrame(WM_XEV_START_VIEWING, XEVWParam(result), 0);
    }
}

void CXEVListFormView::OnBarDoubleClick(int32_t barId)
{
    GetLoadState().HaltPreload();
    selectedEntry = barId;
    if (PatientInfo* patient = PatientAt(int64_t(barId) - kXEVFirstBarId)) {
        if (host_ != nullptr) {
            if (CXEVPatientView* view = host_->GetPatientView()) {
                view->SetPatientInfo(*patient);
            }
        }
        XEVPostMessage(receiver_->Handle(), WM_XEV_SELECT_PATIENT, reinterpret_cast<XEVWParam>(patient), 0);
        ApplyReportControl(XEVFindReportSeries(patient->studies.empty() ? nullptr : patient->studies.front()));
    }
    LayoutEntries(1);
    if (XEVStudyListCtrl* tree = TreeOfBar(barId)) {
        if (QTreeWidgetItem* root = tree->topLevelItem(0)) {
            tree->setCurrentItem(root);
            root->setExpanded(true);
        }
    }
}

void CXEVListFormView::OnStudyDoubleClick(XEVWParam treeId, XEVLParam data)
{
    GetLoadState().HaltPreload();
    const int64_t patientIndex = int64_t(treeId) - kXEVFirstTreeId;
    PatientInfo* patient = PatientAt(patientIndex);
    const int64_t studyIndex = int64_t(uint32_t(data) >> 16);
    if (patient == nullptr || studyIndex >= int64_t(patient->studies.size())) {
        return;
    }
    StudyInfo* study = patient->studies[size_t(studyIndex)];
    if (host_ != nullptr && host_->CanSwitchSeriesDisplay() && !host_->IsSwitchLocked()) {
        host_->RequestSeriesSwitch(int32_t(patientIndex), study->studyInstanceUid, QString(), true);
        return;
    }
    ShowStudy(study);
    ApplyReportControl(XEVFindReportSeries(study));
}

void CXEVListFormView::OnSeriesDoubleClick(XEVWParam treeId, XEVLParam data)
{
    GetLoadState().HaltPreload();
    const int64_t patientIndex = int64_t(treeId) - kXEVFirstTreeId;
    PatientInfo* patient = PatientAt(patientIndex);
    const int64_t studyIndex = int64_t((uint32_t(data) >> 16) & kXEVMaxItemStudy);
    if (patient == nullptr || studyIndex >= int64_t(patient->studies.size())) {
        return;
    }
    StudyInfo* study = patient->studies[size_t(studyIndex)];
    lastSeriesStudy = study;
    const int64_t seriesIndex = int64_t(uint32_t(data) & kXEVMaxItemSeries);
    if (seriesIndex >= int64_t(study->series.size())) {
        return;
    }
    SeriesInfo* series = study->series[size_t(seriesIndex)];
    if (host_ != nullptr && host_->CanSwitchSeriesDisplay() && !host_->IsSwitchLocked()) {
        host_->RequestSeriesSwitch(int32_t(patientIndex), study->studyInstanceUid, series->seriesInstanceUid, true);
        return;
    }
    if (series->modality != u"SR") {
        if (host_ != nullptr) {
            XEVReportDialogLink* dialog = host_->GetReportDialog(false);
            if (dialog != nullptr && dialog->IsShown()) {
                dialog->Close();
            }
        }
        ShowSeriesOfStudy(study, series);
        return;
    }
    if (host_ == nullptr || !host_->OpenReport(series)) {
        return;
    }
    XEVReportDialogLink* dialog = host_->GetReportDialog(true);
    if (dialog != nullptr) {
        dialog->Show();
        XEVSendMessage(dialog->Handle(), WM_XEV_REPORT_TEXT, 0, reinterpret_cast<XEVLParam>(series));
    }
    ApplyReportControl(XEVFindReportSeries(study));
}

void CXEVListFormView::OnDropFiles(XEVLParam lParam)
{
    auto* drop = reinterpret_cast<XEVDropFiles*>(lParam);
    if (drop == nullptr) {
        return;
    }
    // The whole path: a cut one would open another folder.
    const QString path = drop->paths.isEmpty() ? QString() : drop->paths.front();
    drop->finished = true;
    if (host_ != nullptr && host_->OpenDropped(path)) {
        return;
    }
    // The loaders are let go with the list's records below, never waited for.
    if (host_ != nullptr) {
        host_->ReplacingDisc(true);
        host_->ClearTitleState();
        if (CXEVImageFormView* form = host_->GetImageFormView()) {
            form->StopLoading();
            form->ClearAllViews();
        }
    }
    selectedEntry = 0;
    GetLoadState().memoryShortStudy = 0;
    RestartLoading(path);
}

void CXEVListFormView::resizeEvent(QResizeEvent* event)
{
    QScrollArea::resizeEvent(event);
    if (entriesShown_ && entryCount_ > 0) {
        LayoutEntries(1);
        return;
    }
    // With no entries shown (nothing loaded, or a load that failed) the background still
    // fills the pane.
    const QSize client = viewport()->size();
    background_->resize(client.width(), std::max(client.height(), background_->height()));
}

void CXEVListFormView::wheelEvent(QWheelEvent* event)
{
    verticalScrollBar()->triggerAction(event->angleDelta().y() >= 0 ? QAbstractSlider::SliderSingleStepSub
                                                                    : QAbstractSlider::SliderSingleStepAdd);
    event->accept();
}

void CXEVListFormView::enterEvent(QEnterEvent* event)
{
    // The wheel reaches the pane only while it has the focus.
    setFocus(Qt::MouseFocusReason);
    QScrollArea::enterEvent(event);
}

void CXEVListFormView::paintEvent(QPaintEvent*)
{
    XEVLoadState& state = GetLoadState();
    state.BeginPaint();
    state.EndPaint();
}
