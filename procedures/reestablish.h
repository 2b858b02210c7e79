#pragma once
// The steps that reconnection and switching share: a new connection for a port that
// an application may hold open, to the port's current host, and, once the device is
// identified, `OPEN` and the last settings (`SREQ`) replayed so that the device's serial port is
// back where the application left it. UI thread only.
#include <cstdint>

class DeviceSocket;

// Drops the port's connection and makes a new one (mask 63) connecting to the current
// host where its protocol says it listens (a Vorlix device: TCP port 4000 + device port). Null when
// the object or the socket cannot be made; then the port has no connection.
DeviceSocket* connectAnew(int slot, const char* connectingTrace);

// Under the relay lock, when an application holds the port: `OPEN` and `SREQ` with the
// last settings go to the device (one pending frame, so they stay whole and in order),
// passTrace is traced, the connection listens for read, connect and close only and the
// port is Connected, reason '1'. False, and nothing changed, when no application holds
// the port any more: a port Connected for nobody would never serve the next open.
bool resumeConnection(int slot, const char* passTrace);

// The port is restarted with new queues and events: Disconnected (with reason), then
// stopped and started again (Ready with '1', or Stopped with '6').
void restartPort(int slot, int reason);
