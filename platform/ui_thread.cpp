#include "platform/ui_thread.h"

#include "platform/pending_result.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

struct Message {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    std::shared_ptr<PendingResult> reply;
    std::function<intptr_t()> work; // callOnUiThread instead of a numbered message
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

// The messages waiting for the UI thread. They travel in this queue under a standard
// mutex, and only a wake-up crosses into Qt (an eventfd watched by a socket notifier):
// Qt's own cross-thread event queue is invisible to the thread checker.
class MessageQueue {
  public:
    MessageQueue() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    void push(Message message) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(message));
        wake();
    }

    // One message per wake-up, so pumpOneMessage() handles one at a time; the next
    // is announced again.
    bool popOne(Message& message) {
        std::lock_guard lock(mutex_);
        uint64_t count = 0;
        [[maybe_unused]] ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
        if (queue_.empty())
            return false;
        message = std::move(queue_.front());
        queue_.pop_front();
        if (!queue_.empty())
            wake();
        return true;
    }

    int wakeFd() const { return wakeFd_; }

  private:
    void wake() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
    }

    std::mutex mutex_;
    std::deque<Message> queue_;
    int wakeFd_;
};

MessageQueue& messageQueue() {
    static MessageQueue* queue = new MessageQueue; // outlives every worker thread
    return *queue;
}

// Lives on the UI thread: delivers the queued messages and counts every event the UI
// thread delivers, because the dispatcher's own result does not tell posted events
// apart from nothing on every platform.
class MessageReceiver : public QObject {
  public:
    uint64_t delivered = 0;

    MessageReceiver() : notifier_(messageQueue().wakeFd(), QSocketNotifier::Read, this) {
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { deliverOne(); });
    }

    bool eventFilter(QObject* watched, QEvent* e) override {
        ++delivered;
        return QObject::eventFilter(watched, e);
    }

  private:
    void deliverOne() {
        Message m;
        if (!messageQueue().popOne(m))
            return;
        ++delivered;
        intptr_t result = m.work ? m.work() : callHandler(m.message, m.wParam, m.lParam);
        if (m.reply)
            m.reply->set(result);
    }

    QSocketNotifier notifier_;
};

// Made on the UI thread the first time it is needed there, never deleted: worker
// threads may still post while the application object is torn down. Messages posted
// before it exists wait in the queue and are delivered once it does.
MessageReceiver* receiver() {
    static MessageReceiver* made = nullptr;
    if (made || !isUiThread())
        return made;
    made = new MessageReceiver;
    QCoreApplication::instance()->installEventFilter(made);
    return made;
}

// The replies other threads are waiting for, so that the end of the manager can
// release them.
std::mutex waitersMutex;
std::vector<std::weak_ptr<PendingResult>> waiters;
bool sendsRefused = false;

// Queues a message that someone waits for; 0 at once once senders are refused.
intptr_t sendAndWait(Message message) {
    auto reply = std::make_shared<PendingResult>();
    {
        std::lock_guard lock(waitersMutex);
        if (sendsRefused)
            return 0;
        std::erase_if(waiters, [](const auto& waiter) { return waiter.expired(); });
        waiters.push_back(reply);
    }
    message.reply = reply;
    messageQueue().push(std::move(message));
    return reply->wait();
}

} // namespace

void setMessageHandler(MessageHandler handler) {
    {
        std::lock_guard lock(handlerMutex);
        messageHandler = std::move(handler);
    }
    receiver();
}

void postMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    messageQueue().push({message, wParam, lParam, nullptr, {}});
}

intptr_t sendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (isUiThread())
        return callHandler(message, wParam, lParam);
    if (!QCoreApplication::instance())
        return 0;
    return sendAndWait({message, wParam, lParam, nullptr, {}});
}

intptr_t callOnUiThread(std::function<intptr_t()> work) {
    if (isUiThread())
        return work();
    if (!QCoreApplication::instance())
        return 0;
    return sendAndWait({0, 0, 0, nullptr, std::move(work)});
}

void postToUiThread(std::function<void()> work) {
    messageQueue().push({0, 0, 0, nullptr, [work = std::move(work)] {
                             work();
                             return intptr_t(0);
                         }});
}

void releaseWaitingSenders() {
    std::lock_guard lock(waitersMutex);
    sendsRefused = true;
    for (const auto& waiter : waiters)
        if (auto reply = waiter.lock())
            reply->set(0);
    waiters.clear();
}

void acceptSendersAgain() {
    std::lock_guard lock(waitersMutex);
    sendsRefused = false;
}

bool pumpOneMessage() {
    MessageReceiver* r = receiver();
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
