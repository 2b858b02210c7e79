#include "platform/wake_signal.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

WakeSignal::WakeSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeSignal::~WakeSignal() {
    if (fd_ >= 0)
        ::close(fd_);
}

// Never read back: the count stays above zero, so the descriptor stays readable.
void WakeSignal::raise() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(fd_, &one, sizeof one);
}

bool WakeSignal::raised() const {
    return wait(0);
}

bool WakeSignal::wait(uint32_t milliseconds) const {
    pollfd entry{fd_, POLLIN, 0};
    int result = 0;
    do
        result = ::poll(&entry, 1, int(milliseconds));
    while (result < 0 && errno == EINTR);
    return result > 0;
}

} // namespace platform
