#include <gtest/gtest.h>

#include <algorithm>

#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTemporaryDir>

#include "shell/xevbitmapbutton.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevpatientbar.h"
#include "shell/xevsplitterwnd.h"
#include "study/xevlistformview.h"
#include "testsupport/gridtestsupport.h"
#include "testsupport/qtguitestapp.h"

namespace {

const QString kDiscs = QStringLiteral(STUDYLIST_DISC_DIR);

// Stands for the main frame, its title pane and its report dialog.
class ListHostRecorder : public XEVStudyListHost, public XEVReportDialogLink {
public:
    ListHostRecorder()
    {
        dialogReceiver.SetHandler(WM_XEV_REPORT_TEXT, [this](XEVWParam, XEVLParam l) {
            reportTexts.push_back(reinterpret_cast<SeriesInfo*>(l));
            return XEVResult(0);
        });
    }
    void PostToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam) override { posted.push_back({id, wParam, 0}); }
    CXEVImageFormView* GetImageFormView() override { return form; }
    CXEVPatientView* GetPatientView() override { return patientView; }
    bool CanSwitchSeriesDisplay() override { return false; }
    bool IsSwitchLocked() override { return false; }
    void RequestSeriesSwitch(int32_t, const QString&, const QString&, bool) override {}
    bool OpenReport(SeriesInfo* series) override
    {
        reportsOpened.push_back(series);
        return true;
    }
    bool HasTitlePane() override { return true; }
    bool IsCinePlaying() override { return false; }
    void SendTitleCommand(int32_t) override {}
    void EnableReportButton(bool enable) override { reportButton.push_back(enable); }
    void ClearTitleState() override { ++titleCleared; }
    XEVReportDialogLink* GetReportDialog(bool create) override
    {
        dialogMade = dialogMade || create;
        return dialogMade ? this : nullptr;
    }
    bool IsShown() const override { return shown; }
    void Show() override { shown = true; }
    void Close() override
    {
        shown = false;
        ++closed;
    }
    XEVWindowHandle Handle() const override { return dialogReceiver.Handle(); }

    int Posted(uint32_t id, intptr_t wParam) const
    {
        return int(std::count_if(posted.begin(), posted.end(),
                                 [&](const CellMessage& m) { return m.id == id && intptr_t(m.wParam) == wParam; }));
    }

    CXEVImageFormView* form = nullptr;
    CXEVPatientView* patientView = nullptr;
    std::vector<CellMessage> posted;
    std::vector<SeriesInfo*> reportsOpened;
    std::vector<bool> reportButton;
    int titleCleared = 0;
    bool dialogMade = false;
    XEVMessageReceiver dialogReceiver;
    bool shown = false;
    int closed = 0;
    std::vector<SeriesInfo*> reportTexts;
};

PatientInfo* MakePatient(const std::vector<std::pair<const char*, std::vector<const char*>>>& studies)
{
    auto* patient = new PatientInfo;
    patient->nameIdeographic = QStringLiteral("PATIENT");
    for (const auto& [date, series] : studies) {
        auto* study = new StudyInfo;
        study->studyDate = QString::fromUtf8(date);
        study->modalities = QStringLiteral("CT");
        for (const char* description : series) {
            auto* s = new SeriesInfo;
            s->description = QString::fromUtf8(description);
            study->series.push_back(s);
        }
        patient->studies.push_back(study);
    }
    return patient;
}

class ListPaneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        XEVSetMemoryTest(&AlwaysEnoughMemory);
        pane = std::make_unique<CXEVListFormView>(nullptr, &host);
        pane->resize(332, 700);
        pane->show();
        Pump();
    }
    void TearDown() override
    {
        // The cells hold the images' addresses: the image area goes before the records.
        host.form = nullptr;
        form.reset();
        pane.reset();
        XEVSetMemoryTest(nullptr);
        GetLoadState().memoryShortStudy = 0;
    }
    void AddPatients(int count)
    {
        for (int i = 0; i < count; ++i) {
            pane->patients.push_back(MakePatient({{"20120315", {"AX", "COR"}}}));
        }
        pane->BuildEntries();
        pane->ShowEntries();
    }
    void UseImageArea()
    {
        form = std::make_unique<CXEVImageFormView>(nullptr, &gridHost);
        form->resize(600, 600);
        form->show();
        host.form = form.get();
        Pump();
    }
    int ClientWidth() const { return pane->viewport()->width(); }

    ListHostRecorder host;
    HostRecorder gridHost;
    std::unique_ptr<CXEVImageFormView> form;
    std::unique_ptr<CXEVListFormView> pane;
};

TEST_F(ListPaneTest, BarsAndTheSelectedTreeStackFromTheTop)
{
    AddPatients(1);
    pane->SelectEntry(kXEVFirstBarId, 0, -1);
    const int width = ClientWidth() - 10;
    EXPECT_EQ(pane->Bar(10001)->geometry(), QRect(10, 10, width, 27));
    EXPECT_EQ(pane->Tree(20002)->geometry(), QRect(10, 37, width, 300));
    EXPECT_TRUE(pane->Tree(20002)->isVisible());
    EXPECT_EQ(pane->Bar(10001)->selected, 1);
    EXPECT_EQ(pane->ScrollHeight(), 347);
    // The mark and the attachment button stay hidden.
    EXPECT_FALSE(pane->Mark()->isVisible());
    EXPECT_FALSE(pane->AttachButton()->isVisible());
}

TEST_F(ListPaneTest, SecondOfThreeSelectedPushesTheThirdBarBelowItsTree)
{
    AddPatients(3);
    pane->OnBarDoubleClick(10002);
    EXPECT_EQ(pane->Bar(10001)->y(), 10);
    EXPECT_EQ(pane->Bar(10002)->y(), 37);
    EXPECT_EQ(pane->Tree(20003)->y(), 64);
    EXPECT_EQ(pane->Bar(10003)->y(), 364);
    EXPECT_FALSE(pane->Tree(20002)->isVisible());
    EXPECT_FALSE(pane->Tree(20004)->isVisible());
    EXPECT_EQ(pane->Bar(10001)->selected + pane->Bar(10003)->selected, 0);
    EXPECT_EQ(pane->ScrollHeight(), 3 * 27 + 320);
    // The root study of the opened patient is selected and expanded.
    QTreeWidgetItem* root = pane->Tree(20003)->topLevelItem(0);
    EXPECT_EQ(pane->Tree(20003)->currentItem(), root);
    EXPECT_TRUE(root->isExpanded());
    // The background stretches to the scroll height when the pane is lower, and the wheel
    // scrolls by lines.
    pane->resize(332, 200);
    Pump();
    EXPECT_EQ(pane->Background()->height(), 401);
    QWheelEvent down(QPointF(20, 20), QPointF(20, 20), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                     Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(pane->viewport(), &down);
    EXPECT_EQ(pane->verticalScrollBar()->value(), pane->verticalScrollBar()->singleStep());
}

// Trees are made as they are needed: each still holds its own patient's studies, and there
// is none for a patient without a bar.
TEST_F(ListPaneTest, EachTreeIsItsPatientsAndNoneWithoutABar)
{
    pane->patients.push_back(MakePatient({{"20120315", {"AX"}}}));
    pane->patients.push_back(MakePatient({{"20120316", {"AX"}}, {"20120317", {"COR"}}}));
    pane->BuildEntries();
    pane->ShowEntries();
    pane->OnBarDoubleClick(10002);
    ASSERT_NE(pane->Tree(20003), nullptr);
    EXPECT_EQ(pane->Tree(20003)->topLevelItemCount(), 2);
    EXPECT_TRUE(pane->Tree(20003)->isVisible());
    ASSERT_NE(pane->Tree(20002), nullptr);
    EXPECT_EQ(pane->Tree(20002)->topLevelItemCount(), 1);
    EXPECT_FALSE(pane->Tree(20002)->isVisible());
    EXPECT_EQ(pane->Tree(20004), nullptr);
    EXPECT_EQ(pane->Tree(20001), nullptr);
    pane->DestroyEntries();
    EXPECT_EQ(pane->Tree(20002), nullptr);
}

TEST_F(ListPaneTest, TreeTextsAndItemData)
{
    pane->patients.push_back(
        MakePatient({{"20120315", {"AX", "COR"}}, {"2012", {}}, {"", {"X"}}, {" 2012.03.16", {}}, {"2012.3.16", {}}}));
    pane->BuildEntries();
    XEVStudyListCtrl* tree = pane->Tree(20002);
    ASSERT_EQ(tree->topLevelItemCount(), 5);
    EXPECT_EQ(tree->topLevelItem(0)->text(0), QStringLiteral("2012年03月15日 CT検査"));
    // Without a whole date the item shows no date parts.
    EXPECT_EQ(tree->topLevelItem(1)->text(0), QStringLiteral("CT検査"));
    EXPECT_EQ(tree->topLevelItem(2)->text(0), QStringLiteral("CT検査"));
    EXPECT_EQ(tree->topLevelItem(3)->text(0), QStringLiteral("2012年03月16日 CT検査"));
    EXPECT_EQ(tree->topLevelItem(4)->text(0), QStringLiteral("CT検査"));
    EXPECT_EQ(tree->topLevelItem(0)->child(1)->text(0), QStringLiteral("COR"));
    EXPECT_EQ(XEVStudyListCtrl::ItemData(tree->topLevelItem(0)), 0x80000000u);
    EXPECT_EQ(XEVStudyListCtrl::ItemData(tree->topLevelItem(2)), 0x80020000u);
    EXPECT_EQ(XEVStudyListCtrl::ItemData(tree->topLevelItem(0)->child(1)), 0x40000001u);
    EXPECT_EQ(XEVStudyListCtrl::ItemData(tree->topLevelItem(2)->child(0)), 0x40020000u);

    // Rows are 4 pixels higher than the tree would make them.
    XEVStudyListCtrl plain(nullptr, XEVWindowHandle(), 1);
    new QTreeWidgetItem(&plain, QStringList(QStringLiteral("x")));
    const int natural = plain.sizeHintForRow(0);
    EXPECT_EQ(tree->ItemHeight(), natural + 4);
    EXPECT_EQ(tree->sizeHintForRow(0), natural + 4);
    EXPECT_EQ(tree->font().pixelSize(), CXEVFont::PixelSize(GetCommonSettings().Fonts[5].points, tree->logicalDpiY()));
}

TEST_F(ListPaneTest, StudiesAndSeriesPastTheItemDataRangeGetNoItems)
{
    auto* patient = new PatientInfo;
    for (int k = 0; k < kXEVMaxItemStudy + 2; ++k) {
        auto* study = new StudyInfo;
        if (k == 0) {
            for (int j = 0; j < kXEVMaxItemSeries + 2; ++j) {
                study->series.push_back(new SeriesInfo);
            }
        }
        patient->studies.push_back(study);
    }
    XEVStudyListCtrl tree(nullptr, XEVWindowHandle(), 20002);
    tree.Fill(*patient);
    EXPECT_EQ(tree.topLevelItemCount(), kXEVMaxItemStudy + 1);
    EXPECT_EQ(tree.topLevelItem(0)->childCount(), kXEVMaxItemSeries + 1);
    EXPECT_EQ(XEVStudyListCtrl::ItemData(tree.topLevelItem(kXEVMaxItemStudy)), 0x80000000u | (0x3FFFu << 16));
    delete patient;
}

TEST_F(ListPaneTest, DoubleClickOnALabelPostsItsDataAndBesideItNothing)
{
    std::vector<CellMessage> log;
    XEVMessageReceiver notify;
    for (uint32_t id : {WM_XEV_STUDY_DBLCLK, WM_XEV_SERIES_ITEM_DBLCLK}) {
        notify.SetHandler(id, [&log, id](XEVWParam w, XEVLParam l) {
            log.push_back({id, w, l});
            return XEVResult(0);
        });
    }
    std::unique_ptr<PatientInfo> patient(MakePatient({{"20120315", {"AX"}}, {"20120316", {"AX", "SAG"}}}));
    XEVStudyListCtrl tree(nullptr, notify.Handle(), 20002);
    tree.Fill(*patient);
    tree.resize(320, 300);
    tree.expandAll();
    tree.show();
    Pump();

    QTreeWidgetItem* sag = tree.topLevelItem(1)->child(1);
    const QRect rect = tree.visualItemRect(sag);
    const QPointF on(rect.left() + 3, rect.center().y());
    QMouseEvent click(QEvent::MouseButtonDblClick, on, tree.viewport()->mapToGlobal(on), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(tree.viewport(), &click);
    Pump();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].id, WM_XEV_SERIES_ITEM_DBLCLK);
    EXPECT_EQ(log[0].wParam, 20002u);
    EXPECT_EQ(log[0].lParam, XEVLParam(0x00010001));
    EXPECT_EQ(tree.currentItem(), sag);

    // Right of the label on the same row, and below the last row.
    EXPECT_FALSE(tree.OnLButtonDblClk(QPoint(rect.left() + 200, rect.center().y())));
    EXPECT_FALSE(tree.OnLButtonDblClk(QPoint(rect.left() + 3, 290)));
    const QRect study = tree.visualItemRect(tree.topLevelItem(1));
    EXPECT_TRUE(tree.OnLButtonDblClk(QPoint(study.left() + 3, study.center().y())));
    Pump();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].id, WM_XEV_STUDY_DBLCLK);
    EXPECT_EQ(log[1].lParam, XEVLParam(0x00010000));
}

TEST_F(ListPaneTest, LoadedDiscBuildsHiddenEntriesAndAFailureBuildsNone)
{
    ASSERT_EQ(pane->RestartLoading(kDiscs + QStringLiteral("/discA/DICOMDIR")), 1);
    ASSERT_TRUE(PumpUntil([&] { return pane->loaded == 1; }));
    EXPECT_EQ(host.Posted(WM_XEV_START_VIEWING, 0), 1);
    ASSERT_EQ(pane->patients.size(), 2u);
    ASSERT_NE(pane->Bar(10002), nullptr);
    EXPECT_FALSE(pane->Bar(10001)->isVisible());
    EXPECT_FALSE(pane->Tree(20002)->isVisible());
    EXPECT_EQ(pane->Bar(10001)->Patient().nameIdeographic, pane->patients[0]->nameIdeographic);
    // The read-ahead reads the disc's files.
    EXPECT_TRUE(PumpUntil([&] { return pane->ReadAheadFilesRead() > 0; }));

    pane->OnMessage(WM_XEV_PATIENTS_LOADED, XEVWParam(kXEVLoadFailed), 0);
    EXPECT_EQ(host.Posted(WM_XEV_START_VIEWING, kXEVLoadFailed), 1);

    ASSERT_EQ(pane->RestartLoading(kDiscs + QStringLiteral("/nothing/DICOMDIR")), 1);
    EXPECT_EQ(pane->Bar(10001), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return pane->loaded == 1; }));
    EXPECT_EQ(host.Posted(WM_XEV_START_VIEWING, kXEVLoadFailed), 2);
    EXPECT_EQ(pane->Bar(10001), nullptr);

    ASSERT_EQ(pane->RestartFileLoading(kDiscs + QStringLiteral("/single/multi3.dcm")), 1);
    ASSERT_TRUE(PumpUntil([&] { return pane->loaded == 1; }));
    EXPECT_EQ(host.Posted(WM_XEV_START_VIEWING, 0), 2);
    EXPECT_EQ(pane->patients.size(), 1u);
    EXPECT_NE(pane->Bar(10001), nullptr);
}

bool HasNoHelpers(const StudyInfo& study)
{
    for (const SeriesInfo* series : study.series) {
        for (const ImageInfo* image : series->images) {
            if (image->GetHelper() != nullptr) {
                return false;
            }
        }
    }
    return true;
}

void DecodeAll(const StudyInfo& study)
{
    for (const SeriesInfo* series : study.series) {
        for (ImageInfo* image : series->images) {
            DecodeImage(image);
        }
    }
}

bool AllDecoded(const StudyInfo& study)
{
    for (const SeriesInfo* series : study.series) {
        for (const ImageInfo* image : series->images) {
            if (image->GetHelper() == nullptr) {
                return false;
            }
        }
    }
    return true;
}

class OpeningTest : public ListPaneTest {
protected:
    void SetUp() override
    {
        ListPaneTest::SetUp();
        UseImageArea();
        auto* patient = new PatientInfo;
        first = new StudyInfo;
        AddSeries(*first, {"CT", 2, true});
        AddSeries(*first, {"CT", 1, true});
        second = new StudyInfo;
        AddSeries(*second, {"MR", 2, true});
        report = AddSeries(*second, {"SR", 0, false});
        auto* record = new ImageInfo;
        record->SetRecordText(QStringLiteral("SR"));
        report->images.push_back(record);
        patient->studies = {first, second};
        pane->patients.push_back(patient);
        pane->BuildEntries();
    }
    void Open(uint32_t message, XEVLParam data)
    {
        pane->OnMessage(message, 20002, data);
        Pump();
    }

    StudyInfo* first = nullptr;
    StudyInfo* second = nullptr;
    SeriesInfo* report = nullptr;
};

TEST_F(OpeningTest, AnotherStudyFreesThePreviousFramesAndSetsTheReportButton)
{
    Open(WM_XEV_STUDY_DBLCLK, 0);
    EXPECT_EQ(pane->currentStudy, first);
    EXPECT_EQ(form->shownStudy, first);
    ASSERT_EQ(host.reportButton.size(), 1u);
    EXPECT_FALSE(host.reportButton.back());
    ASSERT_TRUE(PumpUntil([&] { return AllDecoded(*first); }));

    GetLoadState().memoryShortStudy = 1;
    Open(WM_XEV_STUDY_DBLCLK, 1 << 16);
    EXPECT_TRUE(HasNoHelpers(*first));
    EXPECT_EQ(GetLoadState().memoryShortStudy.load(), 0);
    EXPECT_EQ(pane->currentStudy, second);
    EXPECT_EQ(form->shownStudy, second);
    EXPECT_TRUE(host.reportButton.back());
    EXPECT_EQ(GetLoadState().IsPreloadRunning(), 0);

    // Out of range: nothing changes.
    Open(WM_XEV_STUDY_DBLCLK, 2 << 16);
    pane->OnMessage(WM_XEV_STUDY_DBLCLK, 20003, 0);
    EXPECT_EQ(pane->currentStudy, second);
}

TEST_F(OpeningTest, SeriesKeepFramesOfTheCurrentStudyWhileMemoryLasts)
{
    Open(WM_XEV_STUDY_DBLCLK, 0);
    DecodeAll(*first);
    Open(WM_XEV_SERIES_ITEM_DBLCLK, 1);
    EXPECT_TRUE(AllDecoded(*first));
    EXPECT_EQ(pane->currentStudy, first);
    EXPECT_EQ(pane->lastSeriesStudy, first);

    // Short of memory the study's frames go; the series shown loads its own again.
    XEVSetMemoryTest(&NeverEnoughMemory);
    Open(WM_XEV_SERIES_ITEM_DBLCLK, 0);
    EXPECT_EQ(first->series[1]->images[0]->GetHelper(), nullptr);
    EXPECT_EQ(pane->currentStudy, nullptr);
    XEVSetMemoryTest(&AlwaysEnoughMemory);

    Open(WM_XEV_STUDY_DBLCLK, 0);
    DecodeAll(*first);
    Open(WM_XEV_SERIES_ITEM_DBLCLK, (1 << 16) | 0);
    EXPECT_TRUE(HasNoHelpers(*first));
    EXPECT_EQ(pane->lastSeriesStudy, second);
}

TEST_F(OpeningTest, AReportSeriesOpensTheReportDialog)
{
    Open(WM_XEV_SERIES_ITEM_DBLCLK, (1 << 16) | 1);
    ASSERT_EQ(host.reportsOpened.size(), 1u);
    EXPECT_EQ(host.reportsOpened[0], report);
    EXPECT_TRUE(host.shown);
    // The dialog gets the series, then the study's report series once more.
    ASSERT_EQ(host.reportTexts.size(), 2u);
    EXPECT_EQ(host.reportTexts[0], report);
    EXPECT_EQ(host.reportTexts[1], report);
    EXPECT_TRUE(host.reportButton.back());

    // An image series closes the shown dialog; a study without a report closes it too.
    Open(WM_XEV_SERIES_ITEM_DBLCLK, (1 << 16) | 0);
    EXPECT_FALSE(host.shown);
    host.shown = true;
    Open(WM_XEV_STUDY_DBLCLK, 0);
    EXPECT_FALSE(host.shown);
    EXPECT_EQ(host.closed, 2);
}

TEST_F(OpeningTest, TheFirstEntryOpensItsPatientsFirstStudy)
{
    CXEVPatientView patientView;
    host.patientView = &patientView;
    pane->ShowEntries();
    pane->OpenFirstEntry();
    ASSERT_TRUE(PumpUntil([&] { return pane->currentStudy == first; }));
    EXPECT_EQ(pane->selectedEntry, 10001);
    EXPECT_EQ(patientView.Filled(), 1);
    EXPECT_EQ(form->shownStudy, first);
    ASSERT_FALSE(host.reportButton.empty());
    EXPECT_FALSE(host.reportButton.back());
    EXPECT_TRUE(pane->Tree(20002)->isVisible());
    host.patientView = nullptr;
}

TEST_F(OpeningTest, APatientSelectionOutlivedByItsRecordsOpensNothing)
{
    pane->patients.push_back(new PatientInfo);
    pane->OnMessage(WM_XEV_SELECT_PATIENT, reinterpret_cast<XEVWParam>(pane->patients.back()), 0);
    EXPECT_EQ(pane->currentStudy, nullptr);
    EXPECT_EQ(form->shownStudy, nullptr);

    pane->OnBarDoubleClick(10001);
    ASSERT_EQ(pane->RestartLoading(kDiscs + QStringLiteral("/nothing/DICOMDIR")), 1);
    ASSERT_TRUE(PumpUntil([&] { return pane->loaded == 1; }));
    EXPECT_EQ(pane->currentStudy, nullptr);
}

TEST_F(OpeningTest, SelectingAnEntryShowsTheStudyOrTheSeriesAndSelectsItsItem)
{
    pane->ShowEntries();
    pane->SelectEntry(10001, 1, 0);
    XEVStudyListCtrl* tree = pane->Tree(20002);
    EXPECT_EQ(tree->currentItem(), tree->topLevelItem(1)->child(0));
    EXPECT_TRUE(tree->topLevelItem(1)->isExpanded());
    EXPECT_EQ(pane->currentStudy, nullptr);
    EXPECT_EQ(form->activeMode, 1);

    pane->SelectEntry(10001, -1, -1);
    EXPECT_EQ(pane->currentStudy, first);
    EXPECT_EQ(tree->currentItem(), tree->topLevelItem(0));
    // Missing entries and series change nothing.
    pane->SelectEntry(10002, 0, -1);
    pane->SelectEntry(10001, 1, 5);
    EXPECT_EQ(pane->currentStudy, nullptr);
    EXPECT_EQ(pane->selectedEntry, 10001);

    first->studyInstanceUid = QStringLiteral("1.2.3");
    second->studyInstanceUid = QStringLiteral("1.2.4");
    EXPECT_EQ(pane->FindStudy("1.2.4"), second);
    EXPECT_EQ(pane->FindStudy("1.2"), nullptr);
}

// Disc A at the end of a path longer than 260 characters.
QString DeepDisc(const QTemporaryDir& temp)
{
    QString folder = temp.path();
    while (folder.size() < 300) {
        folder += QStringLiteral("/deep_folder_name");
    }
    EXPECT_TRUE(QDir().mkpath(folder));
    EXPECT_TRUE(QFile::link(kDiscs + QStringLiteral("/discA"), folder + QStringLiteral("/discA")));
    return folder + QStringLiteral("/discA/DICOMDIR");
}

TEST_F(ListPaneTest, DropLoadsTheFirstPathWhole)
{
    UseImageArea();
    QTemporaryDir temp;
    const QString deep = DeepDisc(temp);
    ASSERT_GT(deep.size(), 300);
    XEVDropFiles drop;
    drop.paths = {deep, kDiscs + QStringLiteral("/discA/DICOMDIR"), QStringLiteral("/nowhere")};
    pane->selectedEntry = 10001;
    GetLoadState().memoryShortStudy = 1;
    EXPECT_EQ(XEVSendMessage(pane->Handle(), WM_XEV_DROPFILES, 0, reinterpret_cast<XEVLParam>(&drop)), 0);
    EXPECT_TRUE(drop.finished);
    EXPECT_EQ(pane->mediaPath, deep);
    EXPECT_EQ(pane->selectedEntry, 0);
    EXPECT_EQ(GetLoadState().memoryShortStudy.load(), 0);
    EXPECT_EQ(host.titleCleared, 1);
    ASSERT_TRUE(PumpUntil([&] { return pane->loaded == 1; }));
    EXPECT_EQ(host.Posted(WM_XEV_START_VIEWING, 0), 1);
    EXPECT_EQ(pane->patients.size(), 2u);
    EXPECT_NE(pane->Bar(10002), nullptr);
}

// Drops land while the DICOMDIR loader, the scan, the read-ahead and the pre-load run; under
// the sanitizers this is where a record freed under a reader would show.
TEST_F(ListPaneTest, DropsWhileEveryThreadRunsEndWithTheNewDisc)
{
    UseImageArea();
    XEVCommonSettings& settings = GetCommonSettings();
    const int32_t multiFrame = settings.ModeMultiFrameRead;
    settings.ModeMultiFrameRead = 1;
    const QString disc = kDiscs + QStringLiteral("/discA/DICOMDIR");
    ASSERT_EQ(pane->RestartLoading(disc), 1);
    for (int round = 0; round < 6; ++round) {
        // Let each round get a little further before the next drop.
        PumpUntil([&] { return pane->loaded == 1 || round % 2 == 0; });
        if (pane->loaded == 1 && !pane->patients.empty()) {
            pane->ShowEntries();
            pane->SelectEntry(10001, 0, -1);
            GetLoadState().StartPreload(pane.get());
        }
        XEVDropFiles drop;
        drop.paths = {disc};
        XEVSendMessage(pane->Handle(), WM_XEV_DROPFILES, 0, reinterpret_cast<XEVLParam>(&drop));
    }
    ASSERT_TRUE(PumpUntil([&] { return pane->loaded == 1 && pane->Bar(10002) != nullptr; }));
    // Only the last load's report arrived after its restart.
    EXPECT_EQ(pane->patients.size(), 2u);
    settings.ModeMultiFrameRead = multiFrame;
}

}   // namespace
