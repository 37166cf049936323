#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "platform/platfolder.h"
#include "shell/kestroapp.h"
#include "shell/mainframe.h"
#include "shell/xevagreedlg.h"
#include "shell/xevcommonsettings.h"
#include "study/xevlistformview.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "testsupport/pump.h"
#include "testsupport/qtguitestapp.h"
#include "testsupport/recordingbox.h"
#include "testsupport/xdgfolders.h"
#include "testsupport/zipmaker.h"
#include "viewer/xevimageformview.h"
#include "viewer/xevimageviewctrl.h"

namespace {

// A whole start-up reads a disc and opens its first cells: more than the usual wait.
constexpr int kStartTimeoutMs = 30000;

namespace fs = std::filesystem;

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool EnoughMemory()
{
    return true;
}

// The sample disc zipped below "CD/", and folders of the test's own for everything a start
// touches: temporary, runtime, data home and program folder.
class CommandLineArchiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.isValid() && xdg_.isValid() && program_.isValid());
        PlatSetModuleFolderForTest(program_.path().toStdString());
        qApp->setQuitOnLastWindowClosed(false);
        XEVSetMessageBox(&box_);
        XEVSetMemoryTest(&EnoughMemory);

        zip_ = temp_.path().toStdString() + "/disc.zip";
        std::vector<ZipMakerMember> members;
        const fs::path disc(KV_SAMPLE_DIR);
        for (const auto& entry : fs::recursive_directory_iterator(disc)) {
            if (entry.is_regular_file()) {
                members.push_back({"CD/" + fs::relative(entry.path(), disc).string(), ReadBytes(entry.path())});
            }
        }
        ASSERT_TRUE(MakeZip(zip_, members));
        kestro_ = temp_.path().toStdString() + "/Kestro";
    }
    void TearDown() override
    {
        XEVSetMemoryTest(nullptr);
        XEVSetMessageBox(nullptr);
        PlatSetModuleFolderForTest("");
        GetCommonSettings().ModeOrvix = 0;
    }

    TempEnvFolder temp_{"TMPDIR"};
    TempXdgFolders xdg_;
    QTemporaryDir program_;
    RecordingBox box_;
    std::string zip_;
    std::string kestro_;
};

}   // namespace

TEST_F(CommandLineArchiveTest, ShowsTheFirstStudyFromTheArchiveAndLeavesNoFolder)
{
    QFile ini(QDir(program_.path()).filePath(QStringLiteral("ZYLV.INI")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Options]\r\nModeOrvix=1\r\n");
    ini.close();

    XEVKestroInstance instance;
    ASSERT_TRUE(instance.InitInstance({QStringLiteral("kestro"), QString::fromStdString(zip_)}));
    CMainFrame& frame = *instance.MainFrame();
    ASSERT_NE(frame.FileOpenAction(), nullptr);
    EXPECT_FALSE(frame.FileOpenAction()->isEnabled());
    ASSERT_TRUE(PumpUntil([&] { return frame.AgreementDialog() != nullptr && frame.AgreementDialog()->isVisible(); },
                          kStartTimeoutMs));
    frame.AgreementDialog()->OnOK();
    ASSERT_TRUE(PumpUntil([&] { return frame.FirstCellsLoaded(); }, kStartTimeoutMs));
    EXPECT_TRUE(frame.FileOpenAction()->isEnabled());

    ImageInfo* shown = nullptr;
    for (const auto& [id, cell] : frame.GetImageFormView()->ActiveCells()) {
        shown = shown != nullptr ? shown : cell->CurrentImage();
    }
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->filePath.toStdString(), kestro_ + "/DICOM/CT0001");
    EXPECT_EQ(ReadBytes(kestro_ + "/DICOM/CT0001"), ReadBytes(KV_SAMPLE_DIR "/DICOM/CT0001"));
    EXPECT_EQ(frame.GetStudyList()->patients.size(), 2u);
    EXPECT_EQ(box_.Count(), 0);
    EXPECT_EQ(instance.ExitInstance(0), 0);
    EXPECT_FALSE(fs::exists(kestro_));

    // The executable itself: it shows the first study and leaves nothing behind. Spawned,
    // not forked: this process runs threads already.
    const QByteArray exe = QByteArrayLiteral(KV_VIEWER_EXE);
    const QByteArray shot = temp_.filePath(QStringLiteral("shot.png")).toLocal8Bit();
    std::vector<QByteArray> args = {exe, "--screenshot", shot, "/Agree", QByteArray::fromStdString(zip_)};
    std::vector<char*> argv;
    for (QByteArray& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, exe.constData(), nullptr, nullptr, argv.data(), environ), 0);
    qputenv("QT_QPA_PLATFORM", platform);
    int status = -1;
    QElapsedTimer clock;
    clock.start();
    bool ended = false;
    while (!(ended = waitpid(child, &status, WNOHANG) == child) && clock.elapsed() < 90000) {
        QThread::msleep(10);
    }
    if (!ended) {
        ::kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended && WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(QFile::exists(QString::fromLocal8Bit(shot)));
    EXPECT_FALSE(fs::exists(kestro_));
}

TEST_F(CommandLineArchiveTest, TheCommandLineTellsTheThreeKindsApart)
{
    // A single file lists its one patient; what is none of the kinds fails as a missing
    // DICOMDIR does.
    const std::string text = temp_.path().toStdString() + "/notes.txt";
    std::ofstream(text) << "plain text";
    struct Case {
        std::string path;
        size_t patients;
        intptr_t result;
    };
    for (const Case& c :
         {Case{KV_SAMPLE_DIR "/DICOM/CR0001", 1, 0}, Case{KV_SAMPLE_DIR "/DICOMDIR", 2, 0}, Case{text, 0, -1001}}) {
        XEVKestroInstance instance;
        ASSERT_TRUE(instance.InitInstance({QStringLiteral("kestro"), QString::fromStdString(c.path)}));
        CMainFrame& frame = *instance.MainFrame();
        // The frame takes the result from a message the list posts once it has loaded.
        ASSERT_TRUE(PumpUntil([&] { return frame.GetStudyList()->loaded != 0 && frame.LoadResult() == c.result; },
                              kStartTimeoutMs))
            << c.path;
        EXPECT_EQ(frame.GetStudyList()->patients.size(), c.patients) << c.path;
        EXPECT_EQ(frame.singleFileOpened, c.patients == 1 ? 1 : 0) << c.path;
        EXPECT_EQ(frame.LoadResult(), c.result) << c.path;
        EXPECT_EQ(box_.Count(), 0);
        instance.ExitInstance(0);
    }
}
