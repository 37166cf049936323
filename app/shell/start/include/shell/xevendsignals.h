#pragma once

// SIGTERM, SIGINT and SIGHUP (logout, shutdown, Ctrl+C, a closed terminal) end the program as
// closing its window does: the handler only writes to a pipe, and the event loop of the
// thread that made this object runs the ending, so the shut-down takes every step it takes
// on a close, the removal of extracted patient data included.

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

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
};
