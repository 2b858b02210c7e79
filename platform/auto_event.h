#pragma once
// An auto-reset event: set() wakes one waiter (or the next one to wait) and the
// event falls back to not signalled as that waiter returns. It is a counting eventfd,
// so a thread that waits for several things at once (the driver's poll, the UI
// thread's notifiers) can watch descriptor() and take the signal with consume().
// Not copyable; shared by pointer between the manager and the stand-in port driver.
// Any thread may use it.
#include <cstdint>

namespace platform {

class AutoEvent {
  public:
    AutoEvent();
    ~AutoEvent();
    AutoEvent(const AutoEvent&) = delete;
    AutoEvent& operator=(const AutoEvent&) = delete;

    void set();
    // True when the event was signalled, false when timeoutMs passed first.
    bool wait(uint32_t timeoutMs);
    // Readable while the event is signalled; -1 when the system gave no descriptor.
    int descriptor() const { return fd_; }
    // Takes the signal, if there is one; true when there was.
    bool consume();

  private:
    int fd_;
};

// CreateEventA: a new auto-reset event, not signalled; null on failure.
AutoEvent* createEvent();

} // namespace platform
