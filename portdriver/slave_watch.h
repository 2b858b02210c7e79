#pragma once
// Who holds the slave side of each port's pty, as inotify reports it: every open of
// the slave counts one holder more, every last close of an open file one less. The
// master alone cannot tell an application that closes and reopens at once from one
// that stayed (POLLHUP and EIO show only while nobody holds the slave), so the driver
// learns from here that the last holder left, even when a new one came right after.
//
// One inotify instance for all ports (instances are few per user). Owned by the
// driver; used on the driver thread or under the driver's lock. Without inotify every
// call is harmless and nothing is ever reported.
#include <map>
#include <string>

namespace portdriver {

class SlaveWatch {
  public:
    SlaveWatch();
    ~SlaveWatch();
    SlaveWatch(const SlaveWatch&) = delete;
    SlaveWatch& operator=(const SlaveWatch&) = delete;

    // What poll() waits on; -1 without inotify.
    int fd() const { return fd_; }
    // Starts counting the holders of a fresh slave; heldNow says whether someone
    // already has it (an open before the watch began is not reported). The watch id,
    // or -1.
    int add(const std::string& slavePath, bool heldNow);
    void remove(int watch);
    // Reads every event queued so far and counts it for its slave.
    void dispatch();
    // Whether the count dropped to none since the last call; clears that mark.
    bool takeLastHolderLeft(int watch);
    // After a lost event queue, the counts mean nothing until a slave is seen free.
    void settle(int watch, bool heldNow);

  private:
    struct Count {
        int holders = 0;
        bool lastLeft = false;
        bool unreliable = false;
    };
    void count(int watch, unsigned mask);

    int fd_ = -1;
    std::map<int, Count> counts_;
};

} // namespace portdriver
