#pragma once
// The tick source: milliseconds since boot (CLOCK_BOOTTIME) as an unsigned 32-bit
// count that wraps like GetTickCount, plus an offset that tests move to make time
// rules (20 s, 120 s, 10 s, 3 s) pass without waiting. Any thread may call these.
#include <cstdint>

namespace platform {

uint32_t getTickCount();
// Moves the tick source forward (or back, with a negative value) for every caller.
void addTickOffset(int64_t milliseconds);
// Puts the tick source back to the real clock.
void resetTickOffset();
// Milliseconds since boot as the tick source counts them (with the offset tests
// move), without the 32-bit wrap: the boot delay's clock.
uint64_t systemUpTime();
void sleepMs(uint32_t milliseconds);

} // namespace platform
