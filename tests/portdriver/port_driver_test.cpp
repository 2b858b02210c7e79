#include "portdriver/port_driver.h"

#include "platform/tick.h"
#include "portdriver/install.h"
#include "portdriver/line_settings.h"
#include "tests/portdriver/driver_fixture.h"

#include <filesystem>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

using Links = DriverFixture;
using Open = DriverFixture;
using Close = DriverFixture;

TEST_F(Links, PortHasALinkToAPseudoTerminalFromLoad) {
    ASSERT_TRUE(fs::is_symlink(linkOf("COM5")));
    fs::path loaded = fs::canonical(linkOf("COM5"));
    // Started, so that the open waits for the manager: a port that is not started
    // hangs its application up as soon as the driver sees it.
    startPort();
    int fd = openApplication(); // OPEN and MCR: the driver has seen this open
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(isatty(fd));
    EXPECT_EQ(fs::path(ttyname(fd)), loaded);
    close(fd);
}

TEST_F(Links, RefreshAddsNewPortsAndRemovesDeletedOnes) {
    registerPort(7, "COM7");
    registerPort(8, "../COM8"); // not a port name: never becomes a file
    ASSERT_FALSE(fs::exists(linkOf("COM7")));
    // Started, so that only the refresh can hang this application up.
    startPort();
    int holder = openApplication();
    ASSERT_TRUE(refresh());
    EXPECT_TRUE(fs::is_symlink(linkOf("COM7")));
    EXPECT_FALSE(fs::exists(deviceFolder + "/../COM8"));

    unregisterPort(5);
    ASSERT_TRUE(refresh());
    EXPECT_FALSE(fs::exists(fs::symlink_status(linkOf("COM5"))));
    EXPECT_TRUE(fs::is_symlink(linkOf("COM7")));
    EXPECT_TRUE(hungUp(holder, 1000));
    close(holder);
}

TEST_F(Links, UnloadRemovesLinksAndHangsUpApplications) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    platform::deleteDriverDevice(platform::DRIVER_DEVICE_PATH);
    EXPECT_FALSE(fs::exists(fs::symlink_status(linkOf("COM5"))));
    EXPECT_TRUE(hungUp(fd, 1000));
    close(fd);
}

TEST_F(Open, PortNotStartedIsHungUp) {
    int fd = openLink(linkOf("COM5"));
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(hungUp(fd, 2000));
    close(fd);
    // The link stays, and leads to a port that works once it is started.
    startPort();
    fd = openApplication();
    close(fd);
}

TEST_F(Open, ResultOneKeepsThePortOpen) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    EXPECT_FALSE(hungUp(fd, 200));
    const uint8_t hello[] = {'h', 'i'};
    writeAll(fd, hello, 2);
    expectPacket({CMD_DATA, 0, 2, 'h', 'i'});
    close(fd);
}

TEST_F(Open, ResultZeroHangsUp) {
    startPort();
    int fd = openApplication();
    answerOpen(0);
    EXPECT_TRUE(hungUp(fd, 2000));
    close(fd);
    EXPECT_EQ(nextPacket(200), Bytes{}); // no CLOSE for an open the manager refused
}

TEST_F(Open, NoAnswerWithinFifteenSecondsHangsUp) {
    startPort();
    int fd = openApplication();
    platform::addTickOffset(14000);
    EXPECT_FALSE(hungUp(fd, 200));
    platform::addTickOffset(1001);
    EXPECT_TRUE(hungUp(fd, 2000));
    close(fd);
    // The manager is told, so that an open it completes late is closed again.
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
}

TEST_F(Open, StaleAnswerOfAnEarlierOpenIsNotTaken) {
    startPort();
    int fd = openApplication();
    platform::addTickOffset(15001);
    ASSERT_TRUE(hungUp(fd, 2000));
    close(fd);
    nextPacket();
    nextPacket();
    answerOpen(1); // too late for that open
    fd = openApplication();
    EXPECT_FALSE(hungUp(fd, 300)); // would be open if the stale 1 were taken...
    answerOpen(0);
    EXPECT_TRUE(hungUp(fd, 2000)); // ...and this answer is the one that counts
    close(fd);
}

TEST_F(Close, GivesMcrZeroThenCloseAfterTheLastData) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    const uint8_t last[] = {'b', 'y', 'e'};
    writeAll(fd, last, 3);
    close(fd);
    expectPacket({CMD_DATA, 0, 3, 'b', 'y', 'e'});
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
    // The port is ready for the next application.
    fd = openApplication();
    close(fd);
}

TEST_F(Close, UnreadDeviceBytesDoNotReachTheNextApplication) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    sendToDriver({0xF0, CMD_DATA, 0, 3, 'o', 'l', 'd', 0xE0});
    ASSERT_TRUE(waitReadable(fd, 2000)); // in the pty, left unread
    close(fd);
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
    fd = openApplication();
    answerOpen(1);
    sendToDriver({0xF0, CMD_DATA, 0, 3, 'n', 'e', 'w', 0xE0});
    char got[8] = {};
    ASSERT_TRUE(waitReadable(fd, 2000));
    EXPECT_EQ(read(fd, got, sizeof got), 3);
    EXPECT_STREQ(got, "new");
    close(fd);
}

TEST_F(Close, ReleasingTheQueuesHangsUpTheApplication) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    ASSERT_TRUE(platform::deviceIoControl(driver, platform::IOCTL_RELEASE_QUEUE, &outHandle, 4,
                                          nullptr, 0, nullptr));
    EXPECT_TRUE(hungUp(fd, 2000));
    close(fd);
}

struct LineCase {
    const char* name;
    speed_t speed;
    tcflag_t cflagOn;
    tcflag_t iflagOn;
    Bytes sreq; // '!' and the three setting bytes
};

class Sreq : public DriverFixture, public ::testing::WithParamInterface<LineCase> {};

TEST_P(Sreq, LineChangeGivesTheDocumentedBytes) {
    const LineCase& c = GetParam();
    startPort();
    int fd = openApplication();
    answerOpen(1);
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    cfmakeraw(&settings);
    cfsetspeed(&settings, c.speed);
    settings.c_cflag = (settings.c_cflag & ~(CSIZE | PARENB | CSTOPB | CRTSCTS)) | c.cflagOn;
    settings.c_iflag |= c.iflagOn;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    expectPacket(c.sreq);
    close(fd);
}

// The pty forces 8 data bits and no parity: those rows show what arrives.
INSTANTIATE_TEST_SUITE_P(
    PortDriver, Sreq,
    ::testing::Values(
        LineCase{"b115200_8n1", B115200, CS8, 0, {CMD_SREQ, 16, 0x03, 0x00}},
        LineCase{
            "b9600_2stop_rtscts", B9600, CS8 | CSTOPB | CRTSCTS, 0, {CMD_SREQ, 12, 0x07, 0x01}},
        LineCase{"b57600_xonxoff", B57600, CS8, IXON | IXOFF, {CMD_SREQ, 15, 0x03, 0x06}},
        LineCase{"b300_xon_only", B300, CS8, IXON, {CMD_SREQ, 6, 0x03, 0x02}},
        LineCase{"b19200_7e1_becomes_8n1", B19200, CS7 | PARENB, 0, {CMD_SREQ, 13, 0x03, 0x00}},
        LineCase{"b921600_5bits_becomes_8", B921600, CS5, 0, {CMD_SREQ, 21, 0x03, 0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Open, ApplicationClearingExtprocStillHasLaterChangesReported) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    termios settings{};
    tcgetattr(fd, &settings);
    settings.c_lflag &= ~EXTPROC;
    cfsetspeed(&settings, B4800);
    tcsetattr(fd, TCSANOW, &settings);
    expectPacket({CMD_SREQ, 11, 0x03, 0x00});
    tcgetattr(fd, &settings);
    settings.c_lflag &= ~EXTPROC;
    cfsetspeed(&settings, B2400);
    tcsetattr(fd, TCSANOW, &settings);
    expectPacket({CMD_SREQ, 10, 0x03, 0x00});
    close(fd);
}

TEST_F(Open, ZeroBaudDropsDtrAndRtsUntilARateIsSetAgain) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    termios settings{};
    tcgetattr(fd, &settings);
    cfsetspeed(&settings, B0);
    tcsetattr(fd, TCSANOW, &settings);
    expectPacket({CMD_MCR, 0x00});
    cfsetspeed(&settings, B38400);
    tcsetattr(fd, TCSANOW, &settings);
    expectPacket({CMD_MCR, 0x03});
    expectPacket({CMD_SREQ, 14, 0x03, 0x00});
    close(fd);
}

TEST(LineSettings, BaudCodesRoundTripAndUnknownRatesAreMarked) {
    for (uint8_t code = 0; portdriver::speedOfBaudCode(code) != B0; ++code)
        EXPECT_EQ(portdriver::baudCodeOf(portdriver::speedOfBaudCode(code)), code);
    EXPECT_EQ(portdriver::baudCodeOf(B0), portdriver::BAUD_CODE_UNKNOWN);
    EXPECT_EQ(portdriver::baudCodeOf(B9600), 12);
}
