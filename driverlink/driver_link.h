#pragma once
// The driver link: the manager's side of the port driver. It opens the driver device,
// obtains a pair of rings and two events per started port, publishes them in the
// port's key for the driver, starts the relay thread once, and undoes the per-port
// part when the port stops.
//
// Everything here runs on the UI thread, except stopPort, which the remote-control
// thread also calls for a Ready port (its boxes are shown on the UI thread, its
// connection is dropped there). The process-wide part (driver handle, the shared
// writeEvent and its driver-side handle, the OpenVxDHandle entry, the relay thread)
// is obtained once and kept until closeDriver.
#include "config/port_table.h"
#include "platform/driver_device.h"
#include "platform/symbol_table.h"

#include <cstdint>

namespace platform {
class AutoEvent;
}

// The driver's handles of a started port's queues and events, as published in its key:
// the driver link's own, given back when the port stops. UI thread.
struct PortHandles {
    uint32_t outQueue = 0;
    uint32_t inQueue = 0;
    uint32_t readEvent = 0;  // the driver-side handle of the port's readEvent
    uint32_t sliceEvent = 0; // and of its sliceEvent
};

struct DriverLink {
    enum class Device { NotOpened, Open, Failed };
    Device device = Device::NotOpened;
    platform::DriverHandle driverHandle = platform::INVALID_HANDLE_VALUE;
    platform::AutoEvent* writeEvent = nullptr;
    uint32_t writeEventRing0 = 0;
    platform::ModuleHandle kernel32 = nullptr;
    platform::OpenVxDHandleProc openVxDHandle = nullptr;
    PortHandles ports[PORT_SLOTS];
};

extern DriverLink driverLink;

inline const PortHandles& portHandles(int slot) {
    return driverLink.ports[slot];
}

// Stopped -> Connecting -> Ready (reason '1'), or back to Stopped with reason '6'.
bool startPort(int slot);
// Refuses a port in use (with its warning) and, unless force, a Reconnecting or
// Switching port. True when the port was stopped and its queues released.
bool stopPort(int slot, bool force);
// Asks the driver to create the device nodes (pty links) of newly registered ports.
void refreshDeviceNodes();
// At process end (and between tests): clears threadRunning, waits for the relay
// thread, closes the driver handle and unloads the driver.
void closeDriver();
