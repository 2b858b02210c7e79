#include "procedures/open_port.h"

#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_monitor.h"
#include "config/port_state.h"
#include "device/device_socket.h"
#include "device/greeting.h"
#include "device/port_connection.h"
#include "device/wire_frames.h"
#include "driverlink/driver_link.h"
#include "platform/auto_event.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "rings/ring_queue.h"

#include <algorithm>
#include <iterator>

using namespace platform;

namespace {

void publishOpenValues(int slot, PortRecord& record) {
    HKEY key = nullptr;
    if (!openPortKey(slot, &key))
        return;
    regSetDword(key, "MaximumBaud", record.maxSpeed.load());
    regSetDword(key, "IsWin16Port", uint32_t(record.isWin16Port.load()));
    if (record.isWin16Port.load())
        regSetDword(key, "IsWin16PortConnected", 1);
    RegCloseKey(key);
}

// The driver may be reading the inQueue while the answer is written, so the answer is
// only appended: the reader's index is the reader's. The driver emptied the queue when
// it asked, and skips whatever lies before the answer.
constexpr int REPORT_ROOM_TRIES = 200; // 1 ms each

// Never half an answer. A queue without room has a reader that is behind: a driver
// waiting for this answer reads on, and makes room soon. One that nobody reads (the
// 16-bit request opens without an application) needs no answer.
bool waitForReportRoom(PortRecord& record, RingQueue* inQueue, int size) {
    for (int tries = 0; ringFreeSpace(inQueue) < size; ++tries) {
        if (tries == REPORT_ROOM_TRIES)
            return false;
        if (record.readEvent)
            record.readEvent->set();
        sleepMs(1);
    }
    return true;
}

// The one answer the driver gets per open request: `OPEN_RESULT`.
void reportToDriver(PortRecord& record, bool opened) {
    RingQueue* inQueue = record.inQueue.load();
    if (!inQueue)
        return;
    auto frame = openResultFrame(opened ? 1 : 0);
    if (!waitForReportRoom(record, inQueue, int(frame.size()))) {
        debugTrace("Open result not written: the in-queue stays full\r\n");
        return;
    }
    for (uint8_t byte : frame)
        ringPut(inQueue, byte);
    ringSetDataReady(inQueue, true);
    if (record.readEvent)
        record.readEvent->set();
}

// The open procedure of a port is waiting (UI thread): a second request is refused
// without touching it.
bool openRunning[PORT_SLOTS] = {};
void forgetOpensRunning() {
    std::fill(std::begin(openRunning), std::end(openRunning), false);
}
const bool opensRunningReset = (onContextReset(forgetOpensRunning), true);

enum class OpenOutcome { Identified, Failed, TakenOver };

// A procedure taking the port over leaves it as it left it; the open's own connection,
// if it is still the port's, goes.
OpenOutcome givenUp(int slot, uint32_t serial) {
    dropConnectionOf(port(slot), serial);
    return OpenOutcome::TakenOver;
}

OpenOutcome fail(int slot, int reason) {
    dropConnection(port(slot));
    movePortState(slot, PORT_CONNECTING, PORT_DISCONNECTED, reason);
    return OpenOutcome::Failed;
}

// A failed creation keeps its socket until the next procedure for the port drops it.
OpenOutcome failKeepingSocket(int slot, bool quiet, const char* text) {
    if (!quiet)
        messageBox(BoxOwner::Window, text, "Error", MB_ICONERROR);
    movePortState(slot, PORT_CONNECTING, PORT_DISCONNECTED, REASON_INTERNAL);
    return OpenOutcome::Failed;
}

// The open waits with the UI alive: a Stop, a 16-bit close or the end of the manager
// may take the port over meanwhile. Then the open gives up and leaves the port as they
// left it.
bool takenOver(PortRecord& record, DeviceSocket& socket) {
    return connectionOf(record) != &socket || record.state.load() != PORT_CONNECTING;
}

OpenOutcome connectDevice(int slot, DeviceSocket& socket, uint32_t serial) {
    PortRecord& record = port(slot);
    if (!connectToCurrentHost(socket, record) &&
        socket.GetLastError() != AsyncSocket::WSAEWOULDBLOCK)
        return fail(slot, REASON_IP_NOT_FOUND);
    bool connected = waitForConnect(socket, record);
    if (takenOver(record, socket))
        return givenUp(slot, serial);
    if (!connected)
        return fail(slot, socket.connectError.load() == AsyncSocket::WSAECONNREFUSED
                              ? REASON_PORT_DISABLED
                              : REASON_IP_NOT_FOUND);
    return OpenOutcome::Identified;
}

// How long a new session waits for the port's last one to end on its server.
constexpr uint32_t WIND_DOWN_WAIT_MS = 1500;

// A server whose session is the connection (RFC 2217, raw TCP) often serves one at a
// time and turns the next away while the last is still open: the new session waits,
// pumping, until the port's closing connections have ended. A Vorlix device tells its
// sessions apart by OPEN and CLOSE, so its ports never wait. False when a procedure took
// the port over meanwhile.
bool waitForLastSession(PortRecord& record) {
    if (protocolFor(currentHost(record).address) == ProtocolKind::Vorlix)
        return true;
    uint32_t deadline = getTickCount() + WIND_DOWN_WAIT_MS;
    while (windingDown(record) && !pastDeadline(deadline)) {
        pumpOrSleep();
        if (record.state.load() != PORT_CONNECTING)
            return false;
    }
    return true;
}

// Connect, identify, publish: Identified, Failed (state and reason set) or TakenOver.
OpenOutcome connectAndIdentify(int slot, bool quiet) {
    PortRecord& record = port(slot);
    if (!waitForLastSession(record))
        return OpenOutcome::TakenOver;
    context.socketsReady.store(1); // the socket layer needs no start-up here
    DeviceSocket* socket = newConnection(slot);
    if (!socket)
        return failKeepingSocket(slot, quiet,
                                 "Can't allocate any memory for new socket.\nCheck System Status.");
    uint32_t serial = connectionSerialOf(record);
    if (!socket->Create(DEVICE_SOCKET_MASK))
        return failKeepingSocket(slot, quiet, "Can't Create Socket.\nCheck System Status.");
    OpenOutcome connected = connectDevice(slot, *socket, serial);
    if (connected != OpenOutcome::Identified)
        return connected;
    GreetingOutcome greeting = greetDevice(*socket, record, false);
    if (takenOver(record, *socket))
        return givenUp(slot, serial);
    if (greeting != GreetingOutcome::Answered)
        return fail(slot, REASON_PORT_DISABLED);
    publishOpenValues(slot, record);
    return OpenOutcome::Identified;
}

// The port goes Connected with relayActive set, and OPEN goes to the device, in one
// step under the relay lock: the relay thread then neither drops the application's
// first packets (MCR, SREQ) for want of relayActive nor sends DATA ahead of OPEN.
// OPEN goes through the pending frame, so what the socket does not take at once still
// goes out before anything else.
void goConnected(int slot) {
    PortRecord& record = port(slot);
    MutexLock lock(record.relayLock);
    debugTrace("VXD_WRITE_SOCKET : [OPEN]\r\n");
    sendOpen(record);
    record.relayActive.store(1);
    movePortState(slot, PORT_CONNECTING, PORT_CONNECTED, REASON_OK);
}

} // namespace

int openPort(int slot, bool quiet) {
    PortRecord& record = port(slot);
    int state = record.state.load();
    // Asked for while Ready, but a Stop may have come first.
    if (openRunning[slot] || (state != PORT_READY && state != PORT_DISCONNECTED) ||
        movePortState(slot, state, PORT_CONNECTING) != StateMove::Moved)
        return 0;
    openRunning[slot] = true;
    enterService();
    sendMessage(WM_REFRESH_LIST, 0, 0);
    record.lastRxTick.store(getTickCount());
    OpenOutcome outcome = connectAndIdentify(slot, quiet);
    bool opened = outcome == OpenOutcome::Identified;
    if (opened) {
        goConnected(slot);
        wakeRelay();
        showOpenedInMonitor(record);
    } else
        record.relayActive.store(0);
    reportToDriver(record, opened);
    if (DeviceSocket* socket = connectionOf(record); opened && socket)
        socket->passGreetingPackets();
    leaveService();
    sendMessage(WM_REFRESH_LIST, 0, 0);
    openRunning[slot] = false;
    return opened ? 1 : 0;
}
