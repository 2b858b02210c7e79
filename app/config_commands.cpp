#include "app/config_commands.h"

#include "config/host_list.h"
#include "config/manager_context.h"
#include "config/port_registration.h"
#include "driverlink/driver_link.h"
#include "platform/message_box.h"

#include <QApplication>

#include <cstdio>

using namespace platform;

namespace {

constexpr const char* HIDDEN_PORT = "(Hidden Port)";
constexpr const char* INTERNAL_ERROR = "An internal error occured. Please contact our company.";

// The row's port, or -1 when the row stands for none or the list is older than the
// port table (the slot has been freed or given to another name since it was built).
int slotOfRow(const PortRow& row) {
    if (row.kind == PortRow::Blank || row.slot < 0 || row.slot >= PORT_SLOTS)
        return -1;
    return row.comName.size() > 3 && row.comName == port(row.slot).portName ? row.slot : -1;
}

void showFatal(const char* text) {
    messageBox(BoxOwner::Window, text, "Fatal Error", MB_ICONERROR);
}

void showWarning(const char* format, const char* portName) {
    char text[160];
    std::snprintf(text, sizeof text, format, portName);
    messageBox(BoxOwner::Window, text, "Warning", MB_ICONWARNING);
}

// The driver keeps one link per registered port. Once it is loaded, a port that went
// away or took another name must not keep its old link until the next Add.
void refreshLoadedDeviceNodes() {
    if (driverLink.device == DriverLink::Device::Open)
        refreshDeviceNodes();
}

} // namespace

ConfigCommands::ConfigCommands(QWidget* window, std::function<void()> refreshList,
                               ShowHostRow showHostRow)
    : window_(window), refreshList_(std::move(refreshList)), showHostRow_(std::move(showHostRow)) {}

// Entries were saved by the dialog itself; a cancelled run keeps them but asks the
// driver for nothing.
void ConfigCommands::add() {
    PortPropertiesDialog dialog(window_, 1, -1, showHostRow_);
    if (dialog.exec() != QDialog::Accepted)
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    refreshDeviceNodes();
    QApplication::restoreOverrideCursor();
}

void ConfigCommands::properties(const PortRow& row) {
    if (row.kind == PortRow::Blank || row.address.empty())
        return;
    int slot = slotOfRow(row);
    if (slot < 0)
        return showFatal("Internal Error. Please contact our company.");
    if (port(slot).state.load() != PORT_STOPPED) {
        messageBox(BoxOwner::Window,
                   "Can't modify the port's properties which is in service.\nStop the service "
                   "and try again.",
                   "Warning", MB_ICONWARNING);
        return;
    }
    HostEntry* entry = findHost(slot, row.address.c_str(), row.portNo);
    if (!entry)
        return showFatal(INTERNAL_ERROR);
    port(slot).hostCursor = entry;
    PortPropertiesDialog dialog(window_, 0, slot, showHostRow_);
    if (dialog.exec() == QDialog::Accepted)
        refreshLoadedDeviceNodes();
    refreshList_();
}

void ConfigCommands::remove(const std::vector<PortRow>& rows) {
    if (context.serviceBusy.load())
        return;
    if (rows.empty()) {
        messageBox(BoxOwner::Window, "None of items was selected.\nSelect the item first.", "Error",
                   MB_ICONERROR);
        return;
    }
    bool portRemoved = false;
    bool ended = false;
    for (const PortRow& row : rows)
        if ((ended = removeRow(row, portRemoved) == RowOutcome::EndCommand))
            break;
    if (portRemoved)
        refreshLoadedDeviceNodes();
    if (ended)
        return;
    raiseHighestPortIndex();
    refreshList_();
}

// Hidden-port rows (a current host that is not configured) and separators are passed
// over without a word.
ConfigCommands::RowOutcome ConfigCommands::removeRow(const PortRow& row, bool& portRemoved) {
    if (row.kind == PortRow::Hidden || row.description == HIDDEN_PORT)
        return RowOutcome::Done;
    if (row.kind == PortRow::Blank || row.address.empty())
        return RowOutcome::Done;
    int slot = slotOfRow(row);
    if (slot < 0) {
        showFatal(INTERNAL_ERROR);
        return RowOutcome::EndCommand;
    }
    PortRecord& record = port(slot);
    if (record.state.load() != PORT_STOPPED) {
        showWarning("Can't remove the port (%s) because it is in service.", record.portName);
        return RowOutcome::Done;
    }
    switch (removeHostEntry(record, row.address, row.portNo)) {
    case HostRemoval::NotFound:
        showFatal(INTERNAL_ERROR);
        return RowOutcome::EndCommand;
    case HostRemoval::LastRemoved:
        // The slot is freed even when the store refused: the store then keeps the
        // whole port, never a part of it.
        unregisterPort(slot);
        clearPortRecord(record);
        portRemoved = true;
        break;
    case HostRemoval::Removed:
        registerPort(slot);
        break;
    }
    return RowOutcome::Done;
}
