#pragma once
// The client side of a Telnet COM-PORT-OPTION (RFC 2217) connection as a codec: the
// server's bytes go in, and driver packets for the port's inQueue, answers to send back
// and the server's replies come out; the driver's requests (SREQ, MCR, a purge, a
// break) go in, and wire bytes come out. No sockets, no clock, no Qt: the connection's
// owner moves the bytes and applies the time limits. One object per port connection,
// used by one thread at a time (any thread).
//
// Negotiation follows RFC 1143 in its simple form: this side never asks for an option
// to be switched off, so each option, per side, is No, Yes or WantYes (asked, no answer
// yet). We ask WILL and DO BINARY, WILL and DO SGA and WILL COM-PORT-OPTION; a server's
// WILL COM-PORT-OPTION is let be (some servers announce the option that way); anything
// else is refused. An answer goes out only when an option's state changes, or to refuse
// a request, so two sides never answer each other in a loop.
//
// Nothing of the COM-PORT-OPTION goes out before the server has agreed to it: settings
// the driver asks for meanwhile are kept, and the moment the server agrees (DO
// COM-PORT-OPTION) they go out together with the modem-state mask, as the answer to
// that DO. Each connection has a codec of its own: what a reconnection or a switch
// replays (the line settings, the modem lines) the connection's owner asks for again.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace rfc2217 {

// Telnet commands (RFC 854) and options.
enum : uint8_t {
    TELNET_SE = 240,
    TELNET_NOP = 241,
    TELNET_SB = 250,
    TELNET_WILL = 251,
    TELNET_WONT = 252,
    TELNET_DO = 253,
    TELNET_DONT = 254,
    TELNET_IAC = 255,
};
enum : uint8_t {
    OPTION_BINARY = 0,
    OPTION_ECHO = 1,
    OPTION_SGA = 3,
    OPTION_COM_PORT = 44,
};

// COM-PORT-OPTION commands as the client sends them; the server answers with 100 more.
enum : uint8_t {
    COM_SIGNATURE = 0,
    COM_SET_BAUDRATE = 1,
    COM_SET_DATASIZE = 2,
    COM_SET_PARITY = 3,
    COM_SET_STOPSIZE = 4,
    COM_SET_CONTROL = 5,
    COM_NOTIFY_LINESTATE = 6,
    COM_NOTIFY_MODEMSTATE = 7,
    COM_FLOWCONTROL_SUSPEND = 8,
    COM_FLOWCONTROL_RESUME = 9,
    COM_SET_LINESTATE_MASK = 10,
    COM_SET_MODEMSTATE_MASK = 11,
    COM_PURGE_DATA = 12,
};
constexpr uint8_t SERVER_COMMAND_OFFSET = 100;

// SET-CONTROL values this client uses.
enum : uint8_t {
    CONTROL_FLOW_NONE = 1,
    CONTROL_FLOW_XONXOFF = 2,
    CONTROL_FLOW_HARDWARE = 3,
    CONTROL_BREAK_ON = 5,
    CONTROL_BREAK_OFF = 6,
    CONTROL_DTR_REQUEST = 7,
    CONTROL_DTR_ON = 8,
    CONTROL_DTR_OFF = 9,
    CONTROL_RTS_ON = 11,
    CONTROL_RTS_OFF = 12,
    CONTROL_INBOUND_FLOW_NONE = 14,
    CONTROL_INBOUND_FLOW_XONXOFF = 15,
    CONTROL_INBOUND_FLOW_HARDWARE = 16,
};

// Every change is asked for: a server ANDs the new state with the mask and stays
// silent on zero, so a mask of the line states alone would hide a change that leaves
// all four lines low. The deltas it also reports are dropped (LINE_STATES_MASK).
constexpr uint8_t MODEMSTATE_MASK = 0xFF;
// The line states of a notice (CTS, DSR, RI, DCD): the driver works out the changes.
constexpr uint8_t LINE_STATES_MASK = 0xF0;
// A subnegotiation longer than this is dropped whole; ours are at most 6 bytes.
constexpr size_t SUBNEGOTIATION_LIMIT = 64;
// The driver's DATA packets carry at most this many bytes.
constexpr size_t MAX_PACKET_DATA = 512;

// At most this many driver bytes come out of receive() for wireBytes bytes in (a DATA
// packet costs 4 bytes beyond its data, a modem-status packet 3 for a 7-byte
// NOTIFY-MODEMSTATE): a receive path that may only fill the inQueue's room reads no
// more than it can take.
constexpr size_t maxDriverBytes(size_t wireBytes) {
    return wireBytes + 4 * (wireBytes / MAX_PACKET_DATA + 1);
}

// Data with each 0xFF doubled is at most this long; a DATA packet's 512 bytes fit the
// port's 1024-byte send buffer.
constexpr size_t maxEscapedSize(size_t dataBytes) {
    return 2 * dataBytes;
}

// The driver's rate codes (docs/port_driver.md, "SREQ bytes"): the rate in bits per
// second, 0 for a code that names none (0xFF: a rate outside the table).
uint32_t rateOfCode(uint8_t code);
// The highest code whose rate does not exceed rate, 0xFF when even code 0's does.
uint8_t codeOfRate(uint32_t rate);

// One COM-PORT-OPTION command, value big-endian (SET-BAUDRATE has four bytes, the
// others one).
struct ComCommand {
    uint8_t command;
    uint8_t size;
    std::array<uint8_t, 4> value;
    bool operator==(const ComCommand&) const = default;
};
ComCommand comCommand(uint8_t command, uint8_t value);
ComCommand baudRateCommand(uint32_t rate);

// The three bytes of the driver's SREQ: rate code, 16550 LCR, flow flags.
struct LineSettings {
    uint8_t rateCode;
    uint8_t lcr;
    uint8_t flow;
    bool operator==(const LineSettings&) const = default;
};

// The commands that take the server from last to next; everything when last is not
// known (a new connection). A rate code outside the table sends no rate.
std::vector<ComCommand> lineCommands(const std::optional<LineSettings>& last,
                                     const LineSettings& next);
// The same for the driver's MCR byte (bit 0 DTR, bit 1 RTS).
std::vector<ComCommand> modemControlCommands(std::optional<uint8_t> lastMcr, uint8_t mcr);

// IAC SB COM-PORT-OPTION command value IAC SE, an 0xFF in the value doubled.
void appendCommand(std::vector<uint8_t>& wire, const ComCommand& command);

// Writes data into out with each 0xFF doubled and returns the length written; 0 when
// out is too small (nothing useful written then).
size_t buildData(std::span<uint8_t> out, std::span<const uint8_t> data);

enum class Negotiation {
    Pending,  // the server has not yet answered WILL COM-PORT-OPTION
    Complete, // it agreed (DO): settings and data may go
    Refused,  // it refused or withdrew COM-PORT-OPTION
};

// A server's reply to one of our commands (or a notification), command without the 100.
struct ServerReply {
    uint8_t command;
    uint8_t size;
    uint32_t value; // big-endian value bytes, as many as size
    bool operator==(const ServerReply&) const = default;
};

// What one receive() produced; receive() appends, the caller clears.
struct Received {
    std::vector<uint8_t> toDriver; // DATA (F0 31 LH LL data) and modem status (F0 43 msr)
    std::vector<uint8_t> toServer; // answers to the server's negotiation
    std::vector<ServerReply> replies;
    void clear();
};

class ClientCodec {
  public:
    ClientCodec();

    // A new connection: forgets what the last one negotiated and sent (the settings the
    // driver asked for are kept for the replay) and appends the opening offer.
    void start(std::vector<uint8_t>& wire);
    Negotiation negotiation() const { return negotiation_; }

    // Bytes from the server, in any split. Data becomes DATA packets of at most 512
    // bytes, each cut at the end of the call, so nothing waits in here for more; a
    // command or subnegotiation cut by the end of the call is finished by the next one,
    // and is never acted upon when the connection ends first.
    void receive(std::span<const uint8_t> bytes, Received& out);

    // The driver's requests. Settings and modem lines are sent only where they differ
    // from what this connection sent last; before the server agreed they are kept for
    // the replay. A purge or a break before then is dropped: the new connection has
    // nothing to purge and no break going.
    void lineSettings(const LineSettings& settings, std::vector<uint8_t>& wire);
    void modemControl(uint8_t mcr, std::vector<uint8_t>& wire);
    void purge(bool receiveSide, bool transmitSide, std::vector<uint8_t>& wire);
    void setBreak(bool on, std::vector<uint8_t>& wire);

    // Something the server must answer, so that a live server is never silent for long:
    // SET-CONTROL asking for the DTR state. IAC NOP would be acknowledged by the TCP
    // stack alone, which proves the host up but sends the receive path nothing, and the
    // rule that drops a silent device counts only what the device sends. The question
    // changes nothing on the server. Before the server agreed to COM-PORT-OPTION: IAC NOP.
    void keepAlive(std::vector<uint8_t>& wire) const;

    // The highest rate the server reported on this connection after a SET-BAUDRATE, 0
    // before any.
    uint32_t highestAcceptedRate() const { return highestAcceptedRate_; }
    // The server asked us to hold our data back (FLOWCONTROL-SUSPEND) and has not yet
    // let it go on (FLOWCONTROL-RESUME).
    bool suspended() const { return suspended_; }

  private:
    enum class Option : uint8_t { No, Yes, WantYes };
    enum class Rx : uint8_t { Data, Iac, Verb, Sub, SubIac };

    void ask(uint8_t verb, uint8_t option, std::vector<uint8_t>& wire);
    void onVerb(uint8_t verb, uint8_t option, Received& out);
    void onServerOffer(bool will, uint8_t option, Received& out);
    void onServerRequest(bool doIt, uint8_t option, Received& out);
    void comPortAgreed(std::vector<uint8_t>& wire);
    void onSubnegotiation(Received& out);
    void takeData(const uint8_t* bytes, size_t count, Received& out);
    void closePacket(Received& out);
    void sendCommands(const std::vector<ComCommand>& commands, std::vector<uint8_t>& wire) const;

    std::array<Option, 256> ours_{};   // options on our side (WILL/WONT)
    std::array<Option, 256> theirs_{}; // options on the server's side (DO/DONT)
    Negotiation negotiation_ = Negotiation::Pending;

    Rx rx_ = Rx::Data;
    uint8_t verb_ = 0;
    std::array<uint8_t, SUBNEGOTIATION_LIMIT> sub_{};
    size_t subLength_ = 0;
    bool subTooLong_ = false;
    size_t packetStart_ = 0; // offset of the open DATA packet in toDriver
    bool packetOpen_ = false;

    std::optional<LineSettings> wantedLine_, sentLine_;
    std::optional<uint8_t> wantedMcr_, sentMcr_;
    uint32_t highestAcceptedRate_ = 0;
    bool suspended_ = false;
};

} // namespace rfc2217
