// The 16-bit port request and the disconnection procedure, served by the window as
// their messages arrive, against a device-server simulator on loopback.
#include "procedures/disconnect_port.h"
#include "procedures/win16_port.h"

#include "config/manager_context.h"
#include "config/port_key.h"
#include "device/port_connection.h"
#include "driverlink/driver_link.h"
#include "platform/registry.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "tests/device/device_peer.h"
#include "tests/support/manager_fixture.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <unistd.h>
#include <vector>

using namespace platform;
using Bytes = std::vector<uint8_t>;

namespace {

using Win16Port = ManagerTest;
using Disconnect = ManagerTest;

const char* const WIN16_VALUES[] = {"MaximumBaud", "IsWin16Port", "IsWin16PortConnected"};

intptr_t win16Request(int comNumber, int open) {
    return sendMessage(WM_WIN16_PORT, uintptr_t(comNumber), open);
}

void writeWin16Values(int slot) {
    HKEY key = nullptr;
    ASSERT_TRUE(openPortKey(slot, &key));
    regSetDword(key, "MaximumBaud", 9);
    regSetDword(key, "IsWin16Port", 1);
    regSetDword(key, "IsWin16PortConnected", 1);
    RegCloseKey(key);
}

std::vector<RegValue> portValues(int slot) {
    std::vector<RegValue> values;
    HKEY key = nullptr;
    if (openPortKey(slot, &key)) {
        regEnumValues(key, &values);
        RegCloseKey(key);
    }
    return values;
}

bool sameValues(const std::vector<RegValue>& a, const std::vector<RegValue>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const RegValue& x, const RegValue& y) {
                          return x.name == y.name && x.type == y.type && x.data == y.data;
                      });
}

} // namespace

TEST_F(Win16Port, CloseRequestForConnectedPortSendsCloseAndDropsConnectionAtOnce) {
    const int slot = 2;
    int app = addConnectedPort(slot, "COM5", 1);
    ASSERT_GE(app, 0);
    pumpFor(100); // the driver's first packets have gone out
    Bytes before = sim().rawBytesReceived(1);

    EXPECT_EQ(win16Request(5, 0), 1);
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
    EXPECT_EQ(port(slot).relayActive.load(), 0);
    EXPECT_EQ(port(slot).isWin16Port.load(), 0);
    for (const char* name : WIN16_VALUES)
        EXPECT_FALSE(portHasValue(slot, name)) << name;

    ASSERT_TRUE(pumpUntil([&] { return sim().openConnections(1) == 0; }, 1000));
    Bytes after = sim().rawBytesReceived(1);
    ASSERT_GE(after.size(), before.size());
    EXPECT_EQ(Bytes(after.begin() + long(before.size()), after.end()), Bytes({0xF0, 0x72, 0xE0}));
    ::close(app);
}

// The application has closed the port and the relay thread spends its grace after
// CLOSE; a 16-bit close served meanwhile makes the port Ready first. The connection
// that got CLOSE still goes when the grace ends.
TEST_F(Win16Port, CloseRequestDuringTheRelaysCloseGraceLeavesNoConnection) {
    const int slot = 2;
    int app = addConnectedPort(slot, "COM5", 1);
    ASSERT_GE(app, 0);
    ::close(app);
    ASSERT_TRUE(pumpUntil([&] {
        auto frames = sim().framesReceived(1);
        return !frames.empty() && frames.back().command == 0x72;
    }));

    EXPECT_EQ(win16Request(5, 0), 1);
    EXPECT_TRUE(pumpUntil([&] { return sim().openConnections(1) == 0; }, 2000))
        << "the device's session stayed open";
    pumpFor(300); // the grace is over
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
}

// A 16-bit close while the device does not read and a DATA frame is only partly sent:
// CLOSE goes out only behind the rest of that frame, never inside it as data.
struct PendingCloseCase {
    const char* name;
    // The device empties its side before the close, so the frame's rest has room; when
    // it does not, the rest has none (unless the device's system opens its window
    // just then).
    bool deviceReadsFirst;
};

class Win16PortPendingFrame : public ManagerTest,
                              public ::testing::WithParamInterface<PendingCloseCase> {};

TEST_P(Win16PortPendingFrame, DeviceGetsWholeFramesAndNoCloseInsideData) {
    const PendingCloseCase& c = GetParam();
    DevicePeer device(address(), 4001, 4096);
    ASSERT_TRUE(device.listening());
    device.answer({}, vorlixsim::identReply({}));
    const int slot = 2;
    addPort(slot, "COM5", 1);
    int app = manager.connectApplication(slot, "COM5");
    ASSERT_GE(app, 0);
    ASSERT_TRUE(device.answered());
    std::vector<uint8_t> written;
    ASSERT_TRUE(writeUntilBlocked(app, slot, written));
    // The relay thread leaves the port alone from now on, so whatever of the frame is
    // still pending is there for the close to find.
    context.highestPortIndex.store(slot - 1);
    pumpFor(50);
    std::vector<uint8_t> received;
    if (c.deviceReadsFirst)
        received = device.readUntilQuiet(200);

    EXPECT_EQ(win16Request(5, 0), 1);
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);

    std::vector<uint8_t> rest = device.readUntilClosed(30000);
    ASSERT_TRUE(device.closedByManager());
    received.insert(received.end(), rest.begin(), rest.end());
    DeviceStream stream = splitFrames(received);
    EXPECT_FALSE(stream.malformed);
    std::vector<uint8_t> payload = dataPayloads(stream);
    ASSERT_LE(payload.size(), written.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), written.begin()))
        << "the device read other data than the application wrote";
    ASSERT_FALSE(stream.frames.empty());
    // CLOSE comes last and whole, or, when the frame's rest could not go out, not at all.
    if (stream.cutFrame.empty()) {
        EXPECT_EQ(stream.frames.back().bytes, Bytes({0xF0, 0x72, 0xE0}));
    } else {
        for (const auto& frame : stream.frames)
            EXPECT_NE(frame.command, 0x72);
    }
    if (c.deviceReadsFirst) {
        EXPECT_TRUE(stream.cutFrame.empty()) << "the frame's rest had room but did not go out";
    }
    ::close(app);
}

INSTANTIATE_TEST_SUITE_P(Device, Win16PortPendingFrame,
                         ::testing::Values(PendingCloseCase{"ReadsBeforeTheClose", true},
                                           PendingCloseCase{"StaysFull", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Win16Port, CloseRequestForStoppedPortAnswersOneAndChangesNothing) {
    int slot = addPort(3, "COM6", 1);
    writeWin16Values(slot);
    auto before = portValues(slot);

    EXPECT_EQ(win16Request(6, 0), 1);
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_TRUE(sameValues(portValues(slot), before));
}

TEST_F(Win16Port, CloseRequestForIdleReadyPortDeletesValuesAndSendsNothing) {
    TraceLog traces;
    ASSERT_TRUE(startSim());
    int slot = addPort(4, "COM7", 1);
    ASSERT_TRUE(startPort(slot));
    writeWin16Values(slot);

    EXPECT_EQ(win16Request(7, 0), 1);
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    for (const char* name : WIN16_VALUES)
        EXPECT_FALSE(portHasValue(slot, name)) << name;
    EXPECT_TRUE(portHasValue(slot, "PORTNAME"));
    pumpFor(50);
    EXPECT_EQ(sim().connectionCount(1), 0);
    EXPECT_EQ(traces.count("VXD_WRITE_SOCKET : [CLOSE]\r\n"), 0);
}

TEST_F(Win16Port, OpenRequestForReadyPortConnectsAndMarksThePort) {
    ASSERT_TRUE(startSim());
    int slot = addPort(5, "COM8", 2);
    ASSERT_TRUE(startPort(slot));

    EXPECT_EQ(win16Request(8, 1), 1);
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);
    EXPECT_EQ(port(slot).isWin16Port.load(), 1);
    EXPECT_EQ(port(slot).relayActive.load(), 1);
    HKEY key = nullptr;
    ASSERT_TRUE(openPortKey(slot, &key));
    uint32_t connected = 0;
    uint32_t size = sizeof connected;
    EXPECT_EQ(RegQueryValueEx(key, "IsWin16PortConnected", nullptr,
                              reinterpret_cast<uint8_t*>(&connected), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(connected, 1u);
    ASSERT_TRUE(sim().waitForFrames(2, 2, 3000));
    auto frames = sim().framesReceived(2);
    EXPECT_EQ(frames[0].command, 0x11);
    EXPECT_EQ(frames[1].bytes, Bytes({0xF0, 0x71, 0xE0}));

    // The close request takes it down again.
    EXPECT_EQ(win16Request(8, 0), 1);
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(port(slot).isWin16Port.load(), 0);
    EXPECT_TRUE(pumpUntil([&] { return sim().openConnections(2) == 0; }, 1000));
}

TEST_F(Win16Port, OpenRequestAnswersZeroUnlessThePortIsReady) {
    ASSERT_TRUE(startSim());
    int stopped = addPort(6, "COM9", 1);
    int connected = addPort(7, "COM10", 2);
    int app = connectApplication(connected, "COM10");
    ASSERT_GE(app, 0);
    int connectionsBefore = sim().connectionCount(2);

    EXPECT_EQ(win16Request(9, 1), 0);
    EXPECT_EQ(port(stopped).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(stopped).isWin16Port.load(), 0);
    EXPECT_EQ(win16Request(10, 1), 0);
    EXPECT_EQ(port(connected).state.load(), PORT_CONNECTED);
    EXPECT_EQ(port(connected).isWin16Port.load(), 0);
    EXPECT_EQ(sim().connectionCount(2), connectionsBefore);
    EXPECT_EQ(sim().connectionCount(1), 0);

    // No port carries COM77.
    EXPECT_EQ(win16Request(77, 1), 0);
    EXPECT_EQ(win16Request(77, 0), 0);
    ::close(app);
}

TEST_F(Disconnect, WithApplicationHoldingPortLeavesItComOpenedAndConnectionUntouched) {
    const int slot = 1;
    int app = addConnectedPort(slot, "COM3", 1);
    ASSERT_GE(app, 0);
    DeviceSocket* socket = connectionOf(port(slot));
    uint32_t outHandle = portHandles(slot).outQueue;

    EXPECT_EQ(sendMessage(WM_PORT_DISCONNECTED, 0, slot), 0);
    EXPECT_EQ(port(slot).state.load(), PORT_COM_OPENED);
    EXPECT_EQ(connectionOf(port(slot)), socket);
    EXPECT_EQ(portHandles(slot).outQueue, outHandle);
    pumpFor(50);
    EXPECT_EQ(sim().openConnections(1), 1);
    EXPECT_FALSE(applicationHungUp(app));

    // Let go, and let the disconnection procedure that asks for finish here.
    ::close(app);
    EXPECT_TRUE(pumpUntil([&] {
        return port(slot).state.load() == PORT_READY && portHandles(slot).outQueue != outHandle;
    }));
}

TEST_F(Disconnect, WithoutApplicationStartsThePortAnewAndReady) {
    int slot = addPort(2, "COM4", 1);
    ASSERT_TRUE(startPort(slot));
    uint32_t outHandle = portHandles(slot).outQueue;
    uint32_t inHandle = portHandles(slot).inQueue;

    EXPECT_EQ(sendMessage(WM_PORT_DISCONNECTED, 0, slot), 0);
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    EXPECT_NE(portHandles(slot).outQueue, outHandle);
    EXPECT_NE(portHandles(slot).inQueue, inHandle);
    EXPECT_NE(port(slot).outQueue.load(), nullptr);
}

// The application lets go of a COM Opened port: the relay thread asks for the
// disconnection procedure again, which re-initialises the port; the next open works.
TEST_F(Disconnect, ApplicationClosingComOpenedPortMakesItReadyForTheNextOpen) {
    const int slot = 3;
    int app = addConnectedPort(slot, "COM11", 1);
    ASSERT_GE(app, 0);
    uint32_t outHandle = portHandles(slot).outQueue;
    sendMessage(WM_PORT_DISCONNECTED, 0, slot);
    ASSERT_EQ(port(slot).state.load(), PORT_COM_OPENED);

    ::close(app);
    ASSERT_TRUE(pumpUntil([&] {
        return port(slot).state.load() == PORT_READY && portHandles(slot).outQueue != outHandle;
    }));
    EXPECT_EQ(port(slot).relayActive.load(), 0);
    EXPECT_FALSE(portHasValue(slot, "MaximumBaud"));

    int again = openApplicationPort(manager.linkPath("COM11"));
    ASSERT_GE(again, 0);
    EXPECT_TRUE(pumpUntil([&] { return port(slot).state.load() == PORT_CONNECTED; }));
    ::close(again);
}

TEST_F(Disconnect, Win16PortLosesItsConnectedMark) {
    ASSERT_TRUE(startSim());
    int slot = addPort(4, "COM12", 1);
    ASSERT_TRUE(startPort(slot));
    ASSERT_EQ(win16Request(12, 1), 1);
    ASSERT_TRUE(portHasValue(slot, "IsWin16PortConnected"));

    EXPECT_EQ(sendMessage(WM_PORT_DISCONNECTED, 0, slot), 0);
    EXPECT_EQ(port(slot).state.load(), PORT_COM_OPENED);
    EXPECT_FALSE(portHasValue(slot, "IsWin16PortConnected"));
    EXPECT_TRUE(portHasValue(slot, "IsWin16Port"));
}

TEST_F(Disconnect, StopWhileTheClosedConnectionIsWindingDownKeepsThePortStopped) {
    const int slot = 3;
    int app = addConnectedPort(slot, "COM13", 1);
    ASSERT_GE(app, 0);
    size_t before = sim().framesReceived(1).size();
    ::close(app);
    // CLOSE at the device: the relay thread is in its grace before dropping the
    // connection, and the port is no longer in use.
    ASSERT_TRUE(pumpUntil([&] {
        auto frames = sim().framesReceived(1);
        return frames.size() > before && frames.back().command == 0x72;
    }));
    EXPECT_TRUE(stopPort(slot, false));
    pumpFor(400);
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
}

// A disconnection request still queued when the user stops the port must not start it
// again.
TEST_F(Disconnect, RequestServedAfterAStopLeavesThePortStopped) {
    TraceLog traces;
    int slot = addPort(2, "COM4", 1);
    ASSERT_TRUE(startPort(slot));
    postMessage(WM_PORT_DISCONNECTED, 0, slot);
    ASSERT_TRUE(stopPort(slot, false));

    while (pumpOneMessage()) {
    }
    EXPECT_EQ(traces.count("[Disconnection Procedure]\r\n"), 1);
    EXPECT_EQ(port(slot).state.load(), PORT_STOPPED);
    EXPECT_EQ(port(slot).outQueue.load(), nullptr);
    EXPECT_FALSE(portHasValue(slot, "pOutQueue"));
}
