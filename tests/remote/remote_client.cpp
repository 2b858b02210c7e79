#include "tests/remote/remote_client.h"

#include "tests/support/pump.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace platform;

namespace {
constexpr int CONNECT_MS = 5000;
constexpr int NOBODYS_PORT = 99;
} // namespace

Bytes remoteRequest(int comNumber, int devicePort, const std::string& address, bool terminated) {
    Bytes bytes(2 + address.size());
    bytes[0] = uint8_t(comNumber);
    bytes[1] = uint8_t(devicePort);
    std::copy(address.begin(), address.end(), bytes.begin() + 2);
    if (terminated)
        bytes.push_back(0);
    return bytes;
}

RemoteClient::RemoteClient(const std::string& address, int tcpPort) {
    std::string error;
    connection_ = connectTcp(address, tcpPort, CONNECT_MS, &error);
    EXPECT_TRUE(connection_.valid()) << "remote control at " << address << ": " << error;
}

void RemoteClient::send(const Bytes& bytes) {
    EXPECT_TRUE(connection_.sendAll(bytes.data(), int(bytes.size())));
}

bool RemoteClient::answered() const {
    return connection_.waitReadable(0) == WaitResult::Ready;
}

std::string RemoteClient::nextByte(int timeoutMs) {
    if (!pumpUntil([this] { return answered(); }, timeoutMs))
        return "(none)";
    char byte = 0;
    return connection_.receive(&byte, 1) == 1 ? std::string(1, byte) : "";
}

std::string RemoteClient::restUntilClosed(int timeoutMs) {
    std::string received;
    for (;;) {
        std::string next = nextByte(timeoutMs);
        if (next.size() != 1)
            return next == "" ? received : received + next;
        received += next;
    }
}

std::string answerOf(const std::string& address, int tcpPort, const Bytes& bytes) {
    RemoteClient first(address, tcpPort);
    if (bytes.empty())
        first.finishSending();
    else
        first.send(bytes);
    RemoteClient probe(address, tcpPort);
    probe.send(remoteRequest(NOBODYS_PORT, 1, "10.0.0.1"));
    EXPECT_EQ(probe.nextByte(), "4") << "the server no longer serves";
    return first.restUntilClosed();
}
