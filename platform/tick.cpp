#include "platform/tick.h"

#include <atomic>
#include <ctime>
#include <thread>

namespace platform {

namespace {
std::atomic<int64_t> tickOffset{0};
}

uint64_t systemUpTime() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
}

uint32_t getTickCount() {
    return uint32_t(int64_t(systemUpTime()) + tickOffset.load(std::memory_order_relaxed));
}

void addTickOffset(int64_t milliseconds) {
    tickOffset.fetch_add(milliseconds, std::memory_order_relaxed);
}

void resetTickOffset() { tickOffset.store(0, std::memory_order_relaxed); }

void sleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace platform
