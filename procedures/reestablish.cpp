#include "procedures/reestablish.h"

#include "config/manager_context.h"
#include "config/port_monitor.h"
#include "config/port_state.h"
#include "device/device_socket.h"
#include "device/greeting.h"
#include "device/port_connection.h"
#include "driverlink/driver_link.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"

using namespace platform;

DeviceSocket* connectAnew(int slot, const char* connectingTrace) {
    DeviceSocket* socket = newConnection(slot);
    if (!socket) {
        debugTrace("ReconnectPort: Can't allocate any memory for new socket.\r\n");
        return nullptr;
    }
    if (!socket->Create(DEVICE_SOCKET_MASK)) {
        dropConnection(port(slot));
        return nullptr;
    }
    socket->connected.store(0);
    debugTrace("%s", connectingTrace);
    // A failure at once shows as no connection at the end of the wait.
    connectToCurrentHost(*socket, port(slot));
    return socket;
}

namespace {

// OPEN and the last SREQ go out, then whatever was held from the lost connection; the
// port is Connected. Under the relay lock, so the relay thread sends nothing between.
bool resumeLocked(int slot, const char* passTrace) {
    PortRecord& record = port(slot);
    MutexLock lock(record.relayLock);
    if (!record.relayActive.load())
        return false;
    debugTrace("VXD_WRITE_SOCKET : [OPEN]\r\n");
    debugTrace("VXD_WRITE_SOCKET : [SREQ]\r\n");
    resumeSession(record);
    debugTrace("%s", passTrace);
    if (DeviceSocket* socket = connectionOf(record))
        socket->AsyncSelect(DEVICE_SOCKET_MASK_REESTABLISHED);
    record.lastRxTick.store(getTickCount());
    // Reconnecting or Switching, which only this procedure leaves.
    return movePortState(slot, record.state.load(), PORT_CONNECTED, REASON_OK) == StateMove::Moved;
}

} // namespace

bool resumeConnection(int slot, const char* passTrace) {
    bool resumed = resumeLocked(slot, passTrace);
    // What the application wrote while the connection was away goes at once.
    if (resumed) {
        if (DeviceSocket* socket = connectionOf(port(slot)))
            socket->passGreetingPackets();
        wakeRelay();
        showOpenedInMonitor(port(slot));
    }
    return resumed;
}

void restartPort(int slot, int reason) {
    // From Reconnecting or Switching; a port some other request moved on is restarted as
    // it is, with the reason.
    if (movePortState(slot, port(slot).state.load(), PORT_DISCONNECTED, reason) != StateMove::Moved)
        setPortReason(slot, reason);
    stopPort(slot, false);
    startPort(slot);
}
