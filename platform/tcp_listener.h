#pragma once
// TcpListener: an IPv4 TCP listening socket for a server that runs on a thread of its
// own. open() creates, binds and listens; waitForClient() waits until a client is
// pending (with a time limit and a WakeSignal); accept() takes it as a TcpConnection
// without ever blocking. waitForAny() waits for the listener and many connections at
// once, for a server that reads from many clients side by side. The descriptor is
// closed by close() or destruction.
//
// Owned and used by one thread. The address may be reused at once after an earlier
// listener on it has gone (its closed connections linger in TIME_WAIT otherwise), but
// a port that another socket listens on still cannot be bound.
#include "platform/tcp_connection.h"

#include <string>
#include <vector>

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
    // The next pending client, blocking like any TcpConnection. Not valid when none is
    // pending, or when accepting failed: then *failed (if given) is true (out of
    // descriptors, for instance; the client stays pending). Never blocks.
    TcpConnection accept(bool* failed = nullptr);
    void close();

    int descriptor() const { return fd_; }

  private:
    int fd_ = -1;
};

// Waits until the listener has a client pending or one of the connections can be read
// (bytes, or the peer's close), the wake signal is raised, or the time is up. ready
// gets one flag per connection, in order; *clientPending whether the listener has one.
// listener may be null (not watched).
WaitResult waitForAny(const TcpListener* listener,
                      const std::vector<const TcpConnection*>& connections, int timeoutMs,
                      const WakeSignal* wake, std::vector<bool>* ready, bool* clientPending);

} // namespace platform
