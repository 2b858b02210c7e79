#pragma once
// The disconnection procedure (WM_PORT_DISCONNECTED): a port whose device connection
// is lost while an application holds it is parked in COM Opened; once no application
// holds it any more it is stopped and started anew. UI thread only.

// Returns 0, as the message's result.
int disconnectPort(int slot);
