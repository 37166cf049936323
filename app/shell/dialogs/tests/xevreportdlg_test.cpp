#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "plat_temp_folder.h"
#include "shell/xev_uistring.h"
#include "shell/xevbitmapbutton.h"
#include "shell/xevfileopen.h"
#include "shell/xevreportdlg.h"
#include "shell/xevziparchive.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "testsupport/programfolder.h"
#include "testsupport/pump.h"
#include "testsupport/qtguitestapp.h"
#include "testsupport/recordingbox.h"
#include "testsupport/xevcontroltest.h"
#include "testsupport/zipmaker.h"
#include "viewer/xevimageviewctrl.h"

namespace {

namespace fs = std::filesystem;

const std::string kStudyData = STUDY_TEST_DATA_DIR;
const std::string kReports = DIALOGS_TEST_DATA_DIR;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A series of a non-report image and, when given, one "SR" image.
struct Series {
    explicit Series(const QString& srPath)
    {
        auto* image = new ImageInfo;
        image->SetRecordText(QStringLiteral("IMAGE"));
        image->SetFilePath(QString::fromStdString(kStudyData + "/discA/IMG/I01"));
        info.images.push_back(image);
        if (!srPath.isEmpty()) {
            auto* report = new ImageInfo;
            report->SetRecordText(QStringLiteral("SR"));
            report->SetFilePath(srPath);
            info.images.push_back(report);
        }
    }
    SeriesInfo info;
};

// The program folder, the temporary folder and the message box all the test's own.
class ReportDialogTest : public XEVProgramFolderTest {
protected:
    void SetUp() override
    {
        XEVProgramFolderTest::SetUp();
        tmpEnv_.emplace("TMPDIR", temp_.Path().c_str());
        XEVSetMessageBox(&box_);
    }
    void TearDown() override
    {
        ForgetZipArchive();
        (void)Eventually([] { return !ArchiveFolderRemovalsPending(); });
        XEVSetMessageBox(nullptr);
        tmpEnv_.reset();
        XEVProgramFolderTest::TearDown();
    }
    static QString Report(const char* name) { return QString::fromStdString(kReports + "/" + name); }
    static QString Value(const CXEVReportDlg& dialog, CXEVReportDlg::Row row) { return dialog.Value(row)->text(); }

    PlatTempFolder temp_;
    RecordingBox box_;
    std::optional<ScopedEnv> tmpEnv_;
};

TEST_F(ReportDialogTest, HeaderRowsAndTheScrollBar)
{
    CXEVReportDlg* dialog = nullptr;
    Series shortReport(Report("short.dcm"));
    XEVShowReport(dialog, nullptr, &shortReport.info);
    ASSERT_NE(dialog, nullptr);
    std::unique_ptr<CXEVReportDlg> owner(dialog);
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kName), QStringLiteral(" 山田 太郎"));
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kPatientId), QStringLiteral(" P45"));
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kBirthDate), QStringLiteral(" 1970年01月01日"));
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kAccession), QStringLiteral(" ACC4567890123456"));
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kStudyDate), QStringLiteral(" 2026年01月02日 09時30分15秒"));
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kProcedure), QStringLiteral(" CHEST"));
    EXPECT_EQ(dialog->ReportText()->toPlainText(), QStringLiteral("line 0\n\nline 1"));
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->ReportText()->verticalScrollBar()->isVisible());
    EXPECT_TRUE(box_.texts.empty());

    // A second request reuses the window.
    Series longReport(Report("long.dcm"));
    EXPECT_EQ(XEVShowReport(dialog, nullptr, &longReport.info), owner.get());
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kName), QStringLiteral(" Doe John"));
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kBirthDate), QStringLiteral(" "));
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kStudyDate), QStringLiteral(" 2026年01月02日 "));
    QApplication::processEvents();
    EXPECT_TRUE(dialog->ReportText()->verticalScrollBar()->isVisible());

    // The older dotted date reads as its eight digits; an empty study date shows no date parts.
    Series dotted(Report("dotted.dcm"));
    XEVShowReport(dialog, nullptr, &dotted.info);
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kBirthDate), QStringLiteral(" 1997年04月24日"));
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kStudyDate), QStringLiteral("  10時15分00秒"));

    // Without an SR image, or with an unreadable one, the contents stay.
    Series noReport{QString()};
    dialog->OnReportText(&noReport.info);
    dialog->OnReportText(nullptr);
    EXPECT_TRUE(box_.texts.empty());
    const QString missing = Report("missing.dcm");
    Series unreadable(missing);
    dialog->OnReportText(&unreadable.info);
    ASSERT_EQ(box_.texts.size(), 1u);
    EXPECT_EQ(box_.texts[0], GetMessageString(10024) + QStringLiteral("\n[") + missing + QStringLiteral("]"));
    EXPECT_EQ(Value(*dialog, CXEVReportDlg::kName), QStringLiteral(" Doe John"));
}

TEST_F(ReportDialogTest, LayoutMinimumSizeCloseAndSkin)
{
    CXEVReportDlg dialog;
    EXPECT_EQ(dialog.MinimumDialogSize(), QSize(997, 394));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("  レポート"));
    EXPECT_EQ(dialog.Label(CXEVReportDlg::kStudyDate)->text(), QStringLiteral("検査日"));
    EXPECT_EQ(dialog.Label(CXEVReportDlg::kProcedure)->geometry(), QRect(31, 196, 149, 33));
    EXPECT_EQ(dialog.ReportText()->geometry(), QRect(495, 30, 472, 270));
    EXPECT_EQ(dialog.CloseButton()->geometry(), QRect(863, 320, 104, 44));
    // No skin files beside the program: the built-in look.
    EXPECT_FALSE(dialog.HasSkin());
    EXPECT_FALSE(dialog.CloseButton()->Bitmap(CXEVOwnerDrawButton::kNormal).isNull());
    EXPECT_FALSE(dialog.CloseButton()->Bitmap(CXEVOwnerDrawButton::kDisabled).isNull());

    dialog.show();
    dialog.resize(1200, 500);
    QApplication::processEvents();
    EXPECT_EQ(dialog.ReportText()->geometry(), QRect(495, 30, 675, 376));
    EXPECT_EQ(dialog.CloseButton()->geometry(), QRect(1066, 426, 104, 44));
    EXPECT_EQ(dialog.Value(CXEVReportDlg::kName)->geometry(), QRect(180, 31, 304, 33));
    dialog.CloseButton()->click();
    EXPECT_TRUE(PumpUntil([&] { return !dialog.isVisible(); }, kControlTimeoutMs));

    QDir().mkpath(folder_.path() + QStringLiteral("/Res"));
    QImage look(90, 30, QImage::Format_RGB32);
    look.fill(Qt::red);
    for (const char* suffix : {"off", "on", "over", "d"}) {
        ASSERT_TRUE(look.save(CXEVBitmapButton::SkinPath(QStringLiteral("Close"), QString::fromLatin1(suffix)), "BMP"));
    }
    CXEVReportDlg skinned;
    EXPECT_TRUE(skinned.HasSkin());
}

TEST(ReportSizing, ADragBelowTheMinimumKeepsTheOppositeEdge)
{
    const QSize minimum(997, 394);
    const QRect small(QPoint(500, 300), QSize(600, 200));
    const QRect left = XEVApplySizingRule(small, XEVSizingEdge::Left, minimum);
    EXPECT_EQ(left.right(), small.right());
    EXPECT_EQ(left.width(), 997);
    const QRect right = XEVApplySizingRule(small, XEVSizingEdge::BottomRight, minimum);
    EXPECT_EQ(right.topLeft(), small.topLeft());
    EXPECT_EQ(right.size(), minimum);
    const QRect top = XEVApplySizingRule(small, XEVSizingEdge::TopLeft, minimum);
    EXPECT_EQ(top.bottomRight(), small.bottomRight());
    const QRect wide(QPoint(0, 0), QSize(1200, 500));
    EXPECT_EQ(XEVApplySizingRule(wide, XEVSizingEdge::Left, minimum), wide);
}

TEST_F(ReportDialogTest, OpeningPathsAndTheArchiveImport)
{
    const std::string disc = kStudyData + "/discA";
    const std::string text = temp_.Path() + "/text.txt";
    const std::string fakeDicm = temp_.Path() + "/fake.dcm";
    std::ofstream(text) << "plain text";
    std::ofstream(fakeDicm, std::ios::binary) << std::string(128, '\0') << "DICMxxxxxxxx";
    EXPECT_EQ(ClassifyOpenPath(QString::fromStdString(disc + "/DICOMDIR")), XEVOpenKind::DicomDir);
    EXPECT_EQ(ClassifyOpenPath(QString::fromStdString(disc + "/IMG/I01")), XEVOpenKind::DicomFile);
    EXPECT_EQ(ClassifyOpenPath(QString::fromStdString(text)), XEVOpenKind::Unreadable);
    EXPECT_EQ(ClassifyOpenPath(QString::fromStdString(fakeDicm)), XEVOpenKind::Unreadable);

    // The sample disc zipped below "CD/".
    std::vector<ZipMakerMember> members;
    for (const auto& entry : fs::recursive_directory_iterator(disc)) {
        if (entry.is_regular_file()) {
            members.push_back({"CD/" + fs::relative(entry.path(), disc).string(), ReadFile(entry.path().string())});
        }
    }
    const std::string zip = temp_.Path() + "/disc.zip";
    ASSERT_TRUE(MakeZip(zip, members));
    EXPECT_EQ(ClassifyOpenPath(QString::fromStdString(zip)), XEVOpenKind::Archive);
    // The name only orders the reads: a zip by another name and a DICOMDIR named as a zip are
    // what they are.
    const std::string unnamed = temp_.Path() + "/disc.bin";
    const std::string namedZip = temp_.Path() + "/DICOMDIR.ZIP";
    fs::copy_file(zip, unnamed);
    fs::copy_file(disc + "/DICOMDIR", namedZip);
    EXPECT_EQ(ClassifyOpenPath(QString::fromStdString(unnamed)), XEVOpenKind::Archive);
    EXPECT_EQ(ClassifyOpenPath(QString::fromStdString(namedZip)), XEVOpenKind::DicomDir);

    const std::string kestro = XEVGetExtractFolder();
    const std::shared_ptr<XEVArchiveImport> import = CheckZipArchive(QString::fromStdString(zip), nullptr);
    ASSERT_EQ(import->failure, 0);
    const std::string folder = import->folder;
    EXPECT_EQ(folder.rfind(kestro + "/", 0), 0u);
    const QString dicomDir = TakeZipArchive(*import);
    EXPECT_EQ(dicomDir.toStdString(), folder + "/DICOMDIR");
    EXPECT_EQ(ReadFile(folder + "/DICOMDIR"), ReadFile(disc + "/DICOMDIR"));
    EXPECT_EQ(GetLoadState().GetZipPath(), zip);
    EXPECT_EQ(GetLoadState().GetExtractFolder(), folder);
    EXPECT_TRUE(IsDicomDirFile(dicomDir));

    // The loader extracts an image the first time it misses it.
    XEVVEKHelper helper;
    int32_t frame = 0;
    EXPECT_EQ(helper.LoadImage(QString::fromStdString(folder + "/IMG/I01"), frame), 1);
    EXPECT_EQ(ReadFile(folder + "/IMG/I01"), ReadFile(disc + "/IMG/I01"));

    // The report comes out of the archive; a member it lacks is passed over silently.
    CXEVReportDlg dialog;
    Series report(QString::fromStdString(folder + "/SR/R01"));
    dialog.OnReportText(&report.info);
    EXPECT_FALSE(Value(dialog, CXEVReportDlg::kName).trimmed().isEmpty());
    Series absent(QString::fromStdString(folder + "/SR/R99"));
    dialog.OnReportText(&absent.info);
    EXPECT_TRUE(box_.texts.empty());

    // A refused import keeps the archive; leaving it empties the folder, on a worker, and the end
    // removes it.
    EXPECT_NE(CheckZipArchive(QString::fromStdString(text), nullptr)->failure, 0);
    EXPECT_EQ(GetLoadState().GetZipPath(), zip);
    EXPECT_TRUE(fs::exists(folder + "/IMG/I01"));
    ForgetZipArchive();
    EXPECT_TRUE(GetLoadState().GetZipPath().empty());
    ASSERT_TRUE(Eventually([] { return !ArchiveFolderRemovalsPending(); }));
    EXPECT_EQ(std::distance(fs::directory_iterator(kestro), fs::directory_iterator()), 1);   // the lock
    XEVEndExtractFolder();
    EXPECT_FALSE(fs::exists(kestro));

    ReportInfo untouched;
    EXPECT_EQ(ReadReportFile(QString::fromStdString(text), untouched), 0);
    EXPECT_EQ(ReadReportFile(QString::fromStdString(disc + "/SR/R01"), untouched), 1);
}

}   // namespace
