// Handlers and hooks of MainDialog whose work arrives with later parts of the
// manager. Each is reachable from the message table already.
#include "app/main_dialog.h"

// Filled in with the Start and Stop commands.
void MainDialog::startSelectedPorts() {}
// Filled in with the Start and Stop commands.
void MainDialog::stopSelectedPorts() {}
// Filled in with the Start and Stop commands.
void MainDialog::startAllPorts() {}
// Filled in with the Start and Stop commands.
void MainDialog::stopAllPorts() {}
// Filled in with the Add, Remove and Properties commands.
void MainDialog::addPort() {}
// Filled in with the Add, Remove and Properties commands.
void MainDialog::removePort() {}
// Filled in with the Add, Remove and Properties commands.
void MainDialog::portProperties() {}
// Filled in with the Port Monitor.
void MainDialog::openMonitor() {}
// Filled in with Exit: stop every port, save current hosts, end with IDOK.
void MainDialog::exitManager() {}
// Filled in with the tray menu commands.
void MainDialog::showManager() {}
// Filled in with the About box (skipped while serviceBusy).
void MainDialog::showAbout() {}
// Filled in with the About box (shown whatever serviceBusy).
void MainDialog::showAboutBox() {}
// Filled in with run-at-boot.
void MainDialog::toggleRunAtBoot() {}

// Filled in with the tray icon.
intptr_t MainDialog::onTrayNotify(uintptr_t, intptr_t) {
    return 0;
}
// Filled in with the reconnection procedure.
intptr_t MainDialog::onReconnectPort(uintptr_t, intptr_t) {
    return 0;
}
// Filled in with the disconnection procedure.
intptr_t MainDialog::onPortDisconnected(uintptr_t, intptr_t) {
    return 0;
}
// Filled in with the driver link's startPort.
intptr_t MainDialog::onStartPort(uintptr_t, intptr_t) {
    return 0;
}
// Filled in with the open procedure.
intptr_t MainDialog::onOpenPort(uintptr_t, intptr_t) {
    return 0;
}
// Filled in with the 16-bit port request.
intptr_t MainDialog::onWin16Port(uintptr_t, intptr_t) {
    return 0;
}
// Filled in with the switching procedure.
intptr_t MainDialog::onSwitchPort(uintptr_t, intptr_t) {
    return 0;
}

// Filled in with the tray icon.
void MainDialog::addTrayIcon() {}
// Filled in with the remote-control server.
void MainDialog::startRemoteControl() {}
// Filled in with the wire frames: sends ALIVE on the slot's DeviceSocket.
void MainDialog::sendKeepAlive(int) {}
// Filled in with the driver link: close driverHandle, then unload the driver.
void MainDialog::closeDriverAtExit() {}
