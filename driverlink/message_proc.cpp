#include "driverlink/message_proc.h"

#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_monitor.h"
#include "config/port_state.h"
#include "device/device_protocol.h"
#include "device/device_socket.h"
#include "device/port_connection.h"
#include "platform/auto_event.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "rings/ring_queue.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace platform;

namespace {

constexpr uint32_t IDLE_WAIT_MS = 1000;
// While a frame waits for room in the socket, look again soon instead of in a second.
constexpr uint32_t PENDING_WAIT_MS = 5;
// While the server holds the application's data back, look for its go-ahead this often.
constexpr uint32_t HELD_LOOK_MS = 5;
constexpr int32_t SILENCE_MS = 120000;
// After asking for the open procedure, a Ready port's queue is left alone this long or
// until the port leaves Ready: the packets behind the OPEN (the driver raises DTR and
// RTS at once) belong to the connection being made, not to the open watch.
constexpr uint32_t OPEN_HOLD_MS = 1000;

// What the relay keeps of a port of its own (relay thread).
struct RelaySlot {
    // The open procedure was asked for at openAskedAt: the port's queue is left alone for
    // a while.
    bool openAsked = false;
    uint32_t openAskedAt = 0;
    // A DATA packet (from its command byte on) the server asked to wait; the packets
    // behind it stay in the outQueue.
    std::vector<uint8_t> heldData;
};

// Thread-local state of the relay thread.
struct Relay {
    RelaySlot slots[PORT_SLOTS];
    uint8_t packet[PACKET_BUFFER_SIZE];
    bool more = false;    // a packet was taken: more may follow at once
    bool blocked = false; // a frame waits for room in its socket
    uint32_t wait = 0;    // until a closing connection needs another look
    // Connections whose application closed the port, winding down (their CLOSE, then
    // the grace) while the port serves its next session.
    std::vector<ClosingConnection> closing;
};

// What a port's pass leaves to be done once its lock is let go: waits and store
// writes must not hold the UI thread up.
struct AfterUnlock {
    enum Kind { Nothing, ForgetSpeed, DeleteMaximumBaud } kind = Nothing;
};

void deleteMaximumBaud(int slot) {
    deletePortValues(slot, {"MaximumBaud"});
}

// The frames in txFrame go out before anything else is taken from the outQueue. While
// they wait, no new packet is taken: the device gets the frames whole and in order.
bool retryPending(PortRecord& record, Relay& relay) REQUIRES(record.relayLock) {
    if (!framesPending(record))
        return true;
    if (!record.relayActive.load() || !connectionOf(record)) {
        dropPendingFrame(record);
        return false;
    }
    sendPendingFrame(record);
    bool sent = !framesPending(record);
    relay.blocked = relay.blocked || !sent;
    return sent;
}

void relaySreq(PortRecord& record, const Relay& relay) REQUIRES(record.relayLock) {
    if (!record.relayActive.load())
        return;
    debugTrace("VXD_WRITE_SOCKET : [SREQ]\r\n");
    queueSettings(record, relay.packet + 1);
}

void relayData(PortRecord& record, const Relay& relay) REQUIRES(record.relayLock) {
    if (!record.relayActive.load())
        return;
    int length = relay.packet[1] * 256 + relay.packet[2];
    if (length > int(MAX_DATA_LENGTH)) {
        debugTrace("Invalid DATA Size\r\n");
        return;
    }
    if (!queueData(record, relay.packet + 3, length) || length == 0)
        return;
    if (PortMonitor* monitor = portMonitor(record))
        monitor->feedTx(relay.packet + 3, length);
}

void relayMcr(PortRecord& record, const Relay& relay) REQUIRES(record.relayLock) {
    if (!record.relayActive.load())
        return;
    uint8_t value = relay.packet[1];
    debugTrace("VXD_WRITE_SOCKET : [MCR] is %02X\r\n", value);
    queueModemControl(record, value);
    record.lastMcr.store(value);
    if (PortMonitor* monitor = portMonitor(record))
        monitor->showModemControl();
}

// A kind of server that cannot carry these is told nothing; the trace says so.
void relayPurge(PortRecord& record, const Relay& relay) REQUIRES(record.relayLock) {
    if (!record.relayActive.load())
        return;
    uint8_t which = relay.packet[1] & (PURGE_RECEIVE | PURGE_TRANSMIT);
    debugTrace("VXD_WRITE_SOCKET : [PURGE] %s%s\r\n", (which & PURGE_RECEIVE) ? "receive " : "",
               (which & PURGE_TRANSMIT) ? "transmit" : "");
    queuePurge(record, which);
}

void relayBreak(PortRecord& record, const Relay& relay) REQUIRES(record.relayLock) {
    if (!record.relayActive.load())
        return;
    debugTrace("VXD_WRITE_SOCKET : [BREAK] %s\r\n", relay.packet[1] ? "on" : "off");
    queueBreak(record, relay.packet[1] != 0);
}

// The application closed a Connected port: CLOSE to the device, after every frame of
// the session. The connection then winds down apart from the port (its grace runs while
// the relay serves the ports), and the port is Ready for its next session at once; the
// store forgets the port's speed once the lock is let go.
AfterUnlock relayClose(int slot, PortRecord& record, Relay& relay) REQUIRES(record.relayLock) {
    if (record.isWin16Port.load()) {
        postMessage(WM_REFRESH_LIST, 0, 0);
        return {};
    }
    record.relayActive.store(0);
    debugTrace("VXD_WRITE_SOCKET : [CLOSE]\r\n");
    queueClose(record);
    if (std::optional<ClosingConnection> closing = ClosingConnection::take(record, getTickCount()))
        relay.closing.push_back(std::move(*closing));
    raiseHighestPortIndex();
    movePortState(slot, PORT_CONNECTED, PORT_READY);
    postMessage(WM_REFRESH_LIST, 0, 0);
    return {AfterUnlock::ForgetSpeed};
}

void windDownClosing(Relay& relay) {
    for (ClosingConnection& closing : takeHandedOver())
        relay.closing.push_back(std::move(closing));
    uint32_t now = getTickCount();
    std::erase_if(relay.closing,
                  [&](ClosingConnection& closing) { return closing.windDown(now, relay.wait); });
}

// While the application does not read, the device is held back (the inQueue is full,
// or has no room for the rest of a frame, and the receive path waits for room) and its
// silence proves nothing: what its system acknowledges (the keep-alive) shows that it
// lives. A device that died acknowledges nothing and is found silent in time; one that
// closed the connection proves nothing.
bool heldBackButAlive(PortRecord& record) REQUIRES(record.relayLock) {
    RingQueue* inQueue = record.inQueue.load();
    DeviceSocket* socket = connectionOf(record);
    if (!inQueue || !socket || socket->peerClosed.load())
        return false;
    if (ringFreeSpace(inQueue) != 0 && !socket->waitingForRoom())
        return false;
    int since = socket->millisecondsSincePeerAck();
    if (since < 0 || since >= SILENCE_MS)
        return false;
    record.lastRxTick.store(getTickCount() - uint32_t(since));
    return true;
}

// A device that has closed its side loses whatever is sent now: the application's
// packets stay in the outQueue for the connection the reconnection makes.
bool deviceStillListening(PortRecord& record) REQUIRES(record.relayLock) {
    DeviceSocket* socket = connectionOf(record);
    RingQueue* outQueue = record.outQueue.load();
    if (!socket || !outQueue || !ringDataReady(outQueue) || !socket->peerHasClosed())
        return true;
    markConnectionLost(record);
    return false;
}

bool deviceSilent(PortRecord& record) REQUIRES(record.relayLock) {
    DeviceSocket* socket = connectionOf(record);
    if (socket && socket->protocol().silentWhileAlive())
        return false;
    int32_t silence = int32_t(getTickCount() - record.lastRxTick.load());
    if (silence < SILENCE_MS || heldBackButAlive(record))
        return false;
    if (socket && socket->protocol().acknowledgementIsLife() && !socket->lost.load() &&
        !socket->peerClosed.load()) {
        int since = socket->millisecondsSincePeerAck();
        return since < 0 || since >= SILENCE_MS;
    }
    return true;
}

// The driver stops reading the application when the outQueue has no room for what it
// has; a nudge on its read event tells it at once that there is room again, instead of
// at its next look.
bool takePacket(PortRecord& record, Relay& relay) REQUIRES(record.relayLock) {
    RingQueue* outQueue = record.outQueue.load();
    if (!takeDriverPacket(outQueue, relay.packet))
        return false;
    if (ringTakeRoomWanted(outQueue) && record.readEvent)
        record.readEvent->set();
    return true;
}

// While the server has asked for the application's data to wait, the relay takes no
// packet past the next DATA: the application is held back through the outQueue, as by
// a line's flow control, and everything keeps its order. The application's close ends
// the wait: its last data goes out, and the session ends.
bool serverHoldsData(PortRecord& record) REQUIRES(record.relayLock) {
    DeviceSocket* socket = connectionOf(record);
    RingQueue* outQueue = record.outQueue.load();
    return socket && socket->protocol().holdsData() && !(outQueue && ringCloseNotice(outQueue));
}

// The held DATA packet goes first once the server lets it: false while it waits.
bool releaseHeldData(PortRecord& record, Relay& relay, RelaySlot& marks)
    REQUIRES(record.relayLock) {
    if (marks.heldData.empty())
        return true;
    if (serverHoldsData(record) || !roomForRequest(record)) {
        relay.wait = std::min(relay.wait, HELD_LOOK_MS);
        return false;
    }
    std::copy(marks.heldData.begin(), marks.heldData.end(), relay.packet);
    marks.heldData.clear();
    debugTrace("VXD_WRITE_SOCKET : the server takes data again\r\n");
    relayData(record, relay);
    relay.more = true;
    return true;
}

void holdData(Relay& relay, RelaySlot& marks) {
    int length = relay.packet[1] * 256 + relay.packet[2];
    marks.heldData.assign(relay.packet, relay.packet + 3 + std::min(length, int(MAX_DATA_LENGTH)));
    debugTrace("VXD_WRITE_SOCKET : the server asked the data to wait\r\n");
    relay.wait = std::min(relay.wait, HELD_LOOK_MS);
}

AfterUnlock connectedPass(int slot, PortRecord& record, Relay& relay) REQUIRES(record.relayLock) {
    if (deviceSilent(record)) {
        debugTrace("MessageProc: Remote Down. Call ACR Mode.\r\n");
        // Unless the UI thread moved the port (a switch, a 16-bit close) since the pass
        // saw it Connected: that move's procedure owns it now.
        if (movePortState(slot, PORT_CONNECTED, PORT_RECONNECTING) == StateMove::Moved &&
            !context.reconnectRunning.load())
            postMessage(WM_RECONNECT_PORT, 0, slot);
        return {};
    }
    if (!retryPending(record, relay) || !deviceStillListening(record) ||
        !releaseHeldData(record, relay, relay.slots[slot]))
        return {};
    // As many packets as there is room for their frames, sent together: fewer sends, and
    // the frames still reach the device whole and in the order the packets came.
    while (roomForRequest(record) && takePacket(record, relay)) {
        relay.more = true;
        switch (relay.packet[0]) {
        case CMD_SREQ:
            relaySreq(record, relay);
            break;
        case CMD_DATA:
            if (serverHoldsData(record)) {
                holdData(relay, relay.slots[slot]);
                sendPendingFrame(record);
                return {};
            }
            relayData(record, relay);
            break;
        case CMD_MCR:
            relayMcr(record, relay);
            break;
        case CMD_PURGE:
            relayPurge(record, relay);
            break;
        case CMD_BREAK:
            relayBreak(record, relay);
            break;
        case CMD_CLOSE:
            return relayClose(slot, record, relay);
        default:
            debugTrace("VXD_WRITE_SOCKET : Invalid Packet Detected.\r\n");
            break;
        }
    }
    sendPendingFrame(record);
    return {};
}

// The application closed a port that has no working connection: nothing goes to the
// device; the store forgets the port's speed once the lock is let go.
AfterUnlock applicationClosed(int slot, PortRecord& record) REQUIRES(record.relayLock) {
    record.relayActive.store(0);
    debugTrace("VXD_WRITE_SOCKET : [CLOSE] while not connected state\r\n");
    if (record.state.load() == PORT_COM_OPENED)
        postMessage(WM_PORT_DISCONNECTED, 0, slot);
    return {AfterUnlock::DeleteMaximumBaud};
}

// COM Opened: the connection is given up while the application holds the port; its
// packets are dropped one per pass and only its close counts.
AfterUnlock parkedWatch(int slot, PortRecord& record, Relay& relay) REQUIRES(record.relayLock) {
    dropPendingFrame(record);
    relay.slots[slot].heldData.clear();
    if (!takePacket(record, relay))
        return {};
    relay.more = true;
    return relay.packet[0] == CMD_CLOSE ? applicationClosed(slot, record) : AfterUnlock{};
}

// Reconnecting, Switching: what the application writes is held in the outQueue (the
// driver stops reading it when the queue is full) and goes to the device once the
// connection is back. Only when the driver gives notice that the application has
// closed the port are its packets dropped, up to its CLOSE.
AfterUnlock heldWatch(int slot, PortRecord& record, Relay& relay) REQUIRES(record.relayLock) {
    RingQueue* outQueue = record.outQueue.load();
    if (!outQueue || !ringCloseNotice(outQueue))
        return {};
    dropPendingFrame(record);
    relay.slots[slot].heldData.clear();
    while (takePacket(record, relay)) {
        relay.more = true;
        if (relay.packet[0] == CMD_CLOSE)
            return applicationClosed(slot, record);
    }
    return {};
}

// Ready, Disconnected: everything up to the application's open is dropped; what
// follows the OPEN stays for the connection that the open procedure makes.
void openWatch(int slot, PortRecord& record, Relay& relay) REQUIRES(record.relayLock) {
    RelaySlot& marks = relay.slots[slot];
    if (marks.openAsked && getTickCount() - marks.openAskedAt < OPEN_HOLD_MS)
        return;
    marks.openAsked = false;
    marks.heldData.clear(); // a session that ended without a connection to send it on
    while (takePacket(record, relay)) {
        if (relay.packet[0] == CMD_OPEN) {
            if (!record.isWin16Port.load()) {
                postMessage(WM_OPEN_PORT, 0, slot);
                marks.openAsked = true;
                marks.openAskedAt = getTickCount();
            }
            return;
        }
    }
}

AfterUnlock passByState(int slot, PortRecord& record, Relay& relay) REQUIRES(record.relayLock) {
    int state = record.state.load();
    if (state != PORT_READY && state != PORT_DISCONNECTED)
        relay.slots[slot].openAsked = false;
    switch (state) {
    case PORT_CONNECTED:
        return connectedPass(slot, record, relay);
    case PORT_RECONNECTING:
    case PORT_SWITCHING:
        return heldWatch(slot, record, relay);
    case PORT_COM_OPENED:
        return parkedWatch(slot, record, relay);
    case PORT_READY:
    case PORT_DISCONNECTED:
        openWatch(slot, record, relay);
        return {};
    default:
        return {};
    }
}

void relaySlot(int slot, Relay& relay) {
    PortRecord& record = port(slot);
    AfterUnlock after;
    {
        MutexLock lock(record.relayLock);
        after = passByState(slot, record, relay);
    }
    if (after.kind == AfterUnlock::Nothing)
        return;
    // Without the lock: the store may be busy with another writer for a while.
    deleteMaximumBaud(slot);
    if (after.kind == AfterUnlock::DeleteMaximumBaud)
        postMessage(WM_REFRESH_LIST, 0, 0);
}

Relay relayState;

// No relay thread runs when the context is reset.
void forgetRelayMarks() {
    for (RelaySlot& marks : relayState.slots)
        marks = RelaySlot{};
}
const bool relayMarksReset = (onContextReset(forgetRelayMarks), true);

} // namespace

uint32_t relayPass() {
    relayState.more = false;
    relayState.blocked = false;
    relayState.wait = IDLE_WAIT_MS;
    for (int slot = 0; slot <= int(context.highestPortIndex.load()) && slot < PORT_SLOTS; ++slot)
        relaySlot(slot, relayState);
    windDownClosing(relayState);
    if (relayState.more)
        return 0;
    return std::min(relayState.wait, relayState.blocked ? PENDING_WAIT_MS : IDLE_WAIT_MS);
}

void dropClosingConnections() {
    for (ClosingConnection& closing : takeHandedOver())
        closing.drop();
    for (ClosingConnection& closing : relayState.closing)
        closing.drop();
    relayState.closing.clear();
}

// The wait between passes is the writeEvent or a second, as the driver expects; it is
// skipped while packets keep coming, so a burst is not relayed one packet a second.
int messageProc(AutoEvent* writeEvent) {
    debugTrace("MessageProc: Inited\r\n");
    uint32_t wait = IDLE_WAIT_MS;
    for (;;) {
        if (wait > 0)
            writeEvent->wait(wait);
        if (!context.threadRunning.load())
            return 0; // what still winds down is dropped by whoever ended the thread
        wait = relayPass();
    }
}
