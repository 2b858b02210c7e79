// A watch on an event runs its callback on the UI thread once per signal, and only while
// armed; a signal that came while it was unarmed is not lost.
#include "platform/event_watch.h"

#include "platform/auto_event.h"
#include "tests/support/pump.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

namespace {

void ensureCoreApp() {
    static int argc = 1;
    static char name[] = "event_watch_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv); // never destroyed, as in the other UI tests
}

TEST(EventWatch, RunsOnlyWhileArmedAndKeepsASignalForTheArming) {
    ensureCoreApp();
    platform::AutoEvent event;
    int runs = 0;
    platform::EventWatch watch(
        &event, [&] { ++runs; }, /*armed=*/false);
    event.set();
    pumpFor(50);
    EXPECT_EQ(runs, 0) << "an unarmed watch leaves the signal on the event";
    watch.arm(true);
    EXPECT_TRUE(pumpUntil([&] { return runs == 1; }));
    pumpFor(50);
    EXPECT_EQ(runs, 1) << "the signal is taken once";
    event.set();
    EXPECT_TRUE(pumpUntil([&] { return runs == 2; }));
    watch.arm(false);
    event.set();
    pumpFor(50);
    EXPECT_EQ(runs, 2);
}

} // namespace
