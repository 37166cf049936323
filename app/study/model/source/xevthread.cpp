#include "study/xevthread.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
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
    auto thread = std::make_unique<PlatThread>();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    if (!thread->Create(
            [body = std::move(body), ended] {
                body();
                ended->store(true);
            },
            priority)) {
        return false;
    }
    // Added before it runs and resumed under the list's lock, so that a WaitAll racing with
    // the start joins a running thread rather than one it would cancel.
    std::lock_guard<std::mutex> guard(mutex_);
    threads_.push_back({std::move(thread), std::move(ended), runStop_});
    threads_.back().thread->Resume();
    return true;
}

void XEVThread::Add(std::unique_ptr<PlatThread> thread)
{
    if (!thread) {
        return;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    threads_.push_back({std::move(thread), nullptr, nullptr});
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
        if (!(entry.ended && entry.ended->load())) {
            if (XEVJoinObserver observer = joinObserver.load()) {
                observer();
            }
        }
        entry.thread->Join();
        entry.thread.reset();
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

namespace {

// The threads let go, never joined; kept so that their handles are never destroyed.
struct LetGoList {
    std::mutex mutex;
    std::vector<std::unique_ptr<PlatThread>> threads;
    std::vector<std::shared_ptr<std::atomic<bool>>> ended;
};

LetGoList& TheLetGoList()
{
    static LetGoList* const list = new LetGoList;
    return *list;
}

}   // namespace

namespace {

// Joins those let go that have ended; the count of the rest. Under the list's lock.
size_t JoinEndedLetGo(LetGoList& list)
{
    for (size_t k = list.ended.size(); k-- > 0;) {
        if (list.ended[k]->load()) {
            list.threads[k]->Join();
            list.threads.erase(list.threads.begin() + std::ptrdiff_t(k));
            list.ended.erase(list.ended.begin() + std::ptrdiff_t(k));
        }
    }
    return list.ended.size();
}

}   // namespace

void XEVThread::LetGo()
{
    ReapEnded();
    std::vector<Entry> kept;
    std::vector<Entry> going;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto& entry : threads_) {
            (entry.ended ? going : kept).push_back(std::move(entry));
        }
        threads_ = std::move(kept);
    }
    gate_.Set();
    // A process that ends normally first waits for them: the statics they use go after. (The
    // program ends at its exit deadline instead when they take too long.)
    static std::once_flag atExit;
    std::call_once(atExit, [] {
        std::atexit([] {
            LetGoList& list = TheLetGoList();
            std::lock_guard<std::mutex> guard(list.mutex);
            for (auto& thread : list.threads) {
                thread->Join();
            }
            list.threads.clear();
            list.ended.clear();
        });
    });
    LetGoList& list = TheLetGoList();
    std::lock_guard<std::mutex> guard(list.mutex);
    (void)JoinEndedLetGo(list);
    for (auto& entry : going) {
        list.threads.push_back(std::move(entry.thread));
        list.ended.push_back(std::move(entry.ended));
    }
}

size_t XEVThread::ReapLetGo()
{
    LetGoList& list = TheLetGoList();
    std::lock_guard<std::mutex> guard(list.mutex);
    return JoinEndedLetGo(list);
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
        entry.thread->Join();
    }
}

void XEVThread::ReapEnded()
{
    // Their bodies have returned: each join only collects the thread.
    JoinWhere([](const Entry& entry) { return entry.ended && entry.ended->load(); });
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
        running += entry.ended && entry.ended->load() ? 0 : 1;
    }
    return running;
}
