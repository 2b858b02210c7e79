#include "fuzz/fuzz_support.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace fuzz {

void fail(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string hex(const Bytes& bytes, size_t limit) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(digits, sizeof digits, "%02X ", bytes[i]);
        text += digits;
    }
    if (bytes.size() > limit)
        text += "...";
    return text;
}

namespace {

// Whole length of a packet with this command byte (0xF0 included); 0 for DATA, whose
// length is in the packet; -1 for a byte that is no command.
int fixedLength(uint8_t command) {
    switch (command) {
    case '!':
        return 5;
    case 'A':
    case 'B':
    case 'C':
    case 'P':
        return 3;
    case 'a':
    case 'b':
    case 'q':
    case 'r':
        return 2;
    case '1':
        return 0;
    default:
        return -1;
    }
}

} // namespace

ReferenceReading referencePackets(const Bytes& stream) {
    ReferenceReading reading{{}, 0};
    continueReading(stream, reading);
    return reading;
}

void continueReading(const Bytes& stream, ReferenceReading& reading) {
    const size_t length = stream.size();
    size_t at = reading.undecidedFrom;
    reading.undecidedFrom = length;
    for (;;) {
        while (at < length && stream[at] != 0xF0)
            ++at;
        if (at == length)
            return;
        if (at + 2 > length) {
            reading.undecidedFrom = at;
            return;
        }
        int fixed = fixedLength(stream[at + 1]);
        size_t need = size_t(fixed);
        if (fixed < 0) {
            at += 2;
            continue;
        }
        if (fixed == 0) {
            if (at + 4 > length) {
                reading.undecidedFrom = at;
                return;
            }
            size_t n = stream[at + 2] * 256u + stream[at + 3];
            if (n > 512) {
                at += 4;
                continue;
            }
            need = n + 4;
        }
        if (at + need > length) {
            reading.undecidedFrom = at;
            return;
        }
        reading.packets.push_back(
            {Bytes(stream.begin() + long(at) + 1, stream.begin() + long(at + need)), at + need});
        at += need;
    }
}

size_t packetSize(const uint8_t* packet) {
    int fixed = fixedLength(packet[0]);
    if (fixed < 0)
        return 0;
    return fixed > 0 ? size_t(fixed - 1) : 3 + size_t(packet[1] * 256 + packet[2]);
}

GuardedRing::GuardedRing(int startIndex, bool withNotices)
    : ring_(new RingQueue{}),
      guardFrom_(withNotices ? offsetof(RingQueue, fill) : offsetof(RingQueue, closeNotice)) {
    ring_->readIndex = startIndex;
    ring_->writeIndex = startIndex;
    ASAN_POISON_MEMORY_REGION(reinterpret_cast<uint8_t*>(ring_) + guardFrom_,
                              RING_BLOCK_SIZE - guardFrom_);
}

GuardedRing::~GuardedRing() {
    ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<uint8_t*>(ring_) + guardFrom_,
                                RING_BLOCK_SIZE - guardFrom_);
    delete ring_;
}

Bytes GuardedRing::content() const {
    Bytes bytes;
    for (int32_t at = ring_->readIndex; at != ring_->writeIndex; at = (at + 1) % RING_SIZE)
        bytes.push_back(ring_->data[at]);
    return bytes;
}

bool GuardedRing::indicesInRange() const {
    return ring_->readIndex >= 0 && ring_->readIndex < RING_SIZE && ring_->writeIndex >= 0 &&
           ring_->writeIndex < RING_SIZE;
}

uint64_t InputReader::number(uint64_t low, uint64_t high) {
    uint64_t span = high - low;
    uint64_t value = 0;
    for (uint64_t covered = 0; covered < span && at_ < size_; covered = covered << 8 | 0xFF)
        value = value << 8 | data_[at_++];
    return low + (span == UINT64_MAX ? value : value % (span + 1));
}

Bytes InputReader::bytes(size_t count) {
    count = std::min(count, remaining());
    Bytes taken(data_ + at_, data_ + at_ + count);
    at_ += count;
    return taken;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace fuzz
