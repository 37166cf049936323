/* A slow medium for tests and benchmarks, preloaded (LD_PRELOAD) into a process: reads of files
 * under KV_SLOWDISC_ROOT cost what they would on one drive head behind a mount's page cache,
 * as on a CD or DVD drive.
 *
 *   KV_SLOWDISC_ROOT         the folder whose files are on the medium (required; else no cost)
 *   KV_SLOWDISC_RATE         bytes per second (default 6000000)
 *   KV_SLOWDISC_SEEK_MS      cost of a request that is not sequential (default 100)
 *   KV_SLOWDISC_SPINUP_MS    added to the first read of the medium (default 0)
 *   KV_SLOWDISC_READAHEAD_KB what a request that misses the cache pulls in after itself (default 128)
 *   KV_SLOWDISC_CACHE_MB     the page cache's size (default 256); the oldest pages leave first
 *   KV_SLOWDISC_FAIL         NAME:BYTES: reads of a file whose path ends in NAME fail (EIO) from
 *                            byte BYTES on, as a scratched disc does
 *   KV_SLOWDISC_FAIL_MS      what a failing read costs before it fails: the drive's retries
 *   KV_SLOWDISC_MARK         NAME:PATH: PATH is made when a stream read of a file whose path
 *                            ends in NAME begins (for a test to act while it is under way)
 *   KV_SLOWDISC_MARK_READ    NAME:PATH: the same for a read of any kind
 *   KV_SLOWDISC_REPORT       a file the counts are written to when the process ends
 *   KV_SLOWDISC_LOG          a file every read and turn is written to when the process ends
 *   KV_SLOWDISC_TRACE        1: the stack of every read of the medium by the main thread, on stderr
 *
 * A process may end every read at once (kv_slowdisc_hurry), the ones under way included.
 *
 * One head: every request holds one lock while it costs. A request is at most 128 KiB, as a
 * kernel sends a drive; a longer read is several requests, and another thread's request may
 * come between them. A request that misses the cache also reads the read-ahead window after
 * it, as a mount does, in the same pass of the head: none on a descriptor advised
 * POSIX_FADV_RANDOM, twice the window on one advised POSIX_FADV_SEQUENTIAL, as the kernel keeps
 * the advice with the open file until POSIX_FADV_NORMAL. A request is sequential when it is in
 * the file the head last read and starts within 256 KiB of where the head stopped; else it
 * pays the seek first, then its size / rate. Cached pages cost nothing.
 *
 * POSIX_FADV_WILLNEED on a range reads it ahead without making the caller wait: the head takes
 * it after the work asked before it, its pages coming in order at the rate, and a read of a
 * page still coming waits for that page only. The log has it as a read marked ahead.
 *
 * A stream read holds its stream's lock for the whole read, cost included, as a read of the
 * kernel under the C library's does.
 *
 * Every read of the medium made by the main thread (the GUI thread) is counted, cached or
 * not; a test asks kv_slowdisc_gui_reads() through dlsym, or reads the report. A program that
 * tells the medium when a thread holds an image's lock (kv_slowdisc_image_lock) and which stop
 * its reads answer to (kv_slowdisc_reader_stop) also has the reads made under that lock and
 * the requests made once their stop was set counted, cached or not; one that tells it whom a
 * thread's reads serve (kv_slowdisc_reader_priority) has that in the log. Reads through
 * mmap are neither slowed nor counted: nothing of the viewer maps the disc's files. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

/* The optimised headers make some of the wrapped names macros. */
#undef fread_unlocked

#define KV_EXPORT __attribute__((visibility("default")))

enum { kMaxFds = 65536, kPage = 4096, kRequest = 128 * 1024, kNearBytes = 256 * 1024, kLogEntries = 1 << 16 };

/* ---- The real functions. */

static ssize_t (*real_read)(int, void*, size_t);
static ssize_t (*real_pread)(int, void*, size_t, off_t);
static ssize_t (*real_pread64)(int, void*, size_t, off64_t);
static ssize_t (*real_readv)(int, const struct iovec*, int);
static ssize_t (*real_preadv)(int, const struct iovec*, int, off_t);
static ssize_t (*real_preadv64)(int, const struct iovec*, int, off64_t);
static size_t (*real_fread)(void*, size_t, size_t, FILE*);
static size_t (*real_fread_unlocked)(void*, size_t, size_t, FILE*);
static int (*real_open)(const char*, int, ...);
static int (*real_open64)(const char*, int, ...);
static int (*real_openat)(int, const char*, int, ...);
static int (*real_openat64)(int, const char*, int, ...);
static FILE* (*real_fopen)(const char*, const char*);
static FILE* (*real_fopen64)(const char*, const char*);
static FILE* (*real_fdopen)(int, const char*);
static int (*real_close)(int);
static int (*real_fclose)(FILE*);
static int (*real_posix_fadvise)(int, off_t, off_t, int);
static int (*real_posix_fadvise64)(int, off64_t, off64_t, int);

#define RESOLVE(name) (real_##name ? (void)0 : (void)(*(void**)& real_##name = dlsym(RTLD_NEXT, #name)))

/* ---- The medium's settings and counts. */

static char root_[PATH_MAX];
static size_t rootLength_;
static double rate_ = 6000000.0;
static long seekMs_ = 100;
static atomic_long spinupMs_;
static atomic_long guiReads_;
static atomic_long reads_;
static atomic_long bytes_;
static atomic_long seeks_;
/* When the request under way ends, in ns of the monotonic clock; 0 before the first. */
static atomic_llong busyUntil_;
static atomic_int firstGuiReadSet_;
static atomic_long lockedReads_;
static atomic_long lockedBytes_;
static atomic_long stoppedReads_;
static atomic_long stoppedBytes_;
static atomic_long failReads_;
static atomic_long failOpens_;
static __thread int imageLockDepth_;
static __thread const int32_t* readerStop_;
static __thread int readerPriority_ = -1;
static int trace_;
static char firstGuiRead_[PATH_MAX];
static int64_t readAhead_ = 128 * 1024;
static size_t cachePages_ = (size_t)256 * 1024 * 1024 / kPage;
static char failName_[PATH_MAX];
static int64_t failFrom_ = -1;
static long failMs_;
static char markName_[PATH_MAX];
static char markPath_[PATH_MAX];
static char markReadName_[PATH_MAX];
static char markReadPath_[PATH_MAX];
static atomic_long streamReadsUnderWay_;

/* One line of the log: a read of the medium, or a thread telling whom its reads serve. */
struct kv_slowdisc_entry {
    long start;   /* the order the read took the head in (a turn: when it was told) */
    long end;     /* the order it ended in */
    int file;     /* index + 1 of the file; 0 for a turn */
    int thread;   /* the thread's id */
    int gui;      /* made by the main thread */
    int priority; /* whom the thread's reads serve: -1 not told, 0 the screen, 1 background */
    int kind;     /* 0 a read, 1 a turn asked for (priority), 2 a turn given up; 3 + the medium's state */
    long long offset;
    long long length;
    long long driveBytes; /* what it cost the drive: 0 when the cache served it */
    int ahead;            /* a read ahead asked for (POSIX_FADV_WILLNEED), not a read */
};
static pthread_mutex_t log_ = PTHREAD_MUTEX_INITIALIZER;
static struct kv_slowdisc_entry* entries_;
static long entryCount_;
static atomic_long order_;

/* A file of the medium with the pages in the cache. */
struct MediumFile {
    dev_t dev;
    ino_t ino;
    char* path;
    unsigned char* pages; /* one bit a page */
    size_t pageCount;
    int64_t failFrom; /* reads from this byte on fail; -1: none */
};

static pthread_mutex_t head_ = PTHREAD_MUTEX_INITIALIZER;
/* Taken under head_ where the table of files grows, and alone where a path is looked up: a test
 * reading the log never waits for the request under way. */
static pthread_mutex_t table_ = PTHREAD_MUTEX_INITIALIZER;
static struct MediumFile* files_;
static size_t fileCount_;
static size_t fileCapacity_;
/* Where the head stopped: the file (index + 1, 0 for none) and the byte after the last read. */
static size_t headFile_;
static int64_t headEnd_;
/* The cached pages in the order they came, (file index + 1) << 40 | page; a ring. */
static uint64_t* cacheRing_;
static size_t cacheCount_;
static size_t cacheNext_;

/* The ranges read ahead, the latest kAheads: their pages are cached from when they were asked
 * for, but in only from startNs + their place in the range / rate. Under head_. */
enum { kAheads = 64 };
struct Ahead {
    uint32_t file;
    int64_t from;
    int64_t to;
    long long startNs;
};
static struct Ahead aheads_[kAheads];
static size_t aheadNext_;
/* When the head ends the read-ahead asked of it, in ns of the monotonic clock. Under head_. */
static long long headFreeNs_;

/* fd -> index + 1 of its medium file, 0 when the fd is not one of the medium's. */
static _Atomic uint32_t fdFile_[kMaxFds];
/* fd -> the access advised for it: POSIX_FADV_NORMAL (0), _RANDOM or _SEQUENTIAL. */
static _Atomic int fdAdvice_[kMaxFds];

static void ReadEnvironment(void) __attribute__((constructor));

/* A mark's NAME:PATH into name and path (both PATH_MAX); left empty when malformed. */
static void ReadMark(const char* variable, char* name, char* path)
{
    const char* value = getenv(variable);
    const char* colon = value != NULL ? strchr(value, ':') : NULL;
    if (colon != NULL && colon != value && (size_t)(colon - value) < PATH_MAX && strlen(colon + 1) < PATH_MAX) {
        memcpy(name, value, (size_t)(colon - value));
        strcpy(path, colon + 1);
    }
}
static void ReadEnvironment(void)
{
    const char* root = getenv("KV_SLOWDISC_ROOT");
    if (root != NULL && realpath(root, root_) != NULL) {
        rootLength_ = strlen(root_);
    }
    const char* value = getenv("KV_SLOWDISC_RATE");
    if (value != NULL && atof(value) > 0) {
        rate_ = atof(value);
    }
    value = getenv("KV_SLOWDISC_SEEK_MS");
    if (value != NULL) {
        seekMs_ = atol(value);
    }
    value = getenv("KV_SLOWDISC_TRACE");
    trace_ = value != NULL && atoi(value) != 0;
    value = getenv("KV_SLOWDISC_SPINUP_MS");
    if (value != NULL) {
        atomic_store(&spinupMs_, atol(value));
    }
    value = getenv("KV_SLOWDISC_READAHEAD_KB");
    if (value != NULL && atol(value) >= 0) {
        readAhead_ = (int64_t)atol(value) * 1024;
    }
    value = getenv("KV_SLOWDISC_CACHE_MB");
    if (value != NULL && atol(value) > 0) {
        cachePages_ = (size_t)atol(value) * 1024 * 1024 / kPage;
    }
    value = getenv("KV_SLOWDISC_FAIL");
    const char* colon = value != NULL ? strrchr(value, ':') : NULL;
    if (colon != NULL && colon != value && (size_t)(colon - value) < sizeof failName_) {
        memcpy(failName_, value, (size_t)(colon - value));
        failFrom_ = atoll(colon + 1);
    }
    value = getenv("KV_SLOWDISC_FAIL_MS");
    if (value != NULL && atol(value) > 0) {
        failMs_ = atol(value);
    }
    ReadMark("KV_SLOWDISC_MARK", markName_, markPath_);
    ReadMark("KV_SLOWDISC_MARK_READ", markReadName_, markReadPath_);
    cacheRing_ = calloc(cachePages_, sizeof *cacheRing_);
    entries_ = calloc(kLogEntries, sizeof *entries_);
}

static void Log(struct kv_slowdisc_entry entry)
{
    pthread_mutex_lock(&log_);
    if (entries_ != NULL && entryCount_ < kLogEntries) {
        entries_[entryCount_++] = entry;
    }
    pthread_mutex_unlock(&log_);
}

static void WriteLog(void)
{
    const char* path = getenv("KV_SLOWDISC_LOG");
    /* A process that read nothing of the medium (a helper the program started) leaves the
     * log to the one that did. */
    if (path == NULL || *path == '\0' || entries_ == NULL || entryCount_ == 0) {
        return;
    }
    FILE* out = real_fopen(path, "w");
    if (out == NULL) {
        return;
    }
    pthread_mutex_lock(&log_);
    for (long i = 0; i < entryCount_; ++i) {
        const struct kv_slowdisc_entry* e = &entries_[i];
        fprintf(out, "%ld %ld %d %d %d %d %lld %lld %lld %s\n", e->start, e->end, e->kind, e->thread, e->gui,
                e->priority, e->offset, e->length, e->driveBytes, e->file > 0 ? files_[e->file - 1].path : "-");
    }
    pthread_mutex_unlock(&log_);
    real_fclose(out);
}

static void WriteReport(void) __attribute__((destructor));
static void WriteReportOnce(void);
static void WriteReport(void)
{
    /* Once, and a second ending thread waits for it: the exit and a deadline may both end the
     * process, and a second writer would leave the files cut. */
    static pthread_mutex_t once = PTHREAD_MUTEX_INITIALIZER;
    static int written;
    pthread_mutex_lock(&once);
    if (!written) {
        written = 1;
        WriteReportOnce();
    }
    pthread_mutex_unlock(&once);
}

static void WriteReportOnce(void)
{
    RESOLVE(fopen);
    RESOLVE(fclose);
    WriteLog();
    const char* path = getenv("KV_SLOWDISC_REPORT");
    if (path == NULL || *path == '\0' || (atomic_load(&reads_) == 0 && access(path, F_OK) == 0)) {
        return;
    }
    FILE* report = real_fopen(path, "w");
    if (report == NULL) {
        return;
    }
    fprintf(
        report,
        "gui_reads %ld\nreads %ld\nbytes %ld\nseeks %ld\nlocked_reads %ld\nlocked_bytes %ld\nstopped_reads "
        "%ld\nstopped_bytes %ld\nfailed_reads %ld\nfailing_opens %ld\nstream_reads_under_way %ld\nfirst_gui_read %s\n",
        atomic_load(&guiReads_), atomic_load(&reads_), atomic_load(&bytes_), atomic_load(&seeks_),
        atomic_load(&lockedReads_), atomic_load(&lockedBytes_), atomic_load(&stoppedReads_),
        atomic_load(&stoppedBytes_), atomic_load(&failReads_), atomic_load(&failOpens_),
        atomic_load(&streamReadsUnderWay_), atomic_load(&firstGuiReadSet_) ? firstGuiRead_ : "");
    real_fclose(report);
}

/* Set once the process asked the medium to end every read at once (kv_slowdisc_hurry): the
 * sleeps under way end, and later reads cost nothing. */
static atomic_int hurried_;
static pthread_mutex_t sleep_ = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake_;
static pthread_once_t wakeOnce_ = PTHREAD_ONCE_INIT;

static void MakeWake(void)
{
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&wake_, &attributes);
    pthread_condattr_destroy(&attributes);
}

static void SleepMs(double ms)
{
    if (ms <= 0 || atomic_load(&hurried_)) {
        return;
    }
    pthread_once(&wakeOnce_, MakeWake);
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    const long long ns = until.tv_nsec + (long long)(ms * 1e6);
    until.tv_sec += ns / 1000000000LL;
    until.tv_nsec = ns % 1000000000LL;
    pthread_mutex_lock(&sleep_);
    while (!atomic_load(&hurried_) && pthread_cond_timedwait(&wake_, &sleep_, &until) != ETIMEDOUT) {
    }
    pthread_mutex_unlock(&sleep_);
}

/* ---- Which files are the medium's. */

/* The index + 1 of the medium file fd names, registering it; 0 when it is not under the root. */
static uint32_t LookUpFile(int fd)
{
    if (rootLength_ == 0 || fd < 0 || fd >= kMaxFds) {
        return 0;
    }
    char link[64];
    char path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length <= 0 || (size_t)length < rootLength_ || memcmp(path, root_, rootLength_) != 0 ||
        (path[rootLength_] != '/' && path[rootLength_] != '\0')) {
        return 0;
    }
    path[length] = '\0';
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    pthread_mutex_lock(&head_);
    size_t index = 0;
    while (index < fileCount_ && (files_[index].dev != status.st_dev || files_[index].ino != status.st_ino)) {
        ++index;
    }
    if (index == fileCount_) {
        pthread_mutex_lock(&table_);
        if (fileCount_ == fileCapacity_) {
            const size_t capacity = fileCapacity_ ? fileCapacity_ * 2 : 256;
            struct MediumFile* grown = realloc(files_, capacity * sizeof *grown);
            if (grown == NULL) {
                pthread_mutex_unlock(&table_);
                pthread_mutex_unlock(&head_);
                return 0;
            }
            files_ = grown;
            fileCapacity_ = capacity;
        }
        struct MediumFile* file = &files_[fileCount_];
        memset(file, 0, sizeof *file);
        file->dev = status.st_dev;
        file->ino = status.st_ino;
        file->path = strdup(path);
        const size_t nameLength = strlen(failName_);
        file->failFrom =
            nameLength > 0 && (size_t)length >= nameLength && strcmp(path + length - nameLength, failName_) == 0
                ? failFrom_
                : -1;
        ++fileCount_;
        pthread_mutex_unlock(&table_);
    }
    if (files_[index].failFrom >= 0) {
        atomic_fetch_add(&failOpens_, 1);
    }
    pthread_mutex_unlock(&head_);
    return (uint32_t)index + 1;
}

static void Track(int fd)
{
    if (fd >= 0 && fd < kMaxFds) {
        atomic_store(&fdAdvice_[fd], POSIX_FADV_NORMAL);
        atomic_store(&fdFile_[fd], LookUpFile(fd));
    }
}

static void Forget(int fd)
{
    if (fd >= 0 && fd < kMaxFds) {
        atomic_store(&fdFile_[fd], 0);
        atomic_store(&fdAdvice_[fd], POSIX_FADV_NORMAL);
    }
}

/* The read-ahead window of a request through fd, as its advice sets it. */
static int64_t WindowOf(int fd)
{
    const int advice = fd >= 0 && fd < kMaxFds ? atomic_load(&fdAdvice_[fd]) : POSIX_FADV_NORMAL;
    return advice == POSIX_FADV_RANDOM ? 0 : advice == POSIX_FADV_SEQUENTIAL ? 2 * readAhead_ : readAhead_;
}

static uint32_t FileOf(int fd)
{
    return fd >= 0 && fd < kMaxFds ? atomic_load(&fdFile_[fd]) : 0;
}

/* ---- The head. */

/* Puts [from, to) of the file into the cache; returns the bytes that were not there. The
 * oldest page leaves a full cache. Under head_. */
static int64_t Cache(uint32_t fileId, int64_t from, int64_t to, int64_t size)
{
    struct MediumFile* file = &files_[fileId - 1];
    int64_t missing = 0;
    for (int64_t page = from / kPage; page * kPage < to; ++page) {
        if ((file->pages[page / 8] & (1u << (page % 8))) != 0) {
            continue;
        }
        const int64_t begin = page * kPage;
        missing += (begin + kPage < size ? begin + kPage : size) - begin;
        file->pages[page / 8] |= (unsigned char)(1u << (page % 8));
        if (cacheRing_ == NULL) {
            continue;
        }
        if (cacheCount_ == cachePages_) {
            const uint64_t old = cacheRing_[cacheNext_];
            const int64_t oldPage = (int64_t)(old & ((1ull << 40) - 1));
            files_[(old >> 40) - 1].pages[oldPage / 8] &= (unsigned char)~(1u << (oldPage % 8));
        } else {
            ++cacheCount_;
        }
        cacheRing_[cacheNext_] = ((uint64_t)fileId << 40) | (uint64_t)page;
        cacheNext_ = (cacheNext_ + 1) % cachePages_;
    }
    return missing;
}

/* The file's size now, its page bits grown to it; -1 when it is gone. Under head_. */
static int64_t SizeNow(struct MediumFile* file)
{
    struct stat status;
    if (file->path == NULL || stat(file->path, &status) != 0) {
        return -1;
    }
    const size_t needPages = (size_t)((status.st_size + kPage - 1) / kPage);
    if (file->pageCount < needPages) {
        unsigned char* grown = realloc(file->pages, (needPages + 7) / 8);
        if (grown == NULL) {
            return -1;
        }
        memset(grown + (file->pageCount + 7) / 8, 0, (needPages + 7) / 8 - (file->pageCount + 7) / 8);
        file->pages = grown;
        file->pageCount = needPages;
    }
    return status.st_size;
}

static long long NowNs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* When the last page of [from, to) of the file that a read-ahead still brings is in; 0 when
 * none is coming. Under head_. */
static long long ArrivalOf(uint32_t fileId, int64_t from, int64_t to)
{
    long long latest = 0;
    for (size_t k = 0; k < kAheads; ++k) {
        const struct Ahead* ahead = &aheads_[k];
        if (ahead->file != fileId || ahead->to <= from || ahead->from >= to) {
            continue;
        }
        const int64_t last = to < ahead->to ? to : ahead->to;
        const long long in = ahead->startNs + (long long)((double)(last - ahead->from) * 1e9 / rate_);
        latest = in > latest ? in : latest;
    }
    return latest;
}

/* Whether a request at `at` of the file follows where the head stopped, counting the seek
 * when not. Under head_. */
static int Sequential(uint32_t fileId, int64_t at)
{
    const int64_t distance = at > headEnd_ ? at - headEnd_ : headEnd_ - at;
    const int sequential = headFile_ == fileId && distance <= kNearBytes;
    if (!sequential) {
        atomic_fetch_add(&seeks_, 1);
    }
    return sequential;
}

/* One request of at most kRequest bytes at `at`: what the cache lacks, and the read-ahead
 * window after it, cost the seek (unless sequential) and their bytes at the rate, after the
 * read-ahead asked before; pages a read-ahead still brings cost the wait for them. Returns the
 * bytes the drive read; 0 past the end. Under head_. */
static int64_t Request(uint32_t fileId, int64_t at, int64_t end, int64_t size, int64_t window)
{
    const int64_t requestEnd = at + kRequest < end ? at + kRequest : end;
    const long long arrival = ArrivalOf(fileId, at, requestEnd);
    int64_t missing = Cache(fileId, at, requestEnd, size);
    if (missing == 0) {
        SleepMs((double)(arrival - NowNs()) / 1e6);
        return 0;
    }
    const int64_t aheadEnd = requestEnd + window < size ? requestEnd + window : size;
    missing += Cache(fileId, requestEnd, aheadEnd, size);
    const int sequential = Sequential(fileId, at);
    atomic_fetch_add(&bytes_, missing);
    const long long now = NowNs();
    const double queuedMs = headFreeNs_ > now ? (double)(headFreeNs_ - now) / 1e6 : 0.0;
    const double ms = queuedMs + (sequential ? 0.0 : (double)seekMs_) + (double)missing * 1000.0 / rate_;
    atomic_store(&busyUntil_, now + (long long)(ms * 1e6));
    SleepMs(ms);
    headFile_ = fileId;
    headEnd_ = aheadEnd;
    return missing;
}

static void CountRead(uint32_t fileId, int64_t offset, size_t length)
{
    atomic_fetch_add(&reads_, 1);
    if (imageLockDepth_ > 0) {
        atomic_fetch_add(&lockedReads_, 1);
        atomic_fetch_add(&lockedBytes_, (long)length);
    }
    if (readerStop_ != NULL && __atomic_load_n(readerStop_, __ATOMIC_ACQUIRE) != 0) {
        atomic_fetch_add(&stoppedReads_, 1);
        atomic_fetch_add(&stoppedBytes_, (long)length);
    }
    if (syscall(SYS_gettid) == getpid()) {
        atomic_fetch_add(&guiReads_, 1);
        if (atomic_exchange(&firstGuiReadSet_, 1) == 0) {
            pthread_mutex_lock(&head_);
            snprintf(firstGuiRead_, sizeof firstGuiRead_, "%s", files_[fileId - 1].path);
            pthread_mutex_unlock(&head_);
        }
        if (trace_) {
            void* frames[64];
            fprintf(stderr, "kv_slowdisc: the main thread reads %zu bytes at %lld of %s\n", length, (long long)offset,
                    files_[fileId - 1].path);
            backtrace_symbols_fd(frames, backtrace(frames, 64), 2);
        }
    }
}

/* Makes path when file (index + 1) is the one name ends, if any. */
static void MarkIfNamed(uint32_t fileId, const char* name, const char* path)
{
    const size_t nameLength = strlen(name);
    if (nameLength == 0) {
        return;
    }
    pthread_mutex_lock(&head_);
    const char* filePath = files_[fileId - 1].path;
    const size_t length = strlen(filePath);
    const int marked = length >= nameLength && strcmp(filePath + length - nameLength, name) == 0;
    pthread_mutex_unlock(&head_);
    if (marked) {
        RESOLVE(open);
        RESOLVE(close);
        const int mark = real_open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (mark >= 0) {
            real_close(mark);
        }
    }
}

/* Makes the caller wait for length bytes of file (index + 1) from offset, as the drive would,
 * each request reading window bytes ahead. */
static void Cost(uint32_t fileId, int64_t offset, size_t length, int64_t window)
{
    CountRead(fileId, offset, length);
    if (offset < 0 || length == 0) {
        return;
    }
    MarkIfNamed(fileId, markReadName_, markReadPath_);
    const int thread = (int)syscall(SYS_gettid);
    struct kv_slowdisc_entry entry = {
        -1, 0, (int)fileId, thread, thread == getpid(), readerPriority_, 0, offset, (long long)length, 0, 0};
    const long spinup = atomic_exchange(&spinupMs_, 0);
    int64_t end = offset + (int64_t)length;
    for (int64_t at = offset; at < end;) {
        pthread_mutex_lock(&head_);
        if (entry.start < 0) {
            entry.start = atomic_fetch_add(&order_, 1);
        }
        if (spinup > 0 && at == offset) {
            SleepMs((double)spinup);
        }
        /* The file's size now: a read past the end moves nothing. */
        const int64_t size = SizeNow(&files_[fileId - 1]);
        end = end < size ? end : size;
        if (at >= end) {
            pthread_mutex_unlock(&head_);
            break;
        }
        entry.driveBytes += Request(fileId, at, end, size, window);
        pthread_mutex_unlock(&head_);
        at = at + kRequest < end ? at + kRequest : end;
    }
    if (entry.start < 0) {
        entry.start = atomic_fetch_add(&order_, 1);
    }
    entry.end = atomic_fetch_add(&order_, 1);
    Log(entry);
}

/* The bytes of a read at offset the medium gives before its failing part: length when none
 * of it fails, -1 when all of it does (counted: the drive was asked and failed). */
static int64_t Readable(uint32_t fileId, int64_t offset, size_t length)
{
    if (fileId == 0 || offset < 0) {
        return (int64_t)length;
    }
    pthread_mutex_lock(&head_);
    const int64_t failFrom = files_[fileId - 1].failFrom;
    pthread_mutex_unlock(&head_);
    if (failFrom < 0 || offset + (int64_t)length <= failFrom) {
        return (int64_t)length;
    }
    if (offset < failFrom) {
        return failFrom - offset;
    }
    atomic_fetch_add(&failReads_, 1);
    return -1;
}

/* Costs a read of length bytes at offset (-1: fd's position) and returns what of it the
 * medium gives; -1 when it fails, errno set. */
static int64_t CostOfRead(int fd, int64_t offset, size_t length)
{
    const uint32_t fileId = FileOf(fd);
    if (fileId == 0) {
        return (int64_t)length;
    }
    if (offset < 0) {
        offset = (int64_t)lseek(fd, 0, SEEK_CUR);
    }
    const int64_t readable = Readable(fileId, offset, length);
    Cost(fileId, offset, readable < 0 ? length : (size_t)readable, WindowOf(fd));
    if (readable < 0) {
        SleepMs((double)failMs_);
        errno = EIO;
    }
    return readable;
}

static void CostOfVector(int fd, const struct iovec* vector, int count, int64_t offset)
{
    const uint32_t fileId = FileOf(fd);
    if (fileId == 0) {
        return;
    }
    size_t length = 0;
    for (int i = 0; i < count; ++i) {
        length += vector[i].iov_len;
    }
    Cost(fileId, offset >= 0 ? offset : (int64_t)lseek(fd, 0, SEEK_CUR), length, WindowOf(fd));
}

/* The items of a stream read the medium gives; 0 with errno set when it fails. */
static size_t CostOfStream(FILE* stream, size_t size, size_t count)
{
    const int fd = stream != NULL ? fileno(stream) : -1;
    const uint32_t fileId = FileOf(fd);
    if (fileId == 0 || size == 0 || count > SIZE_MAX / size) {
        return count;
    }
    const int64_t offset = (int64_t)ftello(stream);
    const int64_t readable = Readable(fileId, offset, size * count);
    Cost(fileId, offset, readable < 0 ? size * count : (size_t)readable, WindowOf(fd));
    if (readable < 0) {
        SleepMs((double)failMs_);
        errno = EIO;
        return 0;
    }
    return (size_t)readable / size;
}

/* ---- Counts for a test in the same process. */

KV_EXPORT long kv_slowdisc_gui_reads(void)
{
    return atomic_load(&guiReads_);
}
KV_EXPORT long kv_slowdisc_reads(void)
{
    return atomic_load(&reads_);
}
KV_EXPORT long kv_slowdisc_seeks(void)
{
    return atomic_load(&seeks_);
}
KV_EXPORT long long kv_slowdisc_busy_until(void)
{
    return atomic_load(&busyUntil_);
}
KV_EXPORT const char* kv_slowdisc_first_gui_read(void)
{
    return atomic_load(&firstGuiReadSet_) ? firstGuiRead_ : "";
}
KV_EXPORT long kv_slowdisc_locked_bytes(void)
{
    return atomic_load(&lockedBytes_);
}
KV_EXPORT long kv_slowdisc_locked_reads(void)
{
    return atomic_load(&lockedReads_);
}
KV_EXPORT long kv_slowdisc_stopped_reads(void)
{
    return atomic_load(&stoppedReads_);
}
KV_EXPORT long kv_slowdisc_stopped_bytes(void)
{
    return atomic_load(&stoppedBytes_);
}

KV_EXPORT long kv_slowdisc_failed_reads(void)
{
    return atomic_load(&failReads_);
}
KV_EXPORT long kv_slowdisc_failing_opens(void)
{
    return atomic_load(&failOpens_);
}
/* Copies up to max lines of the log into out; returns how many there are. */
KV_EXPORT long kv_slowdisc_log(struct kv_slowdisc_entry* out, long max)
{
    pthread_mutex_lock(&log_);
    const long count = entryCount_;
    if (out != NULL) {
        memcpy(out, entries_, (size_t)(count < max ? count : max) * sizeof *out);
    }
    pthread_mutex_unlock(&log_);
    return count;
}
/* The path of a file of the log (index + 1); "" for none. */
KV_EXPORT const char* kv_slowdisc_path(int file)
{
    pthread_mutex_lock(&table_);
    const char* path = file > 0 && (size_t)file <= fileCount_ ? files_[file - 1].path : "";
    pthread_mutex_unlock(&table_);
    return path;
}

/* ---- What the program tells the medium. */

/* Every read under way ends now, and later reads cost nothing: a process about to end with
 * threads still in reads lets them run on to what they touch after. */
KV_EXPORT void kv_slowdisc_hurry(void)
{
    pthread_once(&wakeOnce_, MakeWake);
    pthread_mutex_lock(&sleep_);
    atomic_store(&hurried_, 1);
    pthread_cond_broadcast(&wake_);
    pthread_mutex_unlock(&sleep_);
}

/* The drive spins down: its next read pays ms before it starts. */
KV_EXPORT void kv_slowdisc_spin_down(long ms)
{
    atomic_store(&spinupMs_, ms);
}

/* +1 when the calling thread takes an image's lock, -1 when it leaves it. */
KV_EXPORT void kv_slowdisc_image_lock(int delta)
{
    imageLockDepth_ += delta;
}
/* The stop flag (a 32-bit integer) the calling thread's reads answer to; null: none. */
KV_EXPORT void kv_slowdisc_reader_stop(const void* stop)
{
    readerStop_ = (const int32_t*)stop;
}
/* Logs an event of the calling thread's turn (kind as in the log) with its priority. */
static void LogTurn(int kind, int priority)
{
    const long now = atomic_fetch_add(&order_, 1);
    const int thread = (int)syscall(SYS_gettid);
    struct kv_slowdisc_entry entry = {now, now, 0, thread, thread == getpid(), priority, kind, 0, 0, 0, 0};
    Log(entry);
}

/* Whom the calling thread's reads serve from now on: 0 the screen, 1 the background, -1
 * done. Logged when told: a turn asked for is the moment its reads were wanted. */
KV_EXPORT void kv_slowdisc_reader_priority(int priority)
{
    LogTurn(priority >= 0 ? 1 : 2, priority >= 0 ? priority : readerPriority_);
    readerPriority_ = priority;
}

/* What the program's medium decided for the calling thread, told under the program's own
 * lock so the log has it in the program's order: 0 left the head, 1 took or kept it, 2 waits
 * for it. Why a wait goes on (3 and up) is told at each look, and is not logged. */
KV_EXPORT void kv_slowdisc_medium_turn(int state)
{
    if (state <= 2) {
        LogTurn(3 + state, readerPriority_);
    }
}

/* ---- The wrappers. */

KV_EXPORT ssize_t read(int fd, void* buffer, size_t length)
{
    RESOLVE(read);
    const int64_t readable = CostOfRead(fd, -1, length);
    return readable < 0 ? -1 : real_read(fd, buffer, (size_t)readable);
}

KV_EXPORT ssize_t __read_chk(int fd, void* buffer, size_t length, size_t size)
{
    (void)size;
    return read(fd, buffer, length);
}

KV_EXPORT ssize_t pread(int fd, void* buffer, size_t length, off_t offset)
{
    RESOLVE(pread);
    const int64_t readable = CostOfRead(fd, (int64_t)offset, length);
    return readable < 0 ? -1 : real_pread(fd, buffer, (size_t)readable, offset);
}

KV_EXPORT ssize_t pread64(int fd, void* buffer, size_t length, off64_t offset)
{
    RESOLVE(pread64);
    const int64_t readable = CostOfRead(fd, (int64_t)offset, length);
    return readable < 0 ? -1 : real_pread64(fd, buffer, (size_t)readable, offset);
}

KV_EXPORT ssize_t __pread_chk(int fd, void* buffer, size_t length, off_t offset, size_t size)
{
    (void)size;
    return pread(fd, buffer, length, offset);
}

KV_EXPORT ssize_t __pread64_chk(int fd, void* buffer, size_t length, off64_t offset, size_t size)
{
    (void)size;
    return pread64(fd, buffer, length, offset);
}

KV_EXPORT ssize_t readv(int fd, const struct iovec* vector, int count)
{
    RESOLVE(readv);
    CostOfVector(fd, vector, count, -1);
    return real_readv(fd, vector, count);
}

KV_EXPORT ssize_t preadv(int fd, const struct iovec* vector, int count, off_t offset)
{
    RESOLVE(preadv);
    CostOfVector(fd, vector, count, offset);
    return real_preadv(fd, vector, count, offset);
}

KV_EXPORT ssize_t preadv64(int fd, const struct iovec* vector, int count, off64_t offset)
{
    RESOLVE(preadv64);
    CostOfVector(fd, vector, count, offset);
    return real_preadv64(fd, vector, count, offset);
}

/* A stream read of the medium holds the stream's lock from before its cost to after the real
 * read, as the C library holds it over a read of the kernel; the lock is recursive, so the
 * real read takes it again. */
static int BeginStreamRead(FILE* stream)
{
    const int fd = stream != NULL ? fileno(stream) : -1;
    const uint32_t fileId = FileOf(fd);
    if (fileId == 0) {
        return 0;
    }
    flockfile(stream);
    atomic_fetch_add(&streamReadsUnderWay_, 1);
    MarkIfNamed(fileId, markName_, markPath_);
    return 1;
}

static void EndStreamRead(FILE* stream, int begun)
{
    if (begun) {
        atomic_fetch_sub(&streamReadsUnderWay_, 1);
        funlockfile(stream);
    }
}

/* The C library's own streams read through calls of its own that a preload cannot reach. */
KV_EXPORT size_t fread(void* buffer, size_t size, size_t count, FILE* stream)
{
    RESOLVE(fread);
    const int begun = BeginStreamRead(stream);
    count = CostOfStream(stream, size, count);
    const size_t got = count == 0 ? 0 : real_fread(buffer, size, count, stream);
    EndStreamRead(stream, begun);
    return got;
}

KV_EXPORT size_t fread_unlocked(void* buffer, size_t size, size_t count, FILE* stream)
{
    RESOLVE(fread_unlocked);
    const int begun = BeginStreamRead(stream);
    count = CostOfStream(stream, size, count);
    const size_t got = count == 0 ? 0 : real_fread_unlocked(buffer, size, count, stream);
    EndStreamRead(stream, begun);
    return got;
}

KV_EXPORT size_t __fread_chk(void* buffer, size_t bufferSize, size_t size, size_t count, FILE* stream)
{
    (void)bufferSize;
    return fread(buffer, size, count, stream);
}

KV_EXPORT size_t __fread_unlocked_chk(void* buffer, size_t bufferSize, size_t size, size_t count, FILE* stream)
{
    (void)bufferSize;
    return fread_unlocked(buffer, size, count, stream);
}

/* The mode argument is there only when the flags ask for it. */
#define MODE_OF(flags)                                                                                                 \
    mode_t mode = 0;                                                                                                   \
    if ((flags)&O_CREAT || ((flags)&O_TMPFILE) == O_TMPFILE) {                                                         \
        va_list list;                                                                                                  \
        va_start(list, flags);                                                                                         \
        mode = va_arg(list, mode_t);                                                                                   \
        va_end(list);                                                                                                  \
    }

KV_EXPORT int open(const char* path, int flags, ...)
{
    RESOLVE(open);
    MODE_OF(flags);
    const int fd = real_open(path, flags, mode);
    Track(fd);
    return fd;
}

KV_EXPORT int open64(const char* path, int flags, ...)
{
    RESOLVE(open64);
    MODE_OF(flags);
    const int fd = real_open64(path, flags, mode);
    Track(fd);
    return fd;
}

KV_EXPORT int openat(int folder, const char* path, int flags, ...)
{
    RESOLVE(openat);
    MODE_OF(flags);
    const int fd = real_openat(folder, path, flags, mode);
    Track(fd);
    return fd;
}

KV_EXPORT int openat64(int folder, const char* path, int flags, ...)
{
    RESOLVE(openat64);
    MODE_OF(flags);
    const int fd = real_openat64(folder, path, flags, mode);
    Track(fd);
    return fd;
}

KV_EXPORT int __open_2(const char* path, int flags)
{
    return open(path, flags);
}
KV_EXPORT int __open64_2(const char* path, int flags)
{
    return open64(path, flags);
}
KV_EXPORT int __openat_2(int folder, const char* path, int flags)
{
    return openat(folder, path, flags);
}
KV_EXPORT int __openat64_2(int folder, const char* path, int flags)
{
    return openat64(folder, path, flags);
}

KV_EXPORT FILE* fopen(const char* path, const char* mode)
{
    RESOLVE(fopen);
    FILE* stream = real_fopen(path, mode);
    if (stream != NULL) {
        Track(fileno(stream));
    }
    return stream;
}

KV_EXPORT FILE* fopen64(const char* path, const char* mode)
{
    RESOLVE(fopen64);
    FILE* stream = real_fopen64(path, mode);
    if (stream != NULL) {
        Track(fileno(stream));
    }
    return stream;
}

KV_EXPORT FILE* fdopen(int fd, const char* mode)
{
    RESOLVE(fdopen);
    FILE* stream = real_fdopen(fd, mode);
    if (stream != NULL) {
        Track(fd);
    }
    return stream;
}

KV_EXPORT int close(int fd)
{
    RESOLVE(close);
    Forget(fd);
    return real_close(fd);
}

/* [offset, offset + length) of fd's file (length 0: to its end) read ahead: the head takes it
 * after what was asked before, and the caller goes on at once. */
static void ReadAhead(int fd, int64_t offset, int64_t length)
{
    const uint32_t fileId = FileOf(fd);
    if (fileId == 0 || offset < 0 || length < 0) {
        return;
    }
    const int thread = (int)syscall(SYS_gettid);
    struct kv_slowdisc_entry entry = {0,      0, (int)fileId, thread, thread == getpid(), readerPriority_, 0,
                                      offset, 0, 0,           1};
    pthread_mutex_lock(&head_);
    const int64_t size = SizeNow(&files_[fileId - 1]);
    const int64_t to = length == 0 || offset + length > size ? size : offset + length;
    if (offset >= to) {
        pthread_mutex_unlock(&head_);
        return;
    }
    const long long now = NowNs();
    long long startNs = headFreeNs_ > now ? headFreeNs_ : now;
    const int64_t missing = Cache(fileId, offset, to, size);
    if (missing > 0) {
        startNs += Sequential(fileId, offset) ? 0 : (long long)seekMs_ * 1000000LL;
        atomic_fetch_add(&bytes_, missing);
        aheads_[aheadNext_] = (struct Ahead){fileId, offset, to, startNs};
        aheadNext_ = (aheadNext_ + 1) % kAheads;
        headFreeNs_ = startNs + (long long)((double)missing * 1e9 / rate_);
        atomic_store(&busyUntil_, headFreeNs_);
        headFile_ = fileId;
        headEnd_ = to;
    }
    entry.start = atomic_fetch_add(&order_, 1);
    pthread_mutex_unlock(&head_);
    entry.end = atomic_fetch_add(&order_, 1);
    entry.length = to - offset;
    entry.driveBytes = missing;
    Log(entry);
}

/* The advice that sets the read-ahead stays with the descriptor; a range asked for is read
 * ahead; the others change nothing. */
static void Advise(int fd, off64_t offset, off64_t length, int advice, int result)
{
    if (result != 0 || fd < 0 || fd >= kMaxFds) {
        return;
    }
    if (advice == POSIX_FADV_NORMAL || advice == POSIX_FADV_RANDOM || advice == POSIX_FADV_SEQUENTIAL) {
        atomic_store(&fdAdvice_[fd], advice);
    } else if (advice == POSIX_FADV_WILLNEED) {
        ReadAhead(fd, (int64_t)offset, (int64_t)length);
    }
}

KV_EXPORT int posix_fadvise(int fd, off_t offset, off_t length, int advice)
{
    RESOLVE(posix_fadvise);
    const int result = real_posix_fadvise(fd, offset, length, advice);
    Advise(fd, offset, length, advice, result);
    return result;
}

KV_EXPORT int posix_fadvise64(int fd, off64_t offset, off64_t length, int advice)
{
    RESOLVE(posix_fadvise64);
    const int result = real_posix_fadvise64(fd, offset, length, advice);
    Advise(fd, offset, length, advice, result);
    return result;
}

/* A process that ends at once still leaves its counts. */
KV_EXPORT void _exit(int status)
{
    static void (*real__exit)(int) __attribute__((noreturn));
    RESOLVE(_exit);
    WriteReport();
    real__exit(status);
}

KV_EXPORT int fclose(FILE* stream)
{
    RESOLVE(fclose);
    if (stream != NULL) {
        Forget(fileno(stream));
    }
    return real_fclose(stream);
}
