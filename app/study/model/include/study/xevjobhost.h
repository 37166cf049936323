#pragma once

// The background-job host: a thread running an event loop that owns the "MTChildWnd"
// receiver. The image grid queues ImageInfo jobs to it and starts workers that decode them
// through ImageInfo::LoadImage, which reports each image with WM_XEV_IMAGE_LOADED.

#include <QThread>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/platevent.h"
#include "platform/platlock.h"
#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"
#include "study/xevstagedread.h"
#include "study/xevthread.h"

class ImageInfo;

// The member of the imported archive at narrowPath written out under a turn at the medium of
// that priority, shared with the reads for the screen between its blocks; 0 on success, else
// an archive code (kZipStopped once the stop is set).
int32_t XEVExtractInTurn(const std::string& narrowPath, XEVReadPriority priority, const std::atomic<int32_t>* stop);

// A frame a cell shows and has not decoded: queued with WM_XEV_LOADER_QUEUE, wParam 2 and
// lParam a request made with new (the loader window takes it over), it goes before every
// queued job; a newer request of the same cell replaces one not yet run. Once the frame is
// decoded or has failed, WM_XEV_IMAGE_LOADED goes to notify with lParam
// XEVRequestedFrameNotice(frame asked), odd, which a loader's own notice (0) never is.
struct XEVFrameRequest {
    ImageInfo* image = nullptr;
    int32_t frame = 0;
    XEVWindowHandle notify;
    int32_t forced = 0;    // 1: no memory test first
    bool behind = false;   // waits behind every request that is not: cine's next frame
};
constexpr XEVLParam XEVRequestedFrameNotice(int32_t frame)
{
    return (XEVLParam(frame) + 1) * 2 + 1;
}
constexpr bool XEVIsRequestedFrameNotice(XEVLParam lParam)
{
    return (lParam & 1) != 0;
}
constexpr int32_t XEVRequestedFrameOf(XEVLParam lParam)
{
    return int32_t((lParam - 1) / 2 - 1);
}
// Posts a request to the loader window and starts a worker for it; false without one.
bool XEVRequestFrame(ImageInfo* image, int32_t frame, const XEVWindowHandle& notify, int32_t forced,
                     bool behind = false);

// Posted back to notify, with id and wParam, once the loader window's worker has run every
// job given before the notice, or been stopped; at once when it has none.
struct XEVIdleNotice {
    XEVWindowHandle notify;
    uint32_t id = 0;
    XEVWParam wParam = 0;
};
// Asks the loader window for the notice without waiting for it; false when it cannot be asked.
bool XEVNotifyWhenIdle(const XEVWindowHandle& loaderWindow, const XEVIdleNotice& notice);

// The loader window: the queues and workers, living on the host thread. The queues hold
// jobs owned by the study model; the host never deletes one. Nothing waits for a worker: one
// who must know it has run what it was given asks for an idle notice (XEVNotifyWhenIdle).
// Each job belongs to the window it reports to when queued (its notify window): sent with
// wParam 1 and lParam a std::vector<XEVWindowHandle>* of the sender's, WM_XEV_LOADER_STOP
// takes back only those windows' jobs and requests, the one under way too, and answers how
// many it took back. Sent with wParam 3 and lParam a std::vector<ImageInfo*>* of the sender's,
// WM_XEV_LOADER_QUEUE puts those images' jobs, in that order, before every queued job (each
// reports to its image's notify window), drops the same images' jobs queued before, leaves
// out the image under way, and answers how many it queued; a start runs them.
class CXEVThreadUI : public XEVMessageReceiver {
public:
    CXEVThreadUI();
    // Stops the workers and empties the queues; a worker in the middle of a job is let go,
    // not waited for, and ends after its block.
    ~CXEVThreadUI() override;

    // Decodes one job: from its start frame when the disc lists frames as entries (-1:
    // nothing), one frame when forced, the first frame only of a multi-frame file.
    static void RunImageJob(ImageInfo* job, const std::atomic<int32_t>* stop = nullptr);
    // Decodes the frame a cell asked for and tells the cell.
    static void RunFrameRequest(const XEVFrameRequest& request, const std::atomic<int32_t>* stop = nullptr);

protected:
    bool event(QEvent* event) override;

private:
    XEVResult OnQueue(XEVWParam wParam, XEVLParam lParam);
    XEVResult OnStart();
    XEVResult OnStop();
    XEVResult OnTakeBack(const std::vector<XEVWindowHandle>& owners);
    XEVResult OnDestroy();
    // A queued image and the window it reports to.
    struct Job {
        ImageInfo* image = nullptr;
        XEVWindowHandle owner;
    };
    // Shared with the workers: one let go may still be ending its job when the window goes.
    struct Queues {
        std::deque<Job> pending;
        std::deque<Job> running;
        std::deque<XEVFrameRequest> requests;
        // Whom the job under way reports to; null between jobs and for a job behind the page.
        XEVWindowHandle current;
        // The image of the job under way; null between jobs and for a request.
        const ImageInfo* currentImage = nullptr;
        PlatRecursiveLock lock;
        // One worker at a time drains the running queue; set while none does.
        bool working = false;
        // Told when the worker has no job left.
        std::vector<XEVIdleNotice> idleNotices;
        // A request or job whose member the copier writes out meanwhile, back to the front of
        // its queue once written; the worker runs what else is queued, and waits for it when
        // nothing is.
        struct Aside {
            bool request = false;
            XEVFrameRequest frame;
            Job job;
        };
        std::deque<Aside> aside;
        // The copy the copier is to make (copyWanted) or makes (copying).
        std::string copyPath;
        XEVReadPriority copyPriority = XEVReadPriority::OnScreen;
        bool copyWanted = false;
        bool copying = false;
        // Images set aside once: the worker runs them itself after.
        std::set<const ImageInfo*> copied;
        // Told under the lock whenever the queues or the worker's stop change: a worker that
        // has only what waits for the copier waits here.
        std::condition_variable_any changed;
    };
    // A long copy the worker asked for: to the copier, one at a time.
    void StartCopier();
    // Under the queues' lock: what was set aside for the copy goes back to the front of its
    // queue, for the worker to run itself.
    static void TakeBackAside(Queues& q);
    // Under the queues' lock: the worker is idle; the notices waiting for that, to post.
    static std::vector<XEVIdleNotice> BecomeIdle(Queues& q);
    static void PostNotices(const std::vector<XEVIdleNotice>& notices);
    // Under the queues' lock, which it lets go meanwhile: whether a request runs next (else
    // the running queue's first job), and whether it needs a long copy out of the imported
    // archive first. Such an item goes after the requests and the jobs for the screen that
    // need none, looked for among the first few of each: those are not held behind its copy.
    struct Next {
        bool request = false;
        bool longCopy = false;
        std::string path;
    };
    static Next ChooseNext(Queues& q, std::unique_lock<PlatRecursiveLock>& lock);
    static void WorkerProc(Queues& q, const std::atomic<int32_t>& stop);

    std::shared_ptr<Queues> q_ = std::make_shared<Queues>();
    std::unique_ptr<XEVThread> workers_;
    std::unique_ptr<XEVThread> copier_;
};

// The host thread. Start makes the loader window on it and publishes its handle in the load
// state; Shutdown destroys the window, waits for the loader-ended event and joins.
class CXEVFileLoadCtrlThread : public QThread {
public:
    CXEVFileLoadCtrlThread() = default;
    ~CXEVFileLoadCtrlThread() override;

    // False when the thread cannot be started.
    bool Start();
    // Safe to call more than once, and without a Start.
    void Shutdown();
    XEVWindowHandle Window() const;

protected:
    void run() override;

private:
    mutable std::mutex mutex_;
    XEVWindowHandle window_;
    PlatEvent ready_{true, false};
    bool started_ = false;
};

// Set (auto-reset) each time a host thread has destroyed its loader window.
PlatEvent& XEVLoaderEndedEvent();
