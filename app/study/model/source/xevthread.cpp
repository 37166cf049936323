#include "study/xevthread.h"

XEVThread::~XEVThread()
{
    WaitAll();
}

bool XEVThread::Start(std::function<void()> body, PlatThreadPriority priority)
{
    auto thread = std::make_unique<PlatThread>();
    if (!thread->Create(std::move(body), priority)) {
        return false;
    }
    // Added before it runs and resumed under the list's lock, so that a WaitAll racing with
    // the start joins a running thread rather than one it would cancel.
    std::lock_guard<std::mutex> guard(mutex_);
    threads_.push_back(std::move(thread));
    threads_.back()->Resume();
    return true;
}

void XEVThread::Add(std::unique_ptr<PlatThread> thread)
{
    if (!thread) {
        return;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    threads_.push_back(std::move(thread));
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
    std::vector<std::unique_ptr<PlatThread>> joining;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        joining.swap(threads_);
    }
    // A thread parked at the gate would never see its stop flag.
    gate_.Set();
    for (auto& thread : joining) {
        thread->Join();
        thread.reset();
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
