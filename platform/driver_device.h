#pragma once
// The driver device: what CreateFileA("\\.\TUNLVXD.VXD"), DeviceIoControl, CloseHandle
// and DeleteFileA are on this platform. Opening the device loads the stand-in port
// driver into this process; deleting the device name unloads it. The driver is
// reached only through the three control calls, the 32-bit queue handles it returns
// (mapped here to their 5132-byte blocks) and the driver-side handles of events.
//
// The driver itself registers a factory with setDriverFactory(); the platform knows
// nothing of its inner working. Every call can be made to fail by a test
// (driver_faults.h).
#include <cstdint>
#include <memory>

namespace platform {

class AutoEvent;

constexpr const char* DRIVER_DEVICE_PATH = "\\\\.\\TUNLVXD.VXD";

constexpr uint32_t IOCTL_REFRESH_DEVICE_NODES = 0x22002F;
constexpr uint32_t IOCTL_ALLOCATE_QUEUE = 0x220033;
constexpr uint32_t IOCTL_RELEASE_QUEUE = 0x220037;

// What a loaded driver offers the platform.
class DriverBackend {
  public:
    virtual ~DriverBackend() = default;
    // Same contract as DeviceIoControl: false on failure.
    virtual bool control(uint32_t code, const void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* bytesReturned) = 0;
    // The driver-side 32-bit handle of event, 0 on failure.
    virtual uint32_t eventHandle(AutoEvent* event) = 0;
    // The 5132-byte block of a queue handle the driver returned, null if unknown.
    virtual void* queueBlock(uint32_t queueHandle) = 0;
    // The event is about to be closed: the driver must not signal it any more.
    virtual void forgetEvent(AutoEvent*) {}
    // The manager signals one of the driver's events: the driver may do at once, in the
    // caller's thread, all the signal asks of it. True when it did (the event stays
    // unset); false when the event is to be set as usual.
    virtual bool takeSignalNow(AutoEvent*) { return false; }
};

using DriverFactory = std::unique_ptr<DriverBackend> (*)();
void setDriverFactory(DriverFactory factory);
// SetEvent on an event the driver knows: a loaded driver may act on it at once.
void signalDriverEvent(AutoEvent* event);

using DriverHandle = intptr_t;
constexpr DriverHandle INVALID_HANDLE_VALUE = -1;

// CreateFileA on the device path: loads the driver; INVALID_HANDLE_VALUE on failure
// (unknown path, the device already open, no factory, or an injected fault).
DriverHandle openDriverDevice(const char* path);
bool deviceIoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* bytesReturned);
bool closeDriverHandle(DriverHandle handle);
// DeleteFileA on the device path: unloads the driver.
bool deleteDriverDevice(const char* path);

// The block behind a queue handle while the driver is loaded, null otherwise.
void* mapQueue(uint32_t queueHandle);

// The loaded driver's handle for event (OpenVxDHandle's work); 0 when no driver is
// loaded or the driver refuses.
uint32_t driverEventHandle(AutoEvent* event);

// CloseHandle on an event: the loaded driver forgets its handle, then the event is
// freed. Null is ignored.
void closeEvent(AutoEvent* event);

} // namespace platform
