#include "device/identification.h"

#include "config/port_table.h"
#include "device/device_socket.h"
#include "device/port_connection.h"
#include "device/wire_frames.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"

#include <span>
#include <vector>

using namespace platform;

namespace {

constexpr int PEEK_SIZE = int(IDENT_SEARCH_LIMIT);

// The wait is over for this socket once the port no longer uses it or has moved on.
bool abandoned(const PortRecord& record, const DeviceSocket& socket, int state) {
    return connectionOf(record) != &socket || record.state.load() != state;
}

// False when the port gave the socket up during a pump (it may be gone then).
bool drain(DeviceSocket& socket, const PortRecord& record, bool pump,
           std::vector<uint8_t>& buffer) {
    int state = record.state.load();
    for (;;) {
        if (pump) {
            pumpOrSleep();
            if (abandoned(record, socket, state))
                return false;
        }
        if (socket.Receive(buffer.data(), PEEK_SIZE) != PEEK_SIZE)
            return true;
    }
}

// Takes the reply out of the connection with one read and keeps MAXSPD and INFO.
void takeReply(DeviceSocket& socket, PortRecord& record, std::vector<uint8_t>& buffer) {
    int count = socket.Receive(buffer.data(), PEEK_SIZE);
    std::span<const uint8_t> received(buffer.data(), size_t(count > 0 ? count : 0));
    IdentReplySearch found = findIdentReply(received);
    if (found.status != IdentReplyStatus::Complete)
        return;
    DeviceIdentity identity = readIdentReply(received.subspan(found.offset));
    record.maxSpeed.store(identity.maxSpeed);
    for (int i = 0; i < 4; ++i)
        record.deviceInfo[i] = identity.info[i];
    debugTrace("Identification OK, MAXSPD %d, INFO %02X %02X %02X %02X\r\n", identity.maxSpeed,
               identity.info[0], identity.info[1], identity.info[2], identity.info[3]);
}

} // namespace

bool pastDeadline(uint32_t deadline) {
    return int32_t(getTickCount() - deadline) > 0;
}

void pumpOrSleep() {
    if (!pumpOneMessage())
        sleepMs(1);
}

bool waitForConnect(DeviceSocket& socket, PortRecord& record) {
    uint32_t deadline = getTickCount() + CONNECT_WAIT_MS;
    int state = record.state.load();
    for (;;) {
        pumpOrSleep();
        if (abandoned(record, socket, state))
            return false;
        if (socket.connected.load())
            return true;
        // A name that does not resolve (the lookup runs beside this wait) is known
        // not to connect; a refusal waits for the deadline, as it always has.
        if (socket.connectError.load() == AsyncSocket::WSAHOST_NOT_FOUND || pastDeadline(deadline))
            return false;
    }
}

IdentOutcome sendIdent(DeviceSocket& socket, PortRecord& record, bool pumpWhileDraining) {
    std::vector<uint8_t> buffer(PEEK_SIZE);
    if (!drain(socket, record, pumpWhileDraining, buffer))
        return IdentOutcome::Abandoned;
    auto ident = identFrame();
    if (socket.Send(ident.data(), int(ident.size()), 0) < int(ident.size()))
        return IdentOutcome::SendFailed;
    return IdentOutcome::Identified;
}

// Looks without asking for another read notification: the bytes of half a reply would
// otherwise wake the wait at every turn, and it would never sleep. A connection the
// device has closed (or reset) ends the wait at once, unless the reply is whole: what
// is pending then is all that will ever come. The close is looked at before the bytes,
// so that bytes that came just ahead of it are among those looked at.
ReplyCheck checkReply(DeviceSocket& socket, PortRecord& record) {
    std::vector<uint8_t> buffer(PEEK_SIZE);
    bool closed = socket.peerHasClosed();
    int count = socket.Peek(buffer.data(), PEEK_SIZE);
    if (count == AsyncSocket::SOCKET_ERROR && socket.GetLastError() != AsyncSocket::WSAEWOULDBLOCK)
        return ReplyCheck::Failed;
    std::span<const uint8_t> pending(buffer.data(), size_t(count > 0 ? count : 0));
    if (findIdentReply(pending).status == IdentReplyStatus::Complete) {
        takeReply(socket, record, buffer);
        return ReplyCheck::Complete;
    }
    return closed || count == 0 ? ReplyCheck::Failed : ReplyCheck::Waiting;
}

IdentOutcome identifyDevice(DeviceSocket& socket, PortRecord& record, bool pumpWhileDraining) {
    int state = record.state.load();
    IdentOutcome sent = sendIdent(socket, record, pumpWhileDraining);
    if (sent != IdentOutcome::Identified)
        return sent;
    uint32_t deadline = getTickCount() + REPLY_WAIT_MS;
    while (!pastDeadline(deadline)) {
        pumpOrSleep();
        if (abandoned(record, socket, state))
            return IdentOutcome::Abandoned;
        ReplyCheck reply = checkReply(socket, record);
        if (reply == ReplyCheck::Complete)
            return IdentOutcome::Identified;
        if (reply == ReplyCheck::Failed)
            return IdentOutcome::ReceiveFailed;
    }
    return IdentOutcome::TimedOut;
}
