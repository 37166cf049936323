#pragma once

// The program's one end. Every road out (a close, SIGTERM, SIGINT, SIGHUP, SIGQUIT, a second
// signal, a lost X connection, a library's exit()) begins it here (XEVBeginEnd): what must not
// outlive the process (extracted patient data) starts going at once, on a thread of its own, so
// that nothing the disk does holds the end; once the bound is armed (the program's, never a
// test's own process) the process lives at most kXEVEndBoundMs after that, whatever is still
// running and whatever stderr does. What the removal had no time for keeps its lock file, and
// the next start removes it.
//
// The signals' handler only writes to a pipe: the event loop of the thread that made
// XEVEndSignals closes the window as a user would; a loop that does not take the signal within
// a tenth of the bound, or a second signal, ends the process as soon as the removal is done
// (within the bound); a third ends it at once.

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// The longest the process lives once its end has begun.
constexpr int kXEVEndBoundMs = 5000;
// How long the loop has to take a signal, and what the bound keeps for the process's teardown.
constexpr int kXEVEndShareMs = kXEVEndBoundMs / 10;
// What an end gives the workers it told to stop, from its beginning: one between two reads ends
// within it; one in a read of the medium is not waited for, since nothing of the patient's is
// in it and the read may take seconds.
constexpr int kXEVEndGraceMs = kXEVEndShareMs / 5;
// The longest the end waits for stderr to take its last words: what it does not take by then
// is lost, so that a pipe nobody reads, a stopped terminal or a stalled disk never holds the end.
constexpr int kXEVEndWordsWaitMs = kXEVEndShareMs / 5;

using XEVEndProbe = void (*)();
// Run once, outside a signal handler, before the process ends at once; for tests that let the
// threads still counted run on first. Null: nobody.
void XEVSetEndProbe(XEVEndProbe probe);
// shut runs at the moment an end begins, on the thread that begins it, and must not wait (naming
// in extraction folders shut); remove then runs on a thread of its own, once per end. Null: none.
void XEVSetEndCleanup(XEVEndProbe shut, XEVEndProbe remove);
// From now on an end that has begun ends the process boundMs (the program's: kXEVEndBoundMs, or
// longer for a test's hang ceiling) after it began, with the status set, saying what was still
// running when anything was.
void XEVArmEndBound(int boundMs);
// The status the bound ends the process with (0 until set).
void XEVSetEndStatus(int status);
// Begins the end once (later calls return the same time): the removal starts. When the bound
// is not armed (a test's own process) this end's time still runs out then. A new instance of
// the application in the same process starts afresh with XEVResetEnd.
std::chrono::steady_clock::time_point XEVBeginEnd();
void XEVResetEnd();
// Whether an end has begun since the last XEVResetEnd.
bool XEVEndHasBegun();
// Waits for the removal of the end begun until the time given; true when it is done (or no end
// began).
bool XEVWaitEndRemoval(std::chrono::steady_clock::time_point until);

// Ends the process at once, without static destruction: the end begins when it has not, its
// removal is waited for until the bound, then why (when not null) goes to stderr, and stdout and
// stderr are flushed when no one holds them (never another stream, which a reader may hold for
// a whole read), all on a thread waited for only kXEVEndWordsWaitMs. In a signal handler only
// the _exit is done.
[[noreturn]] void XEVEndProcessNow(int status, const char* why, bool inSignalHandler = false);

// Writes text to stderr, and flushes stdout and stderr when no one holds them, on a thread of its
// own waited for at most kXEVEndWordsWaitMs: what an end says never waits for a stderr that takes
// nothing. Once stderr has not taken words in that time, later words are dropped at once.
void XEVSayWithoutWaiting(std::string text);

// The counted workers still running, by what they do ("2 worker threads still loading from the
// disc and 1 still removing extracted files"); empty when none.
std::string XEVWorkersLeft();

// Qt's xcb plugin's own warning, whole, that the X connection was lost (it calls exit(1) next);
// never the same words within another message.
bool XEVSaysTheXConnectionBroke(QtMsgType type, const QMessageLogContext& context, const QString& text);

class XEVEndSignals : public QObject {
public:
    // end runs on this thread's event loop once per signal that arrives.
    explicit XEVEndSignals(std::function<void(int signal)> end);
    // Gives the signals their earlier handling back.
    ~XEVEndSignals() override;
    XEVEndSignals(const XEVEndSignals&) = delete;
    XEVEndSignals& operator=(const XEVEndSignals&) = delete;

    // Whether the handlers are in place.
    bool Installed() const { return notifier_ != nullptr; }

private:
    void OnReadable();

    std::function<void(int)> end_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::thread watchdog_;
};
