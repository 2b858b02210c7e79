#pragma once
// The ports of a manager in the test process, without its window and start-up: a real
// store in a temporary folder, the stand-in port driver with its ptys in a temporary
// device folder, and the dispatcher of the private messages (procedures/port_messages.h)
// that serves them exactly as in the running program. Tests drive it from the UI thread
// (the test's main thread) and play the application on the pty links. The window's
// tests add the window (tests/app/window_harness.h).
//
// One per test, normally through the fixture ManagerTest (tests/support/manager_fixture.h).
// The destructor stops the relay thread, unloads the driver, resets the manager's
// context and puts the tick source back.
#include "tests/support/pump.h"
#include "tests/support/temp_store.h"
#include "tools/vorlix_sim/sim_server.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "procedures/port_messages.h"

class ManagerHarness {
  public:
    ManagerHarness();
    ~ManagerHarness();
    ManagerHarness(const ManagerHarness&) = delete;
    ManagerHarness& operator=(const ManagerHarness&) = delete;

    // Writes a port key as the port registration would (PORTNAME, one host entry,
    // the saved current host) and loads the port table; returns the slot.
    int addPort(int slot, const char* comName, const std::string& address, int portNo);
    // Adds one more host entry to the port's key and reloads the table.
    void addHost(int slot, int entry, const std::string& address, int portNo,
                 const char* description);
    // Re-reads the port table from the store (as at start-up) and asks for the list's
    // rebuild (WM_REFRESH_LIST).
    void reload();

    std::string linkPath(const char* comName) const;
    // Starts the port, opens its link as the application would and pumps until the
    // port is Connected: the application's descriptor, or -1 (nothing left open).
    int connectApplication(int slot, const char* comName);
    // The free pumpUntil and pumpFor of tests/support/pump.h, under the harness's name.
    bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
        return ::pumpUntil(done, timeoutMs);
    }
    void pumpFor(int milliseconds) { ::pumpFor(milliseconds); }

    // The dispatcher the harness installed, for a test that watches the messages.
    PortMessages& messages() { return messages_; }
    const std::string& deviceFolder() const { return deviceFolder_; }

  private:
    TempStore store_;
    std::string deviceFolder_;
    PortMessages messages_;
};

// A device-server simulator on its own loopback address, with two serial ports.
vorlixsim::SimOptions simOptionsAt(const std::string& address);

// A REG_DWORD of the slot's key; found tells whether it is there.
uint32_t portDword(int slot, const char* name, bool* found);
// Whether the slot's key holds the value, of any type.
bool portHasValue(int slot, const char* name);
// The serial settings the relay keeps for a replay (the last SREQ's three bytes).
std::vector<uint8_t> settingsOf(int slot);

// Collects the trace lines while it lives.
class TraceLog {
  public:
    TraceLog();
    ~TraceLog();
    int count(const std::string& text) const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Application side of a port link.
int openApplicationPort(const std::string& link); // O_RDWR|O_NOCTTY|O_NONBLOCK, raw mode
// True when the application sees its port hung up (read gives 0 or EIO).
bool applicationHungUp(int fd);
