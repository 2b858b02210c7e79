#include "procedures/win16_port.h"

#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_state.h"
#include "device/port_connection.h"
#include "platform/ui_thread.h"
#include "procedures/open_port.h"

#include <cstdio>

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

int win16Close(int slot) {
    PortRecord& record = port(slot);
    if (record.state.load() == PORT_STOPPED)
        return 1;
    deletePortValues(slot, {"MaximumBaud", "IsWin16Port", "IsWin16PortConnected"});
    raiseHighestPortIndex();
    // From whatever the port is now (the relay thread may have moved it while the store
    // was written), unless a Stop came first.
    for (;;) {
        int from = record.state.load();
        if (from == PORT_STOPPED)
            return 1;
        if (movePortState(slot, from, PORT_READY) != StateMove::Changed)
            break;
    }
    record.isWin16Port.store(0);
    if (!record.relayActive.load())
        return 1;
    sendMessage(WM_REFRESH_LIST, 0, 0);
    // CLOSE and the drop at once, with no pause.
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
