#pragma once
// The one owner of a port's connection to its device server and of the connection's
// bookkeeping: the pending frames (txFrame, txPending), the connection they are for, the
// count of the port's connections, and the last serial settings sent. A connection is
// created, replaced and destroyed only here, and only under the port's relayLock, so the
// relay thread, which sends on it under the same lock, never meets a socket that is being
// destroyed. Other layers reach these only through the functions below.
//
// Frames go out whole and in order: whatever the socket does not take at once stays
// pending and goes out before anything else; while a frame is pending no new one is
// taken. What a request looks like on the wire is the connection's protocol's
// (device/device_protocol.h); the pending frames are kept with the protocol that wrote
// them.
#include "config/port_table.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

class DeviceSocket;

// The port's connection to its device server, or null. Any thread.
DeviceSocket* connectionOf(const PortRecord& record);
// Counts the connections the port has had, so a procedure that let go of the UI thread
// can tell whether the connection it left is still the same one. Any thread.
uint32_t connectionSerialOf(const PortRecord& record);

// UI thread. Drops the port's old connection and makes a new DeviceSocket the port's
// connection; null (and no connection) when it cannot be allocated.
DeviceSocket* newConnection(int slot);

// Shut down both ways, close, destroy; the port has no connection and no pending
// frame afterwards. On the UI thread the object goes at once; on another thread
// (a stop from the remote-control thread) it is shut down there and destroyed on the
// UI thread.
void dropConnection(PortRecord& record) EXCLUDES(record.relayLock);

// UI thread. A switch replaces the port's working connection: it winds down on the
// relay thread, which lets it go once the device has all it was sent
// (ClosingConnection::retire); without a relay thread it goes at once. A connection
// that is lost, or that a procedure gave up, is dropped at once (dropConnection), so
// that nothing is sent on it any more.
void retireConnection(PortRecord& record) EXCLUDES(record.relayLock);

// dropConnection, but only while the port's connection is still the one counted
// serial (a procedure that gave up leaves a newer connection alone).
void dropConnectionOf(PortRecord& record, uint32_t serial) EXCLUDES(record.relayLock);

// A connection whose application has closed the port, winding down apart from the port so
// that the port's next session need not wait for it: its last frames and CLOSE go out,
// then the device has CLOSE_GRACE_MS before the connection is dropped. A server whose
// session ends with the connection (no CLOSE request: RFC 2217, raw TCP) instead gets
// TCP's orderly close once it has acknowledged all it was sent, as a replaced connection
// does. What the device sends meanwhile is read and dropped. Owned by the relay thread.
class ClosingConnection {
  public:
    static constexpr uint32_t CLOSE_GRACE_MS = 200;
    // A device that takes nothing for this long loses the rest and the connection.
    static constexpr uint32_t SEND_LIMIT_MS = 10000;

    // Takes the port's connection and its pending frames (CLOSE last) out of the record;
    // none when the port has no connection.
    static std::optional<ClosingConnection> take(PortRecord& record, uint32_t now)
        REQUIRES(record.relayLock);
    // Takes the port's connection out of the record when a new one replaces it
    // (reconnection, switching). The rest of a frame partly sent on it goes with it, to
    // be finished there; the whole frames after it stay for the new connection. Let go,
    // without CLOSE, once the device has acknowledged all it was sent, so that no
    // byte the system took for it is lost with it.
    static std::optional<ClosingConnection> retire(PortRecord& record, uint32_t now)
        REQUIRES(record.relayLock);
    // Sends what is left and drops the connection once its grace is over: true then.
    // Otherwise wait is lowered to when it needs another look.
    bool windDown(uint32_t now, uint32_t& wait);
    // Drops the connection at once (the relay thread ends).
    void drop();

  private:
    DeviceSocket* socket_ = nullptr;
    std::vector<uint8_t> frames_;
    size_t sent_ = 0;
    uint32_t since_ = 0;   // when it was taken
    uint32_t sentAt_ = 0;  // when its last byte went out
    bool orderly_ = false; // ends with our FIN and the server's, not after a grace
    bool shut_ = false;    // our side of it shut down
    bool allSent_ = false;
};

// Whether a connection of the port is still winding down (any thread).
bool windingDown(const PortRecord& record);

// Connections replaced on the UI thread wind down on the relay thread, which owns the
// closing ones: handed over here (any thread), taken there.
void handOverClosing(ClosingConnection closing);
std::vector<ClosingConnection> takeHandedOver();

// UI thread: `CLOSE` through the pending frame (after whatever of a frame is still
// pending), then the connection dropped at once. relayActive is cleared first, so
// the relay thread sends nothing more.
void closeConnection(PortRecord& record) EXCLUDES(record.relayLock);

// The driver's requests, written by the connection's protocol into the pending frames
// behind what is pending; they go out together with sendPendingFrame. False, and
// nothing queued, when the port has no connection or there is no room.
// The three SREQ bytes; kept for the replay after a reconnection or switch.
bool queueSettings(PortRecord& record, const uint8_t settings[3]) REQUIRES(record.relayLock);
// MCR: bit 0 DTR, bit 1 RTS.
bool queueModemControl(PortRecord& record, uint8_t value) REQUIRES(record.relayLock);
// At most 512 bytes of the application's data.
bool queueData(PortRecord& record, const uint8_t* payload, int length) REQUIRES(record.relayLock);
bool queueClose(PortRecord& record) REQUIRES(record.relayLock);
// The application's flush (PURGE_RECEIVE, PURGE_TRANSMIT): an output flush first drops
// the data of which nothing went out yet, keeping every other request.
bool queuePurge(PortRecord& record, uint8_t which) REQUIRES(record.relayLock);
// A break on the line, or its end.
bool queueBreak(PortRecord& record, bool on) REQUIRES(record.relayLock);
// The protocol's answers to what socket received, behind the pending frames, sent at
// once as far as the socket takes them; dropped when socket is no longer the port's
// connection. Takes the port's relayLock.
void sendAnswers(PortRecord& record, const DeviceSocket* socket, std::span<const uint8_t> answers)
    EXCLUDES(record.relayLock);
// Whether the protocol's largest request still fits behind what is pending.
bool roomForRequest(PortRecord& record) REQUIRES(record.relayLock);
// A new session: the pending frames dropped, OPEN sent (what the socket does not take
// stays pending). False, and nothing sent, when the port has no connection.
bool sendOpen(PortRecord& record) REQUIRES(record.relayLock);
// Sends what is left of the pending frames: the byte count the socket took, or
// SOCKET_ERROR. A send that would block keeps them. When the connection has failed for
// good, the port is marked for reconnection at once, and the frames of which nothing
// went out are kept whole for the next connection (one partly sent is lost with its
// connection: resending its rest alone would garble the device's input).
int sendPendingFrame(PortRecord& record) REQUIRES(record.relayLock);
// Drops the pending frame.
void dropPendingFrame(PortRecord& record) REQUIRES(record.relayLock);
// Whether frames wait for room in the socket.
bool framesPending(PortRecord& record) REQUIRES(record.relayLock);
// What the socket has not taken yet of the frames on their way, and whether the first
// of them went out in part.
struct UnsentFrames {
    std::vector<uint8_t> bytes;
    bool partly = false;
};
UnsentFrames unsentFrames(PortRecord& record) REQUIRES(record.relayLock);
// The serial settings (the three SREQ bytes) last sent, kept for the replay after a
// reconnection or switch.
std::array<uint8_t, 3> lastSettings(PortRecord& record) REQUIRES(record.relayLock);
// On a connection made anew for an application that holds the port: OPEN and the last
// settings go first, then the frames held whole from the lost connection.
void resumeSession(PortRecord& record) REQUIRES(record.relayLock);

// The device's connection is gone (it closed, or a send failed for good): the relay
// thread's silence rule fires at its next pass and the reconnection begins.
void markConnectionLost(PortRecord& record);

// The keep-alive (Vorlix: ALIVE) to the device of every Connected port (the window's
// keep-alive timer). UI thread.
void sendKeepAlives();
