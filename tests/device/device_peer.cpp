#include "tests/device/device_peer.h"

#include "config/manager_context.h"
#include "device/port_connection.h"
#include "tests/support/pump.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr size_t IDENT_SIZE = 13;
constexpr int ANSWER_WAIT_MS = 10000;

bool readable(int fd, int timeoutMs) {
    pollfd polled{fd, POLLIN, 0};
    return ::poll(&polled, 1, timeoutMs) > 0;
}

bool writeAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += size_t(sent);
    }
    return true;
}

// Nothing of ours is left unacknowledged: the other side's system holds it.
bool acknowledged(int fd, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int unacknowledged = 0;
    while (::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        ::usleep(1000);
    }
    return unacknowledged == 0;
}

std::vector<uint8_t> readExactly(int fd, size_t count, int timeoutMs) {
    std::vector<uint8_t> bytes(count);
    size_t got = 0;
    while (got < count && readable(fd, timeoutMs)) {
        ssize_t n = ::recv(fd, bytes.data() + got, count - got, 0);
        if (n <= 0)
            break;
        got += size_t(n);
    }
    bytes.resize(got);
    return bytes;
}

} // namespace

DevicePeer::DevicePeer(const std::string& address, int tcpPort, int receiveBuffer) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer > 0)
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(tcpPort));
    ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(listener_, 1) != 0) {
        ::close(listener_);
        listener_ = -1;
    }
}

DevicePeer::~DevicePeer() {
    if (answering_.joinable())
        answering_.join();
    if (connection_ >= 0)
        ::close(connection_);
    if (listener_ >= 0)
        ::close(listener_);
}

void DevicePeer::answer(std::vector<uint8_t> greeting, std::vector<uint8_t> reply) {
    answering_ = std::thread([this, greeting = std::move(greeting), reply = std::move(reply)] {
        answered_ = serve(greeting, reply);
    });
}

bool DevicePeer::serve(const std::vector<uint8_t>& greeting, const std::vector<uint8_t>& reply) {
    if (listener_ < 0 || !readable(listener_, ANSWER_WAIT_MS))
        return false;
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection_ < 0)
        return false;
    if (!greeting.empty()) {
        if (!writeAll(connection_, greeting) || !acknowledged(connection_, ANSWER_WAIT_MS))
            return false;
        greetingDelivered_.store(true);
    }
    if (readExactly(connection_, IDENT_SIZE, ANSWER_WAIT_MS).size() != IDENT_SIZE)
        return false;
    return writeAll(connection_, reply);
}

bool DevicePeer::answered() {
    if (answering_.joinable())
        answering_.join();
    return answered_;
}

std::vector<uint8_t> DevicePeer::readNow() {
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    while (connection_ >= 0 && !closed_) {
        ssize_t n = ::recv(connection_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        else {
            closed_ = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            break;
        }
    }
    return bytes;
}

std::vector<uint8_t> DevicePeer::readUntilQuiet(int quietMs) {
    std::vector<uint8_t> bytes;
    auto lastArrival = std::chrono::steady_clock::now();
    pumpUntil(
        [&] {
            std::vector<uint8_t> more = readNow();
            if (!more.empty()) {
                bytes.insert(bytes.end(), more.begin(), more.end());
                lastArrival = std::chrono::steady_clock::now();
            }
            return closed_ || std::chrono::steady_clock::now() - lastArrival >
                                  std::chrono::milliseconds(quietMs);
        },
        60000);
    return bytes;
}

std::vector<uint8_t> DevicePeer::readUntilClosed(int timeoutMs) {
    std::vector<uint8_t> bytes;
    pumpUntil(
        [&] {
            std::vector<uint8_t> more = readNow();
            bytes.insert(bytes.end(), more.begin(), more.end());
            return closed_;
        },
        timeoutMs);
    return bytes;
}

DeviceStream splitFrames(const std::vector<uint8_t>& bytes) {
    DeviceStream stream;
    size_t at = 0;
    while (at < bytes.size()) {
        int size = vorlixsim::frameSize(&bytes[at], bytes.size() - at);
        if (bytes[at] != 0xF0 || size < 0) {
            stream.malformed = true;
            return stream;
        }
        if (size == 0 || at + size_t(size) > bytes.size()) {
            stream.cutFrame.assign(bytes.begin() + long(at), bytes.end());
            return stream;
        }
        vorlixsim::Frame frame;
        frame.command = bytes[at + 1];
        frame.bytes.assign(bytes.begin() + long(at), bytes.begin() + long(at) + size);
        if (frame.bytes.back() != 0xE0)
            stream.malformed = true;
        stream.frames.push_back(std::move(frame));
        at += size_t(size);
    }
    return stream;
}

std::vector<uint8_t> dataPayloads(const DeviceStream& stream) {
    std::vector<uint8_t> payload;
    for (const vorlixsim::Frame& frame : stream.frames)
        if (frame.command == 0x31)
            payload.insert(payload.end(), frame.bytes.begin() + 4, frame.bytes.end() - 1);
    if (stream.cutFrame.size() > 4 && stream.cutFrame[1] == 0x31)
        payload.insert(payload.end(), stream.cutFrame.begin() + 4, stream.cutFrame.end());
    return payload;
}

std::vector<uint8_t> textPattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = 12345;
    for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = uint8_t('0' + (state >> 16) % 75); // '0'..'z'
    }
    return bytes;
}

namespace {

// The pending frame when the socket took only its first part, otherwise nothing.
std::vector<uint8_t> partlySentFrame(PortRecord& record) {
    platform::MutexLock lock(record.relayLock);
    UnsentFrames unsent = unsentFrames(record);
    return unsent.partly ? unsent.bytes : std::vector<uint8_t>{};
}

} // namespace

bool writeUntilBlocked(int app, int slot, std::vector<uint8_t>& written, int timeoutMs) {
    static const std::vector<uint8_t> chunk = textPattern(1 << 16);
    constexpr auto STEADY = std::chrono::milliseconds(300);
    size_t offset = 0;
    std::vector<uint8_t> seen;
    auto seenSince = std::chrono::steady_clock::now();
    return pumpUntil(
        [&] {
            std::vector<uint8_t> pending = partlySentFrame(port(slot));
            auto now = std::chrono::steady_clock::now();
            if (pending.empty() || pending != seen) {
                seen = pending;
                seenSince = now;
            } else if (now - seenSince >= STEADY) {
                return true;
            }
            ssize_t n = ::write(app, chunk.data() + offset, chunk.size() - offset);
            if (n > 0) {
                written.insert(written.end(), chunk.begin() + long(offset),
                               chunk.begin() + long(offset) + n);
                offset = (offset + size_t(n)) % chunk.size();
            }
            return false;
        },
        timeoutMs);
}

void DevicePeer::answerAndHangUp(std::vector<uint8_t> greeting, std::vector<uint8_t> reply) {
    answering_ = std::thread([this, greeting = std::move(greeting), reply = std::move(reply)] {
        answered_ = serve(greeting, reply);
        if (connection_ >= 0)
            ::close(std::exchange(connection_, -1));
    });
}
