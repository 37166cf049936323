#include "study/xevstagedread.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/platbudget.h"
#include "platform/platfile.h"
#include "study/xevvekhelper.h"
#include "vek_dicominfo.h"
#include "vek_managerimpl.h"
#include "vek_object.h"
#include "vek_storage.h"

namespace {

std::atomic<XEVReadObserver> readObserver{nullptr};
std::atomic<void (*)(int)> lockProbe{nullptr};
std::atomic<void (*)(const void*)> stopProbe{nullptr};
std::atomic<void (*)(int)> priorityProbe{nullptr};
std::atomic<void (*)(int)> turnProbe{nullptr};

void ProbeReaderStop(const void* stop)
{
    if (auto probe = stopProbe.load()) {
        probe(stop);
    }
}

void ProbeReaderPriority(int priority)
{
    if (auto probe = priorityProbe.load()) {
        probe(priority);
    }
}

void ProbeMediumTurn(int state)
{
    if (auto probe = turnProbe.load()) {
        probe(state);
    }
}

struct MediumState {
    std::mutex mutex;
    std::condition_variable changed;
    bool busy = false;
    bool screenHolds = false;
    int32_t screenWaiting = 0;
    // Turns taken so far: a reader sharing its turn waits for the next one.
    uint64_t takes = 0;
    // When a read for the screen last gave the turn up.
    std::chrono::steady_clock::time_point screenLeft{};
    // Threads that read for the screen again after their decode, and when one last said so.
    int32_t screenClaims = 0;
    std::chrono::steady_clock::time_point claimed{};
    // Screen holds alive (XEVScreenHold).
    int32_t holds = 0;
};

// A read for the screen is followed by the next one after its decode: background reads keep
// off the head that long, or a page's files would each wait for a seek elsewhere.
constexpr auto kScreenGrace = std::chrono::milliseconds(50);
// A claimer's decode on a loaded machine lasts far longer than the grace; one that reads
// nothing this long after its claim and its last read is stuck, and lets the background go.
constexpr auto kScreenClaimCeiling = std::chrono::seconds(1);
// Whether this thread claims the screen's next read, and whether that claim is counted (not
// while it waits for another reader).
thread_local bool claimsScreen = false;
thread_local bool claimCounted = false;
// Whether this thread reads for a screen hold's work.
thread_local bool readsForHold = false;
// Never destroyed: a reader in a read when the process ends gives its turn back last.
MediumState& Medium()
{
    static MediumState* const state = new MediumState;
    return *state;
}

// Counts or lets go this thread's claim; a claim said again starts its ceiling again.
void CountClaim(bool counted)
{
    // Most threads claim nothing: their lock waits and idle waits take no medium lock.
    if (!counted && !claimCounted) {
        return;
    }
    MediumState& medium = Medium();
    {
        std::lock_guard<std::mutex> lock(medium.mutex);
        if (counted) {
            medium.claimed = std::chrono::steady_clock::now();
        }
        if (counted == claimCounted) {
            return;
        }
        medium.screenClaims += counted ? 1 : -1;
        claimCounted = counted;
    }
    medium.changed.notify_all();
}

// Item headers before a fragment, and a margin for readers that look a few bytes around.
constexpr int64_t kSpanMargin = 16;
// How far a read on demand reaches ahead: a header in one or two requests, and little of the
// next frame read twice.
constexpr int32_t kReadAhead = 64 * 1024;
// Bytes read on demand that stay held: a few blocks.
constexpr size_t kOnDemandKept = size_t(8) * kXEVReadBlock;

// A span this long is held in pages of its own; a shorter one, as most frames are, comes from
// the heap, whose pages are already there for the next load.
constexpr int64_t kMappedSpan = int64_t(8) * kXEVReadBlock;

// Ranges read whole that stay held behind the reader while letting go as read: a reader that
// steps back a few bytes, as one undoing a byte swap does, still finds them.
constexpr size_t kSpentKept = 2;

// A storage over a staged file: positions up to the file's size, bytes from memory.
class XEVStagedStorage : public VEK_InputStorage {
public:
    using VEK_InputStorage::VEK_InputStorage;

    bool initiate(XEVStagedFile* file)
    {
        file_ = file;
        return file_ != nullptr;
    }
    bool terminate() override
    {
        file_ = nullptr;
        return true;
    }
    bool is_empty() const override { return file_ == nullptr; }
    int32_t get() override
    {
        uint8_t byte = 0;
        return read(&byte, 1) == 1 ? byte : -1;
    }
    int32_t read(void* buffer, int32_t n) override
    {
        if (file_ == nullptr || n <= 0) {
            return 0;
        }
        const int32_t got = file_->ReadAt(position_, buffer, n);
        position_ += got;
        return got;
    }
    int32_t tell() override { return position_; }
    int32_t skip(int32_t n) override
    {
        const int32_t old = position_;
        position_ = int32_t(vek_clamp_position(int64_t(position_) + n, 0, Size()));
        return position_ - old;
    }
    int32_t size() override { return Size(); }
    bool to_begin() override
    {
        position_ = 0;
        return true;
    }
    bool to_end() override
    {
        position_ = Size();
        return true;
    }

private:
    int32_t Size() const { return file_ != nullptr ? file_->Size() : 0; }

    XEVStagedFile* file_ = nullptr;
    int32_t position_ = 0;
};

}   // namespace

XEVMediumTurn::XEVMediumTurn(XEVReadPriority priority, const std::atomic<int32_t>* stop)
    : priority_(priority), stop_(stop)
{
    ProbeReaderPriority(priority == XEVReadPriority::OnScreen ? 0 : 1);
    Take();
    ProbeReaderStop(stop_);
}

XEVMediumTurn::~XEVMediumTurn()
{
    ProbeReaderStop(nullptr);
    Give();
    ProbeReaderPriority(-1);
}

void XEVMediumTurn::Take()
{
    MediumState& medium = Medium();
    std::unique_lock<std::mutex> lock(medium.mutex);
    const bool screen = priority_ == XEVReadPriority::OnScreen;
    medium.screenWaiting += screen ? 1 : 0;
    ProbeMediumTurn(2);
    const auto free = [&] {
        if (medium.busy) {
            return false;
        }
        if (screen) {
            return medium.holds == 0 || readsForHold;
        }
        const auto now = std::chrono::steady_clock::now();
        if (medium.screenWaiting != 0 || now - medium.screenLeft < kScreenGrace) {
            return false;
        }
        if (medium.holds > 0 && !readsForHold) {
            ProbeMediumTurn(3);
            return false;
        }
        const int32_t othersClaims = medium.screenClaims - (claimCounted ? 1 : 0);
        if (othersClaims > 0 && now - std::max(medium.claimed, medium.screenLeft) < kScreenClaimCeiling) {
            ProbeMediumTurn(3);
            return false;
        }
        return true;
    };
    // A stop ends the wait: the loader that waits is being stopped, and its stopper waits on it.
    while (!free() && (stop_ == nullptr || stop_->load() == 0)) {
        medium.changed.wait_for(lock, std::chrono::milliseconds(20));
    }
    medium.screenWaiting -= screen ? 1 : 0;
    held_ = free();
    medium.busy = medium.busy || held_;
    ProbeMediumTurn(held_ ? 1 : 0);
    if (held_) {
        medium.screenHolds = screen;
        ++medium.takes;
        medium.changed.notify_all();
    }
}

void XEVMediumTurn::Give()
{
    if (!held_) {
        return;
    }
    MediumState& medium = Medium();
    {
        std::lock_guard<std::mutex> lock(medium.mutex);
        if (medium.screenHolds) {
            medium.screenLeft = std::chrono::steady_clock::now();
        }
        medium.busy = false;
        medium.screenHolds = false;
        held_ = false;
        ProbeMediumTurn(0);
    }
    medium.changed.notify_all();
}

void XEVMediumTurn::Yield()
{
    if (priority_ == XEVReadPriority::OnScreen || !held_) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(Medium().mutex);
        if (Medium().screenWaiting == 0 && Medium().holds == 0) {
            ProbeMediumTurn(1);
            return;
        }
    }
    Give();
    Take();
}

void XEVMediumTurn::Share()
{
    if (priority_ == XEVReadPriority::Background) {
        Yield();
        return;
    }
    if (!held_) {
        return;
    }
    MediumState& medium = Medium();
    uint64_t taken = 0;
    {
        std::lock_guard<std::mutex> lock(medium.mutex);
        if (medium.screenWaiting == 0) {
            return;
        }
        taken = medium.takes;
    }
    Give();
    {
        // Asking at once would win the turn back before the waiting reader woke.
        std::unique_lock<std::mutex> lock(medium.mutex);
        while (medium.takes == taken && medium.screenWaiting > 0 && (stop_ == nullptr || stop_->load() == 0)) {
            medium.changed.wait_for(lock, std::chrono::milliseconds(20));
        }
    }
    Take();
}

void XEVMediumTurn::Pause()
{
    paused_ = held_;
    Give();
    // The reader waited for may read in the background.
    XEVCountScreenClaim(false);
}

void XEVMediumTurn::Resume()
{
    XEVCountScreenClaim(true);
    if (paused_) {
        paused_ = false;
        Take();
    }
}

XEVScreenHold::XEVScreenHold()
{
    std::lock_guard<std::mutex> lock(Medium().mutex);
    ++Medium().holds;
}

XEVScreenHold::~XEVScreenHold()
{
    {
        std::lock_guard<std::mutex> lock(Medium().mutex);
        --Medium().holds;
    }
    Medium().changed.notify_all();
}

XEVHeldReads::XEVHeldReads() : was_(std::exchange(readsForHold, true))
{
}

XEVHeldReads::~XEVHeldReads()
{
    readsForHold = was_;
}

void XEVClaimScreenTurns(bool claim)
{
    claimsScreen = claim;
    CountClaim(claim);
}

void XEVCountScreenClaim(bool counted)
{
    CountClaim(counted && claimsScreen);
}

int32_t XEVScreenClaimsCounted()
{
    std::lock_guard<std::mutex> lock(Medium().mutex);
    return Medium().screenClaims;
}

void XEVSetReadObserver(XEVReadObserver observer)
{
    readObserver = observer;
}

void XEVSetMediumProbe(const XEVMediumProbe& probe)
{
    lockProbe = probe.imageLock;
    stopProbe = probe.readerStop;
    priorityProbe = probe.readerPriority;
    turnProbe = probe.mediumTurn;
}

namespace {
thread_local int imageLocksHeld = 0;
std::atomic<uint64_t> parsesUnderImageLock{0};
}   // namespace

void XEVNoteValueParse()
{
    if (imageLocksHeld > 0) {
        parsesUnderImageLock.fetch_add(1, std::memory_order_relaxed);
    }
}

uint64_t XEVValueParsesUnderImageLock()
{
    return parsesUnderImageLock.load();
}

void XEVProbeImageLock(int delta)
{
    imageLocksHeld += delta;
    if (auto probe = lockProbe.load()) {
        probe(delta);
    }
}

XEVStagedFile::~XEVStagedFile()
{
    if (meter_ != nullptr) {
        meter_->discharge(charged_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool XEVStagedFile::Open(const std::string& path)
{
    const int fd = PlatOpenRegularFile(path.c_str());
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size > INT32_MAX) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    size_ = int32_t(info.st_size);
    path_ = path;
    // Frames are read in file order; the system's own read-ahead then follows them.
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

XEVStagedFile::Held::Held(Held&& other) noexcept
    : bytes(std::exchange(other.bytes, nullptr)), mapped(std::exchange(other.mapped, 0)),
      count(std::exchange(other.count, 0)), charged(std::exchange(other.charged, 0)), taken(std::move(other.taken)),
      takenBytes(std::exchange(other.takenBytes, 0))
{
}

XEVStagedFile::Held::~Held()
{
    if (mapped != 0) {
        ::munmap(bytes, mapped);
    } else {
        std::free(bytes);
    }
}

bool XEVStagedFile::Held::Take(size_t n, bool inPages)
{
    if (!inPages) {
        bytes = static_cast<char*>(std::malloc(n));
        return bytes != nullptr;
    }
    void* pages = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        return false;
    }
    bytes = static_cast<char*>(pages);
    mapped = n;
    return true;
}

void XEVStagedFile::Forget(HeldMap::iterator at)
{
    if (last_ == at) {
        last_ = held_.end();
    }
    const size_t charged = at->second.charged;
    held_.erase(at);
    if (meter_ != nullptr) {
        meter_->discharge(charged);
    }
    charged_ -= charged;
}

bool XEVStagedFile::ChargeTo(XEVReadManager* meter)
{
    if (meter == meter_) {
        return true;
    }
    if (meter != nullptr && !meter->charge(charged_)) {
        refused_ = true;
        return false;
    }
    if (meter_ != nullptr) {
        meter_->discharge(charged_);
    }
    meter_ = meter;
    return true;
}

void XEVStagedFile::ReadLateOnDemand(int64_t begin, int64_t end, XEVReadPriority priority)
{
    lateBegin_ = begin;
    lateEnd_ = end;
    latePriority_ = priority;
}

void XEVStagedFile::NoteTaken(HeldMap::iterator at, int64_t from, int64_t to)
{
    Held& held = at->second;
    // Spent already: it waits in spent_ once.
    if (held.takenBytes >= int64_t(held.size())) {
        return;
    }
    auto& taken = held.taken;
    // Merged with every range it touches: a byte read twice counts once.
    auto first = std::lower_bound(taken.begin(), taken.end(), from,
                                  [](const std::pair<int64_t, int64_t>& range, int64_t x) { return range.second < x; });
    auto past = first;
    while (past != taken.end() && past->first <= to) {
        from = std::min(from, past->first);
        to = std::max(to, past->second);
        held.takenBytes -= past->second - past->first;
        ++past;
    }
    first = taken.erase(first, past);
    taken.insert(first, {from, to});
    held.takenBytes += to - from;
    if (held.takenBytes < int64_t(held.size())) {
        return;
    }
    spent_.push_back(at->first);
    while (spent_.size() > kSpentKept) {
        const int64_t start = spent_.front();
        spent_.pop_front();
        const auto found = held_.find(start);
        if (found == held_.end()) {
            continue;
        }
        const auto listed = std::find(onDemand_.begin(), onDemand_.end(), start);
        if (listed != onDemand_.end()) {
            onDemand_.erase(listed);
            onDemandBytes_ -= found->second.size();
        }
        Forget(found);
    }
}

size_t XEVStagedFile::HeldBytes() const
{
    size_t bytes = 0;
    for (const auto& [start, held] : held_) {
        bytes += held.size();
    }
    return bytes;
}

void XEVStagedFile::ForgetOldestOnDemand()
{
    const auto found = held_.find(onDemand_.front());
    onDemand_.pop_front();
    if (found == held_.end()) {
        return;
    }
    onDemandBytes_ -= found->second.size();
    Forget(found);
}

bool XEVStagedFile::ReadRange(int64_t begin, int64_t end, bool onDemand, bool mapped)
{
    // Only the part not held yet: a range is read once.
    auto next = held_.upper_bound(begin);
    if (next != held_.begin()) {
        auto before = std::prev(next);
        begin = std::max<int64_t>(begin, before->first + int64_t(before->second.size()));
    }
    if (next != held_.end()) {
        end = std::min<int64_t>(end, next->first);
    }
    if (begin >= end) {
        return true;
    }
    // A medium that failed once is not asked again: a drive retries a bad sector for seconds.
    if (failed_) {
        return false;
    }
    const size_t wanted = size_t(end - begin);
    // A frame past the staged span is read as its decode goes: what it has read is not kept
    // beside the decoded frame, only the last few blocks, for a reader that steps back a little.
    // The oldest go first, so that the new range is not counted beside them.
    if (onDemand) {
        while (!onDemand_.empty() && onDemandBytes_ + wanted > kOnDemandKept) {
            ForgetOldestOnDemand();
        }
    }
    // Counted before it is taken: what the meter refuses is never read.
    if (meter_ != nullptr && !meter_->charge(wanted)) {
        refused_ = true;
        return false;
    }
    Held held;
    held.charged = wanted;
    charged_ += wanted;
    if (!held.Take(wanted, mapped)) {
        if (meter_ != nullptr) {
            meter_->discharge(wanted);
        }
        charged_ -= wanted;
        return false;
    }
    size_t done = 0;
    while (done < wanted) {
        const ssize_t r = ::pread(fd_, held.bytes + done, wanted - done, off_t(begin + int64_t(done)));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        done += size_t(r);
    }
    ++requests_;
    if (XEVReadObserver observer = readObserver.load()) {
        observer(path_, begin, int32_t(done));
    }
    if (done == 0) {
        if (meter_ != nullptr) {
            meter_->discharge(wanted);
        }
        charged_ -= wanted;
        failed_ = true;
        return false;
    }
    held.count = done;
    if (onDemand) {
        onDemand_.push_back(begin);
        onDemandBytes_ += done;
    }
    held_.emplace(begin, std::move(held));
    // The file's size was taken at the open: less is a medium that failed part way.
    failed_ = failed_ || done < wanted;
    return done == wanted;
}

bool XEVStagedFile::Fetch(int64_t begin, int64_t end, const std::atomic<int32_t>* stop)
{
    begin = std::clamp<int64_t>(begin, 0, size_);
    end = std::clamp<int64_t>(end, begin, size_);
    const bool mapped = end - begin >= kMappedSpan;
    for (int64_t at = begin; at < end; at += kXEVReadBlock) {
        if (turn_ != nullptr && at != begin) {
            turn_->Yield();
        }
        if (stop != nullptr && stop->load() != 0) {
            return false;
        }
        if (!ReadRange(at, std::min<int64_t>(end, at + kXEVReadBlock), false, mapped)) {
            return false;
        }
    }
    return true;
}

int32_t XEVStagedFile::ReadAt(int64_t offset, void* buffer, int32_t n)
{
    int32_t copied = 0;
    char* out = static_cast<char*>(buffer);
    if (stop_ != nullptr && stop_->load() != 0) {
        return 0;
    }
    // The parse reads element by element, mostly from the range it read last.
    if (last_ != held_.end() && offset >= last_->first && offset + n <= last_->first + int64_t(last_->second.size())) {
        std::memcpy(buffer, last_->second.data() + (offset - last_->first), size_t(n));
        if (letGoAsRead_) {
            NoteTaken(last_, offset, offset + n);
        }
        return n;
    }
    while (copied < n && offset + copied < size_) {
        const int64_t at = offset + copied;
        auto found = held_.upper_bound(at);
        if (found != held_.begin()) {
            const auto holding = std::prev(found);
            const Held& bytes = holding->second;
            const int64_t inside = at - holding->first;
            if (inside < int64_t(bytes.size())) {
                last_ = holding;
                const int32_t k = int32_t(std::min<int64_t>(n - copied, int64_t(bytes.size()) - inside));
                std::memcpy(out + copied, bytes.data() + inside, size_t(k));
                copied += k;
                if (letGoAsRead_) {
                    NoteTaken(holding, at, at + k);
                }
                continue;
            }
        }
        if (sealed_ && at >= lateBegin_ && at < lateEnd_) {
            // Past what was staged of a frame: a block at a time, in the medium's turn.
            XEVMediumTurn turn(latePriority_, stop_);
            if (!turn.Held() || (stop_ != nullptr && stop_->load() != 0) ||
                !ReadRange(at, std::min<int64_t>({size_, lateEnd_, at + kXEVReadBlock}), true)) {
                break;
            }
            continue;
        }
        // Not staged: a header element read on demand, ahead so that a parse makes few requests.
        if (sealed_ || (stop_ != nullptr && stop_->load() != 0) ||
            !ReadRange(at, std::min<int64_t>(size_, at + std::min(std::max(n - copied, kReadAhead), kXEVReadBlock)),
                       true)) {
            break;
        }
    }
    return copied;
}

XEVFrameSpan XEVFrameSpanOf(const VEK_DICOMInfo& info, int32_t frame, int32_t fileSize)
{
    XEVFrameSpan span;
    // A frame past the decode budget is refused before its decode reads a byte of it.
    if (frame < 0 ||
        PlatDecodedFrameBytes(info.width(), info.height(), info.channels(), info.bits()) > kPlatFrameDecodeBudget) {
        return span;
    }
    const VEK_DICOMFrameTable& frames = info.frames();
    // A frame of too many fragments is refused by its decode without a read.
    if (frames.crowded(uint32_t(frame))) {
        return span;
    }
    int64_t begin = INT64_MAX;
    int64_t end = 0;
    for (uint32_t i = 0, n = frames.fragment_count(uint32_t(frame)); i < n; ++i) {
        uint32_t position = 0;
        uint32_t length = 0;
        frames.fragment(uint32_t(frame), i, position, length);
        begin = std::min<int64_t>(begin, position);
        end = std::max<int64_t>(end, int64_t(position) + length);
    }
    if (begin >= end) {
        return span;
    }
    // Compressed data is staged as far as its decode can use: twice its decoded size (more than
    // any encoder writes: RLE adds a byte in 128, a JPEG's entropy-coded data stays below its
    // samples but for noise at full quality) and the slack for its headers. The rest, which
    // only padding fills, is read on demand should the decode go on into it.
    int64_t lateEnd = 0;
    if (info.compression_kind() != 0) {
        const int64_t cap =
            2 * int64_t(PlatDecodedFrameBytes(info.width(), info.height(), info.channels(), info.bits())) +
            kXEVStagedSlack;
        if (end - begin > cap) {
            lateEnd = std::min<int64_t>(fileSize, end + kSpanMargin);
            end = begin + cap;
        }
    }
    // Native samples: the frame is what its header makes it, whatever length the value claims.
    if (info.compression_kind() == 0) {
        const int64_t samples = int64_t(info.width()) * info.height() * std::max<uint32_t>(info.channels(), 1);
        const int64_t bytes = (samples * std::max<uint32_t>(info.bits(), 1) + 7) / 8;
        if (bytes > 0) {
            end = std::min(end, begin + bytes);
        }
    }
    // Fragments: with the item headers around them. Native samples: their own bytes, but for
    // the words a one-bit or byte-swapped frame starts and ends inside.
    int64_t margin = kSpanMargin;
    if (info.compression_kind() == 0) {
        margin = info.bits() == 1 || (info.little_endian() == 0 && info.bits() == 8) ? 2 : 0;
    }
    span.begin = std::max<int64_t>(0, begin - margin);
    span.end = std::min<int64_t>(fileSize, end + margin);
    span.lateEnd = lateEnd;
    if (info.compression_kind() == 0) {
        span.elementBegin = std::min<int64_t>(info.pixel_data_position(), fileSize);
        span.elementEnd = std::min<int64_t>(span.elementBegin + 12, fileSize);
    }
    return span;
}

XEVParsedHeader::XEVParsedHeader() = default;
XEVParsedHeader::~XEVParsedHeader()
{
    // The tag object first: it lets go of its dataset through the manager.
    info.reset();
    manager.reset();
}

uint64_t XEVParsedHeader::Bytes() const
{
    return manager != nullptr ? manager->in_use() : 0;
}

XEVFrameSpan XEVStagedFile::ParseFrameSpan(int32_t frame, int32_t& frameCount)
{
    if (header_ != nullptr && meter_ == header_->manager.get()) {
        ChargeTo(nullptr);
    }
    header_.reset();
    headerRefused_ = false;
    headerFailed_ = false;
    XEVFrameSpan span;
    frameCount = 0;
    auto header = std::make_unique<XEVParsedHeader>();
    // The parse is the load's too, with the load's budget.
    header->manager = std::make_unique<XEVReadManager>(XEVLoadMemoryBudget());
    header->info = std::make_unique<VEK_DICOMInfo>(header->manager.get());
    // The bytes held so far, and those the frame needs, share the parse's budget.
    XEVReadManager* const before = meter_;
    if (!ChargeTo(header->manager.get())) {
        return span;
    }
    VEK_InputStorage* storage = CreateStorage(header->manager.get());
    if (storage != nullptr && header->info->load(storage)) {
        frameCount = int32_t(std::max<uint32_t>(header->info->frame_count(), 1));
        span = XEVFrameSpanOf(*header->info, frameCount == 1 ? 0 : frame, size_);
        header_ = std::move(header);
    }
    vek_destroy(storage);
    if (header_ == nullptr) {
        // A header past the budget fails the load as out of memory (HeaderRefused): parsed
        // again from the sealed bytes under the lock, it would read as a file cut short.
        headerRefused_ = header->manager->budget_refusals() != 0;
        headerFailed_ = true;
        headerFailureCode_ = header->manager->status().code();
        headerFailedWithPixels_ = header->info->exist(0x7FE0, 0x0010);
        ChargeTo(before);
    }
    return span;
}

std::unique_ptr<XEVParsedHeader> XEVStagedFile::TakeHeader()
{
    // Its manager leaves with it: the bytes held are no longer counted there.
    if (header_ != nullptr && meter_ == header_->manager.get()) {
        ChargeTo(nullptr);
    }
    return std::move(header_);
}

uint64_t XEVStagedFile::HeaderBytes() const
{
    if (header_ == nullptr) {
        return 0;
    }
    const uint64_t bytes = header_->Bytes();
    return meter_ == header_->manager.get() && bytes >= charged_ ? bytes - charged_ : bytes;
}

VEK_InputStorage* XEVStagedFile::CreateStorage(VEK_Manager* manager)
{
    return vek_create<XEVStagedStorage>(manager, this);
}
