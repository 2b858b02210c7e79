#pragma once
// The main window's flags that procedures below the window read and write, on the
// UI thread and from the worker threads. serviceBusy keeps user commands and
// remote-control requests out while a service operation runs.
#include <atomic>

struct ServiceState {
    std::atomic<int> serviceBusy{0};
    std::atomic<int> reconnectRunning{0};
    std::atomic<int> relayThreadStarted{0};
    std::atomic<int> socketsReady{0};
};

extern ServiceState serviceState;
