// Handlers and hooks of MainDialog whose work arrives with later parts of the
// manager. Each is reachable from the message table already.
#include "app/main_dialog.h"

// Filled in with the Port Monitor.
void MainDialog::openMonitor() {}
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

// Filled in with the tray icon.
void MainDialog::addTrayIcon() {}
// Filled in with the remote-control server.
void MainDialog::startRemoteControl() {}
