// registerPort and unregisterPort against a real store: every key, value name, type
// and byte in the order written, and a store that refuses part of the work keeping
// the port whole as it was.
#include "config/port_registration.h"

#include "config/config_store.h"
#include "config/host_list.h"
#include "config/manager_context.h"
#include "config/port_key.h"
#include "platform/faults.h"
#include "platform/registry.h"
#include "tests/platform/store_dump.h"
#include "tests/support/clean_context.h"
#include "tests/support/port_hosts.h"
#include "tests/support/port_keys.h"
#include "tests/support/scripted_boxes.h"
#include "tests/support/temp_store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace platform;

namespace {

class Registration : public ::testing::Test {
  protected:
    CleanContext clean;
    TempStore store;
    ScriptedBoxes boxes;
};

class RegisterPortAt : public Registration, public ::testing::WithParamInterface<int> {};

TEST_P(RegisterPortAt, WritesEveryValueOfBothKeysInOrder) {
    int slot = GetParam();
    setPortHosts(slot, "COM5", {{"192.168.1.20", 3, "lab rack"}, {"plc.local", 32, ""}});

    EXPECT_NE(registerPort(slot), 0);

    char driver[32];
    std::snprintf(driver, sizeof driver, "Ports\\%04d", slot + 9000);
    EXPECT_EQ(storedKeyLines(portKeyName(slot)),
              (std::vector<std::string>{
                  textLine("Class", "Ports"),
                  binaryLine("ConfigFlags", {0x04, 0x00, 0x00, 0x00}),
                  textLine("DeviceDesc", "Virtual Communications Port (COM5)"),
                  textLine("FRIENDLYNAME", "Virtual Communications Port (COM5)"),
                  textLine("Driver", driver),
                  textLine("HardwareID", "*PNP0500"),
                  textLine("Mfg", "(Standard port types)"),
                  textLine("PORTNAME", "COM5"),
                  textLine("IpAddr01", "192.168.1.20"),
                  dwordLine("TCPPortNo01", 3),
                  textLine("Description01", "lab rack"),
                  textLine("IpAddr02", "plc.local"),
                  dwordLine("TCPPortNo02", 32),
                  textLine("Description02", ""),
              }));
    EXPECT_EQ(portClassKeyName(slot),
              std::string("System\\CurrentControlSet\\Services\\Class\\") + driver);
    EXPECT_EQ(storedKeyLines(portClassKeyName(slot)), portClassKeyLines());
    EXPECT_EQ(boxes.shown().size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(FirstAndLastSlot, RegisterPortAt, ::testing::Values(0, 99));

TEST_F(Registration, RenamedPortWithAShorterListKeepsItsKeysAndSavedCurrentHost) {
    setPortHosts(4, "COM3",
                 {{"10.0.0.1", 1, "a"},
                  {"10.0.0.2", 2, "b"},
                  {"10.0.0.3", 3, "c"},
                  {"10.0.0.4", 4, "d"},
                  {"10.0.0.5", 5, "e"}});
    ASSERT_NE(registerPort(4), 0);
    {
        HKEY key = nullptr;
        ASSERT_TRUE(openPortKey(4, &key));
        regSetString(key, "CurIPAddr", "10.0.0.2");
        regSetDword(key, "CurTCPPortNo", 2);
        RegCloseKey(key);
    }
    setPortHosts(4, "COM7", {{"10.0.0.2", 2, "b"}, {"10.0.0.9", 9, "z"}});

    EXPECT_NE(registerPort(4), 0);

    std::vector<std::string> values = storedKeyLines(portKeyName(4));
    std::vector<std::string> expected =
        portKeyLines(4, "COM7", {{"10.0.0.2", 2, "b"}, {"10.0.0.9", 9, "z"}});
    expected.push_back(textLine("CurIPAddr", "10.0.0.2"));
    expected.push_back(dwordLine("CurTCPPortNo", 2));
    EXPECT_EQ(values, expected);
    EXPECT_EQ(storedKeyLines(portClassKeyName(4)), portClassKeyLines());
    loadPortTable();
    EXPECT_EQ(findPortByName("COM7"), 4);
    EXPECT_EQ(hostsOf(4), (std::vector<HostValues>{{"10.0.0.2", 2, "b"}, {"10.0.0.9", 9, "z"}}));
}

// A store that refuses at some point of the work.
struct Refusal {
    const char* name;
    bool portStored; // the port is in the store already (else: a fresh store)
    void (*arm)();
    std::vector<std::pair<std::string, std::string>> boxes; // text, caption
};

const Refusal REFUSALS[] = {
    {"FirstValue",
     true,
     [] { failPlatformCall(PlatformCall::RegistryWrite, 0, -1); },
     {{"Can't create Registry Key", "Fatal Error"}}},
    {"HostEntryValue",
     true,
     [] { failPlatformCall(PlatformCall::RegistryWrite, 9, 1); },
     {{"Can't create Registry Key", "Fatal Error"}}},
    {"LastClassValue",
     true,
     [] { failPlatformCall(PlatformCall::RegistryWrite, 18, 1); },
     {{"Can't create Registry Key", "Fatal Error"}}},
    {"StaleEntryDeletion",
     true,
     [] { failPlatformCall(PlatformCall::RegistryDelete, 3, 1); },
     {{"Can't create Registry Key", "Fatal Error"}}},
    {"DeviceNodeCreation",
     true,
     [] { failPlatformCall(PlatformCall::RegistryCreate, 0, 1); },
     {{"Can't create Registry Key", "Fatal Error"}}},
    {"ClassKeyCreation",
     true,
     [] { failPlatformCall(PlatformCall::RegistryCreate, 1, 1); },
     {{"Can't create Registry Key", "Fatal Error"}}},
    {"EveryKeyCreation",
     false,
     [] { failPlatformCall(PlatformCall::RegistryCreate, 0, -1); },
     {{"Can't create Registry Key", "Error"}, {"Can't create Registry Key", "Fatal Error"}}},
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.name;
}

class RegisterPortRefused : public Registration, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RegisterPortRefused, StoreKeepsThePortAsItWasAndLoadsIt) {
    const Refusal& refusal = GetParam();
    std::vector<HostValues> stored = {
        {"10.0.0.1", 1, "a"}, {"10.0.0.2", 2, "b"}, {"10.0.0.3", 3, "c"}};
    if (refusal.portStored) {
        setPortHosts(6, "COM3", stored);
        ASSERT_NE(registerPort(6), 0);
    }
    std::string before = storeSnapshot();
    setPortHosts(6, "COM7", {{"10.0.0.9", 9, "z"}});
    for (const auto& [text, caption] : refusal.boxes)
        boxes.expect(text, caption, MB_ICONERROR);
    refusal.arm();

    EXPECT_EQ(registerPort(6), 0);

    clearPlatformFaults();
    for (const MessageBoxCall& box : boxes.shown())
        EXPECT_FALSE(box.owned) << box.text;
    EXPECT_EQ(storeSnapshot(), before);
    // The port table keeps the change; the store, reopened, gives the old port whole.
    EXPECT_STREQ(port(6).portName, "COM7");
    resetRegistryStore();
    loadPortTable();
    if (refusal.portStored) {
        EXPECT_EQ(findPortByName("COM3"), 6);
        EXPECT_EQ(hostsOf(6), stored);
    } else {
        EXPECT_EQ(port(6).portName[0], 0);
    }
    EXPECT_EQ(findPortByName("COM7"), -1);
}

INSTANTIATE_TEST_SUITE_P(EachPoint, RegisterPortRefused, ::testing::ValuesIn(REFUSALS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Registration, UnregisterDeletesBothKeysOfItsSlotOnly) {
    setPortHosts(2, "COM2", {{"10.0.0.1", 1, "a"}});
    setPortHosts(3, "COM3", {{"10.0.0.1", 1, "a"}});
    ASSERT_NE(registerPort(2), 0);
    ASSERT_NE(registerPort(3), 0);

    EXPECT_NE(unregisterPort(2), 0);

    EXPECT_FALSE(storedKeyExists(portKeyName(2)));
    EXPECT_FALSE(storedKeyExists(portClassKeyName(2)));
    EXPECT_TRUE(storedKeyExists(portKeyName(3)));
    EXPECT_TRUE(storedKeyExists(portClassKeyName(3)));
    EXPECT_TRUE(storedKeyExists("Enum\\Root\\Redirector"));
    // Keys already gone count as deleted.
    EXPECT_NE(unregisterPort(2), 0);
    EXPECT_EQ(boxes.shown().size(), 0u);
}

class UnregisterPortRefused : public Registration, public ::testing::WithParamInterface<int> {};

TEST_P(UnregisterPortRefused, BothKeysStay) {
    setPortHosts(2, "COM2", {{"10.0.0.1", 1, "a"}});
    ASSERT_NE(registerPort(2), 0);
    std::string before = storeSnapshot();
    boxes.expect("Can't access Registry.", "Error", MB_ICONERROR);
    failPlatformCall(PlatformCall::RegistryDelete, GetParam(), 1);

    EXPECT_EQ(unregisterPort(2), 0);

    clearPlatformFaults();
    EXPECT_EQ(storeSnapshot(), before);
}

// The device node's deletion, then the class key's.
INSTANTIATE_TEST_SUITE_P(EachKey, UnregisterPortRefused, ::testing::Values(0, 1));

} // namespace
