#include "device/open_port.h"

#include "config/port_key.h"
#include "config/port_table.h"
#include "config/service_state.h"
#include "device/device_socket.h"
#include "device/wire_frames.h"
#include "driverlink/ring_queue.h"
#include "platform/auto_event.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"

#include <array>
#include <cstdio>
#include <mutex>
#include <new>
#include <span>

using namespace platform;

namespace {

constexpr uint32_t CONNECT_WAIT_MS = 3000;
constexpr uint32_t REPLY_WAIT_MS = 10000;
constexpr int PEEK_SIZE = 10240;

// Slots whose OpenPort is waiting; a nested request for one of them is refused.
std::array<bool, PORT_SLOTS> openRunning{};

bool pastDeadline(uint32_t deadline) {
    return int32_t(getTickCount() - deadline) > 0;
}

void pumpOrSleep() {
    if (!pumpOneMessage())
        sleepMs(1);
}

void drain(DeviceSocket& socket, bool pump) {
    static uint8_t discard[PEEK_SIZE];
    for (;;) {
        if (pump)
            pumpOrSleep();
        if (socket.Receive(discard, PEEK_SIZE) != PEEK_SIZE)
            return;
    }
}

// Takes the reply out of the connection with one read and keeps MAXSPD and INFO.
void takeReply(DeviceSocket& socket, PortRecord& record) {
    static uint8_t pending[PEEK_SIZE];
    int count = socket.Receive(pending, PEEK_SIZE);
    std::span<const uint8_t> received(pending, size_t(count > 0 ? count : 0));
    IdentReplySearch found = findIdentReply(received);
    if (found.status != IdentReplyStatus::Complete)
        return;
    DeviceIdentity identity = readIdentReply(received.subspan(found.offset));
    record.maxSpeed.store(identity.maxSpeed);
    for (int i = 0; i < 4; ++i)
        record.deviceInfo[i] = identity.info[i];
    debugTrace("Identification OK, MAXSPD %d, INFO %02X %02X %02X %02X\r\n", record.maxSpeed.load(),
               record.deviceInfo[0], record.deviceInfo[1], record.deviceInfo[2],
               record.deviceInfo[3]);
}

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

// The one answer the driver gets per open request: the inQueue is cleared and holds
// nothing but `OPEN_RESULT`.
void reportToDriver(PortRecord& record, bool opened) {
    RingQueue* inQueue = record.inQueue.load();
    if (!inQueue)
        return;
    ringReset(inQueue);
    for (uint8_t byte : openResultFrame(opened ? 1 : 0))
        ringPut(inQueue, byte);
    ringSetDataReady(inQueue, true);
    if (record.readEvent)
        record.readEvent->set();
}

void fail(PortRecord& record, int reason) {
    dropConnection(record);
    record.state.store(PORT_DISCONNECTED);
    record.reason.store(reason);
}

int failWithoutDrop(PortRecord& record, int reason) {
    record.state.store(PORT_DISCONNECTED);
    record.reason.store(reason);
    return 0;
}

enum class OpenOutcome { Identified, Failed, TakenOver };

// The open waits with the UI alive: a Stop, a 16-bit close or the end of the manager
// may take the port over meanwhile. Then the open gives up and leaves the port as they
// left it.
bool takenOver(PortRecord& record, DeviceSocket& socket) {
    return record.socket.load() != &socket || record.state.load() != PORT_CONNECTING;
}

// Connect, identify, publish: Identified, Failed (state and reason set) or TakenOver.
OpenOutcome connectAndIdentify(int slot, PortRecord& record, bool quiet) {
    serviceState.socketsReady.store(1); // the socket layer needs no start-up here
    dropConnection(record);
    DeviceSocket* socket = new (std::nothrow) DeviceSocket(slot);
    if (!socket) {
        if (!quiet)
            messageBox(mainWindow(),
                       "Can't allocate any memory for new socket.\nCheck System Status.", "Error",
                       MB_ICONERROR);
        failWithoutDrop(record, REASON_INTERNAL);
        return OpenOutcome::Failed;
    }
    {
        std::lock_guard lock(record.relayLock);
        record.socket.store(socket);
    }
    if (!socket->Create(DEVICE_SOCKET_MASK)) {
        if (!quiet)
            messageBox(mainWindow(), "Can't Create Socket.\nCheck System Status.", "Error",
                       MB_ICONERROR);
        failWithoutDrop(record, REASON_INTERNAL);
        return OpenOutcome::Failed;
    }
    char address[sizeof record.curAddress];
    int tcpPort = 0;
    {
        std::lock_guard lock(record.hostLock);
        copyField(address, record.curAddress);
        tcpPort = record.curTcpPort;
    }
    if (!socket->Connect(address, uint16_t(tcpPort + 4000)) &&
        socket->GetLastError() != AsyncSocket::WSAEWOULDBLOCK) {
        fail(record, REASON_IP_NOT_FOUND);
        return OpenOutcome::Failed;
    }
    bool connected = waitForConnect(*socket, record);
    if (takenOver(record, *socket))
        return OpenOutcome::TakenOver;
    if (!connected) {
        fail(record, socket->connectError.load() == AsyncSocket::WSAECONNREFUSED
                         ? REASON_PORT_DISABLED
                         : REASON_IP_NOT_FOUND);
        return OpenOutcome::Failed;
    }
    IdentOutcome identity = identifyDevice(*socket, record, false);
    if (takenOver(record, *socket))
        return OpenOutcome::TakenOver;
    if (identity != IdentOutcome::Identified) {
        fail(record, REASON_PORT_DISABLED);
        return OpenOutcome::Failed;
    }
    publishOpenValues(slot, record);
    return OpenOutcome::Identified;
}

// The port goes Connected with relayActive set, and OPEN goes to the device, in one
// step under the relay lock: the relay thread then neither drops the application's
// first packets (MCR, SREQ) for want of relayActive nor sends DATA ahead of OPEN.
// OPEN goes through the pending frame, so what the socket does not take at once still
// goes out before anything else.
void goConnected(PortRecord& record) {
    std::lock_guard lock(record.relayLock);
    debugTrace("VXD_WRITE_SOCKET : [OPEN]\r\n");
    auto frame = openFrame();
    record.txPending.store(0);
    sendPortFrame(record, frame.data(), int(frame.size()));
    record.relayActive.store(1);
    record.reason.store(REASON_OK);
    record.state.store(PORT_CONNECTED);
}

} // namespace

bool waitForConnect(DeviceSocket& socket, PortRecord& record) {
    uint32_t deadline = getTickCount() + CONNECT_WAIT_MS;
    int state = record.state.load();
    for (;;) {
        pumpOrSleep();
        if (record.socket.load() != &socket || record.state.load() != state)
            return false;
        if (socket.connected.load())
            return true;
        if (pastDeadline(deadline))
            return false;
    }
}

IdentOutcome identifyDevice(DeviceSocket& socket, PortRecord& record, bool pumpWhileDraining) {
    drain(socket, pumpWhileDraining);
    auto ident = identFrame();
    if (socket.Send(ident.data(), int(ident.size()), 0) < int(ident.size()))
        return IdentOutcome::SendFailed;
    static uint8_t pending[PEEK_SIZE];
    uint32_t deadline = getTickCount() + REPLY_WAIT_MS;
    int state = record.state.load();
    while (!pastDeadline(deadline)) {
        pumpOrSleep();
        if (record.socket.load() != &socket || record.state.load() != state)
            return IdentOutcome::Abandoned;
        int count = socket.Receive(pending, PEEK_SIZE, AsyncSocket::MSG_PEEK);
        if (count == AsyncSocket::SOCKET_ERROR) {
            if (socket.GetLastError() == AsyncSocket::WSAEWOULDBLOCK)
                continue;
            return IdentOutcome::ReceiveFailed;
        }
        if (findIdentReply({pending, size_t(count)}).status == IdentReplyStatus::Complete) {
            takeReply(socket, record);
            return IdentOutcome::Identified;
        }
    }
    return IdentOutcome::TimedOut;
}

int openPort(int slot, bool quiet) {
    PortRecord& record = port(slot);
    int state = record.state.load();
    // Asked for while Ready, but a Stop may have come first.
    if (openRunning[size_t(slot)] || (state != PORT_READY && state != PORT_DISCONNECTED))
        return 0;
    openRunning[size_t(slot)] = true;
    enterService();
    record.state.store(PORT_CONNECTING);
    sendMessage(WM_REFRESH_LIST, 0, 0);
    record.lastRxTick.store(getTickCount());
    OpenOutcome outcome = connectAndIdentify(slot, record, quiet);
    bool opened = outcome == OpenOutcome::Identified;
    if (opened) {
        goConnected(record);
    } else {
        if (outcome == OpenOutcome::TakenOver)
            dropConnection(record);
        record.relayActive.store(0);
    }
    reportToDriver(record, opened);
    leaveService();
    sendMessage(WM_REFRESH_LIST, 0, 0);
    openRunning[size_t(slot)] = false;
    return opened ? 1 : 0;
}
