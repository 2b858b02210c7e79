#include "config/port_state.h"

#include "config/manager_context.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

struct Move {
    int from;
    int to;
    bool allowed;
};

class PortStateMoves : public ::testing::TestWithParam<Move> {};

// The moves the procedures make, and some they never may.
TEST_P(PortStateMoves, FollowTheTable) {
    EXPECT_EQ(portStateMoveAllowed(GetParam().from, GetParam().to), GetParam().allowed)
        << GetParam().from << " -> " << GetParam().to;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PortStateMoves,
    ::testing::Values(
        Move{PORT_STOPPED, PORT_CONNECTING, true}, Move{PORT_CONNECTING, PORT_READY, true},
        Move{PORT_CONNECTING, PORT_STOPPED, true}, Move{PORT_READY, PORT_CONNECTING, true},
        Move{PORT_CONNECTING, PORT_CONNECTED, true}, Move{PORT_CONNECTING, PORT_DISCONNECTED, true},
        Move{PORT_CONNECTED, PORT_READY, true}, Move{PORT_CONNECTED, PORT_RECONNECTING, true},
        Move{PORT_RECONNECTING, PORT_CONNECTED, true},
        Move{PORT_RECONNECTING, PORT_DISCONNECTED, true},
        Move{PORT_CONNECTED, PORT_SWITCHING, true}, Move{PORT_SWITCHING, PORT_CONNECTED, true},
        Move{PORT_SWITCHING, PORT_COM_OPENED, true}, Move{PORT_COM_OPENED, PORT_READY, true},
        Move{PORT_DISCONNECTED, PORT_CONNECTING, true}, Move{PORT_RECONNECTING, PORT_STOPPED, true},
        Move{PORT_READY, PORT_READY, true}, Move{PORT_STOPPED, PORT_READY, false},
        Move{PORT_STOPPED, PORT_CONNECTED, false}, Move{PORT_STOPPED, PORT_COM_OPENED, false},
        Move{PORT_STOPPED, PORT_SWITCHING, false}, Move{PORT_READY, PORT_CONNECTED, false},
        Move{PORT_READY, PORT_RECONNECTING, false}, Move{PORT_CONNECTED, PORT_CONNECTING, false},
        Move{PORT_COM_OPENED, PORT_RECONNECTING, false}, Move{PORT_READY, 5, false}));

// A move is made only from the state the caller saw, with its reason in the same step;
// a move the table forbids is refused, counted and never written.
TEST(PortState, MovesOnlyFromTheStateSeenAndNeverAgainstTheTable) {
    resetContext();
    EXPECT_EQ(movePortState(3, PORT_STOPPED, PORT_CONNECTING), StateMove::Moved);
    EXPECT_EQ(movePortState(3, PORT_CONNECTING, PORT_READY, REASON_OK), StateMove::Moved);
    EXPECT_EQ(port(3).reason.load(), REASON_OK);
    EXPECT_EQ(movePortState(3, PORT_CONNECTING, PORT_STOPPED), StateMove::Changed);
    EXPECT_EQ(port(3).state.load(), PORT_READY);
    EXPECT_EQ(impossibleStateChanges(), 0u);

    EXPECT_EQ(movePortState(3, PORT_READY, PORT_CONNECTED, REASON_INTERNAL), StateMove::Forbidden);
    EXPECT_EQ(impossibleStateChanges(), 1u);
    EXPECT_EQ(port(3).state.load(), PORT_READY);
    EXPECT_EQ(port(3).reason.load(), REASON_OK);
    resetContext();
    EXPECT_EQ(impossibleStateChanges(), 0u);
}

// Two threads racing to move the same port from the same state: exactly one wins.
TEST(PortState, OfTwoRacingMovesExactlyOneIsMade) {
    for (int round = 0; round < 200; ++round) {
        resetContext();
        forcePortState(port(4), PORT_CONNECTED, REASON_OK);
        StateMove relay = StateMove::Changed;
        std::thread other([&] { relay = movePortState(4, PORT_CONNECTED, PORT_READY); });
        StateMove ui = movePortState(4, PORT_CONNECTED, PORT_SWITCHING);
        other.join();
        ASSERT_NE(relay == StateMove::Moved, ui == StateMove::Moved) << "round " << round;
        EXPECT_EQ(port(4).state.load(), ui == StateMove::Moved ? PORT_SWITCHING : PORT_READY);
    }
    resetContext();
}

} // namespace
