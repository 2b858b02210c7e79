#include "platform/tcp_listener.h"

#include "platform/faults.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

bool parseAddress(const std::string& text, in_addr* address) {
    if (text.empty()) {
        address->s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, text.c_str(), address) == 1;
}

} // namespace

TcpListener::~TcpListener() {
    close();
}

TcpListener::OpenResult TcpListener::open(const std::string& address, int port, int backlog) {
    close();
    if (platformCallFails(PlatformCall::TcpSocket))
        return OpenResult::SocketFailed;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return OpenResult::SocketFailed;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(port));
    bool bound = port > 0 && port <= 65535 && parseAddress(address, &where.sin_addr) &&
                 ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
                 ::listen(fd, backlog) == 0;
    if (!bound) {
        ::close(fd);
        return OpenResult::BindFailed;
    }
    fd_ = fd;
    return OpenResult::Listening;
}

WaitResult TcpListener::waitForClient(int timeoutMs, const WakeSignal* wake) const {
    if (fd_ < 0)
        return WaitResult::Failed;
    return waitForReadable(fd_, timeoutMs, wake);
}

// The listener is non-blocking, so a client that left between the wait and the accept
// cannot hold the thread until the next one comes; the connection accepted is blocking
// (accept4 hands out no flags but SOCK_CLOEXEC).
TcpConnection TcpListener::accept(bool* failed) {
    if (failed)
        *failed = false;
    if (fd_ < 0)
        return {};
    for (;;) {
        int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            return TcpConnection(fd);
        // A client that reset its connection before it was taken: the next one.
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (failed)
            *failed = errno != EAGAIN && errno != EWOULDBLOCK;
        return {};
    }
}

void TcpListener::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

WaitResult waitForAny(const TcpListener* listener,
                      const std::vector<const TcpConnection*>& connections, int timeoutMs,
                      const WakeSignal* wake, std::vector<bool>* ready, bool* clientPending) {
    std::vector<pollfd> entries;
    entries.reserve(connections.size() + 2);
    entries.push_back({wake ? wake->descriptor() : -1, POLLIN, 0});
    entries.push_back({listener ? listener->descriptor() : -1, POLLIN, 0});
    for (const TcpConnection* connection : connections)
        entries.push_back({connection->descriptor(), POLLIN, 0});
    int count = 0;
    do
        count = ::poll(entries.data(), entries.size(), timeoutMs);
    while (count < 0 && errno == EINTR);
    ready->assign(connections.size(), false);
    *clientPending = false;
    if (count < 0 || (entries[1].revents & POLLNVAL))
        return WaitResult::Failed;
    if (entries[0].revents & POLLIN)
        return WaitResult::Woken;
    if (count == 0)
        return WaitResult::TimedOut;
    *clientPending = entries[1].revents & POLLIN;
    // An error or hang-up shows as readable too: the receive that follows reports it.
    for (size_t i = 0; i < connections.size(); ++i)
        (*ready)[i] = entries[i + 2].revents != 0;
    return WaitResult::Ready;
}

} // namespace platform
