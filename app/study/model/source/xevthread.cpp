#include "study/xevthread.h"

#include <algorithm>
#include <mutex>

namespace {
std::atomic<XEVJoinObserver> joinObserver{nullptr};
}   // namespace

void XEVSetJoinObserver(XEVJoinObserver observer)
{
    joinObserver = observer;
}

XEVThread::~XEVThread()
{
    WaitAll();
}

bool XEVThread::Start(std::function<void()> body, PlatThreadPriority priority)
{
    // Started under the list's lock, so that a WaitAll racing with the start waits for it.
    std::lock_guard<std::mutex> guard(mutex_);
    std::shared_ptr<const XEVThreadEnd> end = XEVStartCounted(std::move(body), priority);
    if (!end) {
        return false;
    }
    threads_.push_back({std::move(end), runStop_});
    return true;
}

void XEVThread::WaitGate()
{
    gate_.Wait();
}

bool XEVThread::WaitGate(uint32_t timeoutMs)
{
    return gate_.Wait(timeoutMs);
}

void XEVThread::SetGate()
{
    gate_.Set();
}

void XEVThread::ResetGate()
{
    gate_.Reset();
}

void XEVThread::WaitAll()
{
    std::vector<Entry> joining;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        joining.swap(threads_);
    }
    // A thread parked at the gate would never see its stop flag.
    gate_.Set();
    for (auto& entry : joining) {
        if (!entry.end->Ended()) {
            if (XEVJoinObserver observer = joinObserver.load()) {
                observer();
            }
        }
        (void)entry.end->Wait();
    }
    gate_.Set();
}

bool XEVThread::IsEmpty() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return threads_.empty();
}

size_t XEVThread::Count() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return threads_.size();
}

std::shared_ptr<const std::atomic<int32_t>> XEVThread::RunStop()
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (!runStop_) {
        runStop_ = std::make_shared<std::atomic<int32_t>>(0);
    }
    return runStop_;
}

void XEVThread::Release()
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (runStop_) {
            runStop_->store(1);
            // The next start is a new run.
            runStop_.reset();
        }
    }
    // A thread parked at the gate sees its stop once it opens.
    gate_.Set();
    ReapEnded();
}

void XEVThread::LetGo()
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        threads_.clear();
    }
    gate_.Set();
}

void XEVThread::JoinWhere(const std::function<bool(const Entry&)>& chosen)
{
    std::vector<Entry> taken;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto it = threads_.begin(); it != threads_.end();) {
            if (chosen(*it)) {
                taken.push_back(std::move(*it));
                it = threads_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& entry : taken) {
        (void)entry.end->Wait();
    }
}

void XEVThread::ReapEnded()
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::erase_if(threads_, [](const Entry& entry) { return entry.end->Ended(); });
}

void XEVThread::JoinRun()
{
    std::shared_ptr<std::atomic<int32_t>> run;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        run = runStop_;
    }
    if (run) {
        JoinWhere([&run](const Entry& entry) { return entry.run == run; });
    }
}

size_t XEVThread::Running() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    size_t running = 0;
    for (const auto& entry : threads_) {
        running += entry.end->Ended() ? 0 : 1;
    }
    return running;
}
