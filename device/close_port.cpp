#include "device/close_port.h"

#include "config/port_key.h"
#include "config/port_table.h"
#include "device/device_socket.h"
#include "device/open_port.h"
#include "device/wire_frames.h"
#include "driverlink/driver_link.h"
#include "platform/registry.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"

#include <cstdio>
#include <mutex>

using namespace platform;

namespace {

int win16Open(int slot) {
    PortRecord& record = port(slot);
    if (record.state.load() != PORT_READY)
        return 0;
    record.isWin16Port.store(1);
    if (openPort(slot, false))
        return 1;
    record.isWin16Port.store(0);
    return 0;
}

// CLOSE goes out and the connection is dropped at once, under the relay lock so the
// relay thread sends nothing after it.
void closeConnection(PortRecord& record) {
    sendMessage(WM_REFRESH_LIST, 0, 0);
    std::lock_guard lock(record.relayLock);
    record.relayActive.store(0);
    debugTrace("VXD_WRITE_SOCKET : [CLOSE]\r\n");
    if (DeviceSocket* socket = record.socket.exchange(nullptr)) {
        auto frame = closeFrame();
        socket->Send(frame.data(), int(frame.size()), 0);
        socket->ShutDown(AsyncSocket::SD_BOTH);
        socket->Close();
        delete socket;
    }
}

int win16Close(int slot) {
    PortRecord& record = port(slot);
    if (record.state.load() == PORT_STOPPED)
        return 1;
    deletePortValues(slot, {"MaximumBaud", "IsWin16Port", "IsWin16PortConnected"});
    raiseHighestPortIndex();
    record.state.store(PORT_READY);
    record.isWin16Port.store(0);
    if (!record.relayActive.load())
        return 1;
    closeConnection(record);
    return 1;
}

} // namespace

int win16PortRequest(int comNumber, bool open) {
    char name[32];
    std::snprintf(name, sizeof name, "COM%d", comNumber);
    int slot = findPortByName(name);
    if (slot < 0)
        return 0;
    return open ? win16Open(slot) : win16Close(slot);
}

int disconnectPort(int slot) {
    PortRecord& record = port(slot);
    debugTrace("[Disconnection Procedure]\r\n");
    record.state.store(PORT_COM_OPENED);
    sendMessage(WM_REFRESH_LIST, 0, 0);
    if (!record.relayActive.load()) {
        stopPort(slot, false);
        startPort(slot);
        sendMessage(WM_REFRESH_LIST, 0, 0);
    }
    if (record.isWin16Port.load()) {
        HKEY key = nullptr;
        if (!openPortKey(slot, &key)) {
            debugTrace("Can't Open Port SubKey\r\n");
            return 0;
        }
        RegDeleteValue(key, "IsWin16PortConnected");
        RegCloseKey(key);
    }
    return 0;
}
