#pragma once
// The one way a port's state and reason change: a compare-and-set. A move happens only
// from the state the caller saw, and only if the table at PortState
// (config/port_table.h) allows it; the reason is published with the state in one step.
// A move the table forbids is refused, traced and counted (the tests catch it), never
// written; a move from a state the port has left meanwhile is refused too, and the
// caller decides again from what the port is now.
//
// Any thread: the relay thread moves ports too (Reconnecting, Ready).
#include "config/port_table.h"

#include <cstdint>

enum class StateMove {
    Moved,
    Changed,   // the port was no longer in the state the caller saw: nothing written
    Forbidden, // the table does not allow the move: nothing written
};

// Moves the port from `from` to `to`, keeping its reason, or with reason.
StateMove movePortState(int slot, int from, int to);
StateMove movePortState(int slot, int from, int to, int reason);
// The reason alone, whatever the state (the Stop command's "stopped by the user").
void setPortReason(int slot, int reason);

// Whether the table allows the move; staying in a state is always allowed.
bool portStateMoveAllowed(int from, int to);

// How many forbidden moves were asked for since the last reset (tests).
uint32_t impossibleStateChanges();
void resetImpossibleStateChanges();

// Test seam and the port table's reset: sets state and reason without any check.
void forcePortState(PortRecord& record, int state, int reason);
void forcePortState(PortRecord& record, int state);
