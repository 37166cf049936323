#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QPlainTextEdit>

#include "framelisttestsupport.h"
#include "plat_temp_folder.h"
#include "shell/xev_uistring.h"
#include "shell/xevfileopen.h"
#include "shell/xevreportdlg.h"
#include "study/xevreadmanager.h"
#include "testsupport/crowdedfile.h"

namespace {

const QString kSample = QStringLiteral(KV_SAMPLE_DIR);

// What the sample disc's report holds, as the script that made it wrote it.
const QString kFinding = QStringLiteral("No acute intracranial findings.");
const QString kFollowUp = QStringLiteral("Follow-up in six months.");

QString Unreadable(const QString& path)
{
    return GetMessageString(10024) + QStringLiteral("\n[") + path + QStringLiteral("]");
}

}   // namespace

class FrameReportTest : public FrameListTest {
protected:
    void LoadSample()
    {
        Load(kSample + QStringLiteral("/DICOMDIR"));
        for (PatientInfo* patient : List().patients) {
            for (StudyInfo* study : patient->studies) {
                (XEVFindReportSeries(study) != nullptr ? withReport : withoutReport) = study;
            }
        }
        ASSERT_NE(withReport, nullptr);
        ASSERT_NE(withoutReport, nullptr);
    }

    // The press returns before the report is read; its answer is waited for.
    void PressReportButton()
    {
        CXEVBitmapButton& button = Title().ButtonAt(CXEVTitleFormView::kReport);
        button.setEnabled(true);
        button.click();
        Pump();
        ASSERT_TRUE(PumpUntil([this] { return !frame->ReportPending(); }));
    }

    void RequestAndWait(const SeriesInfo& series)
    {
        frame->RequestReport(&series, true);
        ASSERT_TRUE(PumpUntil([this] { return !frame->ReportPending(); }));
    }

    int DialogCount() { return int(frame->findChildren<CXEVReportDlg*>().size()); }

    // A report series of one "SR" record whose file is path.
    SeriesInfo& ReportSeries(const QString& path)
    {
        StudyInfo& study = MakeStudy({});
        auto* series = new SeriesInfo;
        auto* image = new ImageInfo;
        image->SetRecordText(QStringLiteral("SR"));
        image->SetFilePath(path);
        series->images.push_back(image);
        study.series.push_back(series);
        return *series;
    }

    StudyInfo* withReport = nullptr;
    StudyInfo* withoutReport = nullptr;
};

TEST_F(FrameReportTest, ReportButtonShowsTheStudysReportInOneDialog)
{
    LoadSample();
    // Nothing chosen yet: nothing happens.
    PressReportButton();
    EXPECT_EQ(frame->ReportDialog(), nullptr);

    List().ShowStudy(withReport);
    PressReportButton();
    CXEVReportDlg* dialog = frame->ReportDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    const QString text = dialog->ReportText()->toPlainText();
    EXPECT_TRUE(text.contains(kFinding)) << text.toStdString();
    EXPECT_TRUE(text.contains(kFollowUp)) << text.toStdString();
    EXPECT_TRUE(answers.shown.isEmpty());

    // Again: the same window, refilled.
    dialog->ReportText()->clear();
    PressReportButton();
    EXPECT_EQ(frame->ReportDialog(), dialog);
    EXPECT_EQ(DialogCount(), 1);
    EXPECT_TRUE(dialog->ReportText()->toPlainText().contains(kFinding));

    // A study without a report: the hidden dialog stays hidden and keeps its text.
    dialog->hide();
    List().ShowStudy(withoutReport);
    PressReportButton();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(dialog->ReportText()->toPlainText().contains(kFinding));
    EXPECT_TRUE(answers.shown.isEmpty());
}

TEST_F(FrameReportTest, StudyListDrivesTheDialogThroughTheFrame)
{
    LoadSample();
    // The report series double-clicked in the tree: the frame checks the file, the list
    // shows the frame's dialog and has it filled.
    const int32_t patient = int32_t(
        std::find_if(List().patients.begin(), List().patients.end(),
                     [&](const PatientInfo* p) { return !p->studies.empty() && p->studies.front() == withReport; }) -
        List().patients.begin());
    ASSERT_LT(patient, int32_t(List().patients.size()));
    const SeriesInfo* report = XEVFindReportSeries(withReport);
    const int32_t series =
        int32_t(std::find(withReport->series.begin(), withReport->series.end(), report) - withReport->series.begin());
    XEVSendMessage(List().Handle(), WM_XEV_SERIES_ITEM_DBLCLK, XEVWParam(kXEVFirstTreeId + patient), XEVLParam(series));
    ASSERT_TRUE(PumpUntil([this] { return frame->ReportDialog() != nullptr && frame->ReportDialog()->isVisible(); }));
    CXEVReportDlg* dialog = frame->ReportDialog();
    EXPECT_TRUE(dialog->ReportText()->toPlainText().contains(kFollowUp));

    // A study without a report opened from the tree closes it.
    const int32_t other = 1 - patient;
    ASSERT_EQ(List().patients[size_t(other)]->studies.front(), withoutReport);
    XEVSendMessage(List().Handle(), WM_XEV_STUDY_DBLCLK, XEVWParam(kXEVFirstTreeId + other), 0);
    Pump();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(DialogCount(), 1);
}

TEST_F(FrameReportTest, UnreadableReportNamesItsPathOnceAndShowsNothing)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    // The path is appended as it stands; format characters in it stay as they are.
    const QString text = folder.filePath(QStringLiteral("100%s %d report.txt"));
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("plain text, no DICOM here\n");
    file.close();
    // "DICM" in place but nothing a DICOM reader takes.
    const QString marked = folder.filePath(QStringLiteral("marked"));
    QFile dicm(marked);
    ASSERT_TRUE(dicm.open(QIODevice::WriteOnly));
    dicm.write(QByteArray(128, '\0') + QByteArray("DICM") + QByteArray(64, '\xff'));
    dicm.close();
    const QString missing = folder.filePath(QStringLiteral("gone"));
    // A named pipe as the report's file: refused at once, never waited on.
    PlatStuckPipe pipe(folder.filePath(QStringLiteral("SR0001")).toStdString());
    ASSERT_TRUE(pipe.Made());

    for (const QString& path : {text, marked, missing, QString::fromStdString(pipe.Path())}) {
        answers.shown.clear();
        QElapsedTimer clock;
        clock.start();
        SeriesInfo& series = ReportSeries(path);
        EXPECT_TRUE(frame->OpenReport(&series)) << path.toStdString();
        RequestAndWait(series);
        if (kHangCeilings) {
            EXPECT_LT(clock.elapsed(), kQuickStepCeilingMs) << path.toStdString();
        }
        ASSERT_EQ(answers.shown.size(), 1) << path.toStdString();
        EXPECT_EQ(answers.shown.front(), Unreadable(path));
    }
    EXPECT_FALSE(pipe.Freed());
    answers.shown.clear();
    EXPECT_EQ(frame->ReportDialog(), nullptr);

    // A series without an "SR" record, or nothing at all, is no request and says nothing.
    SeriesInfo& images = ReportSeries(kSample + QStringLiteral("/DICOM/SR0001"));
    images.images.front()->SetRecordText(QStringLiteral("IMAGE"));
    EXPECT_FALSE(frame->OpenReport(&images));
    EXPECT_FALSE(frame->OpenReport(nullptr));
    frame->RequestReport(&images, true);
    frame->RequestReport(nullptr, true);
    EXPECT_FALSE(frame->ReportPending());

    // From an archive the member must come out first; when it cannot, quietly nothing.
    GetLoadState().SetArchive(folder.filePath(QStringLiteral("none.zip")).toStdString(),
                              folder.filePath(QStringLiteral("Kestro")).toStdString());
    RequestAndWait(ReportSeries(folder.filePath(QStringLiteral("Kestro/DICOM/SR0001"))));
    EXPECT_TRUE(answers.shown.isEmpty());
    EXPECT_EQ(frame->ReportDialog(), nullptr);
    GetLoadState().SetArchive(std::string(), std::string());

    // The sample's report reads and shows.
    RequestAndWait(ReportSeries(kSample + QStringLiteral("/DICOM/SR0001")));
    EXPECT_TRUE(answers.shown.isEmpty());
    ASSERT_NE(frame->ReportDialog(), nullptr);
    EXPECT_TRUE(frame->ReportDialog()->isVisible());
    EXPECT_TRUE(frame->ReportDialog()->ReportText()->toPlainText().contains(kFinding));
}

TEST_F(FrameReportTest, ANewerRequestReplacesAnOlderOneAndACloseDropsIt)
{
    const QString sample = kSample + QStringLiteral("/DICOM/SR0001");
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString missing = folder.filePath(QStringLiteral("gone"));
    // Only the newer answer counts, whichever worker ends first; the older one's show is kept.
    frame->RequestReport(&ReportSeries(missing), true);
    frame->RequestReport(&ReportSeries(sample), false);
    ASSERT_TRUE(PumpUntil([this] { return !frame->ReportPending(); }));
    // The older worker's answer, should it come after, changes nothing.
    Pump();
    EXPECT_TRUE(answers.shown.isEmpty());
    ASSERT_NE(frame->ReportDialog(), nullptr);
    EXPECT_TRUE(frame->ReportDialog()->isVisible());
    frame->ReportDialog()->hide();
    frame->RequestReport(&ReportSeries(sample), false);
    RequestAndWait(ReportSeries(missing));
    Pump();
    ASSERT_EQ(answers.shown.size(), 1);
    EXPECT_EQ(answers.shown.front(), Unreadable(missing));
    EXPECT_FALSE(frame->ReportDialog()->isVisible());

    // The list closes the dialog while its report is read: the answer shows nothing.
    answers.shown.clear();
    frame->ReportDialog()->ReportText()->clear();
    frame->RequestReport(&ReportSeries(sample), true);
    frame->GetReportDialog(false)->Close();
    EXPECT_FALSE(frame->ReportPending());
    Pump();
    EXPECT_FALSE(frame->ReportDialog()->isVisible());

    // A refill of the shown dialog is no show: the hidden dialog stays hidden but is filled.
    frame->RequestReport(&ReportSeries(sample), false);
    ASSERT_TRUE(PumpUntil([this] { return !frame->ReportDialog()->ReportText()->toPlainText().isEmpty(); }));
    EXPECT_FALSE(frame->ReportDialog()->isVisible());
    EXPECT_TRUE(answers.shown.isEmpty());
}

TEST_F(FrameReportTest, DialogHiddenWithTheMinimisedFrameComesBackOnActivation)
{
    ASSERT_NE(frame->GetReportDialog(true), nullptr);
    CXEVReportDlg* dialog = frame->ReportDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(frame->GetReportDialog(false), frame->GetReportDialog(true));

    // Without the flag activation leaves it hidden.
    frame->OnActivate(true);
    EXPECT_FALSE(dialog->isVisible());

    dialog->reshowFlag = 1;
    frame->OnActivate(false);
    EXPECT_FALSE(dialog->isVisible());
    frame->showMinimized();
    Pump();
    if (frame->isMinimized()) {
        frame->OnActivate(true);
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(dialog->reshowFlag, 1);
    }
    frame->showNormal();
    Pump();
    frame->OnActivate(true);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->reshowFlag, 0);
}

TEST_F(FrameReportTest, AFrameClosedWhileItsReportIsReadClosesAtOnceAndShowsNothing)
{
    frame->RequestReport(&ReportSeries(kSample + QStringLiteral("/DICOM/SR0001")), true);
    ASSERT_TRUE(frame->ReportPending());
    frame->close();
    EXPECT_TRUE(frame->IsShutDown());
    EXPECT_FALSE(frame->ReportPending());
    // Asked for after the close, nothing is read.
    frame->RequestReport(&ReportSeries(kSample + QStringLiteral("/DICOM/SR0001")), true);
    EXPECT_FALSE(frame->ReportPending());
    Pump();
    EXPECT_EQ(frame->ReportDialog(), nullptr);
    EXPECT_TRUE(answers.shown.isEmpty());
}

// A report whose read passes its budget (a tenth of what it takes) says it is out of memory,
// with its path, and shows nothing; no reading manager passed that budget.
TEST_F(FrameReportTest, AReportPastItsReadBudgetSaysOutOfMemory)
{
    PlatTempFolder folder;
    const std::string path = folder.Path() + "/SR0001";
    ASSERT_TRUE(WriteCrowdedFile(path, CrowdedShape::EmptyElements, 50000, "1.2.840.10008.5.1.4.1.1.88.11"));
    const QString report = QString::fromStdString(path);
    ReportInfo read;
    XEVReadManager::ResetLargestPeak();
    ASSERT_EQ(ReadReportFile(report, read), 1);
    // Past its budget a report is cut with a notice; one whose read cannot begin within it is
    // refused.
    const uint64_t budget = 2048;
    XEVSetReportMemoryBudget(budget);
    XEVReadManager::ResetLargestPeak();
    RequestAndWait(ReportSeries(report));
    XEVSetReportMemoryBudget(0);
    ASSERT_EQ(answers.shown.size(), 1);
    EXPECT_EQ(answers.shown.front(), GetMessageString(10006) + QStringLiteral("\n[") + report + QStringLiteral("]"));
    EXPECT_EQ(frame->ReportDialog(), nullptr);
    EXPECT_LE(XEVReadManager::LargestPeak().bytes, budget);
}
