#include "tests/sim/loopback.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

sockaddr_in loopbackAddress(const std::string& address, int port) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr);
    return socketAddress;
}

bool readable(int fd, int timeoutMs) {
    pollfd polled{fd, POLLIN, 0};
    return poll(&polled, 1, timeoutMs) > 0;
}

} // namespace

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

PeerSocket::PeerSocket(PeerSocket&& other) noexcept
    : fd(std::exchange(other.fd, -1)), connectError(other.connectError) {}

PeerSocket& PeerSocket::operator=(PeerSocket&& other) noexcept {
    close();
    fd = std::exchange(other.fd, -1);
    connectError = other.connectError;
    return *this;
}

PeerSocket::~PeerSocket() {
    close();
}

void PeerSocket::write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        done += static_cast<size_t>(sent);
    }
}

std::vector<uint8_t> PeerSocket::readExactly(size_t count, int timeoutMs) {
    std::vector<uint8_t> bytes;
    uint8_t buffer[4096];
    while (bytes.size() < count && readable(fd, timeoutMs)) {
        ssize_t got = recv(fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (got <= 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

std::vector<uint8_t> PeerSocket::readAvailable(int timeoutMs) {
    std::vector<uint8_t> bytes;
    uint8_t buffer[4096];
    while (readable(fd, timeoutMs)) {
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

std::vector<uint8_t> PeerSocket::readUntilClosed(int timeoutMs) {
    return readAvailable(timeoutMs);
}

bool PeerSocket::closedByPeer(int timeoutMs) {
    uint8_t buffer[256];
    while (readable(fd, timeoutMs)) {
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET))
            return true;
        if (got < 0)
            return false;
    }
    return false;
}

void PeerSocket::drain() {
    uint8_t buffer[65536];
    while (readable(fd, 50) && recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
}

void PeerSocket::close() {
    if (fd >= 0)
        ::close(std::exchange(fd, -1));
}

void PeerSocket::reset() {
    linger abortive{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close();
}

PeerSocket connectTo(const std::string& address, int port) {
    PeerSocket peer(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in socketAddress = loopbackAddress(address, port);
    if (connect(peer.fd, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0) {
        peer.connectError = errno;
        peer.close();
    }
    return peer;
}

LoopbackListener::LoopbackListener(const std::string& address, int port)
    : address_(address), port_(port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in socketAddress = loopbackAddress(address, port);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0 ||
        listen(fd_, 8) != 0)
        ::close(std::exchange(fd_, -1));
}

LoopbackListener::~LoopbackListener() {
    if (fd_ >= 0)
        ::close(fd_);
}

PeerSocket LoopbackListener::acceptOne(int timeoutMs) {
    if (fd_ < 0 || !readable(fd_, timeoutMs))
        return PeerSocket();
    return PeerSocket(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}
