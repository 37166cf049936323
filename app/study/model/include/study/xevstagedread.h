#pragma once

// The bytes one frame's decode needs, read from the medium before any lock is taken, in
// requests of at most one block with a stop check between them. The decode then reads them
// from memory while it holds the image's lock, so a paint waiting on that lock never waits
// for the medium; once sealed, the file never reads the medium again.

#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class VEK_DICOMInfo;
class VEK_InputStorage;
class VEK_Manager;
class XEVReadManager;

// The largest single read request: a stop waits for at most this much of a slow medium.
constexpr int32_t kXEVReadBlock = 1 << 20;
// What a compressed frame's data may pass its decoded size by and still be staged whole: the
// headers and tables before the scans (an embedded profile or thumbnail included).
constexpr int64_t kXEVStagedSlack = int64_t(1) << 20;

// Where a frame's bytes lie in its file, as a parsed header gives them.
struct XEVFrameSpan {
    int64_t begin = 0;
    int64_t end = 0;   // past the last byte; begin == end: nothing known
    // The Pixel Data element's own header, which a reader of native samples looks at for the
    // value's VR; begin == end: none.
    int64_t elementBegin = 0;
    int64_t elementEnd = 0;
    // Past end, the frame's bytes up to here, which its decode reads as it asks for them;
    // lateEnd <= end: none.
    int64_t lateEnd = 0;
};

// Every request made to the medium passes here with its size: for tests that count reads by
// thread, and for measurements.
using XEVReadObserver = void (*)(const std::string& path, int64_t offset, int32_t bytes);
void XEVSetReadObserver(XEVReadObserver observer);

// Probes for tests on a slow medium: told when a thread takes (+1) or leaves (-1) an image's
// lock, which stop the reads of a thread answer to (null: none), and when a thread asks for
// the medium's turn (0 for the screen, 1 background) and gives it up (-1). Unset: nobody listens.
struct XEVMediumProbe {
    void (*imageLock)(int delta) = nullptr;
    void (*readerStop)(const void* stop) = nullptr;
    void (*readerPriority)(int priority) = nullptr;
    // The medium's own decisions, told under its lock: 2 the thread waits for the head, 1 it
    // takes or keeps it, 0 it leaves it (or stops waiting), 3 a background read past the grace
    // waits only for another thread's claim on the screen's next read or a screen hold.
    void (*mediumTurn)(int state) = nullptr;
};
void XEVSetMediumProbe(const XEVMediumProbe& probe);
void XEVProbeImageLock(int delta);
// The header's values a load reads pass here: those read while the thread holds an image's
// lock, which a paint would wait for, are counted, for tests.
void XEVNoteValueParse();
uint64_t XEVValueParsesUnderImageLock();

// Whom a read serves: the frames on screen go before loads in the background (a cell's
// loader, the series behind the page) on a medium with one head.
enum class XEVReadPriority { OnScreen, Background };

// The medium's one head: a whole frame's bytes are read with no other file's reads between
// them, and a read for the screen waits for no background read to finish, only for its
// current block.
class XEVMediumTurn {
public:
    // Waits for the turn; returns at once, without it, when the stop is set.
    XEVMediumTurn(XEVReadPriority priority, const std::atomic<int32_t>* stop);
    ~XEVMediumTurn();
    XEVMediumTurn(const XEVMediumTurn&) = delete;
    XEVMediumTurn& operator=(const XEVMediumTurn&) = delete;
    bool Held() const { return held_; }
    // Between blocks: a background read lets a waiting read for the screen go first.
    void Yield();
    // Between the blocks of a copy that is no frame's read (a zip member extracted), whoever it
    // serves: a waiting read for the screen goes first, and this one asks for the turn again
    // only once that read has taken it. A small member in view is not held behind a large one.
    void Share();
    // While this reader waits for another's read of the medium (a zip member another loader
    // writes), the turn goes to others, that one among them; taken again after, the stop ending
    // that wait as the first one's.
    void Pause();
    void Resume();

private:
    void Take();
    void Give();

    XEVReadPriority priority_;
    const std::atomic<int32_t>* stop_;
    bool held_ = false;
    bool paused_ = false;
};

// The calling thread reads for the screen again after what it does now (a decode, the next
// job's start): while it claims so, the background keeps off the head between its reads, for at
// most a second after its last one, as a stuck claimer must not starve the background. Its own
// reads, and its waits for another reader's (a paused turn), are never kept off by it.
void XEVClaimScreenTurns(bool claim);

// What the user just asked for, on whatever threads it passes (a path's check on a worker, then
// its answer on the GUI thread, which stops the shown disc's loads): while a hold lasts, the
// threads reading for it (XEVHeldReads) have the head; every other reader waits, for the screen
// or not, a background one giving the head up at its next block. No ceiling: every hold ends
// with its work or at that work's stop.
class XEVScreenHold {
public:
    XEVScreenHold();
    ~XEVScreenHold();
    XEVScreenHold(const XEVScreenHold&) = delete;
    XEVScreenHold& operator=(const XEVScreenHold&) = delete;
};

// The calling thread reads for a hold's work while this lasts.
class XEVHeldReads {
public:
    XEVHeldReads();
    ~XEVHeldReads();
    XEVHeldReads(const XEVHeldReads&) = delete;
    XEVHeldReads& operator=(const XEVHeldReads&) = delete;

private:
    bool was_;
};

// Stops counting the caller's claim while it waits for another reader, or counts it again.
void XEVCountScreenClaim(bool counted);
// The claims counted now, for tests.
int32_t XEVScreenClaimsCounted();

// Takes lock, which another reader may hold across its reads: the caller's claim is not counted
// while it waits for it.
template <typename Lockable>
void XEVLockOutsideClaim(Lockable& lock)
{
    if (!lock.try_lock()) {
        XEVCountScreenClaim(false);
        lock.lock();
        XEVCountScreenClaim(true);
    }
}

// A file's header parsed with no lock held, handed to the image's helper, which takes it
// instead of parsing under the image's lock. The manager that parsed it goes along: it must
// outlive every tag object sharing the parsed dataset, and what it holds is that dataset.
struct XEVParsedHeader {
    XEVParsedHeader();
    ~XEVParsedHeader();
    XEVParsedHeader(const XEVParsedHeader&) = delete;
    XEVParsedHeader& operator=(const XEVParsedHeader&) = delete;
    std::unique_ptr<XEVReadManager> manager;
    std::unique_ptr<VEK_DICOMInfo> info;
    // The bytes of the parsed dataset.
    uint64_t Bytes() const;
};

class XEVStagedFile {
public:
    XEVStagedFile() = default;
    ~XEVStagedFile();
    XEVStagedFile(const XEVStagedFile&) = delete;
    XEVStagedFile& operator=(const XEVStagedFile&) = delete;

    // Opens a regular file below 2 GiB (the size the readers take); false otherwise.
    bool Open(const std::string& path);
    int32_t Size() const { return size_; }
    const std::string& Path() const { return path_; }
    // Brings [begin, end) into memory; false when the stop came first or the medium failed.
    bool Fetch(int64_t begin, int64_t end, const std::atomic<int32_t>* stop);
    // Up to n bytes at offset: what is held, else (unless sealed) read now and kept, a block
    // ahead at most. Nothing once the stop is set.
    int32_t ReadAt(int64_t offset, void* buffer, int32_t n);
    // From now on only held bytes are served: the decode reads under the image's lock.
    void Seal() { sealed_ = true; }
    // Once sealed, [begin, end) is still read as the decode asks for it, a block a request,
    // each in the medium's turn at that priority and ended by the stop; a few blocks held.
    void ReadLateOnDemand(int64_t begin, int64_t end, XEVReadPriority priority);
    // The bytes held from now on, and those held now, are counted against meter's budget:
    // false, and the count left where it was, when they would pass it. Null: counted nowhere.
    // A range the meter refuses is not read; the meter must outlive the count.
    bool ChargeTo(XEVReadManager* meter);
    // A range was not read because the meter refused it.
    bool Refused() const { return refused_; }
    // On: a held range is let go once every byte of it has been read since, a couple of
    // ranges behind the reader, so that a decode reading each byte once never holds the file's
    // bytes beside the samples it writes. Off for a decode that reads the frame twice.
    void LetGoAsRead(bool on) { letGoAsRead_ = on; }
    // A request to the medium failed or came back short.
    bool Failed() const { return failed_; }
    // The span of frame `frame` parsed from the head of the file, read on demand; empty when
    // the header does not parse (the decode then fails in its own words). A header that
    // parsed is kept for TakeHeader. The parse is the load's: its manager has the load's budget
    // and takes over the charge of the bytes held, and of those staged after it, so a header
    // and its frame's bytes together cannot pass it.
    XEVFrameSpan ParseFrameSpan(int32_t frame, int32_t& frameCount);
    // The header the last ParseFrameSpan parsed, once; null when none did. Its bytes held stay
    // counted only by a meter given since (ChargeTo), none otherwise.
    std::unique_ptr<XEVParsedHeader> TakeHeader();
    const XEVParsedHeader* Header() const { return header_.get(); }
    // The last ParseFrameSpan failed because its manager refused memory.
    bool HeaderRefused() const { return headerRefused_; }
    // The last ParseFrameSpan failed: the status its parse ended with, and whether the file
    // held pixel data, so that the decode says why without parsing it again.
    bool HeaderFailed() const { return headerFailed_; }
    uint32_t HeaderFailureCode() const { return headerFailureCode_; }
    bool HeaderFailedWithPixels() const { return headerFailedWithPixels_; }
    // The bytes of the header the last ParseFrameSpan parsed and still holds; 0 when none.
    uint64_t HeaderBytes() const;
    // A storage reading through this file; the file must outlive it.
    VEK_InputStorage* CreateStorage(VEK_Manager* manager);
    // Requests made to the medium so far.
    int32_t Requests() const { return requests_; }
    // Bytes of the file held in memory now.
    size_t HeldBytes() const;
    // Reads on demand end early once this is set; null: never.
    void SetStop(const std::atomic<int32_t>* stop) { stop_ = stop; }
    // The turn the reads are made under, yielded between blocks; null: none.
    void SetTurn(XEVMediumTurn* turn) { turn_ = turn; }

private:
    // onDemand: read for ReadAt past what was staged, and let go again once more than a few
    // blocks of such reads are held.
    // mapped: held in pages of their own (Held::Take).
    bool ReadRange(int64_t begin, int64_t end, bool onDemand = false, bool mapped = false);
    void ForgetOldestOnDemand();
    // Bytes as read: left uninitialised until the read fills them.
    struct Held {
        Held() = default;
        Held(Held&& other) noexcept;
        Held& operator=(Held&&) = delete;
        ~Held();
        // n bytes; mapped: in pages of their own, which go back to the system as soon as the
        // range is let go, where the heap would keep them resident beside the decoded frame.
        bool Take(size_t n, bool mapped);
        char* bytes = nullptr;
        size_t mapped = 0;
        size_t count = 0;
        // What the meter was charged for it.
        size_t charged = 0;
        // What was read of it while letting go as read: sorted, merged ranges of the file.
        std::vector<std::pair<int64_t, int64_t>> taken;
        int64_t takenBytes = 0;
        const char* data() const { return bytes; }
        size_t size() const { return count; }
    };
    using HeldMap = std::map<int64_t, Held>;
    // [from, to) of `at` was read: lets it go, a couple of spent ranges behind, once all of it was.
    void NoteTaken(HeldMap::iterator at, int64_t from, int64_t to);
    void Forget(HeldMap::iterator at);

    int fd_ = -1;
    int32_t size_ = 0;
    int32_t requests_ = 0;
    bool sealed_ = false;
    bool failed_ = false;
    bool refused_ = false;
    bool headerRefused_ = false;
    bool headerFailed_ = false;
    uint32_t headerFailureCode_ = 0;
    bool headerFailedWithPixels_ = false;
    XEVReadManager* meter_ = nullptr;
    // Bytes charged for the held ranges.
    uint64_t charged_ = 0;
    int64_t lateBegin_ = 0;
    int64_t lateEnd_ = 0;
    XEVReadPriority latePriority_ = XEVReadPriority::Background;
    const std::atomic<int32_t>* stop_ = nullptr;
    XEVMediumTurn* turn_ = nullptr;
    std::string path_;
    bool letGoAsRead_ = false;
    std::unique_ptr<XEVParsedHeader> header_;
    // Held ranges by their first byte; they never overlap.
    HeldMap held_;
    HeldMap::iterator last_ = held_.end();
    // The ranges read on demand, oldest first, and their bytes.
    std::deque<int64_t> onDemand_;
    size_t onDemandBytes_ = 0;
    // Ranges read whole while letting go as read, oldest first, not yet let go.
    std::deque<int64_t> spent_;
};

// The span a frame of a parsed header needs: every fragment of it with the item headers
// between them.
XEVFrameSpan XEVFrameSpanOf(const class VEK_DICOMInfo& info, int32_t frame, int32_t fileSize);
