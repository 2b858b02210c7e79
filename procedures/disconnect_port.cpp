#include "procedures/disconnect_port.h"

#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_state.h"
#include "driverlink/driver_link.h"
#include "platform/registry.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"

using namespace platform;

int disconnectPort(int slot) {
    PortRecord& record = port(slot);
    debugTrace("[Disconnection Procedure]\r\n");
    // Posted while the port was in service; a Stop served before it leaves the port
    // Stopped, and it stays so. The relay thread may move the port meanwhile: the move
    // is made from what the port is at that moment.
    for (;;) {
        int from = record.state.load();
        if (from == PORT_STOPPED)
            return 0;
        if (movePortState(slot, from, PORT_COM_OPENED) != StateMove::Changed)
            break;
    }
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
