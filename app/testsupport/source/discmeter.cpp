#include "testsupport/discmeter.h"

#include <QCoreApplication>

#include <malloc.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

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

int ProcessThreadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return 0;
}

uint64_t PeakResidentBytes()
{
    // The kernel's high-water mark, which ResetPeakResident can lower; rusage's cannot be.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return uint64_t(std::stoull(line.substr(6))) * 1024;
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return uint64_t(usage.ru_maxrss) * 1024;
}

#if defined(__SANITIZE_ADDRESS__)
extern "C" void __sanitizer_purge_allocator();
#endif

void ResetPeakResident()
{
    // What earlier tests freed goes back to the system first, or it would stay resident.
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_purge_allocator();
#endif
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}
