#pragma once
// A loaded stand-in driver with one registered port (slot 5, "COM5") in a fresh store
// and device folder, plus both sides of its use: the manager's (queues, events,
// published values, packets) and an application's (the pty behind the link).
#include "platform/auto_event.h"
#include "platform/driver_device.h"
#include "rings/ring_queue.h"
#include "tests/support/temp_store.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class DriverFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the port key with its PORTNAME.
    static void registerPort(int slot, const char* name);
    static void unregisterPort(int slot);
    bool refresh();
    std::string linkOf(const char* name) const { return deviceFolder + "/" + name; }

    // The manager's hooking of slot 5: two queues, two events, five published values.
    void startPort();
    // Waits (real time, up to timeoutMs) for the next packet in the outQueue.
    Bytes nextPacket(int timeoutMs = 3000);
    void expectPacket(const Bytes& expected);
    // The manager's writer protocol on the inQueue; false when the ring stayed full.
    bool sendToDriver(const Bytes& bytes, int timeoutMs = 3000);
    // Opens COM5 as an application would and waits for OPEN and MCR 03.
    int openApplication();
    // OPEN_RESULT as the open procedure writes it.
    void answerOpen(uint8_t result) { sendToDriver({0xF0, 0xA1, result, 0xE0}); }

    TempStore store;
    std::string deviceFolder;
    platform::DriverHandle driver = platform::INVALID_HANDLE_VALUE;
    platform::AutoEvent writeEvent;
    platform::AutoEvent readEvent;
    uint32_t outHandle = 0;
    uint32_t inHandle = 0;
    RingQueue* outQueue = nullptr;
    RingQueue* inQueue = nullptr;
};

// Application side helpers on a slave descriptor.
int openLink(const std::string& link);
void makeRaw(int fd);
// True when the application sees its port hung up (read gives 0 or EIO) within
// timeoutMs; false when it is still open.
bool hungUp(int fd, int timeoutMs);
bool waitReadable(int fd, int timeoutMs);
void writeAll(int fd, const uint8_t* bytes, size_t size);
uint32_t allocateQueue(platform::DriverHandle driver);
