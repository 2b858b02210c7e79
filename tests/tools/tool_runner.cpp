#include "tests/tools/tool_runner.h"

#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Output goes to anonymous files rather than pipes: nothing the tool prints can fill a
// pipe nobody reads while the test waits for the tool to end.
std::string contents(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    return text;
}

} // namespace

ToolRun Tool::run(const std::vector<std::string>& arguments) const {
    std::vector<char*> argv{const_cast<char*>(program_.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int outFd = memfd_create("tool-out", MFD_CLOEXEC);
    int errFd = memfd_create("tool-err", MFD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    ToolRun run;
    pid_t pid = 0;
    if (outFd >= 0 && errFd >= 0 &&
        posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = contents(outFd);
        run.err = contents(errFd);
    }
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {outFd, errFd})
        if (fd >= 0)
            close(fd);
    return run;
}
