#pragma once

// Threads the program lets go of instead of joining, because they may be in a read of a slow
// medium: counted, so that the program's end can wait a short while for them before anything
// they reach (the load state, the archive, the settings) is destroyed, and can end without
// static destruction when one is still in a read.

#include <chrono>
#include <cstddef>
#include <functional>

// Runs body on a thread nobody joins. Everything body holds is destroyed before the thread
// stops counting. False, body not run, when the system refuses a thread.
bool XEVStartDetached(std::function<void()> body);
// Threads started so whose body has not ended.
size_t XEVDetachedRunning();
// Waits until none runs or end has come; true when none runs.
bool XEVWaitDetached(std::chrono::steady_clock::time_point end);
