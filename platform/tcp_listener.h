#pragma once
// TcpListener: a blocking IPv4 TCP listening socket for a server that runs on a thread
// of its own. open() creates, binds and listens; waitForClient() waits until a client
// is pending (with a time limit and a WakeSignal); accept() takes it as a
// TcpConnection. The descriptor is closed by close() or destruction.
//
// Owned and used by one thread. The address may be reused at once after an earlier
// listener on it has gone (its closed connections linger in TIME_WAIT otherwise), but
// a port that another socket listens on still cannot be bound.
#include "platform/tcp_connection.h"

#include <string>

namespace platform {

class TcpListener {
  public:
    enum class OpenResult {
        Listening,
        SocketFailed, // no socket could be made
        BindFailed,   // the address is not a local one or the port is taken, or listen failed
    };

    TcpListener() = default;
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // address: dotted IPv4 text of a local address, or "" for every local address.
    // Text that is not a dotted address gives BindFailed.
    OpenResult open(const std::string& address, int port, int backlog);
    bool listening() const { return fd_ >= 0; }
    // Ready when a client is pending.
    WaitResult waitForClient(int timeoutMs, const WakeSignal* wake) const;
    // The pending client; not valid when accepting failed (the client left first, or
    // the process is out of descriptors).
    TcpConnection accept();
    void close();

  private:
    int fd_ = -1;
};

} // namespace platform
