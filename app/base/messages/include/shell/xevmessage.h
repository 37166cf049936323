#pragma once

// Private messages between threads and windows: a window handle that goes dead with its
// receiver, posting and sending by handle, and the receiver base that dispatches them.

#include <QEvent>
#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

#include "shell/xevmessageids.h"

using XEVWParam = uintptr_t;
using XEVLParam = intptr_t;
using XEVResult = intptr_t;

struct XEVReceiverLink;
struct XEVSendReply;
class XEVMessageReceiver;

// Reserves the application's message ids as Qt event types so that nothing else is given
// them. Runs once; called by the receiver base and by posting, so callers rarely need it.
void XEVRegisterMessageIds();

// Stands for a window: copyable, usable from any thread, null by default, and dead once its
// receiver is destroyed. Posting and sending through a dead handle do nothing.
class XEVWindowHandle {
public:
    XEVWindowHandle() = default;

    bool IsNull() const { return link_ == nullptr; }
    bool IsAlive() const;
    friend bool operator==(const XEVWindowHandle& a, const XEVWindowHandle& b) { return a.link_ == b.link_; }

private:
    friend class XEVMessageReceiver;
    friend bool XEVPostMessage(const XEVWindowHandle&, uint32_t, XEVWParam, XEVLParam);
    friend XEVResult XEVSendMessage(const XEVWindowHandle&, uint32_t, XEVWParam, XEVLParam);
    explicit XEVWindowHandle(std::shared_ptr<XEVReceiverLink> link) : link_(std::move(link)) {}

    std::shared_ptr<XEVReceiverLink> link_;
};

// A message in the receiver's queue; its event type is the message id.
class XEVMessageEvent : public QEvent {
public:
    XEVMessageEvent(uint32_t id, XEVWParam wParam, XEVLParam lParam, std::shared_ptr<XEVSendReply> reply = nullptr);
    ~XEVMessageEvent() override;

    // Each read acquires the hand-over first, so that a receiver's own event() override may
    // look at the message before the base dispatches it.
    uint32_t Id() const
    {
        Acquire();
        return static_cast<uint32_t>(type());
    }
    XEVWParam WParam() const
    {
        Acquire();
        return wParam_;
    }
    XEVLParam LParam() const
    {
        Acquire();
        return lParam_;
    }
    // True for a send from another thread (the sender waits), false for a post.
    bool IsSent() const
    {
        Acquire();
        return reply_ != nullptr;
    }

private:
    friend class XEVMessageReceiver;
    friend bool XEVPostMessage(const XEVWindowHandle&, uint32_t, XEVWParam, XEVLParam);
    friend XEVResult XEVSendMessage(const XEVWindowHandle&, uint32_t, XEVWParam, XEVLParam);

    // Qt's queue is invisible to ThreadSanitizer: the poster releases on this flag and the
    // receiving side acquires it, so the hand-over of the event is seen.
    void Publish() { published_.store(true, std::memory_order_release); }
    void Acquire() const { (void)published_.load(std::memory_order_acquire); }

    XEVWParam wParam_;
    XEVLParam lParam_;
    std::shared_ptr<XEVSendReply> reply_;
    std::atomic<bool> published_{false};
};

// Queues the message for the receiver's thread. False, and nothing delivered, for a null or
// dead handle or an id outside Qt's user event types.
bool XEVPostMessage(const XEVWindowHandle& window, uint32_t id, XEVWParam wParam = 0, XEVLParam lParam = 0);

// On the receiver's thread a direct call of its handler; from another thread a queued call
// that blocks until the handler has answered. 0 when the handle is null or dead, and when
// the receiver dies or its thread leaves its event loop (the thread finishes, or for the
// main thread the application's loop ends) before the handler ran.
XEVResult XEVSendMessage(const XEVWindowHandle& window, uint32_t id, XEVWParam wParam = 0, XEVLParam lParam = 0);

// Told on the sending thread each time a send is about to wait for another thread's handler:
// for tests that check who waits for whom. Null: nobody.
using XEVSendWaitObserver = void (*)(uint32_t id);
void XEVSetSendWaitObserver(XEVSendWaitObserver observer);

// Base of every object that receives messages. It receives on the thread that created it.
// Its destructor first kills its handles, so that later posts fail and waiting sends return.
class XEVMessageReceiver : public QObject {
public:
    using Handler = std::function<XEVResult(XEVWParam, XEVLParam)>;

    explicit XEVMessageReceiver(QObject* parent = nullptr);
    ~XEVMessageReceiver() override;
    XEVMessageReceiver(const XEVMessageReceiver&) = delete;
    XEVMessageReceiver& operator=(const XEVMessageReceiver&) = delete;

    XEVWindowHandle Handle() const { return XEVWindowHandle(link_); }
    // Registers the handler of one id, replacing an earlier one; call on the receiver's thread.
    void SetHandler(uint32_t id, Handler handler);

protected:
    // Runs the handler of the id; unknown ids answer 0.
    virtual XEVResult OnMessage(uint32_t id, XEVWParam wParam, XEVLParam lParam);
    bool event(QEvent* event) override;

private:
    friend XEVResult XEVSendMessage(const XEVWindowHandle&, uint32_t, XEVWParam, XEVLParam);

    std::shared_ptr<XEVReceiverLink> link_;
    std::unordered_map<uint32_t, Handler> handlers_;
};
