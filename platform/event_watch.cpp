#include "platform/event_watch.h"

#include "platform/auto_event.h"

#include <QSocketNotifier>

namespace platform {

EventWatch::EventWatch(AutoEvent* event, std::function<void()> onSet, bool armed)
    : event_(event), onSet_(std::move(onSet)),
      notifier_(std::make_unique<QSocketNotifier>(event->descriptor(), QSocketNotifier::Read)) {
    notifier_->setEnabled(armed);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
        if (event_->consume())
            onSet_();
    });
}

EventWatch::~EventWatch() = default;

void EventWatch::arm(bool armed) {
    if (notifier_->isEnabled() != armed)
        notifier_->setEnabled(armed);
}

} // namespace platform
