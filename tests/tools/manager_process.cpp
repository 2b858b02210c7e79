#include "tests/tools/manager_process.h"

#include "config/port_key.h"
#include "platform/registry.h"
#include "tests/support/loopback_address.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

using namespace platform;

namespace {

// The test's environment, except that under ThreadSanitizer the manager reports races
// inside Qt's own thread pool (Qt is not instrumented): they are printed, but must not
// end the manager under test.
std::vector<std::string> managerEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        entries.emplace_back(*entry);
        if (std::strncmp(*entry, "TSAN_OPTIONS=", 13) == 0 && (*entry)[13])
            entries.back() += ":halt_on_error=0";
    }
    return entries;
}

} // namespace

ManagerProcess::ManagerProcess(std::string program)
    : program_(std::move(program)), runtime_(store_.folder() + "/run") {
    std::filesystem::create_directories(runtime_);
    std::filesystem::create_directories(store_.folder() + "/dev");
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    setenv("QUORVALINK_DEVDIR", (store_.folder() + "/dev").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

ManagerProcess::~ManagerProcess() {
    if (running())
        endWith(SIGKILL);
    unsetenv("QUORVALINK_DEVDIR");
}

void ManagerProcess::registerStoppedPort(int slot, const char* comName) {
    HKEY key = nullptr;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key);
    regSetString(key, "PORTNAME", comName);
    regSetString(key, "IpAddr01", allocateLoopbackAddress());
    regSetDword(key, "TCPPortNo01", 1);
    regSetString(key, "Description01", "test host");
    RegCloseKey(key);
}

bool ManagerProcess::start(const std::function<bool()>& ready) {
    std::vector<std::string> environment = managerEnvironment();
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    char* argv[] = {program_.data(), nullptr};
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv, envp.data()) != 0) {
        pid_ = -1;
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!ready() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ready();
}

int ManagerProcess::endWith(int signal) {
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
