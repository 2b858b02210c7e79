#pragma once
// The Vorlix framing: the byte-exact frames the manager sends to a device server, the
// OPEN_RESULT frame it writes into a port's inQueue for the driver, and the search for
// the device's IDENT_REPLY among the bytes pending on a new connection.
//
// Every frame is 0xF0, a command byte, fixed-size parameters (only DATA has a length
// field), 0xE0; no escaping, no checksum, numbers big-endian. Everything here is pure
// and allocation-free: fixed arrays, or a caller's buffer for DATA. Any thread may
// call these functions.
#include "device/device_protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr uint8_t FRAME_START = 0xF0;
constexpr uint8_t FRAME_END = 0xE0;

enum : uint8_t {
    FRAME_IDENT = 0x11,
    FRAME_IDENT_REPLY = 0x12,
    FRAME_SREQ = 0x21,
    FRAME_DATA = 0x31,
    FRAME_MCR = 0x41,
    FRAME_OPEN = 0x71,
    FRAME_CLOSE = 0x72,
    FRAME_ALIVE = 0x81,
    FRAME_OPEN_RESULT = 0xA1,
};

constexpr size_t IDENT_FRAME_SIZE = 13;
constexpr size_t MAX_DATA_FRAME_SIZE = MAX_DATA_LENGTH + 5;
constexpr size_t IDENT_REPLY_SIZE = 18;
// The identification step peeks and reads the connection in blocks of this size.
constexpr size_t IDENT_SEARCH_LIMIT = 10240;

using IdentFrame = std::array<uint8_t, IDENT_FRAME_SIZE>;
using ShortFrame = std::array<uint8_t, 3>;
using ByteFrame = std::array<uint8_t, 4>;
using SreqFrame = std::array<uint8_t, 6>;

// F0 11 "QUORVALINK" E0, without a terminating zero.
IdentFrame identFrame();
ShortFrame openFrame();
ShortFrame closeFrame();
ShortFrame aliveFrame();
// The three setting bytes exactly as the driver's SREQ packet carried them.
SreqFrame sreqFrame(uint8_t p0, uint8_t p1, uint8_t p2);
// v: bit 0 DTR, bit 1 RTS.
ByteFrame mcrFrame(uint8_t value);
// Towards the driver only, never on the wire: result 1 connected and identified, 0 not.
ByteFrame openResultFrame(uint8_t result);

// Builds F0 31 LH LL data E0 into out (the port's txFrame) and returns its length,
// data.size() + 5. Returns 0 and writes nothing when data holds more than 512 bytes
// or out is too small.
size_t buildDataFrame(std::span<uint8_t> out, std::span<const uint8_t> data);

// The size of the frame the manager sent that starts at frame[0] (an 0xF0), or 0 when
// available bytes do not tell it or it is no frame of the manager's.
size_t sentFrameSize(const uint8_t* frame, size_t available);

enum class IdentReplyStatus { NotFound, Incomplete, Complete };

struct IdentReplySearch {
    IdentReplyStatus status;
    size_t offset; // of the reply's 0xF0 in pending, when Incomplete or Complete
};

// Looks for the reply among the bytes pending on the connection: only the first F0 12
// within the first 10240 bytes counts (a later one is not looked for while the first
// is incomplete), and it is complete when 18 bytes from its F0 lie within those 10240.
IdentReplySearch findIdentReply(std::span<const uint8_t> pending);

// reply starts at the reply's F0 and holds at least 18 bytes (a Complete search);
// MAXSPD and INFO.
DeviceIdentity readIdentReply(std::span<const uint8_t> reply);
