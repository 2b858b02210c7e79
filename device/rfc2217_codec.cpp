#include "device/rfc2217_codec.h"

#include "rings/ring_queue.h"

#include <algorithm>
#include <iterator>

namespace rfc2217 {

namespace {

// The driver's rate table (docs/port_driver.md); the port driver keeps its own copy
// beside the termios speeds, which this layer cannot see.
constexpr std::array<uint32_t, 30> RATES = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};

bool wantOurs(uint8_t option) {
    return option == OPTION_BINARY || option == OPTION_SGA || option == OPTION_COM_PORT;
}
bool wantTheirs(uint8_t option) {
    return option == OPTION_BINARY || option == OPTION_SGA || option == OPTION_COM_PORT;
}

// RFC 2217 SET-DATASIZE, SET-PARITY and SET-STOPSIZE values of a 16550 LCR.
uint8_t dataSizeOf(uint8_t lcr) {
    return uint8_t(5 + (lcr & 0x03));
}
uint8_t parityOf(uint8_t lcr) {
    enum : uint8_t { NONE = 1, ODD = 2, EVEN = 3, MARK = 4, SPACE = 5 };
    if (!(lcr & 0x08))
        return NONE;
    bool even = lcr & 0x10;
    if (lcr & 0x20) // stick parity: the bit is the inverse of "even"
        return even ? SPACE : MARK;
    return even ? EVEN : ODD;
}
uint8_t stopSizeOf(uint8_t lcr) {
    enum : uint8_t { ONE = 1, TWO = 2, ONE_AND_HALF = 3 };
    if (!(lcr & 0x04))
        return ONE;
    return (lcr & 0x03) == 0 ? ONE_AND_HALF : TWO; // a 16550 with 5 data bits stops 1.5
}

// Values 1..3 set both directions; 14..16 then set the inbound one alone.
uint8_t outboundFlowOf(uint8_t flow) {
    if (flow & 0x01)
        return CONTROL_FLOW_HARDWARE;
    return (flow & 0x02) ? CONTROL_FLOW_XONXOFF : CONTROL_FLOW_NONE;
}
uint8_t inboundFlowOf(uint8_t flow) {
    if (flow & 0x01)
        return CONTROL_INBOUND_FLOW_HARDWARE;
    return (flow & 0x04) ? CONTROL_INBOUND_FLOW_XONXOFF : CONTROL_INBOUND_FLOW_NONE;
}

template <typename Field>
bool changed(const std::optional<LineSettings>& last, const LineSettings& next, Field field) {
    return !last || field(*last) != field(next);
}

void appendEscaped(std::vector<uint8_t>& wire, uint8_t byte) {
    wire.push_back(byte);
    if (byte == TELNET_IAC)
        wire.push_back(byte);
}

} // namespace

uint32_t rateOfCode(uint8_t code) {
    return code < RATES.size() ? RATES[code] : 0;
}

uint8_t codeOfRate(uint32_t rate) {
    auto above = std::upper_bound(RATES.begin(), RATES.end(), rate);
    return above == RATES.begin() ? 0xFF : uint8_t(std::distance(RATES.begin(), above) - 1);
}

ComCommand comCommand(uint8_t command, uint8_t value) {
    return {command, 1, {value, 0, 0, 0}};
}

ComCommand baudRateCommand(uint32_t rate) {
    return {COM_SET_BAUDRATE,
            4,
            {uint8_t(rate >> 24), uint8_t(rate >> 16), uint8_t(rate >> 8), uint8_t(rate)}};
}

std::vector<ComCommand> lineCommands(const std::optional<LineSettings>& last,
                                     const LineSettings& next) {
    std::vector<ComCommand> commands;
    if (rateOfCode(next.rateCode) != 0 && changed(last, next, [](auto s) { return s.rateCode; }))
        commands.push_back(baudRateCommand(rateOfCode(next.rateCode)));
    if (changed(last, next, [](auto s) { return dataSizeOf(s.lcr); }))
        commands.push_back(comCommand(COM_SET_DATASIZE, dataSizeOf(next.lcr)));
    if (changed(last, next, [](auto s) { return parityOf(s.lcr); }))
        commands.push_back(comCommand(COM_SET_PARITY, parityOf(next.lcr)));
    if (changed(last, next, [](auto s) { return stopSizeOf(s.lcr); }))
        commands.push_back(comCommand(COM_SET_STOPSIZE, stopSizeOf(next.lcr)));
    // An outbound value sets the inbound direction too, so the inbound one follows it
    // whenever the two differ.
    uint8_t outbound = outboundFlowOf(next.flow);
    uint8_t inbound = inboundFlowOf(next.flow);
    if (changed(last, next, [](auto s) { return outboundFlowOf(s.flow); }) ||
        changed(last, next, [](auto s) { return inboundFlowOf(s.flow); })) {
        commands.push_back(comCommand(COM_SET_CONTROL, outbound));
        if (inbound != outbound + (CONTROL_INBOUND_FLOW_NONE - CONTROL_FLOW_NONE))
            commands.push_back(comCommand(COM_SET_CONTROL, inbound));
    }
    return commands;
}

std::vector<ComCommand> modemControlCommands(std::optional<uint8_t> lastMcr, uint8_t mcr) {
    std::vector<ComCommand> commands;
    if (!lastMcr || ((*lastMcr ^ mcr) & 0x01))
        commands.push_back(
            comCommand(COM_SET_CONTROL, (mcr & 0x01) ? CONTROL_DTR_ON : CONTROL_DTR_OFF));
    if (!lastMcr || ((*lastMcr ^ mcr) & 0x02))
        commands.push_back(
            comCommand(COM_SET_CONTROL, (mcr & 0x02) ? CONTROL_RTS_ON : CONTROL_RTS_OFF));
    return commands;
}

void appendCommand(std::vector<uint8_t>& wire, const ComCommand& command) {
    wire.insert(wire.end(), {TELNET_IAC, TELNET_SB, OPTION_COM_PORT, command.command});
    for (size_t i = 0; i < command.size && i < command.value.size(); ++i)
        appendEscaped(wire, command.value[i]);
    wire.insert(wire.end(), {TELNET_IAC, TELNET_SE});
}

size_t buildData(std::span<uint8_t> out, std::span<const uint8_t> data) {
    size_t needed = data.size() + size_t(std::count(data.begin(), data.end(), TELNET_IAC));
    if (needed > out.size())
        return 0;
    size_t at = 0;
    for (uint8_t byte : data) {
        out[at++] = byte;
        if (byte == TELNET_IAC)
            out[at++] = byte;
    }
    return at;
}

void Received::clear() {
    toDriver.clear();
    toServer.clear();
    replies.clear();
}

ClientCodec::ClientCodec() = default;

void ClientCodec::start(std::vector<uint8_t>& wire) {
    ours_.fill(Option::No);
    theirs_.fill(Option::No);
    negotiation_ = Negotiation::Pending;
    rx_ = Rx::Data;
    subLength_ = 0;
    subTooLong_ = false;
    packetOpen_ = false;
    sentLine_.reset();
    sentMcr_.reset();
    suspended_ = false;
    highestAcceptedRate_ = 0;
    ask(TELNET_WILL, OPTION_BINARY, wire);
    ask(TELNET_DO, OPTION_BINARY, wire);
    ask(TELNET_WILL, OPTION_SGA, wire);
    ask(TELNET_DO, OPTION_SGA, wire);
    ask(TELNET_WILL, OPTION_COM_PORT, wire);
}

void ClientCodec::ask(uint8_t verb, uint8_t option, std::vector<uint8_t>& wire) {
    (verb == TELNET_WILL ? ours_ : theirs_)[option] = Option::WantYes;
    wire.insert(wire.end(), {TELNET_IAC, verb, option});
}

void ClientCodec::receive(std::span<const uint8_t> bytes, Received& out) {
    const uint8_t* at = bytes.data();
    const uint8_t* end = at + bytes.size();
    while (at < end) {
        if (rx_ == Rx::Data) {
            const uint8_t* iac = std::find(at, end, TELNET_IAC);
            takeData(at, size_t(iac - at), out);
            at = iac;
            if (at == end)
                break;
            rx_ = Rx::Iac;
            ++at;
            continue;
        }
        uint8_t byte = *at++;
        switch (rx_) {
        case Rx::Data:
            break;
        case Rx::Iac:
            if (byte == TELNET_IAC) {
                takeData(&byte, 1, out);
                rx_ = Rx::Data;
            } else if (byte >= TELNET_WILL) {
                verb_ = byte;
                rx_ = Rx::Verb;
            } else if (byte == TELNET_SB) {
                subLength_ = 0;
                subTooLong_ = false;
                rx_ = Rx::Sub;
            } else {
                rx_ = Rx::Data; // NOP, GA, AYT and the like mean nothing to a serial line
            }
            break;
        case Rx::Verb:
            rx_ = Rx::Data;
            onVerb(verb_, byte, out);
            break;
        case Rx::Sub:
            if (byte == TELNET_IAC)
                rx_ = Rx::SubIac;
            else if (subLength_ < sub_.size())
                sub_[subLength_++] = byte;
            else
                subTooLong_ = true;
            break;
        case Rx::SubIac:
            if (byte == TELNET_IAC) {
                rx_ = Rx::Sub;
                if (subLength_ < sub_.size())
                    sub_[subLength_++] = byte;
                else
                    subTooLong_ = true;
            } else if (byte == TELNET_SE) {
                rx_ = Rx::Data;
                if (!subTooLong_)
                    onSubnegotiation(out);
            } else {
                // A command inside a subnegotiation: the subnegotiation was cut short
                // (RFC 855 allows no other); drop it and take the command as it is.
                rx_ = Rx::Iac;
                --at;
            }
            break;
        }
    }
    closePacket(out);
}

void ClientCodec::takeData(const uint8_t* bytes, size_t count, Received& out) {
    std::vector<uint8_t>& driver = out.toDriver;
    while (count > 0) {
        if (!packetOpen_) {
            packetStart_ = driver.size();
            packetOpen_ = true;
            driver.insert(driver.end(), {PACKET_START, CMD_DATA, 0, 0});
        }
        size_t held = driver.size() - packetStart_ - 4;
        size_t taken = std::min(count, MAX_PACKET_DATA - held);
        driver.insert(driver.end(), bytes, bytes + taken);
        bytes += taken;
        count -= taken;
        if (held + taken == MAX_PACKET_DATA)
            closePacket(out);
    }
}

void ClientCodec::closePacket(Received& out) {
    if (!packetOpen_)
        return;
    packetOpen_ = false;
    size_t length = out.toDriver.size() - packetStart_ - 4;
    out.toDriver[packetStart_ + 2] = uint8_t(length >> 8);
    out.toDriver[packetStart_ + 3] = uint8_t(length);
}

void ClientCodec::onVerb(uint8_t verb, uint8_t option, Received& out) {
    if (verb == TELNET_WILL || verb == TELNET_WONT)
        onServerOffer(verb == TELNET_WILL, option, out);
    else
        onServerRequest(verb == TELNET_DO, option, out);
}

// WILL / WONT: the server's side of an option.
void ClientCodec::onServerOffer(bool will, uint8_t option, Received& out) {
    Option& state = theirs_[option];
    auto answer = [&](uint8_t verb) {
        out.toServer.insert(out.toServer.end(), {TELNET_IAC, verb, option});
    };
    if (will) {
        if (state == Option::No && wantTheirs(option)) {
            state = Option::Yes;
            answer(TELNET_DO);
        } else if (state == Option::No) {
            answer(TELNET_DONT);
        } else {
            state = Option::Yes; // agreed to our DO, or a repeat: no answer
        }
    } else {
        if (state == Option::Yes)
            answer(TELNET_DONT);
        state = Option::No; // a refusal of our DO needs no answer
    }
}

// DO / DONT: our side of an option.
void ClientCodec::onServerRequest(bool doIt, uint8_t option, Received& out) {
    Option& state = ours_[option];
    Option before = state;
    auto answer = [&](uint8_t verb) {
        out.toServer.insert(out.toServer.end(), {TELNET_IAC, verb, option});
    };
    if (doIt) {
        if (state == Option::No && wantOurs(option)) {
            state = Option::Yes;
            answer(TELNET_WILL);
        } else if (state == Option::No) {
            answer(TELNET_WONT);
        } else {
            state = Option::Yes;
        }
    } else {
        if (state == Option::Yes)
            answer(TELNET_WONT);
        state = Option::No;
    }
    if (option != OPTION_COM_PORT || state == before)
        return;
    if (state == Option::Yes)
        comPortAgreed(out.toServer);
    else
        negotiation_ = Negotiation::Refused;
}

void ClientCodec::comPortAgreed(std::vector<uint8_t>& wire) {
    negotiation_ = Negotiation::Complete;
    appendCommand(wire, comCommand(COM_SET_MODEMSTATE_MASK, MODEMSTATE_MASK));
    if (wantedLine_)
        lineSettings(*wantedLine_, wire);
    if (wantedMcr_)
        modemControl(*wantedMcr_, wire);
}

void ClientCodec::onSubnegotiation(Received& out) {
    if (subLength_ < 2 || sub_[0] != OPTION_COM_PORT || sub_[1] < SERVER_COMMAND_OFFSET)
        return;
    uint8_t command = uint8_t(sub_[1] - SERVER_COMMAND_OFFSET);
    size_t size = std::min<size_t>(subLength_ - 2, 4);
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = value << 8 | sub_[2 + i];
    if (command == COM_NOTIFY_MODEMSTATE && size >= 1) {
        // Only the line states go on: the low four bits are the server's own deltas,
        // which the driver works out for itself.
        closePacket(out);
        out.toDriver.insert(out.toDriver.end(),
                            {PACKET_START, CMD_MODEM_STATUS, uint8_t(value & LINE_STATES_MASK)});
    } else if (command == COM_SET_BAUDRATE && size == 4) {
        highestAcceptedRate_ = std::max(highestAcceptedRate_, value);
    } else if (command == COM_FLOWCONTROL_SUSPEND || command == COM_FLOWCONTROL_RESUME) {
        suspended_ = command == COM_FLOWCONTROL_SUSPEND;
    }
    out.replies.push_back({command, uint8_t(size), value});
}

void ClientCodec::sendCommands(const std::vector<ComCommand>& commands,
                               std::vector<uint8_t>& wire) const {
    for (const ComCommand& command : commands)
        appendCommand(wire, command);
}

void ClientCodec::lineSettings(const LineSettings& settings, std::vector<uint8_t>& wire) {
    wantedLine_ = settings;
    if (negotiation_ != Negotiation::Complete)
        return;
    sendCommands(lineCommands(sentLine_, settings), wire);
    sentLine_ = settings;
}

void ClientCodec::modemControl(uint8_t mcr, std::vector<uint8_t>& wire) {
    wantedMcr_ = mcr;
    if (negotiation_ != Negotiation::Complete)
        return;
    sendCommands(modemControlCommands(sentMcr_, mcr), wire);
    sentMcr_ = mcr;
}

void ClientCodec::purge(bool receiveSide, bool transmitSide, std::vector<uint8_t>& wire) {
    if (negotiation_ != Negotiation::Complete || !(receiveSide || transmitSide))
        return;
    appendCommand(
        wire, comCommand(COM_PURGE_DATA, uint8_t((receiveSide ? 1 : 0) | (transmitSide ? 2 : 0))));
}

void ClientCodec::setBreak(bool on, std::vector<uint8_t>& wire) {
    if (negotiation_ != Negotiation::Complete)
        return;
    appendCommand(wire, comCommand(COM_SET_CONTROL, on ? CONTROL_BREAK_ON : CONTROL_BREAK_OFF));
}

void ClientCodec::keepAlive(std::vector<uint8_t>& wire) const {
    if (negotiation_ == Negotiation::Complete)
        appendCommand(wire, comCommand(COM_SET_CONTROL, CONTROL_DTR_REQUEST));
    else
        wire.insert(wire.end(), {TELNET_IAC, TELNET_NOP});
}

} // namespace rfc2217
