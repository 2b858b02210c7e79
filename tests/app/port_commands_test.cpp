// The Start, Stop and Exit commands' rules without the window: rows as the port list
// gives them, the ports hooked to the loaded stand-in driver, the questions answered by
// script. (The window's own tests click its buttons: start_stop_test.cpp.)
#include "app/port_commands.h"

#include "config/manager_context.h"
#include "config/port_state.h"
#include "driverlink/driver_link.h"
#include "tests/support/manager_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

using namespace platform;

namespace {

class PortCommandsTest : public ManagerTest {
  protected:
    PortRow row(int slot, const std::string& host, int portNo, bool hidden = false) {
        return {hidden ? PortRow::Hidden : PortRow::Host, slot, port(slot).portName, host, portNo,
                hidden ? "(Hidden Port)" : "test host"};
    }
    std::string current(int slot) { return currentHost(port(slot)).address; }

    int refreshes = 0;
    int windowShown = 0;
    PortCommands commands{[this] { ++refreshes; }, [this] { ++windowShown; }};
};

TEST_F(PortCommandsTest, StartMakesTheRowsHostCurrentAndStopForgetsIt) {
    int slot = addPort(0, "COM3", 1);
    manager.addHost(slot, 2, "127.0.0.2", 2, "spare");
    commands.startSelected({row(slot, "127.0.0.2", 2)});
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(current(slot), "127.0.0.2");
    EXPECT_GT(refreshes, 0);

    commands.stopSelected({row(slot, "127.0.0.2", 2)});
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(slot).reason.load(), REASON_USER_STOPPED);
    EXPECT_EQ(current(slot), "");
    EXPECT_EQ(context.serviceBusy.load(), 0);
}

struct HiddenRowCase {
    const char* name;
    bool start; // Start on a stopped port, else Stop on a started one
    int answer; // to the question about the hidden host
    int stateAfter;
};

class HiddenRow : public PortCommandsTest, public ::testing::WithParamInterface<HiddenRowCase> {};

// A host outside the port's list is used only when the person says Yes.
TEST_P(HiddenRow, IsUsedOnlyOnYes) {
    const HiddenRowCase& c = GetParam();
    int slot = addPort(0, "COM3", 1);
    if (!c.start) {
        setCurrentHost(port(slot), "127.0.0.9", 9);
        ASSERT_TRUE(startPort(slot));
    }
    boxes.expect(c.start ? "COM3 is running under Hidden Mode.\nContinue?"
                         : "COM3 is in hidden port mode.\nContinue?",
                 "Warning", MB_ICONWARNING | MB_YESNO, c.answer);
    std::vector<PortRow> rows{row(slot, "127.0.0.9", 9, true)};
    c.start ? commands.startSelected(rows) : commands.stopSelected(rows);
    EXPECT_EQ(port(slot).state.load(), c.stateAfter);
    EXPECT_EQ(boxes.pending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Answers, HiddenRow,
                         ::testing::Values(HiddenRowCase{"StartNo", true, IDNO, PORT_STOPPED},
                                           HiddenRowCase{"StartYes", true, IDYES, PORT_READY},
                                           HiddenRowCase{"StopNo", false, IDNO, PORT_READY},
                                           HiddenRowCase{"StopYes", false, IDYES, PORT_STOPPED}),
                         [](const auto& info) { return std::string(info.param.name); });

// A port an application holds is not stopped: Stop warns, and Exit keeps the manager up
// with the window in front.
TEST_F(PortCommandsTest, APortInUseKeepsStopAndExitFromEndingIt) {
    int slot = addPort(0, "COM3", 1);
    int app = connectApplication(slot, "COM3");
    ASSERT_GE(app, 0);
    boxes.expect("[COM3] can't be stopped because it is in use.\nClose port and retry.", "Warning",
                 MB_ICONWARNING);
    commands.stopSelected({row(slot, address(), 1)});
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);

    boxes.expect("[COM3] can't be stopped because it is in use.\nClose port and retry.", "Warning",
                 MB_ICONWARNING);
    boxes.expect("Some ports couldn't be stopped. Check port status.", "Warning", MB_ICONWARNING);
    EXPECT_FALSE(commands.exitManager());
    EXPECT_EQ(windowShown, 1);
    EXPECT_EQ(context.threadRunning.load(), 1);
    ::close(app);
}

// While a service operation runs, no command does anything.
TEST_F(PortCommandsTest, CommandsWhileBusyDoNothing) {
    int slot = addPort(0, "COM3", 1);
    context.serviceBusy.store(1);
    commands.startSelected({row(slot, address(), 1)});
    commands.startAll();
    EXPECT_FALSE(commands.exitManager());
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(refreshes, 0);
    context.serviceBusy.store(0);
}

} // namespace
