// The Monitoring command (id 10): the Port Monitor of the port whose row was last
// selected, for a Connected port only. Its button stays hidden; the command is reached
// through the window menu (a right click on a row).
#include "app/main_dialog.h"

#include "app/port_monitor_dialog.h"
#include "config/manager_context.h"
#include "platform/message_box.h"

namespace {

// The row's port, or -1 for a blank row or a list older than the port table.
int monitoredSlot(const PortRow& row) {
    if (row.kind == PortRow::Blank || row.slot < 0 || row.slot >= PORT_SLOTS)
        return -1;
    return row.comName == port(row.slot).portName ? row.slot : -1;
}

} // namespace

// Modal to the main window without an event loop of its own: a procedure that is
// waiting (and pumping) when the user opens the monitor goes on while it is open,
// instead of being held below the monitor until the user closes it.
void MainDialog::openMonitor() {
    if (selectedRow_ < 0)
        return;
    if (portMonitor_) {
        portMonitor_->raise();
        portMonitor_->activateWindow();
        return;
    }
    int slot = monitoredSlot(portList_->rowAt(selectedRow_));
    if (slot < 0 || port(slot).state.load() != PORT_CONNECTED) {
        platform::messageBox(platform::BoxOwner::Window,
                             "Can't call monitor for disconnected port.", "Information",
                             platform::MB_ICONINFORMATION);
        return;
    }
    auto* monitor = new PortMonitorDialog(slot, this);
    connect(monitor, &QDialog::finished, this, [this, monitor] { closeMonitorLater(monitor); });
    portMonitor_ = monitor;
    monitor->open();
}

PortMonitorDialog* MainDialog::portMonitor() const {
    return portMonitor_;
}

// Not inside the dialog's own signal, and not as a deferred deletion either, which
// waits for the main loop: a procedure pumping messages lets the monitor go as well.
void MainDialog::closeMonitorLater(PortMonitorDialog* monitor) {
    if (portMonitor_ == monitor)
        portMonitor_ = nullptr;
    QPointer<PortMonitorDialog> closing = monitor;
    QMetaObject::invokeMethod(
        this, [closing] { delete closing.data(); }, Qt::QueuedConnection);
}
