#pragma once

// Waiting in tests: on the main thread's queue, or on another thread's work.

#include <functional>

// Whether a test asserts a ceiling on elapsed time, set at least ten times what the optimised
// build takes on a busy machine, against a hang: in the optimised build only. The sanitizers and debug builds
// slow a run many times, and the suite runs on busy machines; there only counts and states
// are asserted. Time figures belong to the bench scripts.
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
inline constexpr bool kHangCeilings = true;
#else
inline constexpr bool kHangCeilings = false;
#endif

// How long a wait for a state lasts before the test fails, unless the caller says otherwise:
// ten times and more what a step of a slow-medium test takes on a busy machine (the drive's
// reads for a page, a load under a sanitizer), since the suite runs where other builds run.
inline constexpr int kPumpTimeoutMs = 60000;

// A hang ceiling for a step that alone is over within a second (an open refused, a report
// answered, a start on the sample disc, an end): ten times and more a busy run's.
inline constexpr int kQuickStepCeilingMs = 20000;

// A wait where there is no hang ceiling: ten times and more what the slowest such step takes
// under the sanitizers on a busy machine, yet shorter than the ctest timeout of the tests that
// use it (four times as long under the sanitizers), so that a state that never comes fails the
// test with what it waited for.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int kNoCeilingWaitMs = 16 * 60 * 1000;
#else
inline constexpr int kNoCeilingWaitMs = 4 * 60 * 1000;
#endif

// A wait for a state given as the optimised build needs it, as long as the build running it
// needs: four times as long under the sanitizers, as every ctest timeout is there, up to the
// wait without a ceiling (already theirs).
constexpr int BuildWaitMs(int ms)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return ms >= kNoCeilingWaitMs / 4 ? (ms > kNoCeilingWaitMs ? ms : kNoCeilingWaitMs) : ms * 4;
#else
    return ms;
#endif
}

// Runs the main thread's queue until the condition holds or the time passes (as the build
// needs it); false on time-out.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = kPumpTimeoutMs);

// Runs the queue a few rounds, for what posting and painting have left in it.
void Pump();

// Runs the queue for the given time.
void Wait(int ms);

// Polls without running the queue until the condition holds or the time passes (as the build
// needs it): for work done on other threads.
bool Eventually(const std::function<bool()>& done, int timeoutMs = kPumpTimeoutMs);
