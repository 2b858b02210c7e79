// Exit and Manager: the commands that end the manager and bring its window back, and
// the end on a termination signal.
#include "app/main_dialog.h"

#include "config/manager_context.h"
#include "platform/message_box.h"
#include "platform/tick.h"
#include "platform/trace.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

constexpr int SIGNAL_RETRY_MS = 100;
// A procedure that waits on a port should not have it stopped underneath, but a
// question nobody answers must not keep a system shutdown from saving the hosts.
constexpr uint32_t SIGNAL_WAIT_MS = 5000;

} // namespace

void MainDialog::exitManager() {
    if (commands_.exitManager())
        done(platform::IDOK);
}

// A termination signal ends the manager without asking anybody: every port is stopped,
// in use or not (the driver hangs its application up when it unloads), and the current
// hosts are saved as at Exit, so the next start resumes the same ports.
void MainDialog::endOnSignal() {
    endOnSignalAfter(platform::getTickCount());
}

void MainDialog::endOnSignalAfter(uint32_t firstTry) {
    bool waitedEnough = platform::getTickCount() - firstTry >= SIGNAL_WAIT_MS;
    if (context.serviceBusy.load() && !waitedEnough) {
        QTimer::singleShot(SIGNAL_RETRY_MS, this, [this, firstTry] { endOnSignalAfter(firstTry); });
        return;
    }
    if (context.serviceBusy.load())
        platform::debugTrace("Ending while a procedure still runs.\r\n");
    endManager();
    // Ends every event loop of the thread, a question box's too.
    done(platform::IDOK);
    QCoreApplication::exit(platform::IDOK);
}

void MainDialog::showManager() {
    show();
}
