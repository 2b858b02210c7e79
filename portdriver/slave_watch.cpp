#include "portdriver/slave_watch.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace portdriver {

SlaveWatch::SlaveWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

SlaveWatch::~SlaveWatch() {
    if (fd_ >= 0)
        close(fd_);
}

// IN_OPEN only wakes the driver for an arriving application. IN_CLOSE_NOWRITE is left
// out: the driver's own look at the slave (discarding input) opens it read-only.
int SlaveWatch::add(const std::string& slavePath) {
    if (fd_ < 0)
        return -1;
    int watch = inotify_add_watch(fd_, slavePath.c_str(), IN_OPEN | IN_MODIFY | IN_CLOSE_WRITE);
    if (watch >= 0)
        marks_[watch] = Marks{};
    return watch;
}

void SlaveWatch::remove(int watch) {
    stirred_.erase(watch);
    if (marks_.erase(watch))
        inotify_rm_watch(fd_, watch); // fails harmlessly once the slave is gone
}

void SlaveWatch::dispatch() {
    if (fd_ < 0)
        return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t got = read(fd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            note(event.wd, event.mask);
            at += ssize_t(sizeof event + event.len);
        }
        // inotify gives as many events as fit: with room left for the largest one, the
        // queue was empty, and another read would only say so.
        if (size_t(got) + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof buffer)
            return;
    }
}

// A lost queue (IN_Q_OVERFLOW) loses closes too; EIO on the master still ends a session.
void SlaveWatch::note(int watch, unsigned mask) {
    auto found = marks_.find(watch);
    if (found == marks_.end())
        return; // a slave this port no longer uses
    Marks& marks = found->second;
    if (mask & (IN_OPEN | IN_CLOSE_WRITE | IN_IGNORED))
        stirred_.insert(watch);
    if (mask & IN_IGNORED) {
        marks_.erase(found);
    } else if (mask & IN_MODIFY) {
        marks.written = true;
    } else if (mask & IN_CLOSE_WRITE) {
        marks.closed = true;
        marks.unreadLeft = marks.unreadLeft || marks.written;
    }
}

void SlaveWatch::noteReadEmpty(int watch) {
    auto found = marks_.find(watch);
    if (found != marks_.end())
        found->second.written = false;
}

void SlaveWatch::noteAllGone(int watch) {
    dispatch();
    auto found = marks_.find(watch);
    if (found != marks_.end())
        found->second = Marks{};
}

bool SlaveWatch::takeClosed(int watch, bool* unreadLeft) {
    auto found = marks_.find(watch);
    if (found == marks_.end() || !found->second.closed)
        return false;
    if (unreadLeft)
        *unreadLeft = found->second.unreadLeft;
    found->second.closed = false;
    found->second.unreadLeft = false;
    return true;
}

bool SlaveWatch::closedLeavingBytes(int watch) const {
    auto found = marks_.find(watch);
    return found != marks_.end() && found->second.closed && found->second.unreadLeft;
}

void SlaveWatch::forgetEmptyClose(int watch) {
    auto found = marks_.find(watch);
    if (found != marks_.end() && !found->second.unreadLeft)
        found->second.closed = false;
}

} // namespace portdriver
