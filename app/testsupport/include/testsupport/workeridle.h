#pragma once
// Waiting for the job worker: the loader window's idle notice, asked after what the test gave
// the window, says the worker has run it all (or was stopped).

#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"
#include "study/xevjobhost.h"
#include "study/xevloadstate.h"
#include "testsupport/pump.h"

// Told by the loader window, on the thread that made it, once its worker is idle.
class WorkerIdleWaiter : public XEVMessageReceiver {
public:
    WorkerIdleWaiter()
    {
        SetHandler(WM_XEV_FIRST_IMAGES_READ, [this](XEVWParam token, XEVLParam) {
            told_ = token > told_ ? token : told_;
            return XEVResult(0);
        });
    }
    // Asks again: what was given the window before this ask is in the answer. A window that
    // cannot be asked (none, or gone) has nothing to wait for.
    void Ask(const XEVWindowHandle& loaderWindow)
    {
        ++asked_;
        if (!XEVNotifyWhenIdle(loaderWindow, {Handle(), WM_XEV_FIRST_IMAGES_READ, asked_})) {
            told_ = asked_;
        }
    }
    bool Answered() const { return told_ >= asked_; }

private:
    XEVWParam asked_ = 0;
    XEVWParam told_ = 0;
};

// How long a test waits for the worker: hundreds of decodes under the sanitizers on a busy
// machine take tens of seconds; within the job-host tests' ctest timeout.
inline constexpr int kWorkerIdleWaitMs = 150 * 1000;

// Runs the queue until the worker has run every job given the window before the call; false
// when that does not come within the time.
inline bool PumpUntilWorkerIdle(const XEVWindowHandle& loaderWindow, int timeoutMs = kWorkerIdleWaitMs)
{
    WorkerIdleWaiter waiter;
    waiter.Ask(loaderWindow);
    return PumpUntil([&] { return waiter.Answered(); }, timeoutMs);
}
