#pragma once
// An auto-reset event: set() wakes one waiter (or the next one to wait) and the
// event falls back to not signalled as that waiter returns. Not copyable; shared by
// pointer between the manager and the stand-in port driver. Any thread may use it.
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class AutoEvent {
  public:
    AutoEvent() = default;
    AutoEvent(const AutoEvent&) = delete;
    AutoEvent& operator=(const AutoEvent&) = delete;

    void set();
    // True when the event was signalled, false when timeoutMs passed first.
    bool wait(uint32_t timeoutMs);

  private:
    std::mutex mutex_;
    std::condition_variable signalled_;
    bool set_ = false;
};

// CreateEventA: a new auto-reset event, not signalled; null on an injected failure.
AutoEvent* createEvent();

} // namespace platform
