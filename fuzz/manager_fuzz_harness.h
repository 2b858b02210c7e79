#pragma once
// The whole manager in a fuzz target's process, as the tests have it
// (tests/support/manager_harness.h): a real store in a temporary folder, the
// stand-in driver, the dispatcher serving the private messages, and three configured
// ports, COM1 and COM7 on a device-server simulator and COM99 on an address where
// nothing listens. Every message box fails the run: no input may make the manager ask
// anybody anything.
//
// Made once, on the fuzzer's thread (the UI thread), and torn down at exit.
#include "fuzz/fuzz_support.h"

#include <string>
#include <vector>

namespace fuzz {

struct FuzzPort {
    int slot;
    const char* name;
};
// COM1 slot 0 (simulator port 1), COM7 slot 3 (simulator port 2), COM99 slot 9 (no
// device).
extern const std::vector<FuzzPort> FUZZ_PORTS;

// Makes the manager on first use; started: whether the ports are Ready (hooked) or
// Stopped.
void setUpManager(bool started);
// Runs at exit before the manager goes (a server thread to stop first).
void beforeManagerEnds(void (*stop)());

// The device simulator's address.
const std::string& simulatorAddress();

// What a request may change of a port, for before/after comparisons.
struct PortPicture {
    int state;
    int reason;
    std::string curAddress;
    int curTcpPort;
    int isWin16Port;
    bool operator==(const PortPicture&) const = default;
};
std::vector<PortPicture> portPictures();
std::string describe(const PortPicture& picture);

} // namespace fuzz
