// travenor-remote against the real manager, started offscreen in temporary folders
// with its remote control on a loopback address and a TCP port of the test's own.
#include "platform/registry.h"
#include "platform/tcp_connection.h"
#include "tests/support/loopback_address.h"
#include "tests/tools/manager_process.h"
#include "tests/tools/tool_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

const Tool remoteTool(REMOTE_TOOL_PATH);

bool listensAt(const std::string& address, int tcpPort) {
    std::string error;
    return connectTcp(address, tcpPort, 1000, &error).valid();
}

// The operator's setting (one address) and the port the manager and the tool use.
void setRemoteControl(const std::string& address, int tcpPort) {
    HKEY key = nullptr;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\Quorvalink\\Redirector", &key);
    regSetString(key, "RemoteControl", address);
    RegCloseKey(key);
    setenv("QUORVALINK_REMOTE_PORT", std::to_string(tcpPort).c_str(), 1);
}

} // namespace

TEST(RemoteTool, RunningManagerAnswersAndStopsListeningWhenItEnds) {
    std::string remote = allocateLoopbackAddress();
    int tcpPort = unusedTcpPort();
    ManagerProcess manager(TRAVENOR_PATH);
    setRemoteControl(remote, tcpPort);
    manager.registerStoppedPort(4, "COM5");
    ASSERT_TRUE(manager.start([&] { return listensAt(remote, tcpPort); }));

    ToolRun started = remoteTool.run({"--server", remote, "5", "3", allocateLoopbackAddress()});
    EXPECT_EQ(started.exitCode, 0) << started.err;
    EXPECT_EQ(started.out, "1 the port was started or switched to the device server\n");

    ToolRun unknown =
        remoteTool.run({"--server", remote + ":" + std::to_string(tcpPort), "42", "1", "10.0.0.1"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.out, "4 no port with that COM number is configured\n");

    // The server's thread is woken, not waited for until its 10 s wake-up.
    auto before = Clock::now();
    EXPECT_EQ(manager.endWith(SIGTERM), 0);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(8));
    EXPECT_FALSE(listensAt(remote, tcpPort));
}

TEST(RemoteTool, NoManagerOrBadArgumentsGiveExitTwo) {
    std::string nobody = allocateLoopbackAddress();
    std::string noServer = nobody + ":" + std::to_string(unusedTcpPort());
    ToolRun noManager = remoteTool.run({"--server", noServer, "5", "1", "10.0.0.1"});
    EXPECT_EQ(noManager.exitCode, 2);
    EXPECT_EQ(noManager.out, "");

    const std::vector<std::vector<std::string>> bad = {
        {},
        {"5", "1"},
        {"0", "1", "10.0.0.1"},
        {"100", "1", "10.0.0.1"},
        {"5", "0", "10.0.0.1"},
        {"5", "33", "10.0.0.1"},
        {"5", "1", "vorlix-20-chars.lan2"},
        {"5", "1", ""},
        {"--server", nobody + ":0", "5", "1", "10.0.0.1"},
        {"5", "1", "10.0.0.1", "extra"},
    };
    for (const auto& arguments : bad) {
        ToolRun run = remoteTool.run(arguments);
        EXPECT_EQ(run.exitCode, 2) << ::testing::PrintToString(arguments);
        EXPECT_EQ(run.out, "");
    }
}
