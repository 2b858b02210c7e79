// The switching procedure end to end: an application on the port's pty link, the whole
// manager in this process, device-server simulators on loopback addresses of their own,
// and the tick source moved by a TickDriver instead of waiting out the connect and
// reply waits.
#include "procedures/switch_port.h"

#include "config/manager_context.h"
#include "config/port_state.h"
#include "config/port_table.h"
#include "device/port_connection.h"
#include "driverlink/driver_link.h"
#include "platform/ui_thread.h"
#include "tests/procedures/device_records.h"
#include "tests/procedures/full_backlog_listener.h"
#include "tests/procedures/tick_driver.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_fixture.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>

#include <mutex>
#include <termios.h>
#include <unistd.h>

using namespace platform;
using vorlixsim::Behaviour;
using vorlixsim::SimServer;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string DIALLING = "Switching..\r\n";

bool inState(int slot, int state) {
    return port(slot).state.load() == state;
}

bool serviceBusy() {
    return context.serviceBusy.load() != 0;
}

// Another device server on a loopback address of its own.
struct OtherDevice {
    explicit OtherDevice(Behaviour behaviour) : address(allocateLoopbackAddress()) {
        vorlixsim::SimOptions options = simOptionsAt(address);
        options.behaviours = {behaviour};
        server = std::make_unique<SimServer>(options);
        EXPECT_TRUE(server->start()) << server->errorText();
    }
    std::string address;
    std::unique_ptr<SimServer> server;
};

class Switching : public ManagerTest {
  protected:
    // What the Start command and the remote controller do: the new host first, then
    // the switch; its result.
    static int switchTo(int slot, const std::string& host, int portNo) {
        setCurrentHost(port(slot), host.c_str(), portNo);
        return int(sendMessage(WM_SWITCH_PORT, 0, slot));
    }

    // An application holding COM4 open on the simulator's port 1, with settings of its
    // own that the device has been told.
    int applicationOnFirstDevice(int slot) {
        int app = addConnectedPort(slot, "COM4", 1);
        termios attrs{};
        if (app < 0 || tcgetattr(app, &attrs) != 0)
            return -1;
        // The open's own settings may still be on their way: wait for the change's.
        pumpFor(50);
        size_t before = framesWith(sim(), 1, FRAME_SREQ).size();
        cfsetspeed(&attrs, B38400);
        tcsetattr(app, TCSANOW, &attrs);
        EXPECT_TRUE(pumpUntil([&] {
            return framesWith(sim(), 1, FRAME_SREQ).size() > before &&
                   lastSettings(sim(), 1) == settingsOf(slot);
        }));
        return app;
    }
};

// ---------------------------------------------------------------------------
// A reachable device

TEST_F(Switching, OpenPortMovesToAReachableDeviceWithTheLastSettings) {
    const int slot = 1;
    int app = applicationOnFirstDevice(slot);
    ASSERT_GE(app, 0);
    const Bytes settings = lastSettings(sim(), 1);
    OtherDevice other(Behaviour::Normal);

    EXPECT_EQ(switchTo(slot, other.address, 1), 1);
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    EXPECT_EQ(context.serviceBusy.load(), 0);
    EXPECT_TRUE(pumpUntil([&] { return sim().openConnections(1) == 0; }))
        << "the old connection stays open";
    ASSERT_TRUE(other.server->waitForFrames(1, 3, 3000));
    EXPECT_EQ(commandsOf(*other.server, 1), (Bytes{FRAME_IDENT, FRAME_OPEN, FRAME_SREQ}));
    EXPECT_EQ(lastSettings(*other.server, 1), settings);

    const Bytes data = {'n', 'e', 'w', 0xF0};
    ASSERT_EQ(::write(app, data.data(), data.size()), ssize_t(data.size()));
    ASSERT_TRUE(pumpUntil([&] { return other.server->dataBytesReceived(1) == data.size(); }));
    EXPECT_EQ(dataReceived(*other.server, 1), data);
    EXPECT_EQ(sim().dataBytesReceived(1), 0u);
    EXPECT_FALSE(applicationHungUp(app));
    ::close(app);
}

// ---------------------------------------------------------------------------
// A device that cannot be used: the application keeps its port, COM Opened

enum class Target { Refuses, NeverAnswers, NeverReplies };

struct FailureCase {
    const char* name;
    Target target;
    uint32_t waitMs; // the wait that has to pass before the switch gives up
    int reason;
};

class SwitchingFails : public Switching, public testing::WithParamInterface<FailureCase> {};

TEST_P(SwitchingFails, PortComOpenedWithTheReason) {
    const FailureCase& c = GetParam();
    const int slot = 5;
    int app = applicationOnFirstDevice(slot);
    ASSERT_GE(app, 0);
    std::string host = allocateLoopbackAddress(); // nothing listens there
    std::unique_ptr<FullBacklogListener> unanswered;
    std::unique_ptr<OtherDevice> silent;
    if (c.target == Target::NeverAnswers) {
        unanswered = std::make_unique<FullBacklogListener>(host, 4001);
        ASSERT_TRUE(unanswered->full());
    } else if (c.target == Target::NeverReplies) {
        silent = std::make_unique<OtherDevice>(Behaviour::Silent);
        host = silent->address;
    }

    TickDriver ticks(100, serviceBusy);
    EXPECT_EQ(switchTo(slot, host, 1), 0);
    EXPECT_GE(ticks.since(DIALLING), int64_t(c.waitMs)) << "gave up before the wait was over";
    EXPECT_EQ(port(slot).reason.load(), c.reason);
    EXPECT_EQ(context.serviceBusy.load(), 0);
    EXPECT_TRUE(pumpUntil([&] { return inState(slot, PORT_COM_OPENED); }));
    EXPECT_EQ(port(slot).relayActive.load(), 1);
    EXPECT_EQ(port(slot).reason.load(), c.reason);
    EXPECT_EQ(sim().openConnections(1), 0) << "a failed switch falls back to the old host";
    if (silent) {
        EXPECT_EQ(commandsOf(*silent->server, 1), Bytes{FRAME_IDENT});
    }
    EXPECT_FALSE(applicationHungUp(app));
    ::close(app);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, SwitchingFails,
    testing::Values(FailureCase{"Refuses", Target::Refuses, 3000, REASON_PORT_DISABLED},
                    FailureCase{"NeverAnswers", Target::NeverAnswers, 3000, REASON_IP_NOT_FOUND},
                    FailureCase{"NeverReplies", Target::NeverReplies, 10000, REASON_PORT_DISABLED}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Ports no application holds: nothing is dialled

struct IdleCase {
    const char* name;
    bool started;
    int endState;
};

class SwitchingIdle : public Switching, public testing::WithParamInterface<IdleCase> {};

TEST_P(SwitchingIdle, NoConnectionIsAttempted) {
    const IdleCase& c = GetParam();
    const int slot = 2;
    addPort(slot, "COM5", 1);
    if (c.started) {
        ASSERT_TRUE(startPort(slot));
    }
    const int reasonBefore = port(slot).reason.load();
    OtherDevice other(Behaviour::Normal);
    TraceLog traces;

    EXPECT_EQ(switchTo(slot, other.address, 1), 0);
    EXPECT_EQ(port(slot).state.load(), c.endState);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
    EXPECT_EQ(context.serviceBusy.load(), 0);
    // A Ready port is restarted: stopped and hooked anew, with reason '1'.
    EXPECT_EQ(traces.count("Hooking is Just Stopped.\r\n"), c.started ? 1 : 0);
    EXPECT_EQ(port(slot).reason.load(), c.started ? int(REASON_OK) : reasonBefore);
    pumpFor(50);
    EXPECT_EQ(other.server->connectionCount(1), 0);
}

INSTANTIATE_TEST_SUITE_P(States, SwitchingIdle,
                         testing::Values(IdleCase{"Ready", true, PORT_READY},
                                         IdleCase{"Stopped", false, PORT_STOPPED}),
                         [](const testing::TestParamInfo<IdleCase>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Handlers served inside the switch's waits

enum class Handler { ForcedStop, ApplicationClose, SixteenBitClose };
enum class Wait { Connect, Reply };

struct InterruptCase {
    const char* name;
    Handler handler;
    Wait wait;
    int endState;
};

class SwitchingInterrupted : public Switching, public testing::WithParamInterface<InterruptCase> {};

TEST_P(SwitchingInterrupted, SwitchEndsAndLeavesThePortAsTheHandlerLeftIt) {
    const InterruptCase& c = GetParam();
    const int slot = 3;
    int app = applicationOnFirstDevice(slot);
    ASSERT_GE(app, 0);
    std::string host = allocateLoopbackAddress();
    std::unique_ptr<FullBacklogListener> unanswered;
    std::unique_ptr<OtherDevice> silent;
    if (c.wait == Wait::Connect) {
        unanswered = std::make_unique<FullBacklogListener>(host, 4001);
        ASSERT_TRUE(unanswered->full());
    } else {
        silent = std::make_unique<OtherDevice>(Behaviour::Silent);
        host = silent->address;
    }

    bool served = false;
    TickDriver ticks(100, [&] {
        if (!served || c.handler == Handler::ForcedStop)
            return true;
        return c.handler == Handler::ApplicationClose ? port(slot).relayActive.load() == 0
                                                      : inState(slot, PORT_READY);
    });
    auto waiting = [&] {
        if (c.wait == Wait::Connect)
            return ticks.count(DIALLING) == 1;
        return framesWith(*silent->server, 1, FRAME_IDENT).size() == 1;
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
            postMessage(WM_WIN16_PORT, 4, 0);
            break;
        }
    });
    // A device that answers after all, to a port nobody holds any more.
    if (silent && c.handler == Handler::ApplicationClose)
        ticks.on([&] { return served && port(slot).relayActive.load() == 0; },
                 [&] { silent->server->sendRaw(1, vorlixsim::identReply({})); });

    EXPECT_EQ(switchTo(slot, host, 1), 0);
    EXPECT_TRUE(served);
    EXPECT_TRUE(pumpUntil([&] { return inState(slot, c.endState); }));
    pumpFor(50);
    EXPECT_EQ(port(slot).state.load(), c.endState);
    EXPECT_EQ(port(slot).relayActive.load(), 0);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
    EXPECT_EQ(context.serviceBusy.load(), 0);
    if (silent) {
        EXPECT_TRUE(framesWith(*silent->server, 1, FRAME_OPEN).empty());
        EXPECT_TRUE(framesWith(*silent->server, 1, FRAME_SREQ).empty());
    }
    if (app >= 0)
        ::close(app);
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, SwitchingInterrupted,
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

// The application let go while the new device was being identified: the port is left
// ready for its next open, not Connected to a device nobody uses.
TEST_F(Switching, PortClosedDuringTheSwitchServesTheApplicationsNextOpen) {
    const int slot = 6;
    int app = applicationOnFirstDevice(slot);
    ASSERT_GE(app, 0);
    OtherDevice other(Behaviour::Silent);
    bool closed = false;
    TickDriver ticks(100, [&] { return !closed || port(slot).relayActive.load() == 0; });
    ticks.on([&] { return framesWith(*other.server, 1, FRAME_IDENT).size() == 1; },
             [&] {
                 ::close(app);
                 closed = true;
             });
    ticks.on([&] { return closed && port(slot).relayActive.load() == 0; },
             [&] { other.server->sendRaw(1, vorlixsim::identReply({})); });
    switchTo(slot, other.address, 1);
    ASSERT_TRUE(closed);

    other.server->setBehaviour(1, Behaviour::Normal);
    int again = openApplicationPort(manager.linkPath("COM4"));
    ASSERT_GE(again, 0);
    EXPECT_TRUE(pumpUntil(
        [&] { return inState(slot, PORT_CONNECTED) && port(slot).relayActive.load() == 1; }));
    pumpFor(100);
    EXPECT_FALSE(applicationHungUp(again));
    ::close(again);
}

} // namespace
