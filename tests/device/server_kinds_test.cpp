// Ports whose host is another kind of serial server than a Vorlix device, through the
// whole manager: the application on its pty link, the relay thread, the open procedure
// and a real server on loopback TCP.
#include "config/port_table.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A plain TCP server that sends back what it receives, one connection at a time, and
// keeps what it received.
class EchoServer {
  public:
    EchoServer() : address_(allocateLoopbackAddress()), port_(unusedTcpPort()) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(uint16_t(port_));
        inet_pton(AF_INET, address_.c_str(), &at.sin_addr);
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
        return std::string(scheme) + address_ + ":" + std::to_string(port_);
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

Bytes everyByteFourTimes() {
    Bytes bytes;
    for (int round = 0; round < 4; ++round)
        for (int value = 0; value < 256; ++value)
            bytes.push_back(uint8_t(value));
    return bytes;
}

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
TEST(RawTcpServer, TheApplicationsBytesGoThereAndBackUnchanged) {
    EchoServer server;
    ASSERT_TRUE(server.listening());
    ManagerHarness manager;
    int slot = manager.addPort(0, "COM5", server.url("socket://"), 1);
    int fd = manager.connectApplication(slot, "COM5");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(server.connections(), 1);
    Bytes bytes = everyByteFourTimes();
    EXPECT_EQ(echoThroughPort(manager, fd, bytes), bytes);
    ::close(fd);
}

} // namespace
