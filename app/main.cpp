// travenor: the Quorvalink Redirector Manager.
#include "app/boot_delay.h"
#include "app/command_line.h"
#include "app/instance_requests.h"
#include "app/main_dialog.h"
#include "app/service_mode.h"
#include "config/manager_context.h"
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

// The running manager's answer to "show" when it runs as a service: it has no window.
constexpr const char* SERVICE_REPLY = "service";

// A later start: the running manager shows itself, and this process ends without a
// window either way. A service has no window to show; the user is told why none comes.
int showRunningInstance(const platform::SingleInstance& instance) {
    std::string reply;
    if (!instance.request("show", &reply))
        platform::debugTrace("The running manager did not answer.\r\n");
    if (reply != SERVICE_REPLY)
        return 0;
    std::fputs("travenor: the manager runs as a service for this user, without a window;\n"
               "stop it first (systemctl --user stop travenor) to use the window.\n",
               stderr);
    return 1;
}

// A service never asks the running manager for its window: it only reports that it
// does not start, with a status that tells systemd not to try again.
int refuseSecondService() {
    serviceNotice("a manager already runs for this user; the service does not start.");
    return 1;
}

// Without any display Qt would abort with its own message; a box without a desktop is
// what the service mode is for.
bool displayMissing() {
    auto unset = [](const char* name) {
        const char* value = std::getenv(name);
        return !value || !*value;
    };
    return unset("DISPLAY") && unset("WAYLAND_DISPLAY") && unset("QT_QPA_PLATFORM");
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
    platform::messageBox(platform::BoxOwner::None, problem, "Error", platform::MB_ICONERROR);
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

std::string answerRequest(MainDialog& dialog, bool service, const std::string& line) {
    if (service && line == "show")
        return SERVICE_REPLY;
    return answerInstanceRequest(dialog, line);
}

// Every way out of the event loop (Exit, a quit request, a signal) ends in endManager.
int runManager(QApplication& app, platform::SingleInstance& instance, bool service) {
    MainDialog dialog;
    dialog.initialise();
    if (!instance.listen([&dialog, service](const std::string& line) {
            return answerRequest(dialog, service, line);
        }))
        platform::debugTrace("Single-instance socket not available.\r\n");
    QObject::connect(&dialog, &QDialog::finished, &app, [&app](int result) { app.exit(result); });
    platform::onTerminationSignal([&app, &dialog](int signal) { onSignal(app, dialog, signal); });
    std::atexit(endOnProcessExit);
    if (service)
        serviceNotice("running without a window; store in %s, port links in %s.",
                      platform::storeFolder().c_str(), platform::deviceFolder().c_str());
    else
        dialog.show();
    app.exec();
    endManager();
    if (service && context.hostsSaved)
        serviceNotice("ended; every port stopped, current hosts saved.");
    else if (service)
        serviceNotice("ended; every port stopped; the current hosts could not be saved.");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CommandLine commandLine = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (commandLine.mode != StartMode::Window && commandLine.mode != StartMode::Service)
        return answerCommandLine(commandLine);
    bool service = commandLine.mode == StartMode::Service;
    if (service) {
        prepareServiceMode();
    } else if (displayMissing()) {
        std::fputs("travenor: no display (DISPLAY and WAYLAND_DISPLAY are not set); without a\n"
                   "desktop run the manager as a service: travenor --service\n",
                   stderr);
        return 1;
    }
    waitForBootDelay();
    // The command line is the manager's alone; Qt gets the program's name only.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    app.setDesktopFileName("quorvalink-redirector");
    // Hidden in the notification area is the manager's normal state, not an end.
    app.setQuitOnLastWindowClosed(false);
    if (service)
        enterServiceMode();
    std::string problem = folderProblem();
    platform::SingleInstance instance;
    if (problem.empty() && !instance.acquire()) {
        if (instance.problem().empty())
            return service ? refuseSecondService() : showRunningInstance(instance);
        problem = instance.problem();
    }
    if (!problem.empty())
        return refuseToStart(problem);
    portdriver::install();
    return runManager(app, instance, service);
}
