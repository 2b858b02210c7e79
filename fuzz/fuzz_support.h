#pragma once
// What the fuzz targets share: an invariant check that ends the run with a message
// (libFuzzer keeps the input that broke it), a reference reading of driver packets
// written straight from the packet format (no ring, no wrap-around, no incremental
// state) and a ring block whose neighbours are out of bounds for AddressSanitizer.
//
// Each target is single-threaded: its LLVMFuzzerTestOneInput and these helpers run on
// the fuzzer's one thread.
#include "rings/ring_queue.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Prints what broke and aborts, so the engine records the input.
[[noreturn]] void fail(const std::string& what);
inline void check(bool holds, const char* what) {
    if (!holds)
        fail(what);
}
std::string hex(const Bytes& bytes, size_t limit = 64);

struct ReferencePacket {
    Bytes bytes; // without the 0xF0: the command byte, then its parameters
    size_t end;  // offset one past its last byte in the stream
};
struct ReferenceReading {
    std::vector<ReferencePacket> packets;
    size_t undecidedFrom; // start of the incomplete packet at the end, or the length
};
// The packets a reader that takes whole packets only finds in stream, and where the
// bytes it has not decided on yet begin.
ReferenceReading referencePackets(const Bytes& stream);
// The same for a stream that has grown since reading was made: decisions on a prefix
// never change, so the reading goes on from its undecided point.
void continueReading(const Bytes& stream, ReferenceReading& reading);

// Size of a packet as readDriverPacket copies it (command byte first, no 0xF0); 0
// when the command byte is none of the packet table's.
size_t packetSize(const uint8_t* packet);

// A zeroed RingQueue on the heap whose three bytes after the data are poisoned: a
// reader or writer that strays past data[5119] is caught, not only one that leaves the
// block.
class GuardedRing {
  public:
    // withNotices: the notices beside the bytes (closeNotice, roomWanted) are used, and
    // only the last fill byte is poisoned.
    explicit GuardedRing(int startIndex = 0, bool withNotices = false);
    ~GuardedRing();
    GuardedRing(const GuardedRing&) = delete;
    GuardedRing& operator=(const GuardedRing&) = delete;
    RingQueue* get() const { return ring_; }
    // The bytes between readIndex and writeIndex, in order.
    Bytes content() const;
    // Both indices inside 0..5119.
    bool indicesInRange() const;

  private:
    RingQueue* ring_;
    size_t guardFrom_; // offset of the first poisoned byte
};

// Takes a fuzz input apart from its front: numbers in a range, flags, byte runs.
// Past the end every number is its range's low end and every run is short.
class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t remaining() const { return size_ - at_; }
    // A number in low..high (high - low below 2^32), from as few bytes as the range needs.
    uint64_t number(uint64_t low, uint64_t high);
    bool flag() { return number(0, 1) == 1; }
    Bytes bytes(size_t count);
    Bytes rest() { return bytes(remaining()); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The bytes of files given on the command line: the replay driver's and the
// harness targets' seed reading.
Bytes readFile(const std::string& path);

} // namespace fuzz
