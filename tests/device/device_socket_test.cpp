// A Connected port's device socket against the simulator on loopback: what the device
// sends reaching the application through the in-queue and the driver, a device that
// drops the connection, and the keep-alive. Each test has its own 127.0.0.N.
#include "device/device_socket.h"

#include "app/main_dialog.h"
#include "config/manager_context.h"
#include "driverlink/driver_link.h"
#include "platform/tick.h"
#include "rings/ring_queue.h"
#include "tests/support/manager_harness.h"
#include "tests/support/scripted_boxes.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <unistd.h>

using namespace platform;

namespace {

std::unique_ptr<vorlixsim::SimServer> startSim(const char* address) {
    vorlixsim::SimOptions options;
    options.address = address;
    options.portCount = 3;
    auto sim = std::make_unique<vorlixsim::SimServer>(options);
    EXPECT_TRUE(sim->start()) << sim->errorText();
    return sim;
}

bool isConnected(int slot) {
    return port(slot).state.load() == PORT_CONNECTED;
}

// Pumps until the device has seen no new frame for 300 ms (the driver's MCR and the
// application's line settings follow the open); the frame count then.
size_t settledFrameCount(ManagerHarness& manager, const vorlixsim::SimServer& sim, int simPort) {
    size_t count = sim.framesReceived(simPort).size();
    for (int quietTurns = 0; quietTurns < 3;) {
        manager.pumpFor(100);
        size_t now = sim.framesReceived(simPort).size();
        quietTurns = now == count ? quietTurns + 1 : 0;
        count = now;
    }
    return count;
}

std::vector<uint8_t> dataFrame(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> frame;
    frame.reserve(data.size() + 5);
    for (uint8_t byte :
         {uint8_t(0xF0), uint8_t(0x31), uint8_t(data.size() >> 8), uint8_t(data.size())})
        frame.push_back(byte);
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(0xE0);
    return frame;
}

// Bytes that look like frame delimiters, flow control and line ends among the rest.
std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t(i * 37 + seed);
    return bytes;
}

// Reads what the application's port delivers, pumping the UI thread, until count
// bytes have come or timeoutMs of real time passed.
std::vector<uint8_t> readFromApplication(ManagerHarness& manager, int app, size_t count,
                                         int timeoutMs = 5000) {
    std::vector<uint8_t> got;
    uint8_t buffer[4096];
    manager.pumpUntil(
        [&] {
            ssize_t n = ::read(app, buffer, sizeof buffer);
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
            return got.size() >= count;
        },
        timeoutMs);
    return got;
}

// Nothing more for the application after a while of pumping.
bool applicationHasNothingMore(ManagerHarness& manager, int app) {
    manager.pumpFor(150);
    uint8_t byte = 0;
    return ::read(app, &byte, 1) < 0 && errno == EAGAIN;
}

// ---------------------------------------------------------------------------
// RemoReadData

TEST(RemoReadData, DeviceDataReachesApplicationUnchangedAndInOrder) {
    ManagerHarness manager;
    ScriptedBoxes boxes;
    auto sim(startSim("127.0.0.212"));
    const int slot = manager.addPort(5, "COM6", "127.0.0.212", 1);
    int app = manager.connectApplication(slot, "COM6");
    ASSERT_GE(app, 0);

    std::vector<uint8_t> first = {0xF0, 0xE0, 0x00, 0x11, 0x13, '\r', '\n', 0x7F, 0xFF, 0x31};
    std::vector<uint8_t> second = pattern(512, 3);
    std::vector<uint8_t> third = {'A'};
    // Two frames in one write, one on its own.
    std::vector<uint8_t> burst = dataFrame(first);
    std::vector<uint8_t> secondFrame = dataFrame(second);
    burst.insert(burst.end(), secondFrame.begin(), secondFrame.end());
    ASSERT_EQ(sim->sendRaw(1, burst), 1);
    ASSERT_EQ(sim->sendRaw(1, dataFrame(third)), 1);

    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(readFromApplication(manager, app, expected.size()), expected);
    EXPECT_TRUE(applicationHasNothingMore(manager, app));
    ::close(app);
}

TEST(RemoReadData, ApplicationThatDoesNotReadLosesNothing) {
    ManagerHarness manager;
    ScriptedBoxes boxes;
    auto sim(startSim("127.0.0.213"));
    const int slot = manager.addPort(7, "COM8", "127.0.0.213", 2);
    int app = manager.connectApplication(slot, "COM8");
    ASSERT_GE(app, 0);

    // Far more than the pty and the in-queue's 5119 bytes can hold together.
    std::vector<uint8_t> expected;
    for (int block = 0; block < 400; ++block) {
        std::vector<uint8_t> data = pattern(512, uint8_t(block));
        expected.insert(expected.end(), data.begin(), data.end());
        ASSERT_EQ(sim->sendRaw(2, dataFrame(data)), 1);
    }
    RingQueue* inQueue = port(slot).inQueue.load();
    ASSERT_TRUE(manager.pumpUntil([&] { return ringFull(inQueue); }))
        << "the in-queue never filled up";
    manager.pumpFor(100);

    std::vector<uint8_t> got = readFromApplication(manager, app, expected.size(), 20000);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "bytes changed or out of order";
    EXPECT_TRUE(applicationHasNothingMore(manager, app));
    EXPECT_TRUE(isConnected(slot));
    ::close(app);
}

TEST(RemoReadData, BytesWhileRelayInactiveAreDroppedButCountAsSignOfLife) {
    ManagerHarness manager;
    ScriptedBoxes boxes;
    auto sim(startSim("127.0.0.214"));
    const int slot = manager.addPort(0, "COM1", "127.0.0.214", 3);
    int app = manager.connectApplication(slot, "COM1");
    ASSERT_GE(app, 0);

    PortRecord& record = port(slot);
    // As in the moment after the application's close, before the port is Ready again.
    record.relayActive.store(0);
    addTickOffset(60000);
    uint32_t later = getTickCount();
    ASSERT_EQ(sim->sendRaw(3, dataFrame({'l', 'o', 's', 't'})), 1);
    ASSERT_TRUE(manager.pumpUntil([&] { return int32_t(record.lastRxTick.load() - later) >= 0; }))
        << "the bytes did not count as a sign of life";
    manager.pumpFor(100);
    EXPECT_TRUE(ringEmpty(record.inQueue.load()));

    record.relayActive.store(1);
    ASSERT_EQ(sim->sendRaw(3, dataFrame({'k', 'e', 'p', 't'})), 1);
    EXPECT_EQ(readFromApplication(manager, app, 4), (std::vector<uint8_t>{'k', 'e', 'p', 't'}));
    EXPECT_TRUE(applicationHasNothingMore(manager, app));
    EXPECT_TRUE(isConnected(slot));
    ::close(app);
}

// ---------------------------------------------------------------------------
// The device closing the connection

TEST(DeviceSocket, DeviceClosingConnectedPortStartsReconnectionAtOnce) {
    ManagerHarness manager;
    ScriptedBoxes boxes;
    auto sim(startSim("127.0.0.215"));
    const int slot = manager.addPort(9, "COM10", "127.0.0.215", 1);
    int app = manager.connectApplication(slot, "COM10");
    ASSERT_GE(app, 0);
    PortRecord& record = port(slot);

    ASSERT_EQ(sim->closeConnections(1), 1);
    ASSERT_TRUE(manager.pumpUntil([&] {
        return int32_t(getTickCount() - record.lastRxTick.load()) >= 120100;
    })) << "the closed connection was not marked as silent";
    // The relay thread's next pass, not 120 seconds later.
    EXPECT_TRUE(manager.pumpUntil([&] { return record.state.load() == PORT_RECONNECTING; }, 3000));
    ::close(app);
}

// ---------------------------------------------------------------------------
// Keep-alive

TEST(KeepAlive, SentOnlyToConnectedPortsUpToHighestPortIndex) {
    ManagerHarness manager;
    ScriptedBoxes boxes;
    auto sim(startSim("127.0.0.216"));
    manager.addPort(0, "COM21", "127.0.0.216", 1);
    manager.addPort(1, "COM22", "127.0.0.216", 2);
    manager.addPort(2, "COM23", "127.0.0.216", 3);
    int inRange = manager.connectApplication(0, "COM21");
    ASSERT_GE(inRange, 0);
    ASSERT_TRUE(startPort(1)); // Ready, no application
    int beyond = manager.connectApplication(2, "COM23");
    ASSERT_GE(beyond, 0);
    context.highestPortIndex.store(1);
    size_t inRangeFrames = settledFrameCount(manager, *sim, 1);
    size_t beyondFrames = settledFrameCount(manager, *sim, 3);
    std::vector<uint8_t> inRangeBytes = sim->rawBytesReceived(1);

    manager.dialog().onTimer(KEEPALIVE_TIMER);

    ASSERT_TRUE(sim->waitForFrames(1, inRangeFrames + 1, 3000));
    manager.pumpFor(200);
    std::vector<uint8_t> now = sim->rawBytesReceived(1);
    ASSERT_GE(now.size(), inRangeBytes.size());
    EXPECT_EQ(std::vector<uint8_t>(now.begin() + ptrdiff_t(inRangeBytes.size()), now.end()),
              (std::vector<uint8_t>{0xF0, 0x81, 0xE0}));
    EXPECT_EQ(sim->framesReceived(3).size(), beyondFrames);
    EXPECT_EQ(sim->connectionCount(2), 0);
    ::close(beyond);
    ::close(inRange);
}

} // namespace
