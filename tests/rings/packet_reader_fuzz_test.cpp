// readDriverPacket against a reference: a whole-stream parser written straight from the
// packet format, with no ring, no wrap-around and no incremental state. Feeding any
// stream into a ring in any pieces and reading after every piece must give exactly the
// packets the reference finds in the bytes fed so far, and leave exactly the bytes the
// reference has not decided on yet.
#include "rings/ring_queue.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct RefPacket {
    Bytes bytes; // without the 0xF0
    size_t end;  // stream offset one past its last byte
};

struct RefParse {
    std::vector<RefPacket> packets;
    size_t undecidedFrom; // start of the incomplete packet at the end, or the length
};

// Whole length (0xF0 included) of each command's packet; DATA is looked at apart.
const std::map<uint8_t, size_t> FIXED_LENGTH = {{'!', 5}, {'A', 3}, {'B', 3}, {'C', 3}, {'P', 3},
                                                {'a', 2}, {'b', 2}, {'q', 2}, {'r', 2}};

RefParse referenceParse(const Bytes& stream, size_t length) {
    RefParse result{{}, length};
    size_t at = 0;
    for (;;) {
        while (at < length && stream[at] != 0xF0)
            ++at;
        if (at == length)
            return result;
        size_t need = 0;
        if (at + 2 <= length && FIXED_LENGTH.count(stream[at + 1]))
            need = FIXED_LENGTH.at(stream[at + 1]);
        else if (at + 2 <= length && stream[at + 1] == '1') {
            if (at + 4 > length) {
                result.undecidedFrom = at;
                return result;
            }
            size_t n = stream[at + 2] * 256u + stream[at + 3];
            if (n > 512) {
                at += 4;
                continue;
            }
            need = n + 4;
        } else if (at + 2 <= length) {
            at += 2;
            continue;
        } else {
            result.undecidedFrom = at;
            return result;
        }
        if (at + need > length) {
            result.undecidedFrom = at;
            return result;
        }
        result.packets.push_back(
            {Bytes(stream.begin() + at + 1, stream.begin() + at + need), at + need});
        at += need;
    }
}

class StreamMaker {
  public:
    explicit StreamMaker(uint32_t seed) : random(seed) {}

    Bytes make(size_t approximateLength) {
        Bytes out;
        while (out.size() < approximateLength)
            addPiece(out);
        return out;
    }

    Bytes validPacket() {
        static const uint8_t commands[] = {'!', 'A', 'B', 'C', 'P', 'a', 'b', 'q', 'r', '1', '1'};
        uint8_t command = commands[random() % std::size(commands)];
        Bytes packet{0xF0, command};
        if (command == '1') {
            static const size_t lengths[] = {0, 1, 2, 511, 512};
            size_t n = random() % 2 ? lengths[random() % 5] : random() % 513;
            packet.push_back(uint8_t(n >> 8));
            packet.push_back(uint8_t(n));
            appendRandom(packet, n);
        } else {
            appendRandom(packet, FIXED_LENGTH.at(command) - 2);
        }
        return packet;
    }

    std::mt19937 random;

  private:
    void appendRandom(Bytes& out, size_t n) {
        for (size_t i = 0; i < n; ++i)
            out.push_back(uint8_t(random()));
    }

    void addPiece(Bytes& out) {
        switch (random() % 8) {
        case 0:
            appendRandom(out, 1 + random() % 8);
            break;
        case 1:
            out.push_back(0xF0);
            break;
        case 2:
            out.push_back(uint8_t("!1ACabqr\xE0"[random() % 9]));
            break;
        case 3: { // a packet cut short
            Bytes packet = validPacket();
            out.insert(out.end(), packet.begin(), packet.begin() + random() % packet.size());
            break;
        }
        case 4: { // DATA longer than 512
            size_t n = 513 + random() % 65023;
            for (uint8_t b : {uint8_t(0xF0), uint8_t('1'), uint8_t(n >> 8), uint8_t(n)})
                out.push_back(b);
            break;
        }
        default: {
            Bytes packet = validPacket();
            out.insert(out.end(), packet.begin(), packet.end());
        }
        }
    }
};

Bytes ringContents(const RingQueue* ring) {
    Bytes out;
    for (int32_t i = ring->readIndex; i != ring->writeIndex; i = (i + 1) % RING_SIZE)
        out.push_back(ring->data[i]);
    return out;
}

constexpr size_t GUARD = 16;

// Reads until the ring has no whole packet; checks every packet's shape on the way.
std::vector<Bytes> drain(RingQueue* ring) {
    std::vector<Bytes> packets;
    Bytes buffer(PACKET_BUFFER_SIZE + GUARD, 0xCC);
    while (readDriverPacket(ring, buffer.data())) {
        uint8_t command = buffer[0];
        size_t size = 0;
        if (command == '1') {
            size_t n = buffer[1] * 256u + buffer[2];
            EXPECT_LE(n, 512u);
            size = n + 3;
        } else {
            EXPECT_TRUE(FIXED_LENGTH.count(command)) << "command " << int(command);
            size = FIXED_LENGTH.count(command) ? FIXED_LENGTH.at(command) - 1 : 1;
        }
        EXPECT_EQ(Bytes(buffer.end() - GUARD, buffer.end()), Bytes(GUARD, 0xCC));
        packets.emplace_back(buffer.begin(), buffer.begin() + size);
    }
    return packets;
}

TEST(PacketReaderFuzz, AnyStreamInAnyPiecesMatchesTheWholeStreamReference) {
    StreamMaker maker(20240611);
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Bytes stream = maker.make(2000 + maker.random() % 6000);
        RefParse whole = referenceParse(stream, stream.size());
        auto ring = std::make_unique<RingQueue>(RingQueue{});
        ring->readIndex = ring->writeIndex = int32_t(maker.random() % RING_SIZE);

        size_t fed = 0, taken = 0;
        while (fed < stream.size()) {
            size_t piece = maker.random() % 3 ? 1 + maker.random() % 8 : 1 + maker.random() % 1500;
            piece = std::min(piece, stream.size() - fed);
            for (size_t i = 0; i < piece; ++i)
                ASSERT_EQ(ringPut(ring.get(), stream[fed + i]), RING_OK);
            fed += piece;
            for (const Bytes& packet : drain(ring.get())) {
                ASSERT_LT(taken, whole.packets.size());
                ASSERT_EQ(packet, whole.packets[taken].bytes) << "packet " << taken;
                ASSERT_LE(whole.packets[taken].end, fed) << "taken before its last byte";
                ++taken;
            }
            RefParse prefix = referenceParse(stream, fed);
            ASSERT_EQ(taken, prefix.packets.size()) << "after " << fed << " bytes";
            ASSERT_EQ(ringContents(ring.get()),
                      Bytes(stream.begin() + prefix.undecidedFrom, stream.begin() + fed));
        }
        EXPECT_EQ(taken, whole.packets.size());
    }
}

TEST(PacketReaderFuzz, PacketAfterGarbageIsFoundWithItsLastByteAndNotBefore) {
    StreamMaker maker(99);
    int checked = 0;
    Bytes buffer(PACKET_BUFFER_SIZE);
    for (int round = 0; round < 600; ++round) {
        Bytes garbage(maker.random() % 40);
        for (uint8_t& b : garbage)
            b = maker.random() % 3 ? uint8_t(maker.random()) : uint8_t(0xF0);
        auto ring = std::make_unique<RingQueue>(RingQueue{});
        ring->readIndex = ring->writeIndex = int32_t(maker.random() % RING_SIZE);
        for (uint8_t b : garbage) {
            ringPut(ring.get(), b);
            drain(ring.get());
        }
        // Garbage that ends inside something that may still become a packet decides
        // for the packet behind it; the whole-stream test covers that case.
        if (referenceParse(garbage, garbage.size()).undecidedFrom != garbage.size())
            continue;
        ASSERT_TRUE(ringEmpty(ring.get()));
        Bytes packet = maker.validPacket();
        for (size_t i = 0; i + 1 < packet.size(); ++i) {
            ringPut(ring.get(), packet[i]);
            ASSERT_EQ(readDriverPacket(ring.get(), buffer.data()), 0) << "at byte " << i;
        }
        ringPut(ring.get(), packet.back());
        ASSERT_EQ(readDriverPacket(ring.get(), buffer.data()), 1);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + packet.size() - 1),
                  Bytes(packet.begin() + 1, packet.end()));
        EXPECT_TRUE(ringEmpty(ring.get()));
        ++checked;
    }
    EXPECT_GT(checked, 300); // most garbage ends decided; the property must really run
}

} // namespace
