#include "platform/driver_faults.h"

#include <array>
#include <mutex>

namespace platform {

namespace {
struct Fault {
    bool armed = false;
    int successesLeft = 0;
    int failuresLeft = 0; // -1: no end
};

std::mutex faultMutex;
std::array<Fault, 5> faults;

Fault& faultOf(DriverCall call) {
    return faults[static_cast<size_t>(call)];
}
} // namespace

void failDriverCall(DriverCall call, int afterSuccesses, int failures) {
    std::lock_guard lock(faultMutex);
    faultOf(call) = Fault{true, afterSuccesses, failures};
}

void clearDriverFaults() {
    std::lock_guard lock(faultMutex);
    faults.fill(Fault{});
}

bool driverCallFails(DriverCall call) {
    std::lock_guard lock(faultMutex);
    Fault& fault = faultOf(call);
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
