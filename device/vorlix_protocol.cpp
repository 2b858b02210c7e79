#include "device/vorlix_protocol.h"

#include "device/device_socket.h"
#include "device/wire_frames.h"
#include "platform/trace.h"

#include <algorithm>
#include <cstring>
#include <vector>

using platform::AsyncSocket;

namespace {

// The device server of device port n listens on TCP port 4000 + n.
constexpr int DEVICE_TCP_PORT_BASE = 4000;
constexpr int PEEK_SIZE = int(IDENT_SEARCH_LIMIT);

template <size_t N> size_t putFrame(std::span<uint8_t> out, const std::array<uint8_t, N>& frame) {
    std::copy(frame.begin(), frame.end(), out.begin());
    return N;
}

// Takes the reply out of the connection with one read; MAXSPD and INFO into identity.
void takeReply(DeviceSocket& socket, DeviceIdentity& identity, std::vector<uint8_t>& buffer) {
    int count = socket.Receive(buffer.data(), PEEK_SIZE);
    std::span<const uint8_t> received(buffer.data(), size_t(count > 0 ? count : 0));
    IdentReplySearch found = findIdentReply(received);
    if (found.status != IdentReplyStatus::Complete)
        return;
    identity = readIdentReply(received.subspan(found.offset));
    platform::debugTrace("Identification OK, MAXSPD %d, INFO %02X %02X %02X %02X\r\n",
                         identity.maxSpeed, identity.info[0], identity.info[1], identity.info[2],
                         identity.info[3]);
}

} // namespace

DialTarget VorlixProtocol::dialTarget(const char* address, int portNo) const {
    return {address, uint16_t(portNo + DEVICE_TCP_PORT_BASE)};
}

bool VorlixProtocol::sendGreeting(DeviceSocket& socket) {
    auto ident = identFrame();
    return socket.Send(ident.data(), int(ident.size()), 0) >= int(ident.size());
}

// Looks without asking for another read notification: the bytes of half a reply would
// otherwise wake the wait at every turn, and it would never sleep. A connection the
// device has closed (or reset) ends the wait at once, unless the reply is whole: what
// is pending then is all that will ever come. The close is looked at before the bytes,
// so that bytes that came just ahead of it are among those looked at.
GreetingCheck VorlixProtocol::checkGreeting(DeviceSocket& socket, DeviceIdentity& identity) {
    std::vector<uint8_t> buffer(PEEK_SIZE);
    bool closed = socket.peerHasClosed();
    int count = socket.Peek(buffer.data(), PEEK_SIZE);
    if (count == AsyncSocket::SOCKET_ERROR && socket.GetLastError() != AsyncSocket::WSAEWOULDBLOCK)
        return GreetingCheck::Failed;
    std::span<const uint8_t> pending(buffer.data(), size_t(count > 0 ? count : 0));
    if (findIdentReply(pending).status == IdentReplyStatus::Complete) {
        takeReply(socket, identity, buffer);
        return GreetingCheck::Complete;
    }
    return closed || count == 0 ? GreetingCheck::Failed : GreetingCheck::Waiting;
}

size_t VorlixProtocol::putOpen(std::span<uint8_t> out) const {
    return putFrame(out, openFrame());
}

size_t VorlixProtocol::putSettings(std::span<uint8_t> out, const uint8_t settings[3]) const {
    return putFrame(out, sreqFrame(settings[0], settings[1], settings[2]));
}

size_t VorlixProtocol::putModemControl(std::span<uint8_t> out, uint8_t value) const {
    return putFrame(out, mcrFrame(value));
}

size_t VorlixProtocol::putClose(std::span<uint8_t> out) const {
    return putFrame(out, closeFrame());
}

size_t VorlixProtocol::putKeepAlive(std::span<uint8_t> out) const {
    return putFrame(out, aliveFrame());
}

size_t VorlixProtocol::putData(std::span<uint8_t> out, std::span<const uint8_t> data) const {
    return buildDataFrame(out, data);
}

size_t VorlixProtocol::largestUnitSize() const {
    return MAX_DATA_FRAME_SIZE;
}

size_t VorlixProtocol::sentUnitSize(std::span<const uint8_t> pending) const {
    return sentFrameSize(pending.data(), pending.size());
}

size_t VorlixProtocol::readHeldUnit(std::span<const uint8_t> pending,
                                    std::vector<uint8_t>& data) const {
    size_t size = sentFrameSize(pending.data(), pending.size());
    if (size != 0 && size <= pending.size() && pending[1] == FRAME_DATA)
        data.insert(data.end(), pending.begin() + 4, pending.begin() + ptrdiff_t(size) - 1);
    return size;
}

bool VorlixProtocol::isDataUnit(std::span<const uint8_t> unit) const {
    return unit.size() >= 2 && unit[0] == FRAME_START && unit[1] == FRAME_DATA;
}

int VorlixProtocol::receiveWanted(int room) const {
    return room <= heldLength_ ? 0 : room - heldLength_;
}

// The device's frames are the driver's packets already; only where the driver's reader
// would cut them matters. A frame cut at the end of a read waits here for its rest: the
// driver takes only whole frames, so holding it back costs no time.
int VorlixProtocol::toDriverPackets(const uint8_t* in, int count, uint8_t* out) {
    std::memcpy(out, heldFrame_, size_t(heldLength_));
    std::memcpy(out + heldLength_, in, size_t(count));
    int total = heldLength_ + count;
    int whole = decidedLength(out, total);
    heldLength_ = total - whole;
    std::memcpy(heldFrame_, out + whole, size_t(heldLength_));
    return whole;
}
