// The Start, Stop, Start All and Stop All commands on the real main window, with the
// rows selected in its port list and the ports hooked to the loaded stand-in driver.
#include "app/main_dialog.h"

#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_state.h"
#include "config/port_table.h"
#include "driverlink/driver_link.h"
#include "platform/driver_device.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/ui_thread.h"
#include "tests/app/gui_support.h"
#include "tests/app/window_harness.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_fixture.h"
#include "tests/support/port_hosts.h"

#include <QPushButton>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace platform;

namespace {

const char* const NOTHING_SELECTED = "None of items was selected.\nSelect the item first.";

bool hasPublishedQueue(int slot) {
    HKEY key = nullptr;
    if (!openPortKey(slot, &key))
        return false;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    bool found = RegQueryValueEx(key, "pOutQueue", nullptr, reinterpret_cast<uint8_t*>(&value),
                                 &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

class StartStop : public WindowTest {
  protected:
    MainDialog& dialog() { return window(); }

    int rowOf(const std::string& address, int portNo) {
        for (int row = 0; row < list().rowCount(); ++row)
            if (list().rowText(row, COL_ADDRESS) == address &&
                list().rowText(row, COL_PORT) == std::to_string(portNo))
                return row;
        ADD_FAILURE() << "no row for " << address << ":" << portNo;
        return -1;
    }
    std::string status(int row) { return list().rowText(row, COL_STATUS); }

    void select(std::initializer_list<int> rows) {
        auto* selection = list().selectionModel();
        for (int row : rows)
            selection->select(list().model()->index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    void press(int id) { dialog().button(id)->click(); }

    // Starts the port through the Start command on its current host's row.
    void startWithCommand(int slot) {
        CurrentHostValues host = currentHostOf(slot);
        select({rowOf(host.address, host.portNo)});
        press(IDC_START);
        ASSERT_EQ(port(slot).state.load(), PORT_READY);
    }
};

TEST_F(StartStop, NothingSelectedIsReportedByStartAndStop) {
    int slot = addPort(0, "COM3", 1);
    boxes.expect(NOTHING_SELECTED, "Error", MB_ICONERROR);
    boxes.expect(NOTHING_SELECTED, "Error", MB_ICONERROR);
    press(IDC_START);
    press(IDC_STOP);
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(currentHostOf(slot).address, address());
    EXPECT_EQ(driverLink.device, DriverLink::Device::NotOpened);
}

TEST_F(StartStop, StartOnAnotherHostRowMakesItCurrentAndStartsThere) {
    const std::string spare = allocateLoopbackAddress();
    int slot = addPort(0, "COM3", 1);
    manager.addHost(slot, 2, spare, 2, "spare");
    EXPECT_EQ(status(rowOf(address(), 1)), "Stopped");

    select({rowOf(spare, 2)});
    press(IDC_START);

    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{spare, 2}));
    EXPECT_EQ(status(rowOf(spare, 2)), "Ready");
    EXPECT_EQ(status(rowOf(address(), 1)), "");
    EXPECT_TRUE(hasPublishedQueue(slot));
    EXPECT_EQ(context.serviceBusy.load(), 0);
}

TEST_F(StartStop, StartOnBlankSeparatorRowDoesNothing) {
    addPort(0, "COM3", 1);
    addPort(1, "COM4", 2);
    ASSERT_EQ(list().rowText(1, COL_ADDRESS), "");
    select({1});
    press(IDC_START);
    EXPECT_EQ(port(0).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(1).state.load(), PORT_STOPPED);
    EXPECT_EQ(driverLink.device, DriverLink::Device::NotOpened);
    EXPECT_TRUE(boxes.shown().empty());
}

class StartOnHiddenRow : public StartStop, public ::testing::WithParamInterface<int> {};

TEST_P(StartOnHiddenRow, AsksAndStartsOnlyOnYes) {
    const std::string hiddenHost = allocateLoopbackAddress();
    int slot = addPort(0, "COM3", 1);
    setCurrentHost(port(slot), hiddenHost.c_str(), 5);
    dialog().refreshPortList();
    int hidden = rowOf(hiddenHost, 5);
    ASSERT_EQ(list().rowText(hidden, COL_NAME), "(Hidden Port)");
    boxes.expect("COM3 is running under Hidden Mode.\nContinue?", "Warning",
                 MB_ICONWARNING | MB_YESNO, GetParam());

    select({hidden});
    press(IDC_START);

    bool yes = GetParam() == IDYES;
    EXPECT_EQ(port(slot).state.load(), yes ? PORT_READY : PORT_STOPPED);
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{hiddenHost, 5}));
    EXPECT_EQ(hasPublishedQueue(slot), yes);
    EXPECT_EQ(status(rowOf(hiddenHost, 5)), yes ? "Ready" : "Stopped");
}

INSTANTIATE_TEST_SUITE_P(Answers, StartOnHiddenRow, ::testing::Values(IDNO, IDYES),
                         [](const auto& info) { return info.param == IDYES ? "Yes" : "No"; });

// Addresses and descriptions are bytes as stored, whatever their encoding: a row
// stands for exactly those bytes and shows them as UTF-8 where they are that.
struct StoredBytesCase {
    const char* name;
    const char* address;
    const char* description;
    const char* shown; // the description as the list shows it, UTF-8
};

class StartStopStoredBytes : public StartStop,
                             public ::testing::WithParamInterface<StoredBytesCase> {};

TEST_P(StartStopStoredBytes, StartMakesTheRowsHostCurrentAndStopMatchesIt) {
    const StoredBytesCase& c = GetParam();
    int slot = addPort(0, "COM3", 1);
    manager.addHost(slot, 2, c.address, 2, c.description);
    const int row = 1; // the port's second host
    ASSERT_EQ(list().rowText(row, COL_PORT), "2");
    EXPECT_EQ(list().rowText(row, COL_NAME), c.shown);

    select({row});
    press(IDC_START);
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{c.address, 2}));
    EXPECT_EQ(status(row), "Ready");

    select({row});
    press(IDC_STOP);
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(slot).reason.load(), REASON_USER_STOPPED);
    EXPECT_EQ(currentHostOf(slot).address, "");
    EXPECT_TRUE(boxes.shown().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, StartStopStoredBytes,
    ::testing::Values(StoredBytesCase{"Utf8", "caf\xC3\xA9.example", "Caf\xC3\xA9 \xE2\x82\xAC",
                                      "Caf\xC3\xA9 \xE2\x82\xAC"},
                      StoredBytesCase{"NotUtf8", "caf\xE9\x80.example", "Z\xFCrich \xFF",
                                      "Z\xC3\xBCrich \xC3\xBF"}),
    [](const auto& info) { return std::string(info.param.name); });

// curAddress holds 49 characters; a longer row address is refused, not cut to another
// host's name.
class StartOnLongAddress : public StartStop, public ::testing::WithParamInterface<size_t> {};

TEST_P(StartOnLongAddress, IsRefusedAndStartsNothing) {
    const std::string longAddress = std::string(GetParam() - 8, 'h') + ".example";
    int slot = addPort(0, "COM3", 1);
    manager.addHost(slot, 2, longAddress, 2, "long");
    boxes.expect("The address of COM3 is longer than 49 characters.\nChoose a shorter address.",
                 "Error", MB_ICONERROR);

    select({rowOf(longAddress, 2)});
    press(IDC_START);

    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{address(), 1}));
    EXPECT_EQ(driverLink.device, DriverLink::Device::NotOpened);
}

INSTANTIATE_TEST_SUITE_P(Lengths, StartOnLongAddress, ::testing::Values(50u, 51u),
                         [](const auto& info) { return std::to_string(info.param); });

TEST_F(StartStop, StartOnReadyPortHooksItAgainWithNewQueues) {
    int slot = addPort(2, "COM5", 1);
    startWithCommand(slot);
    uint32_t outHandle = portHandles(slot).outQueue;
    uint32_t inHandle = portHandles(slot).inQueue;

    startWithCommand(slot);

    EXPECT_NE(portHandles(slot).outQueue, outHandle);
    EXPECT_NE(portHandles(slot).inQueue, inHandle);
    EXPECT_EQ(mapQueue(outHandle), nullptr);
    EXPECT_EQ(mapQueue(inHandle), nullptr);
    EXPECT_NE(mapQueue(portHandles(slot).outQueue), nullptr);
    EXPECT_TRUE(hasPublishedQueue(slot));
}

// A port whose device could not be reached (Disconnected) is still hooked; starting
// it again must give its queues back first, or the driver keeps them for good.
TEST_F(StartStop, StartOnDisconnectedPortGivesItsQueuesBackBeforeHookingAgain) {
    int slot = addPort(2, "COM5", 1);
    startWithCommand(slot);
    uint32_t outHandle = portHandles(slot).outQueue;
    uint32_t inHandle = portHandles(slot).inQueue;
    forcePortState(port(slot), PORT_DISCONNECTED, REASON_IP_NOT_FOUND);

    startWithCommand(slot);

    EXPECT_EQ(mapQueue(outHandle), nullptr);
    EXPECT_EQ(mapQueue(inHandle), nullptr);
    EXPECT_NE(mapQueue(portHandles(slot).outQueue), nullptr);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
}

// A reconnection under way (the application has let go meanwhile) is not hooked over.
TEST_F(StartStop, StartOnReconnectingPortLeavesItToTheReconnection) {
    int slot = addPort(2, "COM5", 1);
    startWithCommand(slot);
    uint32_t outHandle = portHandles(slot).outQueue;
    forcePortState(port(slot), PORT_RECONNECTING);

    select({rowOf(address(), 1)});
    press(IDC_START);

    EXPECT_EQ(port(slot).state.load(), PORT_RECONNECTING);
    EXPECT_EQ(portHandles(slot).outQueue, outHandle);
    EXPECT_NE(mapQueue(outHandle), nullptr);
}

TEST_F(StartStop, StartOnPortInUseAsksForASwitchInsteadOfRestarting) {
    const std::string spare = allocateLoopbackAddress();
    int slot = addPort(0, "COM3", 1);
    manager.addHost(slot, 2, spare, 2, "spare");
    startWithCommand(slot);
    std::vector<intptr_t> switches;
    // The request is what this test is about; the switch itself is not run.
    setMessageHandler([&](uint32_t message, uintptr_t wParam, intptr_t lParam) -> intptr_t {
        if (message == WM_SWITCH_PORT) {
            switches.push_back(lParam);
            return 0;
        }
        return dialog().onMessage(message, wParam, lParam);
    });
    uint32_t outHandle = portHandles(slot).outQueue;
    port(slot).relayActive.store(1);

    select({rowOf(spare, 2)});
    press(IDC_START);
    pumpUntil([&] { return !switches.empty(); }, 2000);

    EXPECT_EQ(switches, std::vector<intptr_t>{slot});
    EXPECT_EQ(currentHostOf(slot).address, spare);
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(portHandles(slot).outQueue, outHandle);
    MainDialog* window = &dialog();
    setMessageHandler([window](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        return window->onMessage(message, wParam, lParam);
    });
}

TEST_F(StartStop, StopOnAnotherHostRowLeavesARunningPortAlone) {
    const std::string spare = allocateLoopbackAddress();
    int slot = addPort(0, "COM3", 1);
    manager.addHost(slot, 2, spare, 2, "spare");
    startWithCommand(slot);

    select({rowOf(spare, 2)});
    press(IDC_STOP);

    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(currentHostOf(slot).address, address());
    EXPECT_TRUE(hasPublishedQueue(slot));
}

TEST_F(StartStop, StopOnCurrentRowStopsAndForgetsTheHost) {
    int slot = addPort(0, "COM3", 1);
    startWithCommand(slot);
    uint32_t outHandle = portHandles(slot).outQueue;

    select({rowOf(address(), 1)});
    press(IDC_STOP);

    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(slot).reason.load(), REASON_USER_STOPPED);
    EXPECT_EQ(currentHostOf(slot), (CurrentHostValues{"", 0}));
    EXPECT_FALSE(hasPublishedQueue(slot));
    EXPECT_EQ(mapQueue(outHandle), nullptr);
    EXPECT_EQ(status(rowOf(address(), 1)), "");
}

TEST_F(StartStop, StopOnStoppedPortsCurrentRowForgetsTheHost) {
    int slot = addPort(0, "COM3", 1);
    select({rowOf(address(), 1)});
    press(IDC_STOP);
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(slot).reason.load(), REASON_USER_STOPPED);
    EXPECT_EQ(currentHostOf(slot).address, "");
    EXPECT_EQ(status(rowOf(address(), 1)), "");
}

TEST_F(StartStop, StopOnPortInUseWarnsAndChangesNothing) {
    int slot = addPort(0, "COM3", 1);
    startWithCommand(slot);
    port(slot).relayActive.store(1);
    boxes.expect("[COM3] can't be stopped because it is in use.\nClose port and retry.", "Warning",
                 MB_ICONWARNING);

    select({rowOf(address(), 1)});
    press(IDC_STOP);

    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    EXPECT_EQ(currentHostOf(slot).address, address());
    EXPECT_TRUE(hasPublishedQueue(slot));
}

class StopOnHiddenRow : public StartStop, public ::testing::WithParamInterface<int> {};

TEST_P(StopOnHiddenRow, AsksAndStopsOnlyOnYes) {
    const std::string hiddenHost = allocateLoopbackAddress();
    int slot = addPort(0, "COM3", 1);
    setCurrentHost(port(slot), hiddenHost.c_str(), 5);
    ASSERT_TRUE(startPort(slot));
    dialog().refreshPortList();
    boxes.expect("COM3 is in hidden port mode.\nContinue?", "Warning", MB_ICONWARNING | MB_YESNO,
                 GetParam());

    select({rowOf(hiddenHost, 5)});
    press(IDC_STOP);

    bool yes = GetParam() == IDYES;
    EXPECT_EQ(port(slot).state.load(), yes ? PORT_STOPPED : PORT_READY);
    EXPECT_EQ(currentHostOf(slot).address, yes ? "" : hiddenHost);
    EXPECT_EQ(hasPublishedQueue(slot), !yes);
}

INSTANTIATE_TEST_SUITE_P(Answers, StopOnHiddenRow, ::testing::Values(IDNO, IDYES),
                         [](const auto& info) { return info.param == IDYES ? "Yes" : "No"; });

// Eleven ports of 99 hosts each give 1099 rows; each port's current host is its last.
TEST_F(StartStop, StopTakesOnlyTheLowest1023SelectedRows) {
    {
        RegTransaction group;
        for (int slot = 0; slot < 11; ++slot) {
            std::vector<StoredHost> hosts;
            for (int n = 1; n <= MAX_HOST_ENTRIES; ++n)
                hosts.push_back({address(), slot * 100 + n, "many"});
            writeStoredPort(slot, "COM" + std::to_string(slot + 1), hosts, address(),
                            slot * 100 + MAX_HOST_ENTRIES);
        }
        ASSERT_EQ(group.commit(), ERROR_SUCCESS);
    }
    manager.reload();
    ASSERT_EQ(list().rowCount(), 1099);
    ASSERT_EQ(rowOf(address(), 1099), 1098);

    list().selectAll();
    press(IDC_STOP);

    for (int slot = 0; slot < 10; ++slot) {
        EXPECT_EQ(currentHostOf(slot).address, "") << "slot " << slot;
        EXPECT_EQ(port(slot).reason.load(), REASON_USER_STOPPED) << "slot " << slot;
    }
    EXPECT_EQ(currentHostOf(10), (CurrentHostValues{address(), 1099}));
    EXPECT_EQ(port(10).reason.load(), REASON_NONE);
}

// Three ports that Start All takes; the named one cannot be hooked (its key is gone).
class StartAll : public StartStop {
  protected:
    void addThreePorts() {
        addPort(0, "COM3", 1);
        addPort(1, "COM4", 2);
        addPort(2, "COM5", 3);
    }
    void breakPort(int slot) {
        ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str()), ERROR_SUCCESS);
        boxes.expect("Cannot open registry for some port.", "Error", MB_ICONERROR);
    }
    void expectStates(std::vector<int> states) {
        for (int slot = 0; slot < int(states.size()); ++slot)
            EXPECT_EQ(port(slot).state.load(), states[slot]) << "slot " << slot;
    }
};

const char* const TRY_NEXT = "[COM3] was couldn't started.\nDo you want to try next ports?";

TEST_F(StartAll, FirstPortFailingAsksOnceAndNoLeavesTheOthers) {
    addThreePorts();
    breakPort(0);
    boxes.expect(TRY_NEXT, "Warning", MB_ICONWARNING | MB_YESNO, IDNO);
    dialog().onCommand(IDC_START_ALL);
    expectStates({PORT_STOPPED, PORT_STOPPED, PORT_STOPPED});
    EXPECT_EQ(port(0).reason.load(), REASON_INTERNAL);
    EXPECT_EQ(port(1).reason.load(), REASON_NONE);
    EXPECT_EQ(context.serviceBusy.load(), 0);
}

TEST_F(StartAll, FirstPortFailingAsksOnceAndYesStartsTheOthers) {
    addThreePorts();
    breakPort(0);
    boxes.expect(TRY_NEXT, "Warning", MB_ICONWARNING | MB_YESNO, IDYES);
    dialog().onCommand(IDC_START_ALL);
    expectStates({PORT_STOPPED, PORT_READY, PORT_READY});
    EXPECT_EQ(boxes.shown().size(), 2u);
    EXPECT_EQ(context.highestPortIndex.load(), 2);
}

TEST_F(StartAll, LastPortFailingAsksNothing) {
    addThreePorts();
    breakPort(2);
    dialog().onCommand(IDC_START_ALL);
    expectStates({PORT_READY, PORT_READY, PORT_STOPPED});
    EXPECT_EQ(port(2).reason.load(), REASON_INTERNAL);
    EXPECT_EQ(boxes.shown().size(), 1u);
}

TEST_F(StartAll, PortsWithoutAConfiguredCurrentHostAreLeftAlone) {
    const std::string hiddenHost = allocateLoopbackAddress();
    addPort(0, "COM3", 1);
    addPort(1, "COM4", 2);
    addPort(2, "COM5", 3);
    setCurrentHost(port(0), hiddenHost.c_str(), 9); // hidden
    clearCurrentHost(port(1));
    dialog().onCommand(IDC_START_ALL);
    expectStates({PORT_STOPPED, PORT_STOPPED, PORT_READY});
    EXPECT_FALSE(hasPublishedQueue(0));
    EXPECT_FALSE(hasPublishedQueue(1));
}

TEST_F(StartAll, StopAllThenStartAllBringsBackExactlyTheRunningPorts) {
    addPort(0, "COM3", 1);
    addPort(1, "COM4", 2);
    addPort(2, "COM5", 3);
    dialog().onCommand(IDC_START_ALL);
    expectStates({PORT_READY, PORT_READY, PORT_READY});
    select({rowOf(address(), 2)});
    press(IDC_STOP); // the user's stop forgets COM4's host

    dialog().onCommand(IDC_STOP_ALL);
    expectStates({PORT_STOPPED, PORT_STOPPED, PORT_STOPPED});
    EXPECT_EQ(currentHostOf(0).address, address());
    for (int slot = 0; slot < 3; ++slot)
        EXPECT_FALSE(hasPublishedQueue(slot)) << "slot " << slot;

    dialog().onCommand(IDC_START_ALL);
    expectStates({PORT_READY, PORT_STOPPED, PORT_READY});
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(StartAll, StopAllLeavesAPortInUseRunningWithItsWarning) {
    addPort(0, "COM3", 1);
    addPort(1, "COM4", 2);
    dialog().onCommand(IDC_START_ALL);
    port(0).relayActive.store(1);
    boxes.expect("[COM3] can't be stopped because it is in use.\nClose port and retry.", "Warning",
                 MB_ICONWARNING);
    dialog().onCommand(IDC_STOP_ALL);
    expectStates({PORT_READY, PORT_STOPPED});
}

// A command pressed while a service operation runs is ignored entirely.
class BusyCommand : public StartStop, public ::testing::WithParamInterface<int> {};

TEST_P(BusyCommand, DoesNothing) {
    int running = addPort(0, "COM3", 1);
    int stopped = addPort(1, "COM4", 2);
    startWithCommand(running);
    uint32_t outHandle = portHandles(running).outQueue;
    select({rowOf(address(), 1), rowOf(address(), 2)});
    context.serviceBusy.store(1);

    dialog().onCommand(GetParam());
    context.serviceBusy.store(0);

    EXPECT_EQ(port(running).state.load(), PORT_READY);
    EXPECT_EQ(portHandles(running).outQueue, outHandle);
    EXPECT_EQ(currentHostOf(running).address, address());
    EXPECT_EQ(port(stopped).state.load(), PORT_STOPPED);
    EXPECT_EQ(currentHostOf(stopped).address, address());
    EXPECT_EQ(list().selectedRows().size(), 2u);
    EXPECT_TRUE(boxes.shown().empty());
}

INSTANTIATE_TEST_SUITE_P(Commands, BusyCommand,
                         ::testing::Values(IDC_START, IDC_STOP, IDC_START_ALL, IDC_STOP_ALL),
                         [](const auto& info) { return "Id" + std::to_string(info.param); });

} // namespace
