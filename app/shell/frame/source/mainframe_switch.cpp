// The series-composition switch: the second reading pass may compose the series differently
// (multi-frame files split, report series without text dropped); the frame offers that set
// and keeps what the user picked so that the rebuilt list selects it again.

#include "shell/mainframe.h"

#include "shell/xev_uistring.h"
#include "shell/xevcommonsettings.h"
#include "study/xevlistformview.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "viewer/xevimageformview.h"

namespace {

constexpr uint32_t kSwitchQuestion = 10023;
constexpr uint32_t kSwitchQuestionReports = 10026;

// The series of the study that holds the cell's first image.
const SeriesInfo* SeriesOfCell(const StudyInfo* study, const XEVImageViewCtrl& cell)
{
    const auto images = cell.GetImages();
    if (study == nullptr || images.empty()) {
        return nullptr;
    }
    const ImageInfo* first = images.begin()->second;
    for (const SeriesInfo* series : study->series) {
        for (const ImageInfo* image : series->images) {
            if (image == first) {
                return series;
            }
        }
    }
    return nullptr;
}

}   // namespace

void CMainFrame::SetSelectionRecord(int32_t index, const QString& studyKey, const QString& seriesKey)
{
    selection_.index = index;
    selection_.studyKey = studyKey;
    selection_.seriesKey = seriesKey;
}

void CMainFrame::ClearSelectionIndex()
{
    selection_.index = -1;
    selection_.studyKey.clear();
}

bool CMainFrame::CanSwitchSeriesDisplay()
{
    const CXEVListFormView* list = GetStudyList();
    if (singleFileOpened == 1 || list == nullptr || list->scanDone != 1) {
        return false;
    }
    const XEVCommonSettings& settings = GetCommonSettings();
    if (settings.ModeUnsupportSRDelList == 1 && list->scanSRResult.load() == 1) {
        return true;
    }
    return list->frameCountsKnown.load() == 0 && settings.ModeMultiFrameRead == 1 && list->perFrameSplit.load() == 1;
}

bool CMainFrame::IsSwitchLocked()
{
    return selection_.switchFlag != 0;
}

void CMainFrame::ConfirmSeriesSwitch(std::function<void(int32_t)> answered)
{
    const XEVCommonSettings& settings = GetCommonSettings();
    const uint32_t id = settings.ModeMultiFrameRead == 0 && settings.ModeUnsupportSRDelList != 0
                            ? kSwitchQuestionReports
                            : kSwitchQuestion;
    XEVAskOkCancel(this, GetMessageString(id), std::move(answered));
}

void CMainFrame::PerformSeriesSwitch()
{
    // The pre-load walks the records deleted below; stop and join it first, as closing does.
    GetLoadState().HaltPreload();
    if (CXEVImageFormView* form = GetImageFormView()) {
        form->StopLoading();
        form->ClearAllViews();
    }
    if (CXEVListFormView* list = GetStudyList()) {
        list->StopReadAhead();
        // The scan came after the loader: its thread is only returning.
        list->JoinRun();
        list->DeletePatients();
        list->SwapRecordSets();
        list->DestroyEntries();
        list->BuildEntries();
        list->currentStudy = nullptr;
        // It pointed into the deleted set, and the pre-load reads it.
        list->lastSeriesStudy = nullptr;
    }
    GetLoadState().singlePatientStudy = 1;
}

void CMainFrame::RequestSeriesSwitch(int32_t index, const QString& studyKey, const QString& seriesKey, bool store)
{
    // The flag keeps a second question away while this one waits for its answer.
    selection_.switchFlag = 1;
    if (store) {
        SetSelectionRecord(index, studyKey, seriesKey);
    }
    // Answered later, from the box: nothing of the caller's is reached then, and an answer
    // that comes once another disc is shown acts on nothing.
    const uint64_t disc = GetLoadState().CurrentDisc();
    ConfirmSeriesSwitch([this, disc](int32_t answer) {
        if (shutDown_ || disc != GetLoadState().CurrentDisc()) {
            return;
        }
        if (answer == 1) {
            PerformSeriesSwitch();
            // The rebuilt list selects the recorded entry again and gives the cells the new series.
            PostToMainFrame(WM_XEV_START_VIEWING, 0, 0);
            return;
        }
        if (CXEVListFormView* list = GetStudyList()) {
            list->DeleteExtraRecords();
        }
    });
}

void CMainFrame::RequestSeriesSwitch(XEVImageViewCtrl& cell)
{
    CXEVListFormView* list = GetStudyList();
    if (list == nullptr) {
        return;
    }
    const StudyInfo* study = list->currentStudy != nullptr ? list->currentStudy : list->lastSeriesStudy;
    const SeriesInfo* series = SeriesOfCell(study, cell);
    RequestSeriesSwitch(list->selectedEntry - kXEVFirstBarId, study != nullptr ? study->studyInstanceUid : QString(),
                        series != nullptr ? series->seriesInstanceUid : QString(), true);
}

void CMainFrame::FindSelectedPositions(const SelectionRecord& record, const PatientInfo* patient, int32_t& study,
                                       int32_t& series)
{
    if (patient == nullptr) {
        return;
    }
    study = -1;
    series = -1;
    for (size_t i = 0; i < patient->studies.size(); ++i) {
        const StudyInfo* candidate = patient->studies[i];
        if (candidate->studyInstanceUid != record.studyKey) {
            continue;
        }
        study = int32_t(i);
        for (size_t j = 0; j < candidate->series.size(); ++j) {
            if (candidate->series[j]->seriesInstanceUid == record.seriesKey) {
                series = int32_t(j);
                break;
            }
        }
        return;
    }
}

bool CMainFrame::SelectRecordedEntry()
{
    CXEVListFormView* list = GetStudyList();
    if (list == nullptr || selection_.index < 0) {
        return false;
    }
    int32_t study = -1;
    int32_t series = -1;
    FindSelectedPositions(selection_, list->GetPatient(selection_.index), study, series);
    list->SelectEntry(kXEVFirstBarId + selection_.index, study, series);
    return true;
}

void CMainFrame::SwitchSeriesAtAcceptance()
{
    if (CanSwitchSeriesDisplay()) {
        selection_.switchFlag = 1;
        PerformSeriesSwitch();
    }
}
