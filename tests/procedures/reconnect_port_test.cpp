// The reconnection procedure end to end: applications on the ports' pty links, the
// whole manager in this process, device-server simulators on loopback, and the tick
// source moved by a TickDriver instead of waiting out the cycle, connect and reply
// waits.
#include "procedures/reconnect_port.h"

#include "config/manager_context.h"
#include "config/port_state.h"
#include "config/port_table.h"
#include "device/port_connection.h"
#include "driverlink/driver_link.h"
#include "platform/tick.h"
#include "platform/ui_thread.h"
#include "tests/procedures/device_records.h"
#include "tests/procedures/full_backlog_listener.h"
#include "tests/procedures/tick_driver.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_fixture.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <termios.h>
#include <unistd.h>

using namespace platform;
using vorlixsim::Behaviour;
using vorlixsim::SimServer;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string RUN_BEGINS = "[Reconnection Procedure]\r\n";
const std::string RUN_ENDS = "[Reconnection Procedure is Over]\r\n";
const std::string ATTEMPT = "Reconnecting..\r\n";
const std::string SUCCESS = "VXD_WRITE_SOCKET : Successful Reconnection pass 2\r\n";

// What a wait may overshoot: a tick step and the real time of a turn, twice over.
constexpr uint32_t SLACK_MS = 800;

bool writeAll(int app, const Bytes& bytes) {
    return ::write(app, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

bool setSpeed(int app, speed_t speed) {
    termios attrs{};
    if (tcgetattr(app, &attrs) != 0)
        return false;
    cfsetspeed(&attrs, speed);
    return tcsetattr(app, TCSANOW, &attrs) == 0;
}

bool inState(int slot, int state) {
    return port(slot).state.load() == state;
}

bool runOver() {
    return context.reconnectRunning.load() == 0;
}

class Reconnection : public ManagerTest {
  protected:
    // The device server back on the same address, as a new simulator.
    std::unique_ptr<SimServer> deviceBack() {
        auto device = std::make_unique<SimServer>(simOptions);
        EXPECT_TRUE(device->start()) << device->errorText();
        return device;
    }
};

// ---------------------------------------------------------------------------
// A device that goes away and comes back

TEST_F(Reconnection, DeviceBackAfterThirtySecondsIsOpenedWithTheLastSettingsAndCarriesData) {
    const int slot = 2;
    int app = addConnectedPort(slot, "COM5", 1);
    ASSERT_GE(app, 0);
    ASSERT_TRUE(setSpeed(app, B19200));
    const Bytes before = {'b', 'e', 0xF0, 0xE0, 'f', 'o', 'r', 'e'};
    ASSERT_TRUE(writeAll(app, before));
    ASSERT_TRUE(pumpUntil([&] {
        return sim().dataBytesReceived(1) == before.size() &&
               lastSettings(sim(), 1) == settingsOf(slot);
    }));
    const Bytes lastSreq = framesWith(sim(), 1, FRAME_SREQ).back().bytes;

    std::unique_ptr<SimServer> back;
    uint32_t backAt = 0;
    TickDriver ticks(100, reconnectionRunning);
    uint32_t stoppedAt = getTickCount();
    // Written while the device is away: held, and delivered once it is back.
    const Bytes during = {'d', 'u', 'r', 0xF0, 'i', 'n', 'g'};
    const Bytes laterStill = {'s', 't', 'i', 'l', 'l'};
    ticks.on([&] { return getTickCount() - stoppedAt >= 10000; },
             [&] { EXPECT_TRUE(writeAll(app, laterStill)); });
    ticks.on([&] { return getTickCount() - stoppedAt >= 30000; },
             [&] {
                 back = deviceBack();
                 backAt = getTickCount();
             });
    sim().stop();
    ASSERT_TRUE(writeAll(app, during));
    ASSERT_TRUE(pumpUntil([&] { return back && runOver(); }, 30000));

    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    EXPECT_EQ(ticks.count(RUN_BEGINS), 1);
    // Attempts at 2, 8, 15 and 23 s find nothing; the first one after the return succeeds.
    std::vector<uint32_t> attempts = ticks.ticksOf(ATTEMPT);
    ASSERT_EQ(attempts.size(), 5u);
    EXPECT_LT(int32_t(attempts[3] - backAt), 0);
    EXPECT_GT(int32_t(attempts[4] - backAt), 0);
    EXPECT_EQ(back->connectionCount(1), 1);
    ASSERT_TRUE(back->waitForFrames(1, 3, 3000));
    Bytes firstCommands = commandsOf(*back, 1);
    firstCommands.resize(3);
    EXPECT_EQ(firstCommands, (Bytes{FRAME_IDENT, FRAME_OPEN, FRAME_SREQ}));
    EXPECT_EQ(back->framesReceived(1)[2].bytes, lastSreq);

    const Bytes after = {'a', 'f', 't', 0xE0, 'e', 'r'};
    ASSERT_TRUE(writeAll(app, after));
    Bytes expected = during;
    expected.insert(expected.end(), laterStill.begin(), laterStill.end());
    expected.insert(expected.end(), after.begin(), after.end());
    ASSERT_TRUE(pumpUntil([&] { return back->dataBytesReceived(1) >= expected.size(); }));
    pumpFor(50);
    EXPECT_EQ(dataReceived(sim(), 1), before);
    EXPECT_EQ(dataReceived(*back, 1), expected);
    EXPECT_FALSE(applicationHungUp(app));
    ::close(app);
}

// ---------------------------------------------------------------------------
// The waits between cycles

TEST_F(Reconnection, CycleWaitsGrowBySecondsToTwentyAndHalveAfterASuccess) {
    const int slot = 0;
    int app = addConnectedPort(slot, "COM3", 1);
    ASSERT_GE(app, 0);
    constexpr int REFUSED = 20;
    sim().setBehaviour(1, Behaviour::Refuse);
    TickDriver ticks(100, reconnectionRunning);
    ticks.on([&] { return ticks.count("Connection Error\r\n") >= REFUSED; },
             [&] { sim().setBehaviour(1, Behaviour::Normal); });
    ASSERT_EQ(sim().closeConnections(1), 1);
    ASSERT_TRUE(pumpUntil([&] { return ticks.count(RUN_ENDS) == 1; }, 60000));
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);

    std::vector<uint32_t> attempts = ticks.ticksOf(ATTEMPT);
    ASSERT_EQ(attempts.size(), size_t(REFUSED + 1));
    // Between two attempts lie the 3000 ms connect wait and the next cycle's wait.
    std::vector<uint32_t> waits = {attempts[0] - ticks.ticksOf(RUN_BEGINS).front()};
    for (size_t i = 1; i < attempts.size(); ++i)
        waits.push_back(attempts[i] - attempts[i - 1] - 3000);
    for (size_t i = 0; i < waits.size(); ++i) {
        uint32_t expected = std::min(uint32_t(2000 + 1000 * i), 20000u);
        EXPECT_GE(waits[i], expected) << "wait before attempt " << i + 1;
        EXPECT_LT(waits[i], expected + SLACK_MS) << "wait before attempt " << i + 1;
    }
    // The success halves the wait before the cycle that ends the run.
    uint32_t lastWait = ticks.ticksOf(RUN_ENDS).front() - ticks.ticksOf(SUCCESS).front();
    EXPECT_GE(lastWait, 10000u);
    EXPECT_LT(lastWait, 10000u + SLACK_MS);
    ::close(app);
}

// ---------------------------------------------------------------------------
// Which run serves a port

TEST_F(Reconnection, PortMarkedDuringARunIsServedByItAndTwoSuccessesHalveTheWaitTwice) {
    addPort(1, "COM4", 1);
    addPort(2, "COM6", 2);
    int first = connectApplication(1, "COM4");
    int second = connectApplication(2, "COM6");
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    bool secondLost = false;
    // The clock waits for the relay thread to find the second connection closed.
    TickDriver ticks(
        50, [&] { return reconnectionRunning() && (!secondLost || !inState(2, PORT_CONNECTED)); });
    ticks.on([&] { return ticks.since(RUN_BEGINS) >= 1000; },
             [&] {
                 secondLost = true;
                 sim().closeConnections(2);
             });
    ASSERT_EQ(sim().closeConnections(1), 1);
    ASSERT_TRUE(pumpUntil([&] { return ticks.count(RUN_ENDS) == 1; }, 20000));

    EXPECT_EQ(ticks.count(RUN_BEGINS), 1);
    for (int slot : {1, 2}) {
        EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED) << "slot " << slot;
        EXPECT_EQ(port(slot).reason.load(), REASON_OK) << "slot " << slot;
        EXPECT_EQ(sim().connectionCount(slot), 2) << "slot " << slot;
    }
    // Both in the first cycle, 2000 ms into the run; 3000 / 2 / 2 before the last one.
    std::vector<uint32_t> attempts = ticks.ticksOf(ATTEMPT);
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_LT(attempts[1] - attempts[0], 50u);
    ASSERT_EQ(ticks.ticksOf(SUCCESS).size(), 2u);
    uint32_t lastWait = ticks.ticksOf(RUN_ENDS).front() - ticks.ticksOf(SUCCESS).back();
    EXPECT_GE(lastWait, 750u);
    EXPECT_LT(lastWait, 750u + SLACK_MS / 2);
    ::close(first);
    ::close(second);
}

TEST_F(Reconnection, PortMarkedAfterTheLastScanGetsANewRun) {
    addPort(1, "COM4", 1);
    addPort(2, "COM6", 2);
    int first = connectApplication(1, "COM4");
    int second = connectApplication(2, "COM6");
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    TickDriver ticks(100, reconnectionRunning);
    // As the relay thread would mark it while the run's flag still kept it from asking:
    // the state alone changes, nothing is posted.
    ticks.onTrace(RUN_ENDS, [] { forcePortState(port(2), PORT_RECONNECTING); });
    ASSERT_EQ(sim().closeConnections(1), 1);
    ASSERT_TRUE(pumpUntil([&] { return ticks.count(RUN_ENDS) == 2; }, 20000));

    EXPECT_EQ(ticks.count(RUN_BEGINS), 2);
    EXPECT_EQ(port(1).state.load(), PORT_CONNECTED);
    EXPECT_EQ(port(2).state.load(), PORT_CONNECTED);
    EXPECT_EQ(sim().connectionCount(2), 2);
    ::close(first);
    ::close(second);
}

// A port taken over by other handlers while the run identifies the ports of a cycle
// (here closed and opened again for a 16-bit application) is left to them: its new
// connection carries no second identification.
TEST_F(Reconnection, PortTakenOverDuringTheCycleIsLeftToItsNewConnection) {
    addPort(1, "COM4", 1);
    addPort(2, "COM6", 2);
    int first = connectApplication(1, "COM4");
    int second = connectApplication(2, "COM6");
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    bool bothLost = false;
    TickDriver ticks(100, [&] {
        bothLost = bothLost || (!inState(1, PORT_CONNECTED) && !inState(2, PORT_CONNECTED));
        return reconnectionRunning() && bothLost && !inState(2, PORT_CONNECTING);
    });
    // Served while the cycle's connections are being identified.
    ticks.onTrace("Identifying\r\n", [] {
        postMessage(WM_WIN16_PORT, 6, 0);
        postMessage(WM_WIN16_PORT, 6, 1);
    });
    ASSERT_EQ(sim().closeConnections(1), 1);
    ASSERT_EQ(sim().closeConnections(2), 1);
    ASSERT_TRUE(pumpUntil([&] { return ticks.count(RUN_ENDS) == 1; }, 20000));

    EXPECT_EQ(port(1).state.load(), PORT_CONNECTED);
    EXPECT_EQ(port(2).state.load(), PORT_CONNECTED);
    EXPECT_EQ(port(2).isWin16Port.load(), 1);
    EXPECT_EQ(sim().connectionCount(2), 3);
    pumpFor(50);
    EXPECT_EQ(framesWith(sim(), 2, FRAME_IDENT).size(), 2u);
    ::close(first);
    ::close(second);
}

// ---------------------------------------------------------------------------
// The application lets go

TEST_F(Reconnection, ApplicationClosingWhileReconnectingLeavesThePortReadyAndTheDeviceUntouched) {
    const int slot = 4;
    int app = addConnectedPort(slot, "COM8", 1);
    ASSERT_GE(app, 0);
    std::unique_ptr<SimServer> back;
    bool closed = false;
    TickDriver ticks(100, [&] {
        return reconnectionRunning() && (!closed || port(slot).relayActive.load() == 0);
    });
    // Before the first attempt: the device is back, the application gone.
    ticks.on([&] { return ticks.since(RUN_BEGINS) >= 500; },
             [&] {
                 back = deviceBack();
                 ::close(app);
                 closed = true;
             });
    sim().stop();
    ASSERT_TRUE(pumpUntil([&] { return back && runOver(); }, 20000));

    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
    EXPECT_EQ(ticks.count(ATTEMPT), 0);
    pumpFor(50);
    EXPECT_EQ(back->connectionCount(1), 0);

    // The port serves the application's next open.
    int again = openApplicationPort(manager.linkPath("COM8"));
    ASSERT_GE(again, 0);
    EXPECT_TRUE(pumpUntil([&] { return inState(slot, PORT_CONNECTED); }));
    ::close(again);
}

// ---------------------------------------------------------------------------
// Handlers served inside the run's waits

enum class Handler { ForcedStop, ApplicationClose, SixteenBitClose };
enum class Wait { Connect, Reply };

struct InterruptCase {
    const char* name;
    Handler handler;
    Wait wait;
    int endState;
};

class ReconnectionInterrupted : public Reconnection,
                                public testing::WithParamInterface<InterruptCase> {};

TEST_P(ReconnectionInterrupted, RunEndsAndLeavesThePortAsTheHandlerLeftIt) {
    const InterruptCase& c = GetParam();
    const int slot = 3;
    int app = addConnectedPort(slot, "COM7", 1);
    ASSERT_GE(app, 0);
    std::unique_ptr<FullBacklogListener> unanswered;
    if (c.wait == Wait::Connect) {
        const std::string nowhere = allocateLoopbackAddress();
        unanswered = std::make_unique<FullBacklogListener>(nowhere, 4001);
        ASSERT_TRUE(unanswered->full());
        setCurrentHost(port(slot), nowhere.c_str(), 1);
    } else {
        sim().setBehaviour(1, Behaviour::Silent);
    }

    bool served = false;
    TickDriver ticks(100, [&] {
        if (!reconnectionRunning())
            return false;
        if (!served || c.handler == Handler::ForcedStop)
            return true;
        return c.handler == Handler::ApplicationClose ? port(slot).relayActive.load() == 0
                                                      : inState(slot, PORT_READY);
    });
    auto waiting = [&] {
        if (c.wait == Wait::Connect)
            return ticks.count(ATTEMPT) == 1;
        return framesWith(sim(), 1, FRAME_IDENT).size() == 2;
    };
    ticks.on(waiting, [&] {
        served = true;
        switch (c.handler) {
        case Handler::ForcedStop: // as Exit and the end of the manager stop a port
            port(slot).relayActive.store(0);
            stopPort(slot, true);
            break;
        case Handler::ApplicationClose:
            ::close(std::exchange(app, -1));
            break;
        case Handler::SixteenBitClose:
            postMessage(WM_WIN16_PORT, 7, 0);
            break;
        }
    });
    // A device that answers after all, to a port nobody holds any more.
    if (c.wait == Wait::Reply && c.handler == Handler::ApplicationClose)
        ticks.on([&] { return served && port(slot).relayActive.load() == 0; },
                 [&] { sim().sendRaw(1, vorlixsim::identReply({})); });
    ASSERT_EQ(sim().closeConnections(1), 1);
    ASSERT_TRUE(pumpUntil([&] { return served && runOver(); }, 30000));

    EXPECT_EQ(port(slot).state.load(), c.endState);
    EXPECT_EQ(port(slot).relayActive.load(), 0);
    EXPECT_EQ(context.serviceBusy.load(), 0);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
    if (c.wait == Wait::Reply) {
        // Nothing but the identification went to the device on the new connection.
        Bytes commands = commandsOf(sim(), 1);
        auto identified = std::find(commands.rbegin(), commands.rend(), FRAME_IDENT).base();
        EXPECT_EQ(std::count(identified, commands.end(), FRAME_OPEN), 0);
        EXPECT_EQ(std::count(identified, commands.end(), FRAME_SREQ), 0);
    }
    pumpFor(50);
    if (app >= 0)
        ::close(app);
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, ReconnectionInterrupted,
    testing::Values(
        InterruptCase{"ForcedStopInConnectWait", Handler::ForcedStop, Wait::Connect, PORT_STOPPED},
        InterruptCase{"ForcedStopInReplyWait", Handler::ForcedStop, Wait::Reply, PORT_STOPPED},
        InterruptCase{"ApplicationCloseInConnectWait", Handler::ApplicationClose, Wait::Connect,
                      PORT_READY},
        InterruptCase{"ApplicationCloseInReplyWait", Handler::ApplicationClose, Wait::Reply,
                      PORT_READY},
        InterruptCase{"SixteenBitCloseInConnectWait", Handler::SixteenBitClose, Wait::Connect,
                      PORT_READY},
        InterruptCase{"SixteenBitCloseInReplyWait", Handler::SixteenBitClose, Wait::Reply,
                      PORT_READY}),
    [](const testing::TestParamInfo<InterruptCase>& info) { return std::string(info.param.name); });

} // namespace
