#include "device/device_socket.h"

#include "config/manager_context.h"
#include "config/port_monitor.h"
#include "device/port_connection.h"
#include "platform/auto_event.h"
#include "platform/driver_device.h"
#include "platform/event_watch.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "rings/ring_queue.h"

#include <algorithm>
#include <utility>
#include <vector>

using platform::debugTrace;

namespace {
// One read takes at most what the inQueue can hold.
constexpr int RECEIVE_CHUNK = RING_SIZE;
// A server that may stay silent is found dead within about the silence rule's 120 s.
constexpr int TCP_KEEPALIVE_IDLE_S = 60;
constexpr int TCP_KEEPALIVE_INTERVAL_S = 10;
constexpr int TCP_KEEPALIVE_COUNT = 6;
} // namespace

DeviceSocket::DeviceSocket(int portSlot, std::shared_ptr<DeviceProtocol> protocol)
    : portSlot(portSlot), protocol_(std::move(protocol)) {}

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
        if (protocol_->silentWhileAlive())
            enableKeepAlive(TCP_KEEPALIVE_IDLE_S, TCP_KEEPALIVE_INTERVAL_S, TCP_KEEPALIVE_COUNT);
        connected.store(1);
        debugTrace("Socket Connected\r\n");
        port(portSlot).lastRxTick.store(platform::getTickCount());
        connectError.store(0);
    }
    AsyncSocket::OnConnect(errorCode);
}

void DeviceSocket::OnClose(int errorCode) {
    peerClosed = true;
    if (!retired.load())
        markConnectionLost(port(portSlot));
    AsyncSocket::OnClose(errorCode);
}

void DeviceSocket::OnSend(int errorCode) {
    sendReady.store(1);
    AsyncSocket::OnSend(errorCode);
}

void DeviceSocket::OnReceive(int errorCode) {
    PortRecord& record = port(portSlot);
    int state = record.state.load();
    if (retired.load())
        remoReadData(nullptr); // the session it served is over
    else if (state == PORT_CONNECTED)
        remoReadData(record.inQueue.load());
    else if (state != PORT_CONNECTING && state != PORT_RECONNECTING && state != PORT_SWITCHING)
        remoReadData(nullptr); // nobody waits for these bytes (the procedures that do, peek)
    AsyncSocket::OnReceive(errorCode);
}

// Moves what the device sent into inQueue (null: reads and drops it). Reads only as much
// as the inQueue can take: what does not fit stays in the connection (TCP holds the
// device back) and is read when the driver has made room (inQueueHasRoom), instead of
// being thrown away.
//
// Only whole packets go in, cut where the driver's reader cuts them. The protocol holds
// the beginning of a packet whose rest has not arrived, with room kept for it, and
// passes it on with its rest; a connection that ends in the middle of one takes that
// beginning with it, so the driver never reads the next connection's bytes as the cut
// packet's rest.
void DeviceSocket::remoReadData(RingQueue* inQueue) {
    PortRecord& record = port(portSlot);
    int wanted = protocol_->receiveWanted(inQueue ? ringFreeSpace(inQueue) : RECEIVE_CHUNK);
    if (wanted <= 0) {
        // The driver signals room it makes after it sees the note; the note's own look
        // catches room made before.
        wanted = protocol_->receiveWanted(ringNoteRoomWanted(inQueue));
        if (wanted <= 0) {
            // No read now, so no further notification comes until the room signal.
            waitingForRoom_.store(true);
            if (record.roomWatch)
                record.roomWatch->arm(true);
            return;
        }
    }
    uint8_t received[RECEIVE_CHUNK];
    int count = Receive(received, std::min(wanted, RECEIVE_CHUNK));
    if (count <= 0)
        return;
    // Only what the device actually sent is a sign of life.
    if (!retired.load())
        record.lastRxTick.store(platform::getTickCount());
    if (count == 3)
        debugTrace("ACK");
    uint8_t packets[PACKET_BUFFER_SIZE + RECEIVE_CHUNK];
    int whole = protocol_->toDriverPackets(received, count, packets);
    if (std::vector<uint8_t> answers = protocol_->takeAnswers();
        !answers.empty() && !retired.load())
        sendAnswers(record, this, answers);
    if (protocol_->connectionUnusable() && !retired.load())
        markConnectionLost(record);
    // The relay thread clears relayActive, and retires the connection, when the
    // application closes the port.
    if (!inQueue || retired.load() || !record.relayActive.load() || whole == 0)
        return;
    passToDriver(inQueue, packets, whole); // room was measured, only this thread writes
}

void DeviceSocket::passToDriver(RingQueue* inQueue, const uint8_t* packets, int length) {
    PortRecord& record = port(portSlot);
    int relayed = ringWrite(inQueue, packets, length);
    ringSetDataReady(inQueue, true);
    platform::signalDriverEvent(record.readEvent);
    // An open monitor sees exactly what went to the driver, in one piece.
    if (PortMonitor* monitor = portMonitor(record); monitor && relayed > 0)
        monitor->feedMonitor(packets, relayed);
}

void DeviceSocket::passGreetingPackets() {
    std::vector<uint8_t> packets = protocol_->takeGreetingPackets();
    PortRecord& record = port(portSlot);
    RingQueue* inQueue = record.inQueue.load();
    if (packets.empty() || !inQueue || retired.load() || !record.relayActive.load())
        return;
    if (ringFreeSpace(inQueue) < int(packets.size())) {
        platform::debugTrace("The server's first line states dropped: the in-queue is full\r\n");
        return;
    }
    passToDriver(inQueue, packets.data(), int(packets.size()));
}

void DeviceSocket::roomInQueue() {
    if (!waitingForRoom_.load())
        return;
    waitingForRoom_.store(false);
    OnReceive(0);
}

void inQueueHasRoom(int slot) {
    if (platform::EventWatch* watch = port(slot).roomWatch)
        watch->arm(false); // until the receive path waits for room again
    if (DeviceSocket* socket = connectionOf(port(slot)))
        socket->roomInQueue();
}
