#pragma once
// TcpConnection: one blocking IPv4 TCP connection, accepted by a TcpListener or made
// by connectTcp. It owns its descriptor and closes it on close() or destruction;
// movable, not copyable. One thread uses it at a time.
//
// Waits watch an optional WakeSignal beside the socket, so the thread that owns the
// connection can be told to stop without waiting out the time limit.
#include "platform/wake_signal.h"

#include <string>

namespace platform {

enum class WaitResult {
    Ready,    // the socket can be read (for a listener: a client is pending)
    TimedOut, // the time limit passed first
    Woken,    // the wake signal is raised
    Failed,   // the wait itself failed
};

class TcpConnection {
  public:
    TcpConnection() = default;
    explicit TcpConnection(int descriptor) : fd_(descriptor) {}
    ~TcpConnection();
    TcpConnection(TcpConnection&& other) noexcept;
    TcpConnection& operator=(TcpConnection&& other) noexcept;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    bool valid() const { return fd_ >= 0; }
    // Until bytes, or the peer's close, can be read; at most timeoutMs (0: just look).
    WaitResult waitReadable(int timeoutMs, const WakeSignal* wake = nullptr) const;
    // One receive of at most size bytes: the count, 0 when the peer has closed, -1 on
    // failure. Blocks until something arrives.
    int receive(void* buffer, int size);
    // Sends every byte; false when the connection failed. A peer that has gone never
    // raises SIGPIPE.
    bool sendAll(const void* buffer, int size);
    // No more bytes from this side (the peer reads its end); receiving goes on.
    void shutdownSending();
    void close();

    int descriptor() const { return fd_; }

  private:
    int fd_ = -1;
};

// Connects to address:port (dotted IPv4 or a host name, its first IPv4 address)
// within timeoutMs. On failure the connection is not valid and *error says why.
TcpConnection connectTcp(const std::string& address, int port, int timeoutMs, std::string* error);

// The poll behind the waits: fd readable, wake raised, or the time up.
WaitResult waitForReadable(int fd, int timeoutMs, const WakeSignal* wake);

} // namespace platform
