#include "portdriver/control_channel.h"

#include "platform/tick.h"
#include "platform/trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace portdriver {

namespace {
// Requests taken from one connection per serve(), so that one busy client does not
// hold the driver thread.
constexpr int REQUESTS_PER_SERVE = 8;

// The connections of every channel in the process, which share its descriptors. Atomic:
// the driver's lock covers its own channels, not those made apart from a driver.
std::atomic<size_t> connectionsInAll{0};

size_t connectionsAllowedInAll() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return CHANNEL_CONNECTIONS_IN_ALL;
    return std::min<size_t>(CHANNEL_CONNECTIONS_IN_ALL, limit.rlim_cur / 4);
}

// Out of descriptors or memory: the connection stays pending, and asking again at once
// would find it so.
bool wantOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

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
    acceptFailing_ = false;
    allowedInAll_ = connectionsAllowedInAll();
    return true;
}

// Counted: the driver's poll set must forget a closed number before it is used again.
void ControlChannel::closeDescriptor(int fd) {
    ::close(fd);
    ++closings_;
}

void ControlChannel::closeConnection(const Connection& connection) {
    closeDescriptor(connection.fd);
    connectionsInAll.fetch_sub(1);
}

void ControlChannel::close() {
    for (Connection& connection : connections_)
        closeConnection(connection);
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
    // Every port, every round: the clock is read only where a time rule may apply.
    uint32_t now = acceptFailing_ || !connections_.empty() ? platform::getTickCount() : 0;
    // Left in the set while asked for nothing, so that the set does not change.
    if (listener_ >= 0)
        fds.push_back({listener_, short(resting(now) || !roomPossible() ? 0 : POLLIN), 0});
    // A connection with a request waiting reads nothing more; POLLHUP still tells when
    // its application has gone.
    for (const Connection& connection : connections_) {
        short events = connection.waiting ? 0 : POLLIN;
        if (connection.idleTooLong(now))
            events |= POLLOUT;
        fds.push_back({connection.fd, events, 0});
    }
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
    uint32_t now = platform::getTickCount();
    // The requests that have arrived first: a connection whose request is read waits, and
    // is not closed to make room for a newcomer.
    serveConnections(answer, now);
    if (std::exchange(acceptDue_, false) && !resting(now)) {
        size_t before = connections_.size();
        acceptAll(now);
        if (connections_.size() != before)
            serveConnections(answer, now);
    }
}

void ControlChannel::serveConnections(const Answer& answer, uint32_t now) {
    // A request that came whole in time is served, also when its time is up now.
    std::erase_if(connections_, [&](Connection& connection) {
        if (serveConnection(connection, answer) && !connection.idleTooLong(now))
            return false;
        closeConnection(connection);
        return true;
    });
}

bool ControlChannel::resting(uint32_t now) const {
    return acceptFailing_ && int32_t(now - restUntil_) < 0;
}

bool ControlChannel::full() const {
    return connections_.size() >= CHANNEL_CONNECTIONS_PER_PORT ||
           connectionsInAll.load() >= allowedInAll_;
}

// The connection idle longest (no request waiting), or none.
size_t ControlChannel::longestIdle() const {
    size_t found = connections_.size();
    for (size_t i = 0; i < connections_.size(); ++i) {
        const Connection& connection = connections_[i];
        if (!connection.waiting && (found == connections_.size() ||
                                    int32_t(connection.since - connections_[found].since) < 0))
            found = i;
    }
    return found;
}

bool ControlChannel::roomPossible() const {
    return !full() || longestIdle() < connections_.size();
}

// Closes the longest idle connection for a newcomer, and only when one is pending: an
// idle client of the library makes a new connection when it next asks.
bool ControlChannel::makeRoom() {
    pollfd pending{listener_, POLLIN, 0};
    size_t idle = longestIdle();
    if (idle == connections_.size() || poll(&pending, 1, 0) != 1)
        return false;
    closeConnection(connections_[idle]);
    connections_.erase(connections_.begin() + std::ptrdiff_t(idle));
    return true;
}

void ControlChannel::acceptAll(uint32_t now) {
    while (listener_ >= 0) {
        if (full() && !makeRoom())
            return; // newcomers wait in the backlog until a connection closes
        int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (fd < 0) {
            if (wantOfResources(errno)) {
                if (!acceptFailing_)
                    platform::debugTrace("%s: out of descriptors, new connections wait\r\n",
                                         path_.c_str());
                acceptFailing_ = true;
                restUntil_ = now + CHANNEL_ACCEPT_REST_MS;
            }
            return;
        }
        acceptFailing_ = false;
        if (!sameUser(fd)) {
            closeDescriptor(fd);
            continue;
        }
        connectionsInAll.fetch_add(1);
        connections_.push_back({fd, platform::getTickCount()});
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
        connection.since = platform::getTickCount();
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
