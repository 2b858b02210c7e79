#pragma once
// The platform's process-wide state back to what a fresh process has: no message
// handler, senders accepted, boxes shown again (not answered silently) and the window's
// boxes uninstalled, the tick source without offset, no injected fault of the platform
// or of the driver device. Part of the manager's one reset (resetContext). UI thread,
// with no worker thread running.
namespace platform {

void resetProcessState();

} // namespace platform
