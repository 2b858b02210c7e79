#include "platform/tcp_listener.h"

#include "platform/faults.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
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
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

TcpConnection TcpListener::accept() {
    if (fd_ < 0)
        return {};
    int fd = -1;
    do
        fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return TcpConnection(fd);
}

void TcpListener::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

} // namespace platform
