#pragma once
// Runs a callback on the UI thread each time an AutoEvent is set (a socket notifier
// on the event's descriptor; the signal is taken before the callback runs). Made and
// destroyed on the UI thread, and destroyed before the event is closed.
//
// A watch may start unarmed and be armed only while its owner waits for the event:
// every armed watch is one more descriptor the UI thread's loop polls at each turn. A
// signal that came while the watch was unarmed stays on the event and runs the
// callback as soon as the watch is armed.
#include <functional>
#include <memory>

class QSocketNotifier;

namespace platform {

class AutoEvent;

class EventWatch {
  public:
    EventWatch(AutoEvent* event, std::function<void()> onSet, bool armed = true);
    ~EventWatch();
    EventWatch(const EventWatch&) = delete;
    EventWatch& operator=(const EventWatch&) = delete;

    void arm(bool armed);

  private:
    AutoEvent* event_;
    std::function<void()> onSet_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace platform
