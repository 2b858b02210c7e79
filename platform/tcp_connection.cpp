#include "platform/tcp_connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

bool resolve(const std::string& address, in_addr* result, std::string* error) {
    if (inet_pton(AF_INET, address.c_str(), result) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status = getaddrinfo(address.c_str(), nullptr, &hints, &found);
    if (status != 0 || !found) {
        *error = "cannot resolve " + address + ": " + gai_strerror(status);
        return false;
    }
    *result = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// The connect is started non-blocking so that it can be given up after timeoutMs;
// the connection is blocking again afterwards.
bool finishConnect(int fd, int timeoutMs, std::string* error) {
    pollfd entry{fd, POLLOUT, 0};
    int ready = 0;
    do
        ready = ::poll(&entry, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        *error = "no connection within the time limit";
        return false;
    }
    int code = ready < 0 ? errno : 0;
    socklen_t length = sizeof code;
    if (ready > 0)
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length);
    if (code != 0) {
        *error = std::strerror(code);
        return false;
    }
    return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
}

} // namespace

WaitResult waitForReadable(int fd, int timeoutMs, const WakeSignal* wake) {
    pollfd entries[2] = {{fd, POLLIN, 0}, {wake ? wake->descriptor() : -1, POLLIN, 0}};
    int ready = 0;
    do
        ready = ::poll(entries, 2, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return WaitResult::Failed;
    if (entries[1].revents & POLLIN)
        return WaitResult::Woken;
    if (ready == 0)
        return WaitResult::TimedOut;
    // An error or hang-up shows as readable too: the receive that follows reports it.
    return entries[0].revents & POLLNVAL ? WaitResult::Failed : WaitResult::Ready;
}

TcpConnection::~TcpConnection() {
    close();
}

TcpConnection::TcpConnection(TcpConnection&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

WaitResult TcpConnection::waitReadable(int timeoutMs, const WakeSignal* wake) const {
    if (fd_ < 0)
        return WaitResult::Failed;
    return waitForReadable(fd_, timeoutMs, wake);
}

int TcpConnection::receive(void* buffer, int size) {
    if (fd_ < 0)
        return -1;
    ssize_t count = 0;
    do
        count = ::recv(fd_, buffer, size_t(size), 0);
    while (count < 0 && errno == EINTR);
    return int(count);
}

bool TcpConnection::sendAll(const void* buffer, int size) {
    const char* bytes = static_cast<const char*>(buffer);
    while (fd_ >= 0 && size > 0) {
        ssize_t sent = ::send(fd_, bytes, size_t(size), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= int(sent);
    }
    return fd_ >= 0;
}

void TcpConnection::shutdownSending() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

void TcpConnection::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

TcpConnection connectTcp(const std::string& address, int port, int timeoutMs, std::string* error) {
    if (port < 1 || port > 65535) {
        *error = "no such TCP port";
        return {};
    }
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(port));
    if (!resolve(address, &where.sin_addr, error))
        return {};
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        return {};
    }
    TcpConnection connection(fd); // closes fd on every failure below
    if (::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 &&
        errno != EINPROGRESS) {
        *error = std::strerror(errno);
        return {};
    }
    if (!finishConnect(fd, timeoutMs, error))
        return {};
    return connection;
}

} // namespace platform
