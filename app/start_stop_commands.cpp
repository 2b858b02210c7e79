// The service commands of the main window: Start and Stop for the selected rows,
// Start All and Stop All for every configured port, and the hidden Test.
#include "app/main_dialog.h"

#include "config/port_table.h"
#include "config/service_state.h"
#include "driverlink/driver_link.h"
#include "platform/message_box.h"
#include "platform/ui_thread.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace platform;

namespace {

// At most this many selected rows are processed (1024 entries with the end mark).
constexpr size_t MAX_SELECTED_ROWS = 1023;

// What a selected row says, read before the command changes anything: a rebuild of
// the list in the middle of the command may move later rows (a hidden-port row that
// disappears), so row numbers alone would point at the wrong hosts.
struct SelectedRow {
    std::string address;
    std::string portText;
    std::string name;
    int slot = -1;
    int portNo() const { return std::atoi(portText.c_str()); }
};

// The port of a row is named by the first row at or above it with a COM ID.
int slotOfRow(const PortList& list, int row) {
    for (int r = row; r >= 0; --r) {
        std::string name = list.rowText(r, COL_COM_ID);
        if (name.size() > 3)
            return findPortByName(name.c_str());
    }
    return -1;
}

std::vector<SelectedRow> captureSelection(const PortList& list) {
    std::vector<int> rows = list.selectedRows();
    if (rows.size() > MAX_SELECTED_ROWS)
        rows.resize(MAX_SELECTED_ROWS);
    std::vector<SelectedRow> selection;
    for (int row : rows)
        selection.push_back({list.rowText(row, COL_ADDRESS), list.rowText(row, COL_PORT),
                             list.rowText(row, COL_NAME), slotOfRow(list, row)});
    return selection;
}

bool reportNothingSelected(const std::vector<SelectedRow>& selection) {
    if (!selection.empty())
        return false;
    messageBox(mainWindow(), "None of items was selected.\nSelect the item first.", "Error",
               MB_ICONERROR);
    return true;
}

bool askYesNo(const char* format, const char* portName) {
    char text[256];
    std::snprintf(text, sizeof text, format, portName);
    return messageBox(mainWindow(), text, "Warning", MB_ICONWARNING | MB_YESNO) == IDYES;
}

bool isCurrentHost(PortRecord& record, const std::string& address, int portNo) {
    std::lock_guard lock(record.hostLock);
    return address == record.curAddress && portNo == record.curTcpPort;
}

// Any hooked port, not only a Ready one, gives its queues back before it is hooked
// again: hooking over them would leave them in the driver for good. A port whose stop
// is refused (a reconnection or switch under way) is left to that procedure.
bool releaseForRestart(int slot) {
    PortRecord& record = port(slot);
    if (record.state.load() == PORT_STOPPED)
        return true;
    stopPort(slot, false);
    return record.state.load() == PORT_STOPPED;
}

void startRow(MainDialog& dialog, const SelectedRow& row) {
    if (row.address.size() < 5 || row.portText.empty() || row.portNo() == 0 || row.slot < 0)
        return;
    PortRecord& record = port(row.slot);
    setCurrentHost(record, row.address.c_str(), row.portNo());
    if (!findHost(row.slot, row.address.c_str(), row.portNo()) &&
        !askYesNo("%s is running under Hidden Mode.\nContinue?", record.portName))
        return;
    if (record.relayActive.load()) {
        postMessage(WM_SWITCH_PORT, 0, row.slot);
        return;
    }
    if (!releaseForRestart(row.slot))
        return;
    startPort(row.slot);
    dialog.refreshPortList();
}

void stopRow(MainDialog& dialog, const SelectedRow& row) {
    if (row.address.empty() || row.portText.empty() || row.slot < 0)
        return;
    PortRecord& record = port(row.slot);
    if (row.name == "(Hidden Port)" &&
        !askYesNo("%s is in hidden port mode.\nContinue?", record.portName))
        return;
    if (!isCurrentHost(record, row.address, row.portNo()))
        return;
    if (record.state.load() == PORT_STOPPED) {
        clearCurrentHost(record);
        if (record.reason.load() != REASON_USER_STOPPED) {
            record.reason.store(REASON_USER_STOPPED);
            dialog.refreshPortList();
        }
        return;
    }
    if (stopPort(row.slot, false)) {
        clearCurrentHost(record);
        record.reason.store(REASON_USER_STOPPED);
    }
    dialog.refreshPortList();
}

bool startsWithSavedHost(int slot) {
    PortRecord& record = port(slot);
    if (std::strlen(record.portName) < 4 || record.state.load() != PORT_STOPPED)
        return false;
    std::lock_guard lock(record.hostLock);
    return findHost(slot, record.curAddress, record.curTcpPort) != nullptr;
}

} // namespace

void MainDialog::startSelectedPorts() {
    if (serviceState.serviceBusy.load())
        return;
    std::vector<SelectedRow> selection = captureSelection(*portList);
    if (reportNothingSelected(selection))
        return;
    enterService();
    for (const SelectedRow& row : selection)
        startRow(*this, row);
    leaveService();
    raiseHighestPortIndex();
}

void MainDialog::stopSelectedPorts() {
    if (serviceState.serviceBusy.load())
        return;
    std::vector<SelectedRow> selection = captureSelection(*portList);
    if (reportNothingSelected(selection))
        return;
    for (const SelectedRow& row : selection)
        stopRow(*this, row);
}

void MainDialog::startAllPorts() {
    if (serviceState.serviceBusy.load())
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
        port(slot).state.store(started ? PORT_READY : PORT_STOPPED);
        refreshPortList();
        failedPort = started ? "" : port(slot).portName;
    }
    leaveService();
    raiseHighestPortIndex();
}

void MainDialog::stopAllPorts() {
    if (serviceState.serviceBusy.load())
        return;
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        PortRecord& record = port(slot);
        if (std::strlen(record.portName) < 4 || record.state.load() == PORT_STOPPED)
            continue;
        stopPort(slot, false);
        refreshPortList();
    }
}
