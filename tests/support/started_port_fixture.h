#pragma once
// A manager whose COM5 (slot SLOT) is started on the test's simulator (its port
// DEVICE_PORT), for tests that run real client programs on the port: link is COM5's
// path, outputs a folder for what the clients write.
#include "driverlink/driver_link.h"
#include "tests/support/manager_fixture.h"

#include <QTemporaryDir>

#include <string>

class StartedPortTest : public ManagerTest {
  protected:
    static constexpr int SLOT = 0;
    static constexpr int DEVICE_PORT = 1;

    void SetUp() override {
        addPort(SLOT, "COM5", DEVICE_PORT);
        ASSERT_TRUE(startSim());
        ASSERT_TRUE(startPort(SLOT));
        link = manager.linkPath("COM5");
        ASSERT_TRUE(outputs.isValid());
    }

    std::string link;
    QTemporaryDir outputs;
};
