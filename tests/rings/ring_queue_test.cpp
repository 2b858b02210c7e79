#include "rings/ring_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::unique_ptr<RingQueue> newRing() {
    return std::make_unique<RingQueue>(RingQueue{});
}

// A ring whose indices both stand at start, then bytes put in.
std::unique_ptr<RingQueue> ringHolding(const Bytes& bytes, int32_t start = 0) {
    auto ring = newRing();
    ring->readIndex = ring->writeIndex = start;
    for (uint8_t b : bytes)
        EXPECT_EQ(ringPut(ring.get(), b), RING_OK);
    return ring;
}

Bytes contents(const RingQueue* ring) {
    Bytes out;
    for (int32_t i = ring->readIndex; i != ring->writeIndex; i = (i + 1) % RING_SIZE)
        out.push_back(ring->data[i]);
    return out;
}

Bytes dataBytes(size_t n, uint8_t first) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(first + i);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(RingQueue, NewRingIsEmptyAndTakesAtMost5119Bytes) {
    auto ring = newRing();
    EXPECT_TRUE(ringEmpty(ring.get()));
    EXPECT_FALSE(ringFull(ring.get()));
    for (int i = 0; i < RING_SIZE - 1; ++i)
        ASSERT_EQ(ringPut(ring.get(), uint8_t(i)), RING_OK) << i;
    EXPECT_TRUE(ringFull(ring.get()));
    EXPECT_EQ(ringPut(ring.get(), 0xAA), RING_FULL);
    EXPECT_EQ(ring->writeIndex, RING_SIZE - 1);
    EXPECT_EQ(ring->data[RING_SIZE - 1], 0);
    for (int i = 0; i < RING_SIZE - 1; ++i) {
        uint8_t byte = 0;
        ASSERT_EQ(ringGet(ring.get(), &byte), RING_OK);
        ASSERT_EQ(byte, uint8_t(i));
    }
    uint8_t byte = 0x55;
    EXPECT_EQ(ringGet(ring.get(), &byte), RING_EMPTY);
    EXPECT_EQ(byte, 0x55);
}

TEST(RingQueue, PutIntoMissingQueueGivesNoQueue) {
    EXPECT_EQ(ringPut(nullptr, 1), RING_NO_QUEUE);
}

TEST(RingQueue, IndicesWrapFromLastCellToZero) {
    auto ring = ringHolding({}, RING_SIZE - 1);
    EXPECT_EQ(ringPut(ring.get(), 0x42), RING_OK);
    EXPECT_EQ(ring->data[RING_SIZE - 1], 0x42);
    EXPECT_EQ(ring->writeIndex, 0);
    uint8_t byte = 0;
    EXPECT_EQ(ringGet(ring.get(), &byte), RING_OK);
    EXPECT_EQ(byte, 0x42);
    EXPECT_EQ(ring->readIndex, 0);
}

TEST(RingQueue, UngetAtZeroStoresAtLastCellAndIsTakenNext) {
    auto ring = ringHolding({0x01, 0x02});
    uint8_t byte = 0;
    ASSERT_EQ(ringGet(ring.get(), &byte), RING_OK);
    ASSERT_EQ(ringUnget(ring.get(), 0x11), RING_OK);
    ASSERT_EQ(ringUnget(ring.get(), 0x22), RING_OK);
    EXPECT_EQ(ring->readIndex, RING_SIZE - 1);
    EXPECT_EQ(ring->data[RING_SIZE - 1], 0x22);
    EXPECT_EQ(contents(ring.get()), (Bytes{0x22, 0x11, 0x02}));
}

TEST(RingQueue, UngetIntoFullRingIsRefused) {
    auto ring = ringHolding(Bytes(RING_SIZE - 1, 0x33), 7);
    EXPECT_EQ(ringUnget(ring.get(), 0x44), RING_FULL);
    EXPECT_EQ(ring->readIndex, 7);
    EXPECT_EQ(contents(ring.get()), Bytes(RING_SIZE - 1, 0x33));
}

TEST(RingQueue, ResetZeroesTheWholeBlock) {
    auto ring = ringHolding({1, 2, 3}, 100);
    ringSetDataReady(ring.get(), true);
    ring->fill[0] = 9;
    ring->roomWanted = 1;
    ringReset(ring.get());
    const auto* raw = reinterpret_cast<const uint8_t*>(ring.get());
    EXPECT_EQ(Bytes(raw, raw + RING_BLOCK_SIZE), Bytes(RING_BLOCK_SIZE, 0));
    EXPECT_TRUE(ringEmpty(ring.get()));
    EXPECT_FALSE(ringDataReady(ring.get()));
}

TEST(RingQueue, DataReadyIsTheByteAtOffset8) {
    auto ring = newRing();
    ringSetDataReady(ring.get(), true);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(ring.get())[8], 1);
    EXPECT_TRUE(ringDataReady(ring.get()));
    ringSetDataReady(ring.get(), false);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(ring.get())[8], 0);
}

struct ReaderCase {
    std::string name;
    Bytes ring;
    std::vector<Bytes> packets; // what successive calls return, in order
    Bytes left;                 // what the ring holds after the last call
};

std::vector<ReaderCase> readerCases() {
    Bytes longData = dataBytes(513, 0x00);
    longData[5] = 0xF0;
    longData[6] = 'r';
    for (size_t i = 7; i < longData.size(); ++i)
        longData[i] = 0x55;
    Bytes data512 = dataBytes(512, 0x80);
    return {
        {"GarbageBeforeOpenIsDropped", {0x10, 0x20, 0xF0, 'q'}, {{'q'}}, {}},
        {"IncompleteDataHeaderStaysInPlace", {0xF0, '1', 0x00}, {}, {0xF0, '1', 0x00}},
        {"OversizedDataDropsHeaderAndHuntsInItsData",
         concat({{0xF0, '1', 0x02, 0x01}, longData}),
         {{'r'}},
         {}},
        {"SecondStartByteIsAnInvalidCommand", {0xF0, 0xF0, 'r'}, {}, {}},
        {"TrailingEndByteIsSkipped", {0xF0, 'r', 0xE0, 0xF0, 'q'}, {{'r'}, {'q'}}, {}},
        {"Data512Gives515Bytes",
         concat({{0xF0, '1', 0x02, 0x00}, data512}),
         {concat({{'1', 0x02, 0x00}, data512})},
         {}},
        {"EmptyDataIsAPacket", {0xF0, '1', 0, 0, 0xE0}, {{'1', 0, 0}}, {}},
        {"EveryCommandHasItsLength",
         {0xF0, '!', 1, 2, 3, 0xF0, 'A', 3, 0xF0, 'C', 0xB0, 0xF0, 'a', 0xF0, 'b'},
         {{'!', 1, 2, 3}, {'A', 3}, {'C', 0xB0}, {'a'}, {'b'}},
         {}},
        {"LoneStartByteStays", {0x01, 0xF0}, {}, {0xF0}},
        {"IncompleteSreqStays", {0x01, 0x02, 0xF0, '!', 7, 8}, {}, {0xF0, '!', 7, 8}},
        {"IncompleteDataBodyStays",
         {0xF0, '1', 0, 3, 0xE0, 0xF0},
         {},
         {0xF0, '1', 0, 3, 0xE0, 0xF0}},
        {"OpenResultIsNoDriverPacket", {0xF0, 0xA1, 0x01, 0xE0}, {}, {}},
        {"StartByteInsideDataIsData",
         {0xF0, '1', 0, 2, 0xF0, 'q', 0xF0, 'q'},
         {{'1', 0, 2, 0xF0, 'q'}, {'q'}},
         {}},
    };
}

class ReadDriverPacket : public testing::TestWithParam<ReaderCase> {};

TEST_P(ReadDriverPacket, TakesWholePacketsAndLeavesTheRest) {
    const ReaderCase& c = GetParam();
    for (int32_t start : {0, 3, RING_SIZE - 3}) {
        SCOPED_TRACE("ring starting at " + std::to_string(start));
        auto ring = ringHolding(c.ring, start);
        std::vector<uint8_t> buffer(PACKET_BUFFER_SIZE);
        for (const Bytes& packet : c.packets) {
            ASSERT_EQ(readDriverPacket(ring.get(), buffer.data()), 1);
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + packet.size()), packet);
        }
        EXPECT_EQ(readDriverPacket(ring.get(), buffer.data()), 0);
        EXPECT_EQ(contents(ring.get()), c.left);
        int32_t leftAt = (ring->writeIndex - int32_t(c.left.size()) + RING_SIZE) % RING_SIZE;
        EXPECT_EQ(ring->readIndex, leftAt);
    }
}

INSTANTIATE_TEST_SUITE_P(Contents, ReadDriverPacket, testing::ValuesIn(readerCases()),
                         [](const auto& info) { return info.param.name; });

TEST(ReadDriverPacketEdges, IncompletePacketKeepsReadIndexAndIsTakenWhenComplete) {
    auto ring = ringHolding({0xF0, '1', 0x00}, 40);
    uint8_t buffer[PACKET_BUFFER_SIZE] = {};
    EXPECT_EQ(readDriverPacket(ring.get(), buffer), 0);
    EXPECT_EQ(ring->readIndex, 40);
    for (uint8_t b : {0x02, 0x61, 0x62})
        ringPut(ring.get(), b);
    EXPECT_EQ(readDriverPacket(ring.get(), buffer), 1);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{'1', 0x00, 0x02, 0x61, 0x62}));
    EXPECT_TRUE(ringEmpty(ring.get()));
}

TEST(ReadDriverPacketEdges, MissingQueueGivesNothing) {
    uint8_t buffer[PACKET_BUFFER_SIZE] = {};
    EXPECT_EQ(readDriverPacket(nullptr, buffer), 0);
    EXPECT_EQ(takeDriverPacket(nullptr, buffer), 0);
}

TEST(TakeDriverPacket, LeavesTheRingAloneWhileDataReadyIsClear) {
    auto ring = ringHolding({0x01, 0xF0, 'q'});
    uint8_t buffer[PACKET_BUFFER_SIZE] = {};
    EXPECT_EQ(takeDriverPacket(ring.get(), buffer), 0);
    EXPECT_EQ(contents(ring.get()), (Bytes{0x01, 0xF0, 'q'}));
}

TEST(TakeDriverPacket, ClearsDataReadyOnlyWhenNoWholePacketIsLeft) {
    auto ring = ringHolding({0xF0, 'q', 0xF0, 'A'});
    ringSetDataReady(ring.get(), true);
    uint8_t buffer[PACKET_BUFFER_SIZE] = {};
    EXPECT_EQ(takeDriverPacket(ring.get(), buffer), 1);
    EXPECT_EQ(buffer[0], 'q');
    EXPECT_TRUE(ringDataReady(ring.get()));
    EXPECT_EQ(takeDriverPacket(ring.get(), buffer), 0);
    EXPECT_FALSE(ringDataReady(ring.get()));
    EXPECT_EQ(contents(ring.get()), (Bytes{0xF0, 'A'}));
}

} // namespace
