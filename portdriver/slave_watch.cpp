#include "portdriver/slave_watch.h"

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace portdriver {

namespace {
constexpr unsigned CLOSES = IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;
} // namespace

SlaveWatch::SlaveWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

SlaveWatch::~SlaveWatch() {
    if (fd_ >= 0)
        close(fd_);
}

int SlaveWatch::add(const std::string& slavePath, bool heldNow) {
    if (fd_ < 0)
        return -1;
    int watch = inotify_add_watch(fd_, slavePath.c_str(), IN_OPEN | CLOSES);
    if (watch >= 0)
        counts_[watch] = Count{heldNow ? 1 : 0, false, false};
    return watch;
}

void SlaveWatch::remove(int watch) {
    if (counts_.erase(watch))
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
            count(event.wd, event.mask);
            at += ssize_t(sizeof event + event.len);
        }
    }
}

void SlaveWatch::count(int watch, unsigned mask) {
    if (mask & IN_Q_OVERFLOW) {
        for (auto& [id, entry] : counts_)
            entry.unreliable = true;
        return;
    }
    auto found = counts_.find(watch);
    if (found == counts_.end())
        return; // a slave this port no longer uses
    Count& entry = found->second;
    if (mask & IN_IGNORED) {
        counts_.erase(found);
    } else if (mask & IN_OPEN) {
        ++entry.holders;
    } else if (mask & CLOSES) {
        // An open missed before the watch began shows as a close with nobody counted.
        entry.holders = entry.holders > 0 ? entry.holders - 1 : 0;
        if (entry.holders == 0 && !entry.unreliable)
            entry.lastLeft = true;
    }
}

bool SlaveWatch::takeLastHolderLeft(int watch) {
    auto found = counts_.find(watch);
    if (found == counts_.end() || !found->second.lastLeft)
        return false;
    found->second.lastLeft = false;
    return true;
}

void SlaveWatch::settle(int watch, bool heldNow) {
    auto found = counts_.find(watch);
    if (found != counts_.end() && found->second.unreliable && !heldNow)
        found->second = Count{};
}

} // namespace portdriver
