#pragma once
// FullBacklogListener: a loopback listener that never accepts, its accept queue
// (listen backlog 0) filled by a connection of its own, so that the kernel drops the
// SYN of any further connect: a host that does not answer at all, without leaving
// the loopback network. Test thread only; closes everything when destroyed.
#include <string>
#include <vector>

struct sockaddr_in;

class FullBacklogListener {
  public:
    FullBacklogListener(const std::string& address, int tcpPort);
    ~FullBacklogListener();
    FullBacklogListener(const FullBacklogListener&) = delete;
    FullBacklogListener& operator=(const FullBacklogListener&) = delete;

    // Whether a further connect is left unanswered.
    bool full() const { return full_; }

  private:
    bool connectsAtOnce(const sockaddr_in& where);

    int listener_ = -1;
    std::vector<int> fillers_;
    bool full_ = false;
};
