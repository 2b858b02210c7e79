// Bytes per second through the stand-in driver, application -> outQueue and
// inQueue -> application, beside a plain pty-to-pty copy measured in the same run
// on the same machine: the ratio is the figure that counts.
#include "platform/auto_event.h"
#include "platform/driver_device.h"
#include "platform/registry.h"
#include "portdriver/install.h"
#include "rings/ring_queue.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
constexpr size_t TOTAL = 64u << 20;
using Clock = std::chrono::steady_clock;

double megabytesPerSecond(Clock::time_point start) {
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return double(TOTAL) / seconds / 1e6;
}

void writeAll(int fd, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n <= 0)
            return;
        bytes += n;
        size -= size_t(n);
    }
}

size_t drain(int fd, size_t total) {
    std::vector<uint8_t> buffer(65536);
    size_t got = 0;
    while (got < total) {
        ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        got += size_t(n);
    }
    return got;
}

int openRaw(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

// An application writes into one pty's slave, a copier moves master bytes into a
// second pty's master, and a reader drains that second slave.
double plainPtyCopy() {
    int masterA, slaveA, masterB, slaveB;
    termios raw{};
    cfmakeraw(&raw);
    openpty(&masterA, &slaveA, nullptr, &raw, nullptr);
    openpty(&masterB, &slaveB, nullptr, &raw, nullptr);
    std::vector<uint8_t> data(TOTAL, 0x5A);
    auto start = Clock::now();
    std::thread writer([&] { writeAll(slaveA, data.data(), data.size()); });
    std::thread copier([&] {
        std::vector<uint8_t> buffer(512);
        size_t moved = 0;
        while (moved < TOTAL) {
            ssize_t n = read(masterA, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            writeAll(masterB, buffer.data(), size_t(n));
            moved += size_t(n);
        }
    });
    drain(slaveB, TOTAL);
    writer.join();
    copier.join();
    double rate = megabytesPerSecond(start);
    for (int fd : {masterA, slaveA, masterB, slaveB})
        close(fd);
    return rate;
}

struct Manager {
    platform::DriverHandle driver;
    platform::AutoEvent writeEvent;
    platform::AutoEvent readEvent;
    RingQueue* outQueue = nullptr;
    RingQueue* inQueue = nullptr;

    uint32_t allocate() {
        uint32_t handle = 0, returned = 0;
        platform::deviceIoControl(driver, platform::IOCTL_ALLOCATE_QUEUE, nullptr, 0, &handle, 4,
                                  &returned);
        return handle;
    }

    void start(platform::HKEY key) {
        uint32_t out = allocate(), in = allocate();
        outQueue = static_cast<RingQueue*>(platform::mapQueue(out));
        inQueue = static_cast<RingQueue*>(platform::mapQueue(in));
        platform::regSetDword(key, "hWin32Event", platform::driverEventHandle(&writeEvent));
        platform::regSetDword(key, "hWin32Event_Read", platform::driverEventHandle(&readEvent));
        platform::regSetDword(key, "pOutQueue", out);
        platform::regSetDword(key, "pInQueue", in);
    }

    bool nextPacket(uint8_t* buffer) {
        while (!takeDriverPacket(outQueue, buffer)) {
            if (!writeEvent.wait(2000))
                return false;
        }
        // As the manager does: a driver waiting for room hears of it.
        if (ringTakeRoomWanted(outQueue))
            readEvent.set();
        return true;
    }

    void send(const uint8_t* bytes, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            while (ringPut(inQueue, bytes[i]) == RING_FULL) {
                ringSetDataReady(inQueue, true);
                readEvent.set();
                std::this_thread::yield();
            }
        }
        ringSetDataReady(inQueue, true);
        readEvent.set();
    }
};

int openThroughDriver(Manager& manager, const std::string& link) {
    int fd = openRaw(link);
    uint8_t packet[PACKET_BUFFER_SIZE];
    while (manager.nextPacket(packet) && packet[0] != CMD_MCR) {
    }
    const uint8_t result[] = {0xF0, 0xA1, 1, 0xE0};
    manager.send(result, sizeof result);
    return fd;
}

double applicationToOutQueue(Manager& manager, int fd) {
    std::vector<uint8_t> data(TOTAL, 0x5A);
    auto start = Clock::now();
    std::thread application([&] { writeAll(fd, data.data(), data.size()); });
    size_t got = 0;
    uint8_t packet[PACKET_BUFFER_SIZE];
    while (got < TOTAL && manager.nextPacket(packet)) {
        if (packet[0] == CMD_DATA)
            got += size_t(packet[1] << 8 | packet[2]);
    }
    application.join();
    return got == TOTAL ? megabytesPerSecond(start) : 0.0;
}

double inQueueToApplication(Manager& manager, int fd) {
    auto start = Clock::now();
    std::thread device([&] {
        uint8_t frame[517] = {0xF0, CMD_DATA, 2, 0};
        frame[516] = 0xE0;
        for (size_t sent = 0; sent < TOTAL; sent += 512)
            manager.send(frame, sizeof frame);
    });
    size_t got = drain(fd, TOTAL);
    device.join();
    return got == TOTAL ? megabytesPerSecond(start) : 0.0;
}
} // namespace

int main() {
    char home[] = "/tmp/quorvalink-bench-XXXXXX";
    std::string folder = mkdtemp(home);
    setenv("QUORVALINK_HOME", folder.c_str(), 1);
    setenv("QUORVALINK_DEVDIR", folder.c_str(), 1);
    platform::HKEY key = nullptr;
    platform::RegCreateKeyEx(platform::HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector\\0001", &key);
    platform::regSetString(key, "PORTNAME", "COM1");

    portdriver::install();
    Manager manager;
    manager.driver = platform::openDriverDevice(platform::DRIVER_DEVICE_PATH);
    manager.start(key);
    int fd = openThroughDriver(manager, folder + "/COM1");

    double plain = plainPtyCopy();
    double out = applicationToOutQueue(manager, fd);
    double in = inQueueToApplication(manager, fd);
    std::printf("plain pty-to-pty copy      %8.1f MB/s\n", plain);
    std::printf("application -> outQueue    %8.1f MB/s  (%.2f of plain)\n", out, out / plain);
    std::printf("inQueue -> application     %8.1f MB/s  (%.2f of plain)\n", in, in / plain);

    close(fd);
    platform::RegCloseKey(key);
    platform::deleteDriverDevice(platform::DRIVER_DEVICE_PATH);
    std::filesystem::remove_all(folder);
    return out > 0 && in > 0 ? 0 : 1;
}
