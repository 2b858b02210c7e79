#include "platform/driver_device.h"

#include "platform/auto_event.h"

#include "platform/driver_faults.h"

#include <cstring>
#include <mutex>

namespace platform {

namespace {
struct ControlShape {
    uint32_t code;
    DriverCall call;
    uint32_t inSize;
    uint32_t outSize;
};

// The buffer sizes the kernel driver insists on; anything else is refused.
constexpr ControlShape controlShapes[] = {
    {IOCTL_REFRESH_DEVICE_NODES, DriverCall::Refresh, 0, 4},
    {IOCTL_ALLOCATE_QUEUE, DriverCall::Allocate, 0, 4},
    {IOCTL_RELEASE_QUEUE, DriverCall::Release, 4, 0},
};

// One lock for the loaded driver and its open handle. Calls into the driver are made
// under it, so unloading never races with a control call in flight.
std::mutex deviceMutex;
DriverFactory driverFactory = nullptr;
std::unique_ptr<DriverBackend> loadedDriver;
DriverHandle openHandle = 0;
DriverHandle lastHandle = 0x100;

bool isDevicePath(const char* path) {
    return path && std::strcmp(path, DRIVER_DEVICE_PATH) == 0;
}

const ControlShape* shapeOf(uint32_t code) {
    for (const ControlShape& shape : controlShapes) {
        if (shape.code == code)
            return &shape;
    }
    return nullptr;
}

bool fitsShape(const ControlShape& shape, const void* in, uint32_t inSize, const void* out,
               uint32_t outSize) {
    if (inSize != shape.inSize || outSize != shape.outSize)
        return false;
    return (shape.inSize == 0 || in) && (shape.outSize == 0 || out);
}
} // namespace

void setDriverFactory(DriverFactory factory) {
    std::lock_guard lock(deviceMutex);
    driverFactory = factory;
}

DriverHandle openDriverDevice(const char* path) {
    std::lock_guard lock(deviceMutex);
    if (!isDevicePath(path) || loadedDriver || !driverFactory)
        return INVALID_HANDLE_VALUE;
    if (driverCallFails(DriverCall::Open))
        return INVALID_HANDLE_VALUE;
    loadedDriver = driverFactory();
    if (!loadedDriver)
        return INVALID_HANDLE_VALUE;
    openHandle = ++lastHandle;
    return openHandle;
}

bool deviceIoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* bytesReturned) {
    std::lock_guard lock(deviceMutex);
    const ControlShape* shape = shapeOf(code);
    if (!loadedDriver || handle != openHandle || handle == 0 || !shape)
        return false;
    if (!fitsShape(*shape, in, inSize, out, outSize) || driverCallFails(shape->call))
        return false;
    uint32_t returned = 0;
    if (!loadedDriver->control(code, in, inSize, out, outSize, &returned))
        return false;
    if (bytesReturned)
        *bytesReturned = returned;
    return true;
}

bool closeDriverHandle(DriverHandle handle) {
    std::lock_guard lock(deviceMutex);
    if (handle == 0 || handle != openHandle)
        return false;
    openHandle = 0;
    return true;
}

bool deleteDriverDevice(const char* path) {
    // Unloading joins the driver's thread under the lock, so that a new open cannot
    // create links while the old driver is still removing its own.
    std::lock_guard lock(deviceMutex);
    if (!isDevicePath(path) || !loadedDriver)
        return false;
    loadedDriver.reset();
    openHandle = 0;
    return true;
}

void* mapQueue(uint32_t queueHandle) {
    std::lock_guard lock(deviceMutex);
    return loadedDriver && queueHandle ? loadedDriver->queueBlock(queueHandle) : nullptr;
}

uint32_t driverEventHandle(AutoEvent* event) {
    std::lock_guard lock(deviceMutex);
    if (!loadedDriver || !event || driverCallFails(DriverCall::EventHandle))
        return 0;
    return loadedDriver->eventHandle(event);
}

void signalDriverEvent(AutoEvent* event) {
    if (!event)
        return;
    {
        std::lock_guard lock(deviceMutex);
        if (loadedDriver && loadedDriver->takeSignalNow(event))
            return;
    }
    event->set();
}

void closeEvent(AutoEvent* event) {
    if (!event)
        return;
    {
        std::lock_guard lock(deviceMutex);
        if (loadedDriver)
            loadedDriver->forgetEvent(event);
    }
    delete event;
}

} // namespace platform
