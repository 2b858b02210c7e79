#pragma once
// A command-line tool run as a real process until it ends, the way a user or a script
// runs it: its exit status and what it printed on standard output and standard error.
// It sees the test's environment (the store, device and runtime folders the test set).
// posix_spawn, not a fork: the test process may have threads of its own.
#include <string>
#include <utility>
#include <vector>

struct ToolRun {
    int exitCode = -1; // -1 when the tool could not be started or did not exit
    std::string out;
    std::string err;
};

// One tool, named once per test file: Tool travenorReg(TRAVENOR_REG_PATH).
class Tool {
  public:
    explicit Tool(std::string program) : program_(std::move(program)) {}
    ToolRun run(const std::vector<std::string>& arguments) const;

  private:
    std::string program_;
};
