#pragma once
// What the driver thread waits on, kept in an epoll instance: poll() over every port's
// descriptors cost the driver a pass over all of them in the kernel at every round, and
// with many ports streaming a round comes every few hundred bytes.
//
// Each round the driver hands over the whole set it wants, as for poll(); only what
// changed since the last round reaches the kernel. A descriptor closed and its number
// reused for another between two rounds looks unchanged, so the owner asks for a
// rebuild whenever descriptors may have been closed.
//
// Owned by the PortDriver; driver thread only.
#include <poll.h>
#include <sys/epoll.h>
#include <vector>

namespace portdriver {

class PollSet {
  public:
    PollSet();
    ~PollSet();
    PollSet(const PollSet&) = delete;
    PollSet& operator=(const PollSet&) = delete;

    // Takes this round's set; rebuild: register every descriptor anew. Called while
    // the descriptors cannot be closed (under the driver's lock).
    void update(const std::vector<pollfd>& fds, bool rebuild);
    // Then, like poll(fds, timeoutMs): fills in revents and returns how many have some,
    // 0 on a time-out, -1 on an error.
    int wait(std::vector<pollfd>& fds, int timeoutMs);

  private:
    void renew();
    void change(int operation, int fd, unsigned events);

    int epollFd_ = -1;
    std::vector<unsigned> registered_; // by descriptor: its events, marked; 0 when not there
    std::vector<int> registeredFds_;
    std::vector<unsigned> wanted_;   // by descriptor, this round, the same way
    std::vector<unsigned> happened_; // by descriptor, what the wait reported
    std::vector<epoll_event> events_;
};

} // namespace portdriver
