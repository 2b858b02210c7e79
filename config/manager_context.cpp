#include "config/manager_context.h"

#include "config/port_state.h"
#include "platform/process_state.h"

#include <algorithm>
#include <vector>

ManagerContext context;

namespace {
std::vector<void (*)()>& resets() {
    static std::vector<void (*)()> registered;
    return registered;
}
} // namespace

void onContextReset(void (*reset)()) {
    if (std::find(resets().begin(), resets().end(), reset) == resets().end())
        resets().push_back(reset);
}

void enterService() {
    ++context.serviceDepth;
    context.serviceBusy.store(1);
}

void leaveService() {
    if (context.serviceDepth > 0)
        --context.serviceDepth;
    if (context.serviceDepth == 0)
        context.serviceBusy.store(0);
}

void resetContext() {
    for (PortRecord& record : context.ports.records)
        clearPortRecord(record);
    context.highestPortIndex.store(0);
    context.threadRunning.store(1);
    context.serviceBusy.store(0);
    context.reconnectRunning.store(0);
    context.relayThreadStarted.store(0);
    context.socketsReady.store(0);
    context.relayWake.store(nullptr);
    context.serviceDepth = 0;
    context.endStage = ManagerContext::RUNNING;
    context.hostsSaved = true;
    for (auto& monitor : context.monitors)
        monitor.store(nullptr);
    resetImpossibleStateChanges();
    platform::resetProcessState();
    for (void (*reset)() : resets())
        reset();
}

void wakeRelay() {
    if (platform::AutoEvent* event = context.relayWake.load())
        event->set();
}
