#pragma once
// A real client program (pyserial under Debian's python, a C program, picocom) as a
// process of its own, its standard output and error in a file, while the test's main
// thread keeps the manager running (pumpUntil). With the preload library in front of it
// or without. posix_spawn, not a fork: the test process has the manager's and the
// simulator's threads.
#include <string>
#include <sys/types.h>
#include <vector>

class ClientProcess {
  public:
    // settings ("NAME=value") take the place of the test's own environment entries;
    // preloadLibrary: the library's path for LD_PRELOAD, or empty for none.
    ClientProcess(const std::vector<std::string>& command, const std::string& outPath,
                  const std::string& preloadLibrary = {}, std::vector<std::string> settings = {});
    ~ClientProcess(); // kills a client still running
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    bool started() const { return pid_ > 0; }
    std::string output() const;
    // Whether text appeared in the output within the time (the client still running).
    bool printed(const std::string& text, int timeoutMs = 10000);
    bool done() { return !running(); }
    // The exit status once the client has ended within the time, -1 otherwise.
    int finish(int timeoutMs = 15000);

  private:
    bool running();

    std::string outPath_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
};
