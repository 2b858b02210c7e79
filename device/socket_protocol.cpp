#include "device/socket_protocol.h"

#include "device/device_socket.h"
#include "platform/trace.h"
#include "rings/ring_queue.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int DATA_PACKET_OVERHEAD = 4; // F0 31 LH LL
} // namespace

int dataBytesFitting(int room) {
    return std::max(0, room - DATA_PACKET_OVERHEAD * (room / int(MAX_DATA_LENGTH) + 1));
}

// The entry's device port number plays no part: the address says where.
DialTarget SocketProtocol::dialTarget(const char* address, int) const {
    return serverUrlTarget(address).value_or(DialTarget{"", 0});
}

bool SocketProtocol::sendGreeting(DeviceSocket&) {
    return true;
}

GreetingCheck SocketProtocol::checkGreeting(DeviceSocket&, DeviceIdentity& identity) {
    identity.maxSpeed = RAW_TCP_MAX_SPEED;
    std::fill(std::begin(identity.info), std::end(identity.info), 0);
    return GreetingCheck::Complete;
}

size_t SocketProtocol::putOpen(std::span<uint8_t>) const {
    return 0;
}

size_t SocketProtocol::putSettings(std::span<uint8_t>, const uint8_t settings[3]) const {
    platform::debugTrace("Raw TCP: settings %02X %02X %02X not sent (the server has none)\r\n",
                         settings[0], settings[1], settings[2]);
    return 0;
}

size_t SocketProtocol::putModemControl(std::span<uint8_t>, uint8_t value) const {
    platform::debugTrace("Raw TCP: MCR %02X not sent (the server has none)\r\n", value);
    return 0;
}

size_t SocketProtocol::putClose(std::span<uint8_t>) const {
    return 0;
}

size_t SocketProtocol::putKeepAlive(std::span<uint8_t>) const {
    return 0;
}

size_t SocketProtocol::putData(std::span<uint8_t> out, std::span<const uint8_t> data) const {
    if (out.size() < data.size())
        return 0;
    std::copy(data.begin(), data.end(), out.begin());
    return data.size();
}

size_t SocketProtocol::largestUnitSize() const {
    return MAX_DATA_LENGTH;
}

size_t SocketProtocol::sentUnitSize(std::span<const uint8_t> pending) const {
    return pending.empty() ? 0 : 1;
}

// Everything on a byte stream is data.
size_t SocketProtocol::readHeldUnit(std::span<const uint8_t> pending,
                                    std::vector<uint8_t>& data) const {
    data.insert(data.end(), pending.begin(), pending.end());
    return pending.size();
}

bool SocketProtocol::isDataUnit(std::span<const uint8_t>) const {
    return true;
}

int SocketProtocol::receiveWanted(int room) const {
    return dataBytesFitting(room);
}

int SocketProtocol::toDriverPackets(const uint8_t* in, int count, uint8_t* out) {
    int written = 0;
    for (int at = 0; at < count;) {
        int length = std::min(count - at, int(MAX_DATA_LENGTH));
        uint8_t header[DATA_PACKET_OVERHEAD] = {PACKET_START, CMD_DATA, uint8_t(length >> 8),
                                                uint8_t(length)};
        std::memcpy(out + written, header, sizeof header);
        std::memcpy(out + written + DATA_PACKET_OVERHEAD, in + at, size_t(length));
        written += DATA_PACKET_OVERHEAD + length;
        at += length;
    }
    return written;
}
