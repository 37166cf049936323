#include <algorithm>

#include <QEnterEvent>
#include <QImage>
#include <QLabel>
#include <QMetaObject>
#include <QPalette>
#include <QResizeEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include "shell/xevbitmap.h"
#include "shell/xevbitmapbutton.h"
#include "shell/xevpatientbar.h"
#include "shell/xevsplitterwnd.h"
#include "study/xevlistformview.h"
#include "study/xevstudymodel.h"
#include "viewer/xevimageformview.h"
#include "viewer/xevimageviewctrl.h"

namespace {

constexpr int32_t kBarLeft = 10;
constexpr int32_t kBarHeight = 27;
constexpr int32_t kTreeHeight = 300;
constexpr int32_t kScrollExtra = 320;
constexpr uint16_t kBackgroundBitmap = 199;
constexpr uint16_t kMarkBitmap = 200;

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

int32_t CXEVListFormView::RestartLoading(const QString& path)
{
    ResetForLoad();
    return StartLoading(path, NewLoadReceiver());
}

int32_t CXEVListFormView::RestartFileLoading(const QString& path)
{
    ResetForLoad();
    return StartFileLoading(NewLoadReceiver(), path);
}

void CXEVListFormView::BuildEntries()
{
    const int32_t count = static_cast<int32_t>(std::min<size_t>(patients.size(), kXEVLastBarId - kXEVFirstBarId + 1));
    for (int32_t i = 0; i < count; ++i) {
        const PatientInfo& patient = *patients[size_t(i)];
        XEVPatientBarCtrl* bar = i + 1 == count ? new XEVPatientBarCtrl(XEVPatientBarCtrl::LastEntry{}, background_)
                                                : new XEVPatientBarCtrl(background_);
        bar->controlId = kXEVFirstBarId + i;
        bar->setGeometry(kBarLeft, entryTop + kBarHeight * i, 332 - kBarLeft, kBarHeight);
        bar->SetPatientInfo(patient);
        bar->doubleClickNotify = [this](int32_t id) { OnBarDoubleClick(id); };
        bar->switchRequest = [this](int32_t index) {
            if (host_ == nullptr || !host_->CanSwitchSeriesDisplay() || host_->IsSwitchLocked()) {
                return false;
            }
            // The switch rebuilds the bars, this one too: it runs once the click is handled.
            QMetaObject::invokeMethod(
                background_,
                [this, index] {
                    if (host_->IsSwitchLocked()) {
                        return;
                    }
                    if (host_->RequestSeriesSwitch(index, QString(), QString(), true)) {
                        host_->PostToMainFrame(WM_XEV_START_VIEWING, 0, 0);
                    }
                },
                Qt::QueuedConnection);
            return true;
        };
        bar->hide();
        bars_[bar->controlId] = bar;
    }
    // A patient's tree is made when it is first shown or asked for (Tree): ten thousand trees
    // made up front held the window for seconds and took most of the memory of a large disc.
    LayoutEntries(0);
}

void CXEVListFormView::DestroyEntries()
{
    for (auto& [id, tree] : trees_) {
        delete tree;
    }
    trees_.clear();
    for (auto& [id, bar] : bars_) {
        delete bar;
    }
    bars_.clear();
}

void CXEVListFormView::ShowEntries()
{
    for (auto& [id, bar] : bars_) {
        bar->show();
    }
}

void CXEVListFormView::OpenFirstEntry()
{
    if (bars_.empty()) {
        return;
    }
    XEVPatientBarCtrl* bar = bars_.begin()->second;
    QMetaObject::invokeMethod(
        bar, [bar] { bar->OnLButtonDblClk(); }, Qt::QueuedConnection);
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
    // The tree of a patient that has a bar, filled once.
    const int64_t index = int64_t(treeId) - kXEVFirstTreeId;
    PatientInfo* patient = PatientAt(index);
    if (patient == nullptr || index > int64_t(kXEVLastBarId - kXEVFirstBarId) ||
        Bar(kXEVFirstBarId + int32_t(index)) == nullptr) {
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
    return Bar(barId) != nullptr ? Tree(kXEVFirstTreeId + (barId - kXEVFirstBarId)) : nullptr;
}

PatientInfo* CXEVListFormView::PatientAt(int64_t index) const
{
    return index >= 0 && index < int64_t(patients.size()) ? patients[size_t(index)] : nullptr;
}

void CXEVListFormView::LayoutEntries(int32_t resizeScrollArea)
{
    const QSize client = viewport()->size();
    int32_t height = std::max(client.height(), background_->height());
    if (resizeScrollArea != 0) {
        scrollHeight_ = static_cast<int32_t>(bars_.size()) * kBarHeight + kScrollExtra;
        height = std::max(client.height(), scrollHeight_);
    }
    background_->resize(client.width(), height);

    int32_t y = entryTop;
    const int32_t width = client.width() - kBarLeft;
    for (auto& [id, bar] : bars_) {
        bar->setGeometry(kBarLeft, y, width, kBarHeight);
        y += kBarHeight;
        if (id == selectedEntry) {
            if (XEVStudyListCtrl* ownTree = TreeOfBar(id)) {
                ownTree->setGeometry(kBarLeft, y, width, kTreeHeight);
                ownTree->show();
            }
            bar->selected = 1;
            y += kTreeHeight;
        } else {
            if (auto tree = trees_.find(kXEVFirstTreeId + (id - kXEVFirstBarId)); tree != trees_.end()) {
                tree->second->hide();
            }
            bar->selected = 0;
        }
        bar->update();
    }
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
    case WM_XEV_VIEW_LOAD_DONE: WaitAll(); break;
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
        if (host_->RequestSeriesSwitch(int32_t(patientIndex), study->studyInstanceUid, QString(), true)) {
            host_->PostToMainFrame(WM_XEV_START_VIEWING, 0, 0);
        }
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
        if (host_->RequestSeriesSwitch(int32_t(patientIndex), study->studyInstanceUid, series->seriesInstanceUid,
                                       true)) {
            host_->PostToMainFrame(WM_XEV_START_VIEWING, 0, 0);
        }
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
    WaitAll();
    if (host_ != nullptr) {
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
    auto first = bars_.begin();
    if (first != bars_.end() && first->second->isVisible()) {
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
