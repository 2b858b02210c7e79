// Where the driver begins and ends an application's session, seen from both sides of
// the driver contract: the packets in the outQueue and what the application reads.
#include "platform/registry.h"
#include "portdriver/install.h"
#include "tests/portdriver/driver_fixture.h"

#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// -1: the value is not there.
void setPortValue(const char* name, int value) {
    platform::HKEY key = nullptr;
    ASSERT_EQ(
        platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector\\0005", &key),
        platform::ERROR_SUCCESS);
    if (value < 0)
        platform::RegDeleteValue(key, name);
    else
        platform::regSetDword(key, name, uint32_t(value));
    platform::RegCloseKey(key);
}

std::string readAll(int fd, size_t size) {
    std::string got;
    char buffer[256];
    while (got.size() < size && waitReadable(fd, 2000)) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, size_t(n));
    }
    while (waitReadable(fd, 100)) { // nothing more should come
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, size_t(n));
    }
    return got;
}

struct SixteenBitCase {
    const char* name;
    int isWin16Port; // -1: not there
    int isWin16PortConnected;
    int maximumBaud;
    bool joins; // the application joins the open port without OPEN
};

class SixteenBitValues : public DriverFixture,
                         public ::testing::WithParamInterface<SixteenBitCase> {};

} // namespace

// The values the open procedure publishes tell the driver that the 16-bit request has
// the port open; only then does an application join it without an open request.
TEST_P(SixteenBitValues, DecideWhetherTheApplicationJoinsWithoutOpen) {
    const SixteenBitCase& c = GetParam();
    startPort();
    setPortValue("IsWin16Port", c.isWin16Port);
    setPortValue("IsWin16PortConnected", c.isWin16PortConnected);
    setPortValue("MaximumBaud", c.maximumBaud);
    // The device spoke while nobody had the port.
    sendToDriver({0xF0, CMD_DATA, 0, 3, 'o', 'l', 'd', 0xE0, 0xF0, CMD_MODEM_STATUS, 0xB0, 0xE0});

    int fd = openLink(linkOf("COM5"));
    ASSERT_GE(fd, 0);
    if (!c.joins) {
        expectPacket({CMD_OPEN});
        expectPacket({CMD_MCR, 0x03});
        close(fd);
        return;
    }
    expectPacket({CMD_MCR, 0x03});
    makeRaw(fd);
    nextPacket(); // the SREQ of makeRaw
    const uint8_t hello[] = {'h', 'i'};
    writeAll(fd, hello, 2);
    expectPacket({CMD_DATA, 0, 2, 'h', 'i'});
    EXPECT_EQ(portdriver::lastModemStatus("COM5"), 0xB0);
    sendToDriver({0xF0, CMD_DATA, 0, 3, 'n', 'e', 'w', 0xE0});
    EXPECT_EQ(readAll(fd, 3), "new");
    close(fd);
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
}

INSTANTIATE_TEST_SUITE_P(
    Session, SixteenBitValues,
    ::testing::Values(SixteenBitCase{"OpenedBySixteenBitRequest", 1, 1, 9, true},
                      SixteenBitCase{"IdentifiedButNotConnected", 1, -1, 9, false},
                      SixteenBitCase{"OrdinaryPortWithAnOldMark", 0, 1, 9, false},
                      SixteenBitCase{"MarksLeftByAnEarlierRun", 1, 1, -1, false}),
    [](const auto& info) { return std::string(info.param.name); });

using Session = DriverFixture;

// Closing and opening again before the driver had a look is still a close: the old
// session ends after what it wrote, the new one asks anew and reads only its own bytes.
TEST_F(Session, CloseAndReopenAtOnceEndsTheSessionAndStartsANewOne) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    sendToDriver({0xF0, CMD_DATA, 0, 3, 'o', 'l', 'd', 0xE0});
    ASSERT_TRUE(waitReadable(fd, 2000)); // in the pty, left unread
    const uint8_t last[] = {'b', 'y', 'e'};
    writeAll(fd, last, 3);
    close(fd);
    fd = openLink(linkOf("COM5"));
    ASSERT_GE(fd, 0);

    expectPacket({CMD_DATA, 0, 3, 'b', 'y', 'e'});
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
    expectPacket({CMD_OPEN});
    expectPacket({CMD_MCR, 0x03});
    sendToDriver({0xF0, CMD_DATA, 0, 3, 'l', 'a', 't', 0xE0}); // for the closed session
    answerOpen(1);
    sendToDriver({0xF0, CMD_DATA, 0, 3, 'n', 'e', 'w', 0xE0});
    EXPECT_EQ(readAll(fd, 3), "new");
    close(fd);
}

// What the application writes while its open is pending waits in its own pty and goes
// out after the answer, also when the application has closed the port and another has
// opened it and written meanwhile; the next session starts with the settings the last
// one left and sends none it was not given.
TEST_F(Session, WritesWhileTheOpenIsPendingStayWithTheirSession) {
    startPort();
    int fd = openApplication();
    const uint8_t one[] = {'o', 'n', 'e'};
    writeAll(fd, one, 3);
    close(fd);
    fd = openLink(linkOf("COM5"));
    ASSERT_GE(fd, 0);
    const uint8_t two[] = {'t', 'w', 'o'};
    writeAll(fd, two, 3);
    answerOpen(1);
    expectPacket({CMD_DATA, 0, 3, 'o', 'n', 'e'});
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
    expectPacket({CMD_OPEN});
    expectPacket({CMD_MCR, 0x03});
    answerOpen(1);
    expectPacket({CMD_DATA, 0, 3, 't', 'w', 'o'});
    close(fd);
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
}

// The port is exclusive, as a COM port is: a second application that opens it while the
// first holds it is hung up at once, and the first one's session goes on untouched.
TEST_F(Session, ASecondOpenerIsRefusedWhileTheFirstHoldsThePort) {
    startPort();
    int first = openApplication();
    answerOpen(1);
    int second = openLink(linkOf("COM5"));
    ASSERT_GE(second, 0);
    EXPECT_TRUE(hungUp(second, 2000));
    close(second);
    sendToDriver({0xF0, CMD_DATA, 0, 2, 'u', 'p', 0xE0});
    EXPECT_EQ(readAll(first, 2), "up");
    const uint8_t hi[] = {'h', 'i'};
    writeAll(first, hi, 2);
    expectPacket({CMD_DATA, 0, 2, 'h', 'i'});
    close(first);
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
    int third = openApplication(); // the port is free again
    close(third);
}

// Settings settle before they go, and go only when they change: a program that sets the
// rate, then the data bits, then the flow control, and then the same again, gives the
// device one SREQ, before its data; the next session starts with what this one left.
TEST_F(Session, SettingsSettleAndOnlyChangesGoOutAndTheNextSessionInheritsThem) {
    startPort();
    int fd = openApplication();
    answerOpen(1);
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    for (speed_t speed : {B115200, B115200}) {
        cfsetspeed(&settings, speed);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
        settings.c_cflag |= CSTOPB;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
        settings.c_cflag |= CRTSCTS;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    }
    const uint8_t go[] = {'g', 'o'};
    writeAll(fd, go, 2);
    expectPacket({CMD_SREQ, 16, 0x07, 0x01});
    expectPacket({CMD_DATA, 0, 2, 'g', 'o'});
    close(fd);
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});

    fd = openApplication();
    answerOpen(1);
    termios inherited{};
    ASSERT_EQ(tcgetattr(fd, &inherited), 0);
    EXPECT_EQ(cfgetospeed(&inherited), B115200);
    EXPECT_TRUE(inherited.c_cflag & CRTSCTS);
    writeAll(fd, go, 2);
    expectPacket({CMD_DATA, 0, 2, 'g', 'o'}); // no SREQ: the application set nothing
    close(fd);
}

// A program without a controlling terminal that opens the port without O_NOCTTY gets the
// pty as its terminal (Wine's server does): the end of its session leaves it alone, where
// closing the pty would send it SIGHUP.
TEST_F(Session, TheEndOfASessionHangsUpNoProgramWhoseTerminalThePtyBecame) {
    startPort();
    std::string command = "setsid -w sh -c 'exec 3<>" + linkOf("COM5") +
                          "; sleep 0.3; exec 3>&-; sleep 0.5; echo alive' 2>&1";
    FILE* program = popen(command.c_str(), "r");
    ASSERT_NE(program, nullptr);
    expectPacket({CMD_OPEN});
    expectPacket({CMD_MCR, 0x03});
    answerOpen(1);
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
    char said[64] = {};
    size_t got = fread(said, 1, sizeof said - 1, program);
    EXPECT_EQ(std::string(said, got), "alive\n");
    EXPECT_EQ(pclose(program), 0);
}
