#include "testsupport/discmeter.h"

#include <QCoreApplication>

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
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return uint64_t(usage.ru_maxrss) * 1024;
}
