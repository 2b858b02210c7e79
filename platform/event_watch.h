#pragma once
// Runs a callback on the UI thread each time an AutoEvent is set (a socket notifier
// on the event's descriptor; the signal is taken before the callback runs). Made and
// destroyed on the UI thread, and destroyed before the event is closed.
#include <functional>
#include <memory>

class QSocketNotifier;

namespace platform {

class AutoEvent;

class EventWatch {
  public:
    EventWatch(AutoEvent* event, std::function<void()> onSet);
    ~EventWatch();
    EventWatch(const EventWatch&) = delete;
    EventWatch& operator=(const EventWatch&) = delete;

  private:
    AutoEvent* event_;
    std::function<void()> onSet_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace platform
