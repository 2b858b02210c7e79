#include "portdriver/open_watch.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace portdriver {

OpenWatch::OpenWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

OpenWatch::~OpenWatch() {
    if (fd_ >= 0)
        close(fd_);
}

int OpenWatch::add(const std::string& slavePath) {
    if (fd_ < 0)
        return -1;
    int watch = inotify_add_watch(fd_, slavePath.c_str(), IN_OPEN | IN_CLOSE);
    if (watch >= 0)
        watches_[watch] = Marks{};
    return watch;
}

void OpenWatch::remove(int watch) {
    opened_.erase(watch);
    if (watches_.erase(watch))
        inotify_rm_watch(fd_, watch); // fails harmlessly once the slave is gone
}

// A lost queue (IN_Q_OVERFLOW) loses opens too; the driver's look every second at the
// waiting ptys still finds them.
void OpenWatch::dispatch() {
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

void OpenWatch::note(int watch, unsigned mask) {
    auto found = watches_.find(watch);
    if (found == watches_.end())
        return; // a slave no longer watched
    Marks& marks = found->second;
    if (mask & IN_OPEN) {
        opened_.insert(watch);
        marks.reopened = marks.reopened || marks.closed;
    }
    if (mask & IN_CLOSE)
        marks.closed = true;
    if (mask & IN_IGNORED) {
        watches_.erase(found);
        opened_.erase(watch);
    }
}

bool OpenWatch::reopened(int watch) const {
    auto found = watches_.find(watch);
    return found != watches_.end() && found->second.reopened;
}

} // namespace portdriver
