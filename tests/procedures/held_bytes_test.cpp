// What an application writes while its port's connection is being re-established is
// held, not dropped: it reaches the device once, in order, on the new connection. Its
// close is still seen at once.
#include "config/manager_context.h"
#include "driverlink/driver_link.h"
#include "platform/auto_event.h"
#include "platform/tick.h"
#include "tests/support/manager_fixture.h"
#include "tests/support/pump.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

using namespace platform;

namespace {

using HeldBytes = ManagerTest;

void wakeRelay() {
    if (AutoEvent* event = relayWakeEvent())
        event->set();
}

// The payloads of the DATA frames the device got, in arrival order.
std::string dataReceived(const vorlixsim::SimServer& sim) {
    std::string text;
    for (const vorlixsim::Frame& frame : sim.framesReceived(1))
        if (frame.command == 0x31)
            text.append(frame.bytes.begin() + 4, frame.bytes.end() - 1);
    return text;
}

// The device drops the connection and refuses new ones: the port is Reconnecting.
void loseDevice(vorlixsim::SimServer& sim, int slot) {
    sim.setBehaviour(1, vorlixsim::Behaviour::Refuse);
    sim.closeConnections(1);
    ASSERT_TRUE(pumpUntil([&] {
        wakeRelay();
        return port(slot).state.load() == PORT_RECONNECTING;
    }));
}

void write(int app, const std::string& text) {
    ASSERT_EQ(::write(app, text.data(), text.size()), ssize_t(text.size()));
}

TEST_F(HeldBytes, WrittenDuringReconnectionReachTheDeviceOnceInOrder) {
    const int slot = 2;
    int app = addConnectedPort(slot, "COM3", 1);
    ASSERT_GE(app, 0);
    write(app, "before|");
    ASSERT_TRUE(pumpUntil([&] { return dataReceived(sim()) == "before|"; }));

    loseDevice(sim(), slot);
    write(app, "during one|");
    write(app, "during two|");
    pumpFor(100);
    EXPECT_EQ(dataReceived(sim()), "before|");

    sim().setBehaviour(1, vorlixsim::Behaviour::Normal);
    ASSERT_TRUE(pumpUntil(
        [&] {
            addTickOffset(500); // the cycle waits pass without waiting
            return port(slot).state.load() == PORT_CONNECTED;
        },
        10000));
    write(app, "after|");
    ASSERT_TRUE(pumpUntil([&] { return dataReceived(sim()).size() >= 40; }));
    pumpFor(50);
    EXPECT_EQ(dataReceived(sim()), "before|during one|during two|after|");
    EXPECT_EQ(port(slot).reason.load(), REASON_OK);
    ::close(app);
}

TEST_F(HeldBytes, CloseDuringReconnectionIsSeenAndNothingReachesTheDevice) {
    const int slot = 4;
    int app = addConnectedPort(slot, "COM5", 1);
    ASSERT_GE(app, 0);
    loseDevice(sim(), slot);
    size_t framesBefore = sim().framesReceived(1).size();
    write(app, std::string(6000, 'x')); // more than the outQueue holds
    ::close(app);

    ASSERT_TRUE(pumpUntil(
        [&] {
            addTickOffset(500);
            return port(slot).state.load() == PORT_READY;
        },
        10000));
    EXPECT_EQ(port(slot).relayActive.load(), 0);
    EXPECT_EQ(sim().framesReceived(1).size(), framesBefore);
}

} // namespace
