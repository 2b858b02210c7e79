#include "platform/event_watch.h"

#include "platform/auto_event.h"

#include <QSocketNotifier>

namespace platform {

EventWatch::EventWatch(AutoEvent* event, std::function<void()> onSet)
    : event_(event), onSet_(std::move(onSet)),
      notifier_(std::make_unique<QSocketNotifier>(event->descriptor(), QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
        if (event_->consume())
            onSet_();
    });
}

EventWatch::~EventWatch() = default;

} // namespace platform
