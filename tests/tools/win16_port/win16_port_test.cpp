// travenor-win16 against the real manager, started offscreen in temporary folders.
#include "config/port_key.h"
#include "platform/registry.h"
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

namespace {

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
        std::vector<char*> argv{const_cast<char*>(WIN16_TOOL_PATH)};
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(WIN16_TOOL_PATH, argv.data());
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

// A store, device folder and runtime folder of its own, and the environment that
// points the manager and the tool at them.
class ManagerFolders {
  public:
    ManagerFolders() {
        runtime_ = store_.folder() + "/run";
        std::filesystem::create_directories(runtime_);
        std::filesystem::create_directories(store_.folder() + "/dev");
        setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        setenv("QUORVALINK_DEVDIR", (store_.folder() + "/dev").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    ~ManagerFolders() { unsetenv("QUORVALINK_DEVDIR"); }
    std::string socketPath() const { return runtime_ + "/quorvalink-travenor.socket"; }

  private:
    TempStore store_;
    std::string runtime_;
};

// A port that start-up leaves Stopped: its saved host is not in its list.
void registerStoppedPort(int slot, const char* comName) {
    HKEY key = nullptr;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key);
    regSetString(key, "PORTNAME", comName);
    regSetString(key, "IpAddr01", allocateLoopbackAddress());
    regSetDword(key, "TCPPortNo01", 1);
    regSetString(key, "Description01", "test host");
    RegCloseKey(key);
}

class RunningManager {
  public:
    explicit RunningManager(const ManagerFolders& folders) {
        // Under ThreadSanitizer the manager reports races inside Qt's own thread pool
        // (Qt is not instrumented); they are printed, but must not end the manager the
        // tool is tested against.
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
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!std::filesystem::exists(folders.socketPath()) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~RunningManager() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    bool listening(const ManagerFolders& folders) const {
        return pid_ > 0 && std::filesystem::exists(folders.socketPath());
    }

  private:
    pid_t pid_ = -1;
};

bool hasValue(int slot, const char* name) {
    HKEY key = nullptr;
    bool found =
        RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key) == ERROR_SUCCESS &&
        RegQueryValueEx(key, name, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    return found;
}

} // namespace

TEST(Win16Tool, RunningManagerAnswersRequestsForItsPorts) {
    ManagerFolders folders;
    registerStoppedPort(4, "COM5");
    HKEY key = nullptr;
    RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKeyName(4).c_str(), &key);
    regSetDword(key, "IsWin16Port", 1);
    RegCloseKey(key);
    RunningManager manager(folders);
    ASSERT_TRUE(manager.listening(folders));

    // Closing a Stopped port is done already, and leaves it as it is.
    ToolRun close = runTool({"5", "close"});
    EXPECT_EQ(close.exitCode, 0);
    EXPECT_EQ(close.output, "1\n");
    EXPECT_TRUE(hasValue(4, "IsWin16Port"));

    // A Stopped port cannot be opened.
    ToolRun open = runTool({"5", "open"});
    EXPECT_EQ(open.exitCode, 1);
    EXPECT_EQ(open.output, "0\n");

    ToolRun unknown = runTool({"42", "close"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.output, "0\n");
}

TEST(Win16Tool, NoManagerRunningGivesExitTwo) {
    ManagerFolders folders;
    ToolRun run = runTool({"5", "close"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "");
}

TEST(Win16Tool, BadArgumentsGiveExitTwo) {
    ManagerFolders folders;
    EXPECT_EQ(runTool({}).exitCode, 2);
    EXPECT_EQ(runTool({"5"}).exitCode, 2);
    EXPECT_EQ(runTool({"5", "toggle"}).exitCode, 2);
    EXPECT_EQ(runTool({"COMX", "open"}).exitCode, 2);
    EXPECT_EQ(runTool({"0", "open"}).exitCode, 2);
    EXPECT_EQ(runTool({"5", "open", "extra"}).exitCode, 2);
}
