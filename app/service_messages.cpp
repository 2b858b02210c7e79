// The private messages through which the relay thread, the remote controller and
// outside senders have the UI thread serve a port, and the keep-alive.
#include "app/main_dialog.h"

#include "config/manager_context.h"
#include "device/port_connection.h"
#include "device/wire_frames.h"
#include "driverlink/driver_link.h"
#include "procedures/disconnect_port.h"
#include "procedures/open_port.h"
#include "procedures/reconnect_port.h"
#include "procedures/switch_port.h"
#include "procedures/win16_port.h"

#include <algorithm>

intptr_t MainDialog::onPortDisconnected(uintptr_t, intptr_t lParam) {
    return disconnectPort(int(lParam));
}

intptr_t MainDialog::onStartPort(uintptr_t, intptr_t lParam) {
    return startPort(int(lParam)) ? 1 : 0;
}

intptr_t MainDialog::onOpenPort(uintptr_t wParam, intptr_t lParam) {
    return openPort(int(lParam), wParam != 0);
}

intptr_t MainDialog::onReconnectPort(uintptr_t, intptr_t) {
    return reconnectPort();
}

intptr_t MainDialog::onSwitchPort(uintptr_t, intptr_t lParam) {
    return switchPort(int(lParam));
}

intptr_t MainDialog::onWin16Port(uintptr_t wParam, intptr_t lParam) {
    return win16PortRequest(int(wParam), lParam != 0);
}

namespace {

// ALIVE goes through the port's pending frame, so it never lands in the middle of a
// DATA frame the relay thread has only partly sent; while one is pending it is left
// out, the data itself keeps the connection busy.
void sendKeepAlive(PortRecord& record) {
    platform::MutexLock lock(record.relayLock);
    auto frame = aliveFrame();
    sendPortFrame(record, frame.data(), int(frame.size()));
}

} // namespace

void MainDialog::sendKeepAlives() {
    int last = std::min<int>(context.highestPortIndex.load(), PORT_SLOTS - 1);
    for (int slot = 0; slot <= last; ++slot)
        if (port(slot).state.load() == PORT_CONNECTED)
            sendKeepAlive(port(slot));
}
