#include <gtest/gtest.h>

#include "framelisttestsupport.h"

namespace {

const QString kDiscs = QStringLiteral(STUDY_TEST_DATA_DIR "/discA");

}   // namespace

TEST_F(FrameListTest, SwitchIsOfferedOnlyAfterTheSecondPassFoundAReason)
{
    WriteIni("[Message]\r\nM10023=multi-frame question\r\nM10026=report question\r\n");

    // Neither option: no second pass, no question whatever is double-clicked.
    Load(kDiscs + QStringLiteral("/DIRSRUN"));
    EXPECT_FALSE(frame->CanSwitchSeriesDisplay());
    XEVSendMessage(List().Handle(), WM_XEV_STUDY_DBLCLK, kXEVFirstTreeId, 0);
    Pump();
    EXPECT_TRUE(answers.asked.isEmpty());
    EXPECT_NE(List().currentStudy, nullptr);

    // Report option alone: the pass dropped the series without text; its own question.
    SetModes(0, 1);
    Load(kDiscs + QStringLiteral("/DIRSRUN"));
    EXPECT_TRUE(frame->CanSwitchSeriesDisplay());
    int32_t answer = 0;
    frame->ConfirmSeriesSwitch([&](int32_t given) { answer = given; });
    EXPECT_EQ(answer, 2);
    ASSERT_EQ(answers.asked.size(), 1);
    EXPECT_EQ(answers.asked.back(), QStringLiteral("report question"));
    // The multi-frame option takes the general question whatever the other says.
    SetModes(1, 1);
    frame->ConfirmSeriesSwitch([](int32_t) {});
    EXPECT_EQ(answers.asked.back(), QStringLiteral("multi-frame question"));
    SetModes(1, 0);
    frame->ConfirmSeriesSwitch([](int32_t) {});
    EXPECT_EQ(answers.asked.back(), QStringLiteral("multi-frame question"));

    // The multi-frame reason needs the option and unknown frame counts; the report reason
    // needs its option.
    SetModes(1, 0);
    List().perFrameSplit = 1;
    List().frameCountsKnown = 1;
    EXPECT_FALSE(frame->CanSwitchSeriesDisplay());
    List().frameCountsKnown = 0;
    EXPECT_TRUE(frame->CanSwitchSeriesDisplay());
    SetModes(0, 0);
    EXPECT_FALSE(frame->CanSwitchSeriesDisplay());
    SetModes(0, 1);

    // After a single file was opened, never.
    frame->singleFileOpened = 1;
    EXPECT_FALSE(frame->CanSwitchSeriesDisplay());
    frame->singleFileOpened = 0;
    // Nor before the pass has finished.
    List().scanDone = 0;
    EXPECT_FALSE(frame->CanSwitchSeriesDisplay());
}

TEST_F(FrameListTest, AcceptedSwitchShowsTheSecondSetAndSelectsTheRecordedSeriesAgain)
{
    SetModes(0, 1);
    Load(kDiscs + QStringLiteral("/DIRSRUN"));
    ASSERT_NE(SeriesWithFile(QStringLiteral("R04")), nullptr);
    // The pre-load runs over the records about to go.
    frame->OnPreloadControl();

    // The user double-clicks the readable report series: the frame asks and switches.
    answers.answer = 1;
    const PatientInfo* before = List().patients.front();
    SeriesInfo* readable = SeriesWithFile(QStringLiteral("R01"));
    ASSERT_NE(readable, nullptr);
    const StudyInfo* study = before->studies.front();
    const int32_t seriesIndex =
        int32_t(std::find(study->series.begin(), study->series.end(), readable) - study->series.begin());
    XEVSendMessage(List().Handle(), WM_XEV_SERIES_ITEM_DBLCLK, kXEVFirstTreeId, XEVLParam(seriesIndex));
    Pump();
    EXPECT_EQ(answers.asked.size(), 1);
    EXPECT_EQ(GetLoadState().IsPreloadRunning(), 0);
    EXPECT_EQ(GetLoadState().singlePatientStudy.load(), 1);

    // The second set is shown: the series without text is gone and the entries are new.
    EXPECT_EQ(SeriesWithFile(QStringLiteral("R04")), nullptr);
    EXPECT_TRUE(List().scanRecords.empty());
    ASSERT_EQ(List().patients.size(), 1u);
    EXPECT_NE(List().Bar(kXEVFirstBarId), nullptr);
    EXPECT_EQ(List().currentStudy, nullptr);
    EXPECT_EQ(List().lastSeriesStudy, nullptr);

    // The record finds the same study and series in the new set.
    CMainFrame::SelectionRecord& record = frame->Selection();
    EXPECT_EQ(record.index, 0);
    EXPECT_EQ(record.switchFlag, 1);
    int32_t studyAt = -1, seriesAt = -1;
    CMainFrame::FindSelectedPositions(record, List().GetPatient(record.index), studyAt, seriesAt);
    EXPECT_EQ(studyAt, 0);
    ASSERT_GE(seriesAt, 0);
    EXPECT_EQ(List().patients[0]->studies[0]->series[size_t(seriesAt)], SeriesWithFile(QStringLiteral("R01")));
    // The next start of viewing selects that series row in the rebuilt tree.
    ASSERT_TRUE(frame->SelectRecordedEntry());
    EXPECT_EQ(List().selectedEntry, kXEVFirstBarId);
    XEVStudyListCtrl* tree = List().Tree(kXEVFirstTreeId);
    ASSERT_NE(tree, nullptr);
    ASSERT_NE(tree->currentItem(), nullptr);
    EXPECT_EQ(tree->currentItem()->parent(), tree->topLevelItem(0));
    EXPECT_EQ(tree->topLevelItem(0)->indexOfChild(tree->currentItem()), seriesAt);

    // A recorded study that is gone (a prefix is no match): neither position, and the
    // patient's first study opens without a series row.
    record.studyKey = QStringLiteral("1.2.3");
    CMainFrame::FindSelectedPositions(record, List().GetPatient(0), studyAt, seriesAt);
    EXPECT_EQ(studyAt, -1);
    EXPECT_EQ(seriesAt, -1);
    ASSERT_TRUE(frame->SelectRecordedEntry());
    EXPECT_EQ(tree->currentItem(), tree->topLevelItem(0));
    EXPECT_EQ(List().currentStudy, List().patients[0]->studies[0]);

    // Once asked, the list opens studies itself again.
    EXPECT_TRUE(frame->IsSwitchLocked());
    XEVSendMessage(List().Handle(), WM_XEV_STUDY_DBLCLK, kXEVFirstTreeId, 0);
    Pump();
    EXPECT_EQ(answers.asked.size(), 1);
    EXPECT_EQ(List().currentStudy, List().patients[0]->studies[0]);
}

TEST_F(FrameListTest, DeclinedSwitchDropsTheSecondSetAndKeepsTheList)
{
    SetModes(0, 1);
    Load(kDiscs + QStringLiteral("/DIRSRUN"));
    ASSERT_FALSE(List().scanRecords.empty());
    const PatientInfo* shown = List().patients.front();

    // A double click on the patient bar asks once the click has been handled.
    XEVPatientBarCtrl* bar = List().Bar(kXEVFirstBarId);
    ASSERT_NE(bar, nullptr);
    bar->OnLButtonDblClk();
    EXPECT_TRUE(answers.asked.isEmpty());
    Pump();
    ASSERT_EQ(answers.asked.size(), 1);
    EXPECT_TRUE(List().scanRecords.empty());
    EXPECT_EQ(List().patients.front(), shown);
    EXPECT_NE(SeriesWithFile(QStringLiteral("R04")), nullptr);
    EXPECT_EQ(frame->Selection().index, 0);
    EXPECT_TRUE(frame->Selection().studyKey.isEmpty());

    // The frame is busy now: the bar's double click opens the patient.
    EXPECT_FALSE(bar->switchRequest(0));
}

TEST_F(FrameListTest, AcceptingTheTermsSwitchesWithoutAskingAndOpensTheFirstPatient)
{
    SetModes(0, 1);
    Load(kDiscs + QStringLiteral("/DIRSRUN"));
    frame->OnAgreementClosed(1);
    EXPECT_EQ(frame->Selection().switchFlag, 1);
    EXPECT_EQ(SeriesWithFile(QStringLiteral("R04")), nullptr);
    // The first selection follows, and the switched frame no longer asks.
    ASSERT_TRUE(PumpUntil([&] { return List().currentStudy != nullptr; }));
    EXPECT_EQ(List().selectedEntry, kXEVFirstBarId);
    EXPECT_TRUE(answers.asked.isEmpty());
}

TEST_F(FrameListTest, EnlargingACellRecordsItsSeriesAndSwitches)
{
    SetModes(0, 1);
    Load(kDiscs + QStringLiteral("/DIRSRUN"));
    SeriesInfo* images = SeriesWithFile(QStringLiteral("I01"));
    ASSERT_NE(images, nullptr);
    StudyInfo* study = List().patients.front()->studies.front();
    List().selectedEntry = kXEVFirstBarId;
    List().currentStudy = study;
    XEVImageViewCtrl cell(nullptr, kXEVFirstStudyCellId);
    cell.SetImages({images->images.front()});

    answers.answer = 1;
    GetLoadState().singlePatientStudy = 0;
    frame->RequestSeriesSwitch(cell);
    EXPECT_EQ(answers.asked.size(), 1);
    // The switch was made.
    EXPECT_EQ(GetLoadState().singlePatientStudy.load(), 1);
    EXPECT_EQ(frame->Selection().index, 0);
    EXPECT_EQ(frame->Selection().studyKey, QStringLiteral("1.2.3.9"));
    EXPECT_EQ(frame->Selection().seriesKey, QStringLiteral("1.2.4.16"));
}

// A question of one disc answered once another is loaded (here the same DICOMDIR again, as a
// drop or File Open loads it): OK and Cancel act on nothing, and the new disc may ask again.
TEST_F(FrameListTest, AnAnswerThatComesAfterAnotherDiscLoadedActsOnNothing)
{
    SetModes(0, 1);
    Load(kDiscs + QStringLiteral("/DIRSRUN"));
    answers.keep = true;
    for (const int32_t answer : {1, 2}) {
        SCOPED_TRACE(answer);
        frame->Selection().switchFlag = 0;
        XEVSendMessage(List().Handle(), WM_XEV_STUDY_DBLCLK, kXEVFirstTreeId, 0);
        Pump();
        ASSERT_TRUE(answers.kept != nullptr);
        Load(kDiscs + QStringLiteral("/DIRSRUN"));
        const PatientInfo* shown = List().patients.front();
        ASSERT_FALSE(List().scanRecords.empty());
        std::exchange(answers.kept, nullptr)(answer);
        Pump();
        EXPECT_EQ(List().patients.front(), shown);
        EXPECT_FALSE(List().scanRecords.empty());
        EXPECT_NE(SeriesWithFile(QStringLiteral("R04")), nullptr);
    }
}
