#include "tests/procedures/full_backlog_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

FullBacklogListener::FullBacklogListener(const std::string& address, int tcpPort) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(tcpPort));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(listener_, 0) != 0)
        return;
    for (int i = 0; i < 16 && !full_; ++i)
        full_ = !connectsAtOnce(where);
}

FullBacklogListener::~FullBacklogListener() {
    for (int fd : fillers_)
        ::close(fd);
    ::close(listener_);
}

bool FullBacklogListener::connectsAtOnce(const sockaddr_in& where) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    fillers_.push_back(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0)
        return true;
    pollfd waitFor{fd, POLLOUT, 0};
    return ::poll(&waitFor, 1, 300) == 1;
}
