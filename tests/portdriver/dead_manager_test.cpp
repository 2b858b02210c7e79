// A manager killed with its driver loaded: the links it leaves behind must lead
// nowhere, not into a pseudo-terminal that another program has since been given,
// until the next start makes them lead to its own ptys.
// The manager is this test binary run again as a child.
#include "platform/registry.h"
#include "portdriver/install.h"
#include "tests/portdriver/driver_fixture.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {
constexpr const char* REPORT_FD_VARIABLE = "QUORVALINK_DEAD_MANAGER_REPORT_FD";
constexpr const char* CHILD_TEST = "DeadManagerChild.DISABLED_HoldsTheDriverUntilKilled";

pid_t spawnManager(int reportFd) {
    std::string filter = std::string("--gtest_filter=") + CHILD_TEST;
    char* argv[] = {const_cast<char*>("/proc/self/exe"), filter.data(),
                    const_cast<char*>("--gtest_also_run_disabled_tests"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    setenv(REPORT_FD_VARIABLE, std::to_string(reportFd).c_str(), 1);
    pid_t child = -1;
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv, environ) != 0)
        child = -1;
    unsetenv(REPORT_FD_VARIABLE);
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

// The child's lines: link, the slave it leads to, device folder, store folder.
std::vector<std::string> readReport(int fd) {
    std::string text;
    char buffer[512];
    pollfd request{fd, POLLIN, 0};
    while (std::count(text.begin(), text.end(), '\n') < 4 && poll(&request, 1, 10000) == 1) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, size_t(got));
    }
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

int openPseudoTerminal(std::string& slave) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, name, sizeof name) == 0)
        slave = name;
    return master;
}

bool anyReadable(const std::vector<int>& masters, int timeoutMs) {
    std::vector<pollfd> requests;
    for (int master : masters)
        requests.push_back({master, POLLIN, 0});
    if (poll(requests.data(), requests.size(), timeoutMs) <= 0)
        return false;
    return std::any_of(requests.begin(), requests.end(),
                       [](const pollfd& r) { return (r.revents & POLLIN) != 0; });
}
} // namespace

using DeadManagerChild = DriverFixture;

// Not a test by itself: the manager of the test below, which kills it.
TEST_F(DeadManagerChild, DISABLED_HoldsTheDriverUntilKilled) {
    const char* reportFd = std::getenv(REPORT_FD_VARIABLE);
    ASSERT_NE(reportFd, nullptr);
    int report = std::atoi(reportFd);
    std::string lines = linkOf("COM5") + "\n" + fs::canonical(linkOf("COM5")).string() + "\n" +
                        deviceFolder + "\n" + store.folder() + "\n";
    writeAll(report, reinterpret_cast<const uint8_t*>(lines.data()), lines.size());
    char byte;
    read(report, &byte, 1); // returns only if the test below is gone
}

TEST(DeadManager, ItsLinkLeadsNowhereEvenWhenItsPseudoTerminalIsTaken) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    fcntl(ends[1], F_SETFD, 0); // the child's end survives its exec
    pid_t child = spawnManager(ends[1]);
    close(ends[1]);
    ASSERT_GT(child, 0);
    std::vector<std::string> report = readReport(ends[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ends[0]);
    ASSERT_EQ(report.size(), 4u) << "the manager did not load its driver";
    const std::string& link = report[0];
    ASSERT_TRUE(report[1].starts_with("/dev/pts/")) << report[1];

    // Other programs are given pseudo-terminals, among them (usually) the dead port's.
    std::vector<int> masters;
    std::string slave;
    while (slave != report[1] && masters.size() < 32) {
        masters.push_back(openPseudoTerminal(slave));
        ASSERT_GE(masters.back(), 0);
    }
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int openError = errno;
    if (fd >= 0) {
        EXPECT_EQ(write(fd, "stray", 5), 5);
        close(fd);
    }
    EXPECT_LT(fd, 0);
    EXPECT_EQ(openError, ENOENT);
    EXPECT_FALSE(anyReadable(masters, 200)) << "a stranger's terminal got the application's bytes";
    for (int master : masters)
        close(master);

    // The next start replaces the dead link with one that leads to its new pty.
    setenv("QUORVALINK_HOME", report[3].c_str(), 1);
    setenv("QUORVALINK_DEVDIR", report[2].c_str(), 1);
    platform::resetRegistryStore();
    portdriver::install();
    platform::DriverHandle driver = platform::openDriverDevice(platform::DRIVER_DEVICE_PATH);
    EXPECT_NE(driver, platform::INVALID_HANDLE_VALUE);
    fd = openLink(link);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    if (fd >= 0)
        close(fd);
    platform::closeDriverHandle(driver);
    platform::deleteDriverDevice(platform::DRIVER_DEVICE_PATH);
    unsetenv("QUORVALINK_DEVDIR");
    unsetenv("QUORVALINK_HOME");
    platform::resetRegistryStore();
    fs::remove_all(report[2]);
    fs::remove_all(report[3]);
}
