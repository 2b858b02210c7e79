// A device connection that ends in the middle of a frame the device was sending (the
// device server was killed, or the connection reset, while it was writing). Device
// frames are cut by their length, so a cut frame's part in the inQueue would make the
// driver take the next connection's bytes, headers included, as its rest. The cut
// frame goes with its connection: the application reads the whole frames the device
// sent before the cut at once, nothing of the cut frame, and the next connection's
// frames whole.
#include "config/manager_context.h"
#include "config/port_table.h"
#include "platform/tick.h"
#include "tests/procedures/tick_driver.h"
#include "tests/support/manager_fixture.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

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

struct Cut {
    const char* where;
    size_t keep; // bytes of the 256-byte frame that arrive before the connection ends
};

void PrintTo(const Cut& cut, std::ostream* out) {
    *out << cut.where << " (" << cut.keep << " bytes)";
}

class CutFrame : public ManagerTest, public ::testing::WithParamInterface<Cut> {};

TEST_P(CutFrame, TheCutFrameGoesWithItsConnection) {
    const int slot = 1;
    int app = addConnectedPort(slot, "COM4", 1);
    ASSERT_GE(app, 0);

    // A whole frame and the cut one's beginning in one piece: the whole one does not
    // wait for the rest of the other.
    const Bytes before = {'b', 'e', 'f', 'o', 'r', 'e'};
    Bytes piece = dataFrame(before);
    Bytes cut = dataFrame(Bytes(256, 'a'));
    piece.insert(piece.end(), cut.begin(), cut.begin() + long(GetParam().keep));
    ASSERT_EQ(sim().sendRaw(1, piece), 1);
    Bytes got;
    ASSERT_TRUE(pumpUntil(
        [&] {
            Bytes more = readAvailable(app);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= before.size();
        },
        3000));
    EXPECT_EQ(got, before);

    sim().closeConnections(1);
    TickDriver ticks(100, reconnectionRunning);
    ASSERT_TRUE(pumpUntil([&] { return port(slot).state.load() == PORT_RECONNECTING; }, 5000));
    ASSERT_TRUE(pumpUntil([&] { return port(slot).state.load() == PORT_CONNECTED; }, 20000));

    // The device's next frame, on the new connection, is all the application reads.
    const Bytes next = {'n', 'e', 'x', 't', 0xF0, 0xE0};
    ASSERT_EQ(sim().sendRaw(1, dataFrame(next)), 1);
    got.clear();
    pumpUntil(
        [&] {
            Bytes more = readAvailable(app);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= next.size();
        },
        3000);
    pumpFor(50);
    Bytes more = readAvailable(app);
    got.insert(got.end(), more.begin(), more.end());
    EXPECT_EQ(got, next);
    ::close(app);
}

INSTANTIATE_TEST_SUITE_P(Cuts, CutFrame,
                         ::testing::Values(Cut{"AfterTheStartByte", 1}, Cut{"InTheLength", 3},
                                           Cut{"AfterTheHeader", 4}, Cut{"InTheData", 64},
                                           Cut{"BeforeTheLastDataByte", 259}),
                         [](const auto& info) { return std::string(info.param.where); });

} // namespace
