#pragma once
// The dispatcher of the UI thread's private messages (platform/ui_thread.h): what the
// relay thread, the remote controller, the procedures themselves and outside senders ask
// of a port goes to the procedures here; what is about the window (the tray's
// notifications, the list's rebuild) goes to hooks the window installs. Not a widget:
// the window registers one at its start, and whatever runs the ports without a window
// (tests) does the same.
//
// UI thread only.
#include <cstdint>
#include <functional>

class PortMessages {
  public:
    struct WindowHooks {
        std::function<intptr_t()> refreshList;                   // WM_REFRESH_LIST
        std::function<intptr_t(uintptr_t, intptr_t)> trayNotify; // WM_TRAY_NOTIFY
    };

    explicit PortMessages(WindowHooks hooks = {}) : hooks_(std::move(hooks)) {}
    ~PortMessages() { uninstall(); }
    PortMessages(const PortMessages&) = delete;
    PortMessages& operator=(const PortMessages&) = delete;

    // The handler of every private message; 0 for one it does not know. WM_REFRESH_LIST
    // without a window answers 1, as the window does.
    intptr_t handle(uint32_t message, uintptr_t wParam, intptr_t lParam);
    // Becomes the UI thread's message handler, until uninstall or its end.
    void install();
    void uninstall();

  private:
    WindowHooks hooks_;
    bool installed_ = false;
};
