// travenor: the Quorvalink Redirector Manager.
#include "app/instance_requests.h"
#include "app/main_dialog.h"
#include "platform/message_box.h"
#include "platform/single_instance.h"
#include "platform/termination_signal.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "portdriver/install.h"

#include <QApplication>

namespace {

// Started from the log-on entry the manager gives the system time to settle.
void waitForBootDelay() {
    while (platform::systemUpTime() < 27000)
        platform::sleepMs(1000);
}

// The running manager shows itself; this process ends without a window either way.
int showRunningInstance(const platform::SingleInstance& instance) {
    std::string reply;
    if (!instance.request("show", &reply))
        platform::debugTrace("The running manager did not answer.\r\n");
    return 0;
}

int runManager(QApplication& app, platform::SingleInstance& instance) {
    MainDialog dialog;
    dialog.initialise();
    if (!instance.listen(
            [&dialog](const std::string& line) { return answerInstanceRequest(dialog, line); }))
        platform::debugTrace("Single-instance socket not available.\r\n");
    QObject::connect(&dialog, &QDialog::finished, &app, [&app](int result) { app.exit(result); });
    platform::onTerminationSignal([&dialog] { dialog.endOnSignal(); });
    dialog.show();
    int result = app.exec();
    if (result == platform::IDOK)
        dialog.closeDriverAtExit();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    waitForBootDelay();
    QApplication app(argc, argv);
    // Hidden in the notification area is the manager's normal state, not an end.
    app.setQuitOnLastWindowClosed(false);
    platform::SingleInstance instance;
    if (!instance.acquire())
        return showRunningInstance(instance);
    portdriver::install();
    return runManager(app, instance);
}
