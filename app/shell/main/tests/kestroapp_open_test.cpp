#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "testsupport/spawn.h"
#include "testsupport/xdgfolders.h"
#include "testsupport/zipmaker.h"
#include "viewer/xevimageformview.h"
#include "viewer/xevimageviewctrl.h"

namespace {

// A whole start-up reads a disc and opens its first cells: more than the usual wait.
constexpr int kStartTimeoutMs = 30000;
// A hang ceiling on a signal's end, whose bound is 5 s whatever the disk does.
constexpr int kEndCeilingMs = 20000;

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
        user_ = temp_.path().toStdString() + "/kestro-" + std::to_string(::geteuid());
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
    std::string user_;
};

// The copy's extraction folders in the user's folder of the temporary folder.
std::vector<std::string> ExtractionFolders(const std::string& user)
{
    std::vector<std::string> folders;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(user, ignored)) {
        if (entry.path().filename().string().rfind("x.", 0) == 0) {
            folders.push_back(entry.path().string());
        }
    }
    return folders;
}

// An archive's own folder inside a copy's extraction folder: its first; empty without one.
std::string ArchiveFolderIn(const std::string& folder)
{
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        if (entry.is_directory(ignored)) {
            return entry.path().string();
        }
    }
    return std::string();
}

// The one copy's archive has its first image out.
bool FirstImageOut(const std::string& user)
{
    const std::vector<std::string> folders = ExtractionFolders(user);
    return folders.size() == 1 && fs::exists(ArchiveFolderIn(folders[0]) + "/DICOM/CT0001");
}

// What an ended copy extracted is gone: at its exit when the exit ran in time, as it does in
// the optimised build; else (a sanitizer build on a busy machine may run past the exit
// deadline) what is left keeps its lock file and the next start removes it.
void ExpectNothingLeftByTheNextStart(const std::string& user, bool strict = kHangCeilings)
{
    if (strict) {
        EXPECT_TRUE(ExtractionFolders(user).empty());
    }
    for (const std::string& left : ExtractionFolders(user)) {
        EXPECT_TRUE(fs::exists(left + "/.owner")) << left;
    }
    XEVKestroInstance next;
    ASSERT_TRUE(next.InitInstance({QStringLiteral("kestro"), QStringLiteral("/Agree"), KV_SAMPLE_DIR "/DICOMDIR"}));
    // Tens of thousands of members take a busy machine tens of seconds.
    ASSERT_TRUE(PumpUntil([&] { return next.LeftoverSweepEnded(); }, kNoCeilingWaitMs));
    EXPECT_TRUE(ExtractionFolders(user).empty());
    next.ExitInstance(0);
}

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
    const std::string kestro = GetLoadState().GetExtractFolder();
    EXPECT_EQ(ExtractionFolders(user_), std::vector<std::string>{fs::path(kestro).parent_path().string()});
    EXPECT_EQ(shown->filePath.toStdString(), kestro + "/DICOM/CT0001");
    EXPECT_EQ(ReadBytes(kestro + "/DICOM/CT0001"), ReadBytes(KV_SAMPLE_DIR "/DICOM/CT0001"));
    EXPECT_EQ(frame.GetStudyList()->patients.size(), 2u);
    EXPECT_EQ(box_.Count(), 0);
    EXPECT_EQ(instance.ExitInstance(0), 0);
    EXPECT_FALSE(fs::exists(kestro));

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
    while (!(ended = waitpid(child, &status, WNOHANG) == child) && clock.elapsed() < BuildWaitMs(90000)) {
        QThread::msleep(10);
    }
    if (!ended) {
        ::kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended && WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(QFile::exists(QString::fromLocal8Bit(shot)));
    ExpectNothingLeftByTheNextStart(user_);
}

// The sample disc with its CT0002 and CT0003 entries naming CT0001's local header, opened on the
// command line: the members the loaders ask for are written once, the other names are links to
// that copy, and nothing is left after the end and the next start.
TEST_F(CommandLineArchiveTest, EntriesNamingOneMemberAreWrittenOnceAndLeaveNothing)
{
    std::vector<ZipMakerMember> members;
    const fs::path disc(KV_SAMPLE_DIR);
    for (const auto& entry : fs::recursive_directory_iterator(disc)) {
        const std::string name = fs::relative(entry.path(), disc).string();
        if (entry.is_regular_file() && name != "DICOM/CT0002" && name != "DICOM/CT0003") {
            members.push_back({"CD/" + name, ReadBytes(entry.path())});
        }
    }
    ASSERT_TRUE(MakeZip(zip_, members));
    ASSERT_TRUE(ZipMakerAddAliases(zip_, "CD/DICOM/CT0001", {"CD/DICOM/CT0002", "CD/DICOM/CT0003"}));

    XEVKestroInstance instance;
    ASSERT_TRUE(
        instance.InitInstance({QStringLiteral("kestro"), QStringLiteral("/Agree"), QString::fromStdString(zip_)}));
    CMainFrame& frame = *instance.MainFrame();
    ASSERT_TRUE(PumpUntil([&] { return frame.FirstCellsLoaded(); }, kStartTimeoutMs));
    const std::string kestro = GetLoadState().GetExtractFolder();
    // The series' loaders read the rest of it behind the first cells.
    ASSERT_TRUE(PumpUntil(
        [&] {
            return fs::exists(kestro + "/DICOM/CT0002") && fs::exists(kestro + "/DICOM/CT0003") &&
                   fs::exists(kestro + "/DICOM/CT0004");
        },
        kStartTimeoutMs));
    struct stat one {};
    struct stat two {};
    struct stat three {};
    ASSERT_EQ(::stat((kestro + "/DICOM/CT0001").c_str(), &one), 0);
    ASSERT_EQ(::stat((kestro + "/DICOM/CT0002").c_str(), &two), 0);
    ASSERT_EQ(::stat((kestro + "/DICOM/CT0003").c_str(), &three), 0);
    EXPECT_EQ(two.st_ino, one.st_ino);
    EXPECT_EQ(three.st_ino, one.st_ino);
    EXPECT_EQ(one.st_nlink, 3u);
    EXPECT_EQ(ReadBytes(kestro + "/DICOM/CT0003"), ReadBytes(KV_SAMPLE_DIR "/DICOM/CT0001"));
    EXPECT_EQ(box_.Count(), 0);
    EXPECT_EQ(instance.ExitInstance(0), 0);
    ExpectNothingLeftByTheNextStart(user_);
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

namespace {

// The real program spawned (not forked: this process runs threads already) offscreen, with
// environment variables set or, when null, removed; stderr to a file when one is named.
class Viewer {
public:
    ~Viewer()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool Spawn(const std::vector<std::string>& args, const std::vector<std::pair<std::string, const char*>>& env,
               const std::string& errorFile = std::string())
    {
        std::vector<std::string> entries = {"QT_QPA_PLATFORM=offscreen"};
        std::vector<std::string> dropped;
        for (const auto& [name, value] : env) {
            if (value != nullptr) {
                entries.push_back(name + "=" + value);
            } else {
                dropped.push_back(name);
            }
        }
        std::vector<std::string> argv = {KV_VIEWER_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!errorFile.empty()) {
            posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        const int spawned = SpawnProgram(&pid_, argv, EnvironmentWith(entries, dropped), &actions);
        posix_spawn_file_actions_destroy(&actions);
        return spawned == 0;
    }
    // The wait status once the program ended, or -1 when it did not within the time; what it
    // used into usage when given.
    int Wait(int timeoutMs, struct rusage* usage = nullptr)
    {
        int status = -1;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            if (::wait4(pid_, &status, WNOHANG, usage) == pid_) {
                pid_ = -1;
                return status;
            }
            QThread::msleep(10);
        }
        return -1;
    }
    void Signal(int signal) { ::kill(pid_, signal); }

private:
    pid_t pid_ = -1;
};

// An exit deadline far above a busy run's exit, for tests that judge what the exit leaves.
constexpr const char* kFarDeadlineMs = "60000";

bool WaitForFile(const std::function<bool()>& there, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < BuildWaitMs(timeoutMs)) {
        if (there()) {
            return true;
        }
        QThread::msleep(10);
    }
    return false;
}

}   // namespace

// SIGTERM (logout, shutdown), SIGINT and SIGHUP end the program as a close does: once the
// archive's first image came out, each ends with 0 and removes its extraction folder; a GUI
// thread busy past the time it has to take the signal (a sanitizer build decoding the first
// images) is ended with the signal's status, and removes it all the same. The exit's deadline
// is set far above a busy run: what is judged is what the exit leaves.
TEST_F(CommandLineArchiveTest, SignalsToEndRemoveTheExtractedMembers)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        TempEnvFolder runtime("XDG_RUNTIME_DIR");
        QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        Viewer viewer;
        ASSERT_TRUE(viewer.Spawn({"/Agree", zip_}, {{"KV_EXIT_DEADLINE_MS", kFarDeadlineMs}}));
        ASSERT_TRUE(WaitForFile([&] { return FirstImageOut(user_); }, kStartTimeoutMs));
        viewer.Signal(signal);
        const int status = viewer.Wait(kStartTimeoutMs);
        ASSERT_NE(status, -1);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 128 + signal) << WEXITSTATUS(status);
        ExpectNothingLeftByTheNextStart(user_);
    }
}

// A temporary folder on a file system that refuses every flag on a rename (FUSE, some network
// file systems): the archive still opens, its first study shows, and the end leaves nothing in
// the user's folder, not even the folder made before its name was taken. The refusal comes from
// a preloaded shim, and from a real FUSE file system (bindfs) where one can be mounted here.
TEST_F(CommandLineArchiveTest, AFileSystemRefusingRenameFlagsStillExtracts)
{
    const auto showsAndLeavesNothing = [&](const std::string& tmp, const std::string& preload) {
        const std::string log = temp_.path().toStdString() + "/refused.log";
        const std::string shot = temp_.path().toStdString() + "/shot.png";
        fs::remove(shot);
        Viewer viewer;
        ASSERT_TRUE(viewer.Spawn({"--screenshot", shot, "/Agree", zip_},
                                 {{"TMPDIR", tmp.c_str()},
                                  {"LD_PRELOAD", preload.empty() ? nullptr : preload.c_str()},
                                  {"KV_NORENAMEFLAGS_LOG", log.c_str()},
                                  {"KV_EXIT_DEADLINE_MS", kFarDeadlineMs},
                                  // AddressSanitizer wants its library first; the shim only passes calls on.
                                  {"ASAN_OPTIONS", "verify_asan_link_order=0"}}));
        const int status = viewer.Wait(90000);
        ASSERT_NE(status, -1);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_TRUE(fs::exists(shot));
        if (!preload.empty()) {
            // The program met the refusal.
            EXPECT_NE(ReadBytes(log).find("refused"), std::string::npos);
        }
        std::vector<std::string> left;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(tmp + "/kestro-" + std::to_string(::geteuid()), ignored)) {
            left.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(left, std::vector<std::string>{});
    };
    {
        SCOPED_TRACE("shim");
        showsAndLeavesNothing(temp_.path().toStdString(), KV_NORENAMEFLAGS_LIB);
    }

    const std::string source = temp_.path().toStdString() + "/fuse-source";
    const std::string mount = temp_.path().toStdString() + "/fuse";
    fs::create_directories(source);
    fs::create_directories(mount);
    const std::string bind = "bindfs " + source + " " + mount + " > /dev/null 2>&1";
    if (::access("/usr/bin/bindfs", X_OK) != 0 || std::system(bind.c_str()) != 0) {
        std::printf("no FUSE mount here: the shim alone stood for one\n");
        return;
    }
    struct Unmount {
        std::string mount;
        ~Unmount() { EXPECT_EQ(std::system(("fusermount -u " + mount).c_str()), 0); }
    } unmount{mount};
    SCOPED_TRACE("bindfs");
    showsAndLeavesNothing(mount, std::string());

    // Killed there: the next start removes what it left, though the file system keeps the
    // lock file under another name while the start holds it open.
    const std::string user = mount + "/kestro-" + std::to_string(::geteuid());
    Viewer killed;
    ASSERT_TRUE(killed.Spawn({"/Agree", zip_}, {{"TMPDIR", mount.c_str()}}));
    ASSERT_TRUE(WaitForFile([&] { return FirstImageOut(user); }, kStartTimeoutMs));
    killed.Signal(SIGKILL);
    ASSERT_NE(killed.Wait(kStartTimeoutMs), -1);
    ScopedEnv tmpdir("TMPDIR", mount.c_str());
    ASSERT_EQ(ExtractionFolders(user).size(), 1u);
    ExpectNothingLeftByTheNextStart(user, false);
}

// A second copy that runs beside the first (another runtime folder: another session, or a
// shell without one) neither takes the first copy's folder for a leftover at its start nor
// removes it at its end: the first copy's members stay until it ends itself.
TEST_F(CommandLineArchiveTest, ASecondCopyLeavesTheFirstCopysMembers)
{
    XEVKestroInstance first;
    ASSERT_TRUE(first.InitInstance({QStringLiteral("kestro"), QStringLiteral("/Agree"), QString::fromStdString(zip_)}));
    ASSERT_TRUE(PumpUntil([&] { return first.MainFrame()->FirstCellsLoaded(); }, kStartTimeoutMs));
    const std::string folder = GetLoadState().GetExtractFolder();
    ASSERT_TRUE(fs::exists(folder + "/DICOM/CT0001"));

    QTemporaryDir otherRuntime;
    ASSERT_TRUE(otherRuntime.isValid());
    QFile::setPermissions(otherRuntime.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const std::string shot = temp_.path().toStdString() + "/second.png";
    const std::string runtime = otherRuntime.path().toStdString();
    Viewer second;
    ASSERT_TRUE(second.Spawn({"--screenshot", shot, "/Agree", zip_},
                             {{"XDG_RUNTIME_DIR", runtime.c_str()}, {"KV_EXIT_DEADLINE_MS", kFarDeadlineMs}}));
    int status = -1;
    ASSERT_TRUE(PumpUntil([&] { return (status = second.Wait(10)) != -1; }, 90000));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(fs::exists(shot));
    EXPECT_EQ(ExtractionFolders(user_), std::vector<std::string>{fs::path(folder).parent_path().string()});
    EXPECT_TRUE(fs::exists(folder + "/DICOM/CT0001"));
    EXPECT_TRUE(fs::exists(folder + "/DICOMDIR"));
    EXPECT_EQ(first.ExitInstance(0), 0);
    EXPECT_TRUE(ExtractionFolders(user_).empty());
}

namespace {

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The names made in the folder watched by the inotify descriptor since it was made, but
// ThreadSanitizer's runtime's own, which it makes and unlinks at every start.
std::vector<std::string> NamesMade(int watch)
{
    std::vector<std::string> names;
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = ::read(watch, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            const std::string name = event->len > 0 ? event->name : "";
            if (name.rfind("tsan.", 0) != 0) {
                names.push_back(name);
            }
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    return names;
}

// Fills the folder with sub-folders of one file each, as many members of their own folders
// extracted, until count or until stop; made counts them.
void FillWithMembers(const std::string& folder, int count, const std::atomic<bool>& stop, std::atomic<int>& made)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd >= 0 && made < count && !stop.load()) {
        const std::string name = "M" + std::to_string(made);
        if (::mkdirat(fd, name.c_str(), 0700) != 0) {
            break;
        }
        const int file = ::openat(fd, (name + "/IM1").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (file >= 0) {
            ::close(file);
        }
        ++made;
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

}   // namespace

// A signal while a large extraction folder is being filled, and one once it is full: either
// way the process ends within its bound with the status of a signal taken (or, on a machine that
// starves its loop, of one not taken); whatever the removal had no time for keeps its lock file,
// and the next start removes it. Nothing is said of workers, none being in a read.
TEST_F(CommandLineArchiveTest, ASignalWithALargeExtractionFolderEndsSoonAndTheNextStartRemovesTheRest)
{
    constexpr int kMembers = 20000;
    for (const bool whileFilling : {true, false}) {
        SCOPED_TRACE(whileFilling ? "while filling" : "once full");
        TempEnvFolder runtime("XDG_RUNTIME_DIR");
        QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const std::string errors = temp_.path().toStdString() + "/stderr.txt";
        Viewer viewer;
        ASSERT_TRUE(viewer.Spawn({"/Agree", zip_}, {}, errors));
        std::string folder;
        ASSERT_TRUE(WaitForFile(
            [&] {
                const std::vector<std::string> folders = ExtractionFolders(user_);
                folder = folders.size() == 1 ? folders[0] : std::string();
                return !folder.empty() && fs::exists(ArchiveFolderIn(folder) + "/DICOM/CT0001");
            },
            kStartTimeoutMs));
        std::atomic<bool> stop{false};
        std::atomic<int> made{0};
        std::thread filler([&] { FillWithMembers(folder, kMembers, stop, made); });
        // Joined however the test ends.
        struct Join {
            std::atomic<bool>& stop;
            std::thread& thread;
            ~Join()
            {
                stop = true;
                if (thread.joinable()) {
                    thread.join();
                }
            }
        } join{stop, filler};
        if (whileFilling) {
            ASSERT_TRUE(WaitForFile([&] { return made.load() >= 500; }, kStartTimeoutMs));
        } else {
            filler.join();
            ASSERT_EQ(made.load(), kMembers);
        }
        QElapsedTimer clock;
        clock.start();
        viewer.Signal(SIGTERM);
        const int atSignal = made.load();
        const int status = viewer.Wait(2 * kStartTimeoutMs);
        const qint64 ms = clock.elapsed();
        stop = true;
        if (filler.joinable()) {
            filler.join();
        }
        ASSERT_NE(status, -1);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 128 + SIGTERM) << WEXITSTATUS(status);
        const std::string said = ReadText(errors);
        EXPECT_EQ(said.find("worker thread"), std::string::npos) << said;
        if (kHangCeilings) {
            EXPECT_LT(ms, kEndCeilingMs) << said;
        }
        std::printf("[ figures  ] SIGTERM %s, %d members: ended in %lld ms\n",
                    whileFilling ? "while filling" : "once full", atSignal, static_cast<long long>(ms));
        ExpectNothingLeftByTheNextStart(user_, false);
    }
}

// Without a runtime folder the lock lies in the user's folder of the temporary folder. Another
// user's folder, file or link under that name, or a lock file there that this user cannot use,
// never stops a start: the lock goes to a folder of this user alone beside it, stderr says
// which, the sample disc shows, and what was planted stays as it was.
TEST_F(CommandLineArchiveTest, AnotherUsersFolderOrLockFileNeverStopsAStart)
{
    const std::string elsewhere = temp_.path().toStdString() + "/elsewhere";
    fs::create_directories(elsewhere);
    const std::string lockName = "/_Kestro_DicomVerdastra";
    struct Planted {
        const char* what;
        std::function<void()> plant;
        std::function<bool()> intact;
    };
    std::vector<Planted> cases = {
        {"a file", [&] { std::ofstream(user_) << "planted"; }, [&] { return ReadText(user_) == "planted"; }},
        {"a link", [&] { fs::create_directory_symlink(elsewhere, user_); },
         [&] { return fs::is_symlink(user_) && fs::is_empty(elsewhere); }},
        // A folder in place of the lock file: what a user cannot lock, whoever made it.
        {"a folder at the lock's name",
         [&] {
             fs::create_directories(user_ + lockName);
             fs::permissions(user_, fs::perms::all);
         },
         [&] { return fs::is_directory(user_ + lockName); }},
    };
    if (::geteuid() == 0) {
        // Only the superuser can hand a folder or a file to another user.
        cases.push_back({"another user's folder",
                         [&] {
                             fs::create_directory(user_);
                             fs::permissions(user_, fs::perms::all);
                             EXPECT_EQ(::chown(user_.c_str(), 65534, 65534), 0);
                         },
                         [&] { return fs::is_empty(user_); }});
        cases.push_back({"another user's lock file in the user's folder",
                         [&] {
                             fs::create_directory(user_);
                             fs::permissions(user_, fs::perms::all);
                             std::ofstream(user_ + lockName) << "planted";
                             EXPECT_EQ(::chown((user_ + lockName).c_str(), 65534, 65534), 0);
                         },
                         [&] { return ReadText(user_ + lockName) == "planted"; }});
    }
    for (const Planted& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(user_);
        c.plant();
        const std::string errors = temp_.path().toStdString() + "/stderr.txt";
        const std::string shot = temp_.path().toStdString() + "/shot.png";
        fs::remove(shot);
        Viewer viewer;
        ASSERT_TRUE(viewer.Spawn({"--screenshot", shot, "/Agree", KV_SAMPLE_DIR "/DICOMDIR"},
                                 {{"XDG_RUNTIME_DIR", nullptr}}, errors));
        int status = -1;
        ASSERT_TRUE(PumpUntil([&] { return (status = viewer.Wait(10)) != -1; }, 90000));
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_TRUE(fs::exists(shot));
        const std::string said = ReadText(errors);
        const std::string fallback = temp_.path().toStdString() + "/kestro-" + std::to_string(::geteuid()) + "-run.";
        EXPECT_NE(said.find("single-instance lock"), std::string::npos) << said;
        EXPECT_NE(said.find("using \"" + fallback), std::string::npos) << said;
        EXPECT_TRUE(c.intact());
    }
}

// Archives at the format's limits, written by Python's zipfile and opened by the program itself:
// one whose comment has the largest length, and one whose 12,000 first entries are named
// 65,000 bytes long (1.56 GB). Each shows its first study, and the long names are never held:
// the run's peak memory stays far below what they would take.
TEST_F(CommandLineArchiveTest, ArchivesAtTheFormatsLimitsShowTheirFirstStudy)
{
    struct Case {
        const char* kind;
        const char* count;
    };
    for (const Case& c : {Case{"comment", ""}, Case{"longnames", "12000"}}) {
        const std::string zip = temp_.path().toStdString() + "/" + c.kind + ".zip";
        const std::string command = "/usr/bin/python3 -W ignore " KESTRO_TEST_DATA_DIR "/write_limit_zip.py " + zip +
                                    " " KV_SAMPLE_DIR " " + c.kind + " " + c.count;
        ASSERT_EQ(std::system(command.c_str()), 0) << c.kind;
        const std::string shot = temp_.path().toStdString() + "/" + c.kind + ".png";
        QElapsedTimer clock;
        clock.start();
        Viewer viewer;
        ASSERT_TRUE(viewer.Spawn({"--screenshot", shot, "/Agree", zip}, {}));
        struct rusage usage {};
        const int status = viewer.Wait(kNoCeilingWaitMs, &usage);
        std::printf("[ figures  ] %s: %lld ms, peak RSS %ld MB\n", c.kind, static_cast<long long>(clock.elapsed()),
                    usage.ru_maxrss >> 10);
        ASSERT_TRUE(WIFEXITED(status)) << c.kind;
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.kind;
        EXPECT_TRUE(fs::exists(shot)) << c.kind;
        EXPECT_LT(usage.ru_maxrss >> 10, 512) << c.kind;
        fs::remove(zip);
    }
    ExpectNothingLeftByTheNextStart(user_);
}

// --screenshot where the terms would be asked: no one can answer them and the first images wait
// for them, so the run ends at once with 1, says how to agree, and opens nothing: a first start
// with no path, on a zip, a disc and a file alone, and a start whose stored acceptance is older
// than the shortcut beside the program. Nothing is made in its temporary folder and no
// acceptance is written. Agreed by "/Agree" or by a current acceptance, it is shot.
TEST_F(CommandLineArchiveTest, AScreenshotWhoseTermsWouldBeAskedEndsAtOnceSayingSo)
{
    const std::string tmp = temp_.path().toStdString() + "/tmp";
    const std::string shot = temp_.path().toStdString() + "/shot.png";
    const std::string errors = temp_.path().toStdString() + "/errors.txt";
    fs::create_directory(tmp);
    const auto run = [&](std::vector<std::string> args, int ceilingMs) {
        fs::remove(shot);
        args.insert(args.begin(), {"--screenshot", shot});
        Viewer viewer;
        EXPECT_TRUE(viewer.Spawn(args, {{"TMPDIR", tmp.c_str()}, {"KV_EXIT_DEADLINE_MS", kFarDeadlineMs}}, errors));
        const int status = viewer.Wait(BuildWaitMs(ceilingMs));
        EXPECT_TRUE(fs::is_empty(tmp));
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string marker = xdg_.DataHome().toStdString() + "/Korvanta MEDICAL/RV-K Viewer/Agree";
    const fs::path shortcut = fs::path(KV_VIEWER_EXE).parent_path() / "ZYLV.lnk";
    const std::string disc = KV_SAMPLE_DIR "/DICOMDIR";
    const std::vector<std::vector<std::string>> unanswered = {
        {}, {zip_}, {disc}, {KV_SAMPLE_DIR "/DICOM/CT0001"}, {zip_}};
    for (size_t i = 0; i < unanswered.size(); ++i) {
        SCOPED_TRACE(i);
        if (i + 1 == unanswered.size()) {
            // The last with an acceptance stored before the shortcut was made.
            EXPECT_FALSE(fs::exists(marker));
            fs::create_directories(fs::path(marker).parent_path());
            std::ofstream(marker).close();
            fs::last_write_time(marker, fs::last_write_time(shortcut) - std::chrono::seconds(1));
        }
        // Not even made and removed again.
        const int made = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(made, tmp.c_str(), IN_CREATE), 0);
        EXPECT_EQ(run(unanswered[i], kQuickStepCeilingMs), 1);
        EXPECT_EQ(NamesMade(made), std::vector<std::string>());
        ::close(made);
        const std::string said = ReadText(errors);
        EXPECT_NE(said.find("terms of use must be agreed first (pass /Agree)"), std::string::npos) << said;
        EXPECT_FALSE(fs::exists(shot));
    }
    EXPECT_EQ(run({"/Agree", zip_}, 90000), 0);
    EXPECT_TRUE(fs::exists(shot));
    fs::last_write_time(marker, fs::last_write_time(shortcut) + std::chrono::seconds(1));
    EXPECT_EQ(run({disc}, 90000), 0);
    EXPECT_TRUE(fs::exists(shot));
}
