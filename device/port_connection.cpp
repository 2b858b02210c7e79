#include "device/port_connection.h"

#include "config/manager_context.h"
#include "device/device_protocol.h"
#include "device/device_socket.h"
#include "platform/thread_annotations.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

using platform::AsyncSocket;
using platform::MutexLock;

namespace {

// Room for the frames one relay pass sends at once (32 whole DATA frames).
constexpr int TX_BUFFER_SIZE = 32 * 517;

// A port's connection and its bookkeeping, owned here. The socket and the count of the
// port's connections are read by any thread and changed only here, under relayLock. The
// frames on their way to the device, whole and in order (txFrame[txSent .. txSent +
// txPending) is what the socket has not taken yet; several frames go out in one send),
// the connection they are for and the protocol that wrote them, and the last serial
// settings sent (for the replay after a reconnection or switch) are reached only with
// relayLock held (books()).
struct Connection {
    std::atomic<DeviceSocket*> socket{nullptr};
    std::atomic<uint32_t> serial{0}; // counts the connections the port has had
    // TX_BUFFER_SIZE, or more while frames held for a lost connection, written again
    // for a server of another kind, take more room in its words.
    std::vector<uint8_t> txFrame = std::vector<uint8_t>(TX_BUFFER_SIZE);
    int txPending = 0;
    int txSent = 0;
    uint32_t txSerial = 0;                      // the connection the frames are for
    std::shared_ptr<DeviceProtocol> txProtocol; // the protocol they are written in
    uint8_t serialParams[3] = {};
    int modemControl = -1;           // the last MCR asked for, -1 before the first
    std::atomic<int> windingDown{0}; // the port's connections ClosingConnection holds
};

Connection connections[PORT_SLOTS];

Connection& connectionOfSlot(const PortRecord& record) {
    return connections[slotOf(record)];
}

// The bookkeeping, for whoever holds the port's relayLock.
Connection& books(PortRecord& record) REQUIRES(record.relayLock) {
    return connectionOfSlot(record);
}

DeviceSocket* exchangeConnection(PortRecord& record, DeviceSocket* socket)
    REQUIRES(record.relayLock) {
    Connection& connection = books(record);
    if (socket)
        connection.serial.fetch_add(1);
    return connection.socket.exchange(socket);
}

void destroyRetired();

// No connection is left when the context is reset (the ports were stopped), nor a socket
// let go whose queued free the event loop did not run.
void forgetConnections() {
    destroyRetired();
    for (Connection& connection : connections) {
        connection.socket.store(nullptr);
        connection.windingDown.store(0);
        connection.txPending = 0;
        connection.txSent = 0;
        connection.txSerial = 0;
        connection.txProtocol.reset();
        std::fill(std::begin(connection.serialParams), std::end(connection.serialParams), 0);
    }
}
const bool connectionsReset = (onContextReset(forgetConnections), true);

// The silence rule fires at the relay thread's next pass: 120000 ms plus a margin.
constexpr uint32_t CONNECTION_LOST_SILENCE_MS = 120100;
// While a closing connection's frames wait for room in its socket.
constexpr uint32_t PENDING_LOOK_MS = 5;

// Sockets another thread let go, for the UI thread to free. They cross in a list under a
// lock rather than inside the queued call: Qt's event queue hands the call over with
// futexes the thread checker cannot see, and this hand-over is then plain to it.
platform::Mutex retiredLock;
std::vector<DeviceSocket*> retiredSockets GUARDED_BY(retiredLock);

void destroyRetired() {
    std::vector<DeviceSocket*> sockets;
    {
        platform::MutexLock lock(retiredLock);
        sockets.swap(retiredSockets);
    }
    for (DeviceSocket* socket : sockets)
        delete socket;
}

// Frees a socket that is no longer any port's connection, on the UI thread.
void destroyLater(DeviceSocket* socket) {
    if (platform::isUiThread()) {
        delete socket;
        return;
    }
    {
        platform::MutexLock lock(retiredLock);
        retiredSockets.push_back(socket);
    }
    // Through the manager's own message queue, not a Qt queued call: the thread
    // checker sees its lock hand the call over, and not Qt's.
    platform::postToUiThread([] { destroyRetired(); });
}

// Where the unit the socket took part of ends (0 when it has taken nothing yet),
// measured with the protocol that wrote it; nothing when the bytes do not tell.
std::optional<size_t> endOfBegunUnit(const Connection& tx) {
    size_t end = size_t(tx.txSent + tx.txPending);
    size_t at = 0;
    while (at < size_t(tx.txSent)) {
        size_t size =
            tx.txProtocol ? tx.txProtocol->sentUnitSize({tx.txFrame.data() + at, end - at}) : 0;
        if (size == 0 || at + size > end)
            return std::nullopt;
        at += size;
    }
    return at;
}

// The pending frames from `from` on, none of them sent yet, are all that is pending.
void keepFrom(Connection& tx, size_t from) {
    size_t end = size_t(tx.txSent + tx.txPending);
    std::memmove(tx.txFrame.data(), tx.txFrame.data() + from, end - from);
    tx.txSent = 0;
    tx.txPending = int(end - from);
}

// The frames after the one the socket took only part of: those go to the next
// connection whole, that one is lost with this connection.
void keepWholeFrames(PortRecord& record) REQUIRES(record.relayLock) {
    std::optional<size_t> begun = endOfBegunUnit(books(record));
    if (!begun)
        dropPendingFrame(record);
    else
        keepFrom(books(record), *begun);
}

// Takes the connection out of the record. A frame partly sent on it goes with it; the
// frames of which nothing went out stay for the next connection.
DeviceSocket* takeConnection(PortRecord& record) REQUIRES(record.relayLock) {
    keepWholeFrames(record);
    return exchangeConnection(record, nullptr);
}

void shutDownAndDestroy(DeviceSocket* socket) {
    if (!socket)
        return;
    socket->ShutDown(AsyncSocket::SD_BOTH);
    if (platform::isUiThread())
        socket->Close();
    destroyLater(socket);
}

} // namespace

bool windingDown(const PortRecord& record) {
    return connectionOfSlot(record).windingDown.load() > 0;
}

void retireConnection(PortRecord& record) {
    if (!context.relayWake.load()) {
        dropConnection(record);
        return;
    }
    {
        MutexLock lock(record.relayLock);
        std::optional<ClosingConnection> closing =
            ClosingConnection::retire(record, platform::getTickCount());
        if (!closing)
            return;
        handOverClosing(std::move(*closing));
    }
    wakeRelay();
}

DeviceSocket* newConnection(int slot) {
    PortRecord& record = port(slot);
    dropConnection(record);
    std::shared_ptr<DeviceProtocol> protocol =
        makeProtocol(protocolFor(currentHost(record).address));
    DeviceSocket* socket = new (std::nothrow) DeviceSocket(slot, std::move(protocol));
    if (!socket)
        return nullptr;
    MutexLock lock(record.relayLock);
    exchangeConnection(record, socket);
    return socket;
}

void dropConnection(PortRecord& record) {
    DeviceSocket* socket = nullptr;
    {
        MutexLock lock(record.relayLock);
        socket = takeConnection(record);
    }
    shutDownAndDestroy(socket);
}

void dropConnectionOf(PortRecord& record, uint32_t serial) {
    DeviceSocket* socket = nullptr;
    {
        MutexLock lock(record.relayLock);
        if (connectionSerialOf(record) == serial)
            socket = takeConnection(record);
    }
    shutDownAndDestroy(socket);
}

std::optional<ClosingConnection> ClosingConnection::take(PortRecord& record, uint32_t now) {
    DeviceSocket* socket = connectionOf(record);
    if (!socket)
        return std::nullopt;
    ClosingConnection closing;
    closing.socket_ = socket;
    const Connection& tx = books(record);
    closing.frames_.assign(tx.txFrame.begin() + tx.txSent,
                           tx.txFrame.begin() + tx.txSent + tx.txPending);
    closing.since_ = now;
    // A server whose session is the connection hears the close as TCP's orderly one.
    uint8_t close[MAX_CONTROL_UNIT_SIZE];
    closing.orderly_ = socket->protocol().putClose(close) == 0;
    dropPendingFrame(record);
    books(record).windingDown.fetch_add(1);
    // From now on the socket's notifications leave the port alone.
    socket->retired.store(true);
    exchangeConnection(record, nullptr);
    return closing;
}

std::optional<ClosingConnection> ClosingConnection::retire(PortRecord& record, uint32_t now) {
    DeviceSocket* socket = connectionOf(record);
    if (!socket)
        return std::nullopt;
    Connection& tx = books(record);
    // Up to the end of the frame the socket took part of, the old connection's; when the
    // bytes do not tell where it ends, the old connection finishes all of them.
    size_t cut = endOfBegunUnit(tx).value_or(size_t(tx.txSent + tx.txPending));
    ClosingConnection closing;
    closing.socket_ = socket;
    closing.frames_.assign(tx.txFrame.begin() + tx.txSent, tx.txFrame.begin() + ptrdiff_t(cut));
    closing.since_ = now;
    closing.orderly_ = true;
    tx.windingDown.fetch_add(1);
    keepFrom(tx, cut);
    socket->retired.store(true);
    exchangeConnection(record, nullptr);
    return closing;
}

bool ClosingConnection::windDown(uint32_t now, uint32_t& wait) {
    while (!allSent_ && sent_ < frames_.size()) {
        int error = 0;
        int sent = socket_->Send(frames_.data() + sent_, int(frames_.size() - sent_), 0, &error);
        if (sent == AsyncSocket::SOCKET_ERROR) {
            if (error != AsyncSocket::WSAEWOULDBLOCK)
                allSent_ = true; // the connection has failed: nothing more will go
            break;
        }
        sent_ += size_t(sent);
    }
    if (!allSent_ && sent_ == frames_.size()) {
        allSent_ = true;
        sentAt_ = now;
    }
    if (!allSent_ && now - since_ >= SEND_LIMIT_MS) {
        platform::debugTrace("CLOSE not delivered: the device takes nothing\r\n");
        allSent_ = true;
        sentAt_ = now - CLOSE_GRACE_MS;
    }
    // Dropped with bytes the device has not acknowledged, and the device's next bytes
    // would reset the connection and lose them: a slow device gets its send limit.
    bool delivered = socket_->UnsentBytes() == 0 || now - since_ >= SEND_LIMIT_MS;
    if (orderly_ && allSent_ && delivered && !shut_) {
        // Our FIN, the device's FIN (what it sends meanwhile is read and dropped).
        // Closing on bytes not yet read would reset the connection, and a device may
        // throw away what it has not passed on yet.
        socket_->ShutDown(AsyncSocket::SD_SEND);
        shut_ = true;
        sentAt_ = now;
    }
    bool ended = !orderly_ || socket_->peerClosed.load() || now - sentAt_ >= CLOSE_GRACE_MS * 5;
    if (allSent_ && (orderly_ ? shut_ && ended : now - sentAt_ >= CLOSE_GRACE_MS && delivered)) {
        drop();
        return true;
    }
    uint32_t left = allSent_ && !orderly_ && now - sentAt_ < CLOSE_GRACE_MS
                        ? CLOSE_GRACE_MS - (now - sentAt_)
                        : PENDING_LOOK_MS;
    wait = std::min(wait, left);
    return false;
}

void ClosingConnection::drop() {
    DeviceSocket* socket = std::exchange(socket_, nullptr);
    if (!socket)
        return;
    connections[socket->portSlot].windingDown.fetch_sub(1);
    shutDownAndDestroy(socket);
}

namespace {
platform::Mutex handOverLock;
std::vector<ClosingConnection> handedOver GUARDED_BY(handOverLock);
} // namespace

void handOverClosing(ClosingConnection closing) {
    MutexLock lock(handOverLock);
    handedOver.push_back(std::move(closing));
}

std::vector<ClosingConnection> takeHandedOver() {
    MutexLock lock(handOverLock);
    return std::exchange(handedOver, {});
}

void closeConnection(PortRecord& record) {
    DeviceSocket* socket = nullptr;
    {
        MutexLock lock(record.relayLock);
        record.relayActive.store(0);
        platform::debugTrace("VXD_WRITE_SOCKET : [CLOSE]\r\n");
        // Frames held from a lost connection are not this one's to send. Those pending
        // on it go first, whole; CLOSE follows them, so the device never reads it as data
        // (and what the socket does not take before the drop is lost, CLOSE with it).
        if (books(record).txPending != 0 && books(record).txSerial != connectionSerialOf(record))
            dropPendingFrame(record);
        if (queueClose(record))
            sendPendingFrame(record);
        dropPendingFrame(record);
        socket = takeConnection(record);
    }
    shutDownAndDestroy(socket);
}

namespace {

// The connection's protocol, for whoever holds the port's relayLock (which keeps the
// connection from being replaced).
DeviceProtocol* protocolOf(PortRecord& record) REQUIRES(record.relayLock) {
    DeviceSocket* socket = connectionOf(record);
    return socket ? &socket->protocol() : nullptr;
}

// Where the driver's requests may fill the pending frames to: TX_BUFFER_SIZE. The room
// beyond (made for a server's answers, or taken by held frames written again for a
// server of another kind) is not theirs, so answers still find room once the relay has
// filled its own.
size_t requestEnd(const Connection& tx) {
    return std::min(tx.txFrame.size(), size_t(TX_BUFFER_SIZE));
}

bool frameFits(PortRecord& record, size_t length, bool answer = false) REQUIRES(record.relayLock) {
    Connection& tx = books(record);
    size_t end = answer ? tx.txFrame.size() : requestEnd(tx);
    return size_t(tx.txSent + tx.txPending) + length <= end;
}

// Frames queued on an empty buffer belong to the port's connection of the moment, and
// are written in its protocol.
void noteOwner(PortRecord& record) REQUIRES(record.relayLock) {
    Connection& tx = books(record);
    if (tx.txPending != 0)
        return;
    tx.txSent = 0;
    tx.txSerial = connectionSerialOf(record);
    DeviceSocket* socket = connectionOf(record);
    if (socket && tx.txProtocol != socket->sharedProtocol())
        tx.txProtocol = socket->sharedProtocol();
}

bool queueBytes(PortRecord& record, const uint8_t* frame, size_t length, bool answer = false)
    REQUIRES(record.relayLock) {
    Connection& tx = books(record);
    noteOwner(record);
    if (!frameFits(record, length, answer))
        return false;
    std::memcpy(tx.txFrame.data() + tx.txSent + tx.txPending, frame, length);
    tx.txPending += int(length);
    return true;
}

// put writes one request's bytes (at most MAX_CONTROL_UNIT_SIZE) with the connection's
// protocol.
template <typename Put> bool queueRequest(PortRecord& record, Put put) REQUIRES(record.relayLock) {
    DeviceProtocol* protocol = protocolOf(record);
    if (!protocol)
        return false;
    std::array<uint8_t, MAX_CONTROL_UNIT_SIZE> unit{};
    return queueBytes(record, unit.data(), put(*protocol, std::span<uint8_t>(unit)));
}

// Makes the request the pending frame and sends what the socket takes at once. False,
// and nothing sent, when a frame is pending already or the port has no connection.
template <typename Put> bool sendRequest(PortRecord& record, Put put) REQUIRES(record.relayLock) {
    if (books(record).txPending != 0 || !connectionOf(record))
        return false;
    queueRequest(record, put);
    sendPendingFrame(record);
    return true;
}

void rememberSettings(PortRecord& record, const uint8_t settings[3]) REQUIRES(record.relayLock) {
    std::copy(settings, settings + 3, books(record).serialParams);
}

} // namespace

bool queueSettings(PortRecord& record, const uint8_t settings[3]) {
    rememberSettings(record, settings);
    return queueRequest(record, [settings](const DeviceProtocol& protocol, std::span<uint8_t> out) {
        return protocol.putSettings(out, settings);
    });
}

bool queueModemControl(PortRecord& record, uint8_t value) {
    books(record).modemControl = value;
    return queueRequest(record, [value](const DeviceProtocol& protocol, std::span<uint8_t> out) {
        return protocol.putModemControl(out, value);
    });
}

bool queueClose(PortRecord& record) {
    return queueRequest(record, [](const DeviceProtocol& protocol, std::span<uint8_t> out) {
        return protocol.putClose(out);
    });
}

namespace {

// The data units behind the first one the socket has not begun, held back for this
// connection; a unit begun (partly sent) goes on whole. The units are measured with the
// protocol that wrote them.
void dropUnsentData(PortRecord& record) REQUIRES(record.relayLock) {
    Connection& tx = books(record);
    const DeviceProtocol* protocol = tx.txProtocol.get();
    if (tx.txPending == 0 || !protocol)
        return;
    std::optional<size_t> begun = endOfBegunUnit(tx);
    if (!begun)
        return; // the bytes do not tell where units end: leave them
    size_t end = size_t(tx.txSent + tx.txPending);
    size_t at = *begun;
    size_t kept = at;
    size_t dropped = 0;
    while (at < end) {
        std::span<const uint8_t> rest(tx.txFrame.data() + at, end - at);
        size_t size = protocol->sentUnitSize(rest);
        if (size == 0 || at + size > end)
            size = end - at; // cannot be measured: kept as it is
        else if (protocol->isDataUnit(rest.first(size))) {
            dropped += size;
            at += size;
            continue;
        }
        std::memmove(tx.txFrame.data() + kept, tx.txFrame.data() + at, size);
        kept += size;
        at += size;
    }
    tx.txPending = int(kept) - tx.txSent;
    if (dropped != 0)
        platform::debugTrace("Output flush: %zu bytes not sent\r\n", dropped);
}

// A kind of server that has no such request is told nothing; the trace says so.
template <typename Put>
bool queueOptional(PortRecord& record, const char* what, Put put) REQUIRES(record.relayLock) {
    size_t written = 0;
    bool queued = queueRequest(record, [&](const DeviceProtocol& protocol, std::span<uint8_t> out) {
        written = put(protocol, out);
        return written;
    });
    if (queued && written == 0)
        platform::debugTrace("%s: nothing on the wire for this kind of device server\r\n", what);
    return queued;
}

} // namespace

bool queuePurge(PortRecord& record, uint8_t which) {
    if (which & PURGE_TRANSMIT)
        dropUnsentData(record);
    return queueOptional(record, "PURGE", [which](const DeviceProtocol& protocol, auto out) {
        return protocol.putPurge(out, which);
    });
}

bool queueBreak(PortRecord& record, bool on) {
    return queueOptional(record, "BREAK", [on](const DeviceProtocol& protocol, auto out) {
        return protocol.putBreak(out, on);
    });
}

void sendAnswers(PortRecord& record, const DeviceSocket* socket, std::span<const uint8_t> answers) {
    MutexLock lock(record.relayLock);
    if (answers.empty() || connectionOf(record) != socket)
        return;
    // The relay may have filled its room while the server reads nothing: the answers
    // get room beyond it rather than be lost (up to as much again as the usual).
    Connection& tx = books(record);
    size_t needed = size_t(tx.txSent + tx.txPending) + answers.size();
    if (needed > tx.txFrame.size() && needed <= 2 * size_t(TX_BUFFER_SIZE))
        tx.txFrame.resize(needed);
    if (!queueBytes(record, answers.data(), answers.size(), true)) {
        platform::debugTrace("Answer to the device dropped: no room behind the pending frames\r\n");
        return;
    }
    sendPendingFrame(record);
}

bool sendOpen(PortRecord& record) {
    dropPendingFrame(record);
    books(record).modemControl = -1;
    return sendRequest(record, [](const DeviceProtocol& protocol, std::span<uint8_t> out) {
        return protocol.putOpen(out);
    });
}

// Written straight into the pending frames: DATA is most of what goes out.
bool queueData(PortRecord& record, const uint8_t* payload, int length) {
    DeviceProtocol* protocol = protocolOf(record);
    if (!protocol)
        return false;
    Connection& tx = books(record);
    noteOwner(record);
    size_t used = size_t(tx.txSent + tx.txPending);
    if (used >= requestEnd(tx))
        return false;
    std::span<uint8_t> room(tx.txFrame.data() + used, requestEnd(tx) - used);
    size_t size = protocol->putData(room, {payload, size_t(length)});
    tx.txPending += int(size);
    return size != 0;
}

bool roomForRequest(PortRecord& record) {
    DeviceProtocol* protocol = protocolOf(record);
    return protocol && frameFits(record, protocol->largestUnitSize());
}

int sendPendingFrame(PortRecord& record) {
    Connection& tx = books(record);
    DeviceSocket* socket = connectionOf(record);
    int pending = tx.txPending;
    if (!socket || pending == 0)
        return 0;
    int error = 0;
    int sent = socket->Send(tx.txFrame.data() + tx.txSent, pending, 0, &error);
    if (sent == AsyncSocket::SOCKET_ERROR) {
        if (record.relayActive.load() && error != AsyncSocket::WSAEWOULDBLOCK) {
            markConnectionLost(record);
            keepWholeFrames(record);
        }
        return sent;
    }
    if (sent < pending)
        platform::debugTrace("S"); // the rest goes out on a later pass instead of being lost
    tx.txSent += sent;
    tx.txPending = pending - sent;
    if (tx.txPending == 0)
        tx.txSent = 0;
    return sent;
}

void dropPendingFrame(PortRecord& record) {
    Connection& tx = books(record);
    tx.txPending = 0;
    tx.txSent = 0;
}

bool framesPending(PortRecord& record) {
    return books(record).txPending != 0;
}

UnsentFrames unsentFrames(PortRecord& record) {
    const Connection& tx = books(record);
    const uint8_t* rest = tx.txFrame.data() + tx.txSent;
    return {std::vector<uint8_t>(rest, rest + tx.txPending), tx.txSent != 0};
}

std::array<uint8_t, 3> lastSettings(PortRecord& record) {
    const uint8_t* settings = books(record).serialParams;
    return {settings[0], settings[1], settings[2]};
}

DeviceSocket* connectionOf(const PortRecord& record) {
    return connectionOfSlot(record).socket.load();
}

uint32_t connectionSerialOf(const PortRecord& record) {
    return connectionOfSlot(record).serial.load();
}

namespace {

void append(std::vector<uint8_t>& out, std::span<const uint8_t> unit, size_t size) {
    out.insert(out.end(), unit.begin(), unit.begin() + ptrdiff_t(size));
}

// Frames held for a lost connection, in the words of a server of another kind: their
// data (OPEN, the settings and the modem lines are sent anew before them). False when
// the held bytes do not read as whole units.
bool rewriteHeld(const DeviceProtocol& from, const DeviceProtocol& to,
                 std::span<const uint8_t> held, std::vector<uint8_t>& out) {
    std::vector<uint8_t> data;
    for (size_t at = 0; at < held.size();) {
        size_t size = from.readHeldUnit(held.subspan(at), data);
        if (size == 0 || at + size > held.size())
            return false;
        at += size;
    }
    std::vector<uint8_t> unit(to.largestUnitSize());
    for (size_t at = 0; at < data.size(); at += MAX_DATA_LENGTH) {
        size_t length = std::min(MAX_DATA_LENGTH, data.size() - at);
        append(out, unit, to.putData(unit, std::span<const uint8_t>(data).subspan(at, length)));
    }
    return true;
}

} // namespace

// OPEN and the last settings, then the frames held from the lost connection: as they
// were written for a server of the same kind, in the new server's words for another.
// A new server of another kind, or one that keeps its modem lines with the connection
// (all but Vorlix), is also told the modem lines the application last asked for.
void resumeSession(PortRecord& record) {
    DeviceProtocol* protocol = protocolOf(record);
    if (!protocol)
        return;
    Connection& tx = books(record);
    bool sameKind = tx.txProtocol && tx.txProtocol->kind() == protocol->kind();
    std::vector<uint8_t> frames;
    std::array<uint8_t, MAX_CONTROL_UNIT_SIZE> unit{};
    append(frames, unit, protocol->putOpen(unit));
    append(frames, unit, protocol->putSettings(unit, tx.serialParams));
    if (tx.modemControl >= 0 && !(sameKind && protocol->kind() == ProtocolKind::Vorlix))
        append(frames, unit, protocol->putModemControl(unit, uint8_t(tx.modemControl)));
    std::span<const uint8_t> held(tx.txFrame.data(), tx.txSent == 0 ? size_t(tx.txPending) : 0);
    if (sameKind)
        frames.insert(frames.end(), held.begin(), held.end());
    else if (!held.empty() &&
             !(tx.txProtocol && rewriteHeld(*tx.txProtocol, *protocol, held, frames)))
        platform::debugTrace(
            "Frames held for another kind of device could not be read; dropped\r\n");
    tx.txPending = int(frames.size());
    frames.resize(std::max(frames.size(), size_t(TX_BUFFER_SIZE)));
    tx.txFrame = std::move(frames);
    tx.txSent = 0;
    tx.txSerial = connectionSerialOf(record);
    tx.txProtocol = connectionOf(record)->sharedProtocol();
    sendPendingFrame(record);
}

// The keep-alive goes through the port's pending frame, so it never lands in the middle
// of a DATA frame the relay thread has only partly sent; while one is pending it is left
// out, the data itself keeps the connection busy.
void sendKeepAlives() {
    int last = std::min<int>(context.highestPortIndex.load(), PORT_SLOTS - 1);
    for (int slot = 0; slot <= last; ++slot) {
        PortRecord& record = port(slot);
        if (record.state.load() != PORT_CONNECTED)
            continue;
        MutexLock lock(record.relayLock);
        sendRequest(record, [](const DeviceProtocol& protocol, std::span<uint8_t> out) {
            return protocol.putKeepAlive(out);
        });
    }
}

void markConnectionLost(PortRecord& record) {
    if (record.state.load() != PORT_CONNECTED)
        return;
    if (DeviceSocket* socket = connectionOf(record))
        socket->lost.store(true);
    record.lastRxTick.store(platform::getTickCount() - CONNECTION_LOST_SILENCE_MS);
    wakeRelay(); // it starts the reconnection now, not at its next look
}
