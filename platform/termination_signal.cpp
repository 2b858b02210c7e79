#include "platform/termination_signal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {
int signalPipe[2] = {-1, -1};

void writeSignal(int signal) {
    char byte = char(signal);
    // Nothing else is allowed in a signal handler; a full pipe already holds a request.
    [[maybe_unused]] ssize_t ignored = ::write(signalPipe[1], &byte, 1);
}
} // namespace

void onTerminationSignal(std::function<void(int signal)> callback) {
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier =
        new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [callback] {
        char bytes[16];
        ssize_t count = 0;
        while ((count = ::read(signalPipe[0], bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < count; ++i)
                callback(bytes[i]);
        }
    });
    struct sigaction action {};
    action.sa_handler = writeSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

} // namespace platform
