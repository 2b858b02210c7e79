// The pty pair behind a link on its own: what the driver's arrival check (slaveHeld)
// sees after each thing the driver itself does to the pair.
#include "portdriver/pty_port.h"

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
class PtyPortTest : public ::testing::Test {
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

// The next data the master gets in packet mode, status bytes skipped.
std::string nextData(int master, int timeoutMs) {
    char buffer[256];
    for (;;) {
        pollfd request{master, POLLIN, 0};
        if (poll(&request, 1, timeoutMs) != 1)
            return {};
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            return {};
        if (buffer[0] == TIOCPKT_DATA)
            return std::string(buffer + 1, size_t(got - 1));
    }
}
} // namespace

TEST_F(PtyPortTest, TheDriversOwnOpeningOfANewSlaveIsNotTakenForAnApplication) {
    portdriver::PtyPort port(link);
    ASSERT_TRUE(port.open());
    EXPECT_EQ(fs::canonical(link), port.slavePath());
    EXPECT_FALSE(port.slaveHeld());
    // Opened as serial libraries do: the link gives the slave itself.
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_STREQ(ttyname(fd), port.slavePath().c_str());
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    cfsetspeed(&settings, B115200);
    EXPECT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    EXPECT_TRUE(port.slaveHeld());
    close(fd);
    EXPECT_FALSE(port.slaveHeld());
    port.discardInput();
    EXPECT_FALSE(port.slaveHeld());
}

TEST_F(PtyPortTest, ReopenHangsUpTheOldSlaveAndLinksAFreshOneNobodyHolds) {
    portdriver::PtyPort port(link);
    ASSERT_TRUE(port.open());
    int old = openLink(link);
    ASSERT_GE(old, 0);
    std::string oldSlave = port.slavePath();
    ASSERT_TRUE(port.open());
    EXPECT_NE(port.slavePath(), oldSlave);
    EXPECT_EQ(fs::canonical(link), port.slavePath());
    EXPECT_FALSE(port.slaveHeld());
    EXPECT_TRUE(hungUp(old, 0));
    EXPECT_FALSE(isatty(old));
    close(old);
    // Whoever opens the name now gets a terminal that stays one.
    int fresh = openLink(link);
    ASSERT_GE(fresh, 0);
    EXPECT_TRUE(isatty(fresh));
    EXPECT_TRUE(port.slaveHeld());
    close(fresh);
}

TEST_F(PtyPortTest, DiscardInputKeepsWhatANewlyArrivedApplicationWrote) {
    portdriver::PtyPort port(link);
    ASSERT_TRUE(port.open());
    int first = openLink(link);
    ASSERT_GE(first, 0);
    ASSERT_EQ(write(port.master(), "old", 3), 3);
    ASSERT_TRUE(waitReadable(first, 2000));
    close(first); // leaves "old" unread
    // The next application opens and writes before the driver discards.
    int next = openLink(link);
    ASSERT_GE(next, 0);
    ASSERT_EQ(write(next, "hi", 2), 2);
    ASSERT_TRUE(waitReadable(next, 0)); // the slave keeps "old" across the reopen
    port.discardInput();
    EXPECT_FALSE(waitReadable(next, 0));
    EXPECT_EQ(nextData(port.master(), 2000), "hi");
    close(next);
}

TEST_F(PtyPortTest, AFileThatIsNotALinkIsNeverReplaced) {
    { std::ofstream(link) << "user data"; }
    portdriver::PtyPort port(link);
    EXPECT_FALSE(port.open());
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(link)));
    std::ifstream kept(link);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "user data");
}
