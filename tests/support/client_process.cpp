#include "tests/support/client_process.h"

#include "tests/support/pump.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {
std::vector<char*> pointers(const std::vector<std::string>& words) {
    std::vector<char*> list;
    for (const std::string& word : words)
        list.push_back(const_cast<char*>(word.c_str()));
    list.push_back(nullptr);
    return list;
}
} // namespace

ClientProcess::ClientProcess(const std::vector<std::string>& command, const std::string& outPath,
                             const std::string& preloadLibrary, std::vector<std::string> settings)
    : outPath_(outPath) {
    std::vector<std::string> environment = settings;
    if (!preloadLibrary.empty())
        environment.push_back("LD_PRELOAD=" + preloadLibrary);
    settings.emplace_back("LD_PRELOAD=");
    for (char** entry = environ; *entry; ++entry) {
        auto sameName = [&](const std::string& setting) {
            return std::strncmp(*entry, setting.c_str(), setting.find('=') + 1) == 0;
        };
        if (std::none_of(settings.begin(), settings.end(), sameName))
            environment.emplace_back(*entry);
    }
    std::vector<char*> argv = pointers(command);
    std::vector<char*> envp = pointers(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

ClientProcess::~ClientProcess() {
    if (running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

std::string ClientProcess::output() const {
    std::ostringstream text;
    text << std::ifstream(outPath_).rdbuf();
    return text.str();
}

bool ClientProcess::printed(const std::string& text, int timeoutMs) {
    pumpUntil([&] { return output().find(text) != std::string::npos || !running(); }, timeoutMs);
    return output().find(text) != std::string::npos;
}

int ClientProcess::finish(int timeoutMs) {
    if (!pumpUntil([&] { return !running(); }, timeoutMs))
        return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

bool ClientProcess::running() {
    if (pid_ > 0 && !exited_ && waitpid(pid_, &status_, WNOHANG) == pid_)
        exited_ = true;
    return pid_ > 0 && !exited_;
}
