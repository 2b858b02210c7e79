#include "tools/vorlix_sim/sim_server.h"

#include "tests/sim/loopback.h"
#include "tests/support/loopback_address.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

using vorlixsim::Behaviour;
using vorlixsim::Frame;
using vorlixsim::SimOptions;
using vorlixsim::SimServer;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes identFrame = {0xF0, 0x11, 'Q', 'U', 'O', 'R', 'V', 'A', 'L', 'I', 'N', 'K', 0xE0};

Bytes dataFrame(const Bytes& payload) {
    Bytes frame;
    frame.reserve(payload.size() + 5);
    frame.push_back(0xF0);
    frame.push_back(0x31);
    frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(0xE0);
    return frame;
}

Bytes replyWith(uint8_t maxSpeed, Bytes info) {
    Bytes reply = {0xF0, 0x12, 'V', 'O', 'R', 'L', 'I', 'X', '-', 'S', 'I', 'M', maxSpeed};
    reply.insert(reply.end(), info.begin(), info.end());
    reply.push_back(0xE0);
    return reply;
}

std::vector<uint8_t> commandsOf(const std::vector<Frame>& frames) {
    std::vector<uint8_t> commands;
    for (const Frame& frame : frames)
        commands.push_back(frame.command);
    return commands;
}

SimOptions optionsFor(const std::string& address, int portCount = 2) {
    SimOptions options;
    options.address = address;
    options.portCount = portCount;
    return options;
}

// Everything the simulator sends on its own in answer to what it has handled so
// far: sendRaw runs on the I/O thread after those answers have been written, so
// the marker closes off the bytes that came before it.
Bytes answersBefore(SimServer& sim, int port, PeerSocket& client, uint8_t marker = 0x5A) {
    EXPECT_EQ(sim.sendRaw(port, {marker}), 1);
    Bytes seen;
    while (seen.empty() || seen.back() != marker) {
        Bytes more = client.readExactly(1);
        if (more.empty())
            break;
        seen.push_back(more[0]);
    }
    if (!seen.empty())
        seen.pop_back();
    return seen;
}

} // namespace

TEST(SimIdent, ReplyCarriesTheChosenMaxSpeedAndInfo) {
    const std::string address = allocateLoopbackAddress();
    SimOptions options = optionsFor(address);
    options.reply = {9, {2, 3, 8, 5}};
    options.infoGiven = true;
    SimServer sim(options);
    ASSERT_TRUE(sim.start()) << sim.errorText();
    PeerSocket client = connectTo(address, 4001);
    client.write(identFrame);
    EXPECT_EQ(client.readExactly(18), replyWith(9, {2, 3, 8, 5}));

    sim.setReply(2, {0xFF, {0xF0, 0x12, 0xE0, 0}});
    PeerSocket second = connectTo(address, 4002);
    second.write(identFrame);
    EXPECT_EQ(second.readExactly(18), replyWith(0xFF, {0xF0, 0x12, 0xE0, 0}));
}

TEST(SimIdent, DefaultInfoNamesPortCountAndPort) {
    const std::string address = allocateLoopbackAddress();
    SimServer sim(optionsFor(address, 3));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    PeerSocket client = connectTo(address, 4003);
    client.write(identFrame);
    EXPECT_EQ(client.readExactly(18), replyWith(7, {1, 0, 3, 3}));
}

TEST(SimIdent, WrongMagicIsRecordedButNotAnswered) {
    const std::string address = allocateLoopbackAddress();
    SimServer sim(optionsFor(address));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    PeerSocket client = connectTo(address, 4001);
    Bytes wrong = identFrame;
    wrong[2] = 'X';
    client.write(wrong);
    ASSERT_TRUE(sim.waitForFrames(1, 1, 3000));
    EXPECT_EQ(answersBefore(sim, 1, client), Bytes{});
}

class SimEcho : public ::testing::TestWithParam<Bytes> {};

TEST_P(SimEcho, DataFrameComesBackExactly) {
    const std::string address = allocateLoopbackAddress();
    SimServer sim(optionsFor(address));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    PeerSocket client = connectTo(address, 4001);
    Bytes frame = dataFrame(GetParam());
    client.write(frame);
    EXPECT_EQ(client.readExactly(frame.size()), frame);
    ASSERT_TRUE(sim.waitForFrames(1, 1, 3000));
    EXPECT_EQ(sim.framesReceived(1).at(0).bytes, frame);
}

Bytes counting(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(Payloads, SimEcho,
                         ::testing::Values(Bytes{}, Bytes{0x41}, Bytes{0xF0, 0xE0, 0xF0, 0x12},
                                           Bytes{0xE0}, dataFrame({0x31}), counting(256),
                                           counting(512)));

struct FrameCase {
    const char* name;
    Bytes bytes;
};

void PrintTo(const FrameCase& c, std::ostream* out) {
    *out << c.name;
}

class SimFrames : public ::testing::TestWithParam<FrameCase> {};

// Every frame the manager sends is taken by its command's size, also when it
// arrives one byte at a time and its parameters look like frame bytes.
TEST_P(SimFrames, FrameOfEachCommandIsRecordedWhole) {
    const std::string address = allocateLoopbackAddress();
    SimServer sim(optionsFor(address));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    PeerSocket client = connectTo(address, 4001);
    for (uint8_t byte : GetParam().bytes)
        client.write({byte});
    ASSERT_TRUE(sim.waitForFrames(1, 1, 3000));
    std::vector<Frame> frames = sim.framesReceived(1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, GetParam().bytes);
    EXPECT_STREQ(vorlixsim::commandName(frames[0].command), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Commands, SimFrames,
                         ::testing::Values(FrameCase{"IDENT", identFrame},
                                           FrameCase{"OPEN", {0xF0, 0x71, 0xE0}},
                                           FrameCase{"SREQ", {0xF0, 0x21, 0xF0, 0xE0, 0x12, 0xE0}},
                                           FrameCase{"DATA", dataFrame({0xE0, 0xE0})},
                                           FrameCase{"MCR", {0xF0, 0x41, 0x03, 0xE0}},
                                           FrameCase{"CLOSE", {0xF0, 0x72, 0xE0}},
                                           FrameCase{"ALIVE", {0xF0, 0x81, 0xE0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimFramesMixed, UnknownBytesAreSkippedUntilTheNextStartByte) {
    const std::string address = allocateLoopbackAddress();
    SimServer sim(optionsFor(address));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    PeerSocket client = connectTo(address, 4001);
    Bytes stream = {0x00, 0x41, 0xE0};                        // noise
    stream.insert(stream.end(), {0xF0, 0x71, 0xE0});          // OPEN
    stream.insert(stream.end(), {0xF0, 0x99, 0x12, 0xE0});    // unknown command
    stream.insert(stream.end(), {0xF0, 0x41, 0x01, 0x00});    // MCR with a bad end byte
    stream.insert(stream.end(), {0xF0, 0x31, 0x02, 0x01});    // DATA longer than 512
    stream.insert(stream.end(), {0xF0, 0x21, 1, 2, 3, 0xE0}); // SREQ
    stream.insert(stream.end(), {0xF0, 0x72, 0xE0});          // CLOSE
    client.write(stream);
    ASSERT_TRUE(sim.waitForFrames(1, 3, 3000));
    EXPECT_EQ(commandsOf(sim.framesReceived(1)), (std::vector<uint8_t>{0x71, 0x21, 0x72}));
    EXPECT_EQ(sim.rawBytesReceived(1), stream);
}

TEST(SimLog, EveryReceivedFrameIsOneHexLine) {
    const std::string address = allocateLoopbackAddress();
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    SimOptions options = optionsFor(address);
    options.log = log;
    {
        SimServer sim(options);
        ASSERT_TRUE(sim.start()) << sim.errorText();
        PeerSocket client = connectTo(address, 4002);
        client.write(identFrame);
        client.write({0xF0, 0x81, 0xE0});
        ASSERT_TRUE(sim.waitForFrames(2, 2, 3000));
    }
    std::rewind(log);
    std::string text;
    char line[512];
    while (std::fgets(line, sizeof line, log))
        text += line;
    std::fclose(log);
    EXPECT_NE(text.find("4002 #1 < IDENT F0 11 51 55 4F 52 56 41 4C 49 4E 4B E0\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("4002 #1 < ALIVE F0 81 E0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("4002 #1 connected\n"), std::string::npos) << text;
}

TEST(SimRequests, ModemStatusAndClosingReachTheClient) {
    const std::string address = allocateLoopbackAddress();
    SimServer sim(optionsFor(address));
    ASSERT_TRUE(sim.start()) << sim.errorText();
    EXPECT_EQ(sim.sendModemStatus(1, 0xB0), 0);
    PeerSocket client = connectTo(address, 4001);
    ASSERT_TRUE(sim.waitForConnections(1, 1, 3000));
    EXPECT_EQ(sim.sendModemStatus(1, 0xB0), 1);
    EXPECT_EQ(client.readExactly(4), (Bytes{0xF0, 0x43, 0xB0, 0xE0}));
    EXPECT_EQ(sim.openConnections(1), 1);
    EXPECT_EQ(sim.closeConnections(1), 1);
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_EQ(sim.openConnections(1), 0);
    EXPECT_EQ(sim.connectionCount(1), 1);
}

TEST(SimRequests, ModemStatusFollowsOpenWhenAsked) {
    const std::string address = allocateLoopbackAddress();
    SimOptions options = optionsFor(address);
    options.modemStatusAfterOpen = 0x30;
    SimServer sim(options);
    ASSERT_TRUE(sim.start()) << sim.errorText();
    PeerSocket client = connectTo(address, 4001);
    client.write({0xF0, 0x71, 0xE0});
    EXPECT_EQ(client.readExactly(4), (Bytes{0xF0, 0x43, 0x30, 0xE0}));
}

TEST(SimBehaviour, SilentPortAnswersNothing) {
    const std::string address = allocateLoopbackAddress();
    SimOptions options = optionsFor(address);
    options.behaviours = {Behaviour::Silent};
    SimServer sim(options);
    ASSERT_TRUE(sim.start()) << sim.errorText();
    PeerSocket client = connectTo(address, 4001);
    client.write(identFrame);
    client.write(dataFrame({1, 2, 3}));
    ASSERT_TRUE(sim.waitForFrames(1, 2, 3000));
    EXPECT_EQ(answersBefore(sim, 1, client), Bytes{});

    sim.setBehaviour(1, Behaviour::Normal);
    client.write(identFrame);
    ASSERT_TRUE(sim.waitForFrames(1, 3, 3000));
    EXPECT_EQ(answersBefore(sim, 1, client), replyWith(7, {1, 0, 2, 1}));
}

TEST(SimBehaviour, RefusingPortRefusesUntilSwitchedBack) {
    const std::string address = allocateLoopbackAddress();
    SimOptions options = optionsFor(address);
    options.behaviours = {Behaviour::Normal, Behaviour::Refuse};
    SimServer sim(options);
    ASSERT_TRUE(sim.start()) << sim.errorText();
    EXPECT_EQ(connectTo(address, 4002).connectError, ECONNREFUSED);
    EXPECT_EQ(connectTo(address, 4001).connectError, 0);

    sim.setBehaviour(2, Behaviour::Normal);
    sim.setBehaviour(1, Behaviour::Refuse);
    PeerSocket client = connectTo(address, 4002);
    EXPECT_EQ(client.connectError, 0);
    EXPECT_EQ(connectTo(address, 4001).connectError, ECONNREFUSED);
    client.write(identFrame);
    EXPECT_EQ(client.readExactly(18).size(), 18u);
}

TEST(SimBehaviour, CloseAfterReplySendsTheReplyThenEnds) {
    const std::string address = allocateLoopbackAddress();
    SimOptions options = optionsFor(address);
    options.behaviours = {Behaviour::CloseAfterReply};
    SimServer sim(options);
    ASSERT_TRUE(sim.start()) << sim.errorText();
    PeerSocket client = connectTo(address, 4001);
    client.write(identFrame);
    EXPECT_EQ(client.readUntilClosed(), replyWith(7, {1, 0, 2, 1}));
    EXPECT_TRUE(client.closedByPeer());
}

TEST(SimBehaviour, GarbageComesOnConnectAndBeforeTheReply) {
    const std::string address = allocateLoopbackAddress();
    SimOptions options = optionsFor(address);
    options.behaviours = {Behaviour::Garbage};
    SimServer sim(options);
    ASSERT_TRUE(sim.start()) << sim.errorText();
    PeerSocket client = connectTo(address, 4001);
    ASSERT_TRUE(sim.waitForConnections(1, 1, 3000));
    EXPECT_EQ(answersBefore(sim, 1, client), bytesOf("VORLIX-SIM READY\r\n"));

    client.write(identFrame);
    ASSERT_TRUE(sim.waitForFrames(1, 1, 3000));
    Bytes seen = answersBefore(sim, 1, client);
    Bytes reply = replyWith(7, {1, 0, 2, 1});
    ASSERT_GT(seen.size(), reply.size());
    EXPECT_EQ(Bytes(seen.end() - reply.size(), seen.end()), reply);
    Bytes stray(seen.begin(), seen.end() - reply.size());
    EXPECT_NE(std::find(stray.begin(), stray.end(), 0xF0), stray.end());
    for (size_t i = 0; i + 1 < stray.size(); ++i)
        EXPECT_FALSE(stray[i] == 0xF0 && stray[i + 1] == 0x12) << "stray reply start at " << i;
}

TEST(SimBehaviour, PiecesArriveAsSeparateWritesThatMakeTheReply) {
    const std::string address = allocateLoopbackAddress();
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    SimOptions options = optionsFor(address);
    options.behaviours = {Behaviour::Pieces};
    options.log = log;
    {
        SimServer sim(options);
        ASSERT_TRUE(sim.start()) << sim.errorText();
        PeerSocket client = connectTo(address, 4001);
        client.write(identFrame);
        EXPECT_EQ(client.readExactly(18), replyWith(7, {1, 0, 2, 1}));
    }
    std::rewind(log);
    int writes = 0;
    char line[512];
    while (std::fgets(line, sizeof line, log))
        writes += std::string(line).rfind("4001 #1 > ", 0) == 0;
    std::fclose(log);
    EXPECT_EQ(writes, 3);
}

TEST(SimServerStart, BusyPortIsReportedNotIgnored) {
    const std::string address = allocateLoopbackAddress();
    LoopbackListener squatter(address, 4002);
    SimServer sim(optionsFor(address));
    EXPECT_FALSE(sim.start());
    EXPECT_NE(sim.errorText().find(address + ":4002"), std::string::npos) << sim.errorText();
}
