#pragma once
// The result a thread waits for while the UI thread works out the answer (a sent
// message, a message box asked for from a worker). Standard mutex and condition
// variable, so the hand-over is visible to the thread checker. Only the first value
// set counts. Shared by pointer between the waiter and the UI thread.
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class PendingResult {
  public:
    void set(intptr_t value) {
        std::lock_guard lock(mutex_);
        if (done_)
            return;
        value_ = value;
        done_ = true;
        finished_.notify_all();
    }

    intptr_t wait() {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return done_; });
        return value_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    intptr_t value_ = 0;
};

} // namespace platform
