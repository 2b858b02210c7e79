#include "portdriver/poll_set.h"

#include <algorithm>
#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

namespace portdriver {

namespace {
// poll() and epoll share the bits of the events the driver uses.
static_assert(POLLIN == EPOLLIN && POLLOUT == EPOLLOUT && POLLPRI == EPOLLPRI &&
              POLLERR == EPOLLERR && POLLHUP == EPOLLHUP);

// Marks a descriptor as wanted or registered, whatever its events.
constexpr unsigned PRESENT = 1u << 31;

void grow(std::vector<unsigned>& byFd, int fd) {
    if (size_t(fd) >= byFd.size())
        byFd.resize(size_t(fd) + 1, 0);
}
} // namespace

PollSet::PollSet() {
    renew();
}

PollSet::~PollSet() {
    if (epollFd_ >= 0)
        close(epollFd_);
}

void PollSet::renew() {
    if (epollFd_ >= 0)
        close(epollFd_);
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    for (int fd : registeredFds_)
        registered_[size_t(fd)] = 0;
    registeredFds_.clear();
}

void PollSet::change(int operation, int fd, unsigned events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    if (epoll_ctl(epollFd_, operation, fd, &event) == 0)
        return;
    // A descriptor closed since (its registration went with it) or registered under
    // another number's reuse: the other operation puts it right.
    if (operation == EPOLL_CTL_MOD && errno == ENOENT)
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event);
    else if (operation == EPOLL_CTL_ADD && errno == EEXIST)
        epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event);
}

// Adds, changes and removes what differs from the last round.
void PollSet::update(const std::vector<pollfd>& fds, bool rebuild) {
    if (rebuild || epollFd_ < 0)
        renew();
    if (epollFd_ < 0)
        return; // wait() falls back to poll()
    for (const pollfd& request : fds) {
        grow(wanted_, request.fd);
        wanted_[size_t(request.fd)] |= PRESENT | unsigned(request.events); // twice: both
    }
    std::erase_if(registeredFds_, [this](int fd) {
        if (size_t(fd) < wanted_.size() && wanted_[size_t(fd)] != 0)
            return false;
        change(EPOLL_CTL_DEL, fd, 0);
        registered_[size_t(fd)] = 0;
        return true;
    });
    for (const pollfd& request : fds) {
        unsigned wanted = wanted_[size_t(request.fd)];
        if (wanted == 0)
            continue; // the same fd twice: done with the first
        grow(registered_, request.fd);
        unsigned& current = registered_[size_t(request.fd)];
        if (current == 0) {
            change(EPOLL_CTL_ADD, request.fd, wanted & ~PRESENT);
            registeredFds_.push_back(request.fd);
        } else if (current != wanted) {
            change(EPOLL_CTL_MOD, request.fd, wanted & ~PRESENT);
        }
        current = wanted;
        wanted_[size_t(request.fd)] = 0;
    }
}

int PollSet::wait(std::vector<pollfd>& fds, int timeoutMs) {
    if (epollFd_ < 0)
        return poll(fds.data(), fds.size(), timeoutMs);
    events_.resize(std::max<size_t>(registeredFds_.size(), 1));
    int count = epoll_wait(epollFd_, events_.data(), int(events_.size()), timeoutMs);
    if (count < 0)
        return -1;
    for (int i = 0; i < count; ++i) {
        grow(happened_, events_[size_t(i)].data.fd);
        happened_[size_t(events_[size_t(i)].data.fd)] = events_[size_t(i)].events;
    }
    int ready = 0;
    for (pollfd& request : fds) {
        unsigned seen = size_t(request.fd) < happened_.size() ? happened_[size_t(request.fd)] : 0;
        request.revents = short(seen & (unsigned(request.events) | POLLERR | POLLHUP));
        ready += request.revents != 0;
    }
    for (int i = 0; i < count; ++i)
        happened_[size_t(events_[size_t(i)].data.fd)] = 0;
    return ready;
}

} // namespace portdriver
