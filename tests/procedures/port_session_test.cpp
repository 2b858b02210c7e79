// An application's session on a virtual port, from the pty link through the stand-in
// driver, the relay thread and the open procedure to a device-server simulator: where
// a session begins and ends, and which bytes belong to it.
#include "procedures/open_port.h"

#include "config/manager_context.h"
#include "driverlink/driver_link.h"
#include "platform/auto_event.h"
#include "platform/tick.h"
#include "platform/ui_thread.h"
#include "rings/ring_queue.h"
#include "tests/support/manager_harness.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;
using Bytes = std::vector<uint8_t>;

namespace {

// A DATA frame as the device sends it.
Bytes deviceData(const std::string& text) {
    Bytes frame(text.size() + 5, 0xE0);
    frame[0] = 0xF0;
    frame[1] = 0x31;
    frame[2] = uint8_t(text.size() >> 8);
    frame[3] = uint8_t(text.size());
    std::copy(text.begin(), text.end(), frame.begin() + 4);
    return frame;
}

// As a non-blocking application must: its output is held until the driver has taken
// the open.
void writeText(int fd, const std::string& text) {
    pollfd room{fd, POLLOUT, 0};
    ASSERT_EQ(poll(&room, 1, 5000), 1);
    ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
}

// What the application reads while the manager runs: until size bytes came, then
// for another quietMs to catch anything that should not be there.
std::string readWhilePumping(ManagerHarness& manager, int fd, size_t size, int quietMs = 200) {
    std::string got;
    auto take = [&] {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            got.append(buffer, size_t(n));
        return got.size() >= size;
    };
    manager.pumpUntil(take, 5000);
    manager.pumpUntil([&] { return take() && false; }, quietMs);
    return got;
}

size_t countFrames(const vorlixsim::SimServer& sim, const Bytes& bytes) {
    auto frames = sim.framesReceived(1);
    return size_t(std::count_if(frames.begin(), frames.end(),
                                [&](const vorlixsim::Frame& f) { return f.bytes == bytes; }));
}

const Bytes MCR_DROP = {0xF0, 0x41, 0x00, 0xE0};
const Bytes CLOSE_FRAME = {0xF0, 0x72, 0xE0};

} // namespace

// A port opened by the 16-bit request is already open: an application that opens its
// link goes straight to the session, and leaving it keeps the port for the 16-bit user.
TEST(SixteenBitPort, ApplicationsUseTheOpenPortAndLeaveItConnected) {
    ManagerHarness manager;
    vorlixsim::SimServer sim(simOptionsAt("127.0.0.171"));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    int slot = manager.addPort(3, "COM21", "127.0.0.171", 1);
    ASSERT_TRUE(startPort(slot));
    ASSERT_EQ(sendMessage(WM_WIN16_PORT, 21, 1), 1);
    ASSERT_EQ(port(slot).state.load(), PORT_CONNECTED);

    size_t sessions = 0;
    for (const std::string text : {"first", "second"}) {
        int app = openApplicationPort(manager.linkPath("COM21"));
        ASSERT_GE(app, 0);
        writeText(app, text);
        EXPECT_EQ(readWhilePumping(manager, app, text.size()), text) << "the device's echo";
        EXPECT_FALSE(applicationHungUp(app));
        ::close(app);
        ++sessions;
        ASSERT_TRUE(manager.pumpUntil([&] { return countFrames(sim, MCR_DROP) == sessions; }));
    }
    manager.pumpFor(300); // a CLOSE would have ended the connection by now
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);
    EXPECT_EQ(port(slot).isWin16Port.load(), 1);
    EXPECT_EQ(sim.connectionCount(1), 1);
    EXPECT_EQ(sim.openConnections(1), 1);
    EXPECT_EQ(countFrames(sim, CLOSE_FRAME), 0u);

    EXPECT_EQ(sendMessage(WM_WIN16_PORT, 21, 0), 1);
    EXPECT_TRUE(manager.pumpUntil([&] { return sim.openConnections(1) == 0; }));
    EXPECT_EQ(sim.framesReceived(1).back().bytes, CLOSE_FRAME);
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
}

// The driver reads the inQueue while the open procedure answers it: the answer is
// appended behind whatever the driver has not read yet, and the reader's index stays
// the reader's. Here a slow reader in another thread plays the driver.
TEST(OpenReport, ResultIsAppendedWhileTheDriverReads) {
    ManagerHarness manager;
    vorlixsim::SimServer sim(simOptionsAt("127.0.0.172"));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    int slot = manager.addPort(4, "COM22", "127.0.0.172", 1);
    ASSERT_TRUE(startPort(slot));
    RingQueue* inQueue = port(slot).inQueue.load();
    ASSERT_NE(inQueue, nullptr);
    Bytes unread;
    for (int i = 0; i < 400; ++i)
        unread.push_back(uint8_t(i % 0xE0)); // no F0 among them
    for (uint8_t byte : unread)
        ringPut(inQueue, byte);

    Bytes read;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint8_t byte = 0;
        while (!done.load() || !ringEmpty(inQueue)) {
            if (ringGet(inQueue, &byte) == RING_OK)
                read.push_back(byte);
            sleepMs(1);
        }
    });
    int result = openPort(slot, true);
    done.store(true);
    reader.join();

    EXPECT_EQ(result, 1);
    Bytes expected = unread;
    expected.insert(expected.end(), {0xF0, 0xA1, 0x01, 0xE0});
    EXPECT_EQ(read, expected);
    EXPECT_TRUE(port(slot).readEvent->wait(0));
}

// An application that closes the port and opens it again before the driver has looked
// ends its session all the same: the new one starts on a new connection with nothing
// of the old one's device bytes (in the pty, the driver or the inQueue), and with the
// line settings the application made.
TEST(SessionEnd, ReopeningAtOnceStartsACleanSession) {
    ManagerHarness manager;
    vorlixsim::SimServer sim(simOptionsAt("127.0.0.173"));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    int slot = manager.addPort(5, "COM23", "127.0.0.173", 1);
    int app = manager.connectApplication(slot, "COM23");
    ASSERT_GE(app, 0);
    // More than the pty, the driver and the inQueue hold; the application reads none.
    for (int i = 0; i < 200; ++i)
        sim.sendRaw(1, deviceData(std::string(500, 'o')));
    RingQueue* inQueue = port(slot).inQueue.load();
    ASSERT_TRUE(manager.pumpUntil([&] { return ringFreeSpace(inQueue) < 512; }));

    ::close(app);
    app = openApplicationPort(manager.linkPath("COM23"));
    ASSERT_GE(app, 0);
    termios settings{};
    tcgetattr(app, &settings);
    cfsetspeed(&settings, B19200);
    tcsetattr(app, TCSANOW, &settings);

    ASSERT_TRUE(manager.pumpUntil([&] {
        return sim.connectionCount(1) == 2 && sim.openConnections(1) == 1 &&
               port(slot).state.load() == PORT_CONNECTED;
    })) << "no new session";
    EXPECT_EQ(countFrames(sim, CLOSE_FRAME), 1u);
    sim.sendRaw(1, deviceData("new"));
    EXPECT_EQ(readWhilePumping(manager, app, 3), "new");

    // The new connection got the application's rate (code 13: 19200).
    auto frames = sim.framesReceived(1);
    auto secondIdent = std::find_if(frames.rbegin(), frames.rend(),
                                    [](const vorlixsim::Frame& f) { return f.command == 0x11; });
    ASSERT_NE(secondIdent, frames.rend());
    auto sreq = std::find_if(secondIdent.base(), frames.end(),
                             [](const vorlixsim::Frame& f) { return f.command == 0x21; });
    ASSERT_NE(sreq, frames.end()) << "no SREQ on the new connection";
    EXPECT_EQ(sreq->bytes[2], 13);
    ::close(app);
}

// The device's answer to the last thing an application wrote may come after it closed
// the port, while the connection winds down: the next application never reads it.
TEST(SessionEnd, DeviceBytesArrivingAfterTheCloseStayWithTheClosedSession) {
    ManagerHarness manager;
    vorlixsim::SimServer sim(simOptionsAt("127.0.0.174"));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    int slot = manager.addPort(6, "COM24", "127.0.0.174", 1);
    int app = manager.connectApplication(slot, "COM24");
    ASSERT_GE(app, 0);
    writeText(app, "ping");
    EXPECT_EQ(readWhilePumping(manager, app, 4, 0), "ping");
    ::close(app);
    ASSERT_TRUE(manager.pumpUntil([&] { return countFrames(sim, CLOSE_FRAME) == 1; }));
    // The grace after CLOSE: the old connection is still up and the late bytes reach
    // the inQueue, before and after the next application's open request.
    sim.sendRaw(1, deviceData("late1"));
    manager.pumpFor(20);
    app = openApplicationPort(manager.linkPath("COM24"));
    ASSERT_GE(app, 0);
    sim.sendRaw(1, deviceData("late2"));

    ASSERT_TRUE(manager.pumpUntil([&] {
        return sim.connectionCount(1) == 2 && sim.openConnections(1) == 1 &&
               port(slot).state.load() == PORT_CONNECTED;
    }));
    writeText(app, "new");
    EXPECT_EQ(readWhilePumping(manager, app, 3), "new");
    ::close(app);
}
