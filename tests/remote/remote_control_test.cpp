// Remote-control requests over real loopback TCP, served by a whole manager: the
// server on this test's loopback address and a TCP port of its own, the ports hooked to
// the stand-in driver and connected to device-server simulators.
#include "remote/remote_control_server.h"

#include "config/manager_context.h"
#include "config/port_table.h"
#include "device/greeting.h"
#include "platform/driver_faults.h"
#include "platform/message_box.h"
#include "platform/tcp_listener.h"
#include "platform/tick.h"
#include "platform/ui_thread.h"
#include "tests/remote/remote_client.h"
#include "tests/sim/held_name_server.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_fixture.h"
#include "tests/support/port_hosts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace {

class RemoteControl : public ManagerTest {
  protected:
    RemoteControl() : server({true, address(), true}, tcpPort) {}
    ~RemoteControl() override {
        // The server's thread may be waiting for this thread, which pumps no more.
        releaseWaitingSenders();
        server.stop();
    }
    void SetUp() override {
        server.start();
        ASSERT_TRUE(manager.pumpUntil([this] { return server.listening(); }));
    }

    // The answer to one request; the client stays connected until the next one.
    std::string ask(const Bytes& bytes) {
        clients.emplace_back(std::make_unique<RemoteClient>(address(), tcpPort));
        clients.back()->send(bytes);
        return clients.back()->nextByte(20000);
    }
    std::string answerOf(const Bytes& bytes) { return ::answerOf(address(), tcpPort, bytes); }

    // COM3 in slot 2 with the simulator's ports 1 and 2; Stopped, current host port 1.
    int addCom3() {
        addPort(2, "COM3", 1);
        manager.addHost(2, 2, address(), 2, "second");
        return 2;
    }

    const int tcpPort = unusedTcpPort();
    RemoteControlServer server;
    std::vector<std::unique_ptr<RemoteClient>> clients;
};

// A second device server, on an address of its own.
class SecondDevice {
  public:
    SecondDevice() : address(allocateLoopbackAddress()), sim(simOptionsAt(address)) {
        started = sim.start();
    }
    std::string address;
    vorlixsim::SimServer sim;
    bool started = false;
};

std::vector<uint8_t> commands(const std::vector<vorlixsim::Frame>& frames) {
    std::vector<uint8_t> result;
    for (const auto& frame : frames)
        result.push_back(frame.command);
    return result;
}

} // namespace

TEST_F(RemoteControl, StoppedAndReadyPortsStartOnTheRequestedHost) {
    int slot = addCom3();
    TraceLog traces;

    EXPECT_EQ(ask(remoteRequest(3, 2, address())), "1");
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{address(), 2}));
    EXPECT_EQ(traces.count("Hooking is Just Stopped.\r\n"), 0);

    // A Ready port is stopped and started again on the new host.
    EXPECT_EQ(ask(remoteRequest(3, 1, address())), "1");
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{address(), 1}));
    EXPECT_EQ(traces.count("Hooking is Just Stopped.\r\n"), 1);
}

TEST_F(RemoteControl, FailedStartAnswersTheDigitOfItsReason) {
    int slot = addCom3();
    failDriverCall(DriverCall::Allocate, 0, 1);
    boxes.expect("Cannot Allocate Memory", "Error", MB_ICONERROR);

    EXPECT_EQ(ask(remoteRequest(3, 2, address())), "6");
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(slot).reason.load(), REASON_INTERNAL);
}

TEST_F(RemoteControl, ConnectedPortSwitchesToTheRequestedDevice) {
    int app = addConnectedPort(2, "COM3", 1);
    ASSERT_GE(app, 0);
    SecondDevice second;
    ASSERT_TRUE(second.started);

    EXPECT_EQ(ask(remoteRequest(3, 1, second.address)), "1");
    EXPECT_EQ(port(2).state.load(), PORT_CONNECTED);
    EXPECT_EQ(currentHostOf(2), (CurrentHostValues{second.address, 1}));
    ASSERT_TRUE(second.sim.waitForFrames(1, 3, 2000));
    // IDENT, OPEN, SREQ first; what the application's open still had queued may follow.
    std::vector<uint8_t> got = commands(second.sim.framesReceived(1));
    got.resize(3);
    EXPECT_EQ(got, (std::vector<uint8_t>{0x11, 0x71, 0x21}));
    EXPECT_TRUE(manager.pumpUntil([&] { return sim().openConnections(1) == 0; }));
    ::close(app);
}

// A port whose current host is another kind of server is moved like any other: the
// request's Vorlix device becomes its current host, and the switch answers.
TEST_F(RemoteControl, PortOnARawTcpServerSwitchesToTheRequestedDevice) {
    // The kernel completes the connection from the listen queue: nothing need accept.
    std::string rawAddress = allocateLoopbackAddress();
    int rawPort = unusedTcpPort();
    TcpListener rawServer;
    ASSERT_EQ(rawServer.open(rawAddress, rawPort, 4), TcpListener::OpenResult::Listening);
    std::string raw = "socket://" + rawAddress + ":" + std::to_string(rawPort);
    manager.addPort(2, "COM3", raw, 1);
    int app = connectApplication(2, "COM3");
    ASSERT_GE(app, 0);
    ASSERT_EQ(currentHostOf(2), (CurrentHostValues{raw, 1}));

    EXPECT_EQ(ask(remoteRequest(3, 2, address())), "1");
    EXPECT_EQ(port(2).state.load(), PORT_CONNECTED);
    EXPECT_EQ(currentHostOf(2), (CurrentHostValues{address(), 2}));
    ASSERT_TRUE(sim().waitForFrames(2, 3, 2000));
    std::vector<uint8_t> got = commands(sim().framesReceived(2));
    got.resize(3);
    EXPECT_EQ(got, (std::vector<uint8_t>{0x11, 0x71, 0x21}));
    ::close(app);
}

TEST_F(RemoteControl, SwitchToARefusingAddressGivesThreeAndParksThePort) {
    int app = addConnectedPort(2, "COM3", 1);
    ASSERT_GE(app, 0);
    std::string nobody = allocateLoopbackAddress(); // nothing listens there

    EXPECT_EQ(ask(remoteRequest(3, 1, nobody)), "3");
    EXPECT_TRUE(manager.pumpUntil([] { return port(2).state.load() == PORT_COM_OPENED; }));
    EXPECT_EQ(port(2).reason.load(), REASON_PORT_DISABLED);
    ::close(app);
}

TEST_F(RemoteControl, BusyManagerAnswersFiveAndChangesNothing) {
    int slot = addCom3();
    enterService();
    EXPECT_EQ(ask(remoteRequest(3, 2, address())), "5");
    leaveService();

    // A procedure that begins while the request waits for this thread: the request is
    // served inside the procedure's pump, and still changes nothing.
    RemoteClient client(address(), tcpPort);
    client.send(remoteRequest(3, 2, address()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // not pumping
    enterService();
    EXPECT_EQ(client.nextByte(), "5");
    leaveService();

    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{address(), 1}));
}

// A host outside the port's list becomes its current host (the list shows it as a hidden
// port's row), and the list is asked to show it.
TEST_F(RemoteControl, HostOutsideThePortsListBecomesTheCurrentHostAndTheListIsRebuilt) {
    int slot = addCom3();
    std::string elsewhere = allocateLoopbackAddress();
    int rebuilds = 0;
    platform::setMessageHandler([&](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        rebuilds += message == platform::WM_REFRESH_LIST;
        return manager.messages().handle(message, wParam, lParam);
    });

    EXPECT_EQ(ask(remoteRequest(3, 7, elsewhere)), "1");
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{elsewhere, 7}));
    EXPECT_EQ(findHost(slot, elsewhere.c_str(), 7), nullptr);
    EXPECT_TRUE(manager.pumpUntil([&] { return rebuilds > 0; }));
    manager.messages().install();
}

// Whatever a client sends, the manager answers at most one digit, changes nothing it
// should not, and goes on serving.
TEST_F(RemoteControl, BadRequestsNeverHurtTheManager) {
    int slot = addCom3();
    auto padded = [](Bytes bytes, size_t size) {
        bytes.resize(size, 0);
        return bytes;
    };
    Bytes noZero256{3, 1};
    noZero256.resize(256, '7');
    Bytes noZero255(noZero256.begin(), noZero256.begin() + 255);
    struct Case {
        const char* name;
        Bytes bytes;
        const char* answer;
    };
    const Case cases[] = {
        {"nothing, then the client's close", {}, ""},
        {"a COM number only", {3}, "3"},
        {"no address", {3, 1}, "3"},
        {"an empty address", remoteRequest(3, 1, ""), "3"},
        {"255 bytes without a zero", noZero255, "3"},
        {"256 bytes without a zero", noZero256, "3"},
        {"256 bytes, zero-padded", padded(remoteRequest(42, 1, "10.0.0.1"), 256), "4"},
        {"300 bytes, zero-padded", padded(remoteRequest(42, 1, "10.0.0.1"), 300), "4"},
        {"19 characters, no such port", remoteRequest(42, 1, "vorlix-19-chars.lan"), "4"},
        {"20 characters", remoteRequest(3, 1, "vorlix-20-chars.lan2"), "3"},
        {"device port 0", remoteRequest(3, 0, address()), "3"},
        {"device port 33", remoteRequest(3, 33, address()), "3"},
        {"device port -1", remoteRequest(3, 0xFF, address()), "3"},
        {"COM0", remoteRequest(0, 1, address()), "4"},
        {"COM-3", remoteRequest(0xFD, 1, address()), "4"},
        {"COM100", remoteRequest(100, 1, address()), "4"},
        {"a port nobody configured", remoteRequest(42, 1, address()), "4"},
        {"non-ASCII address", remoteRequest(3, 1, "10.0.0.\xE9"), "3"},
        {"address with a space", remoteRequest(3, 1, "10.0.0.1 x"), "3"},
        {"a raw TCP server's address", remoteRequest(3, 1, "socket://h:4001"), "3"},
        {"an RFC 2217 server's address", remoteRequest(3, 1, "rfc2217://h:2217"), "3"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(answerOf(c.bytes), c.answer) << c.name;
        EXPECT_EQ(port(slot).state.load(), PORT_STOPPED) << c.name;
        EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{address(), 1})) << c.name;
    }

    // An address that runs to the end of the bytes, without its zero.
    EXPECT_EQ(ask(remoteRequest(3, 2, address(), false)), "1");
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{address(), 2}));
}

// Clients are read side by side: one that says nothing holds nobody, and each is given
// up 10 s after it was taken, whatever the others do.
TEST_F(RemoteControl, SilentClientsHoldNobodyAndEachHasItsOwnTenSeconds) {
    int slot = addCom3();
    RemoteClient(address(), tcpPort).close();
    RemoteClient first(address(), tcpPort);
    EXPECT_EQ(ask(remoteRequest(42, 1, address())), "4");
    addTickOffset(6000);
    RemoteClient second(address(), tcpPort);
    EXPECT_EQ(ask(remoteRequest(42, 1, address())), "4");

    addTickOffset(4001);
    EXPECT_EQ(first.restUntilClosed(), "");
    EXPECT_FALSE(second.answered());
    second.send(remoteRequest(3, 2, address()));
    EXPECT_EQ(second.restUntilClosed(), "1");

    // Two requests back to back on one connection: only the first is served.
    RemoteClient twice(address(), tcpPort);
    twice.send(remoteRequest(3, 1, address()));
    twice.send(remoteRequest(3, 2, "10.9.9.9"));
    EXPECT_EQ(twice.restUntilClosed(), "1");
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{address(), 1}));
}

// Far more controllers at once than are read side by side: every one is taken in turn
// and answered; none is turned away by the system.
TEST_F(RemoteControl, BurstOfControllersIsAnsweredEveryOne) {
    addCom3();
    constexpr int CLIENTS = 300;
    std::vector<std::unique_ptr<RemoteClient>> burst;
    for (int i = 0; i < CLIENTS; ++i) {
        burst.push_back(std::make_unique<RemoteClient>(address(), tcpPort));
        ASSERT_TRUE(burst.back()->connected()) << "client " << i;
    }
    for (auto& client : burst)
        client->send(remoteRequest(42, 1, address()));
    int answered = 0;
    for (auto& client : burst)
        answered += client->restUntilClosed() == "4";
    EXPECT_EQ(answered, CLIENTS);

    EXPECT_EQ(ask(remoteRequest(3, 2, address())), "1");
}

namespace {

// Writes text on the application's side of a port and reads its echo.
bool echoed(int app, const std::string& text, int timeoutMs) {
    if (::write(app, text.data(), text.size()) != ssize_t(text.size()))
        return false;
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < text.size() && std::chrono::steady_clock::now() < until) {
        pollfd entry{app, POLLIN, 0};
        char buffer[64];
        ssize_t count = ::poll(&entry, 1, 50) > 0 ? ::read(app, buffer, sizeof buffer) : 0;
        if (count > 0)
            got.append(buffer, size_t(count));
    }
    return got == text;
}

} // namespace

// A request naming a host whose name server does not answer: the port it names waits
// its 3 s (the lookup within them) and the answer is '2'; every other port's data keeps
// flowing meanwhile. The lookup's late answer leaves the port as the switch left it.
TEST_F(RemoteControl, SlowNameHoldsOnlyThePortItNames) {
    HeldNameServer names;
    if (!names.problem().empty())
        GTEST_SKIP() << names.problem();
    const std::string slowName = "dev.slow-names.test";
    addPort(2, "COM3", 1);
    addPort(4, "COM5", 2);
    int named = connectApplication(2, "COM3");
    int other = connectApplication(4, "COM5");
    ASSERT_GE(named, 0);
    ASSERT_GE(other, 0);

    // Another application, meanwhile: its echoes need the UI thread, on which the
    // switch waits for its connect.
    std::atomic<int> echoes{0};
    std::thread application([&] {
        if (names.waitForQuery(slowName, 10000))
            for (int round = 0; round < 3 && echoed(other, "PING", 5000); ++round)
                ++echoes;
        addTickOffset(CONNECT_WAIT_MS + 1);
    });
    EXPECT_EQ(ask(remoteRequest(3, 1, slowName)), "2");
    application.join();
    EXPECT_EQ(echoes.load(), 3);
    EXPECT_TRUE(manager.pumpUntil([] { return port(2).state.load() == PORT_COM_OPENED; }));
    EXPECT_EQ(port(2).reason.load(), REASON_IP_NOT_FOUND);

    names.answer(slowName, address());
    std::atomic<int> pong{-1};
    std::thread later([&] { pong = echoed(other, "PONG", 5000); });
    EXPECT_TRUE(manager.pumpUntil([&] { return pong.load() >= 0; }, 10000));
    later.join();
    EXPECT_EQ(pong.load(), 1);
    EXPECT_EQ(port(2).state.load(), PORT_COM_OPENED);
    EXPECT_EQ(port(2).reason.load(), REASON_IP_NOT_FOUND);
    ::close(named);
    ::close(other);
}
