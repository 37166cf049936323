#pragma once

// What a disc costs the process while a test opens and shows it: the longest time the GUI
// thread did not answer, the threads alive and the peak resident memory.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>

// Counts from construction. A timer ticks every few ms on the GUI thread; the longest gap
// between two ticks is the longest stall, including time spent in calls the test made itself
// (File Open, a double-click) while nothing else ran.
class GuiStallMeter : public QObject {
public:
    GuiStallMeter();
    // The longest gap so far in ms; pumps once so that a stall that just ended is counted.
    qint64 LongestMs();

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
};

// Threads of this process now, from /proc/self/status.
int ProcessThreadCount();
// Bytes every thread of this process has read from files and sockets so far, from
// /proc/self/io (nothing here maps a file); 0 when the kernel does not say.
uint64_t ProcessBytesRead();
// Has Qt's global pool (image conversions while painting) start all of its threads, one a
// processor, and keep them: they come on first use, not per disc, so a count taken afterwards
// holds them, and none ends in the middle of a measurement.
void HoldQtPoolThreads();
// The process's resident memory now, in bytes.
uint64_t ResidentBytes();
// The process's peak resident memory so far (since the last reset), in bytes.
uint64_t PeakResidentBytes();
// Gives freed memory back to the system and starts the peak again from what is resident now,
// so that a test measures its own peak, not an earlier test's.
void ResetPeakResidentBytes();
