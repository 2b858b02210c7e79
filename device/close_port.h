#pragma once
// The small handlers of the device connection: the 16-bit port request from outside
// the process, the disconnection procedure that parks or re-initialises a port whose
// device connection is lost, and the start request of the remote controller.
// UI thread only.

// WM_WIN16_PORT: comNumber names "COM<n>"; open 1 runs the open procedure for a Ready
// port, open 0 takes the port back to Ready and closes its connection. 1 or 0.
int win16PortRequest(int comNumber, bool open);

// WM_PORT_DISCONNECTED: the port becomes COM Opened; when no application holds it
// any more it is stopped and started anew. Returns 0.
int disconnectPort(int slot);
