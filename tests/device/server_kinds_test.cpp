// Ports whose host is another kind of serial server than a Vorlix device, through the
// whole manager: the application on its pty link, the relay thread, the open procedure
// and a real server on loopback TCP.
#include "config/manager_context.h"
#include "config/port_table.h"
#include "device/device_protocol.h"
#include "device/device_socket.h"
#include "device/port_connection.h"
#include "driverlink/driver_link.h"
#include "platform/tick.h"
#include "platform/ui_thread.h"
#include "portdriver/install.h"
#include "tests/procedures/device_records.h"
#include "tests/procedures/tick_driver.h"
#include "tests/support/client_process.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_harness.h"
#include "tests/support/ser2net_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A Vorlix device silent this long is taken for lost.
constexpr int SILENCE_RULE_MS = 120000;

// A plain TCP server that sends back what it receives, one connection at a time, on a
// loopback address of its own or on IPv6's.
class EchoServer {
  public:
    explicit EchoServer(bool ipv6 = false)
        : address_(ipv6 ? "::1" : allocateLoopbackAddress()), port_(unusedTcpPort()) {
        sockaddr_storage at{};
        auto* v4 = reinterpret_cast<sockaddr_in*>(&at);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&at);
        at.ss_family = ipv6 ? AF_INET6 : AF_INET;
        if (ipv6) {
            v6->sin6_port = htons(uint16_t(port_));
            v6->sin6_addr = in6addr_loopback;
        } else {
            v4->sin_port = htons(uint16_t(port_));
            inet_pton(AF_INET, address_.c_str(), &v4->sin_addr);
        }
        listener_ = ::socket(at.ss_family, SOCK_STREAM, 0);
        listening_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
                     ::listen(listener_, 4) == 0;
        if (listening_)
            thread_ = std::thread([this] { serve(); });
    }
    ~EchoServer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        ::close(listener_);
    }
    bool listening() const { return listening_; }
    std::string url(const char* scheme) const {
        bool ipv6 = address_.find(':') != std::string::npos;
        return std::string(scheme) + (ipv6 ? "[" + address_ + "]" : address_) + ":" +
               std::to_string(port_);
    }
    int connections() const { return connections_.load(); }

  private:
    void serve() {
        while (!stop_) {
            pollfd wait{listener_, POLLIN, 0};
            if (::poll(&wait, 1, 20) <= 0)
                continue;
            int peer = ::accept(listener_, nullptr, nullptr);
            if (peer < 0)
                continue;
            ++connections_;
            echo(peer);
            ::close(peer);
        }
    }
    void echo(int peer) {
        uint8_t buffer[4096];
        while (!stop_) {
            pollfd wait{peer, POLLIN, 0};
            if (::poll(&wait, 1, 20) <= 0)
                continue;
            ssize_t n = ::read(peer, buffer, sizeof buffer);
            if (n <= 0 || ::write(peer, buffer, size_t(n)) != n)
                return;
        }
    }

    std::string address_;
    int port_;
    int listener_ = -1;
    bool listening_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Writes all of bytes as a non-blocking application must, and reads what comes back
// while the manager runs, until as many came or the wait is over.
Bytes echoThroughPort(ManagerHarness& manager, int fd, const Bytes& bytes) {
    Bytes got;
    size_t written = 0;
    manager.pumpUntil(
        [&] {
            if (written < bytes.size()) {
                ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
                if (n > 0)
                    written += size_t(n);
            }
            uint8_t buffer[4096];
            ssize_t n = 0;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
                got.insert(got.end(), buffer, buffer + n);
            return got.size() >= bytes.size();
        },
        10000);
    return got;
}

// The server kind's own bytes never reach the application: every byte value, 0xF0 and
// 0xFF among them, comes back exactly once and in order.
class RawTcpEcho : public testing::TestWithParam<bool> {};

// Also at an IPv6 address in brackets.
TEST_P(RawTcpEcho, TheApplicationsBytesGoThereAndBackUnchanged) {
    EchoServer server(GetParam());
    if (GetParam() && !server.listening())
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    ASSERT_TRUE(server.listening());
    ManagerHarness manager;
    int slot = manager.addPort(0, "COM5", server.url("socket://"), 1);
    int fd = manager.connectApplication(slot, "COM5");
    ASSERT_GE(fd, 0);
    // The kernel completes the connect before the server's thread accepts it.
    EXPECT_TRUE(manager.pumpUntil([&] { return server.connections() == 1; }));
    Bytes bytes = everyByteFourTimes();
    EXPECT_EQ(echoThroughPort(manager, fd, bytes), bytes);
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Addresses, RawTcpEcho, testing::Bool(),
                         [](const auto& info) { return info.param ? "Ipv6" : "Ipv4"; });

// What a descriptor (the application's, or the line's far end) reads while the manager
// runs, until count bytes came.
Bytes readLine(ManagerHarness& manager, int line, size_t count) {
    Bytes got;
    manager.pumpUntil(
        [&] {
            uint8_t buffer[4096];
            ssize_t n = 0;
            while ((n = ::read(line, buffer, sizeof buffer)) > 0)
                got.insert(got.end(), buffer, buffer + n);
            return got.size() >= count;
        },
        10000);
    return got;
}

Bytes readApplication(ManagerHarness& manager, int fd, size_t count) {
    return readLine(manager, fd, count);
}

// A raw server has nothing to say while the line is quiet: silence beyond the 120 s
// that drop a Vorlix device leaves its port Connected, and the line still carries.
TEST(RawTcpServer, AQuietLineIsNotTakenForALostServer) {
    EchoServer server;
    ASSERT_TRUE(server.listening());
    ManagerHarness manager;
    int slot = manager.addPort(0, "COM5", server.url("socket://"), 1);
    int fd = manager.connectApplication(slot, "COM5");
    ASSERT_GE(fd, 0);
    platform::addTickOffset(SILENCE_RULE_MS + 10000);
    wakeRelay();
    manager.pumpFor(200);
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);
    const Bytes bytes = {'s', 't', 'i', 'l', 'l'};
    EXPECT_EQ(echoThroughPort(manager, fd, bytes), bytes);
    EXPECT_EQ(server.connections(), 1);
    ::close(fd);
}

// ---- Against a Telnet server the test plays ----

constexpr uint8_t IAC = 255, WILL = 251, WONT = 252, DO = 253, DONT = 254, SB = 250, SE = 240;
constexpr uint8_t ECHO_OPTION = 1, COM_PORT_OPTION = 44;

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// A Telnet server of one connection that answers the client's WILL COM-PORT-OPTION with
// agreeOrRefuse, keeps what it received, and sends what the test gives it.
class ScriptedTelnetServer {
  public:
    // withAnswer: what it sends in the same write as its answer.
    explicit ScriptedTelnetServer(uint8_t agreeOrRefuse, Bytes withAnswer = {})
        : answer_(agreeOrRefuse), withAnswer_(std::move(withAnswer)),
          address_(allocateLoopbackAddress()), port_(unusedTcpPort()) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        // A small window, as a device server's: a pause in its reading holds the sender
        // back after little.
        int window = 16384;
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(uint16_t(port_));
        inet_pton(AF_INET, address_.c_str(), &at.sin_addr);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
            ::listen(listener_, 4) == 0)
            thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedTelnetServer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        ::close(listener_);
    }
    std::string url() const { return "rfc2217://" + address_ + ":" + std::to_string(port_); }
    Bytes received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    void send(const Bytes& bytes) {
        std::lock_guard lock(mutex_);
        toSend_.insert(toSend_.end(), bytes.begin(), bytes.end());
    }
    // While paused it reads nothing (what it has to send still goes).
    void pauseReading(bool paused) { paused_ = paused; }
    // Closes the connection and takes the next; what it received so far is forgotten.
    void dropConnection() {
        std::lock_guard lock(mutex_);
        drop_ = true;
    }

  private:
    void serve() {
        int peer = -1;
        bool answered = false;
        while (!stop_) {
            if (std::lock_guard lock(mutex_); drop_ && peer >= 0) {
                ::close(std::exchange(peer, -1));
                drop_ = answered = false;
                received_.clear();
            }
            if (peer < 0) {
                pollfd wait{listener_, POLLIN, 0};
                if (::poll(&wait, 1, 20) > 0)
                    peer = ::accept(listener_, nullptr, nullptr);
                continue;
            }
            pollfd wait{peer, POLLIN, 0};
            if (paused_)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            else if (::poll(&wait, 1, 20) > 0) {
                uint8_t buffer[4096];
                ssize_t n = ::read(peer, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                std::lock_guard lock(mutex_);
                received_.insert(received_.end(), buffer, buffer + n);
                if (!answered && contains(received_, {IAC, WILL, COM_PORT_OPTION})) {
                    answered = true;
                    toSend_.insert(toSend_.begin(), withAnswer_.begin(), withAnswer_.end());
                    toSend_.insert(toSend_.begin(), {IAC, answer_, COM_PORT_OPTION});
                }
            }
            std::lock_guard lock(mutex_);
            if (!toSend_.empty() && ::write(peer, toSend_.data(), toSend_.size()) > 0)
                toSend_.clear();
        }
        if (peer >= 0)
            ::close(peer);
    }

    uint8_t answer_;
    Bytes withAnswer_;
    std::string address_;
    int port_;
    int listener_ = -1;
    std::atomic<bool> stop_{false}, paused_{false};
    mutable std::mutex mutex_;
    bool drop_ = false;
    Bytes received_, toSend_;
    std::thread thread_;
};

// A port whose host is a scripted Telnet server that agrees (withAnswer: what it sends
// with its agreement), with the application holding the port open.
class TelnetServerPort : public testing::Test {
  protected:
    void open(Bytes withAnswer = {}) {
        server = std::make_unique<ScriptedTelnetServer>(DO, std::move(withAnswer));
        slot = manager.addPort(0, "COM5", server->url(), 1);
        fd = manager.connectApplication(slot, "COM5");
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0)
            ::close(fd);
    }
    std::unique_ptr<ScriptedTelnetServer> server;
    ManagerHarness manager;
    int slot = -1;
    int fd = -1;
};

// A server that refuses COM-PORT-OPTION fails the open as a device that does not
// identify itself does: Disconnected, reason '3'.
TEST(Rfc2217Server, ARefusalOfTheComPortOptionFailsTheOpen) {
    ScriptedTelnetServer server(DONT);
    ManagerHarness manager;
    int slot = manager.addPort(0, "COM5", server.url(), 1);
    ASSERT_TRUE(startPort(slot));
    int fd = openApplicationPort(manager.linkPath("COM5"));
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(manager.pumpUntil([&] {
        return port(slot).state.load() == PORT_DISCONNECTED &&
               port(slot).reason.load() == REASON_PORT_DISABLED;
    }));
    ::close(fd);
}

// A server may negotiate in the middle of a session: the answer goes back on the same
// connection, between the application's data, which arrives whole.
TEST_F(TelnetServerPort, ANegotiationInTheMiddleOfASessionIsAnswered) {
    open();
    server->send({IAC, WILL, ECHO_OPTION, 'h', 'i'});
    EXPECT_EQ(readApplication(manager, fd, 2), (Bytes{'h', 'i'}));
    EXPECT_TRUE(manager.pumpUntil([&] {
        return contains(server->received(), {IAC, DONT, ECHO_OPTION});
    }));
    const Bytes data = {'a', 0xFF, 'b'};
    ASSERT_EQ(::write(fd, data.data(), data.size()), ssize_t(data.size()));
    EXPECT_TRUE(manager.pumpUntil([&] {
        return contains(server->received(), {'a', IAC, IAC, 'b'});
    }));
}

// The server's modem-state notices are the port's modem status, as a Vorlix device's
// status packets are: every change, all four lines low among them.
TEST_F(TelnetServerPort, ModemStateNoticesAreThePortsModemStatus) {
    constexpr uint8_t NOTIFY_MODEMSTATE = 107;
    // The first notice comes with the agreement, and is not sent again.
    open({IAC, SB, COM_PORT_OPTION, NOTIFY_MODEMSTATE, 0x90, IAC, SE});
    EXPECT_TRUE(manager.pumpUntil([&] { return portdriver::lastModemStatus("COM5") == 0x90; }))
        << portdriver::lastModemStatus("COM5");
    for (uint8_t state : {0x30, 0x00, 0xB0}) {
        server->send({IAC, SB, COM_PORT_OPTION, NOTIFY_MODEMSTATE, state, IAC, SE});
        EXPECT_TRUE(manager.pumpUntil([&] { return portdriver::lastModemStatus("COM5") == state; }))
            << int(state) << ": " << portdriver::lastModemStatus("COM5");
    }
}

// A server that asks the application's data to wait (FLOWCONTROL-SUSPEND) gets none of
// it until it lets it go on (FLOWCONTROL-RESUME); the application's close ends a wait,
// its last data delivered.
TEST_F(TelnetServerPort, DataWaitsWhileTheServerSuspendsTheFlow) {
    constexpr uint8_t SUSPEND = 108, RESUME = 109;
    open();
    auto flow = [&](uint8_t command) {
        server->send({IAC, SB, COM_PORT_OPTION, command, IAC, SE});
        return manager.pumpUntil([&] {
            DeviceSocket* socket = connectionOf(port(slot));
            return socket && socket->protocol().holdsData() == (command == SUSPEND);
        });
    };
    const Bytes first = {'o', 'n', 'e'}, last = {'t', 'w', 'o'};
    ASSERT_TRUE(flow(SUSPEND));
    ASSERT_EQ(::write(fd, first.data(), first.size()), ssize_t(first.size()));
    manager.pumpFor(300);
    EXPECT_FALSE(contains(server->received(), first));
    ASSERT_TRUE(flow(RESUME));
    EXPECT_TRUE(manager.pumpUntil([&] { return contains(server->received(), first); }));

    ASSERT_TRUE(flow(SUSPEND));
    ASSERT_EQ(::write(fd, last.data(), last.size()), ssize_t(last.size()));
    manager.pumpFor(100);
    ::close(std::exchange(fd, -1));
    EXPECT_TRUE(manager.pumpUntil([&] { return contains(server->received(), last); }));
    EXPECT_TRUE(manager.pumpUntil([&] { return port(slot).state.load() == PORT_READY; }));
}

// A server that leaves the keep-alive unanswered stays Connected past the silence rule
// while its system acknowledges what is sent; one that withdraws COM-PORT-OPTION loses
// the connection.
TEST_F(TelnetServerPort, AQuietServerIsKeptAndAWithdrawalLosesTheConnection) {
    TickDriver ticks(100, reconnectionRunning); // a reconnection's waits pass at once
    open();

    platform::addTickOffset(SILENCE_RULE_MS + 10000);
    wakeRelay();
    manager.pumpFor(200);
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);

    server->send({IAC, DONT, COM_PORT_OPTION});
    EXPECT_TRUE(manager.pumpUntil([&] { return port(slot).state.load() == PORT_RECONNECTING; }));
}

// The session's line settings and the modem lines the open raises go to the server as
// COM-PORT-OPTION commands once it agreed: SET-BAUDRATE, SET-CONTROL DTR on and RTS on.
// The connection after a lost one gets them again.
TEST_F(TelnetServerPort, TheOpenSendsTheRateAndRaisesDtrAndRtsAndAReconnectionAgain) {
    constexpr uint8_t SET_BAUDRATE = 1, SET_CONTROL = 5;
    open();
    auto rateAndLinesSent = [&] {
        Bytes got = server->received();
        return contains(got, {IAC, SB, COM_PORT_OPTION, SET_BAUDRATE}) &&
               contains(got, {IAC, SB, COM_PORT_OPTION, SET_CONTROL, 8, IAC, SE}) &&
               contains(got, {IAC, SB, COM_PORT_OPTION, SET_CONTROL, 11, IAC, SE});
    };
    EXPECT_TRUE(manager.pumpUntil(rateAndLinesSent));

    TickDriver ticks(100, reconnectionRunning);
    server->dropConnection();
    ASSERT_TRUE(manager.pumpUntil([&] { return port(slot).state.load() == PORT_RECONNECTING; }));
    ASSERT_TRUE(
        manager.pumpUntil([&] { return port(slot).state.load() == PORT_CONNECTED; }, 30000));
    EXPECT_TRUE(manager.pumpUntil(rateAndLinesSent));
}

// pyserial with the preload library in front of it: the input flush of its open, its
// break and its output flush reach the server as PURGE-DATA 1, SET-CONTROL break on and
// off, and PURGE-DATA 2, in the order the application made them among its data (the
// break after what it wrote before).
TEST(Rfc2217Server, TheApplicationsFlushesAndBreakReachTheServerInOrder) {
    constexpr uint8_t SET_CONTROL = 5, PURGE_DATA = 12;
    const char* script = "import serial, sys\n"
                         "with serial.Serial(sys.argv[1], 9600, timeout=5) as port:\n"
                         "    port.write(b'before')\n"
                         "    port.send_break(0.1)\n"
                         "    port.reset_output_buffer()\n"
                         "    port.write(b'after')\n"
                         "    port.flush()\n"
                         "print('OK', flush=True)\n";
    ScriptedTelnetServer server(DO);
    ManagerHarness manager;
    int slot = manager.addPort(0, "COM5", server.url(), 1);
    ASSERT_TRUE(startPort(slot));
    ClientProcess python({"/usr/bin/python3", "-c", script, manager.linkPath("COM5")},
                         testing::TempDir() + "flush_and_break_client", PRELOAD_LIBRARY);
    ASSERT_TRUE(manager.pumpUntil([&] { return python.done(); }, 15000)) << python.output();
    ASSERT_EQ(python.finish(), 0) << python.output();

    auto command = [&](uint8_t code, uint8_t value) {
        return Bytes{IAC, SB, COM_PORT_OPTION, code, value, IAC, SE};
    };
    const std::vector<Bytes> inOrder = {
        command(PURGE_DATA, 1),  Bytes{'b', 'e', 'f', 'o', 'r', 'e'},
        command(SET_CONTROL, 5), command(SET_CONTROL, 6),
        command(PURGE_DATA, 2),  Bytes{'a', 'f', 't', 'e', 'r'}};
    Bytes got;
    EXPECT_TRUE(manager.pumpUntil([&] {
        got = server.received();
        return contains(got, inOrder.back());
    }));
    auto from = got.begin();
    for (size_t step = 0; step < inOrder.size(); ++step) {
        auto found = std::search(from, got.end(), inOrder[step].begin(), inOrder[step].end());
        ASSERT_NE(found, got.end()) << "step " << step;
        from = found + std::ptrdiff_t(inOrder[step].size());
    }
}

// ---- Against Debian's ser2net, serving one end of a pseudo-terminal pair ----

// Every byte value both ways (0xFF doubled on the wire only), and a rate and stop bits
// the application sets arrive on the server's line.
void expectBytesBothWaysAndTheRate(ManagerHarness& manager, int fd, int line,
                                   const std::function<std::string()>& log) {
    const Bytes bytes = everyByteFourTimes();
    size_t written = 0;
    manager.pumpUntil([&] {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        written += n > 0 ? size_t(n) : 0;
        return written == bytes.size();
    });
    EXPECT_EQ(readLine(manager, line, bytes.size()), bytes) << log();

    ASSERT_EQ(::write(line, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    EXPECT_EQ(readApplication(manager, fd, bytes.size()), bytes) << log();

    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    cfsetspeed(&settings, B19200);
    settings.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    termios seen{};
    EXPECT_TRUE(manager.pumpUntil([&] {
        return tcgetattr(line, &seen) == 0 && cfgetospeed(&seen) == B19200 &&
               (seen.c_cflag & CSTOPB);
    })) << log();
}

// A port whose host is Debian's ser2net; skipped where it is not installed.
class Ser2netPort : public testing::Test {
  protected:
    void SetUp() override {
        if (Ser2net::path().empty())
            GTEST_SKIP() << "ser2net is not installed (bash scripts/deps.sh test)";
    }
    void serve(Ser2net::Accepter accepter = Ser2net::Accepter::Rfc2217) {
        server = std::make_unique<Ser2net>(accepter);
        ASSERT_TRUE(server->listening()) << server->log();
        slot = manager.addPort(0, "COM5", server->url(), 1);
    }
    ManagerHarness manager;
    std::unique_ptr<Ser2net> server;
    int slot = -1;
};

TEST_F(Ser2netPort, CarriesEveryByteAndTheRate) {
    serve();
    int fd = manager.connectApplication(slot, "COM5");
    ASSERT_GE(fd, 0) << server->log();
    expectBytesBothWaysAndTheRate(manager, fd, server->line(), [&] { return server->log(); });
    ::close(fd);
}

// ser2net serves one connection at a time: an application that closes the port and
// opens it again at once gets the server each time, its own bytes both ways (0xFF
// among them), through either accepter.
class Ser2netSessions : public Ser2netPort,
                        public testing::WithParamInterface<Ser2net::Accepter> {};

TEST_P(Ser2netSessions, EverySessionOfAQuicklyReopenedPortIsServed) {
    serve(GetParam());
    ASSERT_TRUE(startPort(slot));
    for (uint8_t session = 0; session < 5; ++session) {
        int fd = openApplicationPort(manager.linkPath("COM5"));
        ASSERT_GE(fd, 0);
        const Bytes out = {0xFF, uint8_t('a' + session)}, back = {uint8_t('A' + session), 0xFF};
        EXPECT_TRUE(manager.pumpUntil([&] { return ::write(fd, out.data(), 2) == 2; }));
        EXPECT_EQ(readLine(manager, server->line(), 2), out) << "session " << int(session);
        ASSERT_EQ(::write(server->line(), back.data(), 2), 2);
        EXPECT_EQ(readApplication(manager, fd, 2), back) << "session " << int(session) << "\n"
                                                         << server->log();
        ::close(fd);
    }
}

INSTANTIATE_TEST_SUITE_P(Accepters, Ser2netSessions,
                         testing::Values(Ser2net::Accepter::Rfc2217, Ser2net::Accepter::RawTcp),
                         [](const auto& info) {
                             return info.param == Ser2net::Accepter::Rfc2217 ? "Rfc2217" : "RawTcp";
                         });

// pyserial as the application, with the preload library, against ser2net whose line
// echoes: every byte value comes back, and the rate it opens with is set on the line.
TEST_F(Ser2netPort, PyserialGetsItsEchoAtItsRate) {
    const char* script = "import serial, sys\n"
                         "port = serial.serial_for_url(sys.argv[1], baudrate=19200, timeout=10)\n"
                         "data = bytes(range(256)) * 4\n"
                         "port.write(data)\n"
                         "got = port.read(len(data))\n"
                         "port.close()\n"
                         "sys.exit(0 if got == data else 1)\n";
    serve();
    ASSERT_TRUE(startPort(slot));
    ClientProcess python({"/usr/bin/python3", "-c", script, manager.linkPath("COM5")},
                         testing::TempDir() + "pyserial_ser2net_client", PRELOAD_LIBRARY);
    bool rateSeen = false;
    ASSERT_TRUE(manager.pumpUntil(
        [&] {
            termios line{};
            rateSeen =
                rateSeen || (tcgetattr(server->line(), &line) == 0 && cfgetospeed(&line) == B19200);
            uint8_t buffer[4096];
            ssize_t n = ::read(server->line(), buffer, sizeof buffer);
            if (n > 0) {
                EXPECT_EQ(::write(server->line(), buffer, size_t(n)), n);
            }
            return python.done();
        },
        20000))
        << python.output();
    EXPECT_EQ(python.finish(), 0) << python.output() << server->log();
    EXPECT_TRUE(rateSeen);
}

// pyserial's own RFC 2217 server (serial.rfc2217.PortManager), a second implementation
// that these tests did not write, serving a pty.
TEST(Rfc2217Server, PyserialsServerCarriesEveryByteAndTheRate) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string address = allocateLoopbackAddress();
    const int tcpPort = unusedTcpPort();
    ClientProcess server(
        {"/usr/bin/python3", PYSERIAL_SERVER, address, std::to_string(tcpPort), ptsname(master)},
        testing::TempDir() + "pyserial_rfc2217_server");
    ManagerHarness manager;
    ASSERT_TRUE(server.printed("listening")) << server.output();
    int slot =
        manager.addPort(0, "COM5", "rfc2217://" + address + ":" + std::to_string(tcpPort), 1);
    int fd = manager.connectApplication(slot, "COM5");
    ASSERT_GE(fd, 0) << server.output();
    expectBytesBothWaysAndTheRate(manager, fd, master, [&] { return server.output(); });
    ::close(fd);
    ::close(master);
}

// The server goes away with the application holding the port: the reconnection finds
// it back, and the application's rate is set on the line again before its data flows.
TEST_F(Ser2netPort, AServerThatRestartsIsReconnectedWithTheRateSetAgain) {
    serve();
    int fd = manager.connectApplication(slot, "COM5");
    ASSERT_GE(fd, 0) << server->log();
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    cfsetspeed(&settings, B19200);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    termios line{};
    ASSERT_TRUE(manager.pumpUntil(
        [&] { return tcgetattr(server->line(), &line) == 0 && cfgetospeed(&line) == B19200; }));

    TickDriver ticks(100, reconnectionRunning);
    server->restart();
    cfsetspeed(&line, B1200); // what the line was left at by whoever had it meanwhile
    ASSERT_EQ(tcsetattr(server->line(), TCSANOW, &line), 0);
    ASSERT_TRUE(manager.pumpUntil([&] { return port(slot).state.load() == PORT_RECONNECTING; }));
    ASSERT_TRUE(manager.pumpUntil(
        [&] {
            return context.reconnectRunning.load() == 0 &&
                   port(slot).state.load() == PORT_CONNECTED;
        },
        30000))
        << server->log();
    EXPECT_TRUE(manager.pumpUntil([&] {
        return tcgetattr(server->line(), &line) == 0 && cfgetospeed(&line) == B19200;
    })) << server->log();
    const Bytes after = {'a', 0xFF, 'f', 't', 'e', 'r'};
    ASSERT_EQ(::write(fd, after.data(), after.size()), ssize_t(after.size()));
    EXPECT_EQ(readLine(manager, server->line(), after.size()), after);
    ::close(fd);
}

// The application's data in what an RFC 2217 client sent: IAC doubling undone, the
// commands left out.
Bytes dataSentToTelnetServer(const Bytes& received) {
    auto protocol = makeProtocol(ProtocolKind::Rfc2217);
    Bytes data;
    for (size_t at = 0, size = 1; at < received.size() && size != 0; at += size)
        size = protocol->readHeldUnit({received.data() + at, received.size() - at}, data);
    return data;
}

// A server that reads nothing for a while, with the application writing all the time,
// and negotiates meanwhile: its answers wait with the data, none lost, and the data
// arrives whole.
TEST_F(TelnetServerPort, AnswersToAServerThatReadsNothingWaitWithTheData) {
    constexpr uint8_t OPTION = 200;
    open();
    server->pauseReading(true);
    Bytes sent;
    int refusedPasses = 0; // the outQueue, the pending frames and TCP's buffers full
    while (refusedPasses < 50) {
        Bytes chunk(4096, 'd');
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = uint8_t(sent.size() + i);
        ssize_t n = ::write(fd, chunk.data(), chunk.size());
        if (n > 0)
            sent.insert(sent.end(), chunk.begin(), chunk.begin() + n);
        refusedPasses = n > 0 ? 0 : refusedPasses + 1;
        manager.pumpFor(n > 0 ? 0 : 10);
    }
    Bytes requests;
    for (int i = 0; i < 600; ++i) // each refused anew: 1800 bytes of answers
        requests.insert(requests.end(), {IAC, DO, OPTION});
    server->send(requests);
    manager.pumpFor(300);
    server->pauseReading(false);
    auto refusals = [](const Bytes& got) {
        const Bytes refusal = {IAC, WONT, OPTION};
        int count = 0;
        for (auto at = got.begin();
             (at = std::search(at, got.end(), refusal.begin(), refusal.end())) != got.end();
             at += 3)
            ++count;
        return count;
    };
    Bytes got;
    EXPECT_TRUE(manager.pumpUntil(
        [&] {
            got = server->received(); // no sooner than the data and the answers can be there
            return got.size() >= sent.size() + 1800 && refusals(got) == 600 &&
                   dataSentToTelnetServer(got).size() >= sent.size();
        },
        20000));
    EXPECT_TRUE(dataSentToTelnetServer(got) == sent) << "the data did not arrive whole";
    EXPECT_EQ(refusals(got), 600);
}

// Switching from a Vorlix device to an RFC 2217 server and on to another Vorlix device
// while the application writes all the time: what the three received, one after the
// other, is the application's stream, without a byte lost or twice. Frames held for the
// old connection go to the new server in its own words, and a replaced connection is
// let go only once its server has all it was sent.
TEST(Rfc2217Server, SwitchingAcrossKindsWhileTheApplicationWritesLosesNothing) {
    ManagerHarness manager;
    ScriptedTelnetServer telnet(DO);
    std::vector<std::unique_ptr<vorlixsim::SimServer>> devices;
    std::vector<std::string> addresses;
    for (int i = 0; i < 2; ++i) {
        addresses.push_back(allocateLoopbackAddress());
        devices.push_back(std::make_unique<vorlixsim::SimServer>(simOptionsAt(addresses.back())));
        ASSERT_TRUE(devices.back()->start()) << devices.back()->errorText();
    }
    int slot = manager.addPort(0, "COM5", addresses[0], 1);
    int fd = manager.connectApplication(slot, "COM5");
    ASSERT_GE(fd, 0);

    std::atomic<bool> writing{true};
    std::atomic<size_t> written{0};
    Bytes stream(4 << 20);
    std::mt19937 random(2217);
    for (uint8_t& byte : stream)
        byte = uint8_t(random()); // 0xFF and 0xF0 among them
    std::thread writer([&] {
        while (writing && written < stream.size()) {
            size_t at = written;
            ssize_t n = ::write(fd, stream.data() + at, std::min<size_t>(4096, stream.size() - at));
            if (n > 0)
                written += size_t(n);
            else
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    auto received = [&](int which) {
        return which == 1 ? dataSentToTelnetServer(telnet.received())
                          : dataReceived(*devices[which / 2], 1);
    };
    // Each server takes its share of the stream before the port moves on.
    auto share = [&](int which) {
        manager.pumpUntil(
            [&] {
                Bytes echo(4096);
                while (::read(fd, echo.data(), echo.size()) > 0) {
                } // the Vorlix devices' echo
                return received(which).size() > 100000;
            },
            5000);
    };
    auto switchTo = [&](const std::string& address) {
        setCurrentHost(port(slot), address.c_str(), 1);
        EXPECT_EQ(platform::sendMessage(platform::WM_SWITCH_PORT, 0, slot), 1) << address;
    };
    share(0);
    switchTo(telnet.url());
    share(1);
    switchTo(addresses[1]);
    share(2);
    writing = false;
    writer.join();
    const Bytes sent(stream.begin(), stream.begin() + ptrdiff_t(written.load()));
    Bytes accepted;
    std::string parts;
    manager.pumpUntil([&] {
        accepted.clear();
        parts.clear();
        for (int which : {0, 1, 2}) {
            Bytes part = received(which);
            accepted.insert(accepted.end(), part.begin(), part.end());
            parts += " " + std::to_string(part.size());
        }
        return accepted.size() >= sent.size();
    });
    ASSERT_EQ(accepted.size(), sent.size()) << "the servers' shares:" << parts;
    EXPECT_TRUE(accepted == sent)
        << "the servers' shares:" << parts << "; differs at "
        << std::mismatch(accepted.begin(), accepted.end(), sent.begin()).first - accepted.begin();
    ::close(fd);
}

} // namespace
