#pragma once
// What the soak campaigns share (docs/reliability.md): a byte stream whose every
// eight-byte word names its own position, and a checker that tells a received stream
// made of whole slices of the sent one, in order (what a connection lost in the middle
// of traffic may leave), from one with a byte that was never sent, sent twice or out
// of order; figures of a process (descriptors, threads, memory); and a device server
// in a process of its own that can be killed, stopped, continued and made to reset
// its connections.
//
// Single-threaded: each object belongs to the thread that made it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace soak {

// Under a sanitizer the manager holds freed memory back on purpose: its memory figures
// say nothing about growth there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool MEMORY_MEANINGFUL = false;
#else
constexpr bool MEMORY_MEANINGFUL = true;
#endif

// Word w of stream s is D1 s w0 w1 w2 w3 w4 c: a 40-bit index and a check byte.
class StreamPattern {
  public:
    explicit StreamPattern(uint8_t stream) : stream_(stream) {}
    uint8_t at(uint64_t offset) const;
    void fill(uint64_t offset, uint8_t* out, size_t count) const;
    // The offset of bytes[0] when bytes[0..8) is a whole word of this stream.
    std::optional<uint64_t> wordOffset(const uint8_t* bytes) const;

  private:
    uint8_t stream_;
};

// Follows what arrives of a StreamPattern. Bytes may be missing (lost with a
// connection) but every byte that arrives is the pattern's byte at an offset beyond
// the last one, and runs of them are contiguous slices.
class StreamChecker {
  public:
    explicit StreamChecker(StreamPattern pattern) : pattern_(pattern) {}
    // False, with problem() set, at bytes no slice of the stream explains.
    bool take(const uint8_t* bytes, size_t count);
    // The offset the next byte has when nothing is lost.
    uint64_t expected() const { return expected_; }
    uint64_t received() const { return received_; }
    uint64_t lost() const { return lost_; }
    int gaps() const { return gaps_; }
    const std::string& problem() const { return problem_; }
    // FNV-1a of every byte taken, in order.
    uint64_t checksum() const { return checksum_; }

  private:
    bool resynchronise();
    bool explainSlices(size_t count, uint64_t end);

    StreamPattern pattern_;
    std::vector<uint8_t> pending_; // bytes not yet placed in the stream
    uint64_t expected_ = 0;
    uint64_t received_ = 0;
    uint64_t lost_ = 0;
    int gaps_ = 0;
    uint64_t checksum_ = 1469598103934665603ull;
    std::string problem_;
};

struct ProcessFigures {
    int descriptors = 0;
    int threads = 0;
    long residentKb = 0;
    long heapKb = -1; // in use by malloc; only for this process
};
ProcessFigures measure(pid_t pid);
ProcessFigures measureSelf();

// A device-server simulator (vorlix_sim_lib) in a process of its own, started by
// running this program again with deviceArguments(); the program's main hands such
// a run to deviceMain.
class DeviceProcess {
  public:
    DeviceProcess(std::string address, int ports) : address_(std::move(address)), ports_(ports) {}
    ~DeviceProcess() { kill(); }
    DeviceProcess(const DeviceProcess&) = delete;
    DeviceProcess& operator=(const DeviceProcess&) = delete;

    // Starts it and waits until it listens; false when it did not come up.
    bool start();
    // SIGKILL: the process goes, the system closes its connections.
    void kill();
    void stop();   // SIGSTOP: silent, while the system still acknowledges
    void resume(); // SIGCONT
    void reset();  // every connection reset (RST)
    const std::string& address() const { return address_; }
    bool running() const { return pid_ > 0; }

  private:
    std::string address_;
    int ports_;
    pid_t pid_ = -1;
};

// Runs a device process: argv is "--device ADDRESS PORTS READYFD". Returns the exit
// status; whether argv asks for it at all is isDeviceRun.
bool isDeviceRun(int argc, char** argv);
int deviceMain(int argc, char** argv);

} // namespace soak
