#include "platform/termination_signal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {
int signalPipe[2] = {-1, -1};

void writeSignal(int) {
    char byte = 1;
    // Nothing else is allowed in a signal handler; a full pipe already holds a request.
    [[maybe_unused]] ssize_t ignored = ::write(signalPipe[1], &byte, 1);
}
} // namespace

void onTerminationSignal(std::function<void()> callback) {
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier =
        new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [callback] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        callback();
    });
    struct sigaction action {};
    action.sa_handler = writeSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace platform
