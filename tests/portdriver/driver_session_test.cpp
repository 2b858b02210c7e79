// Where the driver begins and ends an application's session, seen from both sides of
// the driver contract: the packets in the outQueue and what the application reads.
#include "platform/registry.h"
#include "portdriver/install.h"
#include "tests/portdriver/driver_fixture.h"

#include <string>
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

// What the application writes while its open is pending is the session's: it goes out
// after the answer, also when the application has closed the port and another has
// opened it and written meanwhile.
TEST_F(Session, WritesWhileTheOpenIsPendingStayWithTheirSession) {
    startPort();
    int fd = openApplication();
    const uint8_t one[] = {'o', 'n', 'e'};
    writeAll(fd, one, 3);
    usleep(50000); // the driver takes it at once; give its thread the time to run
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
    expectPacket({CMD_SREQ, 12, 0x03, 0x00});
    expectPacket({CMD_DATA, 0, 3, 't', 'w', 'o'});
    close(fd);
}

// The port is exclusive, as a COM port is: when one of two holders closes it, the
// session ends, and the other gets a session of its own, with the line settings sent
// anew.
TEST_F(Session, OneOfTwoHoldersClosingGivesTheOtherASessionOfItsOwn) {
    startPort();
    int first = openApplication();
    answerOpen(1);
    int second = openLink(linkOf("COM5"));
    ASSERT_GE(second, 0);
    close(first);
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
    expectPacket({CMD_OPEN});
    expectPacket({CMD_MCR, 0x03});
    answerOpen(1);
    expectPacket({CMD_SREQ, 12, 0x03, 0x00}); // 9600 8N1, as the pty starts
    sendToDriver({0xF0, CMD_DATA, 0, 2, 'u', 'p', 0xE0});
    EXPECT_EQ(readAll(second, 2), "up");
    close(second);
    expectPacket({CMD_MCR, 0x00});
    expectPacket({CMD_CLOSE});
}
