#pragma once
// ManagerTest: the fixture of the tests that run the whole manager in the test
// process. It holds the manager (ManagerHarness), the person answering message boxes
// (ScriptedBoxes: a box the test did not expect fails it) and a device-server
// simulator on a loopback address of the test's own, started on first use. A test
// suite names the fixture through an alias (using Relay = ManagerTest;) or derives
// from it for helpers of its own.
//
// Test's main thread (the UI thread) only. Torn down in reverse: the simulator
// first, then the boxes, then the manager.
#include "tests/support/manager_harness.h"
#include "tests/support/scripted_boxes.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

class ManagerTest : public ::testing::Test {
  protected:
    ManagerTest();

    // This test's loopback address, the simulator's.
    const std::string& address() const { return address_; }

    // A port with one host, the simulator's serial port portNo (TCP 4000 + portNo);
    // returns the slot.
    int addPort(int slot, const char* comName, int portNo);
    // Starts the simulator if it is not running, then starts the port and has the
    // application open it; the application's descriptor once the port is Connected,
    // or -1.
    int connectApplication(int slot, const char* comName);
    // addPort and connectApplication: the application's descriptor, or -1.
    int addConnectedPort(int slot, const char* comName, int portNo);

    // Starts the simulator with simOptions unless it runs already; why not if it cannot.
    ::testing::AssertionResult startSim();
    // The simulator, started with simOptions on first use.
    vorlixsim::SimServer& sim();

    ManagerHarness manager;
    ScriptedBoxes boxes;
    // Two serial ports on address(), every one Normal; change them before the
    // simulator starts.
    vorlixsim::SimOptions simOptions;

  private:
    std::string address_;
    std::unique_ptr<vorlixsim::SimServer> sim_;
    bool simStarted_ = false;
};
