#include "tests/support/pump.h"

#include "platform/tick.h"
#include "platform/ui_thread.h"

#include <QCoreApplication>

#include <chrono>

void ensureEventLoop() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: worker threads of a failed test may still post to it.
    new QCoreApplication(argc, argv);
}

bool pumpUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (!platform::pumpOneMessage())
            platform::sleepMs(1);
    }
    return true;
}

void pumpFor(int milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline)
        if (!platform::pumpOneMessage())
            platform::sleepMs(1);
}
