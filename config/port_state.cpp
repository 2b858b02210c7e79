#include "config/port_state.h"

#include "config/manager_context.h"
#include "platform/trace.h"

#include <atomic>

using platform::debugTrace;

struct PortStateWriter {
    static bool exchange(PortStatus& status, PortStatus::Value& seen, PortStatus::Value wanted) {
        uint64_t expected = PortStatus::pack(seen);
        bool swapped = status.word_.compare_exchange_strong(expected, PortStatus::pack(wanted));
        seen = PortStatus::unpack(expected);
        return swapped;
    }
    static void store(PortStatus& status, PortStatus::Value value) {
        status.word_.store(PortStatus::pack(value));
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

StateMove move(int slot, int from, int to, const int* reason) {
    if (!portStateMoveAllowed(from, to)) {
        impossibleMoves.fetch_add(1);
        debugTrace("Port %d: impossible state change %d -> %d refused\r\n", slot, from, to);
        return StateMove::Forbidden;
    }
    PortStatus& status = port(slot).status;
    PortStatus::Value seen = status.load();
    for (;;) {
        if (seen.state != from)
            return StateMove::Changed;
        // Only the reason can change under us (setPortReason); the state decides.
        if (PortStateWriter::exchange(status, seen, {to, reason ? *reason : seen.reason}))
            break;
    }
    if (from != to)
        debugTrace("Port %d: state %d -> %d\r\n", slot, from, to);
    return StateMove::Moved;
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

StateMove movePortState(int slot, int from, int to) {
    return move(slot, from, to, nullptr);
}

StateMove movePortState(int slot, int from, int to, int reason) {
    return move(slot, from, to, &reason);
}

void setPortReason(int slot, int reason) {
    PortStatus& status = port(slot).status;
    PortStatus::Value seen = status.load();
    while (!PortStateWriter::exchange(status, seen, {seen.state, reason})) {
    }
}

uint32_t impossibleStateChanges() {
    return impossibleMoves.load();
}

void resetImpossibleStateChanges() {
    impossibleMoves.store(0);
}

void forcePortState(PortRecord& record, int state, int reason) {
    PortStateWriter::store(record.status, {state, reason});
}

void forcePortState(PortRecord& record, int state) {
    forcePortState(record, state, record.reason.load());
}
