#include "config/port_state.h"

#include "config/manager_context.h"
#include "platform/trace.h"

#include <atomic>

using platform::debugTrace;

struct PortStateWriter {
    static void store(OwnedValue<int, PortStateWriter>& cell, int value) {
        cell.value_.store(value);
    }
};

namespace {

std::atomic<uint32_t> impossibleMoves{0};

// The states each state may be left for (besides itself).
struct Move {
    int to;
    unsigned from; // bit per state value
};

constexpr unsigned bit(int state) {
    return 1u << state;
}

constexpr unsigned ANY = bit(PORT_STOPPED) | bit(PORT_CONNECTING) | bit(PORT_CONNECTED) |
                         bit(PORT_RECONNECTING) | bit(PORT_COM_OPENED) | bit(PORT_SWITCHING) |
                         bit(PORT_READY) | bit(PORT_DISCONNECTED);
constexpr unsigned IN_SERVICE = ANY & ~bit(PORT_STOPPED);

constexpr Move MOVES[] = {
    {PORT_STOPPED, ANY},
    {PORT_CONNECTING, bit(PORT_STOPPED) | bit(PORT_READY) | bit(PORT_DISCONNECTED)},
    {PORT_CONNECTED, bit(PORT_CONNECTING) | bit(PORT_RECONNECTING) | bit(PORT_SWITCHING)},
    {PORT_RECONNECTING, bit(PORT_CONNECTED)},
    {PORT_COM_OPENED, IN_SERVICE},
    {PORT_SWITCHING, IN_SERVICE},
    {PORT_READY, IN_SERVICE},
    {PORT_DISCONNECTED, bit(PORT_CONNECTING) | bit(PORT_RECONNECTING) | bit(PORT_SWITCHING)},
};

void store(int slot, int state) {
    PortRecord& record = port(slot);
    int from = record.state.load();
    if (!portStateMoveAllowed(from, state)) {
        impossibleMoves.fetch_add(1);
        debugTrace("Port %d: impossible state change %d -> %d\r\n", slot, from, state);
    } else if (from != state) {
        debugTrace("Port %d: state %d -> %d\r\n", slot, from, state);
    }
    PortStateWriter::store(record.state, state);
}

} // namespace

bool portStateMoveAllowed(int from, int to) {
    if (from == to)
        return true;
    if (from < 0 || from > 31)
        return false;
    for (const Move& move : MOVES)
        if (move.to == to)
            return (move.from & bit(from)) != 0;
    return false;
}

void setPortState(int slot, PortState state) {
    store(slot, state);
}

void setPortState(int slot, PortState state, int reason) {
    PortStateWriter::store(port(slot).reason, reason);
    store(slot, state);
}

void setPortReason(int slot, int reason) {
    PortStateWriter::store(port(slot).reason, reason);
}

uint32_t impossibleStateChanges() {
    return impossibleMoves.load();
}

void resetImpossibleStateChanges() {
    impossibleMoves.store(0);
}

void forcePortState(PortRecord& record, int state, int reason) {
    PortStateWriter::store(record.state, state);
    PortStateWriter::store(record.reason, reason);
}

void forcePortState(PortRecord& record, int state) {
    PortStateWriter::store(record.state, state);
}
