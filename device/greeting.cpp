#include "device/greeting.h"

#include "config/port_table.h"
#include "device/device_socket.h"
#include "device/port_connection.h"
#include "platform/tick.h"
#include "platform/ui_thread.h"

#include <algorithm>
#include <iterator>
#include <vector>

using namespace platform;

namespace {

// What the device sent before the greeting is read in blocks of this size and dropped.
constexpr int DRAIN_SIZE = 10240;

// The wait is over for this socket once the port no longer uses it or has moved on.
bool abandoned(const PortRecord& record, const DeviceSocket& socket, int state) {
    return connectionOf(record) != &socket || record.state.load() != state;
}

// False when the port gave the socket up during a pump (it may be gone then).
bool drain(DeviceSocket& socket, const PortRecord& record, bool pump) {
    std::vector<uint8_t> buffer(DRAIN_SIZE);
    int state = record.state.load();
    for (;;) {
        if (pump) {
            pumpOrSleep();
            if (abandoned(record, socket, state))
                return false;
        }
        if (socket.Receive(buffer.data(), DRAIN_SIZE) != DRAIN_SIZE)
            return true;
    }
}

void keepIdentity(PortRecord& record, const DeviceIdentity& identity) {
    record.maxSpeed.store(identity.maxSpeed);
    for (int i = 0; i < 4; ++i)
        record.deviceInfo[i] = identity.info[i];
}

} // namespace

bool pastDeadline(uint32_t deadline) {
    return int32_t(getTickCount() - deadline) > 0;
}

void pumpOrSleep() {
    if (!pumpOneMessage())
        sleepMs(1);
}

bool connectToCurrentHost(DeviceSocket& socket, PortRecord& record) {
    CurrentHost host = currentHost(record);
    DialTarget target = socket.protocol().dialTarget(host.address, host.portNo);
    return socket.Connect(target.host.c_str(), target.port);
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

GreetingOutcome startGreeting(DeviceSocket& socket, PortRecord& record, bool pumpWhileDraining) {
    if (!socket.protocol().greetingReadsFromTheStart() && !drain(socket, record, pumpWhileDraining))
        return GreetingOutcome::Abandoned;
    if (!socket.protocol().sendGreeting(socket))
        return GreetingOutcome::SendFailed;
    return GreetingOutcome::Answered;
}

// An answer the protocol takes without reading the identity leaves what the record holds.
GreetingCheck checkAnswer(DeviceSocket& socket, PortRecord& record) {
    DeviceIdentity identity{record.maxSpeed.load(), {}};
    std::copy(std::begin(record.deviceInfo), std::end(record.deviceInfo), identity.info);
    GreetingCheck check = socket.protocol().checkGreeting(socket, identity);
    if (check == GreetingCheck::Complete)
        keepIdentity(record, identity);
    return check;
}

GreetingOutcome greetDevice(DeviceSocket& socket, PortRecord& record, bool pumpWhileDraining) {
    int state = record.state.load();
    GreetingOutcome sent = startGreeting(socket, record, pumpWhileDraining);
    if (sent != GreetingOutcome::Answered)
        return sent;
    uint32_t deadline = getTickCount() + REPLY_WAIT_MS;
    while (!pastDeadline(deadline)) {
        pumpOrSleep();
        if (abandoned(record, socket, state))
            return GreetingOutcome::Abandoned;
        GreetingCheck answer = checkAnswer(socket, record);
        if (answer == GreetingCheck::Complete)
            return GreetingOutcome::Answered;
        if (answer == GreetingCheck::Failed)
            return GreetingOutcome::ReceiveFailed;
    }
    return GreetingOutcome::TimedOut;
}
