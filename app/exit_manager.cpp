// Exit and Manager: the commands that end the manager and bring its window back.
#include "app/main_dialog.h"

#include "config/config_store.h"
#include "config/port_table.h"
#include "config/service_state.h"
#include "driverlink/driver_link.h"
#include "platform/message_box.h"

#include <QTimer>

#include <cstring>

namespace {

constexpr int SIGNAL_RETRY_MS = 100;

bool configured(int slot) {
    return std::strlen(port(slot).portName) >= 4;
}

// Forced stops: only a port an application holds open refuses (with its warning).
bool stopEveryPort(MainDialog& dialog) {
    bool allStopped = true;
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (!configured(slot) || port(slot).state.load() == PORT_STOPPED)
            continue;
        if (stopPort(slot, true))
            dialog.refreshPortList();
        else
            allStopped = false;
    }
    return allStopped;
}

} // namespace

void MainDialog::exitManager() {
    if (serviceState.serviceBusy.load())
        return;
    if (!stopEveryPort(*this)) {
        show();
        platform::messageBox(this, "Some ports couldn't be stopped. Check port status.", "Warning",
                             platform::MB_ICONWARNING);
        return;
    }
    threadRunning.store(0);
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (!configured(slot))
            continue;
        saveCurrentHost(slot);
        freeHostList(port(slot));
    }
    done(platform::IDOK);
}

// A termination signal ends the manager without asking anybody: every port is stopped,
// in use or not (the driver hangs its application up when it unloads), and the current
// hosts are saved as at Exit, so the next start resumes the same ports.
void MainDialog::endOnSignal() {
    // A procedure that waits on a port must not have it stopped underneath: the end
    // comes as soon as none runs any more.
    if (serviceState.serviceBusy.load()) {
        QTimer::singleShot(SIGNAL_RETRY_MS, this, [this] { endOnSignal(); });
        return;
    }
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (!configured(slot))
            continue;
        port(slot).relayActive.store(0);
        if (port(slot).state.load() != PORT_STOPPED)
            stopPort(slot, true);
        saveCurrentHost(slot);
    }
    threadRunning.store(0);
    done(platform::IDOK);
}

void MainDialog::showManager() {
    show();
}
