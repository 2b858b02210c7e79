#include "device/rfc2217_codec.h"

#include "rings/ring_queue.h"
#include "tests/support/client_process.h"
#include "tests/support/loopback_address.h"
#include "tests/support/ser2net_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace rfc2217;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t IAC = TELNET_IAC;
constexpr uint8_t SB = TELNET_SB;
constexpr uint8_t SE = TELNET_SE;
constexpr uint8_t COM = OPTION_COM_PORT;

Bytes verb(uint8_t verb, uint8_t option) {
    return {IAC, verb, option};
}
Bytes will(uint8_t option) {
    return verb(TELNET_WILL, option);
}
Bytes wont(uint8_t option) {
    return verb(TELNET_WONT, option);
}
Bytes doIt(uint8_t option) {
    return verb(TELNET_DO, option);
}
Bytes dont(uint8_t option) {
    return verb(TELNET_DONT, option);
}
// IAC SB 44 body IAC SE, the body as given (already escaped).
Bytes sub(const Bytes& body) {
    Bytes bytes{IAC, SB, COM};
    bytes.insert(bytes.end(), body.begin(), body.end());
    bytes.insert(bytes.end(), {IAC, SE});
    return bytes;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}
std::vector<Bytes> byteByByte(const Bytes& bytes) {
    std::vector<Bytes> reads;
    for (uint8_t byte : bytes)
        reads.push_back({byte});
    return reads;
}

const Bytes MODEMSTATE_MASK_SET = sub({COM_SET_MODEMSTATE_MASK, IAC, IAC}); // 0xFF, doubled

// The packets the port driver takes out of the inQueue, read with its own packet reader.
void forEachDriverPacket(const Bytes& toDriver, const std::function<void(const uint8_t*)>& take) {
    auto queue = std::make_unique<RingQueue>();
    size_t put = 0;
    while (put < toDriver.size()) {
        put += size_t(ringWrite(queue.get(), toDriver.data() + put, int(toDriver.size() - put)));
        uint8_t packet[PACKET_BUFFER_SIZE];
        while (readDriverPacket(queue.get(), packet))
            take(packet);
    }
    EXPECT_EQ(queue->readIndex, queue->writeIndex) << "bytes the driver could not read";
}

// Data bytes in hex, however the packets cut them, and modem status as "[msr XX]".
std::string driverView(const Bytes& toDriver) {
    std::string view;
    char text[16];
    forEachDriverPacket(toDriver, [&](const uint8_t* packet) {
        if (packet[0] == CMD_DATA) {
            for (int i = 0; i < (packet[1] << 8 | packet[2]); ++i) {
                std::snprintf(text, sizeof text, "%02X ", packet[3 + i]);
                view += text;
            }
        } else if (packet[0] == CMD_MODEM_STATUS) {
            std::snprintf(text, sizeof text, "[msr %02X] ", packet[1]);
            view += text;
        }
    });
    return view.empty() ? view : view.substr(0, view.size() - 1);
}

Bytes driverData(const Bytes& toDriver) {
    Bytes data;
    forEachDriverPacket(toDriver, [&](const uint8_t* packet) {
        if (packet[0] == CMD_DATA)
            data.insert(data.end(), packet + 3, packet + 3 + (packet[1] << 8 | packet[2]));
    });
    return data;
}

// A codec on a connection whose opening offer has gone out.
struct Connection {
    ClientCodec codec;
    Bytes opening;
    Received received;
    Bytes answered;
    Bytes toDriver;

    Connection() { codec.start(opening); }
    void read(const Bytes& bytes) {
        received.clear();
        codec.receive(bytes, received);
        answered.insert(answered.end(), received.toServer.begin(), received.toServer.end());
        toDriver.insert(toDriver.end(), received.toDriver.begin(), received.toDriver.end());
    }
};

TEST(Rfc2217Negotiation, OpeningAsksForBinarySgaAndComPort) {
    Connection connection;
    EXPECT_EQ(connection.opening, cat({will(OPTION_BINARY), doIt(OPTION_BINARY), will(OPTION_SGA),
                                       doIt(OPTION_SGA), will(COM)}));
    EXPECT_EQ(connection.codec.negotiation(), Negotiation::Pending);
}

struct ConformanceCase {
    std::string name;
    std::vector<Bytes> reads; // the server's bytes, as the reads cut them
    Bytes answered;           // what the codec sends back, over all reads
    std::string driver;       // what the driver reads from the inQueue
    Negotiation negotiation;
};

std::vector<ConformanceCase> conformanceCases() {
    const Bytes agree = doIt(COM);
    return {
        {"ServerAgreesToEverything",
         {cat({doIt(COM), doIt(OPTION_BINARY), will(OPTION_BINARY), doIt(OPTION_SGA),
               will(OPTION_SGA)})},
         MODEMSTATE_MASK_SET,
         "",
         Negotiation::Complete},
        {"ServerRefusesComPort",
         {cat({dont(COM), wont(OPTION_BINARY), dont(OPTION_BINARY)})},
         {},
         "",
         Negotiation::Refused},
        {"ServerWithdrawsComPortAfterAgreeing",
         {agree, dont(COM)},
         cat({MODEMSTATE_MASK_SET, wont(COM)}),
         "",
         Negotiation::Refused},
        {"UnknownOptionsAreRefusedOnce",
         {cat({will(OPTION_ECHO), doIt(24), wont(OPTION_ECHO), dont(24)})},
         cat({dont(OPTION_ECHO), wont(24)}),
         "",
         Negotiation::Pending},
        {"RepeatedAgreementsGetNoAnswer",
         {cat({agree, will(OPTION_BINARY), agree, will(OPTION_BINARY), doIt(OPTION_BINARY),
               doIt(OPTION_BINARY), wont(OPTION_SGA), wont(OPTION_SGA)})},
         MODEMSTATE_MASK_SET,
         "",
         Negotiation::Complete},
        {"NegotiationSplitAcrossReads", byteByByte(agree), MODEMSTATE_MASK_SET, "",
         Negotiation::Complete},
        {"IacInDataIsUndoubled", {{'a', IAC, IAC, 'b'}}, {}, "61 FF 62", Negotiation::Pending},
        {"IacSplitAcrossReads", {{'a', IAC}, {IAC, 'b'}}, {}, "61 FF 62", Negotiation::Pending},
        {"SubnegotiationSplitByteByByte",
         byteByByte(sub({100 + COM_NOTIFY_MODEMSTATE, 0x30})),
         {},
         "[msr 30]",
         Negotiation::Pending},
        {"ModemStateChangeKeepsItsPlaceInTheData",
         {cat({{'x'}, sub({100 + COM_NOTIFY_MODEMSTATE, 0xBB}), {'y'}})},
         {},
         "78 [msr B0] 79",
         Negotiation::Pending},
        {"ModemStateWithAllLinesUpIsUndoubled",
         {sub({100 + COM_NOTIFY_MODEMSTATE, IAC, IAC})},
         {},
         "[msr F0]",
         Negotiation::Pending},
        {"OtherCommandsAndOptionsAreSkipped",
         {cat({{'a', IAC, TELNET_NOP, 'b', IAC, 249},
               {IAC, SB, 24, 0, 'x', 'y', IAC, SE},
               sub({100 + COM_NOTIFY_LINESTATE, 0x60}),
               {'c'}})},
         {},
         "61 62 63",
         Negotiation::Pending},
        {"OverlongSubnegotiationIsDropped",
         {cat({{IAC, SB, COM, 100 + COM_NOTIFY_MODEMSTATE}, Bytes(200, 0x30), {IAC, SE, 'z'}})},
         {},
         "7A",
         Negotiation::Pending},
        {"CommandInsideSubnegotiationEndsIt",
         {{IAC, SB, COM, 100 + COM_NOTIFY_MODEMSTATE, 0x30}, cat({will(OPTION_ECHO), {'z'}})},
         dont(OPTION_ECHO),
         "7A",
         Negotiation::Pending},
    };
}

void PrintTo(const ConformanceCase& c, std::ostream* out) {
    *out << c.name;
}

class Conformance : public testing::TestWithParam<ConformanceCase> {};

TEST_P(Conformance, AnswersAndDelivers) {
    Connection connection;
    for (const Bytes& read : GetParam().reads)
        connection.read(read);
    EXPECT_EQ(connection.answered, GetParam().answered);
    EXPECT_EQ(driverView(connection.toDriver), GetParam().driver);
    EXPECT_EQ(connection.codec.negotiation(), GetParam().negotiation);
}

INSTANTIATE_TEST_SUITE_P(Rfc2217, Conformance, testing::ValuesIn(conformanceCases()),
                         [](const auto& info) { return info.param.name; });

TEST(Rfc2217Receive, ServerDroppingMidSubnegotiationLeavesNothingHalfDelivered) {
    Connection connection;
    connection.read(cat({{'a'}, {IAC, SB, COM, 100 + COM_NOTIFY_MODEMSTATE, 0x30}}));
    Bytes opening;
    connection.codec.start(opening); // the next connection
    connection.read({'b', 'c'});
    EXPECT_EQ(driverView(connection.toDriver), "61 62 63");
}

TEST(Rfc2217Receive, DataIsCutIntoPacketsOf512) {
    Connection connection;
    Bytes data(1300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i % 251);
    connection.read(data);
    const Bytes& driver = connection.toDriver;
    ASSERT_EQ(driver.size(), 1300u + 3 * 4);
    EXPECT_EQ(Bytes(driver.begin(), driver.begin() + 4), (Bytes{0xF0, CMD_DATA, 0x02, 0x00}));
    EXPECT_EQ(Bytes(driver.begin() + 516, driver.begin() + 520),
              (Bytes{0xF0, CMD_DATA, 0x02, 0x00}));
    EXPECT_EQ(Bytes(driver.begin() + 1032, driver.begin() + 1036),
              (Bytes{0xF0, CMD_DATA, 0x01, 0x14}));
}

// The receive path reads no more than the inQueue's room allows, by this bound.
TEST(Rfc2217Receive, DriverBytesStayWithinTheBound) {
    Bytes oneByteThenModemState;
    for (int i = 0; i < 600; ++i)
        oneByteThenModemState = cat({oneByteThenModemState, {'x'}, sub({107, 0x30})});
    for (const Bytes& read :
         {Bytes(4096, 'x'), Bytes(513, 'x'), Bytes{'x'}, oneByteThenModemState}) {
        Connection connection;
        connection.read(read);
        EXPECT_LE(connection.toDriver.size(), maxDriverBytes(read.size())) << read.size();
    }
}

TEST(Rfc2217Receive, RepliesToOurCommandsAreReported) {
    Connection connection;
    connection.read(cat({sub({101, 0x00, 0x00, 0x4B, 0x00}), sub({101, 0x00, 0x00, 0x25, 0x80}),
                         sub({102, 7}), sub({108})}));
    EXPECT_EQ(connection.received.replies,
              (std::vector<ServerReply>{{COM_SET_BAUDRATE, 4, 19200},
                                        {COM_SET_BAUDRATE, 4, 9600},
                                        {COM_SET_DATASIZE, 1, 7},
                                        {COM_FLOWCONTROL_SUSPEND, 0, 0}}));
    EXPECT_EQ(connection.codec.highestAcceptedRate(), 19200u);
    EXPECT_TRUE(connection.codec.suspended());
    connection.read(sub({109}));
    EXPECT_FALSE(connection.codec.suspended());
}

TEST(Rfc2217Rates, CodesFollowTheDriversTable) {
    EXPECT_EQ(rateOfCode(13), 19200u);
    EXPECT_EQ(rateOfCode(29), 4000000u);
    EXPECT_EQ(rateOfCode(0xFF), 0u);
    EXPECT_EQ(codeOfRate(19200), 13);
    EXPECT_EQ(codeOfRate(20000), 13);
    EXPECT_EQ(codeOfRate(8000000), 29);
    EXPECT_EQ(codeOfRate(49), 0xFF);
}

using Action = std::function<void(ClientCodec&, Bytes&)>;

struct RequestCase {
    std::string name;
    Action before; // on the agreed connection, its bytes not looked at
    Action request;
    Bytes wire;
};

Action line(uint8_t rateCode, uint8_t lcr, uint8_t flow) {
    return [=](ClientCodec& codec, Bytes& wire) {
        codec.lineSettings({rateCode, lcr, flow}, wire);
    };
}
Action mcr(uint8_t value) {
    return [=](ClientCodec& codec, Bytes& wire) { codec.modemControl(value, wire); };
}
Bytes control(uint8_t value) {
    return sub({COM_SET_CONTROL, value});
}

std::vector<RequestCase> requestCases() {
    const Action nothing = [](ClientCodec&, Bytes&) {};
    const Action b9600_8N1 = line(12, 0x03, 0);
    return {
        {"FirstSettingsGoOutWhole", nothing, line(13, 0x1A, 0), // 19200, 7 bits, even parity
         cat({sub({1, 0x00, 0x00, 0x4B, 0x00}), sub({2, 7}), sub({3, 3}), sub({4, 1}),
              control(1)})},
        {"OnlyTheRateChanged", b9600_8N1, line(16, 0x03, 0), sub({1, 0x00, 0x01, 0xC2, 0x00})},
        {"SameSettingsSendNothing", b9600_8N1, b9600_8N1, {}},
        {"TwoStopBits", b9600_8N1, line(12, 0x07, 0), sub({4, 2})},
        {"FiveBitsStopOneAndAHalf", b9600_8N1, line(12, 0x04, 0), cat({sub({2, 5}), sub({4, 3})})},
        {"OddParity", b9600_8N1, line(12, 0x0B, 0), sub({3, 2})},
        {"MarkParity", b9600_8N1, line(12, 0x2B, 0), sub({3, 4})},
        {"SpaceParity", b9600_8N1, line(12, 0x3B, 0), sub({3, 5})},
        {"RateOutsideTheTableIsNotSent", b9600_8N1, line(0xFF, 0x03, 0), {}},
        {"RtsCts", b9600_8N1, line(12, 0x03, 1), control(3)},
        {"XonXoffBothWays", b9600_8N1, line(12, 0x03, 6), control(2)},
        {"XonXoffOutOnly", b9600_8N1, line(12, 0x03, 2), cat({control(2), control(14)})},
        {"XonXoffInOnly", b9600_8N1, line(12, 0x03, 4), cat({control(1), control(15)})},
        {"DtrAndRtsUp", nothing, mcr(3), cat({control(8), control(11)})},
        {"RtsDropped", mcr(3), mcr(1), control(12)},
        {"BothDropped", mcr(3), mcr(0), cat({control(9), control(12)})},
        {"PurgeReceive", nothing,
         [](ClientCodec& codec, Bytes& wire) { codec.purge(true, false, wire); }, sub({12, 1})},
        {"PurgeTransmit", nothing,
         [](ClientCodec& codec, Bytes& wire) { codec.purge(false, true, wire); }, sub({12, 2})},
        {"PurgeBoth", nothing,
         [](ClientCodec& codec, Bytes& wire) { codec.purge(true, true, wire); }, sub({12, 3})},
        {"Break", nothing,
         [](ClientCodec& codec, Bytes& wire) {
             codec.setBreak(true, wire);
             codec.setBreak(false, wire);
         },
         cat({control(5), control(6)})},
        {"KeepAliveAsksForTheDtrState", nothing,
         [](ClientCodec& codec, Bytes& wire) { codec.keepAlive(wire); }, control(7)},
        {"ValueIacIsDoubled", nothing,
         [](ClientCodec&, Bytes& wire) { appendCommand(wire, comCommand(11, 0xFF)); },
         sub({11, IAC, IAC})},
    };
}

void PrintTo(const RequestCase& c, std::ostream* out) {
    *out << c.name;
}

class Requests : public testing::TestWithParam<RequestCase> {};

TEST_P(Requests, BecomeComPortCommands) {
    Connection connection;
    connection.read(doIt(COM));
    Bytes ignored, wire;
    GetParam().before(connection.codec, ignored);
    GetParam().request(connection.codec, wire);
    EXPECT_EQ(wire, GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(Rfc2217, Requests, testing::ValuesIn(requestCases()),
                         [](const auto& info) { return info.param.name; });

TEST(Rfc2217Send, RequestsWaitForTheAgreementAndAreReplayedOnTheNextConnection) {
    Connection connection;
    Bytes wire;
    connection.codec.lineSettings({13, 0x1A, 0}, wire);
    connection.codec.modemControl(3, wire);
    connection.codec.purge(true, true, wire);
    connection.codec.keepAlive(wire);
    EXPECT_EQ(wire, (Bytes{IAC, TELNET_NOP})) << "nothing of the option before the server agreed";
    const Bytes everything =
        cat({MODEMSTATE_MASK_SET, sub({1, 0x00, 0x00, 0x4B, 0x00}), sub({2, 7}), sub({3, 3}),
             sub({4, 1}), control(1), control(8), control(11)});
    connection.read(doIt(COM));
    EXPECT_EQ(connection.answered, everything);

    Bytes opening;
    connection.codec.start(opening);
    connection.answered.clear();
    connection.read(doIt(COM));
    EXPECT_EQ(connection.answered, everything);
}

TEST(Rfc2217Send, DataDoublesIac) {
    uint8_t out[1024];
    const Bytes data{0x41, IAC, 0x42};
    ASSERT_EQ(buildData(out, data), 4u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x41, IAC, IAC, 0x42}));
    const Bytes allIac(MAX_PACKET_DATA, IAC);
    EXPECT_EQ(buildData(out, allIac), maxEscapedSize(MAX_PACKET_DATA));
    EXPECT_EQ(buildData(std::span<uint8_t>(out, 1023), allIac), 0u);
}

// ---- Against Debian's ser2net, serving one end of a pseudo-terminal pair ----

using Clock = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > end)
            return false;
    }
    return true;
}

// One RFC 2217 connection over a real TCP socket, driven by the codec.
class PeerConnection {
  public:
    ~PeerConnection() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool connectTo(const std::string& address, int port, int timeoutMs) {
        return waitUntil(
            [&] {
                fd_ = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(uint16_t(port));
                inet_pton(AF_INET, address.c_str(), &to.sin_addr);
                if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
                    return true;
                close(fd_);
                fd_ = -1;
                usleep(20000); // ser2net is still starting up
                return false;
            },
            timeoutMs);
    }
    void send(const Bytes& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            ASSERT_GT(n, 0);
            sent += size_t(n);
        }
    }
    // Takes what the server sent within the wait, answering its negotiation.
    bool pump(int waitMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0)
            return true;
        uint8_t buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        Received received;
        codec.receive(std::span<const uint8_t>(buffer, size_t(n)), received);

        send(received.toServer);
        replies.insert(replies.end(), received.replies.begin(), received.replies.end());
        toDriver.insert(toDriver.end(), received.toDriver.begin(), received.toDriver.end());
        return true;
    }
    bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
        return waitUntil([&] { return done() || !pump(20); }, timeoutMs) && done();
    }
    bool replied(uint8_t command, uint32_t value) const {
        for (const ServerReply& reply : replies)
            if (reply.command == command && reply.value == value)
                return true;
        return false;
    }

    ClientCodec codec;
    std::vector<ServerReply> replies;
    Bytes toDriver;

  private:
    int fd_ = -1;
};

class Ser2netPeer : public testing::Test {
  protected:
    void SetUp() override {
        if (Ser2net::path().empty())
            GTEST_SKIP() << "ser2net is not installed (bash scripts/deps.sh test)";
        ser2net_ = std::make_unique<Ser2net>();
        ASSERT_TRUE(ser2net_->listening()) << log();
        master_ = ser2net_->line();
        address_ = ser2net_->address();
        port_ = ser2net_->port();
    }
    std::string log() const { return ser2net_ ? ser2net_->log() : std::string(); }

    // What the pty's own end reads, within the wait.
    Bytes readPty(size_t count, int timeoutMs) {
        Bytes got;
        waitUntil(
            [&] {
                pollfd p{master_, POLLIN, 0};
                if (poll(&p, 1, 20) > 0) {
                    uint8_t buffer[4096];
                    ssize_t n = read(master_, buffer, sizeof buffer);
                    if (n > 0)
                        got.insert(got.end(), buffer, buffer + n);
                }
                return got.size() >= count;
            },
            timeoutMs);
        return got;
    }

    std::unique_ptr<Ser2net> ser2net_;
    int master_ = -1;
    std::string address_;
    int port_ = 0;
};

TEST_F(Ser2netPeer, NegotiatesSetsTheLineAndCarriesEveryByteBothWays) {
    PeerConnection link;
    ASSERT_TRUE(link.connectTo(address_, port_, 5000)) << log();
    Bytes opening;
    link.codec.start(opening);
    link.send(opening);
    ASSERT_TRUE(link.pumpUntil([&] { return link.codec.negotiation() != Negotiation::Pending; }))
        << log();
    ASSERT_EQ(link.codec.negotiation(), Negotiation::Complete);

    Bytes wire;
    link.codec.lineSettings({13, 0x1E, 0}, wire); // 19200, 7 bits, even parity, two stop bits
    link.codec.modemControl(3, wire);
    link.send(wire);
    // A pty keeps the rate and the stop bits, but the kernel forces 8 bits without parity
    // on it: those two are seen in what ser2net answers, which is what it set.
    termios line{};
    EXPECT_TRUE(link.pumpUntil([&] {
        return tcgetattr(master_, &line) == 0 && cfgetospeed(&line) == B19200 &&
               (line.c_cflag & CSTOPB);
    })) << log();
    EXPECT_TRUE(link.pumpUntil([&] {
        return link.replied(COM_SET_BAUDRATE, 19200) && link.replied(COM_SET_DATASIZE, 7) &&
               link.replied(COM_SET_PARITY, 3) && link.replied(COM_SET_STOPSIZE, 2);
    })) << log();
    EXPECT_EQ(link.codec.highestAcceptedRate(), 19200u);

    const Bytes data = everyByteFourTimes();
    uint8_t escaped[2 * 1024];
    size_t length = buildData(escaped, data);
    ASSERT_GT(length, data.size());
    link.send(Bytes(escaped, escaped + length));
    EXPECT_EQ(readPty(data.size(), 5000), data) << log();

    ASSERT_EQ(write(master_, data.data(), data.size()), ssize_t(data.size()));
    EXPECT_TRUE(link.pumpUntil([&] { return driverData(link.toDriver).size() >= data.size(); }));
    EXPECT_EQ(driverData(link.toDriver), data);

    // The keep-alive is a question the server answers.
    link.replies.clear();
    wire.clear();
    link.codec.keepAlive(wire);
    link.send(wire);
    EXPECT_TRUE(link.pumpUntil([&] {
        for (const ServerReply& reply : link.replies)
            if (reply.command == COM_SET_CONTROL)
                return true;
        return false;
    })) << log();
}

} // namespace
