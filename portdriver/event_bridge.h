#pragma once
// Turns the signals of a manager's AutoEvent (a port's readEvent) into wake-ups of
// the driver thread's poll(): a small thread waits on the event and writes to the
// driver's eventfd each time it is set. AutoEvent has no descriptor to poll, and the
// driver thread must also watch its ptys, hence the extra thread.
//
// Owned by the driver; destroyed under the driver's lock before the manager may
// close the event (queue release), so the thread never waits on a dead event.
#include <atomic>
#include <thread>

namespace platform {
class AutoEvent;
}

namespace portdriver {

class EventBridge {
  public:
    EventBridge(platform::AutoEvent* event, int wakeFd);
    ~EventBridge();
    EventBridge(const EventBridge&) = delete;
    EventBridge& operator=(const EventBridge&) = delete;

  private:
    void run();

    platform::AutoEvent* event_;
    int wakeFd_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Writes one wake-up to an eventfd.
void wakeDescriptor(int fd);

} // namespace portdriver
