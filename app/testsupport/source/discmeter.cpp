#include "testsupport/discmeter.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

// The sanitizers' allocators keep freed memory in quarantine; this drains it where present.
extern "C" void __sanitizer_purge_allocator() __attribute__((weak));

namespace {

// The number of a "Name:  number" line of /proc/self/status; 0 when missing.
uint64_t StatusNumber(const char* name)
{
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(name) + ':';
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::stoull(line.substr(prefix.size()));
        }
    }
    return 0;
}

}   // namespace

GuiStallMeter::GuiStallMeter()
{
    clock_.start();
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
        const qint64 now = clock_.elapsed();
        if (now - last_ > longest_) {
            longest_ = now - last_;
        }
        last_ = now;
    });
    timer_.start();
}

qint64 GuiStallMeter::LongestMs()
{
    QCoreApplication::processEvents();
    const qint64 open = clock_.elapsed() - last_;
    return open > longest_ ? open : longest_;
}

void HoldQtPoolThreads()
{
    QThreadPool* pool = QThreadPool::globalInstance();
    // Read by each thread as it next waits for work: the tasks below wake every one.
    pool->setExpiryTimeout(-1);
    const int threads = pool->maxThreadCount();
    std::atomic<int> started{0};
    std::atomic<int> ended{0};
    for (int k = 0; k < threads; ++k) {
        pool->start([&] {
            ++started;
            while (started.load() < threads) {
                std::this_thread::yield();
            }
            ++ended;
        });
    }
    // Not waitForDone: that ends the pool's threads.
    while (ended.load() < threads) {
        std::this_thread::yield();
    }
}

int ProcessThreadCount()
{
    return int(StatusNumber("Threads"));
}

uint64_t ProcessBytesRead()
{
    std::ifstream io("/proc/self/io");
    std::string name;
    uint64_t bytes = 0;
    while (io >> name >> bytes) {
        if (name == "rchar:") {
            return bytes;
        }
    }
    return 0;
}

uint64_t ResidentBytes()
{
    return StatusNumber("VmRSS") * 1024;
}

uint64_t PeakResidentBytes()
{
    // The kernel's mark, which a reset lowers; the usage figure keeps the peak of every
    // thread that ended.
    if (const uint64_t peakKb = StatusNumber("VmHWM")) {
        return peakKb * 1024;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return uint64_t(usage.ru_maxrss) * 1024;
}

void ResetPeakResidentBytes()
{
    if (__sanitizer_purge_allocator != nullptr) {
        __sanitizer_purge_allocator();
    }
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}
