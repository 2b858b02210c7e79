// A Connected port's device socket against the simulator on loopback: what the device
// sends reaching the application through the in-queue and the driver, a device that
// drops the connection, and the keep-alive.
#include "device/device_socket.h"

#include "config/manager_context.h"
#include "device/port_connection.h"
#include "driverlink/driver_link.h"
#include "platform/tick.h"
#include "rings/ring_queue.h"
#include "tests/support/manager_fixture.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

using namespace platform;

namespace {

// A device with three serial ports.
class DeviceSocketTest : public ManagerTest {
  protected:
    DeviceSocketTest() { simOptions.portCount = 3; }
};

using RemoReadData = DeviceSocketTest;
using DeviceSocket = DeviceSocketTest;
using KeepAlive = DeviceSocketTest;

bool isConnected(int slot) {
    return port(slot).state.load() == PORT_CONNECTED;
}

// Pumps until the device has seen no new frame for 300 ms (the driver's MCR and the
// application's line settings follow the open); the frame count then.
size_t settledFrameCount(const vorlixsim::SimServer& sim, int simPort) {
    size_t count = sim.framesReceived(simPort).size();
    for (int quietTurns = 0; quietTurns < 3;) {
        pumpFor(100);
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
std::vector<uint8_t> readFromApplication(int app, size_t count, int timeoutMs = 5000) {
    std::vector<uint8_t> got;
    uint8_t buffer[4096];
    pumpUntil(
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
bool applicationHasNothingMore(int app) {
    pumpFor(150);
    uint8_t byte = 0;
    return ::read(app, &byte, 1) < 0 && errno == EAGAIN;
}

// ---------------------------------------------------------------------------
// RemoReadData

TEST_F(RemoReadData, DeviceDataReachesApplicationUnchangedAndInOrder) {
    const int slot = 5;
    int app = addConnectedPort(slot, "COM6", 1);
    ASSERT_GE(app, 0);

    std::vector<uint8_t> first = {0xF0, 0xE0, 0x00, 0x11, 0x13, '\r', '\n', 0x7F, 0xFF, 0x31};
    std::vector<uint8_t> second = pattern(512, 3);
    std::vector<uint8_t> third = {'A'};
    // Two frames in one write, one on its own.
    std::vector<uint8_t> burst = dataFrame(first);
    std::vector<uint8_t> secondFrame = dataFrame(second);
    burst.insert(burst.end(), secondFrame.begin(), secondFrame.end());
    ASSERT_EQ(sim().sendRaw(1, burst), 1);
    ASSERT_EQ(sim().sendRaw(1, dataFrame(third)), 1);

    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(readFromApplication(app, expected.size()), expected);
    EXPECT_TRUE(applicationHasNothingMore(app));
    ::close(app);
}

TEST_F(RemoReadData, ApplicationThatDoesNotReadLosesNothing) {
    const int slot = 7;
    int app = addConnectedPort(slot, "COM8", 2);
    ASSERT_GE(app, 0);

    // Far more than the pty and the in-queue's 5119 bytes can hold together.
    std::vector<uint8_t> expected;
    for (int block = 0; block < 400; ++block) {
        std::vector<uint8_t> data = pattern(512, uint8_t(block));
        expected.insert(expected.end(), data.begin(), data.end());
        ASSERT_EQ(sim().sendRaw(2, dataFrame(data)), 1);
    }
    // Full: the next frame does not fit, and the receive path waits for room.
    ASSERT_TRUE(pumpUntil([&] {
        ::DeviceSocket* socket = connectionOf(port(slot));
        return socket && socket->waitingForRoom();
    })) << "the in-queue never filled up";
    pumpFor(100);

    std::vector<uint8_t> got = readFromApplication(app, expected.size(), 20000);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "bytes changed or out of order";
    EXPECT_TRUE(applicationHasNothingMore(app));
    EXPECT_TRUE(isConnected(slot));
    ::close(app);
}

TEST_F(RemoReadData, BytesWhileRelayInactiveAreDroppedButCountAsSignOfLife) {
    const int slot = 0;
    int app = addConnectedPort(slot, "COM1", 3);
    ASSERT_GE(app, 0);

    PortRecord& record = port(slot);
    // As in the moment after the application's close, before the port is Ready again.
    record.relayActive.store(0);
    addTickOffset(60000);
    uint32_t later = getTickCount();
    ASSERT_EQ(sim().sendRaw(3, dataFrame({'l', 'o', 's', 't'})), 1);
    ASSERT_TRUE(pumpUntil([&] { return int32_t(record.lastRxTick.load() - later) >= 0; }))
        << "the bytes did not count as a sign of life";
    pumpFor(100);
    EXPECT_TRUE(ringEmpty(record.inQueue.load()));

    record.relayActive.store(1);
    ASSERT_EQ(sim().sendRaw(3, dataFrame({'k', 'e', 'p', 't'})), 1);
    EXPECT_EQ(readFromApplication(app, 4), (std::vector<uint8_t>{'k', 'e', 'p', 't'}));
    EXPECT_TRUE(applicationHasNothingMore(app));
    EXPECT_TRUE(isConnected(slot));
    ::close(app);
}

// ---------------------------------------------------------------------------
// The device closing the connection

TEST_F(DeviceSocket, DeviceClosingConnectedPortStartsReconnectionAtOnce) {
    const int slot = 9;
    int app = addConnectedPort(slot, "COM10", 1);
    ASSERT_GE(app, 0);
    PortRecord& record = port(slot);

    ASSERT_EQ(sim().closeConnections(1), 1);
    ASSERT_TRUE(pumpUntil([&] {
        return int32_t(getTickCount() - record.lastRxTick.load()) >= 120100;
    })) << "the closed connection was not marked as silent";
    // The relay thread's next pass, not 120 seconds later.
    EXPECT_TRUE(pumpUntil([&] { return record.state.load() == PORT_RECONNECTING; }, 3000));
    ::close(app);
}

// ---------------------------------------------------------------------------
// Keep-alive

TEST_F(KeepAlive, SentOnlyToConnectedPortsUpToHighestPortIndex) {
    addPort(0, "COM21", 1);
    addPort(1, "COM22", 2);
    addPort(2, "COM23", 3);
    int inRange = connectApplication(0, "COM21");
    ASSERT_GE(inRange, 0);
    ASSERT_TRUE(startPort(1)); // Ready, no application
    int beyond = connectApplication(2, "COM23");
    ASSERT_GE(beyond, 0);
    context.highestPortIndex.store(1);
    size_t inRangeFrames = settledFrameCount(sim(), 1);
    size_t beyondFrames = settledFrameCount(sim(), 3);
    std::vector<uint8_t> inRangeBytes = sim().rawBytesReceived(1);

    sendKeepAlives();

    ASSERT_TRUE(sim().waitForFrames(1, inRangeFrames + 1, 3000));
    pumpFor(200);
    std::vector<uint8_t> now = sim().rawBytesReceived(1);
    ASSERT_GE(now.size(), inRangeBytes.size());
    EXPECT_EQ(std::vector<uint8_t>(now.begin() + ptrdiff_t(inRangeBytes.size()), now.end()),
              (std::vector<uint8_t>{0xF0, 0x81, 0xE0}));
    EXPECT_EQ(sim().framesReceived(3).size(), beyondFrames);
    EXPECT_EQ(sim().connectionCount(2), 0);
    ::close(beyond);
    ::close(inRange);
}

} // namespace
