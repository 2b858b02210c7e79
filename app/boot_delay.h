#pragma once
// The manager's pause at start-up: started from the log-on entry right after boot, it
// gives the system time to settle, sleeping a second at a time while the system has
// been up less than 27 s. The up time is the tick source's clock (platform/tick.h), so
// tests move it instead of waiting.
//
// Main thread, before the application object exists.
#include "platform/tick.h"

#include <cstdint>
#include <functional>

constexpr uint64_t BOOT_SETTLE_MS = 27000;

// sleep: how each second is spent.
void waitForBootDelay(const std::function<void(uint32_t)>& sleep = platform::sleepMs);
