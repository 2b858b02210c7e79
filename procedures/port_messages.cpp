#include "procedures/port_messages.h"

#include "driverlink/driver_link.h"
#include "platform/ui_thread.h"
#include "procedures/disconnect_port.h"
#include "procedures/open_port.h"
#include "procedures/reconnect_port.h"
#include "procedures/switch_port.h"
#include "procedures/win16_port.h"

#include <utility>

using namespace platform;

intptr_t PortMessages::handle(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    int slot = int(lParam);
    switch (message) {
    case WM_RECONNECT_PORT:
        return reconnectPort();
    case WM_PORT_DISCONNECTED:
        return disconnectPort(slot);
    case WM_START_PORT:
        return startPort(slot) ? 1 : 0;
    case WM_OPEN_PORT:
        return openPort(slot, wParam != 0);
    case WM_WIN16_PORT:
        return win16PortRequest(int(wParam), lParam != 0);
    case WM_SWITCH_PORT:
        return switchPort(slot);
    case WM_REFRESH_LIST:
        return hooks_.refreshList ? hooks_.refreshList() : 1;
    case WM_TRAY_NOTIFY:
        return hooks_.trayNotify ? hooks_.trayNotify(wParam, lParam) : 0;
    default:
        return 0;
    }
}

void PortMessages::install() {
    setMessageHandler([this](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        return handle(message, wParam, lParam);
    });
    installed_ = true;
}

void PortMessages::uninstall() {
    if (std::exchange(installed_, false))
        setMessageHandler(nullptr);
}
