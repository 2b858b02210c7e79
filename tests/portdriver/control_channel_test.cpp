// The port's control channel (COM5.ctl) as the preload library uses it, played by the
// test on the socket itself: what the driver answers, and which packets the manager's
// side of the driver contract gets from it.
#include "platform/tick.h"
#include "portdriver/control_channel.h"
#include "portdriver/driver_port.h"
#include "rings/port_channel.h"
#include "tests/portdriver/driver_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// One connection to the channel, as the library makes it.
class ChannelConnection {
  public:
    explicit ChannelConnection(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~ChannelConnection() { close(fd_); }
    bool connected() const { return connected_; }

    void send(PortChannelRequest request) {
        request.version = PORT_CHANNEL_VERSION;
        ASSERT_EQ(::send(fd_, &request, sizeof request, MSG_NOSIGNAL), ssize_t(sizeof request));
    }
    // The reply, or status 0xFF when none came within the time.
    PortChannelReply reply(int timeoutMs = 3000) {
        PortChannelReply answer{};
        answer.status = 0xFF;
        pollfd readable{fd_, POLLIN, 0};
        if (poll(&readable, 1, timeoutMs) == 1)
            recv(fd_, &answer, sizeof answer, MSG_WAITALL);
        return answer;
    }
    PortChannelReply ask(const PortChannelRequest& request) {
        send(request);
        return reply();
    }
    // The first bytes of a request, and no more.
    void sendPart(size_t size) {
        PortChannelRequest request{};
        ASSERT_EQ(::send(fd_, &request, size, MSG_NOSIGNAL), ssize_t(size));
    }
    // The driver closed the connection within the time (real time, for its next round).
    bool closedByDriver(int timeoutMs = 3000) {
        pollfd readable{fd_, POLLIN, 0};
        char byte;
        return poll(&readable, 1, timeoutMs) == 1 && recv(fd_, &byte, 1, MSG_DONTWAIT) == 0;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

dev_t slaveOf(int fd) {
    struct stat status {};
    fstat(fd, &status);
    return status.st_rdev;
}

PortChannelRequest request(uint8_t command, dev_t slave) {
    PortChannelRequest made{};
    made.command = command;
    made.slave = slave;
    return made;
}

class ControlChannel : public DriverFixture {
  protected:
    std::string channel() const { return linkOf("COM5") + PORT_CHANNEL_SUFFIX; }
    // The application's side of an open session on COM5.
    int openSession() {
        int fd = openApplication();
        answerOpen(1);
        ChannelConnection connection(channel());
        EXPECT_EQ(connection.ask(request(PORT_CHANNEL_WAIT_OPEN, slaveOf(fd))).status,
                  PORT_CHANNEL_OK);
        return fd;
    }
    // Asks for the state until it shows what is wanted (the driver takes the device's
    // frames on its own thread).
    static bool stateUntil(ChannelConnection& connection, dev_t slave, PortChannelReply& state,
                           bool (*wanted)(const PortChannelReply&)) {
        for (int attempt = 0; attempt < 300; ++attempt) {
            state = connection.ask(request(PORT_CHANNEL_GET_STATE, slave));
            if (wanted(state))
                return true;
            usleep(10000);
        }
        return false;
    }
};

struct OpenCase {
    const char* name;
    bool started;
    int answer; // OPEN_RESULT byte, -1 for none
    uint8_t status;
};

class ControlChannelOpen : public ControlChannel, public ::testing::WithParamInterface<OpenCase> {};

// The open is answered once the manager has answered it, with why it failed if it did.
TEST_P(ControlChannelOpen, IsAnsweredWithTheOutcome) {
    const OpenCase& wanted = GetParam();
    if (wanted.started)
        startPort();
    int fd = openLink(linkOf("COM5"));
    ASSERT_GE(fd, 0);
    ChannelConnection connection(channel());
    ASSERT_TRUE(connection.connected());
    connection.send(request(PORT_CHANNEL_WAIT_OPEN, slaveOf(fd)));
    if (wanted.started) {
        expectPacket({CMD_OPEN});
        expectPacket({CMD_MCR, 0x03});
        EXPECT_EQ(connection.reply(100).status, 0xFF) << "answered before the manager did";
        if (wanted.answer >= 0)
            answerOpen(uint8_t(wanted.answer));
        else
            platform::addTickOffset(portdriver::OPEN_ANSWER_TIMEOUT_MS + 1);
    }
    EXPECT_EQ(connection.reply().status, wanted.status);
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ControlChannelOpen,
                         ::testing::Values(OpenCase{"Opened", true, 1, PORT_CHANNEL_OK},
                                           OpenCase{"Refused", true, 0, PORT_CHANNEL_REFUSED},
                                           OpenCase{"NoAnswer", true, -1, PORT_CHANNEL_NO_ANSWER},
                                           OpenCase{"NotStarted", false, -1,
                                                    PORT_CHANNEL_NOT_STARTED}),
                         [](const auto& info) { return std::string(info.param.name); });

// One open per session: a second program that reached the same pty (it opened the link
// before the driver moved it on) is told the port is busy; another program's open gets its
// own pty, and is refused while the session runs, also on a pty number an ended session
// had (numbers come back soon).
TEST_F(ControlChannel, EachSessionAnswersOneOpenAndRefusesTheRest) {
    startPort();
    for (int ended = 0; ended < 3; ++ended) {
        close(openSession());
        expectPacket({CMD_MCR, 0x00});
        expectPacket({CMD_CLOSE});
    }
    int fd = openSession();
    ChannelConnection connection(channel());
    EXPECT_EQ(connection.ask(request(PORT_CHANNEL_WAIT_OPEN, slaveOf(fd))).status,
              PORT_CHANNEL_BUSY);
    int other = openLink(linkOf("COM5"));
    ASSERT_GE(other, 0);
    EXPECT_EQ(connection.ask(request(PORT_CHANNEL_WAIT_OPEN, slaveOf(other))).status,
              PORT_CHANNEL_BUSY);
    close(other);
    close(fd);
}

// DTR and RTS go out as MCR packets when they change, after what the application wrote
// before; the device's modem status is counted and wakes a wait for its line; a session
// that ends ends the wait.
TEST_F(ControlChannel, ModemLinesGoOutAndTheDevicesStatusComesBack) {
    startPort();
    int fd = openSession();
    dev_t slave = slaveOf(fd);
    ChannelConnection connection(channel());

    writeAll(fd, reinterpret_cast<const uint8_t*>("ab"), 2);
    PortChannelRequest dropDtr = request(PORT_CHANNEL_MODEM_CONTROL, slave);
    dropDtr.clearBits = PORT_MCR_DTR;
    EXPECT_EQ(connection.ask(dropDtr).modemControl, PORT_MCR_RTS);
    expectPacket({CMD_DATA, 0x00, 0x02, 'a', 'b'});
    expectPacket({CMD_MCR, 0x02});
    EXPECT_EQ(connection.ask(dropDtr).status, PORT_CHANNEL_OK);
    writeAll(fd, reinterpret_cast<const uint8_t*>("c"), 1);
    expectPacket({CMD_DATA, 0x00, 0x01, 'c'}); // no MCR for a value that did not change

    sendToDriver({0xF0, 0x43, PORT_MSR_CTS | PORT_MSR_DCD, 0xE0});
    PortChannelReply state{};
    ASSERT_TRUE(stateUntil(connection, slave, state,
                           [](const PortChannelReply& r) { return r.modemStatus != 0; }));
    EXPECT_EQ(state.modemStatus, PORT_MSR_CTS | PORT_MSR_DCD);
    EXPECT_EQ(state.counts[PORT_COUNT_CTS], 1u);
    EXPECT_EQ(state.counts[PORT_COUNT_DSR], 0u);
    EXPECT_EQ(state.counts[PORT_COUNT_DCD], 1u);

    ChannelConnection waiter(channel());
    PortChannelRequest waitDsr = request(PORT_CHANNEL_WAIT_CHANGE, slave);
    waitDsr.waitLines = PORT_MSR_DSR;
    std::memcpy(waitDsr.counts, state.counts, sizeof waitDsr.counts);
    waiter.send(waitDsr);
    sendToDriver({0xF0, 0x43, PORT_MSR_DCD, 0xE0}); // CTS falls: not waited for
    EXPECT_EQ(waiter.reply(200).status, 0xFF);
    sendToDriver({0xF0, 0x43, PORT_MSR_DCD | PORT_MSR_DSR, 0xE0});
    PortChannelReply woken = waiter.reply();
    EXPECT_EQ(woken.status, PORT_CHANNEL_OK);
    EXPECT_EQ(woken.counts[PORT_COUNT_DSR], 1u);
    EXPECT_EQ(woken.counts[PORT_COUNT_CTS], 2u);

    std::memcpy(waitDsr.counts, woken.counts, sizeof waitDsr.counts);
    waiter.send(waitDsr);
    close(fd);
    EXPECT_EQ(waiter.reply().status, PORT_CHANNEL_NOT_OPEN);
    EXPECT_EQ(connection.ask(request(PORT_CHANNEL_GET_STATE, slave + 1)).status,
              PORT_CHANNEL_NOT_OPEN);
}

// Applications come and go: each new connection is served, also when it gets the
// descriptor number of one that just went, and the session's data keeps flowing.
TEST_F(ControlChannel, EachOfManyShortConnectionsIsAnswered) {
    startPort();
    int fd = openSession();
    dev_t slave = slaveOf(fd);
    for (int round = 0; round < 30; ++round) {
        ChannelConnection connection(channel());
        ASSERT_TRUE(connection.connected());
        ASSERT_EQ(connection.ask(request(PORT_CHANNEL_GET_STATE, slave)).status, PORT_CHANNEL_OK)
            << "connection " << round;
    }
    writeAll(fd, reinterpret_cast<const uint8_t*>("z"), 1);
    expectPacket({CMD_DATA, 0x00, 0x01, 'z'});
    close(fd);
}

// The settings given through the channel go out once, with their data bits and parity,
// although the pty takes them in 8N, and leave the modem lines as the application set
// them; they read back as given until the settings change past the channel.
TEST_F(ControlChannel, LineSettingsGoOutAsAskedAndReadBack) {
    startPort();
    int fd = openSession();
    dev_t slave = slaveOf(fd);
    ChannelConnection connection(channel());
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, B19200);

    // Lines the application dropped stay down through a change of settings.
    PortChannelRequest dropLines = request(PORT_CHANNEL_MODEM_CONTROL, slave);
    dropLines.clearBits = PORT_MCR_DTR | PORT_MCR_RTS;
    EXPECT_EQ(connection.ask(dropLines).modemControl, 0);
    expectPacket({CMD_MCR, 0x00});

    PortChannelRequest line = request(PORT_CHANNEL_SET_LINE, slave);
    line.cflag = (settings.c_cflag & ~CSIZE) | CS7 | PARENB;
    line.iflag = settings.c_iflag;
    EXPECT_EQ(connection.ask(line).modemControl, 0);
    expectPacket({CMD_SREQ, 13, 0x1A, 0x00});
    // The library then gives the pty what it can take; that is not sent again.
    tcsetattr(fd, TCSANOW, &settings);
    writeAll(fd, reinterpret_cast<const uint8_t*>("x"), 1);
    expectPacket({CMD_DATA, 0x00, 0x01, 'x'});
    PortChannelReply state = connection.ask(request(PORT_CHANNEL_GET_STATE, slave));
    EXPECT_EQ(state.lineAsked, 1);
    EXPECT_EQ(state.askedCflag & (CSIZE | PARENB | PARODD), tcflag_t(CS7 | PARENB));

    // An application without the library changes the line: the pty's 8N is what holds.
    cfsetspeed(&settings, B9600);
    tcsetattr(fd, TCSANOW, &settings);
    expectPacket({CMD_SREQ, 12, 0x03, 0x00});
    EXPECT_EQ(connection.ask(request(PORT_CHANNEL_GET_STATE, slave)).lineAsked, 0);
    close(fd);
}

} // namespace

// A connection that does not bring a whole request within its time, from its start or
// its last answer, is closed: one that never sent anything, one that sent part of a
// request. One whose request waits for the device stays, and is answered.
TEST_F(ControlChannel, IdleConnectionsAreClosedWhenTheirTimeIsUp) {
    startPort();
    int fd = openSession();
    dev_t slave = slaveOf(fd);
    ChannelConnection silent(channel());
    ChannelConnection partial(channel());
    partial.sendPart(sizeof(PortChannelRequest) / 2);
    ChannelConnection answered(channel());
    PortChannelReply state = answered.ask(request(PORT_CHANNEL_GET_STATE, slave));
    ChannelConnection waiter(channel());
    PortChannelRequest waitDsr = request(PORT_CHANNEL_WAIT_CHANGE, slave);
    waitDsr.waitLines = PORT_MSR_DSR;
    std::memcpy(waitDsr.counts, state.counts, sizeof waitDsr.counts);
    waiter.send(waitDsr);
    EXPECT_EQ(answered.ask(request(PORT_CHANNEL_GET_STATE, slave)).status, PORT_CHANNEL_OK);

    platform::addTickOffset(portdriver::CHANNEL_IDLE_LIMIT_MS - 100);
    EXPECT_EQ(answered.ask(request(PORT_CHANNEL_GET_STATE, slave)).status, PORT_CHANNEL_OK);
    platform::addTickOffset(100);
    EXPECT_TRUE(silent.closedByDriver());
    EXPECT_TRUE(partial.closedByDriver());
    EXPECT_FALSE(answered.closedByDriver(0)) << "answered within its time";
    sendToDriver({0xF0, 0x43, PORT_MSR_DSR, 0xE0});
    EXPECT_EQ(waiter.reply().status, PORT_CHANNEL_OK);
    close(fd);
}

// A full channel closes its longest idle connection for a newcomer; when every
// connection waits, newcomers wait in the backlog until one is answered.
TEST_F(ControlChannel, AFullChannelMakesRoomOnlyByClosingAnIdleConnection) {
    startPort();
    int fd = openSession();
    dev_t slave = slaveOf(fd);
    PortChannelRequest getState = request(PORT_CHANNEL_GET_STATE, slave);
    std::vector<std::unique_ptr<ChannelConnection>> held;
    for (size_t i = 0; i < portdriver::CHANNEL_CONNECTIONS_PER_PORT; ++i) {
        held.push_back(std::make_unique<ChannelConnection>(channel()));
        ASSERT_EQ(held.back()->ask(getState).status, PORT_CHANNEL_OK) << "connection " << i;
    }
    ChannelConnection newcomer(channel());
    EXPECT_EQ(newcomer.ask(getState).status, PORT_CHANNEL_OK);
    EXPECT_TRUE(held.front()->closedByDriver()) << "idle longest";
    held.erase(held.begin());

    PortChannelRequest waitDsr = request(PORT_CHANNEL_WAIT_CHANGE, slave);
    waitDsr.waitLines = PORT_MSR_DSR;
    for (auto& connection : held)
        connection->send(waitDsr);
    newcomer.send(waitDsr); // every connection waits now
    ChannelConnection late(channel());
    ASSERT_TRUE(late.connected());
    late.send(getState);
    EXPECT_EQ(late.reply(300).status, 0xFF) << "served while the channel was full";
    sendToDriver({0xF0, 0x43, PORT_MSR_DSR, 0xE0});
    EXPECT_EQ(late.reply().status, PORT_CHANNEL_OK);
    close(fd);
}

// When accepting fails for want of descriptors, the channel's socket rests instead of
// being polled for the same pending connection again at once; once the rest is over, the
// connection is taken and answered.
TEST(ControlChannelAlone, RestsWhenOutOfDescriptors) {
    char folder[] = "/tmp/quorvalink-channel-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string path = std::string(folder) + "/COM5" + PORT_CHANNEL_SUFFIX;
    portdriver::ControlChannel channel(path);
    ASSERT_TRUE(channel.open());
    auto answer = [](const PortChannelRequest&, PortChannelReply& reply) {
        reply.status = PORT_CHANNEL_NOT_OPEN;
        return true;
    };
    auto listenerEvents = [&] {
        std::vector<pollfd> fds;
        channel.pollRequests(fds);
        channel.noteReady(fds.at(0).fd);
        return fds.at(0).events;
    };
    ChannelConnection client(path);
    ASSERT_TRUE(client.connected());
    client.send(request(PORT_CHANNEL_GET_STATE, 0));

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowestFree = dup(0);
    close(lowestFree);
    rlimit lowered = saved;
    lowered.rlim_cur = rlim_t(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    EXPECT_EQ(listenerEvents(), POLLIN);
    channel.serve(answer);
    EXPECT_EQ(listenerEvents(), 0) << "accept failed, the socket rests";
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(client.reply(0).status, 0xFF);

    platform::addTickOffset(portdriver::CHANNEL_ACCEPT_REST_MS);
    EXPECT_EQ(listenerEvents(), POLLIN);
    channel.serve(answer);
    EXPECT_EQ(client.reply().status, PORT_CHANNEL_NOT_OPEN);
    platform::resetTickOffset();
    channel.close();
    std::filesystem::remove_all(folder);
}
