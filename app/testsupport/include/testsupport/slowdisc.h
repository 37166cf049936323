#pragma once

// The slow medium: a drive with one head (a seek for each request that is not sequential, then
// the bytes at a rate) under the files of one folder, made by a library preloaded into a child
// process. A test runs its own body again in a child under it, or runs the viewer under it.

#include <string>
#include <utility>
#include <vector>

#include "testsupport/pump.h"

struct SlowDiscSettings {
    SlowDiscSettings(std::string root_ = {}, double bytesPerSecond_ = 6e6, int seekMs_ = 100, int spinUpMs_ = 0)
        : root(std::move(root_)), bytesPerSecond(bytesPerSecond_), seekMs(seekMs_), spinUpMs(spinUpMs_)
    {
    }
    std::string root;   // the folder whose files are on the medium
    double bytesPerSecond = 6e6;
    int seekMs = 100;
    int spinUpMs = 0;        // added to the first read of the medium
    int readAheadKb = 128;   // pulled into the cache after a request that missed it
    int cacheMb = 256;       // the page cache; the oldest pages leave a full one
    std::string fail;        // "NAME:BYTES": reads of a file ending in NAME fail from BYTES on
    int failMs = 0;          // what a failing read costs before it fails (the drive's retries)
    std::string mark;        // "NAME:PATH": PATH is made when a stream read of a file ending in NAME begins
    std::string markRead;    // the same for a read of any kind
};

// Writes one of the discs of make_slow_disc.py (sample, ct, multiframe, mr, studies; numbers as
// it takes them) at out, which must not exist yet; false when the script failed.
bool MakeSlowDisc(const std::string& out, const std::string& kind, const std::vector<int>& numbers = {});

// The environment entries ("NAME=value") that put a process on the medium: the preload and
// the medium's settings, with report (when not empty) the file its counts go to at exit.
std::vector<std::string> SlowDiscEnvironment(const SlowDiscSettings& settings, const std::string& report = {});

// True in a process the medium was preloaded into; its root there.
bool OnSlowDisc();
std::string SlowDiscRoot();
// Reads of the medium's files made by the main (GUI) thread so far, cached or not, and the
// first file so read; all reads; requests that paid a seek. 0 and "" off the medium.
long SlowDiscGuiReads();
std::string SlowDiscFirstGuiRead();
long SlowDiscReads();
long SlowDiscSeeks();
// When the drive's request under way ends, in ns of the steady clock (0 off the medium): no
// read of any program can come before it.
long long SlowDiscHeadBusyUntil();
// Bytes asked of the medium while the asking thread held an image's lock, and requests (with
// their bytes) made once the stop the thread's reads answer to was set; 0 off the medium, and
// counted only where the program passes the hooks below on.
long SlowDiscLockedBytes();
long SlowDiscStoppedReads();
long SlowDiscStoppedBytes();
// The medium's hooks (null off it): a thread takes (+1) or leaves (-1) an image's lock; the
// stop (a 32-bit flag, null for none) a thread's reads answer to.
// Whom a thread's reads serve from now on (0 the screen, 1 background, -1 done).
using SlowDiscLockHook = void (*)(int delta);
using SlowDiscStopHook = void (*)(const void* stop);
using SlowDiscPriorityHook = void (*)(int priority);
SlowDiscLockHook SlowDiscImageLockHook();
SlowDiscStopHook SlowDiscReaderStopHook();
SlowDiscPriorityHook SlowDiscReaderPriorityHook();
// What the program's medium decided for a thread (2 waits for the head, 1 holds it, 0 left it).
SlowDiscPriorityHook SlowDiscMediumTurnHook();

// Ends every read of the medium under way at once, and makes later reads cost nothing;
// nothing off the medium.
void SlowDiscHurry();

// The drive spins down now: its next read, whoever makes it, pays ms first.
void SlowDiscSpinDown(long ms);

// Reads of the failing file that failed, and its opens.
long SlowDiscFailedReads();
long SlowDiscFailingOpens();

// One line of the medium's log, in the order things happened on it.
struct SlowDiscEvent {
    // The turns a thread's reads are told to serve under, then the medium's own decisions.
    enum Kind { Read, TurnAsked, TurnGiven, HeadLeft, HeadHeld, HeadWaited };
    long start = 0;   // a read: when it took the head; a turn: when told
    long end = 0;
    Kind kind = Read;
    int thread = 0;
    bool gui = false;
    int priority = -1;   // the thread's, as told: 0 the screen, 1 background, -1 not told
    std::string path;    // a read's file
    long long offset = 0;
    long long length = 0;
    long long driveBytes = 0;   // 0: the cache served it
    bool ahead = false;         // a read ahead the program asked for (POSIX_FADV_WILLNEED): no one waited on it
};
std::vector<SlowDiscEvent> SlowDiscLog();

// What a child process left: its exit status (-1 when it did not end by itself in time and
// was killed; 128 + signal when a signal ended it) and its output, both streams.
struct SlowDiscChild {
    int status = -1;
    std::string output;
};

// Runs command with the medium preloaded and extra ("NAME=value") added to this process's
// environment; waits at most timeoutMs.
SlowDiscChild RunOnSlowDisc(const SlowDiscSettings& settings, const std::vector<std::string>& command,
                            const std::vector<std::string>& extra = {}, int timeoutMs = kNoCeilingWaitMs);

// For a test whose body runs on the medium: off it, runs the current test again in a child
// process on it, checks that the child passed and returns false; in that child returns true
// and the body goes on. SetUp has run in both.
bool RunTestOnSlowDisc(const SlowDiscSettings& settings, int timeoutMs = kNoCeilingWaitMs);
