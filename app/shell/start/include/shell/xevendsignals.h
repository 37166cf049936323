#pragma once

// SIGTERM, SIGINT and SIGHUP (logout, shutdown, Ctrl+C, a closed terminal) end the program as
// closing its window does: the handler only writes to a pipe, and the event loop of the
// thread that made this object runs the ending, so the shut-down takes every step it takes
// on a close, the removal of extracted patient data included. A loop that does not take the
// signal within the time given, or a second signal, ends the process at once with 128 plus
// the signal's number, through the end's cleanup; only a third signal ends it without that.

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>
#include <thread>

// Ends the process at once, without static destruction, after writing why (when not null) to
// stderr; in a signal handler nothing else is done, elsewhere the end's cleanup runs first, then
// stdout and stderr are flushed when no one holds them (never any other stream, which a reader
// may hold for a whole read).
[[noreturn]] void XEVEndProcessNow(int status, const char* why, bool inSignalHandler = false);
// Run once, outside a signal handler, before the process ends at once; an end that comes
// meanwhile waits for it. For tests that let the threads still counted run on first. Null:
// nobody.
using XEVEndProbe = void (*)();
void XEVSetEndProbe(XEVEndProbe probe);
// Run first by every end at once outside a signal handler, on whichever thread ends, also by
// two at once: what must not outlive the process (extracted patient data). Null: nothing.
void XEVSetEndCleanup(XEVEndProbe cleanup);

class XEVEndSignals : public QObject {
public:
    // end runs on this thread's event loop once per signal that arrives; takeWithinMs is how
    // long the loop has to take the first one.
    explicit XEVEndSignals(std::function<void(int signal)> end, int takeWithinMs = kDefaultTakeWithinMs);
    // Gives the signals their earlier handling back.
    ~XEVEndSignals() override;
    XEVEndSignals(const XEVEndSignals&) = delete;
    XEVEndSignals& operator=(const XEVEndSignals&) = delete;

    // Once withinMs have passed, the process ends with the end status unless this object has
    // gone by then; an earlier deadline armed stays.
    void ArmDeadline(int withinMs);
    // The status the deadline ends the process with.
    void SetEndStatus(int status);

    // Whether the handlers are in place.
    bool Installed() const { return notifier_ != nullptr; }

    static constexpr int kDefaultTakeWithinMs = 500;

private:
    void OnReadable();

    std::function<void(int)> end_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::thread watchdog_;
};
