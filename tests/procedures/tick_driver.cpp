#include "tests/procedures/tick_driver.h"

#include "config/manager_context.h"
#include "platform/tick.h"
#include "platform/trace.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>

namespace {

int64_t realMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// A connect begins: the clock waits for its outcome.
bool attemptBegins(const std::string& text) {
    return text == "Reconnecting..\r\n" || text == "Switching..\r\n";
}

// The connect was refused, or the identification is over either way.
bool attemptSettled(const std::string& text) {
    return text == "Connection Error\r\n" || startsWith(text, "Identification OK") ||
           startsWith(text, "Identification Failed");
}

} // namespace

TickDriver::TickDriver(uint32_t stepMs, std::function<bool()> gate)
    : stepMs_(stepMs), gate_(std::move(gate)), timer_(std::make_unique<QTimer>()),
      startedMs_(realMs()) {
    platform::setTraceCapture([this](const std::string& text) { note(text); });
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(1);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { turn(); });
    timer_->start();
}

TickDriver::~TickDriver() {
    timer_->stop();
    platform::setTraceCapture({});
}

void TickDriver::on(std::function<bool()> when, std::function<void()> action) {
    actions_.push_back({std::move(when), std::move(action)});
}

void TickDriver::onTrace(const std::string& text, std::function<void()> action) {
    std::lock_guard lock(mutex_);
    traceText_ = text;
    traceAction_ = std::move(action);
}

std::vector<uint32_t> TickDriver::ticksOf(const std::string& text) const {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> ticks;
    for (const Line& line : lines_)
        if (line.text == text)
            ticks.push_back(line.tick);
    return ticks;
}

int TickDriver::count(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    return int(std::count_if(lines_.begin(), lines_.end(), [&](const Line& line) {
        return startsWith(line.text, prefix.c_str());
    }));
}

int64_t TickDriver::since(const std::string& text) const {
    std::vector<uint32_t> ticks = ticksOf(text);
    if (ticks.empty())
        return -1;
    return int64_t(uint32_t(platform::getTickCount() - ticks.front()));
}

void TickDriver::note(const std::string& text) {
    std::function<void()> action;
    {
        std::lock_guard lock(mutex_);
        lines_.push_back({platform::getTickCount(), text});
        if (attemptBegins(text)) {
            ++inFlight_;
            heldSinceMs_ = realMs();
        } else if (attemptSettled(text) && inFlight_ > 0) {
            --inFlight_;
        }
        if (!traceAction_ || text != traceText_)
            return;
        action = std::exchange(traceAction_, {});
    }
    action();
}

bool TickDriver::holding() {
    std::lock_guard lock(mutex_);
    if (inFlight_ > 0 && realMs() - heldSinceMs_ >= HOLD_MS)
        inFlight_ = 0; // a device that does not answer: its deadline has to pass
    return inFlight_ > 0;
}

void TickDriver::turn() {
    if (realMs() - startedMs_ > LIMIT_MS) {
        timer_->stop();
        ADD_FAILURE() << "the procedure did not end within " << LIMIT_MS / 1000
                      << " s of real time";
        context.threadRunning.store(0); // ends a reconnection run
        return;
    }
    for (Action& entry : actions_)
        if (entry.action && entry.when())
            std::exchange(entry.action, {})();
    if ((!gate_ || gate_()) && !holding())
        platform::addTickOffset(stepMs_);
}

bool reconnectionRunning() {
    return context.reconnectRunning.load() != 0;
}
