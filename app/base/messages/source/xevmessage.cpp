#include "shell/xevmessage.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

// The answer of one blocking send; completed once, by the handler or with 0 when the
// message can no longer be handled.
struct XEVSendReply {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    XEVResult result = 0;

    void Complete(XEVResult value)
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (done) {
            return;
        }
        done = true;
        result = value;
        answered.notify_all();
    }
    XEVResult Wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        answered.wait(lock, [this] { return done; });
        return result;
    }
};

namespace {

std::atomic<XEVSendWaitObserver> sendWaitObserver{nullptr};

// Whether a thread still runs its event loop, and the sends that wait on it. A thread has
// left its loop once it has finished; the main thread once the application's loop ended.
struct XEVLoopGate {
    std::mutex mutex;
    bool left = false;
    std::vector<std::shared_ptr<XEVSendReply>> waiting;

    bool Enlist(const std::shared_ptr<XEVSendReply>& reply)
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (left) {
            return false;
        }
        waiting.push_back(reply);
        return true;
    }
    void Delist(const std::shared_ptr<XEVSendReply>& reply)
    {
        std::lock_guard<std::mutex> guard(mutex);
        waiting.erase(std::remove(waiting.begin(), waiting.end(), reply), waiting.end());
    }
    void Leave()
    {
        std::vector<std::shared_ptr<XEVSendReply>> pending;
        {
            std::lock_guard<std::mutex> guard(mutex);
            left = true;
            pending.swap(waiting);
        }
        for (const auto& reply : pending) {
            reply->Complete(0);
        }
    }
    void Enter()
    {
        std::lock_guard<std::mutex> guard(mutex);
        left = false;
    }
};

std::mutex& GateRegistryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::unordered_map<QThread*, std::shared_ptr<XEVLoopGate>>& GateRegistry()
{
    static auto* registry = new std::unordered_map<QThread*, std::shared_ptr<XEVLoopGate>>();
    return *registry;
}

// The gate of the calling thread, made and wired to the thread's signals on first use.
std::shared_ptr<XEVLoopGate> CurrentThreadGate()
{
    QThread* thread = QThread::currentThread();
    std::lock_guard<std::mutex> guard(GateRegistryMutex());
    auto& registry = GateRegistry();
    if (auto it = registry.find(thread); it != registry.end()) {
        return it->second;
    }
    auto gate = std::make_shared<XEVLoopGate>();
    registry.emplace(thread, gate);
    std::weak_ptr<XEVLoopGate> weak = gate;
    QObject::connect(thread, &QThread::started, [weak] {
        if (auto g = weak.lock()) {
            g->Enter();
        }
    });
    QObject::connect(thread, &QThread::finished, [weak] {
        if (auto g = weak.lock()) {
            g->Leave();
        }
    });
    QObject::connect(thread, &QObject::destroyed, [weak, thread] {
        if (auto g = weak.lock()) {
            g->Leave();
        }
        std::lock_guard<std::mutex> registryGuard(GateRegistryMutex());
        GateRegistry().erase(thread);
    });
    if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr && app->thread() == thread) {
        QObject::connect(app, &QCoreApplication::aboutToQuit, [weak] {
            if (auto g = weak.lock()) {
                g->Leave();
            }
        });
    }
    return gate;
}

bool IsUserEventType(uint32_t id)
{
    return id >= static_cast<uint32_t>(QEvent::User) && id <= static_cast<uint32_t>(QEvent::MaxUser);
}

}   // namespace

// What a handle points at: the receiver while it lives, null afterwards.
struct XEVReceiverLink {
    std::mutex mutex;
    XEVMessageReceiver* receiver = nullptr;
    QThread* thread = nullptr;
    std::shared_ptr<XEVLoopGate> gate;
};

void XEVRegisterMessageIds()
{
    static const bool registered = [] {
        for (uint32_t id = kXEVFirstMessageId; id <= kXEVLastMessageId; ++id) {
            QEvent::registerEventType(static_cast<int>(id));
        }
        QEvent::registerEventType(static_cast<int>(WM_XEV_DROPFILES));
        return true;
    }();
    (void)registered;
}

bool XEVWindowHandle::IsAlive() const
{
    if (!link_) {
        return false;
    }
    std::lock_guard<std::mutex> guard(link_->mutex);
    return link_->receiver != nullptr;
}

XEVMessageEvent::XEVMessageEvent(uint32_t id, XEVWParam wParam, XEVLParam lParam, std::shared_ptr<XEVSendReply> reply)
    : QEvent(static_cast<QEvent::Type>(id)), wParam_(wParam), lParam_(lParam), reply_(std::move(reply))
{
}

XEVMessageEvent::~XEVMessageEvent()
{
    Acquire();
    // Dropped undelivered (its receiver died): the sender must not wait for it.
    if (reply_) {
        reply_->Complete(0);
    }
}

bool XEVPostMessage(const XEVWindowHandle& window, uint32_t id, XEVWParam wParam, XEVLParam lParam)
{
    const std::shared_ptr<XEVReceiverLink> link = window.link_;
    if (!link || !IsUserEventType(id)) {
        return false;
    }
    XEVRegisterMessageIds();
    // Held while posting so that the receiver cannot be destroyed between test and post.
    std::lock_guard<std::mutex> guard(link->mutex);
    if (link->receiver == nullptr) {
        return false;
    }
    auto* event = new XEVMessageEvent(id, wParam, lParam);
    event->Publish();
    QCoreApplication::postEvent(link->receiver, event);
    return true;
}

void XEVSetSendWaitObserver(XEVSendWaitObserver observer)
{
    sendWaitObserver = observer;
}

XEVResult XEVSendMessage(const XEVWindowHandle& window, uint32_t id, XEVWParam wParam, XEVLParam lParam)
{
    const std::shared_ptr<XEVReceiverLink> link = window.link_;
    if (!link || !IsUserEventType(id)) {
        return 0;
    }
    std::unique_lock<std::mutex> lock(link->mutex);
    XEVMessageReceiver* receiver = link->receiver;
    if (receiver == nullptr) {
        return 0;
    }
    if (QThread::currentThread() == link->thread) {
        lock.unlock();
        return receiver->OnMessage(id, wParam, lParam);
    }
    auto reply = std::make_shared<XEVSendReply>();
    const std::shared_ptr<XEVLoopGate> gate = link->gate;
    if (!gate->Enlist(reply)) {
        return 0;
    }
    auto* event = new XEVMessageEvent(id, wParam, lParam, reply);
    event->Publish();
    QCoreApplication::postEvent(receiver, event);
    lock.unlock();
    if (XEVSendWaitObserver observer = sendWaitObserver.load()) {
        observer(id);
    }
    const XEVResult result = reply->Wait();
    gate->Delist(reply);
    return result;
}

XEVMessageReceiver::XEVMessageReceiver(QObject* parent) : QObject(parent), link_(std::make_shared<XEVReceiverLink>())
{
    XEVRegisterMessageIds();
    link_->receiver = this;
    link_->thread = QThread::currentThread();
    link_->gate = CurrentThreadGate();
}

XEVMessageReceiver::~XEVMessageReceiver()
{
    {
        std::lock_guard<std::mutex> guard(link_->mutex);
        link_->receiver = nullptr;
    }
    // Messages still queued are deleted by QObject's destructor; their senders get 0.
}

void XEVMessageReceiver::SetHandler(uint32_t id, Handler handler)
{
    handlers_[id] = std::move(handler);
}

XEVResult XEVMessageReceiver::OnMessage(uint32_t id, XEVWParam wParam, XEVLParam lParam)
{
    const auto it = handlers_.find(id);
    return it != handlers_.end() && it->second ? it->second(wParam, lParam) : 0;
}

bool XEVMessageReceiver::event(QEvent* event)
{
    if (auto* message = dynamic_cast<XEVMessageEvent*>(event)) {
        message->Acquire();
        const XEVResult result = OnMessage(message->Id(), message->WParam(), message->LParam());
        if (message->reply_) {
            message->reply_->Complete(result);
        }
        return true;
    }
    return QObject::event(event);
}
