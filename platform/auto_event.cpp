#include "platform/auto_event.h"

#include "platform/faults.h"

#include <chrono>

namespace platform {

void AutoEvent::set() {
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    signalled_.notify_one();
}

bool AutoEvent::wait(uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    if (!signalled_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; }))
        return false;
    set_ = false;
    return true;
}

AutoEvent* createEvent() {
    if (platformCallFails(PlatformCall::CreateEvent))
        return nullptr;
    return new AutoEvent;
}

} // namespace platform
