#include "device/device_socket.h"

#include "config/manager_context.h"
#include "device/port_connection.h"
#include "platform/auto_event.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "rings/ring_queue.h"

#include <algorithm>

using platform::debugTrace;

namespace {
// One read takes at most what the inQueue can hold.
constexpr int RECEIVE_CHUNK = RING_SIZE;
} // namespace

DeviceSocket::DeviceSocket(int portSlot) : portSlot(portSlot) {}

DeviceSocket::~DeviceSocket() {
    debugTrace("Socket Closed\r\n");
}

void DeviceSocket::OnConnect(int errorCode) {
    if (errorCode != 0) {
        debugTrace("Connection Error\r\n");
        debugTrace("Socket Error : %d\r\n", errorCode);
        connectError.store(errorCode);
    } else {
        sendReady.store(1);
        connected.store(1);
        debugTrace("Socket Connected\r\n");
        port(portSlot).lastRxTick.store(platform::getTickCount());
        connectError.store(0);
    }
    AsyncSocket::OnConnect(errorCode);
}

void DeviceSocket::OnClose(int errorCode) {
    PortRecord& record = port(portSlot);
    peerClosed = true;
    markConnectionLost(record);
    AsyncSocket::OnClose(errorCode);
}

void DeviceSocket::OnSend(int errorCode) {
    sendReady.store(1);
    AsyncSocket::OnSend(errorCode);
}

void DeviceSocket::OnReceive(int errorCode) {
    PortRecord& record = port(portSlot);
    int state = record.state.load();
    if (state == PORT_CONNECTED) {
        remoReadData();
    } else if (state != PORT_CONNECTING && state != PORT_RECONNECTING && state != PORT_SWITCHING) {
        // Nobody is waiting for these bytes; the procedures that are peek instead.
        uint8_t discard[RECEIVE_CHUNK];
        Receive(discard, sizeof discard);
    }
    AsyncSocket::OnReceive(errorCode);
}

// Moves what the device sent into the inQueue. Reads only as much as the inQueue can
// take: what does not fit stays in the connection (TCP holds the device back) and is
// read when the driver has made room (inQueueHasRoom), instead of being thrown away.
void DeviceSocket::remoReadData() {
    PortRecord& record = port(portSlot);
    RingQueue* inQueue = record.inQueue.load();
    int room = inQueue ? ringFreeSpace(inQueue) : RECEIVE_CHUNK;
    if (room == 0) {
        // No read now, so no further notification comes until the room signal.
        waitingForRoom = true;
        return;
    }
    uint8_t buffer[RECEIVE_CHUNK];
    int count = Receive(buffer, std::min(room, RECEIVE_CHUNK));
    // Only what the device actually sent is a sign of life.
    if (count > 0)
        record.lastRxTick.store(platform::getTickCount());
    if (count == 3)
        debugTrace("ACK");
    // The relay thread clears relayActive when the application closes the port.
    if (!record.relayActive.load() || count <= 0)
        return;
    ringWrite(inQueue, buffer, count); // room was measured and only this thread writes
    ringSetDataReady(inQueue, true);
    if (record.readEvent)
        record.readEvent->set();
}

void DeviceSocket::roomInQueue() {
    if (!waitingForRoom)
        return;
    waitingForRoom = false;
    OnReceive(0);
}

void inQueueHasRoom(int slot) {
    if (DeviceSocket* socket = port(slot).connection.load())
        socket->roomInQueue();
}
