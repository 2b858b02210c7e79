#pragma once
// The manager's window over the ports of a ManagerHarness: a MainDialog (not shown,
// timers not armed) whose message table serves the private messages in place of the
// harness's dispatcher and owns the boxes and the list, as in the running program.
// Made before the harness and gone after it, as the window outlives the ports' end in
// the program; install() once the harness is there.
#include "app/main_dialog.h"
#include "tests/support/manager_fixture.h"

class WindowHarness {
  public:
    WindowHarness();
    ~WindowHarness();
    WindowHarness(const WindowHarness&) = delete;
    WindowHarness& operator=(const WindowHarness&) = delete;

    // Takes the private messages over from the harness's dispatcher.
    void install();
    MainDialog& dialog() { return *dialog_; }

  private:
    std::unique_ptr<MainDialog> dialog_;
};

struct WindowFirst {
    WindowHarness windowHarness;
};

// ManagerTest with the window: what the window's own tests use.
class WindowTest : protected WindowFirst, public ManagerTest {
  protected:
    WindowTest() { windowHarness.install(); }
    MainDialog& window() { return windowHarness.dialog(); }
    PortList& list() { return *window().portList(); }
};
