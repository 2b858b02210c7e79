// The two sides of a ring on two threads, as the driver and the relay thread use it.
#include "rings/ring_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Packet number i, without its 0xF0; the sequence number is in every packet so a lost,
// doubled or reordered one shows.
Bytes packetNumber(int i) {
    uint8_t seq = uint8_t(i);
    switch (i % 4) {
    case 0:
        return {CMD_MCR, seq};
    case 1:
        return {CMD_SREQ, seq, uint8_t(i >> 8), 0xE0};
    case 2: {
        int n = (i * 37) % 513;
        Bytes packet{CMD_DATA, uint8_t(n >> 8), uint8_t(n)};
        for (int k = 0; k < n; ++k)
            packet.push_back(uint8_t(seq + k)); // 0xF0 inside data included
        return packet;
    }
    default:
        return {CMD_OPEN};
    }
}

void putBlocking(RingQueue* ring, uint8_t byte) {
    while (ringPut(ring, byte) == RING_FULL)
        std::this_thread::yield();
}

struct Progress {
    int count;                     // packets to send
    std::atomic<int> announced{0}; // packets put whole and announced with dataReady
    std::atomic<int> received{0};
    std::atomic<bool> stranded{false};
};

// Writer protocol: bytes, then dataReady. Garbage never holds 0xF0, which would eat
// the start of the packet after it. With lockstep the writer waits for each packet to
// be taken, so every packet is the last one in the ring at some point: the moment a
// lost notice strands it.
void writeStream(RingQueue* ring, Progress& progress, bool lockstep) {
    std::mt19937 random(7);
    for (int i = 0; i < progress.count && !progress.stranded.load(); ++i) {
        int garbage = random() % 4;
        for (int g = 0; g < garbage; ++g)
            putBlocking(ring, uint8_t(random() % 0xF0));
        putBlocking(ring, PACKET_START);
        for (uint8_t b : packetNumber(i))
            putBlocking(ring, b);
        ringSetDataReady(ring, true);
        progress.announced.store(i + 1);
        while (lockstep && progress.received.load() <= i && !progress.stranded.load())
            std::this_thread::yield();
    }
}

// Reader: a packet announced before takeDriverPacket began must come out of it.
void readStream(RingQueue* ring, Progress& progress) {
    std::vector<uint8_t> buffer(PACKET_BUFFER_SIZE);
    int received = 0;
    while (received < progress.count) {
        int announced = progress.announced.load();
        if (takeDriverPacket(ring, buffer.data())) {
            Bytes expected = packetNumber(received);
            ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + expected.size()), expected)
                << "packet " << received;
            progress.received.store(++received);
        } else if (announced > received) {
            progress.stranded.store(true);
            FAIL() << "packet " << received << " announced but not taken";
        } else {
            std::this_thread::yield();
        }
    }
}

class RingThreads : public testing::TestWithParam<bool> {};

TEST_P(RingThreads, EveryPacketArrivesWholeInOrderAndNoNoticeIsLost) {
    auto ring = std::make_unique<RingQueue>(RingQueue{});
    // Lockstep hits the lost-notice window only now and then, so it runs longer.
    Progress progress{GetParam() ? 20000 : 4000};
    std::thread writer(writeStream, ring.get(), std::ref(progress), GetParam());
    readStream(ring.get(), progress);
    progress.stranded.store(progress.stranded.load() || HasFailure());
    writer.join();
    EXPECT_EQ(progress.received.load(), progress.count);
    EXPECT_TRUE(ringEmpty(ring.get()));
}

INSTANTIATE_TEST_SUITE_P(Writer, RingThreads, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Lockstep" : "Streaming"; });

} // namespace
