// The driver link against the loaded stand-in driver and a real store: what the
// hooking of a port publishes, what stopping takes back, and every way hooking fails.
#include "driverlink/driver_link.h"

#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_state.h"
#include "config/port_table.h"
#include "platform/driver_device.h"
#include "platform/driver_faults.h"
#include "platform/faults.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/trace.h"
#include "tests/support/manager_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

using namespace platform;

namespace {

// The suite's name; the driver link itself is ::DriverLink here.
using DriverLink = ManagerTest;

const char* const PUBLISHED[] = {"pOutQueue", "pInQueue", "hWin32Event", "hWin32Event_Read",
                                 "hWin32Event_Dummy"};

struct StoredDword {
    bool found = false;
    uint32_t type = REG_NONE;
    uint32_t size = 0;
    uint32_t value = 0;
};

StoredDword readDword(const std::string& keyName, const char* name) {
    StoredDword stored;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyName.c_str(), &key) != ERROR_SUCCESS)
        return stored;
    stored.size = sizeof stored.value;
    stored.found =
        RegQueryValueEx(key, name, &stored.type, reinterpret_cast<uint8_t*>(&stored.value),
                        &stored.size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return stored;
}

uint32_t published(int slot, const char* name) {
    StoredDword stored = readDword(portKeyName(slot), name);
    EXPECT_TRUE(stored.found) << name << " of slot " << slot;
    return stored.value;
}

void expectAllPublished(int slot) {
    for (const char* name : PUBLISHED) {
        StoredDword stored = readDword(portKeyName(slot), name);
        EXPECT_TRUE(stored.found) << name;
        EXPECT_EQ(stored.type, REG_DWORD) << name;
        EXPECT_EQ(stored.size, 4u) << name;
    }
}

void expectNonePublished(int slot) {
    for (const char* name : PUBLISHED)
        EXPECT_FALSE(readDword(portKeyName(slot), name).found) << name << " left behind";
}

// The queue handles a hooking obtained, as it traces them, and the relay thread's starts.
class TraceWatch {
  public:
    TraceWatch() {
        setTraceCapture([this](const std::string& line) { take(line); });
    }
    ~TraceWatch() { setTraceCapture(nullptr); }

    std::vector<uint32_t> queueHandles() {
        std::lock_guard lock(mutex_);
        return handles_;
    }
    int relayStarts() {
        std::lock_guard lock(mutex_);
        return relayStarts_;
    }

  private:
    void take(const std::string& line) {
        std::lock_guard lock(mutex_);
        size_t hex = line.find("0x");
        if (line.rfind("pOutQueue of ", 0) == 0 || line.rfind("pInQueue of ", 0) == 0)
            handles_.push_back(uint32_t(std::strtoul(line.c_str() + hex + 2, nullptr, 16)));
        if (line == "MessageProc: Inited\r\n")
            ++relayStarts_;
    }

    std::mutex mutex_;
    std::vector<uint32_t> handles_;
    int relayStarts_ = 0;
};

TEST_F(DriverLink, TwoPortsShareOneDriverOneWriteEventAndOneRelayThread) {
    TraceWatch trace;
    int first = addPort(2, "COM3", 1);
    int second = addPort(7, "COM8", 2);

    ASSERT_TRUE(startPort(first));
    EXPECT_EQ(context.relayThreadStarted.load(), 1);
    const ::DriverLink afterFirst = driverLink;
    EXPECT_EQ(afterFirst.device, ::DriverLink::Device::Open);
    EXPECT_NE(afterFirst.writeEvent, nullptr);
    EXPECT_NE(afterFirst.writeEventRing0, 0u);
    // Any second open, library load or lookup would fail now.
    failDriverCall(DriverCall::Open);
    failPlatformCall(PlatformCall::LoadLibrary);
    failPlatformCall(PlatformCall::GetProcAddress);

    ASSERT_TRUE(startPort(second));
    EXPECT_EQ(driverLink.driverHandle, afterFirst.driverHandle);
    EXPECT_EQ(driverLink.writeEvent, afterFirst.writeEvent);
    EXPECT_EQ(driverLink.writeEventRing0, afterFirst.writeEventRing0);
    EXPECT_EQ(driverLink.openVxDHandle, afterFirst.openVxDHandle);
    ASSERT_TRUE(pumpUntil([&] { return trace.relayStarts() >= 1; }));
    pumpFor(100);
    EXPECT_EQ(trace.relayStarts(), 1);

    expectAllPublished(first);
    expectAllPublished(second);
    EXPECT_EQ(published(first, "hWin32Event"), afterFirst.writeEventRing0);
    EXPECT_EQ(published(second, "hWin32Event"), afterFirst.writeEventRing0);
    for (int slot : {first, second}) {
        PortRecord& record = port(slot);
        EXPECT_EQ(record.state.load(), PORT_READY);
        EXPECT_EQ(record.reason.load(), REASON_OK);
        EXPECT_EQ(mapQueue(published(slot, "pOutQueue")), record.outQueue.load());
        EXPECT_EQ(mapQueue(published(slot, "pInQueue")), record.inQueue.load());
        EXPECT_NE(record.outQueue.load(), nullptr);
        EXPECT_NE(record.inQueue.load(), nullptr);
        EXPECT_EQ(published(slot, "hWin32Event_Read"), portHandles(slot).readEvent);
        EXPECT_EQ(published(slot, "hWin32Event_Dummy"), portHandles(slot).sliceEvent);
    }
    EXPECT_NE(published(first, "hWin32Event_Read"), published(second, "hWin32Event_Read"));
    EXPECT_GE(context.highestPortIndex.load(), 7);
    EXPECT_TRUE(std::filesystem::is_symlink(manager.linkPath("COM3")));
    EXPECT_TRUE(std::filesystem::is_symlink(manager.linkPath("COM8")));
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(DriverLink, SlotNumberNamesTheKeyWithFourDigits) {
    int slot = addPort(7, "COM12", 1);
    ASSERT_TRUE(startPort(slot));
    StoredDword value = readDword("Enum\\Root\\Redirector\\0007", "pInQueue");
    EXPECT_TRUE(value.found);
    EXPECT_EQ(value.value, portHandles(slot).inQueue);
}

TEST_F(DriverLink, StopDeletesTheValuesAndReleasesBothQueues) {
    int stopped = addPort(0, "COM1", 1);
    int running = addPort(1, "COM2", 2);
    ASSERT_TRUE(startPort(stopped));
    ASSERT_TRUE(startPort(running));
    uint32_t outHandle = published(stopped, "pOutQueue");
    uint32_t inHandle = published(stopped, "pInQueue");
    ASSERT_NE(mapQueue(outHandle), nullptr);
    ASSERT_NE(mapQueue(inHandle), nullptr);

    EXPECT_TRUE(stopPort(stopped, false));
    EXPECT_EQ(port(stopped).state.load(), PORT_STOPPED);
    expectNonePublished(stopped);
    EXPECT_EQ(mapQueue(outHandle), nullptr);
    EXPECT_EQ(mapQueue(inHandle), nullptr);
    // The other port and the driver go on; the link stays while the driver is loaded.
    expectAllPublished(running);
    EXPECT_NE(mapQueue(published(running, "pOutQueue")), nullptr);
    EXPECT_TRUE(std::filesystem::is_symlink(manager.linkPath("COM1")));

    ASSERT_TRUE(startPort(stopped));
    expectAllPublished(stopped);
    EXPECT_NE(published(stopped, "pOutQueue"), outHandle);
    EXPECT_NE(published(stopped, "pInQueue"), inHandle);
    EXPECT_NE(mapQueue(published(stopped, "pOutQueue")), nullptr);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(DriverLink, PortInUseRefusesToStopEvenWhenForced) {
    int slot = addPort(4, "COM5", 1);
    ASSERT_TRUE(startPort(slot));
    uint32_t outHandle = published(slot, "pOutQueue");
    port(slot).relayActive.store(1);
    const char* warning = "[COM5] can't be stopped because it is in use.\nClose port and retry.";
    boxes.expect(warning, "Warning", MB_ICONWARNING);
    boxes.expect(warning, "Warning", MB_ICONWARNING);

    EXPECT_FALSE(stopPort(slot, false));
    EXPECT_FALSE(stopPort(slot, true));
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(port(slot).relayActive.load(), 1);
    expectAllPublished(slot);
    EXPECT_NE(mapQueue(outHandle), nullptr);
}

class DriverLinkRecovering : public ManagerTest, public ::testing::WithParamInterface<int> {};

TEST_P(DriverLinkRecovering, StopIsRefusedSilentlyUnlessForced) {
    int slot = addPort(5, "COM6", 1);
    ASSERT_TRUE(startPort(slot));
    uint32_t outHandle = published(slot, "pOutQueue");
    forcePortState(port(slot), GetParam());

    EXPECT_FALSE(stopPort(slot, false));
    EXPECT_EQ(port(slot).state.load(), GetParam());
    expectAllPublished(slot);
    EXPECT_NE(mapQueue(outHandle), nullptr);

    EXPECT_TRUE(stopPort(slot, true));
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    expectNonePublished(slot);
    EXPECT_EQ(mapQueue(outHandle), nullptr);
    EXPECT_TRUE(boxes.shown().empty());
}

INSTANTIATE_TEST_SUITE_P(States, DriverLinkRecovering,
                         ::testing::Values(PORT_RECONNECTING, PORT_SWITCHING),
                         [](const auto& info) {
                             return info.param == PORT_RECONNECTING ? "Reconnecting" : "Switching";
                         });

// One way the hooking of a port can fail.
struct HookFailure {
    const char* name;
    void (*arm)(int slot);
    const char* message;
    bool driverLoaded;  // the failure comes after the driver was opened
    bool retrySucceeds; // the fault was once-only, so the next start works
    size_t queuesObtained;
};

void deleteKey(int slot) {
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str()), ERROR_SUCCESS);
}

const HookFailure HOOK_FAILURES[] = {
    {"DriverOpen", [](int) { failDriverCall(DriverCall::Open, 0, 1); },
     "Cannot Load auxilliary driver file.", false, false, 0},
    {"FirstAllocation", [](int) { failDriverCall(DriverCall::Allocate, 0, 1); },
     "Cannot Allocate Memory", true, true, 0},
    {"SecondAllocation", [](int) { failDriverCall(DriverCall::Allocate, 1, 1); },
     "Cannot Allocate Memory", true, true, 1},
    {"WriteEventCreation", [](int) { failPlatformCall(PlatformCall::CreateEvent, 0); },
     "Cannot create Event for Application Writing.", true, true, 2},
    {"LoadLibrary", [](int) { failPlatformCall(PlatformCall::LoadLibrary); },
     "Cannot load kernel32.dll.", true, true, 2},
    {"GetProcAddress", [](int) { failPlatformCall(PlatformCall::GetProcAddress); },
     "Cannot get the address of OpenVxDHandle.\nCheck System Status.", true, true, 2},
    {"WriteEventDriverHandle", [](int) { failDriverCall(DriverCall::EventHandle, 0, 1); },
     "Cannot create event for Device Driver Writing.\nCheck System Status.", true, true, 2},
    {"ReadEventCreation", [](int) { failPlatformCall(PlatformCall::CreateEvent, 1); },
     "Cannot create event for Application Reading.", true, true, 2},
    {"ReadEventDriverHandle", [](int) { failDriverCall(DriverCall::EventHandle, 1, 1); },
     "Cannot create event for Device Driver Reading.", true, true, 2},
    {"SliceEventCreation", [](int) { failPlatformCall(PlatformCall::CreateEvent, 2); },
     "Cannot create event for Driver Time Slice.", true, true, 2},
    {"SliceEventDriverHandle", [](int) { failDriverCall(DriverCall::EventHandle, 2, 1); },
     "Cannot create event for Device Driver Time Slicing.", true, true, 2},
    {"PortKeyMissing", deleteKey, "Cannot open registry for some port.", true, false, 2},
    {"WriteOfhWin32Event", [](int) { failPlatformCall(PlatformCall::RegistryWrite, 0); },
     "Cannot save registry key for some port.", true, true, 2},
    {"WriteOfhWin32Event_Read", [](int) { failPlatformCall(PlatformCall::RegistryWrite, 1); },
     "Cannot save registry key for some port.", true, true, 2},
    {"WriteOfhWin32Event_Dummy", [](int) { failPlatformCall(PlatformCall::RegistryWrite, 2); },
     "Cannot save registry key for some port.", true, true, 2},
    {"WriteOfpOutQueue", [](int) { failPlatformCall(PlatformCall::RegistryWrite, 3); },
     "Cannot save registry key for some port.", true, true, 2},
    {"WriteOfpInQueue", [](int) { failPlatformCall(PlatformCall::RegistryWrite, 4); },
     "Cannot save registry key for some port.", true, true, 2},
};

class DriverLinkHookFailure : public ManagerTest,
                              public ::testing::WithParamInterface<HookFailure> {};

TEST_P(DriverLinkHookFailure, ShowsItsMessageStopsWithInternalErrorAndLeavesNothingBehind) {
    const HookFailure& failure = GetParam();
    TraceWatch trace;
    int slot = addPort(3, "COM4", 1);
    failure.arm(slot);
    boxes.expect(failure.message, "Error", MB_ICONERROR);

    EXPECT_FALSE(startPort(slot));
    EXPECT_EQ(boxes.pending(), 0u);
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(slot).reason.load(), REASON_INTERNAL);
    EXPECT_EQ(context.serviceBusy.load(), 0);
    expectNonePublished(slot);
    EXPECT_EQ(driverLink.device == ::DriverLink::Device::Open, failure.driverLoaded);
    // Queues obtained before the failure went back to the driver.
    ASSERT_EQ(trace.queueHandles().size(), failure.queuesObtained);
    for (uint32_t handle : trace.queueHandles())
        EXPECT_EQ(mapQueue(handle), nullptr) << "queue " << handle << " still allocated";
    if (!failure.retrySucceeds)
        return;

    EXPECT_TRUE(startPort(slot));
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    expectAllPublished(slot);
    EXPECT_EQ(boxes.shown().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(EachStep, DriverLinkHookFailure, ::testing::ValuesIn(HOOK_FAILURES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverLink, FailedDriverOpenIsNeverTriedAgain) {
    int slot = addPort(0, "COM9", 1);
    // Only the first open fails: a second attempt would load the driver.
    failDriverCall(DriverCall::Open, 0, 1);
    boxes.expect("Cannot Load auxilliary driver file.", "Error", MB_ICONERROR);
    boxes.expect("Cannot Allocate Memory", "Error", MB_ICONERROR);
    boxes.expect("Cannot Refresh Device Node", "Error", MB_ICONERROR);
    boxes.expect("Cannot Allocate Memory", "Error", MB_ICONERROR);

    EXPECT_FALSE(startPort(slot));
    EXPECT_FALSE(startPort(slot));
    refreshDeviceNodes();
    EXPECT_FALSE(startPort(slot));
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(slot).reason.load(), REASON_INTERNAL);
    EXPECT_EQ(driverLink.device, ::DriverLink::Device::Failed);
    EXPECT_FALSE(std::filesystem::exists(manager.linkPath("COM9")));
}

// A failure in the process-wide part keeps what it obtained; the next start adds the rest.
struct ProcessWideFailure {
    const char* name;
    void (*arm)();
    const char* message;
};

const ProcessWideFailure PROCESS_WIDE_FAILURES[] = {
    {"WriteEventCreation", [] { failPlatformCall(PlatformCall::CreateEvent, 0); },
     "Cannot create Event for Application Writing."},
    {"LoadLibrary", [] { failPlatformCall(PlatformCall::LoadLibrary); },
     "Cannot load kernel32.dll."},
    {"GetProcAddress", [] { failPlatformCall(PlatformCall::GetProcAddress); },
     "Cannot get the address of OpenVxDHandle.\nCheck System Status."},
    {"WriteEventDriverHandle", [] { failDriverCall(DriverCall::EventHandle, 0, 1); },
     "Cannot create event for Device Driver Writing.\nCheck System Status."},
};

class DriverLinkProcessWide : public ManagerTest,
                              public ::testing::WithParamInterface<ProcessWideFailure> {};

TEST_P(DriverLinkProcessWide, NextStartKeepsWhatTheFailedOneObtained) {
    int slot = addPort(1, "COM2", 1);
    GetParam().arm();
    boxes.expect(GetParam().message, "Error", MB_ICONERROR);
    ASSERT_FALSE(startPort(slot));
    const ::DriverLink kept = driverLink;
    EXPECT_EQ(context.relayThreadStarted.load(), 0);

    ASSERT_TRUE(startPort(slot));
    if (kept.writeEvent) {
        EXPECT_EQ(driverLink.writeEvent, kept.writeEvent);
    }
    if (kept.kernel32) {
        EXPECT_EQ(driverLink.kernel32, kept.kernel32);
    }
    if (kept.openVxDHandle) {
        EXPECT_EQ(driverLink.openVxDHandle, kept.openVxDHandle);
    }
    EXPECT_EQ(driverLink.driverHandle, kept.driverHandle);
    EXPECT_EQ(published(slot, "hWin32Event"), driverLink.writeEventRing0);
    EXPECT_EQ(context.relayThreadStarted.load(), 1);
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
}

INSTANTIATE_TEST_SUITE_P(EachStep, DriverLinkProcessWide,
                         ::testing::ValuesIn(PROCESS_WIDE_FAILURES),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
