#pragma once
// The one way a port's state and reason change. Every move is checked against the
// table at PortState (config/port_table.h) and traced; a move the table does not
// allow is traced as impossible and counted, so the tests catch it (the store still
// happens: a port is never left in a state nobody asked for).
//
// Any thread: the relay thread moves ports too (Reconnecting, Ready).
#include "config/port_table.h"

#include <cstdint>

// Sets state; with reason, sets that too (reason first, so that whoever sees the new
// state sees its reason).
void setPortState(int slot, PortState state);
void setPortState(int slot, PortState state, int reason);
// The reason alone (the Stop command's "stopped by the user").
void setPortReason(int slot, int reason);

// Whether the table allows the move; staying in a state is always allowed.
bool portStateMoveAllowed(int from, int to);

// How many impossible moves were made since the last reset (tests).
uint32_t impossibleStateChanges();
void resetImpossibleStateChanges();

// Test seam and the port table's reset: sets state and reason without any check.
void forcePortState(PortRecord& record, int state, int reason);
void forcePortState(PortRecord& record, int state);
