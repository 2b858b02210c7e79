#include "platform/auto_event.h"

#include "platform/faults.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

AutoEvent::AutoEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

AutoEvent::~AutoEvent() {
    if (fd_ >= 0)
        ::close(fd_);
}

void AutoEvent::set() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(fd_, &one, sizeof one);
}

bool AutoEvent::consume() {
    uint64_t count = 0;
    return ::read(fd_, &count, sizeof count) == ssize_t(sizeof count);
}

// Several waiters may see the descriptor readable at once; the one whose read takes the
// count returns, the others wait on for what is left of their time.
bool AutoEvent::wait(uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (consume())
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd request{fd_, POLLIN, 0};
        if (::poll(&request, 1, int(left.count()) + 1) < 0 && errno != EINTR)
            return false;
    }
}

AutoEvent* createEvent() {
    if (platformCallFails(PlatformCall::CreateEvent))
        return nullptr;
    auto* event = new AutoEvent;
    if (event->descriptor() >= 0)
        return event;
    delete event;
    return nullptr;
}

} // namespace platform
