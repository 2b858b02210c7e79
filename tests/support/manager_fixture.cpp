#include "tests/support/manager_fixture.h"

#include "tests/support/loopback_address.h"

ManagerTest::ManagerTest() : address_(allocateLoopbackAddress()) {
    simOptions = simOptionsAt(address_);
}

int ManagerTest::addPort(int slot, const char* comName, int portNo) {
    return manager.addPort(slot, comName, address_, portNo);
}

int ManagerTest::connectApplication(int slot, const char* comName) {
    ::testing::AssertionResult started = startSim();
    if (!started) {
        ADD_FAILURE() << started.message();
        return -1;
    }
    return manager.connectApplication(slot, comName);
}

int ManagerTest::addConnectedPort(int slot, const char* comName, int portNo) {
    addPort(slot, comName, portNo);
    return connectApplication(slot, comName);
}

::testing::AssertionResult ManagerTest::startSim() {
    if (!sim_) {
        sim_ = std::make_unique<vorlixsim::SimServer>(simOptions);
        simStarted_ = sim_->start();
    }
    if (!simStarted_)
        return ::testing::AssertionFailure()
               << "the simulator did not start: " << sim_->errorText();
    return ::testing::AssertionSuccess();
}

vorlixsim::SimServer& ManagerTest::sim() {
    if (!sim_) {
        EXPECT_TRUE(startSim());
    }
    return *sim_;
}
