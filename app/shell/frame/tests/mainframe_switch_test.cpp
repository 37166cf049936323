#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "frametestsupport.h"
#include "platform/platfolder.h"
#include "shell/xevreportdlg.h"
#include "study/xevlistformview.h"
#include "study/xevstudymodel.h"

// The frame with the real study list in its column and a box that answers the questions.
class AnsweringBox : public XEVMessageBox {
public:
    void Show(QWidget*, const QString& text) override { shown.push_back(text); }
    int32_t Ask(QWidget*, const QString& text) override
    {
        asked.push_back(text);
        return answer;
    }
    int32_t answer = 2;
    QStringList shown;
    QStringList asked;
};

class FrameListTest : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        ASSERT_TRUE(program.isValid());
        PlatSetModuleFolderForTest(program.path().toStdString());
        XEVSetMessageBox(&answers);
        SetModes(0, 0);
        // Report series are listed only with SR support.
        GetCommonSettings().ModeSupportSR = 1;
        MakeFrame();
        ASSERT_NE(frame->InstallStudyList(), nullptr);
    }
    void TearDown() override
    {
        // The cells hold the list's images and the list goes first: empty them, as closing does.
        if (frame != nullptr) {
            frame->GetImageFormView()->StopLoading();
            frame->GetImageFormView()->ClearAllViews();
        }
        frame.reset();
        SetModes(0, 0);
        GetLoadState().SetArchive(std::string(), std::string());
        GetLoadState().singlePatientStudy = 0;
        FrameTest::TearDown();
        PlatSetModuleFolderForTest("");
    }

    static void SetModes(int32_t multiFrame, int32_t reports)
    {
        GetCommonSettings().ModeMultiFrameRead = multiFrame;
        GetCommonSettings().ModeUnsupportSRDelList = reports;
    }

    // Loads a disc and waits for the load and, when an option asks for it, the second pass.
    void Load(const QString& dicomDir)
    {
        CXEVListFormView& l = List();
        ASSERT_EQ(l.RestartLoading(dicomDir), 1);
        const bool scans = GetCommonSettings().ModeMultiFrameRead != 0 || GetCommonSettings().ModeUnsupportSRDelList != 0;
        ASSERT_TRUE(PumpUntil([&] { return l.loaded == 1 && (!scans || l.scanDone == 1); }));
        l.ShowEntries();
        Pump();
    }

    void WriteIni(const QByteArray& text)
    {
        QFile file(QDir(program.path()).filePath(QStringLiteral("ZYLV.INI")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    CXEVListFormView& List() { return *frame->GetStudyList(); }

    // The series of the current records whose first image's file name ends with the name.
    SeriesInfo* SeriesWithFile(const QString& name)
    {
        for (PatientInfo* patient : List().patients) {
            for (StudyInfo* study : patient->studies) {
                for (SeriesInfo* series : study->series) {
                    for (const ImageInfo* image : series->images) {
                        if (image->filePath.endsWith(name)) {
                            return series;
                        }
                    }
                }
            }
        }
        return nullptr;
    }

    QTemporaryDir program;
    AnsweringBox answers;
};

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
    EXPECT_EQ(frame->ConfirmSeriesSwitch(), 2);
    ASSERT_EQ(answers.asked.size(), 1);
    EXPECT_EQ(answers.asked.back(), QStringLiteral("report question"));
    // The multi-frame option takes the general question whatever the other says.
    SetModes(1, 1);
    frame->ConfirmSeriesSwitch();
    EXPECT_EQ(answers.asked.back(), QStringLiteral("multi-frame question"));
    SetModes(1, 0);
    frame->ConfirmSeriesSwitch();
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

    // A recorded study that is gone: the patient's first study opens, no series row.
    record.studyKey = QStringLiteral("1.2.3");
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
    EXPECT_TRUE(frame->RequestSeriesSwitch(cell));
    EXPECT_EQ(frame->Selection().index, 0);
    EXPECT_EQ(frame->Selection().studyKey, QStringLiteral("1.2.3.9"));
    EXPECT_EQ(frame->Selection().seriesKey, QStringLiteral("1.2.4.16"));
}

TEST(FindSelectedPositionsTest, WalksStudiesThenSeriesByExactKey)
{
    PatientInfo patient;
    for (const char* studyKey : {"1.2.1", "1.2.2"}) {
        auto* study = new StudyInfo;
        study->studyInstanceUid = QString::fromLatin1(studyKey);
        for (const char* seriesKey : {"9.1", "9.2"}) {
            auto* series = new SeriesInfo;
            series->seriesInstanceUid = QString::fromLatin1(seriesKey);
            study->series.push_back(series);
        }
        patient.studies.push_back(study);
    }
    CMainFrame::SelectionRecord record;
    int32_t study = -1, series = -1;
    record.studyKey = QStringLiteral("1.2.2");
    record.seriesKey = QStringLiteral("9.2");
    CMainFrame::FindSelectedPositions(record, nullptr, study, series);
    EXPECT_EQ(study, -1);
    EXPECT_EQ(series, -1);
    CMainFrame::FindSelectedPositions(record, &patient, study, series);
    EXPECT_EQ(study, 1);
    EXPECT_EQ(series, 1);
    // No series key matches: the study alone.
    record.seriesKey = QStringLiteral("9.");
    CMainFrame::FindSelectedPositions(record, &patient, study, series);
    EXPECT_EQ(study, 1);
    EXPECT_EQ(series, -1);
    // A study gone after the switch: neither; a prefix is no match.
    record.studyKey = QStringLiteral("1.2");
    record.seriesKey = QStringLiteral("9.1");
    CMainFrame::FindSelectedPositions(record, &patient, study, series);
    EXPECT_EQ(study, -1);
    EXPECT_EQ(series, -1);
}
