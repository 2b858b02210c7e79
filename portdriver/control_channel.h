#pragma once
// The driver's end of one port's control channel (rings/port_channel.h): a Unix stream
// socket beside the port's link (COM5.ctl), owner-only, and the connections of the
// applications' preload libraries. Each request is handed to the port; one it cannot
// answer yet (an open still pending, a wait for a line change) stays with its
// connection and is offered again at every serve(), until it is answered or the
// application goes away.
//
// Connections are bounded, per port and in all (descriptors are the process's): a full
// channel makes room by closing its longest idle connection, and with none idle leaves
// newcomers waiting in the socket's backlog. A connection must bring each request whole
// within CHANNEL_IDLE_LIMIT_MS of its start or of its last answer (tick source), or it is
// closed. When accepting fails for want of descriptors, the socket rests a while
// instead of being found ready again at once.
//
// Owned by a DriverPort; used on the driver thread or under the driver's lock.
#include "rings/port_channel.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace portdriver {

// Connections of one port's channel, and of all of them together (at most a quarter of
// the descriptor limit).
constexpr size_t CHANNEL_CONNECTIONS_PER_PORT = 16;
constexpr size_t CHANNEL_CONNECTIONS_IN_ALL = 256;
constexpr uint32_t CHANNEL_IDLE_LIMIT_MS = 10000;
// After a failed accept for want of descriptors.
constexpr uint32_t CHANNEL_ACCEPT_REST_MS = 100;

class ControlChannel {
  public:
    // Fills the reply and returns true, or returns false to be asked again later.
    using Answer = std::function<bool(const PortChannelRequest&, PortChannelReply&)>;

    explicit ControlChannel(std::string path);
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // Listens at the path (a socket left there by a manager that died is replaced; any
    // other file is not). False when the socket cannot be made.
    bool open();
    // Drops every connection and removes the socket.
    void close();
    // Makes the socket again when someone removed or replaced it; false when it cannot.
    bool keepSocket();
    bool listening() const { return listener_ >= 0; }
    // How many of its descriptors it has closed so far.
    unsigned closings() const { return closings_; }
    const std::string& path() const { return path_; }

    // What poll() should watch. A connection past its idle limit asks for POLLOUT,
    // which poll reports at once, so that the next serve() comes and closes it; the
    // listener is asked for nothing while it rests or while the channel is full of
    // connections that all wait.
    void pollRequests(std::vector<pollfd>& fds) const;
    // poll() found something on one of the descriptors pollRequests gave: the next
    // serve() looks there. (poll() reports again what is left, so nothing is missed.)
    void noteReady(int fd);
    // Takes new connections and requests where poll() found them, and answers what can
    // be answered now. Only descriptors noted ready are read: a port's traffic makes a
    // round every few hundred bytes, and a failing accept or read on each is costly.
    void serve(const Answer& answer);

  private:
    struct Connection {
        int fd = -1;
        uint32_t since = 0; // tick of the accept or the last answer, taken then
        PortChannelRequest request{};
        size_t received = 0; // bytes of request so far
        bool waiting = false;
        bool readable = true; // a new connection may have its request there already

        bool idleTooLong(uint32_t now) const {
            return !waiting && int32_t(now - since) >= int32_t(CHANNEL_IDLE_LIMIT_MS);
        }
    };

    void acceptAll(uint32_t now);
    bool resting(uint32_t now) const;
    bool full() const;
    size_t longestIdle() const;
    bool roomPossible() const;
    bool makeRoom();
    void serveConnections(const Answer& answer, uint32_t now);
    bool serveConnection(Connection& connection, const Answer& answer);
    bool readRequest(Connection& connection);
    static bool stillThere(const Connection& connection);
    void closeDescriptor(int fd);
    void closeConnection(const Connection& connection);

    std::string path_;
    int listener_ = -1;
    bool acceptDue_ = true;
    bool acceptFailing_ = false; // out of descriptors: rests until restUntil_
    uint32_t restUntil_ = 0;
    size_t allowedInAll_ = CHANNEL_CONNECTIONS_IN_ALL; // of the descriptor limit at open()
    unsigned closings_ = 0;
    ino_t inode_ = 0; // of the socket made, so only that one is removed
    std::vector<Connection> connections_;
};

} // namespace portdriver
