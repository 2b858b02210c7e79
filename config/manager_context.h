#pragma once
// The manager's one context: the port table and the flags that live beside it and
// that every layer above reads (serviceBusy, reconnectRunning, threadRunning, ...).
// One object instead of scattered globals, with one reset (resetContext) that the
// tests use between cases. The driver link keeps its own process-wide part
// (driverlink/driver_link.h).
//
// serviceBusy keeps user commands and remote-control requests out while a service
// operation runs. Procedures that wait nest inside each other (a second port's open
// runs inside the first one's wait), so the UI thread counts the procedures running:
// enterService() and leaveService() pair up, and serviceBusy stays set until the
// outermost one has left. A plain clear by a nested procedure would let a command
// stop or remove a port under a procedure that is still waiting on it.
#include "config/port_table.h"
#include "platform/auto_event.h"

#include <atomic>
#include <cstdint>

struct ManagerContext {
    PortTable ports;
    // The highest slot that the relay thread, the keep-alive timer and the
    // reconnection loop visit; only ever raised during a run.
    std::atomic<uint8_t> highestPortIndex{0};
    // 1 from start; cleared once at the end, which lets the worker threads end.
    std::atomic<int> threadRunning{1};
    std::atomic<int> serviceBusy{0};
    std::atomic<int> reconnectRunning{0};
    std::atomic<int> relayThreadStarted{0};
    std::atomic<int> socketsReady{0};
    // The event the relay thread waits on between passes (the driver's write event),
    // while the driver link holds it; set to wake the relay at once.
    std::atomic<platform::AutoEvent*> relayWake{nullptr};
    int serviceDepth = 0; // UI thread only
    // How far the manager has ended (UI thread): ports stopped and current hosts
    // saved, then the driver unloaded as well.
    enum EndStage { RUNNING, PORTS_ENDED, FINISHED } endStage = RUNNING;
    // Whether every current host was saved at the end (UI thread): a store that refuses
    // writes (read-only) keeps the old ones.
    bool hostsSaved = true;
    // Each port's open Port Monitor, or null (config/port_monitor.h).
    std::atomic<PortMonitor*> monitors[PORT_SLOTS] = {};
};

extern ManagerContext context;

inline PortRecord& port(int slot) {
    return context.ports.records[slot];
}

inline int slotOf(const PortRecord& record) {
    return int(&record - context.ports.records);
}

// UI thread only.
void enterService();
void leaveService();

// Back to the state of a fresh process: every slot cleared, every flag at its start
// value, the platform's process-wide state as at start (platform/process_state.h), and
// every part a layer above keeps of its own (registered below). UI thread, with no worker
// thread running (tests, between cases): the one reset.
void resetContext();

// A part of the manager's state that a layer above owns in an object of its own (the
// relay's per-port marks, the open procedure's): resetContext resets it too. Register
// once; registering the same function again changes nothing.
void onContextReset(void (*reset)());

// Wakes the relay thread for a pass now, when it runs: a port became Connected (what
// the application wrote meanwhile goes at once) or lost its connection (the
// reconnection begins at once). Any thread.
void wakeRelay();
