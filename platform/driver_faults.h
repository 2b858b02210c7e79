#pragma once
// Fault injection for the driver device, so that tests can make each step of opening
// the driver and hooking a port fail as a broken or missing kernel driver would.
// A fault is armed per kind of call: after the given number of further successful
// calls of that kind, the next `failures` calls fail (-1: every later call) until
// clearDriverFaults(). driver_device.cpp asks driverCallFails() before each call.
// Any thread may call these.

namespace platform {

enum class DriverCall { Open, Refresh, Allocate, Release, EventHandle };

void failDriverCall(DriverCall call, int afterSuccesses = 0, int failures = -1);
void clearDriverFaults();

// True when this call is to fail; counts the call either way.
bool driverCallFails(DriverCall call);

} // namespace platform
