#include "platform/faults.h"

#include <array>
#include <mutex>

namespace platform {

namespace {
struct Armed {
    bool armed = false;
    int successesLeft = 0;
    int failuresLeft = 0; // -1: no end
};
std::mutex faultMutex;
std::array<Armed, size_t(PlatformCall::Count)> faults;
} // namespace

void failPlatformCall(PlatformCall call, int afterSuccesses, int failures) {
    std::lock_guard lock(faultMutex);
    faults[size_t(call)] = {true, afterSuccesses, failures};
}

void clearPlatformFault(PlatformCall call) {
    std::lock_guard lock(faultMutex);
    faults[size_t(call)] = {};
}

void clearPlatformFaults() {
    std::lock_guard lock(faultMutex);
    faults.fill({});
}

bool platformCallFails(PlatformCall call) {
    std::lock_guard lock(faultMutex);
    Armed& fault = faults[size_t(call)];
    if (!fault.armed)
        return false;
    if (fault.successesLeft > 0) {
        --fault.successesLeft;
        return false;
    }
    if (fault.failuresLeft == 0) {
        fault.armed = false;
        return false;
    }
    if (fault.failuresLeft > 0)
        --fault.failuresLeft;
    return true;
}

} // namespace platform
