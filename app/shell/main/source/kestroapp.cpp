#include "shell/kestroapp.h"

#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QIcon>
#include <QImageWriter>
#include <QLabel>
#include <QShortcut>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "shell/mainframe.h"
#include "shell/xev_utility.h"
#include "shell/xevagreedlg.h"
#include "shell/xevbitmap.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevdetached.h"
#include "shell/xevendsignals.h"
#include "shell/xevfileopen.h"
#include "shell/xevziparchive.h"
#include "study/xevloadstate.h"

namespace {

constexpr uint16_t kSmallIconBitmap = 130;

// Tells the application that the frame begins to close, before the frame's own handler stops
// the loaders.
class CloseWatch : public QObject {
public:
    CloseWatch(std::function<void()> closing, QObject* parent) : QObject(parent), closing_(std::move(closing)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Close) {
            closing_();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> closing_;
};

std::function<void()>& SweepGate()
{
    static std::function<void()>& gate = *new std::function<void()>;
    return gate;
}

// The moment an end begins: nothing more is named in extraction folders, and nothing waits.
void ShutNaming()
{
    ZipShutNaming(true);
}

// On the end's own thread, first of all its work: the extraction folder goes once what was being
// named has been named. A copier in a read writes into a file whose name went.
void RemoveExtracted()
{
    ZipWaitForNaming();
    XEVEndExtractFolder();
}

// The running application, for the ends that come through a library.
std::atomic<CKestroApp*> g_app{nullptr};

// On the application's thread only: the window has gone, so the claim goes too.
void LetGoOfTheClaim()
{
    CKestroApp* app = g_app.load();
    if (app != nullptr && QThread::currentThread() == app->thread()) {
        app->LetGoOfTheClaim();
    }
}

// While the run is under way, an exit() a library calls ends through the program's one end. A
// static of ours made during the run is never destroyed (exit() destroys those before this
// handler runs); Qt's own may be.
std::atomic<bool> g_runUnderWay{false};

void OnLibraryExit(int status, void*)
{
    if (g_runUnderWay.exchange(false)) {
        LetGoOfTheClaim();
        const std::string why = "kestro: ended by exit(" + std::to_string(status) + ") from a library\n";
        XEVEndProcessNow(status, why.c_str());
    }
}

QtMessageHandler g_earlierMessages = nullptr;

// A lost X connection is taken before exit() runs: the extraction folder goes before any word.
void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (XEVSaysTheXConnectionBroke(type, context, text) && g_runUnderWay.exchange(false)) {
        LetGoOfTheClaim();
        const std::string why = "kestro: ended as the X connection broke (" + text.toStdString() + ")\n";
        XEVEndProcessNow(1, why.c_str());
    }
    // Nothing written during the end waits for stderr.
    if (XEVEndHasBegun()) {
        XEVSayWithoutWaiting(qFormatLogMessage(type, context, text).toStdString() + "\n");
    } else if (g_earlierMessages != nullptr) {
        g_earlierMessages(type, context, text);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    }
}

}   // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("RV-K Viewer"));
    auto* layout = new QVBoxLayout(this);
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
    layout->addWidget(icon);
    layout->addWidget(new QLabel(QStringLiteral("RV-K Viewer"), this));
    layout->addWidget(new QLabel(QStringLiteral("Version 1.0"), this));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    QObject::connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

XEVKestroInstance::XEVKestroInstance()
{
    // A fresh end for each instance a test runs in its process, also when an earlier one ended
    // with readers left. Before any end can begin: a signal may come while the start runs.
    XEVResetEnd();
    XEVSetEndCleanup(ShutNaming, RemoveExtracted);
    ZipShutNaming(false);
}

XEVKestroInstance::~XEVKestroInstance()
{
    StopLeftoverSweep();
    // The frame's panes go before the application they live in.
    frame_.reset();
}

void XEVKestroInstance::SetLeftoverSweepGateForTest(std::function<void()> gate)
{
    SweepGate() = std::move(gate);
}

bool XEVKestroInstance::LeftoverSweepEnded() const
{
    return sweeper_ == nullptr || sweeper_->Ended();
}

void XEVKestroInstance::StartLeftoverSweep()
{
    StopLeftoverSweep();
    // A counted thread like every other worker: what it uses beyond the folders it holds is
    // its own stop.
    auto stop = std::make_shared<std::atomic<bool>>(false);
    sweeper_ = XEVStartCounted([stop, gate = SweepGate()] {
        if (gate) {
            gate();
        }
        // A copy whose window went a moment ago may still be ending.
        const XEVCountedRemoval removing;
        XEVRemoveLeftoverExtractFolders([&stop] { return stop->load(); }, kXEVEndBoundMs + kXEVEndShareMs);
    });
    sweepStop_ = sweeper_ != nullptr ? std::move(stop) : nullptr;
}

void XEVKestroInstance::StopLeftoverSweep()
{
    // Stopped between two entries, so soon ended: what is left keeps its lock file.
    if (sweepStop_) {
        sweepStop_->store(true);
    }
    if (sweeper_) {
        (void)sweeper_->Wait();
    }
}

bool XEVKestroInstance::InitInstance(const QStringList& arguments)
{
    instance_ = std::make_unique<XEVSingleInstance>();
    startStatus_ = 0;
    if (!instance_->Start([this] { ActivateRunningInstance(); })) {
        // Another copy runs and was asked forward; but a lock that cannot be taken at all (not
        // even in a folder of the user's own beside the temporary folder's) is said, or the
        // viewer would vanish without a word.
        if (instance_->LockUnusable()) {
            std::fprintf(stderr,
                         "kestro: cannot take the single-instance lock \"%s\": no folder of this user's own can "
                         "hold it\n",
                         instance_->LockPath().c_str());
            startStatus_ = 1;
        }
        instance_.reset();
        return false;
    }
    if (!instance_->UnusableLockPath().empty()) {
        std::fprintf(stderr, "kestro: the single-instance lock \"%s\" is not this user's own; using \"%s\" instead\n",
                     instance_->UnusableLockPath().c_str(), instance_->LockPath().c_str());
    }
    // Members that copies which did not end extracted are left over: only folders this
    // program made whose copy no longer runs go, never a folder of another name.
    StartLeftoverSweep();

    XEVLoadState& state = GetLoadState();
    state.SetLoaderWindow(XEVWindowHandle());
    state.mouseTool = 0;
    state.memoryShort = 0;
    state.memoryShortStudy = 0;
    state.singlePatientStudy = 0;

    frame_ = std::make_unique<CMainFrame>();
    frame_->installEventFilter(new CloseWatch([this] { OnFrameClosing(); }, &context_));
    frame_->SetInitialPlacement();
    if (!frame_->OnCreateClient() || frame_->InstallStudyList() == nullptr) {
        return false;
    }
    frame_->setWindowTitle(QStringLiteral("RV-K Viewer") + CMainFrame::GetVersionSuffix());
    frame_->setWindowIcon(QIcon(QPixmap::fromImage(XEVLoadBuiltInImage(kSmallIconBitmap))));
    rawCommandLine_ = arguments;
    helpFilePath_ = GetHelpFilePath(GetModuleFolder());

    GetCommonSettings().Load();
    frame_->SetUpPanes();
    frame_->WatchProgramMount();
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), frame_.get());
    help->setContext(Qt::ApplicationShortcut);
    QObject::connect(help, &QShortcut::activated, &context_, [this] { OnCommand(kXEVHelpCommand); });
    frame_->show();

    const QString argument = PathArgument(rawCommandLine_);
    if (argument.isEmpty()) {
        frame_->StartDicomDirLoad(FindDicomDirPath());
    } else {
        frame_->StartPathLoad(argument);
        // The window answers while the path is checked, and may be closed meanwhile.
        if (frame_->IsShutDown()) {
            return false;
        }
    }

    if (IsAgreementCurrent() && !HasAgreeArgument(rawCommandLine_)) {
        rawCommandLine_.append(QStringLiteral("/Agree"));
    }
    frame_->SetStartArguments(rawCommandLine_);
    frame_->ShowAgreement(0);

    state.painting = 0;
    state.skipWait = 0;
    state.StampPaintEnd();
    return true;
}

int XEVKestroInstance::ExitInstance(int status)
{
    if (frame_) {
        // Closing begins the end when the loop did not: every reader of the medium is told to
        // stop, none is waited for.
        frame_->close();
    }
    // The sweep of earlier copies' leftovers reads no medium: it stops between two entries, and
    // goes on below once the readers have ended.
    if (sweepStop_) {
        sweepStop_->store(true);
    }
    LetGoOfTheClaim();
    // Begun by the close, or now (a start that failed): the members are patient data, and their
    // removal, on a thread of its own, is waited for first, until the bound.
    const auto began = XEVBeginEnd();
    removalLeft_ = !XEVWaitEndRemoval(began + std::chrono::milliseconds(endBoundMs_));
    // The one wait for every counted thread (the readers of the medium and the sweep), as long
    // as one told to stop between two reads takes to end, never for a read: until they have all
    // ended, nothing they reach (the frame's cells and lists, the archive) is destroyed, and
    // while one is left the process ends without destroying anything.
    readersLeft_ = !XEVWaitDetached(began + std::chrono::milliseconds(kXEVEndGraceMs));
    if (!readersLeft_ && !removalLeft_) {
        frame_.reset();
        // The window and the claim have gone: what earlier copies left is removed until two
        // shares before the bound (the bound takes the end one share early), so that this end
        // still comes by itself; what is left keeps its lock file, and the next start removes it.
        const auto last = began + std::chrono::milliseconds(endBoundMs_ - 2 * kXEVEndShareMs);
        const auto stop = [last] { return std::chrono::steady_clock::now() >= last; };
        ForgetZipArchive(stop);
        XEVRemoveLeftoverExtractFolders(stop);
        // No copier is left to name anything; an instance run next in this process extracts.
        ZipShutNaming(false);
    }
    return status;
}

void XEVKestroInstance::LetGoOfTheClaim()
{
    if (instance_) {
        instance_->Stop();
        instance_.reset();
    }
}

void XEVKestroInstance::OnFrameClosing()
{
    // A copy whose window has gone is no longer the running copy: a start now shows its own
    // window at once. Then the end begins.
    LetGoOfTheClaim();
    XEVBeginEnd();
}

void XEVKestroInstance::OnCommand(int32_t command)
{
    if (command == kXEVAboutCommand) {
        OnAppAbout();
    } else if (command == kXEVHelpCommand) {
        OnHelp();
    }
}

void XEVKestroInstance::OnAppAbout()
{
    CAboutDlg dialog(frame_.get());
    dialog.exec();
}

void XEVKestroInstance::OnHelp()
{
    if (frame_) {
        frame_->OnHelpCommand();
    }
}

void XEVKestroInstance::ActivateRunningInstance()
{
    if (!frame_) {
        return;
    }
    if (frame_->isMinimized()) {
        frame_->showNormal();
    }
    frame_->raise();
    frame_->activateWindow();
}

namespace {

QByteArray ScreenshotFormat(const QString& file)
{
    const QByteArray suffix = QFileInfo(file).suffix().toLower().toLatin1();
    return QImageWriter::supportedImageFormats().contains(suffix) ? suffix : QByteArrayLiteral("png");
}

// A screenshot run has no one to answer the terms question, and the first images wait for it.
void SayTermsUnanswered()
{
    std::fputs("kestro: the terms of use must be agreed first (pass /Agree); no screenshot taken\n", stderr);
}

}   // namespace

CKestroApp::CKestroApp(int& argc, char** argv) : QApplication(argc, argv)
{
    // Qt has taken its own options out of argv by now. Its own list decodes a path with bytes
    // that are not UTF-8 into replacement characters, which name no file.
    for (int i = 0; i < argc; ++i) {
        arguments_.append(XEVPathText(argv[i]));
    }
}

int CKestroApp::ExitDeadlineMs()
{
    static const int deadline = [] {
        const char* given = std::getenv("KV_EXIT_DEADLINE_MS");
        if (given == nullptr) {
            return kXEVEndBoundMs;
        }
        char* end = nullptr;
        const long ms = std::strtol(given, &end, 10);
        constexpr long kLongest = 10L * 60 * 1000;
        return *end == '\0' && ms > kXEVEndBoundMs && ms <= kLongest ? static_cast<int>(ms) : kXEVEndBoundMs;
    }();
    return deadline;
}

void CKestroApp::SetScreenshot(const QString& file, int timeoutMs)
{
    screenshot_ = file;
    screenshotTimeoutMs_ = timeoutMs;
}

int CKestroApp::Run()
{
    // A logout, a shutdown or Ctrl+C closes the window as the user would, and then ends the
    // loop, a dialog's own loop included. Taken from the start: an archive may be imported
    // while start-up still runs. Once the end has begun, the process lives at most its bound.
    static std::once_flag exitWatched;
    std::call_once(exitWatched, [] {
        // A write to a stderr whose reader has gone (a terminal the logout closed) fails; it
        // never ends the program before its end has removed what it must.
        ::signal(SIGPIPE, SIG_IGN);
        ::on_exit(OnLibraryExit, nullptr);
        g_earlierMessages = qInstallMessageHandler(OnQtMessage);
    });
    SetEndBoundMs(ExitDeadlineMs());
    XEVArmEndBound(ExitDeadlineMs());
    g_app.store(this);
    g_runUnderWay.store(true);
    bool ending = false;
    XEVEndSignals endSignals([this, &ending](int) {
        ending = true;
        if (CMainFrame* frame = MainFrame()) {
            frame->close();
        }
        exit(0);
    });
    if (!screenshot_.isEmpty() && !AgreesWithoutAsking(arguments_) && !IsAgreementCurrent()) {
        // Ended before anything is opened or extracted. The end begins before the word, so that
        // a stderr that takes nothing never holds it past its bound.
        XEVSetEndStatus(1);
        XEVBeginEnd();
        SayTermsUnanswered();
        return EndRun(1);
    }
    if (!InitInstance(arguments_)) {
        XEVSetEndStatus(StartStatus());
        return EndRun(StartStatus());
    }
    if (ending) {
        return EndRun(0);
    }
    int status = 0;
    QTimer poll;
    QElapsedTimer clock;
    if (!screenshot_.isEmpty()) {
        // A load that failed ends the run at once, with its message.
        if (CMainFrame* frame = MainFrame()) {
            frame->SetStartFailureReport([this, &poll](const QString& message) {
                poll.stop();
                std::fprintf(stderr, "kestro: %s\n", message.toLocal8Bit().constData());
                exit(1);
            });
        }
        clock.start();
        QObject::connect(&poll, &QTimer::timeout, this, [&] {
            CMainFrame* frame = MainFrame();
            QString failure;
            if (frame != nullptr && frame->FirstCellsLoaded(&failure)) {
                poll.stop();
                // PNG unless the name asks for another format; light compression, since the
                // file is for looking at.
                const QByteArray format = ScreenshotFormat(screenshot_);
                const bool saved = frame->grab().save(screenshot_, format.constData(), 80);
                if (!saved) {
                    std::fprintf(stderr, "kestro: cannot write %s\n", qPrintable(screenshot_));
                }
                // The picture of cells that only say why they show nothing is kept, but the
                // run did not show an image.
                if (!failure.isEmpty()) {
                    std::fprintf(stderr, "kestro: %s\n", failure.toLocal8Bit().constData());
                }
                exit(saved && failure.isEmpty() ? 0 : 1);
            } else if (frame != nullptr && frame->NothingToShow(&failure)) {
                poll.stop();
                std::fprintf(stderr, "kestro: nothing to show: %s; no screenshot taken\n",
                             failure.toLocal8Bit().constData());
                exit(1);
            } else if (frame != nullptr && frame->AgreementDialog() != nullptr &&
                       frame->AgreementDialog()->isVisible()) {
                // Asked all the same (the stored acceptance went meanwhile).
                poll.stop();
                SayTermsUnanswered();
                exit(1);
            } else if (clock.elapsed() > screenshotTimeoutMs_) {
                poll.stop();
                std::fprintf(stderr, "kestro: no image loaded within %d s; no screenshot taken\n",
                             screenshotTimeoutMs_ / 1000);
                exit(1);
            }
        });
        poll.start(10);
    }
    status = exec();
    XEVSetEndStatus(status);
    return EndRun(status);
}

int CKestroApp::EndRun(int status)
{
    const int end = ExitInstance(status);
    // A reader still in a read, or the removal still under way, would go on into static
    // destruction and reach what it frees: the process ends without it (and says so).
    if (ReadersLeft() || RemovalLeft()) {
        // Said only of what is still there: workers may have ended since the wait stopped.
        const std::string left = XEVWorkersLeft();
        const std::string why = left.empty() ? std::string() : "kestro: ended without waiting for " + left + "\n";
        XEVEndProcessNow(end, why.empty() ? nullptr : why.c_str());
    }
    g_runUnderWay.store(false);
    g_app.store(nullptr);
    return end;
}
