// The private messages through which the relay thread, the remote controller and
// outside senders have the UI thread serve a port, and the keep-alive and driver
// hooks of start-up and shutdown.
#include "app/main_dialog.h"

#include "config/port_table.h"
#include "device/close_port.h"
#include "device/device_socket.h"
#include "device/open_port.h"
#include "device/wire_frames.h"
#include "driverlink/driver_link.h"

#include <mutex>

intptr_t MainDialog::onPortDisconnected(uintptr_t, intptr_t lParam) {
    return disconnectPort(int(lParam));
}

intptr_t MainDialog::onStartPort(uintptr_t, intptr_t lParam) {
    return startPort(int(lParam)) ? 1 : 0;
}

intptr_t MainDialog::onOpenPort(uintptr_t wParam, intptr_t lParam) {
    return openPort(int(lParam), wParam != 0);
}

intptr_t MainDialog::onWin16Port(uintptr_t wParam, intptr_t lParam) {
    return win16PortRequest(int(wParam), lParam != 0);
}

// ALIVE goes through the port's pending frame, so it never lands in the middle of a
// DATA frame the relay thread has only partly sent; while one is pending it is left
// out, the data itself keeps the connection busy.
void MainDialog::sendKeepAlive(int slot) {
    PortRecord& record = port(slot);
    std::lock_guard lock(record.relayLock);
    auto frame = aliveFrame();
    sendPortFrame(record, frame.data(), int(frame.size()));
}

void MainDialog::closeDriverAtExit() {
    closeDriver();
}
