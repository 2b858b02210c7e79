#pragma once
// The driver device's calls in the platform's fault injection (faults.h), under the
// names the driver tests use: a broken or missing kernel driver, step by step.
#include "platform/faults.h"

#include <initializer_list>

namespace platform {

enum class DriverCall { Open, Refresh, Allocate, Release, EventHandle };

inline PlatformCall platformCallOf(DriverCall call) {
    return PlatformCall(int(PlatformCall::DriverOpen) + int(call));
}

// Unlike the other platform calls, a driver call keeps failing by default.
inline void failDriverCall(DriverCall call, int afterSuccesses = 0, int failures = -1) {
    failPlatformCall(platformCallOf(call), afterSuccesses, failures);
}

inline bool driverCallFails(DriverCall call) {
    return platformCallFails(platformCallOf(call));
}

// Clears the driver calls' faults only.
inline void clearDriverFaults() {
    for (DriverCall call : {DriverCall::Open, DriverCall::Refresh, DriverCall::Allocate,
                            DriverCall::Release, DriverCall::EventHandle})
        clearPlatformFault(platformCallOf(call));
}

} // namespace platform
