#pragma once
// What happens to the slave side of each port's pty, as inotify reports it, in the
// order it happened: an application closing it (IN_CLOSE_WRITE), and writes the driver
// may not have read yet (IN_MODIFY, until the driver finds the master empty). The
// master alone cannot see an application that closes and reopens at once: POLLHUP and
// EIO show only while nobody holds the slave, and a reopen in between hides the close.
// From here the driver learns that an application closed the port, even when another
// opened it right after, and whether the one that left had written bytes the driver
// had not read yet (otherwise what the master holds is the next application's).
//
// Holders are not counted: inotify merges identical events that follow each other, so
// two opens or two closes in a row would count as one.
//
// One inotify instance for all ports (instances are few per user). Owned by the
// driver; used on the driver thread or under the driver's lock. Without inotify every
// call is harmless and nothing is ever reported.
#include <map>
#include <set>
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
    // Starts watching a fresh slave; the watch id, or -1.
    int add(const std::string& slavePath);
    void remove(int watch);
    // Reads every event queued so far and notes it for its slave.
    void dispatch();
    // Whether an application opened or closed the slave since the last call (a write
    // alone does not count: the master reports those).
    bool takeStirred(int watch) { return stirred_.erase(watch) > 0; }
    // Events read past the driver's look at its ports (a session's end reads them too):
    // the driver looks again at once.
    bool anyStirred() const { return !stirred_.empty(); }
    // The driver read the master empty, with no dispatch() since: every write noted
    // so far has been read.
    void noteReadEmpty(int watch);
    // The master said EIO: every holder has gone and all they wrote is read, so their
    // writes and closes noted up to now leave nothing behind.
    void noteAllGone(int watch);
    // Whether an application closed the slave since the last call; clears that mark.
    // unreadLeft tells whether it may have left bytes the driver had not read.
    bool takeClosed(int watch, bool* unreadLeft = nullptr);
    // Whether an application closed the slave leaving such bytes, since the last take.
    bool closedLeavingBytes(int watch) const;
    // Clears a close that left no bytes behind.
    void forgetEmptyClose(int watch);

  private:
    struct Marks {
        bool written = false;    // a write not yet known to be read
        bool closed = false;     // an application closed the slave
        bool unreadLeft = false; // ... while written was set
    };
    void note(int watch, unsigned mask);

    int fd_ = -1;
    std::map<int, Marks> marks_;
    std::set<int> stirred_;
};

} // namespace portdriver
