#include "platform/driver_device.h"

#include "platform/auto_event.h"
#include "platform/driver_faults.h"
#include "tests/portdriver/driver_fixture.h"

#include <algorithm>
#include <cstring>

using namespace platform;

using DriverDevice = DriverFixture;

TEST_F(DriverDevice, OpensOnlyTheDevicePathAndOnlyWhileNotLoaded) {
    EXPECT_EQ(openDriverDevice("\\\\.\\OTHER.VXD"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(openDriverDevice(DRIVER_DEVICE_PATH), INVALID_HANDLE_VALUE); // CREATE_NEW
    EXPECT_TRUE(closeDriverHandle(driver));
    EXPECT_EQ(openDriverDevice(DRIVER_DEVICE_PATH), INVALID_HANDLE_VALUE); // still loaded
    EXPECT_TRUE(deleteDriverDevice(DRIVER_DEVICE_PATH));
    EXPECT_FALSE(deleteDriverDevice(DRIVER_DEVICE_PATH));
    driver = openDriverDevice(DRIVER_DEVICE_PATH);
    EXPECT_NE(driver, INVALID_HANDLE_VALUE);
}

TEST_F(DriverDevice, ClosedHandleRefusesControlCalls) {
    ASSERT_TRUE(closeDriverHandle(driver));
    EXPECT_EQ(allocateQueue(driver), 0u);
    EXPECT_FALSE(closeDriverHandle(driver));
}

TEST_F(DriverDevice, AllocatedQueuesAreDistinctZeroedBlocksUntilReleased) {
    uint32_t first = allocateQueue(driver);
    uint32_t second = allocateQueue(driver);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    auto* block = static_cast<uint8_t*>(mapQueue(first));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::count(block, block + RING_BLOCK_SIZE, 0), RING_BLOCK_SIZE);
    EXPECT_NE(mapQueue(second), block);

    EXPECT_TRUE(deviceIoControl(driver, IOCTL_RELEASE_QUEUE, &first, 4, nullptr, 0, nullptr));
    EXPECT_EQ(mapQueue(first), nullptr);
    EXPECT_FALSE(deviceIoControl(driver, IOCTL_RELEASE_QUEUE, &first, 4, nullptr, 0, nullptr));
    EXPECT_NE(mapQueue(second), nullptr);
}

TEST_F(DriverDevice, EventHandlesAreNonZeroAndNotQueues) {
    AutoEvent event;
    uint32_t handle = driverEventHandle(&event);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(mapQueue(handle), nullptr);
    EXPECT_FALSE(deviceIoControl(driver, IOCTL_RELEASE_QUEUE, &handle, 4, nullptr, 0, nullptr));
    deleteDriverDevice(DRIVER_DEVICE_PATH);
    EXPECT_EQ(driverEventHandle(&event), 0u);
}

TEST_F(DriverDevice, UnloadFreesQueues) {
    uint32_t queue = allocateQueue(driver);
    ASSERT_NE(mapQueue(queue), nullptr);
    deleteDriverDevice(DRIVER_DEVICE_PATH);
    EXPECT_EQ(mapQueue(queue), nullptr);
}

struct ControlCase {
    uint32_t code;
    uint32_t inSize;
    uint32_t outSize;
    bool succeeds;
};

class ControlSizes : public DriverFixture, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlSizes, OnlyTheDriversBufferSizesAreAccepted) {
    const ControlCase& c = GetParam();
    uint32_t in = allocateQueue(driver); // a real queue, so a release can succeed
    uint8_t out[8] = {};
    uint32_t returned = 99;
    bool result = deviceIoControl(driver, c.code, &in, c.inSize, out, c.outSize, &returned);
    EXPECT_EQ(result, c.succeeds);
    if (result) {
        EXPECT_EQ(returned, c.outSize);
    }
}

INSTANTIATE_TEST_SUITE_P(DriverDevice, ControlSizes,
                         ::testing::Values(ControlCase{IOCTL_REFRESH_DEVICE_NODES, 0, 4, true},
                                           ControlCase{IOCTL_REFRESH_DEVICE_NODES, 0, 0, false},
                                           ControlCase{IOCTL_REFRESH_DEVICE_NODES, 4, 4, false},
                                           ControlCase{IOCTL_ALLOCATE_QUEUE, 0, 4, true},
                                           ControlCase{IOCTL_ALLOCATE_QUEUE, 0, 8, false},
                                           ControlCase{IOCTL_ALLOCATE_QUEUE, 4, 4, false},
                                           ControlCase{IOCTL_RELEASE_QUEUE, 4, 0, true},
                                           ControlCase{IOCTL_RELEASE_QUEUE, 0, 0, false},
                                           ControlCase{IOCTL_RELEASE_QUEUE, 4, 4, false},
                                           ControlCase{0x22003B, 0, 4, false}));

// Each call, made to fail after one success, fails as the caller would see it.
class InjectedFaults : public DriverFixture, public ::testing::WithParamInterface<DriverCall> {
  protected:
    bool call(DriverCall which) {
        AutoEvent event;
        switch (which) {
        case DriverCall::Open: {
            deleteDriverDevice(DRIVER_DEVICE_PATH);
            driver = openDriverDevice(DRIVER_DEVICE_PATH);
            return driver != INVALID_HANDLE_VALUE;
        }
        case DriverCall::Refresh:
            return refresh();
        case DriverCall::Allocate:
            return allocateQueue(driver) != 0;
        case DriverCall::Release: {
            uint32_t queue = allocateQueue(driver);
            return deviceIoControl(driver, IOCTL_RELEASE_QUEUE, &queue, 4, nullptr, 0, nullptr);
        }
        case DriverCall::EventHandle:
            return driverEventHandle(&event) != 0;
        }
        return false;
    }
};

TEST_P(InjectedFaults, CallFailsUntilCleared) {
    DriverCall which = GetParam();
    failDriverCall(which, 1);
    EXPECT_TRUE(call(which));
    EXPECT_FALSE(call(which));
    EXPECT_FALSE(call(which));
    clearDriverFaults();
    EXPECT_TRUE(call(which));
}

TEST_F(DriverDevice, FaultCanBeLimitedToOneFailure) {
    failDriverCall(DriverCall::Allocate, 0, 1);
    EXPECT_EQ(allocateQueue(driver), 0u);
    EXPECT_NE(allocateQueue(driver), 0u);
}

INSTANTIATE_TEST_SUITE_P(DriverDevice, InjectedFaults,
                         ::testing::Values(DriverCall::Open, DriverCall::Refresh,
                                           DriverCall::Allocate, DriverCall::Release,
                                           DriverCall::EventHandle));
