#pragma once
// `MessageProc`, the relay thread: drains the driver's outQueues. It wakes on the
// shared writeEvent or once a second, walks slots 0..highestPortIndex and, by port
// state, turns the application's packets into frames for the device server (Connected),
// watches for the application opening the port (Ready, Disconnected) or closing it
// (Reconnecting, COM Opened, Switching), and hands a silent device server to the
// reconnection procedure. Everything that needs the UI thread it asks for by posting
// a private message.
//
// Started once by the first successful hooking; ends when threadRunning is cleared.
// It works on a port only while holding the port's relayLock.
#include <cstdint>

namespace platform {
class AutoEvent;
}

// The thread's body; returns 0 when threadRunning is found cleared.
int messageProc(platform::AutoEvent* writeEvent);

// The connections still winding down after their application closed the port are dropped
// at once. The relay thread must have ended; on the UI thread they are destroyed there
// and then (at the end of the manager no event loop would run to destroy them later).
void dropClosingConnections();

// One pass over every slot 0..highestPortIndex. Returns how long the next wait may be:
// 0 when packets were taken (more may follow), a few milliseconds while a frame waits
// for room in its socket, otherwise the idle second.
uint32_t relayPass();
