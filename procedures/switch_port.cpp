#include "procedures/switch_port.h"

#include "config/manager_context.h"
#include "config/port_state.h"
#include "device/device_socket.h"
#include "device/greeting.h"
#include "device/port_connection.h"
#include "platform/async_socket.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "procedures/reestablish.h"

using namespace platform;

namespace {

// The failure exit F(r): an application still holding the port has it parked in COM
// Opened by the disconnection procedure; a port nobody holds is restarted.
int failSwitch(int slot, int reason) {
    leaveService();
    setPortReason(slot, reason);
    if (port(slot).relayActive.load()) {
        postMessage(WM_PORT_DISCONNECTED, 0, slot);
        return 0;
    }
    restartPort(slot, reason);
    sendMessage(WM_REFRESH_LIST, 0, 0);
    return 0;
}

// Another handler took the port over while the switch waited: it is left as they left it.
int givenUp() {
    leaveService();
    sendMessage(WM_REFRESH_LIST, 0, 0);
    return 0;
}

// No application holds the port (any more): it is simply restarted and ends Ready for
// the next open, its new connection, if any, dropped with the stop.
int restartIdle(int slot) {
    leaveService();
    restartPort(slot, port(slot).reason.load());
    sendMessage(WM_REFRESH_LIST, 0, 0);
    return 0;
}

bool stillOurs(int slot, DeviceSocket* socket, uint32_t serial) {
    const PortRecord& record = port(slot);
    return connectionOf(record) == socket && connectionSerialOf(record) == serial &&
           record.state.load() == PORT_SWITCHING;
}

// Steps 5 to 19 once the port is Switching with an application holding it.
int switchConnection(int slot) {
    PortRecord& record = port(slot);
    DeviceSocket* socket = connectAnew(slot, "Switching..\r\n");
    if (!socket)
        return failSwitch(slot, REASON_INTERNAL);
    uint32_t serial = connectionSerialOf(record);
    bool connected = waitForConnect(*socket, record);
    if (!stillOurs(slot, socket, serial))
        return givenUp();
    if (!connected)
        return failSwitch(slot, socket->connectError.load() == AsyncSocket::WSAECONNREFUSED
                                    ? REASON_PORT_DISABLED
                                    : REASON_IP_NOT_FOUND);
    debugTrace("Identifying\r\n");
    record.lastRxTick.store(getTickCount());
    GreetingOutcome greeting = greetDevice(*socket, record, true);
    if (!stillOurs(slot, socket, serial))
        return givenUp();
    if (greeting != GreetingOutcome::Answered) {
        if (greeting != GreetingOutcome::SendFailed)
            debugTrace("Identification Failed in switching (Timeout)\r\n");
        return failSwitch(slot, REASON_PORT_DISABLED);
    }
    if (!resumeConnection(slot, "VXD_WRITE_SOCKET : Successful Switching pass 1.\r\n"))
        return restartIdle(slot);
    leaveService();
    debugTrace("VXD_WRITE_SOCKET : Successful Reconnection pass 2.\r\n");
    sendMessage(WM_REFRESH_LIST, 0, 0);
    return 1;
}

} // namespace

int switchPort(int slot) {
    PortRecord& record = port(slot);
    debugTrace("[Switching Procedure]\r\n");
    enterService();
    int from = record.state.load();
    // A Stopped port is not switched; nor one the relay thread moved meanwhile (it closed
    // or found the connection lost): that move's own procedure follows.
    if (from == PORT_STOPPED || movePortState(slot, from, PORT_SWITCHING) != StateMove::Moved) {
        leaveService();
        sendMessage(WM_REFRESH_LIST, 0, 0);
        return 0;
    }
    postMessage(WM_REFRESH_LIST, 0, 0);
    // So that the list shows the new state.
    pumpOneMessage();
    pumpOneMessage();
    if (record.state.load() != PORT_SWITCHING)
        return givenUp();
    if (!record.relayActive.load())
        return restartIdle(slot); // nothing is dialled
    retireConnection(record);     // what it still carries reaches the old device
    return switchConnection(slot);
}
