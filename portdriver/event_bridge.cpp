#include "portdriver/event_bridge.h"

#include "platform/auto_event.h"

#include <cstdint>
#include <unistd.h>

namespace portdriver {

void wakeDescriptor(int fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(fd, &one, sizeof one);
}

EventBridge::EventBridge(platform::AutoEvent* event, int wakeFd)
    : event_(event), wakeFd_(wakeFd), thread_([this] { run(); }) {}

EventBridge::~EventBridge() {
    stopping_.store(true);
    // The signal we give here is ours to swallow: the manager's readEvent is waited on
    // by no one but this bridge.
    event_->set();
    thread_.join();
}

void EventBridge::run() {
    while (!stopping_.load()) {
        if (event_->wait(1000) && !stopping_.load())
            wakeDescriptor(wakeFd_);
    }
}

} // namespace portdriver
