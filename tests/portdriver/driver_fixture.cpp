#include "tests/portdriver/driver_fixture.h"

#include "platform/driver_faults.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "portdriver/install.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
std::string slotKey(int slot) {
    char key[64];
    std::snprintf(key, sizeof key, "Enum\\Root\\Redirector\\%04d", slot);
    return key;
}

void publish(const char* name, uint32_t value) {
    platform::HKEY key = nullptr;
    ASSERT_EQ(platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, slotKey(5).c_str(), &key),
              platform::ERROR_SUCCESS);
    platform::regSetDword(key, name, value);
    platform::RegCloseKey(key);
}

auto deadlineIn(int ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}
} // namespace

void DriverFixture::SetUp() {
    char pattern[] = "/tmp/quorvalink-dev-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    deviceFolder = pattern;
    setenv("QUORVALINK_DEVDIR", deviceFolder.c_str(), 1);
    registerPort(5, "COM5");
    portdriver::install();
    driver = platform::openDriverDevice(platform::DRIVER_DEVICE_PATH);
    ASSERT_NE(driver, platform::INVALID_HANDLE_VALUE);
}

void DriverFixture::TearDown() {
    platform::closeDriverHandle(driver);
    platform::deleteDriverDevice(platform::DRIVER_DEVICE_PATH);
    platform::clearDriverFaults();
    platform::resetTickOffset();
    unsetenv("QUORVALINK_DEVDIR");
    std::filesystem::remove_all(deviceFolder);
}

void DriverFixture::registerPort(int slot, const char* name) {
    platform::HKEY key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKEY_LOCAL_MACHINE, slotKey(slot).c_str(), &key),
              platform::ERROR_SUCCESS);
    platform::regSetString(key, "PORTNAME", name);
    platform::RegCloseKey(key);
}

void DriverFixture::unregisterPort(int slot) {
    platform::HKEY root = nullptr;
    platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector", &root);
    char name[8];
    std::snprintf(name, sizeof name, "%04d", slot);
    platform::RegDeleteKey(root, name);
    platform::RegCloseKey(root);
}

bool DriverFixture::refresh() {
    uint8_t out[4];
    uint32_t returned = 0;
    return platform::deviceIoControl(driver, platform::IOCTL_REFRESH_DEVICE_NODES, nullptr, 0, out,
                                     4, &returned);
}

uint32_t allocateQueue(platform::DriverHandle driver) {
    uint32_t handle = 0;
    uint32_t returned = 0;
    if (!platform::deviceIoControl(driver, platform::IOCTL_ALLOCATE_QUEUE, nullptr, 0, &handle, 4,
                                   &returned))
        return 0;
    return handle;
}

void DriverFixture::startPort() {
    outHandle = allocateQueue(driver);
    inHandle = allocateQueue(driver);
    outQueue = static_cast<RingQueue*>(platform::mapQueue(outHandle));
    inQueue = static_cast<RingQueue*>(platform::mapQueue(inHandle));
    ASSERT_TRUE(outQueue && inQueue);
    publish("hWin32Event", platform::driverEventHandle(&writeEvent));
    publish("hWin32Event_Read", platform::driverEventHandle(&readEvent));
    publish("pOutQueue", outHandle);
    publish("pInQueue", inHandle);
}

Bytes DriverFixture::nextPacket(int timeoutMs) {
    uint8_t buffer[PACKET_BUFFER_SIZE];
    auto deadline = deadlineIn(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (takeDriverPacket(outQueue, buffer)) {
            // As the manager does: a driver waiting for room hears of it.
            if (ringTakeRoomWanted(outQueue))
                readEvent.set();
            size_t size = 2;
            if (buffer[0] == CMD_DATA)
                size = 3 + (buffer[1] << 8 | buffer[2]);
            else if (buffer[0] == CMD_SREQ)
                size = 4;
            else if (buffer[0] == CMD_OPEN || buffer[0] == CMD_CLOSE)
                size = 1;
            return Bytes(buffer, buffer + size);
        }
        writeEvent.wait(20);
    }
    return {};
}

void DriverFixture::expectPacket(const Bytes& expected) {
    EXPECT_EQ(nextPacket(), expected);
}

bool DriverFixture::sendToDriver(const Bytes& bytes, int timeoutMs) {
    auto deadline = deadlineIn(timeoutMs);
    for (uint8_t byte : bytes) {
        while (ringPut(inQueue, byte) == RING_FULL) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            ringSetDataReady(inQueue, true);
            readEvent.set();
            platform::sleepMs(1);
        }
    }
    ringSetDataReady(inQueue, true);
    readEvent.set();
    return true;
}

int DriverFixture::openApplication() {
    int fd = openLink(linkOf("COM5"));
    EXPECT_GE(fd, 0);
    expectPacket({CMD_OPEN});
    expectPacket({CMD_MCR, 0x03});
    return fd;
}

int openLink(const std::string& link) {
    return open(link.c_str(), O_RDWR | O_NOCTTY);
}

void makeRaw(int fd) {
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
}

bool hungUp(int fd, int timeoutMs) {
    pollfd request{fd, POLLIN, 0};
    if (poll(&request, 1, timeoutMs) <= 0)
        return false;
    if (request.revents & POLLHUP)
        return true;
    char byte;
    ssize_t got = read(fd, &byte, 1);
    return got == 0 || (got < 0 && errno == EIO);
}

bool waitReadable(int fd, int timeoutMs) {
    pollfd request{fd, POLLIN, 0};
    return poll(&request, 1, timeoutMs) == 1 && (request.revents & POLLIN);
}

void writeAll(int fd, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        ASSERT_GT(written, 0);
        bytes += written;
        size -= size_t(written);
    }
}
