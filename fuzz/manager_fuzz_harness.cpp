#include "fuzz/manager_fuzz_harness.h"

#include "config/manager_context.h"
#include "config/port_table.h"
#include "driverlink/driver_link.h"
#include "platform/message_box.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_harness.h"
#include "tools/vorlix_sim/sim_server.h"

#include <cstdlib>
#include <memory>

namespace fuzz {

const std::vector<FuzzPort> FUZZ_PORTS = {{0, "COM1"}, {3, "COM7"}, {9, "COM99"}};

namespace {

std::unique_ptr<ManagerHarness> manager;
std::unique_ptr<vorlixsim::SimServer> simulator;
std::string deviceAddress;
void (*stopFirst)() = nullptr;

void endManager() {
    if (stopFirst)
        stopFirst();
    manager.reset();
    simulator.reset();
    platform::setMessageBoxResponder({});
}

} // namespace

void setUpManager(bool started) {
    if (manager)
        return;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    platform::setMessageBoxResponder([](const platform::MessageBoxCall& call) -> int {
        fail("a message box: " + call.caption + ": " + call.text);
    });
    deviceAddress = allocateLoopbackAddress();
    vorlixsim::SimOptions options = simOptionsAt(deviceAddress);
    options.record = false;
    simulator = std::make_unique<vorlixsim::SimServer>(options);
    check(simulator->start(), "the simulator did not start");
    manager = std::make_unique<ManagerHarness>();
    manager->addPort(0, "COM1", deviceAddress, 1);
    manager->addPort(3, "COM7", deviceAddress, 2);
    manager->addPort(9, "COM99", allocateLoopbackAddress(), 1);
    if (started)
        for (const FuzzPort& entry : FUZZ_PORTS)
            check(startPort(entry.slot), "a port did not start");
    std::atexit(endManager);
}

void beforeManagerEnds(void (*stop)()) {
    stopFirst = stop;
}

const std::string& simulatorAddress() {
    return deviceAddress;
}

std::vector<PortPicture> portPictures() {
    std::vector<PortPicture> pictures;
    for (const FuzzPort& entry : FUZZ_PORTS) {
        PortRecord& record = port(entry.slot);
        CurrentHost current = currentHost(record);
        pictures.push_back({record.state.load(), record.reason.load(), current.address,
                            current.portNo, record.isWin16Port.load()});
    }
    return pictures;
}

std::string describe(const PortPicture& picture) {
    return "state " + std::to_string(picture.state) + " reason " + std::to_string(picture.reason) +
           " host " + picture.curAddress + ":" + std::to_string(picture.curTcpPort) + " win16 " +
           std::to_string(picture.isWin16Port);
}

} // namespace fuzz
