#include "driverlink/driver_link.h"

#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_state.h"
#include "device/device_socket.h"
#include "device/port_connection.h"
#include "driverlink/message_proc.h"
#include "platform/auto_event.h"
#include "platform/event_watch.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "rings/ring_queue.h"

#include <cstdio>
#include <string>
#include <thread>

using namespace platform;

DriverLink driverLink;

namespace {

// `MessageProc`, started by the first successful hooking and ended by closeDriver.
std::thread relayThread;

// In the order stopPort deletes them.
const std::initializer_list<const char*> publishedValues = {
    "pOutQueue", "pInQueue", "hWin32Event", "hWin32Event_Read", "hWin32Event_Dummy"};

void showError(const char* text) {
    messageBox(BoxOwner::Window, text, "Error", MB_ICONERROR);
}

// 0 on failure: the driver's queue handles are never 0.
uint32_t allocateQueue() {
    uint32_t handle = 0;
    uint32_t returned = 0;
    if (!deviceIoControl(driverLink.driverHandle, IOCTL_ALLOCATE_QUEUE, nullptr, 0, &handle,
                         sizeof handle, &returned))
        return 0;
    return handle;
}

bool releaseQueue(uint32_t handle) {
    return deviceIoControl(driverLink.driverHandle, IOCTL_RELEASE_QUEUE, &handle, sizeof handle,
                           nullptr, 0, nullptr);
}

// The shared event and the OpenVxDHandle entry, set up until once complete. After a
// failure the next hooking performs only the steps still missing.
bool setUpProcessWidePart() {
    if (!driverLink.writeEvent && !(driverLink.writeEvent = createEvent())) {
        showError("Cannot create Event for Application Writing.");
        return false;
    }
    context.relayWake.store(driverLink.writeEvent);
    if (!driverLink.kernel32 && !(driverLink.kernel32 = loadLibrary("kernel32.dll"))) {
        showError("Cannot load kernel32.dll.");
        return false;
    }
    if (!driverLink.openVxDHandle &&
        !(driverLink.openVxDHandle = getOpenVxDHandle(driverLink.kernel32, "OpenVxDHandle"))) {
        showError("Cannot get the address of OpenVxDHandle.\nCheck System Status.");
        return false;
    }
    if (!driverLink.writeEventRing0 &&
        !(driverLink.writeEventRing0 = driverLink.openVxDHandle(driverLink.writeEvent))) {
        showError("Cannot create event for Device Driver Writing.\nCheck System Status.");
        return false;
    }
    return true;
}

// Creates an event and its driver-side handle; shows createText or ring0Text on failure.
bool createPortEvent(AutoEvent*& event, uint32_t& ring0, const char* createText,
                     const char* ring0Text) {
    if (!(event = createEvent())) {
        showError(createText);
        return false;
    }
    if (!(ring0 = driverLink.openVxDHandle(event))) {
        showError(ring0Text);
        return false;
    }
    return true;
}

bool publishPortValues(int slot, uint32_t outHandle, uint32_t inHandle) {
    HKEY key = nullptr;
    if (!openPortKey(slot, &key)) {
        showError("Cannot open registry for some port.");
        return false;
    }
    const struct {
        const char* name;
        uint32_t value;
    } values[] = {
        {"hWin32Event", driverLink.writeEventRing0},
        {"hWin32Event_Read", driverLink.ports[slot].readEvent},
        {"hWin32Event_Dummy", driverLink.ports[slot].sliceEvent},
        {"pOutQueue", outHandle},
        {"pInQueue", inHandle},
    };
    for (const auto& value : values) {
        if (regSetDword(key, value.name, value.value) != ERROR_SUCCESS) {
            showError("Cannot save registry key for some port.");
            RegCloseKey(key);
            return false;
        }
    }
    RegCloseKey(key);
    return true;
}

void startRelayThread() {
    if (context.relayThreadStarted.load())
        return;
    context.relayThreadStarted.store(1);
    relayThread = std::thread(messageProc, driverLink.writeEvent);
}

// What a failed hooking obtained in this call goes back, so that repeated failures do
// not pile up rings in the driver or leave half-published values behind.
void undoFailedHook(int slot, uint32_t outHandle, uint32_t inHandle);

// The port's events go with its queues. Each hooking creates a new slice event; with
// the queues gone the driver has no use for the old one, and keeping it would lose one
// event per restart.
void closePortEvents(PortRecord& record) {
    delete record.roomWatch;
    record.roomWatch = nullptr;
    closeEvent(record.readEvent);
    record.readEvent = nullptr;
    closeEvent(record.sliceEvent);
    record.sliceEvent = nullptr;
}

void undoFailedHook(int slot, uint32_t outHandle, uint32_t inHandle) {
    PortRecord& record = port(slot);
    deletePortValues(slot, publishedValues);
    record.outQueue.store(nullptr);
    record.inQueue.store(nullptr);
    if (outHandle)
        releaseQueue(outHandle);
    if (inHandle)
        releaseQueue(inHandle);
    closePortEvents(record);
}

bool hookSteps(int slot, uint32_t& outHandle, uint32_t& inHandle) {
    PortRecord& record = port(slot);
    if (!(outHandle = allocateQueue())) {
        showError("Cannot Allocate Memory");
        return false;
    }
    record.outQueue.store(static_cast<RingQueue*>(mapQueue(outHandle)));
    debugTrace("pOutQueue of %d : 0x%lx\r\n", slot, static_cast<unsigned long>(outHandle));
    if (!(inHandle = allocateQueue())) {
        showError("Cannot Allocate Memory");
        return false;
    }
    record.inQueue.store(static_cast<RingQueue*>(mapQueue(inHandle)));
    debugTrace("pInQueue of %d = 0x%lx\r\n", slot, static_cast<unsigned long>(inHandle));
    if (!setUpProcessWidePart())
        return false;
    PortHandles& handles = driverLink.ports[slot];
    if (!createPortEvent(record.readEvent, handles.readEvent,
                         "Cannot create event for Application Reading.",
                         "Cannot create event for Device Driver Reading."))
        return false;
    debugTrace("hEventRing0_Read : %X, hEventRing0 : %X\r\n", handles.readEvent,
               driverLink.writeEventRing0);
    if (!createPortEvent(record.sliceEvent, handles.sliceEvent,
                         "Cannot create event for Driver Time Slice.",
                         "Cannot create event for Device Driver Time Slicing."))
        return false;
    // The driver sets the slice event when it has made room in a full inQueue: the
    // receive path, held back meanwhile, takes the device's next bytes then. The watch is
    // armed only while the receive path waits for room.
    record.roomWatch = new EventWatch(
        record.sliceEvent, [slot] { inQueueHasRoom(slot); }, /*armed=*/false);
    return publishPortValues(slot, outHandle, inHandle);
}

// Opens the driver device once; shows "Cannot Load auxilliary driver file." on failure.
// After a failure it is never tried again.
bool openDriver() {
    driverLink.driverHandle = openDriverDevice(DRIVER_DEVICE_PATH);
    if (driverLink.driverHandle == INVALID_HANDLE_VALUE) {
        driverLink.device = DriverLink::Device::Failed;
        showError("Cannot Load auxilliary driver file.");
        return false;
    }
    driverLink.device = DriverLink::Device::Open;
    return true;
}

bool hookPort(int slot) {
    // The manager is ending: a procedure that resumes after a question (its box ended
    // with the event loops) must not load the driver again.
    if (!context.threadRunning.load())
        return false;
    if (driverLink.device == DriverLink::Device::NotOpened && !openDriver())
        return false;
    uint32_t outHandle = 0;
    uint32_t inHandle = 0;
    if (!hookSteps(slot, outHandle, inHandle)) {
        undoFailedHook(slot, outHandle, inHandle);
        return false;
    }
    driverLink.ports[slot].outQueue = outHandle;
    driverLink.ports[slot].inQueue = inHandle;
    startRelayThread();
    debugTrace("Hooking is Just Started.\r\n");
    return true;
}

// The rings are unmapped under relayLock first, so the relay thread is not inside
// them when the driver frees them.
bool releasePortQueues(int slot) {
    PortRecord& record = port(slot);
    {
        MutexLock lock(record.relayLock);
        record.outQueue.store(nullptr);
        record.inQueue.store(nullptr);
    }
    PortHandles& handles = driverLink.ports[slot];
    if (!releaseQueue(handles.outQueue) || !releaseQueue(handles.inQueue)) {
        debugTrace("Port Unregistering has failed.\r\n");
        return false;
    }
    handles = PortHandles{};
    return true;
}

} // namespace

bool startPort(int slot) {
    // Every caller stops the port first; one that an application or another request took
    // meanwhile is left as it is.
    if (movePortState(slot, PORT_STOPPED, PORT_CONNECTING) != StateMove::Moved)
        return false;
    enterService();
    sendMessage(WM_REFRESH_LIST, 0, 0);
    bool hooked = hookPort(slot);
    if (hooked) {
        movePortState(slot, PORT_CONNECTING, PORT_READY, REASON_OK);
        raiseHighestPortIndex();
    } else {
        // A Stopped port keeps no connection, or it would go on receiving for nobody.
        dropConnection(port(slot));
        movePortState(slot, PORT_CONNECTING, PORT_STOPPED, REASON_INTERNAL);
    }
    leaveService();
    return hooked;
}

bool stopPort(int slot, bool force) {
    PortRecord& record = port(slot);
    if (record.relayActive.load()) {
        char text[128];
        std::snprintf(text, sizeof text,
                      "[%s] can't be stopped because it is in use.\nClose port and retry.",
                      record.portName);
        messageBox(BoxOwner::Window, text, "Warning", MB_ICONWARNING);
        return false;
    }
    int state = record.state.load();
    if (!force && (state == PORT_RECONNECTING || state == PORT_SWITCHING))
        return false;
    record.relayActive.store(0);
    // Any state may be left for Stopped; the relay thread may move the port meanwhile.
    while (movePortState(slot, record.state.load(), PORT_STOPPED) == StateMove::Changed) {
    }
    raiseHighestPortIndex();
    // A forced stop can meet a port whose connection is still up (Reconnecting,
    // Switching); a Stopped port keeps none.
    dropConnection(record);
    HKEY key = nullptr;
    if (!openPortKey(slot, &key)) {
        debugTrace("Can't Open Port SubKey\r\n");
        return false;
    }
    for (const char* name : publishedValues)
        RegDeleteValue(key, name);
    RegCloseKey(key);
    if (!releasePortQueues(slot))
        return false;
    closePortEvents(record);
    debugTrace("Hooking is Just Stopped.\r\n");
    return true;
}

void refreshDeviceNodes() {
    if (driverLink.device == DriverLink::Device::NotOpened && !openDriver())
        return;
    uint32_t ignored = 0;
    uint32_t returned = 0;
    if (!deviceIoControl(driverLink.driverHandle, IOCTL_REFRESH_DEVICE_NODES, nullptr, 0, &ignored,
                         sizeof ignored, &returned))
        showError("Cannot Refresh Device Node");
    debugTrace("Device Refresh\r\n");
}

void closeDriver() {
    context.threadRunning.store(0);
    if (driverLink.writeEvent)
        driverLink.writeEvent->set();
    if (relayThread.joinable())
        relayThread.join();
    dropClosingConnections();
    if (driverLink.device == DriverLink::Device::Open) {
        closeDriverHandle(driverLink.driverHandle);
        deleteDriverDevice(DRIVER_DEVICE_PATH);
    }
    context.relayWake.store(nullptr);
    closeEvent(driverLink.writeEvent);
    driverLink = DriverLink{};
    context.relayThreadStarted.store(0);
}
