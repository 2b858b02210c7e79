#pragma once
// OpenPort: what happens when an application opens a Ready (or Disconnected) port.
// The manager connects to the port's current device server (TCP port 4000 + device
// port number), identifies it, publishes its maximum speed for the driver, answers
// the driver's open request with `OPEN_RESULT` in the inQueue and tells the device
// that the port is open.
//
// UI thread only, as the handler of WM_OPEN_PORT (wParam quiet, lParam slot) and from
// the 16-bit port request. It waits up to 3000 ms for the connect and 10000 ms for
// the reply, pumping messages meanwhile; a second request for a port whose open is
// still waiting is refused without touching the first one's connection or result.
// Returns 1 when the port ended Connected with relayActive set, 0 otherwise.
int openPort(int slot, bool quiet);
