#pragma once
// DeviceProtocol: what one kind of device server speaks on a port's connection. The
// open, close, relay, keep-alive, reconnection, switching and monitor code never build
// or parse wire bytes themselves: they ask the connection's protocol, through
// device/port_connection.h (requests out), device/greeting.h (the greeting) and
// DeviceSocket's receive path (bytes in). A host entry's address names the kind:
// `socket://HOST:PORT` a raw TCP byte stream (device/socket_protocol.h),
// `rfc2217://HOST:PORT` a Telnet COM-PORT-OPTION server, anything else a Vorlix device
// server (device/vorlix_protocol.h).
//
// One object per connection, made with it (newConnection) for the current host's kind,
// and owned by the connection; the pending frames keep a reference to the protocol
// they were written in, so a held frame is measured by the code that wrote it.
//
// Threads: the request side (put..., sentUnitSize) runs under the port's relayLock on
// the relay or the UI thread; the greeting and the receive side run on the UI thread.
// What one side learns that the other needs must be atomic.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class DeviceSocket;

enum class ProtocolKind { Vorlix, RawTcp, Rfc2217 };

// The kind of device server an address of a host entry names. A `socket://` or
// `rfc2217://` address that is not HOST:PORT (PORT 1..65535; HOST a name, an IPv4
// address or an IPv6 address in brackets) stays a Vorlix address, which cannot be
// reached, as it always was.
ProtocolKind protocolFor(const char* address);

// Where a host entry's device server listens.
struct DialTarget {
    std::string host;
    uint16_t port;
};

// HOST and PORT of a `socket://` or `rfc2217://` address (HOST without its brackets);
// nothing when the address is not one.
std::optional<DialTarget> serverUrlTarget(const char* address);

// What the device said about itself in the greeting.
struct DeviceIdentity {
    uint8_t maxSpeed; // published as "MaximumBaud"
    uint8_t info[4];  // firmware major, minor, port count, serving port number
};

// What looking at the greeting's answer found.
enum class GreetingCheck { Complete, Waiting, Failed };

// The most data one DATA packet of the driver carries.
constexpr size_t MAX_DATA_LENGTH = 512;
// Room every request but DATA fits in (put... writes at most this much).
constexpr size_t MAX_CONTROL_UNIT_SIZE = 64;

class DeviceProtocol {
  public:
    virtual ~DeviceProtocol() = default;

    virtual ProtocolKind kind() const = 0;
    // address, portNo: the host entry as stored.
    virtual DialTarget dialTarget(const char* address, int portNo) const = 0;

    // The greeting that starts every connection (first open, reconnection, switching),
    // sent once the connection is up and emptied of what came before: false when the
    // socket did not take it whole.
    virtual bool sendGreeting(DeviceSocket& socket) = 0;
    // The greeting reads the connection from its first byte (a Telnet server opens its
    // negotiation as soon as it accepts): nothing is drained before it.
    virtual bool greetingReadsFromTheStart() const { return false; }
    // Looks once at what is pending, without asking for another read notification:
    // the answer complete (taken out of the connection, and identity filled), not yet,
    // or failed (a receive error, or a connection closed without a whole answer).
    virtual GreetingCheck checkGreeting(DeviceSocket& socket, DeviceIdentity& identity) = 0;

    // The driver's requests as wire bytes written at out: their count, at most
    // MAX_CONTROL_UNIT_SIZE (out holds at least that), 0 when the request has none.
    virtual size_t putOpen(std::span<uint8_t> out) const = 0;
    // The three SREQ bytes (rate code, 16550 line control, flow control).
    virtual size_t putSettings(std::span<uint8_t> out, const uint8_t settings[3]) const = 0;
    // MCR: bit 0 DTR, bit 1 RTS.
    virtual size_t putModemControl(std::span<uint8_t> out, uint8_t value) const = 0;
    virtual size_t putClose(std::span<uint8_t> out) const = 0;
    virtual size_t putKeepAlive(std::span<uint8_t> out) const = 0;
    // The application's flush: which holds PURGE_RECEIVE (its input) and PURGE_TRANSMIT
    // (its output), rings/ring_queue.h. A kind of server that cannot be told puts nothing.
    virtual size_t putPurge(std::span<uint8_t>, uint8_t /*which*/) const { return 0; }
    // A break on the line, or its end; nothing for a kind that cannot carry it.
    virtual size_t putBreak(std::span<uint8_t>, bool /*on*/) const { return 0; }
    // At most 512 bytes of the application's data; 0, and nothing written, when out is
    // too small for them.
    virtual size_t putData(std::span<uint8_t> out, std::span<const uint8_t> data) const = 0;
    // A server that may rightly stay silent for good (a raw byte stream says nothing of
    // its own, and its keep-alive puts nothing on the wire): the silence rule leaves its
    // connections alone, and TCP's keep-alive finds a dead one.
    virtual bool silentWhileAlive() const { return false; }
    // A server that may leave the keep-alive unanswered: while its system acknowledges
    // what is sent, the silence rule takes it for alive.
    virtual bool acknowledgementIsLife() const { return false; }
    // The server asked that the application's data wait (RFC 2217's
    // FLOWCONTROL-SUSPEND) and has not let it go on yet. Any thread.
    virtual bool holdsData() const { return false; }
    // The server has withdrawn what the connection needs (receive side): the
    // connection is taken for lost, and the next one negotiates anew.
    virtual bool connectionUnusable() const { return false; }
    // The most one request takes on the wire (the relay keeps this much room).
    virtual size_t largestUnitSize() const = 0;
    // The size of the unit written by put... that starts at pending[0], or 0 when the
    // bytes do not tell it.
    virtual size_t sentUnitSize(std::span<const uint8_t> pending) const = 0;
    // Reads back the unit written by put... that starts at pending[0], so that frames
    // held for a lost connection can go to a server of another kind in its words: its
    // size (0 when the bytes do not tell), the application's data it carries appended
    // to data.
    virtual size_t readHeldUnit(std::span<const uint8_t> pending,
                                std::vector<uint8_t>& data) const = 0;
    // Whether that unit carries the application's data (an output flush drops the data
    // units of which nothing went out yet).
    virtual bool isDataUnit(std::span<const uint8_t> unit) const = 0;

    // Receive side. How many bytes to read when the port's inQueue has room bytes
    // free: what toDriverPackets makes of them, with whatever it holds, fits in room.
    // 0: wait for room.
    virtual int receiveWanted(int room) const = 0;
    // Turns count received bytes into driver packets (DATA 'F0 31 LH LL data', modem
    // status 'F0 43 msr') at out, which has room for PACKET_BUFFER_SIZE + count bytes;
    // returns their length. Only whole packets come out: the beginning of one whose rest
    // has not come is held, and goes with the connection.
    virtual int toDriverPackets(const uint8_t* in, int count, uint8_t* out) = 0;
    // Driver packets the greeting read that belong to the session (a server's first
    // line states, 'F0 43 msr', sent with its agreement): they go to the driver once the
    // port is Connected. Taken once.
    virtual std::vector<uint8_t> takeGreetingPackets() { return {}; }
    // What the server's bytes, taken by toDriverPackets, call for in answer (a server
    // that negotiates in the middle of a session): the receive path sends it on the same
    // connection, behind the pending frames. Taken once.
    virtual std::vector<uint8_t> takeAnswers() { return {}; }
};

// A protocol of kind for a new connection.
std::shared_ptr<DeviceProtocol> makeProtocol(ProtocolKind kind);
