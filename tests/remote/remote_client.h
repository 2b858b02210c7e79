#pragma once
// The remote controller's side for the tests: a client of the remote-control server on
// the test's main thread (the UI thread), which pumps while it waits, because the
// server has its requests served by the UI thread.
#include "platform/tcp_connection.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// COM number, device port number, address and (unless unterminated) its zero byte.
Bytes remoteRequest(int comNumber, int devicePort, const std::string& address,
                    bool terminated = true);

class RemoteClient {
  public:
    RemoteClient(const std::string& address, int tcpPort);

    bool connected() const { return connection_.valid(); }
    void send(const Bytes& bytes);
    // No more bytes from the client (a request of 0 bytes).
    void finishSending() { connection_.shutdownSending(); }
    void close() { connection_.close(); }
    // Pumps until a byte comes or the server closes: the byte as a one-character text,
    // "" when the server closed without one, "(none)" when nothing came in timeoutMs.
    std::string nextByte(int timeoutMs = 10000);
    // Everything the server still sends until it closes the connection.
    std::string restUntilClosed(int timeoutMs = 10000);
    // Whether a byte or the close has arrived, without waiting.
    bool answered() const;

  private:
    platform::TcpConnection connection_;
};

// Sends bytes as one client, then has a second client ask for a port nobody has (the
// server still serves). Returns all the first client received until the server closed
// its connection: its answer, or "".
std::string answerOf(const std::string& address, int tcpPort, const Bytes& bytes);
