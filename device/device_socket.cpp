#include "device/device_socket.h"

#include "config/manager_context.h"
#include "device/port_connection.h"
#include "platform/auto_event.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "rings/ring_queue.h"

#include <QObject>
#include <QTimer>

#include <algorithm>

using platform::debugTrace;

namespace {
// How long the receive path waits before it looks again at an inQueue the driver has
// not yet made room in.
constexpr int FULL_QUEUE_RETRY_MS = 1;
constexpr int RECEIVE_CHUNK = 512;
} // namespace

DeviceSocket::DeviceSocket(int portSlot)
    : portSlot(portSlot), retryContext(std::make_unique<QObject>()) {}

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
// read when the driver has made room, instead of being thrown away.
void DeviceSocket::remoReadData() {
    PortRecord& record = port(portSlot);
    RingQueue* inQueue = record.inQueue.load();
    int room = inQueue ? std::min(ringFreeSpace(inQueue), RECEIVE_CHUNK) : RECEIVE_CHUNK;
    if (room == 0) {
        noteAcknowledgement();
        scheduleRetry();
        return;
    }
    uint8_t buffer[RECEIVE_CHUNK];
    int count = Receive(buffer, room);
    // Only what the device actually sent is a sign of life.
    if (count > 0)
        record.lastRxTick.store(platform::getTickCount());
    if (count == 3)
        debugTrace("ACK");
    if (!record.relayActive.load() || count <= 0)
        return;
    for (int i = 0; i < count; ++i) {
        // The relay thread clears relayActive when the application closes the port.
        if (!record.relayActive.load())
            return;
        if (ringPut(inQueue, buffer[i]) != RING_OK)
            break; // cannot happen: room was measured and only this thread writes
    }
    ringSetDataReady(inQueue, true);
    if (record.readEvent)
        record.readEvent->set();
}

// While the application does not read, the device is held back by this side and its
// silence proves nothing; what its system still acknowledges (the keep-alive) shows
// that it lives. A device that died acknowledges nothing and is found silent in time.
void DeviceSocket::noteAcknowledgement() {
    int since = millisecondsSincePeerAck();
    if (since < 0 || peerClosed)
        return;
    PortRecord& record = port(portSlot);
    uint32_t acknowledged = platform::getTickCount() - uint32_t(since);
    uint32_t last = record.lastRxTick.load();
    if (int32_t(acknowledged - last) > 0)
        record.lastRxTick.compare_exchange_strong(last, acknowledged);
}

void DeviceSocket::scheduleRetry() {
    if (retryScheduled)
        return;
    retryScheduled = true;
    // The timer belongs to retryContext, so it dies with the socket.
    QTimer::singleShot(FULL_QUEUE_RETRY_MS, Qt::PreciseTimer, retryContext.get(), [this] {
        retryScheduled = false;
        OnReceive(0);
    });
}
