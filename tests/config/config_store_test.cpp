#include "config/config_store.h"

#include "config/manager_context.h"
#include "platform/registry.h"
#include "tests/support/clean_context.h"
#include "tests/support/port_hosts.h"
#include "tests/support/scripted_boxes.h"
#include "tests/support/temp_store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using namespace platform;

namespace {

std::string numbered(const char* prefix, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%02d", prefix, n);
    return name;
}

// A port key as the port registration writes it: PORTNAME and "IpAddr%02d" entries.
class PortKey {
  public:
    explicit PortKey(int slot, const char* portName = nullptr) {
        EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key_),
                  ERROR_SUCCESS);
        if (portName)
            setText("PORTNAME", portName);
    }
    ~PortKey() { RegCloseKey(key_); }
    PortKey(const PortKey&) = delete;
    PortKey& operator=(const PortKey&) = delete;

    void setText(const std::string& name, const std::string& text) {
        EXPECT_EQ(regSetString(key_, name.c_str(), text), ERROR_SUCCESS);
    }
    void setDword(const std::string& name, uint32_t value) {
        EXPECT_EQ(regSetDword(key_, name.c_str(), value), ERROR_SUCCESS);
    }
    void setBinary(const std::string& name, const std::vector<uint8_t>& bytes) {
        EXPECT_EQ(RegSetValueEx(key_, name.c_str(), REG_BINARY, bytes.data(), bytes.size()),
                  ERROR_SUCCESS);
    }
    void setHost(int n, const char* address, uint32_t portNo, const char* description) {
        setText(numbered("IpAddr", n), address);
        setDword(numbered("TCPPortNo", n), portNo);
        setText(numbered("Description", n), description);
    }
    void setCurrent(const char* address, uint32_t portNo) {
        setText("CurIPAddr", address);
        setDword("CurTCPPortNo", portNo);
    }
    bool has(const std::string& name) const {
        uint32_t size = 0;
        return RegQueryValueEx(key_, name.c_str(), nullptr, nullptr, &size) == ERROR_SUCCESS;
    }
    std::optional<std::vector<uint8_t>> value(const std::string& name, uint32_t& type) const {
        std::vector<uint8_t> bytes(512);
        uint32_t size = bytes.size();
        if (RegQueryValueEx(key_, name.c_str(), &type, bytes.data(), &size) != ERROR_SUCCESS)
            return std::nullopt;
        bytes.resize(size);
        return bytes;
    }

  private:
    HKEY key_ = nullptr;
};

class ConfigStoreTest : public ::testing::Test {
  protected:
    CleanContext clean;
    TempStore store;
    ScriptedBoxes boxes;
};

class LoadPortTable : public ConfigStoreTest {};
class SaveCurrentHost : public ConfigStoreTest {};

TEST_F(LoadPortTable, KeyNumberGivesTheSlotWhateverTheComName) {
    {
        PortKey key(42, "COM5");
        key.setHost(1, "10.1.1.1", 3, "lab");
    }
    loadPortTable();
    EXPECT_EQ(findPortByName("COM5"), 42);
    EXPECT_EQ(hostsOf(42), (std::vector<HostValues>{{"10.1.1.1", 3, "lab"}}));
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (slot != 42) {
            EXPECT_EQ(port(slot).portName[0], 0) << "slot " << slot;
        }
    }
    EXPECT_EQ(port(42).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(42).reason.load(), REASON_NONE);
}

TEST_F(LoadPortTable, KeyWithoutPortNameLeavesTheSlotFreeAndTheKeyUntouched) {
    {
        PortKey key(3);
        key.setHost(1, "10.1.1.1", 3, "lab");
        key.setDword("pOutQueue", 0x1234);
    }
    loadPortTable();
    EXPECT_EQ(findFreeSlot(), 0);
    EXPECT_EQ(port(3).hostList, nullptr);
    EXPECT_TRUE(PortKey(3).has("pOutQueue"));
}

TEST_F(LoadPortTable, EmptyPortNameLeavesTheSlotFree) {
    {
        PortKey key(0, "");
        key.setHost(1, "10.1.1.1", 3, "lab");
    }
    loadPortTable();
    EXPECT_EQ(port(0).hostList, nullptr);
    EXPECT_EQ(findFreeSlot(), 0);
}

TEST_F(LoadPortTable, ValueNamesMatchWithoutRegardToCase) {
    {
        PortKey key(0);
        key.setText("portname", "COM2");
        key.setText("IpAddr01", "10.2.2.2");
        key.setDword("tcpportno01", 7);
        key.setText("DESCRIPTION01", "rack");
        key.setText("curipaddr", "10.2.2.2");
        key.setDword("CURTCPPORTNO", 7);
    }
    loadPortTable();
    EXPECT_STREQ(port(0).portName, "COM2");
    EXPECT_EQ(hostsOf(0), (std::vector<HostValues>{{"10.2.2.2", 7, "rack"}}));
    EXPECT_EQ(currentHostOf(0), (CurrentHostValues{"10.2.2.2", 7}));
}

// Which of an entry's three values are in the store.
enum Present { ADDRESS = 1, PORT_NO = 2, DESCRIPTION = 4, ALL = 7 };

struct HostListCase {
    const char* name;
    std::vector<std::pair<int, int>> stored; // entry number, Present bits
    std::vector<HostValues> loaded;
};

void PrintTo(const HostListCase& c, std::ostream* out) {
    *out << c.name;
}

HostValues storedHost(int n) {
    return {"10.0.0." + std::to_string(n), n + 10, "desc " + std::to_string(n)};
}

class LoadHostList : public ConfigStoreTest, public ::testing::WithParamInterface<HostListCase> {};

TEST_P(LoadHostList, FollowsTheStoredEntries) {
    {
        PortKey key(9, "COM12");
        for (auto [n, present] : GetParam().stored) {
            HostValues host = storedHost(n);
            if (present & ADDRESS)
                key.setText(numbered("IpAddr", n), host.address);
            if (present & PORT_NO)
                key.setDword(numbered("TCPPortNo", n), host.portNo);
            if (present & DESCRIPTION)
                key.setText(numbered("Description", n), host.description);
        }
    }
    loadPortTable();
    EXPECT_EQ(hostsOf(9), GetParam().loaded);
    HostEntry* last = port(9).hostList;
    while (last && last->next)
        last = last->next;
    EXPECT_EQ(port(9).hostCursor, last) << "cursor must rest on a live entry";
}

const HostValues H1 = storedHost(1), H2 = storedHost(2), H3 = storedHost(3);

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadHostList,
    ::testing::Values(
        HostListCase{"NoEntry01GivesOneZeroFilledHost", {}, {{"", 0, ""}}},
        HostListCase{"Entry01AddressOnly", {{1, ADDRESS}}, {{H1.address, 0, ""}}},
        HostListCase{"Entry01WithoutDescription", {{1, ADDRESS | PORT_NO}}, {{H1.address, 11, ""}}},
        HostListCase{
            "Entry01WithoutPortNumber", {{1, ADDRESS | DESCRIPTION}}, {{H1.address, 0, ""}}},
        HostListCase{"Entry01WithoutAddress", {{1, PORT_NO | DESCRIPTION}}, {{"", 0, ""}}},
        HostListCase{"OneCompleteEntry", {{1, ALL}}, {H1}},
        HostListCase{
            "Entry02WithoutDescriptionIsDropped", {{1, ALL}, {2, ADDRESS | PORT_NO}}, {H1}},
        HostListCase{
            "Entry02WithoutPortNumberIsDropped", {{1, ALL}, {2, ADDRESS | DESCRIPTION}}, {H1}},
        HostListCase{"GapAtEntry03EndsTheList", {{1, ALL}, {2, ALL}, {4, ALL}}, {H1, H2}},
        HostListCase{"ThreeEntriesInOrder", {{3, ALL}, {1, ALL}, {2, ALL}}, {H1, H2, H3}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoadPortTable, EntriesBeyondAGapStayInTheStore) {
    {
        PortKey key(1, "COM3");
        for (int n : {1, 2, 4})
            key.setHost(n, storedHost(n).address.c_str(), n, "x");
    }
    loadPortTable();
    EXPECT_EQ(hostsOf(1).size(), 2u);
    PortKey key(1);
    EXPECT_TRUE(key.has("IPAddr04"));
    EXPECT_TRUE(key.has("TCPPortNo04"));
    EXPECT_TRUE(key.has("Description04"));
}

TEST_F(LoadPortTable, NinetyNineEntriesAreTheMost) {
    {
        PortKey key(2, "COM4");
        for (int n = 1; n <= 99; ++n)
            key.setHost(n, ("host" + std::to_string(n)).c_str(), n % 32 + 1, "d");
        key.setHost(100, "host100", 1, "d");
    }
    loadPortTable();
    std::vector<HostValues> hosts = hostsOf(2);
    ASSERT_EQ(hosts.size(), 99u);
    EXPECT_EQ(hosts.back().address, "host99");
}

struct CurrentHostCase {
    const char* name;
    std::optional<std::string> savedAddress;
    std::optional<uint32_t> savedPortNo;
    bool zeroFilledList;
    std::string address;
    int portNo;
};

void PrintTo(const CurrentHostCase& c, std::ostream* out) {
    *out << c.name;
}

class LoadCurrentHost : public ConfigStoreTest,
                        public ::testing::WithParamInterface<CurrentHostCase> {};

TEST_P(LoadCurrentHost, KeepsOnlyAHostOfTheList) {
    const CurrentHostCase& c = GetParam();
    {
        PortKey key(5, "COM6");
        if (!c.zeroFilledList) {
            key.setHost(1, "10.5.5.1", 1, "first");
            key.setHost(2, "vorlix-b", 4, "second");
        }
        if (c.savedAddress)
            key.setText("CurIPAddr", *c.savedAddress);
        if (c.savedPortNo)
            key.setDword("CurTCPPortNo", *c.savedPortNo);
    }
    loadPortTable();
    EXPECT_EQ(currentHostOf(5), (CurrentHostValues{c.address, c.portNo}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadCurrentHost,
    ::testing::Values(CurrentHostCase{"FirstEntry", "10.5.5.1", 1u, false, "10.5.5.1", 1},
                      CurrentHostCase{"SecondEntry", "vorlix-b", 4u, false, "vorlix-b", 4},
                      CurrentHostCase{"HostNotInTheListIsForgotten", "10.9.9.9", 1u, false, "", 0},
                      CurrentHostCase{"ListedAddressOtherPortIsForgotten", "10.5.5.1", 4u, false,
                                      "", 0},
                      CurrentHostCase{"AddressCaseMatters", "VORLIX-B", 4u, false, "", 0},
                      CurrentHostCase{"MissingAddress", std::nullopt, 1u, false, "", 0},
                      CurrentHostCase{"MissingPortNumber", "10.5.5.1", std::nullopt, false, "", 0},
                      CurrentHostCase{"NothingSaved", std::nullopt, std::nullopt, false, "", 0},
                      CurrentHostCase{"EmptyHostOfAZeroFilledList", "", 0u, true, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoadPortTable, ShortPortNumberValueCountsAsMissing) {
    {
        PortKey key(6, "COM8");
        key.setText("IpAddr01", "10.6.6.1");
        key.setBinary("TCPPortNo01", {5, 0});
        key.setText("Description01", "short");
        key.setText("CurIPAddr", "10.6.6.1");
        key.setBinary("CurTCPPortNo", {5});
    }
    loadPortTable();
    EXPECT_EQ(hostsOf(6), (std::vector<HostValues>{{"10.6.6.1", 0, ""}}));
    EXPECT_EQ(currentHostOf(6), (CurrentHostValues{"", 0}));
}

TEST_F(LoadPortTable, PortNumberIsTheFirstFourBytesLittleEndian) {
    {
        PortKey key(6, "COM8");
        key.setText("IpAddr01", "10.6.6.1");
        key.setBinary("TCPPortNo01", {0x11, 0x00, 0x00, 0x00, 0xFF, 0xFF});
        key.setText("Description01", "long");
        key.setText("IpAddr02", "10.6.6.2");
        key.setBinary("TCPPortNo02", {0x02, 0x01, 0x00, 0x00});
        key.setText("Description02", "big");
    }
    loadPortTable();
    EXPECT_EQ(hostsOf(6),
              (std::vector<HostValues>{{"10.6.6.1", 0x11, "long"}, {"10.6.6.2", 0x102, "big"}}));
}

TEST_F(LoadPortTable, ForeignValuesAreCutAtTheirFields) {
    std::string longAddress(80, 'a'), longDescription(90, 'd');
    {
        PortKey key(7, "COM1234567890123");
        key.setHost(1, longAddress.c_str(), 2, longDescription.c_str());
        key.setCurrent(longAddress.c_str(), 2);
    }
    loadPortTable();
    EXPECT_EQ(std::string(port(7).portName), "COM123456");
    EXPECT_EQ(hostsOf(7),
              (std::vector<HostValues>{{std::string(51, 'a'), 2, std::string(51, 'd')}}));
    EXPECT_EQ(currentHostOf(7), (CurrentHostValues{"", 0}))
        << "a current host too long to hold is forgotten, not cut";
}

TEST_F(LoadPortTable, CurrentHostOfTheLongestThatFits) {
    std::string address(49, 'h');
    {
        PortKey key(7, "COM1");
        key.setHost(1, address.c_str(), 2, "d");
        key.setCurrent(address.c_str(), 2);
    }
    loadPortTable();
    EXPECT_EQ(currentHostOf(7), (CurrentHostValues{address, 2}));
}

TEST_F(LoadPortTable, ValueOf128BytesOrMoreCountsAsMissing) {
    {
        PortKey tooLongName(10, std::string(128, 'C').c_str());
        PortKey longestName(11, std::string(127, 'C').c_str());
        longestName.setText("IpAddr01", std::string(128, '1'));
        PortKey longDescription(12, "COM13");
        longDescription.setHost(1, "10.0.0.1", 1, "kept");
        longDescription.setHost(2, "10.0.0.2", 2, std::string(300, 'x').c_str());
        PortKey longestDescription(13, "COM14");
        longestDescription.setHost(1, "10.0.0.1", 1, std::string(127, 'y').c_str());
    }
    loadPortTable();
    EXPECT_EQ(port(10).portName[0], 0);
    EXPECT_EQ(port(10).hostList, nullptr);
    EXPECT_EQ(std::string(port(11).portName), "CCCCCCCCC");
    EXPECT_EQ(hostsOf(11), (std::vector<HostValues>{{"", 0, ""}}));
    EXPECT_EQ(hostsOf(12), (std::vector<HostValues>{{"10.0.0.1", 1, "kept"}}));
    EXPECT_EQ(hostsOf(13), (std::vector<HostValues>{{"10.0.0.1", 1, std::string(51, 'y')}}));
}

TEST_F(LoadPortTable, StaleRunTimeValuesAreDeletedOthersKept) {
    const char* stale[] = {"pOutQueue", "pInQueue", "hWin32Event", "hWin32Event_Read",
                           "MaximumBaud"};
    const char* kept[] = {"hWin32Event_Dummy", "IsWin16Port",  "IsWin16PortConnected",
                          "CurIPAddr",         "CurTCPPortNo", "IpAddr01",
                          "PORTNAME"};
    {
        PortKey key(20, "COM21");
        key.setHost(1, "10.0.0.1", 1, "d");
        key.setText("FRIENDLYNAME", "Redirector Port (COM21)");
        for (const char* name : stale)
            key.setDword(name, 0x5678);
        for (const char* name : {"hWin32Event_Dummy", "IsWin16Port", "IsWin16PortConnected"})
            key.setDword(name, 1);
        key.setCurrent("10.9.9.9", 1);
    }
    loadPortTable();
    PortKey key(20);
    for (const char* name : stale)
        EXPECT_FALSE(key.has(name)) << name;
    for (const char* name : kept)
        EXPECT_TRUE(key.has(name)) << name;
    EXPECT_TRUE(key.has("FRIENDLYNAME"));
}

TEST_F(LoadPortTable, LoadingAgainGivesTheSameTable) {
    {
        PortKey key(0, "COM1");
        key.setHost(1, "10.0.0.1", 1, "a");
        key.setHost(2, "10.0.0.2", 2, "b");
    }
    loadPortTable();
    loadPortTable();
    EXPECT_EQ(hostsOf(0), (std::vector<HostValues>{{"10.0.0.1", 1, "a"}, {"10.0.0.2", 2, "b"}}));
    freeHostLists();
    EXPECT_EQ(port(0).hostList, nullptr);
    EXPECT_EQ(port(0).hostCursor, nullptr);
    EXPECT_STREQ(port(0).portName, "COM1");
}

TEST_F(SaveCurrentHost, RoundTripsThroughTheLoad) {
    {
        PortKey key(33, "COM40");
        key.setHost(1, "10.3.3.1", 1, "a");
        key.setHost(2, "vorlix-c.local", 32, "b");
    }
    loadPortTable();
    setCurrentHost(port(33), "vorlix-c.local", 32);
    EXPECT_NE(saveCurrentHost(33), 0);

    resetContext();
    resetRegistryStore();
    loadPortTable();
    EXPECT_EQ(currentHostOf(33), (CurrentHostValues{"vorlix-c.local", 32}));
}

TEST_F(SaveCurrentHost, WritesTextWithoutNulAndFourByteNumber) {
    PortKey key(34, "COM41");
    setCurrentHost(port(34), "10.3.4.1", 9);
    ASSERT_NE(saveCurrentHost(34), 0);
    uint32_t type = 0;
    EXPECT_EQ(key.value("CurIPAddr", type),
              (std::vector<uint8_t>{'1', '0', '.', '3', '.', '4', '.', '1'}));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(key.value("CurTCPPortNo", type), (std::vector<uint8_t>{9, 0, 0, 0}));
    EXPECT_EQ(type, REG_DWORD);

    clearCurrentHost(port(34));
    ASSERT_NE(saveCurrentHost(34), 0);
    EXPECT_EQ(key.value("CurIPAddr", type), std::vector<uint8_t>{});
    EXPECT_EQ(key.value("CurTCPPortNo", type), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST_F(SaveCurrentHost, MissingKeyShowsFatalErrorAndFails) {
    boxes.expect("Can't Open Registry Key", "Fatal Error", MB_ICONERROR);
    setCurrentHost(port(50), "10.5.0.1", 1);
    EXPECT_EQ(saveCurrentHost(50), 0);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_FALSE(boxes.shown()[0].owned);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKeyName(50).c_str(), &key),
              ERROR_FILE_NOT_FOUND);
}

} // namespace
