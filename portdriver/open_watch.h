#pragma once
// Which waiting ptys an application has opened, as inotify reports it (IN_OPEN on the
// slave): it wakes the driver thread at once, where the master alone would show only the
// end of POLLHUP, which poll() does not report. The driver's own descriptors of a slave
// are O_PATH, which inotify does not report. It also tells when a waiting pty was opened
// again after a close before the driver took it: two applications then share it.
//
// One inotify instance for all ports (instances are few per user). Owned by the driver;
// used on the driver thread or under the driver's lock. Without inotify every call is
// harmless and nothing is ever reported; the driver's look every second finds the opens.
#include <map>
#include <set>
#include <string>

namespace portdriver {

class OpenWatch {
  public:
    OpenWatch();
    ~OpenWatch();
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    // What poll() waits on; -1 without inotify.
    int fd() const { return fd_; }
    // Starts watching a waiting slave; the watch id, or -1.
    int add(const std::string& slavePath);
    void remove(int watch);
    // Reads every event queued so far.
    void dispatch();
    // Whether an application opened the slave since the last take.
    bool opened(int watch) const { return opened_.count(watch) > 0; }
    bool takeOpened(int watch) { return opened_.erase(watch) > 0; }
    bool anyOpened() const { return !opened_.empty(); }
    // Whether the slave was opened, closed and opened again (inotify keeps that order).
    bool reopened(int watch) const;

  private:
    void note(int watch, unsigned mask);

    int fd_ = -1;
    struct Marks {
        bool closed = false;   // an application closed the slave
        bool reopened = false; // and one opened it after that
    };
    std::map<int, Marks> watches_;
    std::set<int> opened_;
};

} // namespace portdriver
