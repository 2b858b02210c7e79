#include "app/port_commands.h"

#include "config/config_store.h"
#include "config/manager_context.h"
#include "config/port_state.h"
#include "driverlink/driver_link.h"
#include "platform/message_box.h"
#include "platform/ui_thread.h"
#include "remote/remote_control_server.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace platform;

namespace {

// At most this many selected rows are processed (1024 entries with the end mark).
constexpr size_t MAX_SELECTED_ROWS = 1023;

bool configured(int slot) {
    return std::strlen(port(slot).portName) >= 4;
}

// The row's port, or -1 when the list is older than the port table (the slot has
// been given to another port, or freed, since the list was built).
int slotOfRow(const PortRow& row) {
    if (row.kind == PortRow::Blank || row.slot < 0 || row.slot >= PORT_SLOTS)
        return -1;
    return row.comName.size() > 3 && row.comName == port(row.slot).portName ? row.slot : -1;
}

bool reportNothingSelected(const std::vector<PortRow>& rows) {
    if (!rows.empty())
        return false;
    messageBox(BoxOwner::Window, "None of items was selected.\nSelect the item first.", "Error",
               MB_ICONERROR);
    return true;
}

bool askYesNo(const char* format, const char* portName) {
    char text[256];
    std::snprintf(text, sizeof text, format, portName);
    return messageBox(BoxOwner::Window, text, "Warning", MB_ICONWARNING | MB_YESNO) == IDYES;
}

bool isCurrentHost(PortRecord& record, const std::string& address, int portNo) {
    CurrentHost current = currentHost(record);
    return address == current.address && portNo == current.portNo;
}

// curAddress holds 49 characters; a longer address, cut, would dial another host.
bool addressFits(const PortRow& row) {
    if (row.address.size() < sizeof(CurrentHost::address))
        return true;
    char text[160];
    std::snprintf(text, sizeof text,
                  "The address of %s is longer than 49 characters.\nChoose a shorter address.",
                  row.comName.c_str());
    messageBox(BoxOwner::Window, text, "Error", MB_ICONERROR);
    return false;
}

// Any hooked port, not only a Ready one, gives its queues back before it is hooked
// again: hooking over them would leave them in the driver for good. A port whose stop
// is refused (a reconnection or switch under way) is left to that procedure.
bool releaseForRestart(int slot) {
    if (port(slot).state.load() == PORT_STOPPED)
        return true;
    stopPort(slot, false);
    return port(slot).state.load() == PORT_STOPPED;
}

bool startsWithSavedHost(int slot) {
    PortRecord& record = port(slot);
    if (!configured(slot) || record.state.load() != PORT_STOPPED)
        return false;
    CurrentHost current = currentHost(record);
    return findHost(slot, current.address, current.portNo) != nullptr;
}

std::vector<PortRow> firstRows(std::vector<PortRow> rows) {
    if (rows.size() > MAX_SELECTED_ROWS)
        rows.resize(MAX_SELECTED_ROWS);
    return rows;
}

} // namespace

PortCommands::PortCommands(std::function<void()> refreshList, std::function<void()> showWindow)
    : refreshList_(std::move(refreshList)), showWindow_(std::move(showWindow)) {}

void PortCommands::startRow(const PortRow& row) {
    int slot = slotOfRow(row);
    if (row.address.size() < 5 || row.portNo == 0 || slot < 0 || !addressFits(row))
        return;
    PortRecord& record = port(slot);
    setCurrentHost(record, row.address.c_str(), row.portNo);
    if (!findHost(slot, row.address.c_str(), row.portNo) &&
        !askYesNo("%s is running under Hidden Mode.\nContinue?", record.portName))
        return;
    if (record.relayActive.load()) {
        postMessage(WM_SWITCH_PORT, 0, slot);
        return;
    }
    if (!releaseForRestart(slot))
        return;
    startPort(slot);
    refreshList_();
}

void PortCommands::stopRow(const PortRow& row) {
    int slot = slotOfRow(row);
    if (row.address.empty() || slot < 0)
        return;
    PortRecord& record = port(slot);
    if (row.description == "(Hidden Port)" &&
        !askYesNo("%s is in hidden port mode.\nContinue?", record.portName))
        return;
    if (!isCurrentHost(record, row.address, row.portNo))
        return;
    if (record.state.load() == PORT_STOPPED) {
        clearCurrentHost(record);
        if (record.reason.load() != REASON_USER_STOPPED) {
            setPortReason(slot, REASON_USER_STOPPED);
            refreshList_();
        }
        return;
    }
    if (stopPort(slot, false)) {
        clearCurrentHost(record);
        setPortReason(slot, REASON_USER_STOPPED);
    }
    refreshList_();
}

void PortCommands::startSelected(std::vector<PortRow> rows) {
    if (context.serviceBusy.load() || reportNothingSelected(rows))
        return;
    enterService();
    for (const PortRow& row : firstRows(std::move(rows)))
        startRow(row);
    leaveService();
    raiseHighestPortIndex();
}

void PortCommands::stopSelected(std::vector<PortRow> rows) {
    if (context.serviceBusy.load() || reportNothingSelected(rows))
        return;
    for (const PortRow& row : firstRows(std::move(rows)))
        stopRow(row);
}

void PortCommands::startAll() {
    if (context.serviceBusy.load())
        return;
    enterService();
    std::string failedPort;
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (!startsWithSavedHost(slot))
            continue;
        if (!failedPort.empty() &&
            !askYesNo("[%s] was couldn't started.\nDo you want to try next ports?",
                      failedPort.c_str()))
            break;
        bool started = startPort(slot);
        refreshList_();
        failedPort = started ? "" : port(slot).portName;
    }
    leaveService();
    raiseHighestPortIndex();
}

void PortCommands::stopAll() {
    if (context.serviceBusy.load())
        return;
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (!configured(slot) || port(slot).state.load() == PORT_STOPPED)
            continue;
        stopPort(slot, false);
        refreshList_();
    }
}

// Forced stops: only a port an application holds open refuses (with its warning).
bool PortCommands::stopEveryPort() {
    bool allStopped = true;
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (!configured(slot) || port(slot).state.load() == PORT_STOPPED)
            continue;
        if (stopPort(slot, true))
            refreshList_();
        else
            allStopped = false;
    }
    return allStopped;
}

bool PortCommands::exitManager() {
    if (context.serviceBusy.load())
        return false;
    if (!stopEveryPort()) {
        showWindow_();
        messageBox(BoxOwner::Window, "Some ports couldn't be stopped. Check port status.",
                   "Warning", MB_ICONWARNING);
        return false;
    }
    context.threadRunning.store(0);
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (!configured(slot))
            continue;
        context.hostsSaved = saveCurrentHost(slot) && context.hostsSaved;
        freeHostList(port(slot));
    }
    context.endStage = ManagerContext::PORTS_ENDED;
    return true;
}

void endManager() {
    if (context.endStage == ManagerContext::FINISHED)
        return;
    // A worker waiting for a handler that will not return now must not hold the end up.
    releaseWaitingSenders();
    // Released, the remote-control thread ends at once: nothing is left listening, and
    // no request touches a port from here on.
    stopRemoteControlServer();
    if (context.endStage == ManagerContext::RUNNING) {
        context.endStage = ManagerContext::PORTS_ENDED;
        answerBoxesSilently();
        for (int slot = 0; slot < PORT_SLOTS; ++slot) {
            if (!configured(slot))
                continue;
            // The driver hangs up an application that still holds its port as it unloads.
            port(slot).relayActive.store(0);
            if (port(slot).state.load() != PORT_STOPPED)
                stopPort(slot, true);
            context.hostsSaved = saveCurrentHost(slot) && context.hostsSaved;
            freeHostList(port(slot));
        }
    }
    closeDriver();
    context.endStage = ManagerContext::FINISHED;
}

bool managerFinished() {
    return context.endStage == ManagerContext::FINISHED;
}
