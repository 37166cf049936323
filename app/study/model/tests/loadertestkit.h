#pragma once

// What the loader tests share: the application object, a receiver on the main thread that
// records the messages posted to it, and waiting helpers.

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "shell/xevmessage.h"
#include "study/xevstudymodel.h"
#include "testsupport/pump.h"
#include "testsupport/qtguitestapp.h"

// A file of the given size without its blocks: large files to read, cheap to make.
inline bool MakeSparseFile(const QString& path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

// A patient with one study of one series of images on the given files.
inline PatientInfo* PatientOfFiles(const std::vector<QString>& files)
{
    auto* series = new SeriesInfo;
    for (const QString& file : files) {
        auto* image = new ImageInfo;
        image->filePath = file;
        series->images.push_back(image);
    }
    auto* study = new StudyInfo;
    study->series.push_back(series);
    auto* patient = new PatientInfo;
    patient->studies.push_back(study);
    return patient;
}

class MessageRecorder : public XEVMessageReceiver {
public:
    struct Message {
        uint32_t id;
        XEVWParam wParam;
    };

    std::vector<Message> Messages() const
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return messages_;
    }
    size_t Count(uint32_t id) const
    {
        std::lock_guard<std::mutex> guard(mutex_);
        size_t n = 0;
        for (const Message& m : messages_) {
            n += m.id == id ? 1 : 0;
        }
        return n;
    }
    // Runs the queue for a moment so that every post already made has arrived.
    void Drain() const
    {
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

protected:
    XEVResult OnMessage(uint32_t id, XEVWParam wParam, XEVLParam) override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        messages_.push_back({id, wParam});
        return 0;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
};

// A read held as a slow disc would hold it: the first to pass waits until let go. A join, which
// would wait for it for ever, is counted and lets it go.
struct HeldRead {
    std::atomic<bool> holding{false};
    std::atomic<int> reads{0};
    std::atomic<int> joins{0};

    void Arm()
    {
        holding = true;
        reads = 0;
        joins = 0;
    }
    void Pass()
    {
        if (reads.fetch_add(1) == 0) {
            while (holding.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
    void Joined()
    {
        ++joins;
        holding = false;
    }
};
