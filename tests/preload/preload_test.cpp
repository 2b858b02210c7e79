// Real clients with the preload library in front of them (LD_PRELOAD), against the whole
// manager in the test process and the simulator: pyserial (Debian's python3-serial under
// /usr/bin/python3) and a C program (modem_client.c). What the device receives (MCR,
// SREQ) and what the clients see (modem lines, their own settings read back, a failed
// open's errno) are checked, and the same application without the library.
//
// The clients are separate processes built without the sanitizers: the library cannot be
// loaded into a process that carries a sanitizer runtime, and a sanitized test process
// only spawns them (posix_spawn; a fork of the threaded test process would die under the
// thread checker).
#include "config/manager_context.h"
#include "driverlink/driver_link.h"
#include "platform/tick.h"
#include "rings/port_channel.h"
#include "tests/support/client_process.h"
#include "tests/support/pump.h"
#include "tests/support/started_port_fixture.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>


namespace {

constexpr uint8_t CMD_SREQ = 0x21;
constexpr uint8_t CMD_MCR = 0x41;
constexpr uint8_t CMD_OPEN = 0x71;
constexpr uint8_t CMD_CLOSE = 0x72;

using Client = ClientProcess;

std::string libraryIf(bool preloaded) {
    return preloaded ? PRELOAD_LIBRARY : "";
}

class PreloadClients : public StartedPortTest {
  protected:
    std::unique_ptr<Client> start(const std::vector<std::string>& command, bool preloaded = true) {
        std::string outPath = outputs.path().toStdString() + "/client" + std::to_string(++clients);
        return std::make_unique<Client>(command, outPath, libraryIf(preloaded));
    }
    std::unique_ptr<Client> modemClient(const char* step, const std::string& on) {
        return start({MODEM_CLIENT, on, step});
    }

    // The parameter bytes of the frames of one command the device received, in order.
    std::vector<std::vector<uint8_t>> received(uint8_t command) {
        std::vector<std::vector<uint8_t>> list;
        for (const vorlixsim::Frame& frame : sim().framesReceived(DEVICE_PORT))
            if (frame.command == command)
                list.emplace_back(frame.bytes.begin() + 2, frame.bytes.end() - 1);
        return list;
    }
    std::vector<uint8_t> modemControlValues() {
        std::vector<uint8_t> values;
        for (const auto& parameters : received(CMD_MCR))
            values.push_back(parameters[0]);
        return values;
    }
    std::vector<uint8_t> lineControlBytes() {
        std::vector<uint8_t> bytes;
        for (const auto& parameters : received(CMD_SREQ))
            bytes.push_back(parameters[1]);
        return bytes;
    }
    bool sessionsClosed(size_t count) {
        return pumpUntil([&] { return received(CMD_CLOSE).size() >= count; }, 5000);
    }

    int clients = 0;
};

// The lines as pyserial sets them: DTR off, RTS off, DTR on, RTS on, each an MCR frame;
// the lines the device reports read back through pyserial's properties; 7E1 as asked.
TEST_F(PreloadClients, PyserialSetsDtrAndRtsAndReadsTheLinesTheDeviceReports) {
    auto python = start({"/usr/bin/python3", PYSERIAL_MODEM, link});
    ASSERT_TRUE(python->printed("OK lines set")) << python->output();
    // The device answers with CTS, DSR and DCD on, then with only RI.
    sim().sendModemStatus(DEVICE_PORT, 0x10 | 0x20 | 0x80);
    EXPECT_TRUE(python->printed("OK CTS DSR DCD")) << python->output();
    sim().sendModemStatus(DEVICE_PORT, 0x40);
    EXPECT_TRUE(python->printed("OK RI")) << python->output();
    EXPECT_EQ(python->finish(), 0) << python->output();
    EXPECT_NE(python->output().find("OK 7E1 read back"), std::string::npos) << python->output();

    ASSERT_TRUE(sessionsClosed(1));
    // At the open 03, then pyserial's four changes, at the close 00.
    EXPECT_EQ(modemControlValues(), (std::vector<uint8_t>{0x03, 0x02, 0x00, 0x01, 0x03, 0x00}));
    // 9600 8N1 at the open, then 7E1: 7 data bits (2), parity (0x08), even (0x10).
    std::vector<uint8_t> lcr = lineControlBytes();
    ASSERT_FALSE(lcr.empty());
    EXPECT_EQ(lcr.front(), 0x03);
    EXPECT_EQ(lcr.back(), 0x1A);
}

// TIOCMIWAIT returns when the device changes a line, and TIOCMGET and TIOCGICOUNT then
// tell which.
TEST_F(PreloadClients, TiocmiwaitReturnsWhenTheDeviceChangesALine) {
    auto client = modemClient("wait", link);
    ASSERT_TRUE(client->printed("waiting")) << client->output();
    EXPECT_NE(client->output().find("lines DTR RTS\n"), std::string::npos) << client->output();
    pumpFor(100); // a wait that would return without a change has had its chance
    EXPECT_EQ(client->output().find("changed"), std::string::npos) << client->output();

    sim().sendModemStatus(DEVICE_PORT, 0x10 | 0x80); // CTS and DCD
    EXPECT_EQ(client->finish(), 0) << client->output();
    EXPECT_NE(client->output().find("changed\nlines DTR RTS CTS DCD\n"), std::string::npos)
        << client->output();
    EXPECT_NE(client->output().find("counts cts 1 dsr 0 rng 0 dcd 1"), std::string::npos)
        << client->output();
}

// The data bits, parity and stop bits reach the device in the SREQ's line-control byte,
// read back as set, and the echo in each still comes back whole.
TEST_F(PreloadClients, SevenE1AndFiveN2ReachTheDeviceAndReadBack) {
    auto client = modemClient("line", link);
    EXPECT_EQ(client->finish(), 0) << client->output();
    ASSERT_TRUE(sessionsClosed(1));
    std::vector<uint8_t> lcr = lineControlBytes();
    // 7E1, 5N2 (5 data bits = 0, two stop bits = 0x04); the raw 8N1 set just before 7E1
    // is a passing state the device never sees
    EXPECT_EQ(lcr, (std::vector<uint8_t>{0x1A, 0x04}));
    for (const auto& parameters : received(CMD_SREQ))
        EXPECT_EQ(parameters[0], 12) << "9600 is code 12";
}

struct FailedOpen {
    const char* name;
    bool started;
    vorlixsim::Behaviour device;
    const char* errnoName;
};

class PreloadOpen : public PreloadClients, public ::testing::WithParamInterface<FailedOpen> {
  protected:
    void SetUp() override {
        addPort(1, "COM6", 2);
        PreloadClients::SetUp();
        if (GetParam().started) {
            ASSERT_TRUE(startPort(1));
        }
        sim().setBehaviour(2, GetParam().device);
    }
};

// The open fails with a clear errno instead of succeeding and hanging up later.
TEST_P(PreloadOpen, FailsWithTheReason) {
    // The manager gives up on a refused connection at its 3 s connect deadline; a timer,
    // which fires inside the open procedure's own pumping, moves the tick past it.
    QTimer clock;
    QObject::connect(&clock, &QTimer::timeout, [&] {
        if (port(1).state.load() == PORT_CONNECTING) {
            platform::addTickOffset(3500);
            clock.stop();
        }
    });
    clock.start(5);
    auto client = modemClient("open", manager.linkPath("COM6"));
    EXPECT_EQ(client->finish(), 1) << client->output();
    EXPECT_NE(client->output().find(std::string("FAIL open: ") + GetParam().errnoName),
              std::string::npos)
        << client->output();
    EXPECT_TRUE(received(CMD_OPEN).empty()) << "no session reached the device";
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, PreloadOpen,
    ::testing::Values(FailedOpen{"NotStarted", false, vorlixsim::Behaviour::Normal, "ENXIO"},
                      FailedOpen{"DeviceRefuses", true, vorlixsim::Behaviour::Refuse,
                                 "EHOSTUNREACH"}),
    [](const auto& info) { return std::string(info.param.name); });

// The same application without the library, with it, and without it again: each one
// exchanges its data, one session after the other.
TEST_F(PreloadClients, PortsOpenedWithAndWithoutTheLibraryFollowEachOther) {
    for (bool preloaded : {false, true, false}) {
        auto python = start({"/usr/bin/python3", PYSERIAL_CLIENT, link}, preloaded);
        EXPECT_EQ(python->finish(), 0) << "preloaded " << preloaded << ": " << python->output();
        EXPECT_NE(python->output().find("OK echo at 19200"), std::string::npos) << python->output();
    }
    ASSERT_TRUE(sessionsClosed(3));
    EXPECT_EQ(received(CMD_OPEN).size(), 3u);
}

// A descriptor the program did not open by the link (handed to it by another program, as
// Wine's server hands the port to a Windows program) is the port's too: its session's
// modem lines work on it.
TEST_F(PreloadClients, AHandedDescriptorIsKnownAsTheSessions) {
    auto client = start({MODEM_CLIENT, link, "handed"});
    EXPECT_EQ(client->finish(), 0) << client->output();
    EXPECT_NE(client->output().find("lines RTS\n"), std::string::npos) << client->output();
    ASSERT_TRUE(sessionsClosed(1));
    EXPECT_EQ(modemControlValues().back(), 0x00); // dropped with the close
    EXPECT_NE(std::find(modemControlValues().begin(), modemControlValues().end(), 0x02),
              modemControlValues().end())
        << "DTR dropped by the handed descriptor";
}

// A null argument to a modem-line or termios ioctl gets the pty's own answer, with the
// library as without it (EFAULT, or ENOTTY for the modem lines a pty lacks).
TEST_F(PreloadClients, NullArgumentsGetThePtysOwnErrors) {
    std::string seen[2];
    for (bool preloaded : {false, true}) {
        auto client = start({MODEM_CLIENT, link, "null"}, preloaded);
        EXPECT_EQ(client->finish(), 0) << client->output();
        seen[preloaded] = client->output();
    }
    EXPECT_NE(seen[0].find("TIOCMGET -1 ENOTTY\n"), std::string::npos) << seen[0];
    EXPECT_NE(seen[0].find("TCSETS -1 EFAULT\n"), std::string::npos) << seen[0];
    EXPECT_EQ(seen[1], seen[0]);
}

constexpr uid_t NOBODY = 65534;

// What is wrong beside a link that leads to a pty the test holds, in a device folder that
// is otherwise this user's own and private.
enum class Planted {
    Nothing,
    FolderOfAnotherUser,
    FolderOthersMayWrite,
    LinkOfAnotherUser,
    SocketOfAnotherUser,
    ServerOfAnotherUser,
    ServerTakesNoMore, // its backlog is full
};

struct PlantedCase {
    const char* name;
    Planted planted;
    bool openedByLink; // else the pty itself is opened, and found by the folder search
    bool used;         // the library asks the channel
};

// The channel planted beside the link answers that 5 data bits with odd parity were
// asked: a library that uses it reads them back.
class PlantedChannel : public ::testing::TestWithParam<PlantedCase> {
  protected:
    void SetUp() override {
        Planted planted = GetParam().planted;
        if (::geteuid() != 0 && planted != Planted::Nothing &&
            planted != Planted::FolderOthersMayWrite && planted != Planted::ServerTakesNoMore)
            GTEST_SKIP() << "another user's entries are made with chown, which needs root";
        char base[] = "/tmp/planted-channel-XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        base_ = base;
        folder_ = base_ + "/quorvalink";
        link_ = folder_ + "/COM5";
        ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_) | unlockpt(master_), 0);
        slave_ = ptsname(master_);
        ASSERT_EQ(symlink(slave_.c_str(), link_.c_str()), 0);
    }
    void TearDown() override {
        server_.reset();
        if (master_ >= 0)
            close(master_);
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
    }

    std::unique_ptr<Client> start(const std::vector<std::string>& command, bool preloaded) {
        std::string outPath = base_ + "/client" + std::to_string(++clients_);
        return std::make_unique<Client>(command, outPath, libraryIf(preloaded),
                                        std::vector<std::string>{"QUORVALINK_DEVDIR=" + folder_});
    }
    // The channel's server, and what is wrong around it.
    void plant(Planted planted) {
        std::string socket = link_ + PORT_CHANNEL_SUFFIX;
        std::vector<std::string> command{"/usr/bin/python3", PLANTED_CHANNEL, socket,
                                         planted == Planted::ServerTakesNoMore ? "full" : "answer"};
        if (planted == Planted::ServerOfAnotherUser)
            command.push_back(std::to_string(NOBODY));
        server_ = start(command, false);
        ASSERT_TRUE(server_->printed("listening")) << server_->output();
        switch (planted) {
        case Planted::FolderOfAnotherUser:
            ASSERT_EQ(chown(folder_.c_str(), NOBODY, NOBODY), 0);
            break;
        case Planted::FolderOthersMayWrite:
            ASSERT_EQ(chmod(folder_.c_str(), 0777), 0);
            break;
        case Planted::LinkOfAnotherUser:
            ASSERT_EQ(lchown(link_.c_str(), NOBODY, NOBODY), 0);
            break;
        case Planted::SocketOfAnotherUser:
            ASSERT_EQ(chown(socket.c_str(), NOBODY, NOBODY), 0);
            break;
        default:
            break;
        }
    }

    std::string base_, folder_, link_, slave_;
    int master_ = -1;
    std::unique_ptr<Client> server_;
    int clients_ = 0;
};

// The library uses a port's channel only under the manager's rules for its folder: a
// folder of this user that no one else may write into, and a link, socket and server of
// this user. Otherwise, and when the channel takes no more connections, the port's
// descriptor is left as without the library: the open returns at once, and tcgetattr
// reads what the pty holds.
TEST_P(PlantedChannel, IsUsedOnlyWhenAllOfItIsThisUsersOwn) {
    const PlantedCase& wanted = GetParam();
    ASSERT_NO_FATAL_FAILURE(plant(wanted.planted));
    auto client = start({MODEM_CLIENT, wanted.openedByLink ? link_ : slave_, "attr"}, true);
    EXPECT_EQ(client->finish(), 0) << client->output();
    EXPECT_NE(client->output().find(wanted.used ? "read back CS5 parity odd"
                                                : "read back CS8 parity none"),
              std::string::npos)
        << client->output();
    EXPECT_EQ(server_->output().find("request") != std::string::npos, wanted.used)
        << server_->output();
}

INSTANTIATE_TEST_SUITE_P(
    Entries, PlantedChannel,
    ::testing::Values(
        PlantedCase{"OwnByLink", Planted::Nothing, true, true},
        PlantedCase{"OwnBySearch", Planted::Nothing, false, true},
        PlantedCase{"FolderOfAnotherUserByLink", Planted::FolderOfAnotherUser, true, false},
        PlantedCase{"FolderOfAnotherUserBySearch", Planted::FolderOfAnotherUser, false, false},
        PlantedCase{"FolderOthersMayWrite", Planted::FolderOthersMayWrite, true, false},
        PlantedCase{"LinkOfAnotherUser", Planted::LinkOfAnotherUser, true, false},
        PlantedCase{"SocketOfAnotherUser", Planted::SocketOfAnotherUser, true, false},
        PlantedCase{"ServerOfAnotherUser", Planted::ServerOfAnotherUser, true, false},
        PlantedCase{"ServerTakesNoMore", Planted::ServerTakesNoMore, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
