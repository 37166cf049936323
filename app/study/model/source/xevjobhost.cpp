#include "study/xevjobhost.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "shell/xev_utility.h"
#include "shell/xevziparchive.h"
#include "study/xevloadstate.h"
#include "study/xevrecordkeeper.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"

CXEVThreadUI::CXEVThreadUI() : workers_(std::make_unique<XEVThread>()), copier_(std::make_unique<XEVThread>())
{
    setObjectName(QStringLiteral("MTChildWnd"));
    SetHandler(WM_XEV_LOADER_QUEUE, [this](XEVWParam w, XEVLParam l) { return OnQueue(w, l); });
    SetHandler(WM_XEV_LOADER_START, [this](XEVWParam, XEVLParam) { return OnStart(); });
    SetHandler(WM_XEV_LOADER_STOP, [this](XEVWParam w, XEVLParam l) {
        if (w == 0) {
            return OnStop();
        }
        const auto* owners = reinterpret_cast<const std::vector<XEVWindowHandle>*>(l);
        return w == 1 && owners != nullptr ? OnTakeBack(*owners) : XEVResult(0);
    });
    SetHandler(WM_XEV_THREADUI_DESTROY, [this](XEVWParam, XEVLParam) { return OnDestroy(); });
}

CXEVThreadUI::~CXEVThreadUI()
{
    OnStop();
    // A worker let go still takes the lock and the queues on its way out: it holds them.
    workers_->LetGo();
    copier_->LetGo();
}

bool CXEVThreadUI::event(QEvent* event)
{
    if (auto* message = dynamic_cast<XEVMessageEvent*>(event)) {
        // A vector of the sender's is read only while the sender waits.
        const bool vector = message->WParam() == 1 || (message->Id() == WM_XEV_LOADER_QUEUE && message->WParam() == 3);
        if ((message->Id() == WM_XEV_LOADER_QUEUE || message->Id() == WM_XEV_LOADER_STOP) && vector &&
            !message->IsSent()) {
            return true;
        }
        if (message->Id() == WM_XEV_LOADER_QUEUE && message->WParam() == 2) {
            std::unique_ptr<XEVFrameRequest> request(reinterpret_cast<XEVFrameRequest*>(message->LParam()));
            if (request != nullptr && request->image != nullptr) {
                std::lock_guard<PlatRecursiveLock> guard(q_->lock);
                // A cell shows one frame: what it asked for before and has not got is no
                // longer on screen.
                std::erase_if(q_->requests, [&](const XEVFrameRequest& r) { return r.notify == request->notify; });
                // What a user steps to is read before the next frame of a cine.
                auto place = q_->requests.end();
                if (!request->behind) {
                    place = std::find_if(q_->requests.begin(), q_->requests.end(),
                                         [](const XEVFrameRequest& r) { return r.behind; });
                }
                q_->requests.insert(place, *request);
                q_->changed.notify_all();
            }
            return true;
        }
        if (message->Id() == WM_XEV_LOADER_WHEN_IDLE) {
            std::unique_ptr<XEVIdleNotice> notice(reinterpret_cast<XEVIdleNotice*>(message->LParam()));
            if (notice == nullptr) {
                return true;
            }
            {
                std::lock_guard<PlatRecursiveLock> guard(q_->lock);
                if (q_->working) {
                    q_->idleNotices.push_back(*notice);
                    return true;
                }
            }
            PostNotices({*notice});
            return true;
        }
    }
    return XEVMessageReceiver::event(event);
}

XEVResult CXEVThreadUI::OnQueue(XEVWParam wParam, XEVLParam lParam)
{
    std::vector<Job> jobs;
    const auto add = [&jobs](ImageInfo* image) {
        if (image != nullptr) {
            // The job belongs to the window the sender made it report to.
            std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
            jobs.push_back({image, image->notifyWindow});
        }
    };
    if (wParam == 0) {
        add(reinterpret_cast<ImageInfo*>(lParam));
    } else if (wParam == 3) {
        if (const auto* images = reinterpret_cast<const std::vector<ImageInfo*>*>(lParam)) {
            for (ImageInfo* image : *images) {
                add(image);
            }
        }
        std::lock_guard<PlatRecursiveLock> guard(q_->lock);
        // What the screen shows goes first, in the order of its places; an image asked for
        // before, by whichever cell, is read once, for the cell that shows it now.
        const auto asked = [&jobs](const Job& job) {
            return std::any_of(jobs.begin(), jobs.end(), [&job](const Job& mine) { return mine.image == job.image; });
        };
        std::erase_if(q_->pending, asked);
        std::erase_if(q_->running, asked);
        std::erase_if(jobs, [this](const Job& job) { return q_->working && job.image == q_->currentImage; });
        q_->running.insert(q_->running.begin(), jobs.begin(), jobs.end());
        q_->changed.notify_all();
        return XEVResult(jobs.size());
    } else if (wParam == 1) {
        if (const auto* images = reinterpret_cast<const std::vector<ImageInfo*>*>(lParam)) {
            for (ImageInfo* image : *images) {
                add(image);
            }
        }
    }
    std::lock_guard<PlatRecursiveLock> guard(q_->lock);
    q_->pending.insert(q_->pending.end(), jobs.begin(), jobs.end());
    return 0;
}

XEVResult CXEVThreadUI::OnTakeBack(const std::vector<XEVWindowHandle>& owners)
{
    const auto owned = [&owners](const XEVWindowHandle& owner) {
        return !owner.IsNull() && std::find(owners.begin(), owners.end(), owner) != owners.end();
    };
    std::vector<XEVIdleNotice> notices;
    size_t taken = 0;
    {
        std::lock_guard<PlatRecursiveLock> guard(q_->lock);
        const auto mine = [&owned](const Job& job) { return owned(job.owner); };
        taken += std::erase_if(q_->pending, mine) + std::erase_if(q_->running, mine);
        taken += std::erase_if(q_->requests, [&owned](const XEVFrameRequest& r) { return owned(r.notify); });
        taken += std::erase_if(
            q_->aside, [&owned](const Queues::Aside& a) { return owned(a.request ? a.frame.notify : a.job.owner); });
        // The copy was for those windows alone: it ends after its block, leaving nothing.
        if (q_->aside.empty() && (q_->copying || q_->copyWanted)) {
            copier_->Release();
            q_->copying = false;
            q_->copyWanted = false;
        }
        q_->changed.notify_all();
        if (q_->working && owned(q_->current)) {
            // The job under way is for a window that has gone from the screen: its worker is
            // let go, ending after its block, and a new one takes the rest of the queue.
            ++taken;
            workers_->Release();
            q_->current = XEVWindowHandle();
            q_->currentImage = nullptr;
            q_->working = false;
            if (q_->running.empty() && q_->pending.empty() && q_->requests.empty()) {
                notices = BecomeIdle(*q_);
            } else {
                OnStart();
            }
        }
    }
    PostNotices(notices);
    return XEVResult(taken);
}

XEVResult CXEVThreadUI::OnStart()
{
    StartCopier();
    std::lock_guard<PlatRecursiveLock> guard(q_->lock);
    q_->running.insert(q_->running.end(), q_->pending.begin(), q_->pending.end());
    q_->pending.clear();
    q_->changed.notify_all();
    // A worker at work takes the new jobs too: however often the grid starts, one thread.
    if ((q_->running.empty() && q_->requests.empty()) || q_->working) {
        return 0;
    }
    // Workers that have ended only wait to be joined; one let go by a stop is left to end.
    workers_->ReapEnded();
    q_->working = true;
    // Its hold is taken before the GUI thread can let the queued jobs' records go: their stop
    // comes after this start. Jobs queued later are newer records, which the hold keeps too.
    // A refused thread leaves the jobs queued for the next start.
    if (!workers_->Start([stop = workers_->RunStop(), hold = XEVHoldRecords(), queues = q_]() mutable {
            const auto held = std::move(hold);
            WorkerProc(*queues, *stop);
        })) {
        q_->working = false;
    }
    return 0;
}

XEVResult CXEVThreadUI::OnStop()
{
    // The worker under way is let go, not waited for: it ends after its block, and a start
    // after this begins a new one.
    std::vector<XEVIdleNotice> notices;
    {
        std::lock_guard<PlatRecursiveLock> guard(q_->lock);
        workers_->Release();
        copier_->Release();
        q_->current = XEVWindowHandle();
        q_->currentImage = nullptr;
        q_->running.clear();
        q_->pending.clear();
        q_->requests.clear();
        q_->aside.clear();
        q_->copied.clear();
        q_->copyWanted = false;
        q_->copying = false;
        q_->changed.notify_all();
        notices = BecomeIdle(*q_);
    }
    // Nothing is left to wait for.
    PostNotices(notices);
    return 0;
}

std::vector<XEVIdleNotice> CXEVThreadUI::BecomeIdle(Queues& q)
{
    q.working = false;
    return std::exchange(q.idleNotices, {});
}

void CXEVThreadUI::PostNotices(const std::vector<XEVIdleNotice>& notices)
{
    for (const XEVIdleNotice& notice : notices) {
        XEVPostMessage(notice.notify, notice.id, notice.wParam);
    }
}

bool XEVNotifyWhenIdle(const XEVWindowHandle& loaderWindow, const XEVIdleNotice& notice)
{
    auto* owned = new XEVIdleNotice(notice);
    if (!XEVPostMessage(loaderWindow, WM_XEV_LOADER_WHEN_IDLE, 0, reinterpret_cast<XEVLParam>(owned))) {
        delete owned;
        return false;
    }
    return true;
}

XEVResult CXEVThreadUI::OnDestroy()
{
    OnStop();
    // The window is the host thread's main window: its end ends the thread's loop.
    if (QThread* thread = QThread::currentThread()) {
        thread->quit();
    }
    return 0;
}

namespace {

// A member of the imported archive that takes this long to write out holds whatever the
// worker has queued behind it for as long: a few seconds on a slow drive.
constexpr uint64_t kLongCopy = uint64_t(4) << 20;
// How far into each queue the worker looks for work that needs no such copy.
constexpr size_t kLookAhead = 16;

// The image's file is a member of the imported archive not written out yet, and a long copy;
// its path then in path.
bool NeedsLongCopy(ImageInfo* image, std::string* path = nullptr)
{
    const XEVLoadState& state = GetLoadState();
    if (image == nullptr || state.GetZipPath().empty()) {
        return false;
    }
    QString filePath;
    {
        std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
        filePath = image->filePath;
    }
    const std::string native = XEVNativePath(filePath);
    struct stat st {};
    uint64_t size = 0;
    const bool longCopy = ::stat(native.c_str(), &st) != 0 &&
                          ZipMemberSize(state.GetZipPath(), state.GetExtractFolder(), native, size) == kZipOk &&
                          size > kLongCopy;
    if (longCopy && path != nullptr) {
        *path = native;
    }
    return longCopy;
}

}   // namespace

CXEVThreadUI::Next CXEVThreadUI::ChooseNext(Queues& q, std::unique_lock<PlatRecursiveLock>& lock)
{
    // What a cell shows and lacks goes before the queue behind the page.
    Next next;
    next.request = !q.requests.empty();
    if (GetLoadState().GetZipPath().empty()) {
        return next;
    }
    ImageInfo* first = next.request ? q.requests.front().image : q.running.front().image;
    std::vector<ImageInfo*> requests;
    std::vector<ImageInfo*> jobs;
    for (size_t i = 0; i < q.requests.size() && i < kLookAhead; ++i) {
        requests.push_back(q.requests[i].image);
    }
    for (size_t i = 0; i < q.running.size() && i < kLookAhead; ++i) {
        // Only a job a cell shows goes before a request.
        jobs.push_back(q.running[i].owner.IsNull() ? nullptr : q.running[i].image);
    }
    // The archive's index and the folder are asked with the lock let go: the GUI thread may be
    // waiting for it.
    lock.unlock();
    ImageInfo* shortRequest = nullptr;
    ImageInfo* shortJob = nullptr;
    std::string path;
    const bool firstLong = NeedsLongCopy(first, &path);
    if (firstLong) {
        for (ImageInfo* image : requests) {
            if (image != nullptr && !NeedsLongCopy(image)) {
                shortRequest = image;
                break;
            }
        }
        for (size_t i = 0; shortRequest == nullptr && shortJob == nullptr && i < jobs.size(); ++i) {
            if (jobs[i] != nullptr && !NeedsLongCopy(jobs[i])) {
                shortJob = jobs[i];
            }
        }
    }
    lock.lock();
    // Moved to the front when still queued; else the queues as they are now.
    if (shortRequest != nullptr) {
        const auto it = std::find_if(q.requests.begin(), q.requests.end(),
                                     [&](const XEVFrameRequest& r) { return r.image == shortRequest; });
        if (it != q.requests.end()) {
            std::rotate(q.requests.begin(), it, it + 1);
            return {true, false, {}};
        }
    }
    if (shortJob != nullptr) {
        const auto it = std::find_if(q.running.begin(), q.running.end(),
                                     [&](const Job& job) { return job.image == shortJob && !job.owner.IsNull(); });
        if (it != q.running.end()) {
            std::rotate(q.running.begin(), it, it + 1);
            return {false, false, {}};
        }
    }
    next.request = !q.requests.empty();
    const ImageInfo* now =
        next.request ? q.requests.front().image : (q.running.empty() ? nullptr : q.running.front().image);
    next.longCopy = firstLong && now == first;
    next.path = next.longCopy ? path : std::string();
    return next;
}

void CXEVThreadUI::TakeBackAside(Queues& q)
{
    for (auto it = q.aside.rbegin(); it != q.aside.rend(); ++it) {
        if (it->request) {
            q.requests.push_front(it->frame);
            q.copied.insert(it->frame.image);
        } else {
            q.running.push_front(it->job);
            q.copied.insert(it->job.image);
        }
    }
    q.aside.clear();
    q.copying = false;
    q.changed.notify_all();
}

void CXEVThreadUI::StartCopier()
{
    std::lock_guard<PlatRecursiveLock> guard(q_->lock);
    if (!q_->copyWanted || q_->copying) {
        return;
    }
    copier_->ReapEnded();
    q_->copyWanted = false;
    q_->copying = true;
    const bool started = copier_->Start([stop = copier_->RunStop(), hold = XEVHoldRecords(), queues = q_,
                                         path = q_->copyPath, priority = q_->copyPriority]() mutable {
        const auto held = std::move(hold);
        XEVExtractInTurn(path, priority, stop.get());
        {
            std::lock_guard<PlatRecursiveLock> guard(queues->lock);
            // Stopped: the queues are the next run's, and what was set aside went with them.
            if (stop->load() != 0) {
                return;
            }
            // Whether written or not, the worker runs them now: it reports on them.
            TakeBackAside(*queues);
        }
        XEVPostMessage(GetLoadState().GetLoaderWindow(), WM_XEV_LOADER_START);
    });
    if (!started) {
        // No thread: the worker makes the copy itself.
        TakeBackAside(*q_);
    }
}

void CXEVThreadUI::WorkerProc(Queues& q, const std::atomic<int32_t>& stop)
{
    // A job for the screen claims the next read from its start on: on a loaded machine its
    // decode and the next job's start outlast the background's grace after each read.
    struct ScreenClaim {
        ~ScreenClaim() { XEVClaimScreenTurns(false); }
    } const claim;
    std::unique_lock<PlatRecursiveLock> lock(q.lock);
    while ((!q.running.empty() || !q.requests.empty() || !q.aside.empty()) && stop.load() == 0) {
        if (q.running.empty() && q.requests.empty()) {
            XEVClaimScreenTurns(false);
            // Only what waits for the copier: the worker stays, for what the screen asks next,
            // until the copier gives back what waits for it, more comes or its stop does.
            q.changed.wait(lock, [&q, &stop] {
                return !q.running.empty() || !q.requests.empty() || q.aside.empty() || stop.load() != 0;
            });
            continue;
        }
        const Next next = ChooseNext(q, lock);
        if (stop.load() != 0 || (q.running.empty() && q.requests.empty())) {
            continue;
        }
        const ImageInfo* image = next.request ? q.requests.front().image : q.running.front().image;
        const bool copier = q.aside.empty() && !q.copying && !q.copyWanted;
        if (next.longCopy && q.copied.count(image) == 0 && (copier || (!q.aside.empty() && next.path == q.copyPath))) {
            // The copier writes it out meanwhile (another entry of the file waits with it); the
            // worker goes on with the rest.
            Queues::Aside aside;
            aside.request = next.request;
            if (next.request) {
                aside.frame = q.requests.front();
                q.requests.pop_front();
            } else {
                aside.job = q.running.front();
                q.running.pop_front();
            }
            const bool screen = next.request || !aside.job.owner.IsNull();
            q.aside.push_back(aside);
            if (!copier) {
                continue;
            }
            q.copyPath = next.path;
            q.copyPriority = screen ? XEVReadPriority::OnScreen : XEVReadPriority::Background;
            q.copyWanted = true;
            lock.unlock();
            XEVPostMessage(GetLoadState().GetLoaderWindow(), WM_XEV_LOADER_START);
            lock.lock();
            continue;
        }
        if (next.request) {
            const XEVFrameRequest request = q.requests.front();
            q.requests.pop_front();
            q.current = request.notify;
            lock.unlock();
            XEVClaimScreenTurns(true);
            RunFrameRequest(request, &stop);
        } else {
            const Job job = q.running.front();
            q.running.pop_front();
            q.current = job.owner;
            q.currentImage = job.image;
            lock.unlock();
            XEVClaimScreenTurns(!job.owner.IsNull());
            RunImageJob(job.image, &stop);
        }
        lock.lock();
        // Let go meanwhile: what the queues say now is the next worker's.
        if (stop.load() != 0) {
            return;
        }
        q.current = XEVWindowHandle();
        q.currentImage = nullptr;
    }
    // Under the lock that saw the queue empty: a start after this begins a new worker. One
    // let go by a stop leaves the state to the worker after it.
    if (stop.load() != 0) {
        return;
    }
    const std::vector<XEVIdleNotice> notices = BecomeIdle(q);
    lock.unlock();
    PostNotices(notices);
}

void CXEVThreadUI::RunFrameRequest(const XEVFrameRequest& request, const std::atomic<int32_t>* stop)
{
    int32_t frame = request.frame;
    request.image->LoadImage(frame, XEVWindowHandle(), request.forced, stop);
    if (stop == nullptr || stop->load() == 0) {
        XEVPostMessage(request.notify, WM_XEV_IMAGE_LOADED, reinterpret_cast<XEVWParam>(request.image),
                       XEVRequestedFrameNotice(request.frame));
    }
}

bool XEVRequestFrame(ImageInfo* image, int32_t frame, const XEVWindowHandle& notify, int32_t forced, bool behind)
{
    const XEVWindowHandle loaderWindow = GetLoadState().GetLoaderWindow();
    if (image == nullptr || loaderWindow.IsNull()) {
        return false;
    }
    auto* request = new XEVFrameRequest{image, frame, notify, forced, behind};
    XEVPostMessage(loaderWindow, WM_XEV_LOADER_QUEUE, 2, reinterpret_cast<XEVLParam>(request));
    XEVPostMessage(loaderWindow, WM_XEV_LOADER_START);
    return true;
}

void CXEVThreadUI::RunImageJob(ImageInfo* job, const std::atomic<int32_t>* stop)
{
    if (job == nullptr) {
        return;
    }
    int32_t frame = 0;
    if (GetLoadState().perFrameEntries.load() == 1) {
        frame = job->startFrame;
        if (frame == -1) {
            return;
        }
    }
    for (;;) {
        XEVWindowHandle notify;
        int32_t forced = 0;
        {
            std::lock_guard<PlatRecursiveLock> guard(job->GetLock());
            notify = job->notifyWindow;
            forced = job->forced;
        }
        // Jobs that report to no cell fill the series behind the page, within the decoded
        // images' budget: past it the page decodes as it comes.
        const XEVReadPriority priority = notify.IsNull() ? XEVReadPriority::Background : XEVReadPriority::OnScreen;
        if (priority == XEVReadPriority::Background && !XEVRoomForBackgroundDecode()) {
            return;
        }
        if (job->LoadImage(frame, notify, forced, stop, priority) == 0) {
            return;
        }
        std::lock_guard<PlatRecursiveLock> guard(job->GetLock());
        if (forced != 0) {
            job->forced = 0;
            return;
        }
        const XEVVEKHelper* helper = job->GetHelper();
        if (helper != nullptr && helper->frameCount > 1) {
            return;
        }
        if (frame == -1) {
            return;
        }
        std::this_thread::yield();
    }
}

CXEVFileLoadCtrlThread::~CXEVFileLoadCtrlThread()
{
    Shutdown();
}

bool CXEVFileLoadCtrlThread::Start()
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (started_) {
            return true;
        }
    }
    start();
    if (!isRunning() && !isFinished()) {
        return false;
    }
    ready_.Wait();
    std::lock_guard<std::mutex> guard(mutex_);
    started_ = true;
    return true;
}

void CXEVFileLoadCtrlThread::Shutdown()
{
    XEVWindowHandle window;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!started_) {
            return;
        }
        started_ = false;
        window = window_;
    }
    XEVSendMessage(window, WM_XEV_THREADUI_DESTROY);
    XEVLoaderEndedEvent().Wait();
    // The event only says the window is gone; the thread itself is joined too.
    wait();
}

XEVWindowHandle CXEVFileLoadCtrlThread::Window() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return window_;
}

void CXEVFileLoadCtrlThread::run()
{
    auto* window = new CXEVThreadUI;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        window_ = window->Handle();
    }
    GetLoadState().SetLoaderWindow(window->Handle());
    ready_.Set();
    exec();
    delete window;
    XEVLoaderEndedEvent().Set();
}

PlatEvent& XEVLoaderEndedEvent()
{
    static PlatEvent& ended = *new PlatEvent(false, false);
    return ended;
}
