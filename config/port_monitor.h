#pragma once
// PortMonitor: what the layers below the window tell an open Port Monitor about its
// port. The monitor window (app/) implements it; the receive path, the relay thread
// and the procedures that (re)connect a port reach it through portMonitor(), which
// gives it from the moment it opens until it closes.
//
// Lifetime: the monitor sets and clears the pointer under the port's relayLock, and
// clears it before it goes. So the relay thread, which loads the pointer with that lock
// held, may use the monitor until it lets the lock go; the UI thread, which alone
// opens and closes monitors, may use it as long as it does not return to its event
// loop.
//
// Threads: feedMonitor and showOpened on the UI thread. feedTx and showModemControl on
// the relay thread, with the port's relayLock held: they only record what they are
// given (under the monitor's own small lock) and touch no widget; the window shows it
// on the UI thread.
#include "config/manager_context.h"

#include <cstdint>

class PortMonitor {
  public:
    // UI thread (RemoReadData): bytes it has just relayed to the driver, in arrival order
    // and in one piece, however many.
    virtual void feedMonitor(const uint8_t* bytes, int count) = 0;
    // UI thread: the port's connection serves an application again (open, reconnection,
    // switch): the status reads "OPENED".
    virtual void showOpened() = 0;
    // Relay thread, relayLock held: the data bytes of one DATA packet of the application
    // on their way to the device.
    virtual void feedTx(const uint8_t* bytes, int count) = 0;
    // Relay thread, relayLock held: an MCR went to the device; lastMcr holds its value.
    virtual void showModemControl() = 0;

  protected:
    ~PortMonitor() = default;
};

// The port's open monitor, or null.
inline PortMonitor* portMonitor(const PortRecord& record) {
    return context.monitors[slotOf(record)].load();
}
// The monitor opens (monitor) or closes (null); under the port's relayLock.
inline void setPortMonitor(PortRecord& record, PortMonitor* monitor) REQUIRES(record.relayLock) {
    context.monitors[slotOf(record)].store(monitor);
}

// UI thread: the port's open monitor, if any, reads "OPENED".
inline void showOpenedInMonitor(PortRecord& record) {
    if (PortMonitor* monitor = portMonitor(record))
        monitor->showOpened();
}
