// travenor-remote against the real manager, started offscreen in temporary folders
// with its remote control on a loopback address of the test's own, port 5001.
#include "config/port_key.h"
#include "platform/registry.h"
#include "platform/tcp_connection.h"
#include "tests/support/loopback_address.h"
#include "tests/support/temp_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int REMOTE_PORT = 5001;

struct ToolRun {
    int exitCode = -1;
    std::string output;
};

ToolRun runTool(const std::vector<std::string>& arguments) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> argv{const_cast<char*>(REMOTE_TOOL_PATH)};
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(REMOTE_TOOL_PATH, argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    ToolRun run;
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        run.output.append(buffer, size_t(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool listensAt(const std::string& address) {
    std::string error;
    return connectTcp(address, REMOTE_PORT, 1000, &error).valid();
}

// The manager in a store, device folder and runtime folder of its own, its remote
// control on one loopback address (the operator's setting).
class RunningManager {
  public:
    explicit RunningManager(const std::string& remoteAddress) {
        std::string runtime = store_.folder() + "/run";
        std::filesystem::create_directories(runtime);
        std::filesystem::create_directories(store_.folder() + "/dev");
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("QUORVALINK_DEVDIR", (store_.folder() + "/dev").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("QUORVALINK_REMOTE_PORT", std::to_string(REMOTE_PORT).c_str(), 1);
        HKEY key = nullptr;
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\Quorvalink\\Redirector", &key);
        regSetString(key, "RemoteControl", remoteAddress);
        RegCloseKey(key);
        registerStoppedPort(4, "COM5");
    }
    ~RunningManager() {
        if (pid_ > 0)
            endWith(SIGKILL);
        unsetenv("QUORVALINK_DEVDIR");
    }

    void start(const std::string& remoteAddress) {
        // Under ThreadSanitizer the manager reports races inside Qt's own thread pool
        // (Qt is not instrumented); they must not end the manager under test.
        std::string tsanOptions = getenv("TSAN_OPTIONS") ? getenv("TSAN_OPTIONS") : "";
        if (!tsanOptions.empty())
            setenv("TSAN_OPTIONS", (tsanOptions + ":halt_on_error=0").c_str(), 1);
        pid_ = fork();
        if (pid_ == 0) {
            execl(TRAVENOR_PATH, TRAVENOR_PATH, static_cast<char*>(nullptr));
            _exit(127);
        }
        if (!tsanOptions.empty())
            setenv("TSAN_OPTIONS", tsanOptions.c_str(), 1);
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!listensAt(remoteAddress) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    // Exit status, or -1 when the manager did not end normally.
    int endWith(int signal) {
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    // A port that start-up leaves Stopped: its saved host is not in its list.
    static void registerStoppedPort(int slot, const char* comName) {
        HKEY key = nullptr;
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key);
        regSetString(key, "PORTNAME", comName);
        regSetString(key, "IpAddr01", allocateLoopbackAddress());
        regSetDword(key, "TCPPortNo01", 1);
        regSetString(key, "Description01", "test host");
        RegCloseKey(key);
    }

    TempStore store_;
    pid_t pid_ = -1;
};

} // namespace

TEST(RemoteTool, RunningManagerAnswersAndStopsListeningWhenItEnds) {
    std::string remote = allocateLoopbackAddress();
    RunningManager manager(remote);
    manager.start(remote);
    ASSERT_TRUE(listensAt(remote));

    ToolRun started = runTool({"--server", remote, "5", "3", allocateLoopbackAddress()});
    EXPECT_EQ(started.exitCode, 0);
    EXPECT_EQ(started.output, "1 the port was started or switched to the device server\n");

    ToolRun unknown = runTool({"--server", remote + ":5001", "42", "1", "10.0.0.1"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.output, "4 no port with that COM number is configured\n");

    // The server's thread is woken, not waited for until its 10 s wake-up.
    auto before = Clock::now();
    EXPECT_EQ(manager.endWith(SIGTERM), 0);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(8));
    EXPECT_FALSE(listensAt(remote));
}

TEST(RemoteTool, NoManagerOrBadArgumentsGiveExitTwo) {
    std::string nobody = allocateLoopbackAddress();
    ToolRun noManager = runTool({"--server", nobody, "5", "1", "10.0.0.1"});
    EXPECT_EQ(noManager.exitCode, 2);
    EXPECT_EQ(noManager.output, "");

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
        ToolRun run = runTool(arguments);
        EXPECT_EQ(run.exitCode, 2) << ::testing::PrintToString(arguments);
        EXPECT_EQ(run.output, "");
    }
}
