#include "portdriver/install.h"
#include "tests/portdriver/driver_fixture.h"

#include <cerrno>
#include <poll.h>
#include <random>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr size_t MEGABYTE = 1 << 20;

Bytes randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes)
        byte = uint8_t(random());
    return bytes;
}

// Reads until size bytes arrived or nothing came for a second.
Bytes readFor(int fd, size_t size, int pauseEvery) {
    Bytes got;
    uint8_t buffer[4096];
    int reads = 0;
    while (got.size() < size) {
        pollfd request{fd, POLLIN, 0};
        if (poll(&request, 1, 1000) <= 0)
            break;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.insert(got.end(), buffer, buffer + n);
        if (pauseEvery && ++reads % pauseEvery == 0)
            usleep(1000);
    }
    return got;
}
} // namespace

using Data = DriverFixture;

TEST_F(Data, MegabyteFromTheApplicationArrivesWholeInOrderWithASlowReader) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    makeRaw(fd);
    nextPacket(); // the SREQ of makeRaw
    Bytes sent = randomBytes(MEGABYTE, 1);
    std::thread application([&] { writeAll(fd, sent.data(), sent.size()); });

    Bytes received;
    int packets = 0;
    bool oversized = false;
    while (received.size() < sent.size()) {
        Bytes packet = nextPacket();
        if (packet.empty() || packet[0] != CMD_DATA)
            break;
        oversized = oversized || packet.size() - 3 > 512;
        received.insert(received.end(), packet.begin() + 3, packet.end());
        if (++packets % 64 == 0)
            usleep(1000); // the manager falls behind; the driver must wait, not drop
    }
    application.join();
    EXPECT_FALSE(oversized);
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
    close(fd);
}

// The application's flushes reach the manager as PURGE. Its input flush also drops what
// the device sent that the driver still held for it (its pty full, the inQueue full
// behind it): what it reads next is what the device sent after the flush.
TEST_F(Data, FlushesArePurgesAndAnInputFlushDropsTheDevicesHeldBytes) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    makeRaw(fd);
    nextPacket(); // the SREQ of makeRaw
    Bytes frame = {0xF0, CMD_DATA, 0x02, 0x00};
    frame.resize(4 + 512, 'a');
    frame.push_back(0xE0);
    // Whole frames, as the manager writes them, until the driver has stopped taking them.
    for (int idle = 0; idle < 3;) {
        if (ringFreeSpace(inQueue) >= int(frame.size())) {
            ASSERT_TRUE(sendToDriver(frame));
            idle = 0;
        } else {
            usleep(100000);
            ++idle;
        }
    }

    ASSERT_EQ(tcflush(fd, TCIFLUSH), 0);
    expectPacket({CMD_PURGE, PURGE_RECEIVE});
    ASSERT_TRUE(sendToDriver({0xF0, CMD_DATA, 0, 1, 'z', 0xE0}));
    EXPECT_EQ(readFor(fd, 2, 0), (Bytes{'z'}));

    ASSERT_EQ(tcflush(fd, TCIOFLUSH), 0);
    expectPacket({CMD_PURGE, PURGE_RECEIVE | PURGE_TRANSMIT});
    close(fd);
}

TEST_F(Data, MegabyteOfDeviceDataReachesTheApplicationExactly) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    makeRaw(fd);
    Bytes sent = randomBytes(MEGABYTE, 2);
    std::thread manager([&] {
        std::mt19937 random(3);
        size_t at = 0;
        while (at < sent.size()) {
            size_t size = std::min<size_t>(1 + random() % 512, sent.size() - at);
            Bytes frame = {
                0xF0,
                CMD_DATA,
                uint8_t(size >> 8),
                uint8_t(size),
            };
            frame.insert(frame.end(), sent.begin() + long(at), sent.begin() + long(at + size));
            frame.push_back(0xE0);
            if (at % 7 == 0) // modem status in between, as a device sends it
                frame.insert(frame.end(), {0xF0, CMD_MODEM_STATUS, 0xB0, 0xE0});
            if (!sendToDriver(frame, 5000))
                return;
            at += size;
        }
        sendToDriver({0xF0, CMD_MODEM_STATUS, 0x30, 0xE0});
    });
    // A slow start: the driver must hold back while the application does not read.
    usleep(100000);
    Bytes received = readFor(fd, sent.size(), 32);
    manager.join();
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
    for (int i = 0; i < 100 && portdriver::lastModemStatus("COM5") != 0x30; ++i)
        usleep(10000);
    EXPECT_EQ(portdriver::lastModemStatus("COM5"), 0x30);
    close(fd);
}
