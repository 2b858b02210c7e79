#pragma once
// Plain blocking loopback sockets for the tests of the simulator and of
// AsyncSocket: a listener on a loopback address (tests/support/loopback_address.h)
// and the peer end of a connection. Reads give up after a real-time bound so a
// broken build fails instead of hanging.
#include <cstdint>
#include <string>
#include <vector>

std::vector<uint8_t> bytesOf(const std::string& text);

struct PeerSocket {
    int fd = -1;
    int connectError = 0; // errno of a failed connectTo

    PeerSocket() = default;
    explicit PeerSocket(int descriptor) : fd(descriptor) {}
    PeerSocket(PeerSocket&& other) noexcept;
    PeerSocket& operator=(PeerSocket&& other) noexcept;
    ~PeerSocket();

    void write(const std::vector<uint8_t>& bytes);
    // Up to count bytes; fewer when the peer closes or timeoutMs passes.
    std::vector<uint8_t> readExactly(size_t count, int timeoutMs = 3000);
    // Whatever arrives within timeoutMs of quiet.
    std::vector<uint8_t> readAvailable(int timeoutMs);
    std::vector<uint8_t> readUntilClosed(int timeoutMs = 3000);
    // True when the other side has closed (a read gives end of stream).
    bool closedByPeer(int timeoutMs = 3000);
    void drain();
    void close();
    // Closes with a reset instead of an orderly end.
    void reset();
};

PeerSocket connectTo(const std::string& address, int port);

class LoopbackListener {
  public:
    LoopbackListener(const std::string& address, int port);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    const char* address() const { return address_.c_str(); }
    int port() const { return port_; }
    PeerSocket acceptOne(int timeoutMs = 3000);

  private:
    std::string address_;
    int port_;
    int fd_ = -1;
};
