#include "device/wire_frames.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char IDENT_MAGIC[] = "QUORVALINK";
constexpr size_t IDENT_MAGIC_SIZE = sizeof IDENT_MAGIC - 1;
static_assert(IDENT_MAGIC_SIZE + 3 == IDENT_FRAME_SIZE);

constexpr size_t MAXSPD_OFFSET = 12;
constexpr size_t INFO_OFFSET = 13;

ShortFrame shortFrame(uint8_t command) {
    return {FRAME_START, command, FRAME_END};
}
ByteFrame byteFrame(uint8_t command, uint8_t value) {
    return {FRAME_START, command, value, FRAME_END};
}

} // namespace

IdentFrame identFrame() {
    IdentFrame frame{};
    frame[0] = FRAME_START;
    frame[1] = FRAME_IDENT;
    std::memcpy(&frame[2], IDENT_MAGIC, IDENT_MAGIC_SIZE);
    frame[IDENT_FRAME_SIZE - 1] = FRAME_END;
    return frame;
}

ShortFrame openFrame() {
    return shortFrame(FRAME_OPEN);
}
ShortFrame closeFrame() {
    return shortFrame(FRAME_CLOSE);
}
ShortFrame aliveFrame() {
    return shortFrame(FRAME_ALIVE);
}

SreqFrame sreqFrame(uint8_t p0, uint8_t p1, uint8_t p2) {
    return {FRAME_START, FRAME_SREQ, p0, p1, p2, FRAME_END};
}

ByteFrame mcrFrame(uint8_t value) {
    return byteFrame(FRAME_MCR, value);
}
ByteFrame openResultFrame(uint8_t result) {
    return byteFrame(FRAME_OPEN_RESULT, result);
}

size_t buildDataFrame(std::span<uint8_t> out, std::span<const uint8_t> data) {
    size_t n = data.size();
    if (n > MAX_DATA_LENGTH || out.size() < n + 5)
        return 0;
    out[0] = FRAME_START;
    out[1] = FRAME_DATA;
    out[2] = uint8_t(n >> 8);
    out[3] = uint8_t(n & 0xFF);
    std::copy(data.begin(), data.end(), out.begin() + 4);
    out[n + 4] = FRAME_END;
    return n + 5;
}

size_t sentFrameSize(const uint8_t* frame, size_t available) {
    if (available < 2 || frame[0] != FRAME_START)
        return 0;
    switch (frame[1]) {
    case FRAME_IDENT:
        return IDENT_FRAME_SIZE;
    case FRAME_OPEN:
    case FRAME_CLOSE:
    case FRAME_ALIVE:
        return 3;
    case FRAME_MCR:
        return 4;
    case FRAME_SREQ:
        return 6;
    case FRAME_DATA:
        return available < 4 ? 0 : size_t(frame[2] << 8 | frame[3]) + 5;
    default:
        return 0;
    }
}

IdentReplySearch findIdentReply(std::span<const uint8_t> pending) {
    std::span<const uint8_t> window = pending.first(std::min(pending.size(), IDENT_SEARCH_LIMIT));
    const uint8_t pattern[] = {FRAME_START, FRAME_IDENT_REPLY};
    auto found = std::search(window.begin(), window.end(), std::begin(pattern), std::end(pattern));
    if (found == window.end())
        return {IdentReplyStatus::NotFound, 0};
    size_t offset = size_t(found - window.begin());
    // A reply running past the window would not be wholly in the one read that
    // consumes it, so it counts as still incomplete.
    if (window.size() - offset < IDENT_REPLY_SIZE)
        return {IdentReplyStatus::Incomplete, offset};
    return {IdentReplyStatus::Complete, offset};
}

DeviceIdentity readIdentReply(std::span<const uint8_t> reply) {
    DeviceIdentity identity{};
    identity.maxSpeed = reply[MAXSPD_OFFSET];
    std::copy_n(reply.begin() + INFO_OFFSET, 4, identity.info);
    return identity;
}
