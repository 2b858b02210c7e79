#include "platform/ui_thread.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace platform {

namespace {

const QEvent::Type messageEventType = QEvent::Type(QEvent::registerEventType());

// Where a sending thread waits for the handler's result.
struct Reply {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    intptr_t result = 0;

    void complete(intptr_t value) {
        std::lock_guard lock(mutex);
        if (finished)
            return;
        result = value;
        finished = true;
        done.notify_all();
    }
    intptr_t wait() {
        std::unique_lock lock(mutex);
        done.wait(lock, [this] { return finished; });
        return result;
    }
};

struct MessageEvent : QEvent {
    MessageEvent(uint32_t message, uintptr_t wParam, intptr_t lParam, std::shared_ptr<Reply> reply)
        : QEvent(messageEventType), message(message), wParam(wParam), lParam(lParam),
          reply(std::move(reply)) {}
    // An event Qt throws away unhandled (the loop is gone) must not leave its
    // sender blocked for ever.
    ~MessageEvent() override {
        if (reply)
            reply->complete(0);
    }
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    std::shared_ptr<Reply> reply;
};

std::mutex handlerMutex;
MessageHandler messageHandler;

intptr_t callHandler(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    MessageHandler handler;
    {
        std::lock_guard lock(handlerMutex);
        handler = messageHandler;
    }
    // Called outside the lock: handlers pump messages and may install a new handler.
    return handler ? handler(message, wParam, lParam) : 0;
}

// Lives on the UI thread; receives the messages and counts every event the UI
// thread delivers, because the dispatcher's own result does not tell posted events
// apart from nothing on every platform.
class MessageReceiver : public QObject {
  public:
    uint64_t delivered = 0;

    bool event(QEvent* e) override {
        if (e->type() != messageEventType)
            return QObject::event(e);
        auto* m = static_cast<MessageEvent*>(e);
        intptr_t result = callHandler(m->message, m->wParam, m->lParam);
        if (m->reply)
            m->reply->complete(result);
        return true;
    }
    bool eventFilter(QObject* watched, QEvent* e) override {
        ++delivered;
        return QObject::eventFilter(watched, e);
    }
};

std::once_flag receiverOnce;
std::atomic<MessageReceiver*> receiverObject{nullptr};

// Made once for the process and never deleted: worker threads may still post
// while the application object is torn down.
MessageReceiver* receiver() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return nullptr;
    std::call_once(receiverOnce, [app] {
        auto* r = new MessageReceiver;
        r->moveToThread(app->thread());
        receiverObject.store(r, std::memory_order_release);
    });
    return receiverObject.load(std::memory_order_acquire);
}

void watchDeliveries() {
    static bool installed = false;
    if (installed)
        return;
    if (MessageReceiver* r = receiver()) {
        QCoreApplication::instance()->installEventFilter(r);
        installed = true;
    }
}

} // namespace

void setMessageHandler(MessageHandler handler) {
    std::lock_guard lock(handlerMutex);
    messageHandler = std::move(handler);
}

void postMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (MessageReceiver* r = receiver())
        QCoreApplication::postEvent(r, new MessageEvent(message, wParam, lParam, nullptr));
}

intptr_t sendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (isUiThread())
        return callHandler(message, wParam, lParam);
    MessageReceiver* r = receiver();
    if (!r)
        return 0;
    auto reply = std::make_shared<Reply>();
    QCoreApplication::postEvent(r, new MessageEvent(message, wParam, lParam, reply));
    return reply->wait();
}

bool pumpOneMessage() {
    watchDeliveries();
    MessageReceiver* r = receiverObject.load(std::memory_order_acquire);
    uint64_t before = r ? r->delivered : 0;
    // No QEventLoop here: a quit or exit that arrives now marks every running loop
    // of the thread, so the main loop still ends once the waiting procedure returns.
    bool dispatched = false;
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        dispatched = dispatcher->processEvents(QEventLoop::AllEvents);
    return dispatched || (r && r->delivered != before);
}

bool isUiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace platform
