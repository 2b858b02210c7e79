// The open procedure against a real device-server simulator on loopback, with an
// application opening the port's pty link.
#include "procedures/open_port.h"

#include "device/device_socket.h"
#include "device/greeting.h"

#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_table.h"
#include "device/port_connection.h"
#include "driverlink/driver_link.h"
#include "platform/auto_event.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "rings/ring_queue.h"
#include "tests/device/device_peer.h"
#include "tests/procedures/full_backlog_listener.h"
#include "tests/support/manager_fixture.h"
#include "tools/vorlix_sim/sim_server.h"

#include <QTimer>

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace platform;
using vorlixsim::Behaviour;

namespace {

const std::vector<uint8_t> IDENT_THEN_OPEN = {0xF0, 0x11, 'Q', 'U', 'O',  'R',  'V',  'A',
                                              'L',  'I',  'N', 'K', 0xE0, 0xF0, 0x71, 0xE0};

// Fixed on purpose: names under .invalid never resolve.
const char* const UNRESOLVABLE = "no-such-host.invalid";
// Fixed on purpose: the system refuses a connection to the broadcast address at once
// (network unreachable), without anything being sent.
const char* const UNREACHABLE = "255.255.255.255";

using OpenPort = ManagerTest;

bool endedWith(int slot, int state) {
    return port(slot).state.load() == state;
}

// Runs on the UI thread, so inside the pumping of a waiting procedure. Once
// waiting() holds, it moves the tick source to 1000 ms short of the deadline, notes
// whether the procedure is still waiting a few turns later, then moves it past.
class DeadlineJump {
  public:
    DeadlineJump(int slot, uint32_t deadlineMs, std::function<bool()> waiting)
        : slot_(slot), deadlineMs_(deadlineMs), waiting_(std::move(waiting)) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { step(); });
        timer_.start();
    }

    bool stillWaitingShortOfDeadline() const { return stillWaiting_; }
    bool passed() const { return phase_ == 2; }

  private:
    void step() {
        if (phase_ == 0 && waiting_()) {
            addTickOffset(int64_t(deadlineMs_) - 1000);
            phase_ = 1;
        } else if (phase_ == 1 && ++turns_ >= 3) {
            stillWaiting_ = endedWith(slot_, PORT_CONNECTING);
            addTickOffset(1100);
            phase_ = 2;
            timer_.stop();
        }
    }

    int slot_;
    uint32_t deadlineMs_;
    std::function<bool()> waiting_;
    QTimer timer_;
    int phase_ = 0;
    int turns_ = 0;
    bool stillWaiting_ = false;
};

struct Opened {
    int slot;
    int app;
};

// Starts the port and has the application open its link; the open procedure runs
// when the test pumps.
Opened openByApplication(ManagerHarness& manager, int slot, const char* com,
                         const std::string& address, int portNo) {
    manager.addPort(slot, com, address, portNo);
    EXPECT_TRUE(startPort(slot));
    int app = openApplicationPort(manager.linkPath(com));
    EXPECT_GE(app, 0);
    return {slot, app};
}

// ---------------------------------------------------------------------------
// Success

struct SuccessCase {
    const char* name;
    Behaviour behaviour;
};

class OpenPortSucceeds : public ManagerTest, public testing::WithParamInterface<SuccessCase> {};

TEST_P(OpenPortSucceeds, DeviceIdentifiedPortConnectedApplicationStaysOpen) {
    const SuccessCase& c = GetParam();
    simOptions.behaviours = {Behaviour::Normal, c.behaviour};
    simOptions.reply.maxSpeed = 0xC4;
    simOptions.reply.info = {3, 0x1A, 16, 2};
    simOptions.infoGiven = true;
    ASSERT_TRUE(startSim());
    Opened opened = openByApplication(manager, 4, "COM9", address(), 2);
    int slot = opened.slot;

    ASSERT_TRUE(pumpUntil([&] { return endedWith(slot, PORT_CONNECTED); }));
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    EXPECT_EQ(port(slot).relayActive.load(), 1);
    ASSERT_TRUE(sim().waitForFrames(2, 2, 3000));
    std::vector<uint8_t> received = sim().rawBytesReceived(2);
    ASSERT_GE(received.size(), IDENT_THEN_OPEN.size());
    EXPECT_EQ(std::vector<uint8_t>(received.begin(), received.begin() + 16), IDENT_THEN_OPEN);
    EXPECT_EQ(sim().connectionCount(2), 1);

    bool found = false;
    EXPECT_EQ(portDword(slot, "MaximumBaud", &found), 0xC4u);
    EXPECT_TRUE(found);
    EXPECT_EQ(portDword(slot, "IsWin16Port", &found), 0u);
    EXPECT_TRUE(found);
    EXPECT_FALSE(portHasValue(slot, "IsWin16PortConnected"));
    const uint8_t* info = port(slot).deviceInfo;
    EXPECT_EQ(std::vector<uint8_t>(info, info + 4), (std::vector<uint8_t>{3, 0x1A, 16, 2}));
    EXPECT_EQ(context.serviceBusy.load(), 0);

    pumpFor(150);
    EXPECT_FALSE(applicationHungUp(opened.app));
    ::close(opened.app);
}

INSTANTIATE_TEST_SUITE_P(Replies, OpenPortSucceeds,
                         testing::Values(SuccessCase{"WholeReply", Behaviour::Normal},
                                         SuccessCase{"ReplyInPieces", Behaviour::Pieces},
                                         SuccessCase{"GarbageBeforeReply", Behaviour::Garbage}),
                         [](const testing::TestParamInfo<SuccessCase>& info) {
                             return std::string(info.param.name);
                         });

// Holds the UI thread where the socket reports its connection until the device's
// greeting lies in the connection, as when a device greets at once.
class GreetingGate {
  public:
    explicit GreetingGate(const DevicePeer& device) {
        platform::setTraceCapture([&device](const std::string& line) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (line == "Socket Connected\r\n" && !device.greetingDelivered() &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    }
    ~GreetingGate() { platform::setTraceCapture({}); }
};

// A greeting that holds a reply of its own (an earlier session's) is drained before
// IDENT goes out: what is published comes from the answer to this IDENT.
TEST_F(OpenPort, StaleReplyInTheDevicesGreetingIsNotTakenForTheAnswer) {
    vorlixsim::ReplyValues stale;
    stale.maxSpeed = 3;
    stale.info = {9, 9, 9, 9};
    vorlixsim::ReplyValues fresh;
    fresh.maxSpeed = 0x0B;
    fresh.info = {2, 0, 4, 1};
    std::vector<uint8_t> greeting = {'H', 'E', 'L', 'L', 'O', '\r', '\n'};
    std::vector<uint8_t> staleReply = vorlixsim::identReply(stale);
    greeting.insert(greeting.end(), staleReply.begin(), staleReply.end());
    DevicePeer device(address(), 4001);
    ASSERT_TRUE(device.listening());
    device.answer(greeting, vorlixsim::identReply(fresh));
    GreetingGate gate(device);
    const int slot = 4;

    Opened opened = openByApplication(manager, slot, "COM9", address(), 1);
    ASSERT_TRUE(pumpUntil([&] { return endedWith(slot, PORT_CONNECTED); }));
    EXPECT_TRUE(device.greetingDelivered());
    EXPECT_TRUE(device.answered());
    bool found = false;
    EXPECT_EQ(portDword(slot, "MaximumBaud", &found), 0x0Bu);
    EXPECT_TRUE(found);
    const uint8_t* info = port(slot).deviceInfo;
    EXPECT_EQ(std::vector<uint8_t>(info, info + 4), (std::vector<uint8_t>{2, 0, 4, 1}));
    ::close(opened.app);
}

// ---------------------------------------------------------------------------
// Failures seen by the application

enum class Setup { Simulator, UnresolvableName, UnreachableNetwork, ConnectNeverAnswered };

struct FailureCase {
    const char* name;
    Setup setup;
    Behaviour behaviour;
    uint32_t deadlineMs; // 0: the procedure must end without waiting for one
    int reason;
};

class OpenPortFails : public ManagerTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(OpenPortFails, PortDisconnectedWithReasonAndApplicationHungUp) {
    const FailureCase& c = GetParam();
    const std::string host = c.setup == Setup::UnresolvableName     ? UNRESOLVABLE
                             : c.setup == Setup::UnreachableNetwork ? UNREACHABLE
                                                                    : address();
    std::unique_ptr<FullBacklogListener> backlog;
    if (c.setup == Setup::Simulator) {
        simOptions.behaviours = {c.behaviour};
        ASSERT_TRUE(startSim());
    } else if (c.setup == Setup::ConnectNeverAnswered) {
        backlog = std::make_unique<FullBacklogListener>(address(), 4001);
        ASSERT_TRUE(backlog->full()) << "loopback listener backlog could not be filled";
    }
    const int slot = 6;
    std::unique_ptr<DeadlineJump> jump;
    if (c.deadlineMs) {
        auto waiting = [&] {
            if (!endedWith(slot, PORT_CONNECTING) || !connectionOf(port(slot)))
                return false;
            if (c.behaviour == Behaviour::Silent)
                return !sim().framesReceived(1).empty();
            if (c.behaviour == Behaviour::Refuse)
                return connectionOf(port(slot))->connectError.load() != 0;
            return true;
        };
        jump = std::make_unique<DeadlineJump>(slot, c.deadlineMs, waiting);
    }
    uint32_t startTick = getTickCount();
    Opened opened = openByApplication(manager, slot, "COM11", host, 1);

    ASSERT_TRUE(pumpUntil([&] { return endedWith(slot, PORT_DISCONNECTED); }, 5000));
    if (!c.deadlineMs) {
        EXPECT_LT(getTickCount() - startTick, 3000u) << "waited for the connect deadline";
    }
    EXPECT_EQ(port(slot).reason.load(), c.reason);
    EXPECT_EQ(port(slot).relayActive.load(), 0);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
    EXPECT_EQ(context.serviceBusy.load(), 0);
    if (jump) {
        EXPECT_TRUE(jump->passed());
        EXPECT_TRUE(jump->stillWaitingShortOfDeadline()) << "gave up before the deadline";
    }
    if (c.behaviour == Behaviour::Silent && c.setup == Setup::Simulator) {
        // Identified never: nothing but IDENT went to the device.
        std::vector<uint8_t> ident(IDENT_THEN_OPEN.begin(), IDENT_THEN_OPEN.begin() + 13);
        EXPECT_EQ(sim().rawBytesReceived(1), ident);
    }
    EXPECT_TRUE(pumpUntil([&] { return applicationHungUp(opened.app); }, 3000));
    EXPECT_FALSE(portHasValue(slot, "MaximumBaud"));
    ::close(opened.app);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, OpenPortFails,
    testing::Values(FailureCase{"DeviceNeverAnswers", Setup::Simulator, Behaviour::Silent, 10000,
                                REASON_PORT_DISABLED},
                    FailureCase{"ConnectionRefused", Setup::Simulator, Behaviour::Refuse, 3000,
                                REASON_PORT_DISABLED},
                    FailureCase{"NameNotResolved", Setup::UnresolvableName, Behaviour::Normal, 0,
                                REASON_IP_NOT_FOUND},
                    FailureCase{"NetworkUnreachable", Setup::UnreachableNetwork, Behaviour::Normal,
                                0, REASON_IP_NOT_FOUND},
                    FailureCase{"ConnectNeverCompletes", Setup::ConnectNeverAnswered,
                                Behaviour::Normal, 3000, REASON_IP_NOT_FOUND}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The report in the inQueue

struct ReportCase {
    const char* name;
    bool refuse; // nothing listens at the test's address; otherwise the host is not resolvable
};

class OpenPortReport : public ManagerTest, public testing::WithParamInterface<ReportCase> {};

TEST_P(OpenPortReport, FailedOpenAppendsOpenResultZeroBehindWhatTheDriverHasNotRead) {
    const ReportCase& c = GetParam();
    const int slot = 2;
    manager.addPort(slot, "COM3", c.refuse ? address() : UNRESOLVABLE, 1);
    ASSERT_TRUE(startPort(slot));
    RingQueue* inQueue = port(slot).inQueue.load();
    ASSERT_NE(inQueue, nullptr);
    // Bytes the driver has not read (it empties the queue itself when it asks, and
    // skips what lies before the answer): they stay where the reader left them.
    std::vector<uint8_t> unread;
    for (int i = 0; i < 300; ++i)
        unread.push_back(uint8_t(i));
    for (uint8_t byte : unread)
        ringPut(inQueue, byte);

    std::unique_ptr<DeadlineJump> jump;
    if (c.refuse)
        jump = std::make_unique<DeadlineJump>(slot, 3000, [&] {
            DeviceSocket* socket = connectionOf(port(slot));
            return socket && socket->connectError.load() != 0;
        });
    EXPECT_EQ(openPort(slot, false), 0);

    std::vector<uint8_t> queued;
    uint8_t byte = 0;
    while (ringGet(inQueue, &byte) == RING_OK)
        queued.push_back(byte);
    unread.insert(unread.end(), {0xF0, 0xA1, 0x00, 0xE0});
    EXPECT_EQ(queued, unread);
    EXPECT_TRUE(ringDataReady(inQueue));
    EXPECT_TRUE(port(slot).readEvent->wait(0));
    EXPECT_EQ(port(slot).state.load(), PORT_DISCONNECTED);
}

INSTANTIATE_TEST_SUITE_P(Causes, OpenPortReport,
                         testing::Values(ReportCase{"ConnectionRefused", true},
                                         ReportCase{"NameNotResolved", false}),
                         [](const testing::TestParamInfo<ReportCase>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Requests that arrive while an open is waiting

// Runs check on the UI thread every 10 ms until it returns true.
class UiWatcher {
  public:
    explicit UiWatcher(std::function<bool()> check) : check_(std::move(check)) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (check_())
                timer_.stop();
        });
        timer_.start();
    }

  private:
    std::function<bool()> check_;
    QTimer timer_;
};

TEST_F(OpenPort, SecondRequestForAWaitingOpenLeavesTheFirstAlone) {
    simOptions.behaviours = {Behaviour::Silent};
    ASSERT_TRUE(startSim());
    const int slot = 1;

    bool asked = false;
    intptr_t secondResult = -1;
    DeviceSocket* socketBefore = nullptr;
    DeviceSocket* socketAfter = nullptr;
    int stateAfter = -1;
    size_t inQueueAfter = 99;
    UiWatcher watcher([&] {
        if (!endedWith(slot, PORT_CONNECTING) || sim().framesReceived(1).empty())
            return false;
        socketBefore = connectionOf(port(slot));
        // As the relay thread's post would be dispatched by the waiting procedure.
        secondResult = sendMessage(WM_OPEN_PORT, 0, slot);
        socketAfter = connectionOf(port(slot));
        stateAfter = port(slot).state.load();
        RingQueue* inQueue = port(slot).inQueue.load();
        inQueueAfter = size_t(RING_SIZE - 1 - ringFreeSpace(inQueue));
        asked = true;
        vorlixsim::ReplyValues values;
        values.maxSpeed = 5;
        sim().sendRaw(1, vorlixsim::identReply(values));
        return true;
    });
    Opened opened = openByApplication(manager, slot, "COM2", address(), 1);

    ASSERT_TRUE(pumpUntil([&] { return !endedWith(slot, PORT_CONNECTING) && asked; }));
    EXPECT_EQ(secondResult, 0);
    EXPECT_NE(socketBefore, nullptr);
    EXPECT_EQ(socketAfter, socketBefore);
    EXPECT_EQ(stateAfter, PORT_CONNECTING);
    EXPECT_EQ(inQueueAfter, 0u) << "the second request wrote a report of its own";
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);
    EXPECT_EQ(port(slot).relayActive.load(), 1);
    EXPECT_EQ(sim().connectionCount(1), 1);
    bool found = false;
    EXPECT_EQ(portDword(slot, "MaximumBaud", &found), 5u);
    pumpFor(150);
    EXPECT_FALSE(applicationHungUp(opened.app));
    ::close(opened.app);
}

TEST_F(OpenPort, ServiceStaysBusyUntilNoOpenIsWaiting) {
    simOptions.behaviours = {Behaviour::Silent, Behaviour::Normal};
    ASSERT_TRUE(startSim());
    const int outer = 1;
    const int inner = 2;
    addPort(inner, "COM5", 2);
    addPort(outer, "COM4", 1);
    ASSERT_TRUE(startPort(inner));
    ASSERT_TRUE(startPort(outer));

    int innerApp = -1;
    int busyAfterInner = -1;
    int outerStateThen = -1;
    UiWatcher watcher([&] {
        if (innerApp < 0) {
            // The outer open waits for its reply: now the second port is opened.
            if (endedWith(outer, PORT_CONNECTING) && !sim().framesReceived(1).empty())
                innerApp = openApplicationPort(manager.linkPath("COM5"));
            return false;
        }
        if (!endedWith(inner, PORT_CONNECTED))
            return false;
        // The inner open has returned; the outer one is still waiting.
        busyAfterInner = context.serviceBusy.load();
        outerStateThen = port(outer).state.load();
        sim().sendRaw(1, vorlixsim::identReply({}));
        return true;
    });
    int outerApp = openApplicationPort(manager.linkPath("COM4"));
    ASSERT_GE(outerApp, 0);

    ASSERT_TRUE(pumpUntil([&] { return busyAfterInner >= 0 && endedWith(outer, PORT_CONNECTED); }));
    EXPECT_EQ(busyAfterInner, 1);
    EXPECT_EQ(outerStateThen, PORT_CONNECTING);
    EXPECT_EQ(context.serviceBusy.load(), 0);
    pumpFor(150);
    EXPECT_FALSE(applicationHungUp(outerApp));
    EXPECT_FALSE(applicationHungUp(innerApp));
    ::close(innerApp);
    ::close(outerApp);
}

TEST_F(OpenPort, PortLeftDisconnectedOpensAgainOnTheApplicationsNextOpen) {
    simOptions.behaviours = {Behaviour::Refuse};
    ASSERT_TRUE(startSim());
    const int slot = 8;
    DeadlineJump jump(slot, 3000, [&] {
        DeviceSocket* socket = connectionOf(port(slot));
        return endedWith(slot, PORT_CONNECTING) && socket && socket->connectError.load() != 0;
    });
    Opened first = openByApplication(manager, slot, "COM12", address(), 1);
    ASSERT_TRUE(pumpUntil([&] { return endedWith(slot, PORT_DISCONNECTED); }));
    ASSERT_TRUE(pumpUntil([&] { return applicationHungUp(first.app); }, 3000));
    ::close(first.app);

    sim().setBehaviour(1, Behaviour::Normal);
    int app = openApplicationPort(manager.linkPath("COM12"));
    ASSERT_GE(app, 0);
    ASSERT_TRUE(pumpUntil([&] { return endedWith(slot, PORT_CONNECTED); }));
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    EXPECT_EQ(port(slot).relayActive.load(), 1);
    pumpFor(150);
    EXPECT_FALSE(applicationHungUp(app));
    ::close(app);
}

// The 16-bit request sets isWin16Port before it calls the procedure directly.
struct Win16Case {
    const char* name;
    int isWin16Port;
    uint32_t earlierConnectedValue; // 0: none stored before
    uint32_t expectedConnectedValue;
};

class OpenPortWin16Values : public ManagerTest, public testing::WithParamInterface<Win16Case> {};

TEST_P(OpenPortWin16Values, ConnectedMarkWrittenOnlyForSixteenBitPorts) {
    const Win16Case& c = GetParam();
    ASSERT_TRUE(startSim());
    const int slot = 3;
    addPort(slot, "COM13", 1);
    ASSERT_TRUE(startPort(slot));
    if (c.earlierConnectedValue) {
        HKEY key = nullptr;
        ASSERT_TRUE(openPortKey(slot, &key));
        regSetDword(key, "IsWin16PortConnected", c.earlierConnectedValue);
        RegCloseKey(key);
    }
    port(slot).isWin16Port.store(c.isWin16Port);

    EXPECT_EQ(openPort(slot, false), 1);
    bool found = false;
    EXPECT_EQ(portDword(slot, "IsWin16Port", &found), uint32_t(c.isWin16Port));
    EXPECT_TRUE(found);
    EXPECT_EQ(portDword(slot, "IsWin16PortConnected", &found), c.expectedConnectedValue);
    EXPECT_EQ(found, c.expectedConnectedValue != 0);
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);
}

INSTANTIATE_TEST_SUITE_P(Flags, OpenPortWin16Values,
                         testing::Values(Win16Case{"SixteenBitPort", 1, 0, 1},
                                         Win16Case{"OrdinaryPortKeepsAnOldMark", 0, 7, 7},
                                         Win16Case{"OrdinaryPort", 0, 0, 0}),
                         [](const testing::TestParamInfo<Win16Case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

TEST_F(OpenPort, ApplicationOpenConnectsIdentifiesAndOpensTheDevice) {
    simOptions.reply.maxSpeed = 9;
    ASSERT_TRUE(startSim());
    int slot = addPort(3, "COM7", 2);
    ASSERT_TRUE(startPort(slot));

    int app = openApplicationPort(manager.linkPath("COM7"));
    ASSERT_GE(app, 0);
    ASSERT_TRUE(pumpUntil([&] { return port(slot).state.load() == PORT_CONNECTED; }));
    ASSERT_TRUE(sim().waitForFrames(2, 2, 3000));
    auto frames = sim().framesReceived(2);
    EXPECT_EQ(frames[0].bytes.size(), 13u);
    EXPECT_EQ(frames[0].command, 0x11);
    EXPECT_EQ(frames[1].command, 0x71);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    bool found = false;
    EXPECT_EQ(portDword(slot, "MaximumBaud", &found), 9u);
    EXPECT_TRUE(found);
    pumpFor(100);
    EXPECT_FALSE(applicationHungUp(app));
    ::close(app);
}

// Requests that overtake an open: the window serves them while the open waits.

TEST_F(OpenPort, RequestForAPortStoppedMeanwhileIsIgnored) {
    ASSERT_TRUE(startSim());
    int slot = addPort(4, "COM14", 1);
    EXPECT_EQ(openPort(slot, false), 0);
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
    pumpFor(100);
    EXPECT_EQ(sim().connectionCount(1), 0);
}

TEST_F(OpenPort, SixteenBitCloseDuringTheOpenLeavesThePortReadyAndUnconnected) {
    simOptions.behaviours = {Behaviour::Silent};
    ASSERT_TRUE(startSim());
    int slot = addPort(5, "COM15", 1);
    ASSERT_TRUE(startPort(slot));
    // Served while the open waits for the silent device's reply.
    QTimer::singleShot(100, [] { postMessage(WM_WIN16_PORT, 15, 0); });
    EXPECT_EQ(openPort(slot, false), 0);
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(port(slot).relayActive.load(), 0);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
    EXPECT_TRUE(stopPort(slot, false)); // nothing holds it any more
}

// Half an answer: a device that sends 9 of the 18 reply bytes and closes fails the open
// at once (reason '3'), without waiting out the 10 s reply wait.
TEST_F(OpenPort, HalfAReplyFromADeviceThatClosesFailsTheOpenAtOnce) {
    std::vector<uint8_t> reply = vorlixsim::identReply({});
    DevicePeer device(address(), 4001);
    ASSERT_TRUE(device.listening());
    device.answerAndHangUp({}, {reply.begin(), reply.begin() + 9});
    const int slot = 4;
    uint32_t startTick = getTickCount();

    Opened opened = openByApplication(manager, slot, "COM9", address(), 1);
    ASSERT_TRUE(pumpUntil([&] { return endedWith(slot, PORT_DISCONNECTED); }));
    EXPECT_LT(getTickCount() - startTick, REPLY_WAIT_MS);
    EXPECT_TRUE(device.answered());
    EXPECT_EQ(port(slot).reason.load(), REASON_PORT_DISABLED);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
    EXPECT_TRUE(pumpUntil([&] { return applicationHungUp(opened.app); }, 3000));
    ::close(opened.app);
}
