// travenor: the Quorvalink Redirector Manager.
#include "app/boot_delay.h"
#include "app/instance_requests.h"
#include "app/main_dialog.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/single_instance.h"
#include "platform/termination_signal.h"
#include "platform/trace.h"
#include "portdriver/install.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// The running manager shows itself; this process ends without a window either way.
int showRunningInstance(const platform::SingleInstance& instance) {
    std::string reply;
    if (!instance.request("show", &reply))
        platform::debugTrace("The running manager did not answer.\r\n");
    return 0;
}

// The first folder that another user owns, that is a planted symbolic link or that
// cannot be made: the manager does not start on it.
std::string folderProblem() {
    for (const platform::PrivateFolder& folder :
         {platform::checkedStoreFolder(), platform::checkedDeviceFolder(),
          platform::checkedRuntimeFolder()})
        if (!folder.usable())
            return folder.problem;
    return "";
}

int refuseToStart(const std::string& problem) {
    std::fprintf(stderr, "travenor: %s\n", problem.c_str());
    platform::messageBox(nullptr, problem, "Error", platform::MB_ICONERROR);
    return 1;
}

// A lost display makes the windowing layer end the process with exit(1) from inside
// the event loop; the manager still ends as it does on any other way out, with a
// normal status.
void endOnProcessExit() {
    if (managerFinished())
        return;
    platform::debugTrace("The process ends under the manager.\r\n");
    endManager();
    std::fflush(nullptr);
    _exit(0);
}

// SIGHUP (the session or terminal that started the manager has gone) is a quit
// request; SIGINT and SIGTERM wait a little for a running procedure.
void onSignal(QApplication& app, MainDialog& dialog, int signal) {
    if (signal == SIGHUP)
        app.quit();
    else
        dialog.endOnSignal();
}

// Every way out of the event loop (Exit, a quit request, a signal) ends in endManager.
int runManager(QApplication& app, platform::SingleInstance& instance) {
    MainDialog dialog;
    dialog.initialise();
    if (!instance.listen(
            [&dialog](const std::string& line) { return answerInstanceRequest(dialog, line); }))
        platform::debugTrace("Single-instance socket not available.\r\n");
    QObject::connect(&dialog, &QDialog::finished, &app, [&app](int result) { app.exit(result); });
    platform::onTerminationSignal([&app, &dialog](int signal) { onSignal(app, dialog, signal); });
    std::atexit(endOnProcessExit);
    dialog.show();
    app.exec();
    endManager();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    waitForBootDelay();
    QApplication app(argc, argv);
    // Hidden in the notification area is the manager's normal state, not an end.
    app.setQuitOnLastWindowClosed(false);
    std::string problem = folderProblem();
    platform::SingleInstance instance;
    if (problem.empty() && !instance.acquire()) {
        if (instance.problem().empty())
            return showRunningInstance(instance);
        problem = instance.problem();
    }
    if (!problem.empty())
        return refuseToStart(problem);
    portdriver::install();
    return runManager(app, instance);
}
