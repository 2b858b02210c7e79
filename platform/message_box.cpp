#include "platform/message_box.h"

#include "platform/pending_result.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"

#include <QCoreApplication>

#include <atomic>
#include <memory>
#include <mutex>

namespace platform {

namespace {

std::mutex answerersMutex;
MessageBoxAnswer responder;
MessageBoxAnswer shower;
std::atomic<bool> silent{false};

// A request that Qt drops unrun (the loop is gone) still releases the caller, with 0.
struct AnswerOnDrop {
    explicit AnswerOnDrop(std::shared_ptr<PendingResult> pending) : answer(std::move(pending)) {}
    ~AnswerOnDrop() { answer->set(0); }
    std::shared_ptr<PendingResult> answer;
};

MessageBoxAnswer current(const MessageBoxAnswer& answerer) {
    std::lock_guard lock(answerersMutex);
    return answerer;
}

} // namespace

int messageBox(BoxOwner owner, const std::string& text, const std::string& caption,
               unsigned style) {
    MessageBoxCall call{text, caption, style, owner == BoxOwner::Window};
    if (silent.load()) {
        debugTrace("message box answered silently: %s\r\n", text.c_str());
        return (style & 0x0F) == MB_YESNO ? IDNO : IDOK;
    }
    if (MessageBoxAnswer answer = current(responder))
        return answer(call);
    MessageBoxAnswer show = current(shower);
    QCoreApplication* app = QCoreApplication::instance();
    if (!show || !app) {
        debugTrace("message box without a window: %s\r\n", text.c_str());
        return 0;
    }
    if (isUiThread())
        return show(call);
    auto pending = std::make_shared<PendingResult>();
    auto guard = std::make_shared<AnswerOnDrop>(pending);
    QMetaObject::invokeMethod(
        app, [guard, show, call] { guard->answer->set(show(call)); }, Qt::QueuedConnection);
    guard.reset();
    return int(pending->wait());
}

void setMessageBoxShower(MessageBoxAnswer newShower) {
    std::lock_guard lock(answerersMutex);
    shower = std::move(newShower);
}

void setMessageBoxResponder(MessageBoxAnswer newResponder) {
    std::lock_guard lock(answerersMutex);
    responder = std::move(newResponder);
}

void answerBoxesSilently(bool on) {
    silent.store(on);
}

} // namespace platform
