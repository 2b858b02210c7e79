// The open procedure against a real device-server simulator on loopback, with an
// application opening the port's pty link.
#include "device/open_port.h"

#include "config/port_key.h"
#include "config/port_table.h"
#include "driverlink/driver_link.h"
#include "platform/registry.h"
#include "tests/support/manager_harness.h"
#include "tests/support/scripted_boxes.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace platform;

namespace {

uint32_t readDword(int slot, const char* name, bool* found) {
    HKEY key = nullptr;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    *found = openPortKey(slot, &key) &&
             RegQueryValueEx(key, name, nullptr, reinterpret_cast<uint8_t*>(&value), &size) ==
                 ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    return value;
}

} // namespace

TEST(OpenPort, ApplicationOpenConnectsIdentifiesAndOpensTheDevice) {
    ManagerHarness manager;
    vorlixsim::SimOptions options;
    options.address = "127.0.0.21";
    options.portCount = 2;
    options.reply.maxSpeed = 9;
    vorlixsim::SimServer sim(options);
    ASSERT_TRUE(sim.start()) << sim.errorText();
    int slot = manager.addPort(3, "COM7", "127.0.0.21", 2);
    ASSERT_TRUE(startPort(slot));

    int app = openApplicationPort(manager.linkPath("COM7"));
    ASSERT_GE(app, 0);
    ASSERT_TRUE(manager.pumpUntil([&] { return port(slot).state.load() == PORT_CONNECTED; }));
    ASSERT_TRUE(sim.waitForFrames(2, 2, 3000));
    auto frames = sim.framesReceived(2);
    EXPECT_EQ(frames[0].bytes.size(), 13u);
    EXPECT_EQ(frames[0].command, 0x11);
    EXPECT_EQ(frames[1].command, 0x71);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    bool found = false;
    EXPECT_EQ(readDword(slot, "MaximumBaud", &found), 9u);
    EXPECT_TRUE(found);
    manager.pumpFor(100);
    EXPECT_FALSE(applicationHungUp(app));
    ::close(app);
}
