#include "platform/message_box.h"

#include "platform/pending_result.h"

#include "platform/trace.h"
#include "platform/ui_thread.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace platform {

namespace {

std::mutex responderMutex;
std::function<int(const MessageBoxCall&)> responder;
std::atomic<QWidget*> mainWindowPointer{nullptr};
std::atomic<bool> silent{false};

QMessageBox::Icon iconFor(unsigned style) {
    switch (style & 0xF0) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int showOnUiThread(QWidget* owner, const std::string& text, const std::string& caption,
                   unsigned style) {
    bool yesNo = (style & 0x0F) == MB_YESNO;
    QMessageBox box(iconFor(style), QString::fromStdString(caption), QString::fromStdString(text),
                    yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
    // Like MessageBoxA: Yes is the default button, and Esc does nothing on a Yes/No box.
    box.setDefaultButton(yesNo ? QMessageBox::Yes : QMessageBox::Ok);
    if (yesNo)
        box.setEscapeButton(static_cast<QAbstractButton*>(nullptr));
    int pressed = box.exec();
    if (!yesNo)
        return IDOK;
    return pressed == QMessageBox::Yes ? IDYES : IDNO;
}

// A request that Qt drops unrun (the loop is gone) still releases the caller, with 0.
struct AnswerOnDrop {
    explicit AnswerOnDrop(std::shared_ptr<PendingResult> pending) : answer(std::move(pending)) {}
    ~AnswerOnDrop() { answer->set(0); }
    std::shared_ptr<PendingResult> answer;
};

std::function<int(const MessageBoxCall&)> currentResponder() {
    std::lock_guard lock(responderMutex);
    return responder;
}

} // namespace

int messageBox(QWidget* owner, const std::string& text, const std::string& caption,
               unsigned style) {
    if (silent.load()) {
        debugTrace("message box answered silently: %s\r\n", text.c_str());
        return (style & 0x0F) == MB_YESNO ? IDNO : IDOK;
    }
    if (auto answer = currentResponder())
        return answer({text, caption, style, owner != nullptr});
    QCoreApplication* app = QCoreApplication::instance();
    if (!qobject_cast<QApplication*>(app)) {
        debugTrace("message box without a GUI: %s\r\n", text.c_str());
        return 0;
    }
    if (isUiThread())
        return showOnUiThread(owner, text, caption, style);
    // The owner may go away while the request waits in the UI thread's queue.
    auto pending = std::make_shared<PendingResult>();
    auto guard = std::make_shared<AnswerOnDrop>(pending);
    QPointer<QWidget> guardedOwner(owner);
    QMetaObject::invokeMethod(
        app,
        [guard, guardedOwner, text, caption, style] {
            guard->answer->set(showOnUiThread(guardedOwner.data(), text, caption, style));
        },
        Qt::QueuedConnection);
    guard.reset();
    return int(pending->wait());
}

void setMessageBoxResponder(std::function<int(const MessageBoxCall&)> newResponder) {
    std::lock_guard lock(responderMutex);
    responder = std::move(newResponder);
}

void answerBoxesSilently(bool on) {
    silent.store(on);
}

void setMainWindow(QWidget* window) {
    mainWindowPointer.store(window);
}

QWidget* mainWindow() {
    return mainWindowPointer.load();
}

} // namespace platform
