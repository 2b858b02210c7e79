// The Add, Properties and Remove buttons of the real main window, with the Port
// Properties dialog played through QTest, the store checked value by value and the
// ports hooked to the loaded stand-in driver.
#include "app/config_commands.h"

#include "app/main_dialog.h"
#include "config/config_store.h"
#include "config/host_list.h"
#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_registration.h"
#include "config/port_state.h"
#include "driverlink/driver_link.h"
#include "platform/driver_faults.h"
#include "platform/faults.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "tests/app/properties_support.h"
#include "tests/app/window_harness.h"
#include "tests/platform/store_dump.h"
#include "tests/support/manager_fixture.h"
#include "tests/support/port_keys.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace platform;
namespace fs = std::filesystem;

namespace {

const char* const INTERNAL_ERROR = "An internal error occured. Please contact our company.";

class ConfigCommandsTest : public WindowTest {
  protected:
    void click(int id) { QTest::mouseClick(window().button(id), Qt::LeftButton); }

    // A port in the store and the table, as Add would have made it.
    int storedPort(int slot, const char* name, const std::vector<HostValues>& hosts) {
        PortRecord& record = port(slot);
        freeHostList(record);
        copyField(record.portName, name);
        for (const HostValues& host : hosts)
            setHostEntry(*appendHostEntry(record), host.address, host.portNo, host.description);
        registerPort(slot);
        manager.reload();
        return slot;
    }

    int rowOf(const std::string& address, int portNo) {
        for (int row = 0; row < list().rowCount(); ++row)
            if (list().rowAt(row).address == address && list().rowAt(row).portNo == portNo)
                return row;
        ADD_FAILURE() << "no row for " << address << ":" << portNo;
        return -1;
    }
    void select(std::initializer_list<int> rows) {
        for (int row : rows)
            list().selectionModel()->select(list().model()->index(row, 0),
                                            QItemSelectionModel::Select |
                                                QItemSelectionModel::Rows);
    }
    bool linkExists(const char* name) {
        return fs::is_symlink(fs::symlink_status(manager.linkPath(name)));
    }
    void expectFatal(const char* text) { boxes.expect(text, "Fatal Error", MB_ICONERROR); }
};

using Add = ConfigCommandsTest;
using Properties = ConfigCommandsTest;
using Remove = ConfigCommandsTest;

// What a new user does: a port with two hosts, started, used by an application,
// stopped and removed again; the store and the links follow at every step.
TEST_F(Add, PortWithTwoHostsIsRegisteredUsedAndRemovedWithoutTrace) {
    ASSERT_TRUE(startSim());
    whenPropertiesOpen([&](PortPropertiesDialog& dialog) {
        fill(dialog, {"COM5", address(), 1, "bench A"});
        press(dialog, IDC_ADD_TO_LIST);
        fill(dialog, {"COM5", address(), 2, "bench B"});
        press(dialog, IDC_ADD_TO_LIST);
        press(dialog, IDOK);
    });
    click(IDC_ADD);

    std::vector<HostValues> hosts = {{address(), 1, "bench A"}, {address(), 2, "bench B"}};
    EXPECT_EQ(storedKeyLines(portKeyName(0)), portKeyLines(0, "COM5", hosts));
    EXPECT_EQ(storedKeyLines(portClassKeyName(0)), portClassKeyLines());
    EXPECT_EQ(driverLink.device, DriverLink::Device::Open);
    ASSERT_TRUE(linkExists("COM5")); // the refresh made the new port's link
    manager.pumpFor(50);
    ASSERT_EQ(list().rowCount(), 2);

    select({rowOf(address(), 2)});
    click(IDC_START);
    ASSERT_EQ(port(0).state.load(), PORT_READY);
    int application = openApplicationPort(manager.linkPath("COM5"));
    ASSERT_GE(application, 0);
    ASSERT_TRUE(manager.pumpUntil([] { return port(0).state.load() == PORT_CONNECTED; }));
    ASSERT_EQ(write(application, "ping", 4), 4);
    std::string echoed;
    manager.pumpUntil([&] {
        char buffer[16];
        ssize_t got = read(application, buffer, sizeof buffer);
        if (got > 0)
            echoed.append(buffer, size_t(got));
        return echoed.size() >= 4;
    });
    EXPECT_EQ(echoed, "ping");
    close(application);
    ASSERT_TRUE(manager.pumpUntil([] { return port(0).state.load() == PORT_READY; }));
    list().clearSelection();
    select({rowOf(address(), 2)});
    click(IDC_STOP);
    ASSERT_EQ(port(0).state.load(), PORT_STOPPED);

    select({0, 1});
    click(IDC_REMOVE);

    EXPECT_FALSE(storedKeyExists(portKeyName(0)));
    EXPECT_FALSE(storedKeyExists(portClassKeyName(0)));
    EXPECT_TRUE(storedKeyExists("Enum\\Root\\Redirector"));
    EXPECT_EQ(findFreeSlot(), 0);
    EXPECT_EQ(port(0).hostList, nullptr);
    EXPECT_FALSE(linkExists("COM5"));
    EXPECT_EQ(list().rowCount(), 0);
}

TEST_F(Add, CancelledAfterTwoAddToListPressesKeepsBothEntriesAndAsksTheDriverNothing) {
    storedPort(0, "COM1", {{"10.0.0.1", 1, "taken"}});
    TraceLog trace;
    whenPropertiesOpen([&](PortPropertiesDialog& dialog) {
        fill(dialog, {"COM2", "10.0.0.2", 7, "x"});
        press(dialog, IDC_ADD_TO_LIST);
        press(dialog, IDC_ADD_TO_LIST);
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    click(IDC_ADD);

    EXPECT_EQ(findPortByName("COM2"), 1);
    EXPECT_EQ(storedKeyLines(portKeyName(1)),
              portKeyLines(1, "COM2", {{"10.0.0.2", 7, "x"}, {"10.0.0.2", 8, "x"}}));
    EXPECT_EQ(driverLink.device, DriverLink::Device::NotOpened);
    EXPECT_EQ(trace.count("Device Refresh\r\n"), 0);
    EXPECT_FALSE(linkExists("COM2"));
}

struct DriverFailure {
    const char* name;
    DriverCall call;
    const char* message;
};

void PrintTo(const DriverFailure& failure, std::ostream* out) {
    *out << failure.name;
}

class AddDriverFailure : public Add, public ::testing::WithParamInterface<DriverFailure> {};

TEST_P(AddDriverFailure, IsReportedAndTheEntriesStaySaved) {
    TraceLog trace;
    failDriverCall(GetParam().call);
    boxes.expect(GetParam().message, "Error", MB_ICONERROR);
    whenPropertiesOpen([&](PortPropertiesDialog& dialog) {
        fill(dialog, {"COM3", "10.0.0.3", 1, ""});
        press(dialog, IDC_ADD_TO_LIST);
        press(dialog, IDOK);
    });
    click(IDC_ADD);

    EXPECT_EQ(storedKeyLines(portKeyName(0)), portKeyLines(0, "COM3", {{"10.0.0.3", 1, ""}}));
    EXPECT_EQ(trace.count("Device Refresh\r\n"), GetParam().call == DriverCall::Refresh ? 1 : 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(EachCall, AddDriverFailure,
                         ::testing::Values(DriverFailure{"Open", DriverCall::Open,
                                                         "Cannot Load auxilliary driver file."},
                                           DriverFailure{"Refresh", DriverCall::Refresh,
                                                         "Cannot Refresh Device Node"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Properties, OnTheSecondHostRowEditsThatEntryAndARenameKeepsTheSlot) {
    storedPort(0, "COM1", {{"10.0.0.9", 1, "other"}});
    int slot = storedPort(3, "COM3", {{"10.0.0.1", 1, "a"}, {"10.0.0.2", 2, "b"}});
    select({rowOf("10.0.0.2", 2)});
    whenPropertiesOpen([&](PortPropertiesDialog& dialog) {
        EXPECT_EQ(shown(dialog).address, "10.0.0.2");
        EXPECT_EQ(shown(dialog).portNo, 2);
        fill(dialog, {"COM8", "10.0.0.2", 3, "b3"});
        press(dialog, IDOK);
    });
    click(IDC_PROPERTIES);

    EXPECT_EQ(findPortByName("COM8"), slot);
    EXPECT_EQ(storedKeyLines(portKeyName(slot)),
              portKeyLines(slot, "COM8", {{"10.0.0.1", 1, "a"}, {"10.0.0.2", 3, "b3"}}));
    // The list was redrawn at once.
    EXPECT_EQ(list().rowAt(rowOf("10.0.0.2", 3)).comName, "COM8");
}

TEST_F(Properties, RenameWhileTheDriverIsLoadedMovesTheLink) {
    int slot = addPort(1, "COM4", 1);
    ASSERT_TRUE(startPort(slot)); // loads the driver
    ASSERT_TRUE(stopPort(slot, false));
    ASSERT_TRUE(linkExists("COM4"));
    select({rowOf(address(), 1)});
    whenPropertiesOpen([&](PortPropertiesDialog& dialog) {
        fill(dialog, {"COM14", address(), 1, "renamed"});
        press(dialog, IDOK);
    });
    click(IDC_PROPERTIES);

    EXPECT_FALSE(linkExists("COM4"));
    EXPECT_TRUE(linkExists("COM14"));
}

// Rows that the command refuses without opening the dialog.
struct PropertiesRefusal {
    const char* name;
    void (*prepare)(int slot);
    bool hiddenRow; // act on the hidden-port row instead of the host row
    const char* text;
    const char* caption;
};

void PrintTo(const PropertiesRefusal& refusal, std::ostream* out) {
    *out << refusal.name;
}

const PropertiesRefusal PROPERTIES_REFUSALS[] = {
    {"PortInService", [](int slot) { ASSERT_TRUE(startPort(slot)); }, false,
     "Can't modify the port's properties which is in service.\nStop the service and try again.",
     "Warning"},
    {"HiddenPortRow", [](int slot) { setCurrentHost(port(slot), "10.7.7.7", 5); }, true,
     INTERNAL_ERROR, "Fatal Error"},
    // The list is older than the table: the slot no longer carries the row's name.
    {"RowOfARenamedPort", [](int slot) { copyField(port(slot).portName, "COM9"); }, false,
     "Internal Error. Please contact our company.", "Fatal Error"},
};

class PropertiesRefused : public Properties,
                          public ::testing::WithParamInterface<PropertiesRefusal> {};

TEST_P(PropertiesRefused, ShowsItsMessageAndOpensNoDialog) {
    const PropertiesRefusal& refusal = GetParam();
    int slot = addPort(2, "COM3", 1);
    refusal.prepare(slot);
    if (refusal.hiddenRow)
        window().refreshPortList();
    std::string before = storeSnapshot();
    select({refusal.hiddenRow ? rowOf("10.7.7.7", 5) : rowOf(address(), 1)});
    boxes.expect(refusal.text, refusal.caption,
                 std::string(refusal.caption) == "Warning" ? MB_ICONWARNING : MB_ICONERROR);

    click(IDC_PROPERTIES);

    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(storeSnapshot(), before);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_TRUE(boxes.shown()[0].owned);
}

INSTANTIATE_TEST_SUITE_P(EachRefusal, PropertiesRefused, ::testing::ValuesIn(PROPERTIES_REFUSALS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Properties, RenameRefusedByTheStoreLeavesTheOldPortInTheStore) {
    int slot = storedPort(2, "COM3", {{"10.0.0.1", 1, "a"}, {"10.0.0.2", 2, "b"}});
    std::string before = storeSnapshot();
    select({rowOf("10.0.0.1", 1)});
    whenPropertiesOpen([&](PortPropertiesDialog& dialog) {
        fill(dialog, {"COM7", "10.0.0.1", 1, "a"});
        failPlatformCall(PlatformCall::RegistryWrite, 6, -1); // from "Mfg" on
        boxes.expect("Can't create Registry Key", "Fatal Error", MB_ICONERROR);
        press(dialog, IDOK);
    });
    click(IDC_PROPERTIES);
    clearPlatformFaults();

    EXPECT_EQ(storeSnapshot(), before);
    EXPECT_FALSE(boxes.shown().at(0).owned);
    EXPECT_EQ(findPortByName("COM7"), slot); // the table keeps the change
    manager.reload();
    EXPECT_EQ(findPortByName("COM3"), slot);
    EXPECT_EQ(findPortByName("COM7"), -1);
}

TEST_F(Remove, OneOfTwoHostsRewritesTheShorterListAndKeepsTheSavedCurrentHost) {
    int slot = storedPort(4, "COM4", {{"10.0.0.1", 1, "a"}, {"10.0.0.2", 2, "b"}});
    setCurrentHost(port(slot), "10.0.0.2", 2);
    saveCurrentHost(slot);
    select({rowOf("10.0.0.1", 1)});

    click(IDC_REMOVE);

    std::vector<std::string> expected = portKeyLines(slot, "COM4", {{"10.0.0.2", 2, "b"}});
    expected.push_back(textLine("CurIPAddr", "10.0.0.2"));
    expected.push_back(dwordLine("CurTCPPortNo", 2));
    EXPECT_EQ(storedKeyLines(portKeyName(slot)), expected);
    EXPECT_EQ(storedKeyLines(portClassKeyName(slot)), portClassKeyLines());
    EXPECT_EQ(list().rowCount(), 1);
    EXPECT_EQ(list().rowText(0, COL_STATUS), "Stopped");
}

TEST_F(Remove, TheLastHostDeletesBothKeysAndFreesTheSlotForAnotherPort) {
    storedPort(0, "COM1", {{"10.0.0.1", 1, "a"}});
    int slot = storedPort(1, "COM4", {{"10.0.0.4", 4, "d"}});
    select({rowOf("10.0.0.4", 4)});

    click(IDC_REMOVE);

    EXPECT_FALSE(storedKeyExists(portKeyName(slot)));
    EXPECT_FALSE(storedKeyExists(portClassKeyName(slot)));
    EXPECT_TRUE(storedKeyExists(portKeyName(0)));
    EXPECT_EQ(port(slot).portName[0], 0);
    EXPECT_EQ(findFreeSlot(), slot);
    EXPECT_EQ(findPortByName("COM4"), -1);
    EXPECT_EQ(list().rowCount(), 1);
}

TEST_F(Remove, RowsOfAPortInServiceAreRefusedAndTheOthersProcessed) {
    int running = addPort(0, "COM2", 1);
    int stopped = storedPort(1, "COM3", {{"10.0.0.1", 1, "a"}, {"10.0.0.2", 2, "b"}});
    ASSERT_TRUE(startPort(running));
    window().refreshPortList();
    select({rowOf(address(), 1), rowOf("10.0.0.2", 2)});
    boxes.expect("Can't remove the port (COM2) because it is in service.", "Warning",
                 MB_ICONWARNING);

    click(IDC_REMOVE);

    EXPECT_EQ(findPortByName("COM2"), running);
    EXPECT_EQ(port(running).state.load(), PORT_READY);
    EXPECT_EQ(storedKeyLines(portKeyName(stopped)),
              portKeyLines(stopped, "COM3", {{"10.0.0.1", 1, "a"}}));
}

TEST_F(Remove, SeparatorAndHiddenPortRowsArePassedOverSilently) {
    int first = storedPort(0, "COM1", {{"10.0.0.1", 1, "a"}});
    int second = storedPort(1, "COM2", {{"10.0.0.2", 2, "b"}, {"10.0.0.3", 3, "c"}});
    setCurrentHost(port(second), "10.7.7.7", 5);
    window().refreshPortList();
    ASSERT_EQ(list().rowCount(), 5); // COM1, blank, COM2 x2, hidden
    select({0, 1, 2, 4});

    click(IDC_REMOVE);

    EXPECT_EQ(port(first).portName[0], 0);
    EXPECT_EQ(storedKeyLines(portKeyName(second)),
              portKeyLines(second, "COM2", {{"10.0.0.3", 3, "c"}}));
    EXPECT_EQ(currentHost(port(second)).portNo, 5);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(Remove, NothingSelectedIsReportedAndWhileBusyNothingHappens) {
    int slot = storedPort(0, "COM1", {{"10.0.0.1", 1, "a"}});
    boxes.expect("None of items was selected.\nSelect the item first.", "Error", MB_ICONERROR);
    click(IDC_REMOVE);

    select({0});
    enterService();
    click(IDC_REMOVE);
    leaveService();
    EXPECT_EQ(findPortByName("COM1"), slot);
    EXPECT_TRUE(storedKeyExists(portKeyName(slot)));
}

TEST_F(Remove, ARowOlderThanThePortTableEndsTheCommandWithoutARedraw) {
    storedPort(0, "COM1", {{"10.0.0.1", 1, "a"}});
    storedPort(1, "COM2", {{"10.0.0.2", 2, "b"}});
    select({0, 2});
    copyField(port(0).portName, "COM9"); // renamed behind the list's back
    expectFatal(INTERNAL_ERROR);

    click(IDC_REMOVE);

    EXPECT_EQ(findPortByName("COM2"), 1); // never reached
    EXPECT_EQ(list().rowCount(), 3);      // not redrawn
}

// The store refuses: the user is told, and the store keeps the whole old port.
struct RemoveRefusal {
    const char* name;
    std::vector<HostValues> hosts;
    PlatformCall call;
    int afterSuccesses;
    const char* text;
    bool owned;
};

void PrintTo(const RemoveRefusal& refusal, std::ostream* out) {
    *out << refusal.name;
}

const RemoveRefusal REMOVE_REFUSALS[] = {
    {"LastHostDeviceNode",
     {{"10.0.0.1", 1, "a"}},
     PlatformCall::RegistryDelete,
     0,
     "Can't access Registry.",
     true},
    {"LastHostClassKey",
     {{"10.0.0.1", 1, "a"}},
     PlatformCall::RegistryDelete,
     1,
     "Can't access Registry.",
     true},
    {"OneOfTwoHosts",
     {{"10.0.0.1", 1, "a"}, {"10.0.0.2", 2, "b"}},
     PlatformCall::RegistryWrite,
     9,
     "Can't create Registry Key",
     false},
};

class RemoveRefused : public Remove, public ::testing::WithParamInterface<RemoveRefusal> {};

TEST_P(RemoveRefused, TheStoreStillOpensWithTheWholeOldPort) {
    const RemoveRefusal& refusal = GetParam();
    int slot = storedPort(5, "COM6", refusal.hosts);
    std::string before = storeSnapshot();
    select({rowOf("10.0.0.1", 1)});
    boxes.expect(refusal.text, refusal.owned ? "Error" : "Fatal Error", MB_ICONERROR);
    failPlatformCall(refusal.call, refusal.afterSuccesses, -1);

    click(IDC_REMOVE);

    clearPlatformFaults();
    EXPECT_EQ(boxes.shown().at(0).owned, refusal.owned);
    EXPECT_EQ(storeSnapshot(), before);
    resetRegistryStore();
    manager.reload();
    EXPECT_EQ(findPortByName("COM6"), slot);
    EXPECT_EQ(storedKeyLines(portKeyName(slot)), portKeyLines(slot, "COM6", refusal.hosts));
    EXPECT_EQ(storedKeyLines(portClassKeyName(slot)), portClassKeyLines());
}

INSTANTIATE_TEST_SUITE_P(EachWrite, RemoveRefused, ::testing::ValuesIn(REMOVE_REFUSALS),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
