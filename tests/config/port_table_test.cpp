#include "config/manager_context.h"
#include "config/port_state.h"

#include "tests/support/clean_context.h"
#include "tests/support/port_hosts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

void nameSlot(int slot, const char* name) {
    copyField(port(slot).portName, name);
}

// Appends a host the way the Port Properties dialog does: at the end of the list.
HostEntry* appendHost(PortRecord& record, const char* address, int portNo,
                      const char* description = "") {
    auto* entry = new HostEntry{};
    copyField(entry->address, address);
    entry->portNo = portNo;
    copyField(entry->description, description);
    HostEntry** link = &record.hostList;
    while (*link)
        link = &(*link)->next;
    *link = entry;
    return entry;
}

class PortTableTest : public ::testing::Test {
  protected:
    CleanContext clean;
};

class FindPortByName : public PortTableTest {};
class FindFreeSlot : public PortTableTest {};
class FindHost : public PortTableTest {};
class HighestPortIndex : public PortTableTest {};
class PortRecordFields : public PortTableTest {};

TEST(ThreadRunning, IsSetFromProgramStart) {
    EXPECT_EQ(context.threadRunning.load(), 1);
}

TEST_F(FindPortByName, MatchesTheWholeNameOnly) {
    nameSlot(3, "COM10");
    nameSlot(5, "COM1");
    EXPECT_EQ(findPortByName("COM1"), 5);
    EXPECT_EQ(findPortByName("COM10"), 3);
    EXPECT_EQ(findPortByName("COM"), -1);
    EXPECT_EQ(findPortByName("COM100"), -1);
}

TEST_F(FindPortByName, IsCaseSensitiveAndReturnsTheLowestEqualSlot) {
    nameSlot(9, "COM7");
    nameSlot(2, "COM7");
    EXPECT_EQ(findPortByName("COM7"), 2);
    EXPECT_EQ(findPortByName("com7"), -1);
}

TEST_F(FindFreeSlot, IsTheLowestSlotWithoutAName) {
    EXPECT_EQ(findFreeSlot(), 0);
    nameSlot(0, "COM3");
    nameSlot(1, "COM4");
    nameSlot(3, "COM5");
    EXPECT_EQ(findFreeSlot(), 2);
}

TEST_F(FindFreeSlot, IsNoneOnlyWhenAllHundredAreNamed) {
    for (int slot = 0; slot < PORT_SLOTS; ++slot)
        nameSlot(slot, ("COM" + std::to_string(slot + 1)).c_str());
    EXPECT_EQ(findFreeSlot(), -1);
    clearPortRecord(port(99));
    EXPECT_EQ(findFreeSlot(), 99);
    nameSlot(99, "COM1");
    clearPortRecord(port(57));
    EXPECT_EQ(findFreeSlot(), 57);
}

TEST_F(FindHost, EmptyAddressOrPortZeroIsNoneEvenWithAZeroFilledEntry) {
    port(0).hostList = new HostEntry{};
    appendHost(port(0), "10.0.0.1", 0);
    appendHost(port(0), "", 5);
    EXPECT_EQ(findHost(0, "", 0), nullptr);
    EXPECT_EQ(findHost(0, "10.0.0.1", 0), nullptr);
    EXPECT_EQ(findHost(0, "", 5), nullptr);
}

TEST_F(FindHost, ComparesAddressesAsPlainText) {
    HostEntry* plain = appendHost(port(1), "192.168.1.5", 2);
    HostEntry* named = appendHost(port(1), "Vorlix-A", 2);
    EXPECT_EQ(findHost(1, "192.168.1.5", 2), plain);
    EXPECT_EQ(findHost(1, "192.168.001.005", 2), nullptr);
    EXPECT_EQ(findHost(1, "192.168.1.05", 2), nullptr);
    EXPECT_EQ(findHost(1, "Vorlix-A", 2), named);
    EXPECT_EQ(findHost(1, "vorlix-a", 2), nullptr);
}

TEST_F(FindHost, NeedsTheSamePortNumberAndLooksOnlyInTheGivenSlot) {
    appendHost(port(1), "10.0.0.1", 1);
    HostEntry* second = appendHost(port(1), "10.0.0.1", 2);
    appendHost(port(2), "10.0.0.1", 3);
    EXPECT_EQ(findHost(1, "10.0.0.1", 2), second);
    EXPECT_EQ(findHost(1, "10.0.0.1", 3), nullptr);
    EXPECT_EQ(findHost(3, "10.0.0.1", 1), nullptr);
    EXPECT_EQ(findHost(-1, "10.0.0.1", 1), nullptr);
    EXPECT_EQ(findHost(PORT_SLOTS, "10.0.0.1", 1), nullptr);
}

TEST_F(FindHost, LooksAtNoMoreThanHundredEntries) {
    for (int n = 1; n <= 101; ++n)
        appendHost(port(6), ("10.0.1." + std::to_string(n)).c_str(), 1);
    EXPECT_NE(findHost(6, "10.0.1.100", 1), nullptr);
    EXPECT_EQ(findHost(6, "10.0.1.101", 1), nullptr);
}

TEST_F(HighestPortIndex, RisesToTheHighestReadySlotAndNeverFalls) {
    forcePortState(port(7), PORT_READY);
    raiseHighestPortIndex();
    EXPECT_EQ(context.highestPortIndex.load(), 7);

    forcePortState(port(7), PORT_STOPPED);
    forcePortState(port(2), PORT_READY);
    raiseHighestPortIndex();
    EXPECT_EQ(context.highestPortIndex.load(), 7);

    clearPortRecord(port(7));
    raiseHighestPortIndex();
    EXPECT_EQ(context.highestPortIndex.load(), 7);
}

TEST_F(HighestPortIndex, IgnoresSlotsThatAreInServiceButNotReady) {
    for (int state : {PORT_CONNECTING, PORT_CONNECTED, PORT_RECONNECTING, PORT_COM_OPENED,
                      PORT_SWITCHING, PORT_DISCONNECTED})
        forcePortState(port(40 + state), state);
    forcePortState(port(12), PORT_READY);
    raiseHighestPortIndex();
    EXPECT_EQ(context.highestPortIndex.load(), 12);
}

TEST_F(HighestPortIndex, TwoThreadsRaisingEndAtTheHighest) {
    for (int round = 0; round < 200; ++round) {
        context.highestPortIndex = 0;
        forcePortState(port(99), PORT_STOPPED);
        forcePortState(port(30), PORT_READY);
        std::thread low([] { raiseHighestPortIndex(); });
        forcePortState(port(99), PORT_READY);
        raiseHighestPortIndex();
        low.join();
        ASSERT_EQ(context.highestPortIndex.load(), 99) << "round " << round;
    }
}

TEST_F(PortRecordFields, CurrentHostIsCutAtTheFieldAndLeavesThePortNumberAlone) {
    std::string longAddress(70, 'a');
    setCurrentHost(port(4), longAddress.c_str(), 17);
    EXPECT_EQ(currentHostOf(4), (CurrentHostValues{std::string(49, 'a'), 17}));

    clearCurrentHost(port(4));
    EXPECT_EQ(currentHostOf(4), (CurrentHostValues{"", 0}));
}

TEST_F(PortRecordFields, ClearedRecordIsAFreeSlotWithNothingLeft) {
    PortRecord& record = port(8);
    nameSlot(8, "COM9");
    appendHost(record, "10.0.0.1", 1, "first");
    record.hostCursor = appendHost(record, "10.0.0.2", 2, "second");
    setCurrentHost(record, "10.0.0.2", 2);
    forcePortState(record, PORT_READY, REASON_OK);
    record.isWin16Port = 1;

    clearPortRecord(record);
    EXPECT_EQ(findFreeSlot(), 0);
    EXPECT_EQ(findPortByName("COM9"), -1);
    EXPECT_EQ(record.hostList, nullptr);
    EXPECT_EQ(record.hostCursor, nullptr);
    EXPECT_EQ(currentHostOf(8), (CurrentHostValues{"", 0}));
    EXPECT_EQ(record.state.load(), PORT_STOPPED);
    EXPECT_EQ(record.reason.load(), REASON_NONE);
    EXPECT_EQ(record.isWin16Port.load(), 0);
}

TEST_F(PortRecordFields, CurrentHostSetOnAnotherThreadIsReadWhole) {
    std::thread remote([] {
        for (int i = 0; i < 500; ++i)
            setCurrentHost(port(5), i % 2 ? "10.0.0.1" : "vorlix.example.net", i % 2 ? 1 : 2);
    });
    for (int i = 0; i < 500; ++i) {
        CurrentHostValues current = currentHostOf(5);
        if (!current.address.empty()) {
            EXPECT_EQ(current.portNo, current.address == "10.0.0.1" ? 1 : 2);
        }
    }
    remote.join();
}

} // namespace
