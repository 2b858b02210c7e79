#include "tests/app/window_harness.h"

#include "platform/ui_thread.h"
#include "platform/window_boxes.h"
#include "tests/app/gui_support.h"

#include <QCoreApplication>

WindowHarness::WindowHarness() {
    ensureQtApp(); // before anything makes an event loop without a GUI
    dialog_ = std::make_unique<MainDialog>();
}

void WindowHarness::install() {
    mainDialog = dialog_.get();
    platform::setMainWindow(dialog_.get());
    platform::setMessageHandler([this](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        return dialog_->onMessage(message, wParam, lParam);
    });
    dialog_->initPortListColumns();
}

// What the window still has queued runs before it goes.
WindowHarness::~WindowHarness() {
    QCoreApplication::sendPostedEvents();
    while (platform::pumpOneMessage()) {
    }
    if (mainDialog == dialog_.get()) {
        platform::setMessageHandler(nullptr);
        platform::setMainWindow(nullptr);
        mainDialog = nullptr;
    }
    dialog_.reset();
}
