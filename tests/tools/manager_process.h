#pragma once
// The manager (travenor) as a process of its own, the way the tools meet it: offscreen,
// with a store, device folder and runtime folder of its own, to which the environment
// points the manager and the tools while the object lives.
#include "tests/support/temp_store.h"

#include <functional>
#include <string>
#include <sys/types.h>

class ManagerProcess {
  public:
    explicit ManagerProcess(std::string program);
    // Kills a manager still running.
    ~ManagerProcess();
    ManagerProcess(const ManagerProcess&) = delete;
    ManagerProcess& operator=(const ManagerProcess&) = delete;

    // A port that start-up leaves Stopped: its saved host is not in its list.
    void registerStoppedPort(int slot, const char* comName);
    // The single-instance socket, there once the manager has started.
    std::string instanceSocket() const { return runtime_ + "/quorvalink-travenor.socket"; }

    // Starts the manager and waits up to 20 s for ready(); whether it came.
    bool start(const std::function<bool()>& ready);
    bool running() const { return pid_ > 0; }
    // Sends the signal and waits for the end: the exit status, or -1 when the manager
    // did not end normally.
    int endWith(int signal);

  private:
    TempStore store_;
    std::string program_;
    std::string runtime_;
    pid_t pid_ = -1;
};
