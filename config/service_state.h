#pragma once
// The main window's flags that procedures below the window read and write, on the
// UI thread and from the worker threads.
//
// serviceBusy keeps user commands and remote-control requests out while a service
// operation runs. Procedures that wait nest inside each other (a second port's open
// runs inside the first one's wait), so the UI thread counts the procedures running:
// enterService() and leaveService() pair up, and serviceBusy stays set until the
// outermost one has left. A plain clear by a nested procedure would let a command
// stop or remove a port under a procedure that is still waiting on it.
#include <atomic>

struct ServiceState {
    std::atomic<int> serviceBusy{0};
    std::atomic<int> reconnectRunning{0};
    std::atomic<int> relayThreadStarted{0};
    std::atomic<int> socketsReady{0};
    int serviceDepth = 0; // UI thread only
};

extern ServiceState serviceState;

// UI thread only.
inline void enterService() {
    ++serviceState.serviceDepth;
    serviceState.serviceBusy.store(1);
}

inline void leaveService() {
    if (serviceState.serviceDepth > 0)
        --serviceState.serviceDepth;
    if (serviceState.serviceDepth == 0)
        serviceState.serviceBusy.store(0);
}
