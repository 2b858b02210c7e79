#pragma once
// Reads the values the manager published for a port (port_registry.h) on a thread of its
// own, for a session about to begin. A read of the store takes a tenth of a millisecond
// and more while the manager writes; on the driver thread it would keep the driver from
// moving a port's link on at once when an application opens it, and a program that opens
// and closes the port quickly could reach the same pty twice.
//
// The driver thread asks and takes the answers; the reader touches nothing of the
// driver's.
#include "portdriver/port_registry.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace portdriver {

class HookReader {
  public:
    using Answer = std::pair<int, std::optional<PublishedValues>>;

    HookReader();
    ~HookReader();
    HookReader(const HookReader&) = delete;
    HookReader& operator=(const HookReader&) = delete;

    // Readable while answers wait.
    int fd() const { return answerFd_; }
    void ask(int slot);
    // The answers so far, in the order asked: a slot and its values (none: not started).
    std::vector<Answer> take();

  private:
    void run();

    int answerFd_ = -1;
    std::mutex mutex_;
    std::condition_variable asked_;
    std::deque<int> questions_;
    std::vector<Answer> answers_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace portdriver
