#include "platform/tick.h"

#include <atomic>
#include <ctime>
#include <thread>

namespace platform {

namespace {
std::atomic<int64_t> tickOffset{0};

int64_t bootClockWithOffset() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    int64_t milliseconds = int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    return milliseconds + tickOffset.load(std::memory_order_relaxed);
}
} // namespace

uint64_t systemUpTime() {
    int64_t milliseconds = bootClockWithOffset();
    return milliseconds > 0 ? uint64_t(milliseconds) : 0;
}

uint32_t getTickCount() {
    return uint32_t(bootClockWithOffset());
}

void addTickOffset(int64_t milliseconds) {
    tickOffset.fetch_add(milliseconds, std::memory_order_relaxed);
}

void resetTickOffset() {
    tickOffset.store(0, std::memory_order_relaxed);
}

void sleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace platform
