// The driver-packet reader over a ring: any bytes, put in any pieces from any start
// position of the indices (so packets wrap around the end), read at any moment with
// readDriverPacket or with the reader protocol (takeDriverPacket). Checks:
// - the packets taken are exactly the reference's packets of the bytes put so far, each
//   whole and in order, and what stays in the ring is exactly the bytes the reference
//   has not decided on yet (an incomplete packet stays where it was);
// - the reader never reads or writes outside the ring (the fill bytes are poisoned, the
//   packet buffer is exactly 515 bytes) and never moves writeIndex;
// - a full ring always yields a packet or drops bytes: the writer is never stuck;
// - after takeDriverPacket finds nothing, dataReady is 0 and no whole packet is left.
// - decidedLength, the writer's view of the same rules, finds the same undecided point.
//
// Input: start index (2 bytes), then pieces: a length, whether to read after it, and
// which reader to use, followed by the piece's bytes.
#include "fuzz/fuzz_support.h"

#include <memory>

using namespace fuzz;

namespace {

class ReaderRun {
  public:
    explicit ReaderRun(int start) : ring_(start), buffer_(new uint8_t[PACKET_BUFFER_SIZE]) {}

    void put(const Bytes& piece) {
        for (uint8_t byte : piece) {
            while (ringPut(ring_.get(), byte) == RING_FULL)
                makeRoom();
            fed_.push_back(byte);
        }
        continueReading(fed_, reference_);
        ringSetDataReady(ring_.get(), true);
    }

    // Takes every whole packet now in the ring.
    void readAll(bool readerProtocol) {
        while (readOne(readerProtocol)) {
        }
        if (readerProtocol)
            check(!ringDataReady(ring_.get()),
                  "takeDriverPacket found nothing but left dataReady set");
        checkInStep();
    }

    // The writer's view of the same bytes (decidedLength) agrees with the reader's.
    void finish() {
        readAll(false);
        check(size_t(decidedLength(fed_.data(), int(fed_.size()))) == reference_.undecidedFrom,
              "decidedLength disagrees with the reader on where the undecided bytes begin");
    }

  private:
    bool readOne(bool readerProtocol) {
        RingQueue* ring = ring_.get();
        int32_t writeBefore = ring->writeIndex;
        int got = readerProtocol ? takeDriverPacket(ring, buffer_.get())
                                 : readDriverPacket(ring, buffer_.get());
        check(ring->writeIndex == writeBefore, "the reader moved writeIndex");
        check(ring_.indicesInRange(), "an index left 0..5119");
        if (got == 1)
            checkPacket();
        else
            check(got == 0, "the reader returned neither 0 nor 1");
        return got == 1;
    }

    // The packet just taken is the reference's next one, byte for byte.
    void checkPacket() {
        check(taken_.size() < reference_.packets.size(), "a packet the reference does not find");
        const ReferencePacket& expected = reference_.packets[taken_.size()];
        Bytes got(buffer_.get(), buffer_.get() + expected.bytes.size());
        if (got != expected.bytes)
            fail("packet " + std::to_string(taken_.size()) + " is " + hex(got) + ", expected " +
                 hex(expected.bytes));
        taken_.push_back(expected.end);
    }

    // What stays in the ring is the stream from the reference's undecided point on,
    // once every whole packet has been taken.
    void checkInStep() {
        check(taken_.size() == reference_.packets.size(), "a whole packet was left in the ring");
        Bytes rest(fed_.begin() + long(reference_.undecidedFrom), fed_.end());
        if (ring_.content() != rest)
            fail("the ring holds " + hex(ring_.content()) + ", expected " + hex(rest));
    }

    // The writer found the ring full: a reader must free room, since no incomplete
    // packet is anywhere near 5119 bytes long.
    void makeRoom() {
        continueReading(fed_, reference_);
        int32_t readBefore = ring_.get()->readIndex;
        readOne(false);
        check(ring_.get()->readIndex != readBefore,
              "a full ring gave no packet and dropped nothing");
    }

    GuardedRing ring_;
    std::unique_ptr<uint8_t[]> buffer_; // exactly 515 bytes: a longer copy is caught
    Bytes fed_;
    ReferenceReading reference_{{}, 0}; // of fed_
    std::vector<size_t> taken_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader input(data, size);
    ReaderRun run(int(input.number(0, RING_SIZE - 1)));
    while (input.remaining() > 0) {
        size_t length = input.number(0, 1200);
        bool readAfter = input.flag();
        bool readerProtocol = input.flag();
        run.put(input.bytes(length));
        if (readAfter)
            run.readAll(readerProtocol);
    }
    run.finish();
    return 0;
}
