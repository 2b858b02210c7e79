#include "device/rfc2217_protocol.h"

#include "device/device_socket.h"
#include "device/socket_protocol.h"
#include "platform/trace.h"
#include "rings/ring_queue.h"

#include <algorithm>
#include <cstring>
#include <utility>

using platform::AsyncSocket;
using platform::MutexLock;
using namespace rfc2217;

DialTarget Rfc2217Protocol::dialTarget(const char* address, int) const {
    return serverUrlTarget(address).value_or(DialTarget{"", 0});
}

bool Rfc2217Protocol::sendGreeting(DeviceSocket& socket) {
    std::vector<uint8_t> wire;
    {
        MutexLock lock(lock_);
        codec_.start(wire);
        answers_.clear();
    }
    return socket.Send(wire.data(), int(wire.size()), 0) >= int(wire.size());
}

// Reads what has come (the negotiation is consumed as it arrives, so a look never finds
// the same bytes again) and answers on the spot: nothing else is sent on a connection
// before its greeting is over. Serial data that comes before the agreement is dropped,
// as what came before the greeting is.
GreetingCheck Rfc2217Protocol::checkGreeting(DeviceSocket& socket, DeviceIdentity& identity) {
    bool closed = socket.peerHasClosed();
    Negotiation negotiation = Negotiation::Pending;
    uint8_t buffer[512];
    for (;;) {
        int count = socket.Receive(buffer, int(sizeof buffer));
        if (count == AsyncSocket::SOCKET_ERROR) {
            if (socket.GetLastError() != AsyncSocket::WSAEWOULDBLOCK)
                return GreetingCheck::Failed;
            break;
        }
        if (count == 0) {
            closed = true;
            break;
        }
        Received received;
        {
            MutexLock lock(lock_);
            codec_.receive({buffer, size_t(count)}, received);
            negotiation = codec_.negotiation();
        }
        traceReplies(received);
        if (size_t dropped = keepLineStates(received.toDriver); dropped != 0)
            platform::debugTrace("RFC 2217: %d bytes of serial data before the agreement "
                                 "dropped\r\n",
                                 int(dropped));
        if (!received.toServer.empty() &&
            socket.Send(received.toServer.data(), int(received.toServer.size()), 0) <
                int(received.toServer.size()))
            return GreetingCheck::Failed;
        if (negotiation != Negotiation::Pending)
            break;
    }
    if (negotiation == Negotiation::Complete) {
        identity.maxSpeed = RFC2217_MAX_SPEED;
        std::fill(std::begin(identity.info), std::end(identity.info), 0);
        platform::debugTrace("RFC 2217: COM-PORT-OPTION agreed\r\n");
        return GreetingCheck::Complete;
    }
    if (negotiation == Negotiation::Refused) {
        platform::debugTrace("RFC 2217: the server refused COM-PORT-OPTION\r\n");
        return GreetingCheck::Failed;
    }
    return closed ? GreetingCheck::Failed : GreetingCheck::Waiting;
}

// The last line states among packets the greeting read; its serial data is dropped:
// how many bytes of it.
size_t Rfc2217Protocol::keepLineStates(const std::vector<uint8_t>& packets) {
    size_t data = 0;
    for (size_t at = 0; at + 2 < packets.size();) {
        if (packets[at + 1] == CMD_MODEM_STATUS) {
            MutexLock lock(lock_);
            greetingLineStates_.assign(packets.begin() + ptrdiff_t(at),
                                       packets.begin() + ptrdiff_t(at + 3));
            at += 3;
        } else if (packets[at + 1] == CMD_DATA && at + 3 < packets.size()) {
            size_t length = size_t(packets[at + 2] * 256 + packets[at + 3]);
            data += length;
            at += 4 + length;
        } else {
            break;
        }
    }
    return data;
}

std::vector<uint8_t> Rfc2217Protocol::takeGreetingPackets() {
    MutexLock lock(lock_);
    return std::exchange(greetingLineStates_, {});
}

// The server's line opens with the connection; there is nothing to say.
size_t Rfc2217Protocol::putOpen(std::span<uint8_t>) const {
    return 0;
}

size_t Rfc2217Protocol::putSettings(std::span<uint8_t> out, const uint8_t settings[3]) const {
    if (rateOfCode(settings[0]) == 0)
        platform::debugTrace("RFC 2217: rate code %u is not in the driver's table; the server "
                             "keeps its rate\r\n",
                             unsigned(settings[0]));
    return put(out, [&](auto& codec, auto& wire) {
        codec.lineSettings({settings[0], settings[1], settings[2]}, wire);
    });
}

size_t Rfc2217Protocol::putModemControl(std::span<uint8_t> out, uint8_t value) const {
    return put(out, [&](auto& codec, auto& wire) { codec.modemControl(value, wire); });
}

// Closing the connection ends the session; the server drops its lines itself.
size_t Rfc2217Protocol::putClose(std::span<uint8_t>) const {
    return 0;
}

size_t Rfc2217Protocol::putKeepAlive(std::span<uint8_t> out) const {
    return put(out, [&](auto& codec, auto& wire) { codec.keepAlive(wire); });
}

// PURGE-DATA names the server's buffers: its receive buffer holds what came from the
// serial line for the application (the application's input), its transmit buffer what
// the application sent for the line (docs/rfc2217.md).
size_t Rfc2217Protocol::putPurge(std::span<uint8_t> out, uint8_t which) const {
    return put(out, [&](auto& codec, auto& wire) {
        codec.purge((which & PURGE_RECEIVE) != 0, (which & PURGE_TRANSMIT) != 0, wire);
    });
}

size_t Rfc2217Protocol::putBreak(std::span<uint8_t> out, bool on) const {
    return put(out, [&](auto& codec, auto& wire) { codec.setBreak(on, wire); });
}

bool Rfc2217Protocol::holdsData() const {
    MutexLock lock(lock_);
    return codec_.suspended();
}

size_t Rfc2217Protocol::putData(std::span<uint8_t> out, std::span<const uint8_t> data) const {
    return buildData(out, data);
}

size_t Rfc2217Protocol::largestUnitSize() const {
    return maxEscapedSize(MAX_DATA_LENGTH);
}

size_t Rfc2217Protocol::sentUnitSize(std::span<const uint8_t> pending) const {
    if (pending.empty())
        return 0;
    if (pending[0] != TELNET_IAC)
        return 1;
    if (pending.size() < 2)
        return 0;
    switch (pending[1]) {
    case TELNET_SB:
        for (size_t at = 2; at + 1 < pending.size(); ++at) {
            if (pending[at] != TELNET_IAC)
                continue;
            if (pending[at + 1] == TELNET_SE)
                return at + 2;
            ++at; // a doubled 0xFF in the value
        }
        return 0;
    case TELNET_WILL:
    case TELNET_WONT:
    case TELNET_DO:
    case TELNET_DONT:
        return pending.size() < 3 ? 0 : 3;
    default:
        return 2; // a doubled 0xFF, IAC NOP
    }
}

// Data runs up to the next IAC; a doubled 0xFF is one data byte; commands carry none.
size_t Rfc2217Protocol::readHeldUnit(std::span<const uint8_t> pending,
                                     std::vector<uint8_t>& data) const {
    if (!pending.empty() && pending[0] != TELNET_IAC) {
        auto end = std::find(pending.begin(), pending.end(), uint8_t(TELNET_IAC));
        data.insert(data.end(), pending.begin(), end);
        return size_t(end - pending.begin());
    }
    size_t size = sentUnitSize(pending);
    if (size == 2 && pending[1] == TELNET_IAC)
        data.push_back(TELNET_IAC);
    return size;
}

// A modem-state notice cut by the read before costs this read its packet (3) and the
// header of the DATA packet after it (4) for as little as its last byte.
constexpr int CUT_NOTICE_COST = 7;

bool Rfc2217Protocol::isDataUnit(std::span<const uint8_t> unit) const {
    return !unit.empty() && (unit[0] != TELNET_IAC || (unit.size() == 2 && unit[1] == TELNET_IAC));
}

int Rfc2217Protocol::receiveWanted(int room) const {
    return dataBytesFitting(std::max(0, room - CUT_NOTICE_COST));
}

int Rfc2217Protocol::toDriverPackets(const uint8_t* in, int count, uint8_t* out) {
    Received received;
    bool withdrawn = false;
    {
        MutexLock lock(lock_);
        codec_.receive({in, size_t(count)}, received);
        answers_.insert(answers_.end(), received.toServer.begin(), received.toServer.end());
        withdrawn = codec_.negotiation() == Negotiation::Refused;
    }
    traceReplies(received);
    if (withdrawn && !withdrawn_.exchange(true))
        platform::debugTrace("RFC 2217: the server withdrew COM-PORT-OPTION; connection lost\r\n");
    std::copy(received.toDriver.begin(), received.toDriver.end(), out);
    return int(received.toDriver.size());
}

std::vector<uint8_t> Rfc2217Protocol::takeAnswers() {
    MutexLock lock(lock_);
    return std::exchange(answers_, {});
}

void Rfc2217Protocol::traceReplies(const Received& received) const {
    for (const ServerReply& reply : received.replies)
        if (reply.command != COM_NOTIFY_MODEMSTATE)
            platform::debugTrace("RFC 2217: server reply %u value %u\r\n", unsigned(reply.command),
                                 unsigned(reply.value));
}
