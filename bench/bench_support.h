#pragma once
// What the benchmarks share: application-side pty helpers, a plain TCP echo server
// for socat to talk to, child processes, CPU time read from /proc, and ports written
// into the store as the manager's start-up expects them.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// Opens a port link as an application would, raw, non-blocking; -1 on failure.
int openRaw(const std::string& path);
bool waitForPath(const std::string& path, int seconds);
// Reads exactly size bytes, waiting at most timeoutMs between pieces.
bool readExactly(int fd, uint8_t* into, size_t size, int timeoutMs);
// Writes all size bytes as a non-blocking writer must: waiting for room (a port's output
// is held until the driver has taken the open), at most timeoutMs between pieces.
bool writeExactly(int fd, const uint8_t* from, size_t size, int timeoutMs);

// A plain TCP echo server: every accepted connection gets its bytes back as they come,
// each on a thread of its own, or has them only counted while echoing is off.
class EchoServer {
  public:
    bool start(const char* address, int tcpPort);
    ~EchoServer();
    void setEchoing(bool echoing) { echoing_ = echoing; }
    uint64_t bytesReceived() const { return received_; }

  private:
    void run();
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> echoing_{true};
    std::atomic<uint64_t> received_{0};
    std::thread thread_;
    std::vector<std::thread> clients_;
};

pid_t spawn(const std::vector<std::string>& command);
void stop(pid_t pid);
// Byte index of a test stream: changes with every byte and every 256th, so a byte lost,
// doubled or moved shows; streams differ by their number.
inline uint8_t patternByte(uint64_t index, int stream = 0) {
    return uint8_t((index ^ (index >> 8)) * 31 + uint64_t(stream));
}

// CPU seconds the process has used so far, all its living threads, to the nanosecond
// where the kernel counts them (schedstat), else in clock ticks.
double cpuSeconds(pid_t pid);

// A temporary folder with the manager's environment pointing into it (store, device
// folder, runtime folder); removed by the destructor.
class ManagerFolder {
  public:
    ManagerFolder();
    ~ManagerFolder();
    const std::string& path() const { return path_; }
    std::string link(const std::string& comName) const { return path_ + "/dev/" + comName; }

  private:
    std::string path_;
};

// Slot's key with one host entry that is also the saved current host, so that the
// manager starts the port at start-up.
void registerPort(int slot, const std::string& comName, const std::string& address, int portNo);

// Waits until the manager has started the slot's port (its rings are published).
bool waitForStarted(int slot, int seconds);

} // namespace bench
