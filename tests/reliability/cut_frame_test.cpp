// A device connection that ends in the middle of a DATA frame the device was sending
// (the device server was killed, or the connection reset, while it was writing): the
// part of the frame that arrived must not swallow what the next connection brings.
// Device frames are cut by their length, so the driver reading the inQueue takes the
// cut frame's declared length from whatever follows it.
//
// This fails today: the receive path puts every byte into the inQueue as it comes, and
// the cut frame takes the next connection's frames as its payload (docs/reliability.md,
// "Found and not mended"). It is disabled so that the suite stays green until the
// receive path or the driver drops a frame its connection cut; run it with
// --gtest_also_run_disabled_tests, and enable it with that mend.
#include "config/manager_context.h"
#include "config/port_table.h"
#include "platform/tick.h"
#include "tests/procedures/tick_driver.h"
#include "tests/support/manager_fixture.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>

#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

using CutFrame = ManagerTest;

Bytes dataFrame(const Bytes& payload) {
    Bytes frame;
    frame.reserve(payload.size() + 5);
    for (uint8_t byte :
         {uint8_t(0xF0), uint8_t(0x31), uint8_t(payload.size() >> 8), uint8_t(payload.size())})
        frame.push_back(byte);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(0xE0);
    return frame;
}

Bytes readAvailable(int app) {
    Bytes got;
    uint8_t buffer[1024];
    ssize_t n = 0;
    while ((n = ::read(app, buffer, sizeof buffer)) > 0)
        got.insert(got.end(), buffer, buffer + n);
    return got;
}

TEST_F(CutFrame, DISABLED_ACutDeviceFrameDoesNotSwallowTheNextConnectionsBytes) {
    const int slot = 1;
    int app = addConnectedPort(slot, "COM4", 1);
    ASSERT_GE(app, 0);

    // 60 of a 256-byte frame's payload arrive, then the connection ends.
    Bytes cut = dataFrame(Bytes(256, 'a'));
    cut.resize(4 + 60);
    sim().sendRaw(1, cut);
    pumpFor(100);
    sim().closeConnections(1);
    TickDriver ticks(100, reconnectionRunning);
    ASSERT_TRUE(pumpUntil([&] { return port(slot).state.load() == PORT_RECONNECTING; }, 5000));
    ASSERT_TRUE(pumpUntil([&] { return port(slot).state.load() == PORT_CONNECTED; }, 20000));

    // The device's next frame, on the new connection, reaches the application whole.
    const Bytes next = {'n', 'e', 'x', 't', 0xF0, 0xE0};
    ASSERT_EQ(sim().sendRaw(1, dataFrame(next)), 1);
    Bytes got;
    pumpUntil(
        [&] {
            Bytes more = readAvailable(app);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= next.size() &&
                   std::search(got.begin(), got.end(), next.begin(), next.end()) != got.end();
        },
        3000);
    ASSERT_GE(got.size(), next.size()) << "the new connection's frame was swallowed";
    Bytes tail(got.end() - long(next.size()), got.end());
    EXPECT_EQ(tail, next);
    // Whatever came before it is part of the cut frame's payload, nothing of a header.
    for (size_t i = 0; i + next.size() < got.size(); ++i)
        EXPECT_EQ(got[i], 'a') << "byte " << i << " of what the application read";
    ::close(app);
}

} // namespace
