// The device-node refresh (control code 0x22002F): afterwards the driver's links are
// exactly the registered ports, each leading to a port that works once it is hooked.
#include "tests/portdriver/driver_fixture.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

using Refresh = DriverFixture;

namespace {
bool linkPresent(const std::string& path) {
    return fs::is_symlink(fs::symlink_status(path));
}

// A socket file nobody listens on any more, as a manager that died leaves it.
void leaveSocketAt(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
}

bool listening(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), std::min(path.size() + 1, sizeof address.sun_path));
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}
} // namespace

TEST_F(Refresh, RenamedPortLeavesNoOldLinkAndIsHookedUnderItsNewName) {
    registerPort(5, "COM6"); // the same slot, another name
    ASSERT_TRUE(refresh());
    EXPECT_FALSE(linkPresent(linkOf("COM5")));
    ASSERT_TRUE(linkPresent(linkOf("COM6")));

    startPort();
    int fd = openLink(linkOf("COM6"));
    ASSERT_GE(fd, 0);
    expectPacket({CMD_OPEN});
    expectPacket({CMD_MCR, 0x03});
    answerOpen(1);
    const uint8_t hello[] = {'h', 'i'};
    writeAll(fd, hello, sizeof hello);
    expectPacket({CMD_DATA, 0x00, 0x02, 'h', 'i'});
    close(fd);
}

TEST_F(Refresh, PutsBackARemovedLinkAndRemovesLinksOfNoPort) {
    ASSERT_TRUE(fs::remove(linkOf("COM5")));
    ASSERT_TRUE(fs::remove(linkOf("COM5.ctl")));
    leaveSocketAt(linkOf("COM9.ctl")); // a dead manager's control channel
    std::ofstream(linkOf("COM7.ctl")) << "a file";
    // Left by a manager that died: a port's name, the form of link the driver makes.
    fs::create_symlink("/proc/2147483646/fd/900", linkOf("COM9"));
    fs::create_symlink("/proc/2147483646/fd/901", linkOf("COM9.new"));
    // Not the driver's: kept whatever their names.
    std::ofstream(linkOf("COM8")) << "a file";
    fs::create_symlink("/dev/null", linkOf("COM10"));
    fs::create_symlink("/proc/2147483646/fd/902", linkOf("notes"));

    ASSERT_TRUE(refresh());

    EXPECT_TRUE(linkPresent(linkOf("COM5")));
    EXPECT_TRUE(listening(linkOf("COM5.ctl")));
    EXPECT_FALSE(fs::exists(linkOf("COM9.ctl")));
    EXPECT_TRUE(fs::is_regular_file(linkOf("COM7.ctl")));
    EXPECT_FALSE(linkPresent(linkOf("COM9")));
    EXPECT_FALSE(linkPresent(linkOf("COM9.new")));
    EXPECT_TRUE(fs::is_regular_file(linkOf("COM8")));
    EXPECT_TRUE(linkPresent(linkOf("COM10")));
    EXPECT_TRUE(linkPresent(linkOf("notes")));
    startPort();
    int fd = openApplication(); // through the link put back
    ASSERT_GE(fd, 0);
    close(fd);
}
