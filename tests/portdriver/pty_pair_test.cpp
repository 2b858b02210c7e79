// A session's pty and the port's link on their own: what the driver's arrival check
// (held) sees after each thing the driver itself does to a pair, and what a locked pair
// and a swapped link give an application.
#include "portdriver/port_link.h"
#include "portdriver/pty_pair.h"

#include "tests/portdriver/driver_fixture.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
class PtyPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvalink-pty-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        link = folder + "/COM9";
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string folder;
    std::string link;
};

speed_t speedOf(int fd) {
    termios settings{};
    return tcgetattr(fd, &settings) == 0 ? cfgetospeed(&settings) : B0;
}
} // namespace

TEST_F(PtyPairTest, TheDriversOwnOpeningOfANewSlaveIsNotTakenForAnApplication) {
    portdriver::PtyPair pair;
    portdriver::PortLink portLink(link);
    ASSERT_TRUE(pair.create(portdriver::PtyPair::defaultLine()));
    ASSERT_TRUE(portLink.pointAt(pair.linkTarget()));
    EXPECT_EQ(fs::canonical(link), pair.slavePath());
    EXPECT_FALSE(pair.held());
    // Opened as serial libraries do: the link gives the slave itself.
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_STREQ(ttyname(fd), pair.slavePath().c_str());
    EXPECT_EQ(speedOf(fd), B9600);
    EXPECT_TRUE(pair.held());
    close(fd);
    EXPECT_FALSE(pair.held());
}

// Once taken, a pair is its application's alone: a late opener fails instead of sharing
// it, and the link's next opener gets a fresh pair, with the settings it was given, that
// stays a terminal after the old one is hung up.
TEST_F(PtyPairTest, ALockedPairRefusesFurtherOpensAndTheLinkMovesOn) {
    portdriver::PortLink portLink(link);
    portdriver::PtyPair first;
    ASSERT_TRUE(first.create(portdriver::PtyPair::defaultLine()));
    ASSERT_TRUE(portLink.pointAt(first.linkTarget()));
    int application = openLink(link);
    ASSERT_GE(application, 0);
    first.lock();
    std::string reference = first.linkTarget();
    errno = 0;
    EXPECT_LT(open(reference.c_str(), O_RDWR | O_NOCTTY), 0);
    EXPECT_EQ(errno, EIO);

    termios fast = portdriver::PtyPair::defaultLine();
    cfsetspeed(&fast, B115200);
    portdriver::PtyPair second;
    ASSERT_TRUE(second.create(fast));
    ASSERT_TRUE(portLink.pointAt(second.linkTarget()));
    first.close();
    EXPECT_TRUE(hungUp(application, 0));
    close(application);
    int next = openLink(link);
    ASSERT_GE(next, 0);
    EXPECT_TRUE(isatty(next));
    EXPECT_EQ(speedOf(next), B115200);
    EXPECT_TRUE(second.held());
    close(next);
}

// A session's pty inherits the settings the last one left, without a report of the
// change, unless its application has set its own already: those stand.
TEST_F(PtyPairTest, APairInheritsTheLastSettingsUnlessItsApplicationSetItsOwn) {
    termios slow = portdriver::PtyPair::defaultLine();
    cfsetspeed(&slow, B1200);
    for (bool ownSettings : {false, true}) {
        portdriver::PortLink portLink(link);
        portdriver::PtyPair pair;
        ASSERT_TRUE(pair.create(portdriver::PtyPair::defaultLine()));
        ASSERT_TRUE(portLink.pointAt(pair.linkTarget()));
        int application = openLink(link);
        ASSERT_GE(application, 0);
        termios own{};
        ASSERT_EQ(tcgetattr(application, &own), 0);
        cfsetspeed(&own, B57600);
        if (ownSettings) {
            ASSERT_EQ(tcsetattr(application, TCSANOW, &own), 0);
        }
        EXPECT_EQ(pair.inheritLine(slow), !ownSettings);
        EXPECT_EQ(speedOf(application), ownSettings ? B57600 : B1200);
        EXPECT_FALSE(pair.readable()) << "a report left for the session";
        close(application);
    }
}

TEST_F(PtyPairTest, AFileThatIsNotALinkIsNeverReplaced) {
    { std::ofstream(link) << "user data"; }
    portdriver::PtyPair pair;
    ASSERT_TRUE(pair.create(portdriver::PtyPair::defaultLine()));
    EXPECT_FALSE(portdriver::PortLink(link).pointAt(pair.linkTarget()));
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(link)));
    std::ifstream kept(link);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "user data");
}

// What an application writes to a waiting pair stays in its write() until the driver has
// taken the pair: nothing of it can be read from the master, across a close and a new
// opener too; once let go, the holder's bytes flow and the master still sees its close.
TEST_F(PtyPairTest, AWaitingPairHoldsItsOpenersBytesUntilTheDriverLetsThemGo) {
    portdriver::PtyPair pair;
    ASSERT_TRUE(pair.create(portdriver::PtyPair::defaultLine()));
    int first = open(pair.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(first, 0);
    EXPECT_EQ(write(first, "1234", 4), -1);
    EXPECT_EQ(errno, EAGAIN);
    close(first);
    int next = open(pair.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(next, 0);
    EXPECT_EQ(write(next, "ab", 2), -1);
    EXPECT_FALSE(pair.readable());

    ASSERT_TRUE(pair.releaseOutput());
    EXPECT_TRUE(pair.held()) << "the driver's moment on the slave leaves it its holder's";
    EXPECT_EQ(write(next, "ab", 2), 2);
    // Packet mode: the master hears of the restart (a status byte alone), then the data.
    std::string data;
    pollfd ready{pair.master(), POLLIN, 0};
    while (data.empty() && poll(&ready, 1, 5000) == 1) {
        char packet[8] = {};
        ssize_t got = read(pair.master(), packet, sizeof packet);
        if (got > 1 && packet[0] == TIOCPKT_DATA)
            data.assign(packet + 1, size_t(got - 1));
    }
    EXPECT_EQ(data, "ab");
    close(next);
    EXPECT_FALSE(pair.held());
}
