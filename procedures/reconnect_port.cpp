#include "procedures/reconnect_port.h"

#include "config/manager_context.h"
#include "config/port_state.h"
#include "device/device_socket.h"
#include "device/greeting.h"
#include "device/port_connection.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "procedures/reestablish.h"

#include <algorithm>
#include <vector>

using namespace platform;

namespace {

constexpr uint32_t FIRST_DELAY_MS = 2000;
constexpr uint32_t SHORTEST_DELAY_MS = 1000;
constexpr uint32_t DELAY_STEP_MS = 1000;
constexpr uint32_t LONGEST_DELAY_MS = 20000;

// One port's attempt within a cycle.
struct Attempt {
    int slot;
    DeviceSocket* socket;
    uint32_t serial; // the connection the attempt made
    enum Stage { Connecting, Identifying, Done } stage = Connecting;
    uint32_t deadline = 0; // of the stage
};

bool ending() {
    return context.threadRunning.load() == 0;
}

// While the attempt waits, other handlers may stop the port, close it for the
// 16-bit path or replace its connection: then the attempt leaves it alone.
bool stillOurs(const Attempt& attempt) {
    const PortRecord& record = port(attempt.slot);
    return connectionOf(record) == attempt.socket && connectionSerialOf(record) == attempt.serial &&
           record.state.load() == PORT_RECONNECTING;
}

void waitCycle(uint32_t delay) {
    uint32_t start = getTickCount();
    while (getTickCount() - start <= delay && !ending())
        pumpOrSleep();
}

uint32_t nextDelay(uint32_t delay) {
    return std::min(std::max(delay, SHORTEST_DELAY_MS) + DELAY_STEP_MS, LONGEST_DELAY_MS);
}

// A socket that cannot be made: an application still holding the port is parked in
// COM Opened by the disconnection procedure, a port nobody holds is restarted.
void giveUpOnSocket(int slot) {
    setPortReason(slot, REASON_INTERNAL);
    if (port(slot).relayActive.load()) {
        postMessage(WM_PORT_DISCONNECTED, 0, slot);
        return;
    }
    restartPort(slot, REASON_INTERNAL);
    postMessage(WM_REFRESH_LIST, 0, 0);
}

// A1 to A7 for one Reconnecting port; false when nothing is left to wait for.
bool beginAttempt(int slot, std::vector<Attempt>& attempts) {
    postMessage(WM_REFRESH_LIST, 0, 0);
    if (!port(slot).relayActive.load()) {
        // The application let go meanwhile: the port is simply made ready again.
        restartPort(slot, REASON_GIVEN_UP);
        postMessage(WM_REFRESH_LIST, 0, 0);
        return false;
    }
    DeviceSocket* socket = connectAnew(slot, "Reconnecting..\r\n");
    if (!socket) {
        giveUpOnSocket(slot);
        return false;
    }
    attempts.push_back({slot, socket, connectionSerialOf(port(slot)), Attempt::Connecting,
                        getTickCount() + CONNECT_WAIT_MS});
    return true;
}

// A14: the device answered.
void reconnected(const Attempt& attempt, uint32_t& delay) {
    if (!resumeConnection(attempt.slot, "VXD_WRITE_SOCKET : Successful Reconnection pass 1\r\n"))
        return; // no application any more: the next cycle makes the port ready again
    debugTrace("VXD_WRITE_SOCKET : Successful Reconnection pass 2\r\n");
    delay /= 2;
}

// A8 to A11: the port is connected (identification begins) or its 3000 ms are over
// (the next cycle tries again).
void advanceConnecting(Attempt& attempt) {
    if (!attempt.socket->connected.load()) {
        if (pastDeadline(attempt.deadline))
            attempt.stage = Attempt::Done;
        return;
    }
    debugTrace("Identifying\r\n");
    port(attempt.slot).lastRxTick.store(getTickCount());
    GreetingOutcome sent = startGreeting(*attempt.socket, port(attempt.slot), true);
    attempt.stage = sent == GreetingOutcome::Answered && stillOurs(attempt) ? Attempt::Identifying
                                                                            : Attempt::Done;
    attempt.deadline = getTickCount() + REPLY_WAIT_MS;
}

// A12 to A15: the reply is complete, or there is none within 10000 ms.
void advanceIdentifying(Attempt& attempt, uint32_t& delay) {
    GreetingCheck reply = checkAnswer(*attempt.socket, port(attempt.slot));
    if (reply == GreetingCheck::Waiting && !pastDeadline(attempt.deadline))
        return;
    attempt.stage = Attempt::Done;
    if (reply == GreetingCheck::Complete)
        reconnected(attempt, delay);
    else
        debugTrace("Identification Failed in reconnection (Timeout)\r\n");
    postMessage(WM_REFRESH_LIST, 0, 0);
}

// Every port of the cycle goes its own way at once: one connected early is identified
// while others still wait for their connect, so a device that is back does not wait
// behind ones that do not answer.
void runAttempts(std::vector<Attempt>& attempts, uint32_t& delay) {
    bool going = true;
    while (going && !ending()) {
        pumpOrSleep();
        going = false;
        for (Attempt& attempt : attempts) {
            if (attempt.stage != Attempt::Done && !stillOurs(attempt))
                attempt.stage = Attempt::Done;
            if (attempt.stage == Attempt::Connecting)
                advanceConnecting(attempt);
            else if (attempt.stage == Attempt::Identifying)
                advanceIdentifying(attempt, delay);
            going = going || attempt.stage != Attempt::Done;
        }
    }
}

// One cycle over every Reconnecting port; how many were found.
int runCycle(uint32_t& delay) {
    std::vector<Attempt> attempts;
    int found = 0;
    for (int slot = 0; slot <= int(context.highestPortIndex.load()) && slot < PORT_SLOTS; ++slot) {
        if (port(slot).state.load() != PORT_RECONNECTING)
            continue;
        ++found;
        beginAttempt(slot, attempts);
    }
    runAttempts(attempts, delay);
    return found;
}

// A port marked Reconnecting after the last scan, while this run still kept the relay
// thread from asking, gets a run of its own.
void askAgainForLatecomers() {
    for (int slot = 0; slot <= int(context.highestPortIndex.load()) && slot < PORT_SLOTS; ++slot)
        if (port(slot).state.load() == PORT_RECONNECTING) {
            postMessage(WM_RECONNECT_PORT, 0, slot);
            return;
        }
}

} // namespace

int reconnectPort() {
    // One run serves every port; a request queued before it began is served by it.
    if (context.reconnectRunning.load())
        return 1;
    debugTrace("[Reconnection Procedure]\r\n");
    enterService();
    context.reconnectRunning.store(1);
    uint32_t delay = FIRST_DELAY_MS;
    int again = 1;
    while (again != 0 && !ending()) {
        waitCycle(delay);
        delay = nextDelay(delay);
        again = runCycle(delay);
    }
    postMessage(WM_REFRESH_LIST, 0, 0);
    leaveService();
    context.reconnectRunning.store(0);
    debugTrace("[Reconnection Procedure is Over]\r\n");
    if (!ending())
        askAgainForLatecomers();
    return 1;
}
