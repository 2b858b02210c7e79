#include "tests/support/process_threads.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string commandOutput(const std::string& command) {
    std::string text;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe)
        return text;
    std::array<char, 4096> buffer{};
    while (size_t n = fread(buffer.data(), 1, buffer.size(), pipe.get()))
        text.append(buffer.data(), n);
    return text;
}

} // namespace

std::string processThreads(long pid) {
    if (access("/usr/bin/gdb", X_OK) == 0) {
        std::string stacks = commandOutput("timeout 60 /usr/bin/gdb -p " + std::to_string(pid) +
                                           " -batch -ex 'thread apply all bt 20' 2>&1");
        if (stacks.find("Thread ") != std::string::npos)
            return stacks;
    }
    std::string text;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
        text += "thread " + task.path().filename().string() + ": " +
                fileText(task.path() / "stat") + fileText(task.path() / "stack") + "\n";
    return text.empty() ? "no threads to show" : text;
}
