#include "portdriver/control_channel.h"

#include "platform/trace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace portdriver {

namespace {
// A handful per application (one shared, one per wait in progress); this bounds what a
// runaway client can hold.
constexpr size_t MAX_CONNECTIONS = 64;
// Requests taken from one connection per serve(), so that one busy client does not
// hold the driver thread.
constexpr int REQUESTS_PER_SERVE = 8;

bool sameUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return false;
    return peer.uid == geteuid() || peer.uid == 0;
}
} // namespace

ControlChannel::ControlChannel(std::string path) : path_(std::move(path)) {}

ControlChannel::~ControlChannel() {
    close();
}

bool ControlChannel::open() {
    if (listener_ >= 0)
        return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        platform::debugTrace("%s: path too long for a socket\r\n", path_.c_str());
        return false;
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    // A socket there is left by a manager that died (one manager per user); anything
    // else is not ours to replace.
    struct stat existing {};
    if (lstat(path_.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode))
            return false;
        unlink(path_.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Owner-only at once: the folder may be readable by others, and connect() needs
    // write permission on the socket. The peer's user is checked as well.
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        chmod(path_.c_str(), 0600) != 0 || listen(fd, 16) != 0 ||
        lstat(path_.c_str(), &existing) != 0) {
        closeDescriptor(fd);
        unlink(path_.c_str());
        return false;
    }
    listener_ = fd;
    inode_ = existing.st_ino;
    return true;
}

// Counted: the driver's poll set must forget a closed number before it is used again.
void ControlChannel::closeDescriptor(int fd) {
    ::close(fd);
    ++closings_;
}

void ControlChannel::close() {
    for (Connection& connection : connections_)
        closeDescriptor(connection.fd);
    connections_.clear();
    if (listener_ < 0)
        return;
    closeDescriptor(listener_);
    listener_ = -1;
    struct stat existing {};
    if (lstat(path_.c_str(), &existing) == 0 && existing.st_ino == inode_)
        unlink(path_.c_str());
}

bool ControlChannel::keepSocket() {
    struct stat existing {};
    if (listener_ >= 0 && lstat(path_.c_str(), &existing) == 0 && existing.st_ino == inode_)
        return true;
    // Whoever still holds a connection keeps it; new ones come to the new socket.
    if (listener_ >= 0) {
        closeDescriptor(listener_);
        listener_ = -1;
    }
    return open();
}

void ControlChannel::pollRequests(std::vector<pollfd>& fds) const {
    if (listener_ >= 0)
        fds.push_back({listener_, POLLIN, 0});
    // A connection with a request waiting reads nothing more; POLLHUP still tells when
    // its application has gone.
    for (const Connection& connection : connections_)
        fds.push_back({connection.fd, short(connection.waiting ? 0 : POLLIN), 0});
}

void ControlChannel::noteReady(int fd) {
    if (fd == listener_)
        acceptDue_ = true;
    for (Connection& connection : connections_) {
        if (connection.fd == fd)
            connection.readable = true;
    }
}

void ControlChannel::serve(const Answer& answer) {
    if (acceptDue_)
        acceptAll();
    acceptDue_ = false;
    std::erase_if(connections_, [&](Connection& connection) {
        if (serveConnection(connection, answer))
            return false;
        closeDescriptor(connection.fd);
        return true;
    });
}

void ControlChannel::acceptAll() {
    while (listener_ >= 0) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (connections_.size() >= MAX_CONNECTIONS || !sameUser(fd)) {
            closeDescriptor(fd);
            continue;
        }
        connections_.push_back({fd});
    }
}

// False when the connection is to be dropped.
bool ControlChannel::serveConnection(Connection& connection, const Answer& answer) {
    bool readable = std::exchange(connection.readable, false);
    for (int round = 0; round < REQUESTS_PER_SERVE; ++round) {
        if (!connection.waiting && !readable)
            return true; // poll() will tell when something arrives
        if (!connection.waiting && !readRequest(connection))
            return false;
        if (!connection.waiting)
            return true; // nothing more has arrived
        if (!stillThere(connection))
            return false; // a wait given up (a signal, a closed descriptor)
        PortChannelReply reply{};
        if (!answer(connection.request, reply))
            return true;
        connection.waiting = false;
        connection.received = 0;
        if (send(connection.fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT) !=
            ssize_t(sizeof reply))
            return false;
    }
    return true;
}

// Reads what has arrived of the next request; false when the peer has gone or broke
// the format.
bool ControlChannel::readRequest(Connection& connection) {
    auto* bytes = reinterpret_cast<uint8_t*>(&connection.request);
    while (connection.received < sizeof connection.request) {
        ssize_t got = recv(connection.fd, bytes + connection.received,
                           sizeof connection.request - connection.received, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (got <= 0)
            return false;
        connection.received += size_t(got);
    }
    connection.waiting = true;
    return true;
}

bool ControlChannel::stillThere(const Connection& connection) {
    pollfd probe{connection.fd, 0, 0};
    return poll(&probe, 1, 0) == 0 || !(probe.revents & (POLLHUP | POLLERR | POLLNVAL));
}

} // namespace portdriver
