#include "device/wire_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

template <size_t N> Bytes bytesOf(const std::array<uint8_t, N>& frame) {
    return Bytes(frame.begin(), frame.end());
}

struct FixedFrameCase {
    std::string name;
    Bytes built;
    Bytes wire;
};

std::vector<FixedFrameCase> fixedFrames() {
    return {
        {"Ident",
         bytesOf(identFrame()),
         {0xF0, 0x11, 'Q', 'U', 'O', 'R', 'V', 'A', 'L', 'I', 'N', 'K', 0xE0}},
        {"Open", bytesOf(openFrame()), {0xF0, 0x71, 0xE0}},
        {"Close", bytesOf(closeFrame()), {0xF0, 0x72, 0xE0}},
        {"Alive", bytesOf(aliveFrame()), {0xF0, 0x81, 0xE0}},
        {"SreqCarriesItsBytesInOrder",
         bytesOf(sreqFrame(0x0C, 0xE0, 0xF0)),
         {0xF0, 0x21, 0x0C, 0xE0, 0xF0, 0xE0}},
        {"McrWithDtrAndRts", bytesOf(mcrFrame(0x03)), {0xF0, 0x41, 0x03, 0xE0}},
        {"OpenResultConnected", bytesOf(openResultFrame(1)), {0xF0, 0xA1, 0x01, 0xE0}},
        {"OpenResultFailed", bytesOf(openResultFrame(0)), {0xF0, 0xA1, 0x00, 0xE0}},
    };
}

class FixedFrame : public testing::TestWithParam<FixedFrameCase> {};

TEST_P(FixedFrame, IsByteExact) {
    EXPECT_EQ(GetParam().built, GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(WireFrames, FixedFrame, testing::ValuesIn(fixedFrames()),
                         [](const auto& info) { return info.param.name; });

TEST(DataFrame, Block512IsSentAs517Bytes) {
    Bytes data(512);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7);
    uint8_t txFrame[1024] = {};
    ASSERT_EQ(buildDataFrame(txFrame, data), 517u);
    EXPECT_EQ(Bytes(txFrame, txFrame + 4), (Bytes{0xF0, 0x31, 0x02, 0x00}));
    EXPECT_EQ(Bytes(txFrame + 4, txFrame + 516), data);
    EXPECT_EQ(txFrame[516], 0xE0);
}

TEST(DataFrame, Block513IsRefusedAndNothingWritten) {
    Bytes data(513, 0x41);
    uint8_t txFrame[1024] = {};
    EXPECT_EQ(buildDataFrame(txFrame, data), 0u);
    EXPECT_EQ(Bytes(txFrame, txFrame + 1024), Bytes(1024, 0));
}

TEST(DataFrame, EmptyBlockIsFiveBytes) {
    uint8_t txFrame[1024] = {};
    ASSERT_EQ(buildDataFrame(txFrame, {}), 5u);
    EXPECT_EQ(Bytes(txFrame, txFrame + 5), (Bytes{0xF0, 0x31, 0x00, 0x00, 0xE0}));
}

TEST(DataFrame, FrameBytesInsideDataAreNotEscaped) {
    Bytes data{0xE0, 0xF0, 0x7D, 0xE0};
    uint8_t txFrame[16] = {};
    ASSERT_EQ(buildDataFrame(txFrame, data), 9u);
    EXPECT_EQ(Bytes(txFrame, txFrame + 9),
              (Bytes{0xF0, 0x31, 0x00, 0x04, 0xE0, 0xF0, 0x7D, 0xE0, 0xE0}));
}

TEST(DataFrame, BufferTooSmallIsRefused) {
    Bytes data(10, 1);
    uint8_t out[14] = {};
    EXPECT_EQ(buildDataFrame(out, data), 0u);
    EXPECT_EQ(Bytes(out, out + 14), Bytes(14, 0));
}

// A reply with MAXSPD 0x0A and INFO 01 23 20 05 after the ten unexamined bytes.
Bytes reply(size_t length = IDENT_REPLY_SIZE) {
    Bytes r{0xF0, 0x12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x0A, 0x01, 0x23, 0x20, 0x05, 0xE0};
    r.resize(length);
    return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct ReplyCase {
    std::string name;
    Bytes pending;
    IdentReplyStatus status;
    size_t offset;
};

std::vector<ReplyCase> replyCases() {
    Bytes stray{0xF0, 0x12, 0x55, 0x66};
    return {
        {"NothingPending", {}, IdentReplyStatus::NotFound, 0},
        {"TwoBytesThenReplyIsComplete", concat({{0x33, 0x44}, reply()}), IdentReplyStatus::Complete,
         2},
        {"OneByteShortKeepsWaiting", concat({{0x33, 0x44}, reply(17)}),
         IdentReplyStatus::Incomplete, 2},
        {"ExtraBytesAfterAreTolerated", concat({reply(), Bytes(30, 0xF0)}),
         IdentReplyStatus::Complete, 0},
        {"StartByteAloneIsNotAReply", {0x01, 0xF0}, IdentReplyStatus::NotFound, 0},
        {"DoubledStartByteFindsTheSecond", concat({{0xF0}, reply()}), IdentReplyStatus::Complete,
         1},
        {"StrayReplyIsTakenFirst", concat({stray, reply()}), IdentReplyStatus::Complete, 0},
        {"IncompleteFirstHidesALaterWholeReply", concat({{0xF0, 0x12}, Bytes(15, 0x00)}),
         IdentReplyStatus::Incomplete, 0},
        {"ReplyBeyond10240IsNotFound", concat({Bytes(10240, 0x00), reply()}),
         IdentReplyStatus::NotFound, 0},
        {"ReplyStraddling10240IsNotFound", concat({Bytes(10239, 0x00), reply()}),
         IdentReplyStatus::NotFound, 0},
        {"ReplyEndingAt10240IsComplete", concat({Bytes(10222, 0x00), reply()}),
         IdentReplyStatus::Complete, 10222},
        {"ReplyRunningPast10240IsIncomplete", concat({Bytes(10223, 0x00), reply()}),
         IdentReplyStatus::Incomplete, 10223},
    };
}

class IdentReply : public testing::TestWithParam<ReplyCase> {};

TEST_P(IdentReply, SearchFollowsTheFirstStartAndCommand) {
    const ReplyCase& c = GetParam();
    IdentReplySearch found = findIdentReply(c.pending);
    EXPECT_EQ(found.status, c.status);
    if (c.status != IdentReplyStatus::NotFound) {
        EXPECT_EQ(found.offset, c.offset);
    }
}

INSTANTIATE_TEST_SUITE_P(WireFrames, IdentReply, testing::ValuesIn(replyCases()),
                         [](const auto& info) { return info.param.name; });

TEST(IdentReplyValues, MaxSpeedAndInfoComeFromTheReplyPosition) {
    Bytes pending = concat({{0x33, 0x44}, reply(), {0x99}});
    IdentReplySearch found = findIdentReply(pending);
    ASSERT_EQ(found.status, IdentReplyStatus::Complete);
    DeviceIdentity identity = readIdentReply(std::span(pending).subspan(found.offset));
    EXPECT_EQ(identity.maxSpeed, 0x0A);
    EXPECT_EQ(Bytes(identity.info, identity.info + 4), (Bytes{0x01, 0x23, 0x20, 0x05}));
}

TEST(IdentReplyValues, StrayReplyBeforeTheRealOneGivesTheStrayValues) {
    // The rule takes the first F0 12 once 18 bytes follow from it: bytes 12..16 counted
    // from the stray start, which here run into the real reply.
    Bytes stray{0xF0, 0x12, 0x55, 0x66};
    Bytes pending = concat({stray, reply()});
    IdentReplySearch found = findIdentReply(pending);
    ASSERT_EQ(found.status, IdentReplyStatus::Complete);
    DeviceIdentity identity = readIdentReply(std::span(pending).subspan(found.offset));
    EXPECT_EQ(identity.maxSpeed, 7);
    EXPECT_EQ(Bytes(identity.info, identity.info + 4), (Bytes{8, 9, 10, 0x0A}));
}

} // namespace
