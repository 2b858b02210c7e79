// The relay thread end to end: an application on the port's pty link, the whole
// manager in this process and a device-server simulator on loopback.
#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_state.h"
#include "config/port_table.h"
#include "device/port_connection.h"
#include "driverlink/driver_link.h"
#include "platform/auto_event.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "rings/ring_queue.h"
#include "tests/device/device_peer.h"
#include "tests/support/manager_fixture.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <random>
#include <set>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace platform;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int SILENCE_MS = 120000;

using Relay = ManagerTest;

// Records the private messages the UI thread receives and hands them on to the
// window, except those listed as held: their procedures are not under test here.
class MessageLog {
  public:
    MessageLog(ManagerHarness& manager, std::set<uint32_t> held) : held_(std::move(held)) {
        setMessageHandler([this, &manager](uint32_t message, uintptr_t wParam, intptr_t lParam) {
            seen_.push_back({message, lParam});
            if (held_.count(message))
                return intptr_t(0);
            return manager.messages().handle(message, wParam, lParam);
        });
    }
    ~MessageLog() { setMessageHandler(nullptr); }
    int count(uint32_t message, intptr_t lParam) const {
        return int(std::count_if(seen_.begin(), seen_.end(), [&](const Seen& s) {
            return s.message == message && s.lParam == lParam;
        }));
    }

  private:
    struct Seen {
        uint32_t message;
        intptr_t lParam;
    };
    std::set<uint32_t> held_;
    std::vector<Seen> seen_; // UI thread only
};

std::vector<vorlixsim::Frame> framesWith(const vorlixsim::SimServer& sim, int devicePort,
                                         uint8_t command) {
    std::vector<vorlixsim::Frame> found;
    for (const auto& frame : sim.framesReceived(devicePort))
        if (frame.command == command)
            found.push_back(frame);
    return found;
}

Bytes dataPayloads(const vorlixsim::SimServer& sim, int devicePort) {
    Bytes payload;
    for (const auto& frame : framesWith(sim, devicePort, 0x31))
        payload.insert(payload.end(), frame.bytes.begin() + 4, frame.bytes.end() - 1);
    return payload;
}

// Writes what the non-blocking application port takes now; returns the count.
size_t writeSome(int app, const uint8_t* bytes, size_t length) {
    ssize_t n = ::write(app, bytes, length);
    return n > 0 ? size_t(n) : 0;
}

void readAvailable(int app, Bytes& into) {
    uint8_t buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(app, buffer, sizeof buffer)) > 0)
        into.insert(into.end(), buffer, buffer + n);
}

bool setSpeed(int app, speed_t speed) {
    termios attrs{};
    if (tcgetattr(app, &attrs) != 0)
        return false;
    cfsetspeed(&attrs, speed);
    return tcsetattr(app, TCSANOW, &attrs) == 0;
}

// The driver has taken everything the application wrote and the relay thread has
// taken every packet the driver made of it.
bool applicationOutputConsumed(int app, int slot) {
    int unread = 0;
    if (ioctl(app, TIOCOUTQ, &unread) != 0 || unread != 0)
        return false;
    PortRecord& record = port(slot);
    platform::MutexLock lock(record.relayLock);
    RingQueue* queue = record.outQueue.load();
    return queue && ringEmpty(queue);
}

// The application's bytes have left the pty and wait in the outQueue.
bool applicationOutputHeld(int app, int slot) {
    int unread = 0;
    if (ioctl(app, TIOCOUTQ, &unread) != 0 || unread != 0)
        return false;
    PortRecord& record = port(slot);
    platform::MutexLock lock(record.relayLock);
    RingQueue* queue = record.outQueue.load();
    return queue && !ringEmpty(queue);
}

void putPacket(RingQueue* queue, const Bytes& packet) {
    for (uint8_t byte : packet)
        ringPut(queue, byte);
}

// What the relay thread holds for a port, seen in one piece.
struct RelayView {
    Bytes pending;     // what is left of the pending frame
    int32_t readIndex; // where the next packet is taken from the outQueue
    bool queued;       // the outQueue holds something
};

RelayView relayView(int slot) {
    PortRecord& record = port(slot);
    platform::MutexLock lock(record.relayLock);
    RingQueue* queue = record.outQueue.load();
    return {unsentFrames(record).bytes, std::atomic_ref<int32_t>(queue->readIndex).load(),
            ringFreeSpace(queue) < RING_SIZE - 1};
}

} // namespace

TEST_F(Relay, MebibyteFromApplicationArrivesWholeAndItsEchoReachesTheApplication) {
    const int slot = 2;
    int app = addConnectedPort(slot, "COM5", 1);
    ASSERT_GE(app, 0);

    std::mt19937 random(20240611);
    Bytes written(1 << 20);
    for (uint8_t& byte : written)
        byte = uint8_t(random());
    std::vector<size_t> pieces;
    for (size_t total = 0; total < written.size();) {
        size_t piece = std::min<size_t>(1 + random() % 4096, written.size() - total);
        pieces.push_back(piece);
        total += piece;
    }

    Bytes echoed;
    size_t piece = 0;
    size_t inPiece = 0;
    size_t offset = 0;
    bool done = pumpUntil(
        [&] {
            while (piece < pieces.size()) {
                size_t n = writeSome(app, &written[offset], pieces[piece] - inPiece);
                if (n == 0)
                    break;
                offset += n;
                inPiece += n;
                if (inPiece == pieces[piece]) {
                    ++piece;
                    inPiece = 0;
                }
            }
            readAvailable(app, echoed);
            return echoed.size() >= written.size();
        },
        60000);
    ASSERT_TRUE(done) << "echoed " << echoed.size() << " of " << written.size();

    EXPECT_TRUE(echoed == written) << "the echo differs from what the application wrote";
    Bytes payload = dataPayloads(sim(), 1);
    EXPECT_TRUE(payload == written) << "device got " << payload.size() << " payload bytes";
    for (const auto& frame : framesWith(sim(), 1, 0x31))
        EXPECT_LE(frame.bytes.size(), 517u);
    ::close(app);
}

TEST_F(Relay, LineSpeedChangeSendsTheDriversSettingBytesAndKeepsThem) {
    const int slot = 1;
    int app = addConnectedPort(slot, "COM6", 2);
    ASSERT_GE(app, 0);

    ASSERT_TRUE(setSpeed(app, B115200));
    // 115200 baud is code 16; the pty always reports 8N1 (LCR 03); no flow control.
    const Bytes expected{0xF0, 0x21, 16, 0x03, 0x00, 0xE0};
    auto sreqSent = [&] {
        auto frames = framesWith(sim(), 2, 0x21);
        return !frames.empty() && frames.back().bytes == expected;
    };
    ASSERT_TRUE(pumpUntil(sreqSent)) << "no SREQ for 115200 baud at the device";
    EXPECT_EQ(settingsOf(slot), Bytes({16, 0x03, 0x00}));
    ::close(app);
}

TEST_F(Relay, ApplicationCloseSendsMcrZeroAndCloseThenDropsConnectionAndPortIsReady) {
    const int slot = 4;
    int app = addConnectedPort(slot, "COM8", 1);
    ASSERT_GE(app, 0);
    ASSERT_TRUE(portHasValue(slot, "MaximumBaud"));
    ASSERT_EQ(sim().openConnections(1), 1);

    ::close(app);
    ASSERT_TRUE(pumpUntil([&] { return !framesWith(sim(), 1, 0x72).empty(); }));
    auto closeSeen = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil([&] { return sim().openConnections(1) == 0; }));
    auto dropped = std::chrono::steady_clock::now();

    auto frames = sim().framesReceived(1);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2].bytes, Bytes({0xF0, 0x41, 0x00, 0xE0}));
    EXPECT_EQ(frames.back().bytes, Bytes({0xF0, 0x72, 0xE0}));
    auto grace = std::chrono::duration_cast<std::chrono::milliseconds>(dropped - closeSeen);
    EXPECT_GE(grace.count(), 150) << "connection dropped without the grace after CLOSE";
    EXPECT_LT(grace.count(), 2000);

    ASSERT_TRUE(pumpUntil([&] { return port(slot).state.load() == PORT_READY; }));
    EXPECT_EQ(connectionOf(port(slot)), nullptr);
    EXPECT_EQ(port(slot).relayActive.load(), 0);
    EXPECT_FALSE(portHasValue(slot, "MaximumBaud"));
}

TEST_F(Relay, DeviceCloseMakesConnectedPortReconnecting) {
    MessageLog messages(manager, {WM_RECONNECT_PORT});
    const int slot = 0;
    int app = addConnectedPort(slot, "COM3", 2);
    ASSERT_GE(app, 0);

    ASSERT_EQ(sim().closeConnections(2), 1);
    ASSERT_TRUE(pumpUntil([&] { return port(slot).state.load() == PORT_RECONNECTING; }));
    pumpUntil([&] { return messages.count(WM_RECONNECT_PORT, slot) > 0; }, 1000);
    EXPECT_EQ(messages.count(WM_RECONNECT_PORT, slot), 1);
    ::close(app);
}

TEST_F(Relay, SilentDeviceMakesPortReconnectingAndAsksForReconnectionOnce) {
    MessageLog messages(manager, {WM_RECONNECT_PORT});
    TraceLog traces;
    const int slot = 6;
    int app = addConnectedPort(slot, "COM9", 1);
    ASSERT_GE(app, 0);

    // Just short of the limit nothing happens.
    addTickOffset(SILENCE_MS - 5000);
    wakeRelay();
    pumpFor(100);
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);

    addTickOffset(5000);
    wakeRelay();
    ASSERT_TRUE(pumpUntil([&] { return port(slot).state.load() == PORT_RECONNECTING; }));
    pumpUntil([&] { return messages.count(WM_RECONNECT_PORT, slot) > 0; }, 1000);
    EXPECT_EQ(messages.count(WM_RECONNECT_PORT, slot), 1);
    EXPECT_EQ(traces.count("MessageProc: Remote Down. Call ACR Mode.\r\n"), 1);

    // Later passes treat the port as Reconnecting: the application's data is held for
    // the connection to come, nothing goes to the device and nothing more is asked for.
    size_t framesBefore = sim().framesReceived(1).size();
    const uint8_t text[] = "while reconnecting";
    ASSERT_EQ(::write(app, text, sizeof text), ssize_t(sizeof text));
    ASSERT_TRUE(pumpUntil([&] { return applicationOutputHeld(app, slot); }));
    wakeRelay();
    pumpFor(50);
    EXPECT_TRUE(applicationOutputHeld(app, slot));
    EXPECT_EQ(messages.count(WM_RECONNECT_PORT, slot), 1);
    EXPECT_EQ(traces.count("MessageProc: Remote Down. Call ACR Mode.\r\n"), 1);
    EXPECT_EQ(sim().framesReceived(1).size(), framesBefore);
    ::close(app);
}

TEST_F(Relay, SilenceDuringRunningReconnectionPostsNothing) {
    MessageLog messages(manager, {WM_RECONNECT_PORT});
    const int slot = 3;
    int app = addConnectedPort(slot, "COM4", 1);
    ASSERT_GE(app, 0);

    context.reconnectRunning.store(1);
    addTickOffset(SILENCE_MS + 10);
    wakeRelay();
    ASSERT_TRUE(pumpUntil([&] { return port(slot).state.load() == PORT_RECONNECTING; }));
    pumpFor(100);
    EXPECT_EQ(messages.count(WM_RECONNECT_PORT, slot), 0);
    ::close(app);
}

TEST_F(Relay, PacketsWhileRelayInactiveAreDropped) {
    TraceLog traces;
    const int slot = 5;
    int app = addConnectedPort(slot, "COM10", 2);
    ASSERT_GE(app, 0);
    // The application's own raw setting at open is reported once it is open.
    ASSERT_TRUE(pumpUntil([&] { return framesWith(sim(), 2, 0x21).size() == 1; }));
    ASSERT_TRUE(pumpUntil([&] { return applicationOutputConsumed(app, slot); }));
    const Bytes params = settingsOf(slot);
    uint8_t mcrBefore = port(slot).lastMcr.load();

    port(slot).relayActive.store(0);
    const uint8_t lost[] = "lost";
    ASSERT_EQ(::write(app, lost, 4), 4);
    ASSERT_TRUE(setSpeed(app, B57600));
    ASSERT_TRUE(pumpUntil([&] { return applicationOutputConsumed(app, slot); }));
    pumpFor(100);
    ASSERT_TRUE(setSpeed(app, B0)); // drops DTR and RTS: MCR 00
    pumpFor(100);
    ASSERT_TRUE(pumpUntil([&] { return applicationOutputConsumed(app, slot); }));

    port(slot).relayActive.store(1);
    const uint8_t kept[] = "kept";
    ASSERT_EQ(::write(app, kept, 4), 4);
    ASSERT_TRUE(pumpUntil([&] { return !dataPayloads(sim(), 2).empty(); }));
    pumpFor(50);
    EXPECT_EQ(dataPayloads(sim(), 2), Bytes(kept, kept + 4));
    EXPECT_EQ(framesWith(sim(), 2, 0x21).size(), 1u);
    EXPECT_TRUE(framesWith(sim(), 2, 0x41).size() == 1) << "only the MCR 03 of the open";
    EXPECT_EQ(port(slot).lastMcr.load(), mcrBefore);
    EXPECT_EQ(settingsOf(slot), params);
    EXPECT_EQ(traces.count("VXD_WRITE_SOCKET : [SREQ]\r\n"), 1);
    ::close(app);
}

// The packets behind the OPEN wait for the open procedure, even when the relay thread
// passes over the port again before the window has taken up the request.
TEST_F(Relay, ReadyPortDropsPacketsBeforeOpenAsksForOpenAndKeepsThoseBehind) {
    MessageLog messages(manager, {WM_OPEN_PORT});
    int slot = addPort(7, "COM11", 1);
    int later = addPort(9, "COM13", 2);
    ASSERT_TRUE(startPort(slot));
    ASSERT_TRUE(startPort(later));
    PortRecord& record = port(slot);
    {
        platform::MutexLock lock(record.relayLock);
        RingQueue* queue = record.outQueue.load();
        ASSERT_NE(queue, nullptr);
        putPacket(queue, {0xF0, 'A', 0x03});
        putPacket(queue, {0xF0, '!', 16, 0x03, 0x00});
        putPacket(queue, {0xF0, 'q'});
        putPacket(queue, {0xF0, '1', 0x00, 0x02, 'h', 'i'});
        ringSetDataReady(queue, true);
    }
    wakeRelay();
    ASSERT_TRUE(pumpUntil([&] { return messages.count(WM_OPEN_PORT, slot) > 0; }));

    // Another pass, seen through an open on a later slot.
    {
        platform::MutexLock lock(port(later).relayLock);
        putPacket(port(later).outQueue.load(), {0xF0, 'q'});
        ringSetDataReady(port(later).outQueue.load(), true);
    }
    wakeRelay();
    ASSERT_TRUE(pumpUntil([&] { return messages.count(WM_OPEN_PORT, later) > 0; }));

    platform::MutexLock lock(record.relayLock);
    uint8_t packet[PACKET_BUFFER_SIZE];
    ASSERT_EQ(readDriverPacket(record.outQueue.load(), packet), 1);
    EXPECT_EQ(Bytes(packet, packet + 5), Bytes({'1', 0x00, 0x02, 'h', 'i'}));
    EXPECT_EQ(readDriverPacket(record.outQueue.load(), packet), 0);
    EXPECT_EQ(messages.count(WM_OPEN_PORT, slot), 1);
    EXPECT_EQ(record.state.load(), PORT_READY);
    EXPECT_EQ(record.lastMcr.load(), 0);
    std::array<uint8_t, 3> settings = lastSettings(record);
    EXPECT_EQ(Bytes(settings.begin(), settings.end()), Bytes({0, 0, 0}));
}

TEST_F(Relay, ModemControlBehindTheApplicationsOpenReachesTheDevice) {
    const int slot = 8;
    int app = addConnectedPort(slot, "COM12", 1);
    ASSERT_GE(app, 0);

    // The driver raises DTR and RTS right behind its OPEN packet.
    auto raised = [&] {
        for (const auto& frame : framesWith(sim(), 1, 0x41))
            if (frame.bytes == Bytes({0xF0, 0x41, 0x03, 0xE0}))
                return true;
        return false;
    };
    EXPECT_TRUE(pumpUntil(raised, 3000));
    EXPECT_EQ(port(slot).lastMcr.load(), 0x03);
    ::close(app);
}

// A device that stops reading: the DATA frame its connection took only part of stays
// pending, the packets behind it stay in the outQueue, and a keep-alive that comes due
// meanwhile does not cut in. The device gets whole frames carrying exactly what the
// application wrote. (The connection may take more now and then, as the device's
// system opens its window a little: only the time one frame stays pending counts.)
TEST_F(Relay, PartlySentDataFrameGoesOutBeforeAnyOtherFrame) {
    DevicePeer device(address(), 4001);
    ASSERT_TRUE(device.listening());
    device.answer({}, vorlixsim::identReply({}));
    const int slot = 1;
    addPort(slot, "COM6", 1);
    int app = manager.connectApplication(slot, "COM6");
    ASSERT_GE(app, 0);
    ASSERT_TRUE(device.answered());
    Bytes written;
    ASSERT_TRUE(writeUntilBlocked(app, slot, written));

    int turnsBehindPendingFrame = 0;
    int packetsTaken = 0;
    RelayView last = relayView(slot);
    for (int turn = 0; turn < 60; ++turn) {
        if (turn == 30)
            sendKeepAlives();
        pumpFor(5);
        RelayView now = relayView(slot);
        if (!now.pending.empty() && now.pending == last.pending && last.queued) {
            ++turnsBehindPendingFrame;
            packetsTaken += now.readIndex != last.readIndex;
        }
        last = now;
    }
    ASSERT_GT(turnsBehindPendingFrame, 0) << "no packet waited behind a pending frame";
    EXPECT_EQ(packetsTaken, 0) << "packets were taken behind a pending frame";

    Bytes received;
    ASSERT_TRUE(pumpUntil(
        [&] {
            Bytes now = device.readNow();
            received.insert(received.end(), now.begin(), now.end());
            DeviceStream stream = splitFrames(received);
            return stream.malformed || dataPayloads(stream).size() >= written.size();
        },
        30000));
    DeviceStream stream = splitFrames(received);
    EXPECT_FALSE(stream.malformed);
    EXPECT_TRUE(dataPayloads(stream) == written) << "the device got other data than was written";
    ::close(app);
}

// A zero-length DATA packet still makes a frame, and serial port 32 is TCP port 4032.
TEST_F(Relay, EmptyDataPacketReachesTheDeviceOnItsHighestPort) {
    simOptions.portCount = 32;
    const int slot = 3;
    int app = addConnectedPort(slot, "COM7", 32);
    ASSERT_GE(app, 0);
    EXPECT_EQ(sim().connectionCount(32), 1);
    ASSERT_TRUE(pumpUntil([&] { return applicationOutputConsumed(app, slot); }));

    {
        platform::MutexLock lock(port(slot).relayLock);
        putPacket(port(slot).outQueue.load(), {0xF0, '1', 0x00, 0x00});
        ringSetDataReady(port(slot).outQueue.load(), true);
    }
    wakeRelay();
    EXPECT_TRUE(pumpUntil([&] {
        auto frames = framesWith(sim(), 32, 0x31);
        return !frames.empty() && frames.back().bytes == Bytes({0xF0, 0x31, 0x00, 0x00, 0xE0});
    }));
    ::close(app);
}

// An output flush drops the application's data the relay has not sent yet, and nothing
// else: the settings and modem lines queued beside it and the data after it go out.
TEST_F(Relay, OutputFlushDropsOnlyTheDataNotSentYet) {
    const int slot = 1;
    int app = addConnectedPort(slot, "COM6", 2);
    ASSERT_GE(app, 0);
    ASSERT_TRUE(pumpUntil([&] { return applicationOutputConsumed(app, slot); }));
    const size_t dataBefore = framesWith(sim(), 2, 0x31).size();
    {
        // One pass takes them all: the relay waits for the lock.
        platform::MutexLock lock(port(slot).relayLock);
        RingQueue* queue = port(slot).outQueue.load();
        putPacket(queue, {0xF0, '1', 0x00, 0x01, 'a'});
        putPacket(queue, {0xF0, '!', 16, 0x03, 0x00});
        putPacket(queue, {0xF0, '1', 0x00, 0x01, 'b'});
        putPacket(queue, {0xF0, 'P', PURGE_TRANSMIT});
        putPacket(queue, {0xF0, 'A', 0x01});
        putPacket(queue, {0xF0, '1', 0x00, 0x01, 'c'});
        ringSetDataReady(queue, true);
    }
    wakeRelay();
    auto data = [&] {
        auto frames = framesWith(sim(), 2, 0x31);
        std::vector<Bytes> after;
        for (size_t i = dataBefore; i < frames.size(); ++i)
            after.push_back(frames[i].bytes);
        return after;
    };
    ASSERT_TRUE(pumpUntil([&] { return !data().empty(); }));
    EXPECT_EQ(data(), (std::vector<Bytes>{{0xF0, 0x31, 0x00, 0x01, 'c', 0xE0}}));
    EXPECT_EQ(framesWith(sim(), 2, 0x21).back().bytes, (Bytes{0xF0, 0x21, 16, 0x03, 0x00, 0xE0}));
    EXPECT_EQ(framesWith(sim(), 2, 0x41).back().bytes, (Bytes{0xF0, 0x41, 0x01, 0xE0}));
    ::close(app);
}

// While a reconnection or a switch holds the port, the application's close ends the
// relay for it; the procedure that holds the port carries on, no disconnection asked.
class RelayWhileRecovering : public ManagerTest, public ::testing::WithParamInterface<int> {};

TEST_P(RelayWhileRecovering, ApplicationCloseEndsTheRelayWithoutDisconnection) {
    MessageLog messages(manager, {WM_PORT_DISCONNECTED});
    const int slot = 2;
    int app = addConnectedPort(slot, "COM5", 1);
    ASSERT_GE(app, 0);
    ASSERT_TRUE(portHasValue(slot, "MaximumBaud"));
    forcePortState(port(slot), GetParam());
    int refreshes = messages.count(WM_REFRESH_LIST, 0);

    ::close(app);
    ASSERT_TRUE(pumpUntil([&] { return port(slot).relayActive.load() == 0; }));
    EXPECT_TRUE(pumpUntil([&] { return !portHasValue(slot, "MaximumBaud"); }));
    EXPECT_TRUE(pumpUntil([&] { return messages.count(WM_REFRESH_LIST, 0) > refreshes; }));
    pumpFor(100);
    EXPECT_EQ(messages.count(WM_PORT_DISCONNECTED, slot), 0);
    EXPECT_EQ(port(slot).state.load(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(States, RelayWhileRecovering,
                         ::testing::Values(PORT_RECONNECTING, PORT_SWITCHING),
                         [](const auto& info) {
                             return info.param == PORT_RECONNECTING ? "Reconnecting" : "Switching";
                         });
