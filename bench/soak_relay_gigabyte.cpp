// A gigabyte through one port, both ways at once, through the real manager (the
// travenor program) to a device server in this process, while the application and
// the device take turns reading slowly: every byte arrives once, unchanged and in
// order (each direction checked byte by byte, and by a checksum of what was sent
// against one of what arrived), and the manager's memory, descriptors and threads stay
// flat.
//
//   soak_relay_gigabyte [--bytes N] [--turn-ms T]     (default 1 GiB, 1000 ms)
//
// In each turn one side reads at most 1 KB every 10 ms and the other as fast as it
// can; the writers write as fast as the relay lets them. The device answers the
// identification and the keep-alive as a device server does, and sends its bytes as
// DATA frames of up to 512 bytes.
#include "bench/bench_support.h"
#include "bench/soak_support.h"
#include "tests/support/loopback_address.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using soak::StreamChecker;
using soak::StreamPattern;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int DEVICE_PORT = 1;
constexpr size_t SLOW_READ = 1024;
constexpr int SLOW_EVERY_MS = 10;
constexpr uint8_t APP_STREAM = 0x11;
constexpr uint8_t DEVICE_STREAM = 0x22;
constexpr long RESIDENT_SLACK_KB = 4096;

struct Options {
    uint64_t bytes = 1ull << 30;
    int turnMs = 1000;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// FNV-1a of a pattern's first count bytes: the checksum of what a writer sent.
uint64_t patternChecksum(const StreamPattern& pattern, uint64_t count) {
    uint64_t sum = 1469598103934665603ull;
    for (uint64_t offset = 0; offset < count; ++offset)
        sum = (sum ^ pattern.at(offset)) * 1099511628211ull;
    return sum;
}

// Paces a slow reader: at most SLOW_READ bytes per SLOW_EVERY_MS.
class Pace {
  public:
    size_t allowance(bool slow) {
        if (!slow)
            return 1 << 16;
        if (Clock::now() < next_)
            return 0;
        next_ = Clock::now() + std::chrono::milliseconds(SLOW_EVERY_MS);
        return SLOW_READ;
    }

  private:
    Clock::time_point next_ = Clock::now();
};

// The device server: one connection from the manager, on a thread of its own.
class Device {
  public:
    Device(std::string address, uint64_t total)
        : address_(std::move(address)), total_(total), toApp_(DEVICE_STREAM),
          fromApp_(StreamPattern(APP_STREAM)) {}
    ~Device() {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listener_ >= 0)
            close(listener_);
    }

    bool start() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(uint16_t(4000 + DEVICE_PORT));
        inet_pton(AF_INET, address_.c_str(), &where.sin_addr);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
            listen(listener_, 4) != 0)
            return false;
        thread_ = std::thread([this] { run(); });
        return true;
    }

    std::atomic<bool> readSlowly{false};
    std::atomic<bool> stopping_{false};
    // Read after the thread has ended (join via finish()).
    void finish() {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    const StreamChecker& received() const { return fromApp_; }
    uint64_t sent() const { return sent_.load(); }
    uint64_t receivedBytes() const { return receivedBytes_.load(); }
    const std::string& problem() const { return problem_; }
    int connections() const { return connections_; }

  private:
    void run() {
        int connection = -1;
        std::vector<uint8_t> input, output;
        Pace pace;
        while (!stopping_ && problem_.empty()) {
            pollfd waits[2] = {
                {listener_, POLLIN, 0},
                {connection, short(POLLIN | (output.empty() && sent_ >= total_ ? 0 : POLLOUT)), 0}};
            if (poll(waits, connection >= 0 ? 2 : 1, 5) < 0)
                continue;
            if (waits[0].revents & POLLIN) {
                int next = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (next >= 0) {
                    if (connection >= 0)
                        close(connection);
                    connection = next;
                    int on = 1;
                    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    ++connections_;
                    input.clear();
                    output.clear();
                }
            }
            if (connection < 0)
                continue;
            readFrom(connection, input, output, pace);
            writeTo(connection, output);
        }
        if (connection >= 0)
            close(connection);
    }

    void readFrom(int connection, std::vector<uint8_t>& input, std::vector<uint8_t>& output,
                  Pace& pace) {
        size_t allowed = pace.allowance(readSlowly.load());
        if (allowed == 0)
            return;
        uint8_t buffer[1 << 16];
        ssize_t n = recv(connection, buffer, std::min(allowed, sizeof buffer), 0);
        if (n <= 0)
            return;
        input.insert(input.end(), buffer, buffer + n);
        size_t at = 0;
        while (problem_.empty()) {
            int size = frameSize(input, at);
            if (size <= 0 || at + size_t(size) > input.size())
                break;
            handleFrame(&input[at], size_t(size), output);
            at += size_t(size);
        }
        input.erase(input.begin(), input.begin() + long(at));
    }

    // Frames from the manager are cut by their command's size.
    int frameSize(const std::vector<uint8_t>& input, size_t at) {
        if (input.size() - at < 2)
            return 0;
        if (input[at] != 0xF0) {
            problem_ = "the device received a byte outside any frame";
            return -1;
        }
        switch (input[at + 1]) {
        case 0x11:
            return 13;
        case 0x71:
        case 0x72:
        case 0x81:
            return 3;
        case 0x21:
            return 6;
        case 0x41:
            return 4;
        case 0x31:
            if (input.size() - at < 4)
                return 0;
            return 5 + (input[at + 2] << 8 | input[at + 3]);
        default:
            problem_ = "the device received an unknown frame";
            return -1;
        }
    }

    void handleFrame(const uint8_t* frame, size_t size, std::vector<uint8_t>& output) {
        if (frame[size - 1] != 0xE0) {
            problem_ = "a frame the device received does not end with E0";
            return;
        }
        if (frame[1] == 0x11) {
            const uint8_t reply[] = {0xF0, 0x12, 'S', 'L', 'O', 'W', '-', 'D', 'E',
                                     'V',  'I',  'C', 7,   1,   0,   1,   1,   0xE0};
            output.insert(output.end(), reply, reply + sizeof reply);
        } else if (frame[1] == 0x81) {
            const uint8_t status[] = {0xF0, 0x43, 0x30, 0xE0};
            output.insert(output.end(), status, status + sizeof status);
        } else if (frame[1] == 0x71) {
            opened_ = true;
        } else if (frame[1] == 0x31) {
            receivedBytes_ += size - 5;
            if (!fromApp_.take(frame + 4, size - 5))
                problem_ = "application to device: " + fromApp_.problem();
            else if (fromApp_.lost() != 0)
                problem_ = "application to device: bytes were lost";
        }
    }

    void writeTo(int connection, std::vector<uint8_t>& output) {
        while (opened_ && output.size() < 4096 && sent_ < total_) {
            size_t n = size_t(std::min<uint64_t>(512, total_ - sent_));
            uint8_t payload[512];
            toApp_.fill(sent_, payload, n);
            const uint8_t header[] = {0xF0, 0x31, uint8_t(n >> 8), uint8_t(n)};
            output.insert(output.end(), header, header + 4);
            output.insert(output.end(), payload, payload + n);
            output.push_back(0xE0);
            sent_ += n;
        }
        if (output.empty())
            return;
        ssize_t n = send(connection, output.data(), output.size(), MSG_NOSIGNAL);
        if (n > 0)
            output.erase(output.begin(), output.begin() + n);
    }

    std::string address_;
    uint64_t total_;
    StreamPattern toApp_;
    StreamChecker fromApp_;
    int listener_ = -1;
    std::thread thread_;
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> receivedBytes_{0};
    bool opened_ = false;
    int connections_ = 0;
    std::string problem_;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        long long value = std::strtoll(argv[i + 1], nullptr, 10);
        if (name == "--bytes" && value > 0)
            options.bytes = uint64_t(value);
        else if (name == "--turn-ms" && value > 0)
            options.turnMs = int(value);
        else
            return false;
    }
    return argc % 2 == 1;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: soak_relay_gigabyte [--bytes N] [--turn-ms T]\n");
        return 2;
    }
    bench::ManagerFolder folder;
    setenv("QUORVALINK_REMOTE_PORT", "0", 1);
    const std::string address = allocateLoopbackAddress();
    bench::registerPort(0, "COM5", address, DEVICE_PORT);
    Device device(address, options.bytes);
    if (!device.start()) {
        std::fprintf(stderr, "the device cannot listen on %s\n", address.c_str());
        return 1;
    }
    pid_t manager = bench::spawn({TRAVENOR_PATH});
    int app = -1;
    if (bench::waitForStarted(0, 30) && bench::waitForPath(folder.link("COM5"), 10))
        app = bench::openRaw(folder.link("COM5"));
    if (app < 0) {
        std::fprintf(stderr, "the port did not start\n");
        bench::stop(manager);
        return 1;
    }

    StreamPattern toDevice(APP_STREAM);
    StreamChecker fromDevice{StreamPattern(DEVICE_STREAM)};
    uint64_t written = 0;
    Pace pace;
    std::string problem;
    auto start = Clock::now();
    soak::ProcessFigures baseline, peak;
    bool baselineTaken = false;
    auto nextSample = Clock::now();
    int nextTenth = 1;
    uint8_t buffer[1 << 16];
    while (problem.empty() &&
           (fromDevice.received() < options.bytes || device.receivedBytes() < options.bytes)) {
        // Turns: the application reads slowly, then the device.
        bool applicationSlow = int(secondsSince(start) * 1000 / options.turnMs) % 2 == 0;
        device.readSlowly = !applicationSlow;
        if (written < options.bytes) {
            size_t n = size_t(std::min<uint64_t>(4096, options.bytes - written));
            toDevice.fill(written, buffer, n);
            ssize_t w = write(app, buffer, n);
            if (w > 0)
                written += uint64_t(w);
        }
        size_t allowed = pace.allowance(applicationSlow);
        if (allowed > 0) {
            ssize_t r = read(app, buffer, std::min(allowed, sizeof buffer));
            if (r == 0)
                problem = "the application was hung up";
            else if (r > 0 && !fromDevice.take(buffer, size_t(r)))
                problem = "device to application: " + fromDevice.problem();
            else if (fromDevice.lost() != 0)
                problem = "device to application: bytes were lost";
        }
        if (!device.problem().empty())
            problem = device.problem();
        if (Clock::now() >= nextSample) {
            nextSample = Clock::now() + std::chrono::seconds(1);
            soak::ProcessFigures now = soak::measure(manager);
            if (!baselineTaken && fromDevice.received() > options.bytes / 20) {
                baseline = peak = now;
                baselineTaken = true;
            }
            peak.residentKb = std::max(peak.residentKb, now.residentKb);
            peak.descriptors = std::max(peak.descriptors, now.descriptors);
            peak.threads = std::max(peak.threads, now.threads);
            if (secondsSince(start) > 3600)
                problem = "not done within an hour";
        }
        if (fromDevice.received() * 10 >= options.bytes * uint64_t(nextTenth)) {
            std::printf("%3d%%  %.0f s  device->app %.0f MB  app->device %.0f MB  manager %ld kB\n",
                        nextTenth * 10, secondsSince(start), fromDevice.received() / 1e6,
                        device.receivedBytes() / 1e6, soak::measure(manager).residentKb);
            std::fflush(stdout);
            ++nextTenth;
        }
        pollfd wait{app, POLLIN | POLLOUT, 0};
        poll(&wait, 1, 1);
    }
    double seconds = secondsSince(start);
    device.finish();
    soak::ProcessFigures end = soak::measure(manager);
    close(app);
    bench::stop(manager);

    uint64_t sentToDevice = patternChecksum(toDevice, options.bytes);
    uint64_t sentToApp = patternChecksum(StreamPattern(DEVICE_STREAM), options.bytes);
    if (problem.empty() && device.received().checksum() != sentToDevice)
        problem = "application to device: the checksums differ";
    if (problem.empty() && fromDevice.checksum() != sentToApp)
        problem = "device to application: the checksums differ";
    if (problem.empty() && device.connections() != 1)
        problem = "the manager connected " + std::to_string(device.connections()) + " times";
    if (problem.empty() && soak::MEMORY_MEANINGFUL && baselineTaken &&
        peak.residentKb - baseline.residentKb > RESIDENT_SLACK_KB)
        problem = "the manager's memory grew from " + std::to_string(baseline.residentKb) + " to " +
                  std::to_string(peak.residentKb) + " kB";
    if (problem.empty() && baselineTaken &&
        (peak.descriptors > baseline.descriptors || peak.threads > baseline.threads))
        problem = "the manager's descriptors or threads grew";

    std::printf("soak_relay_gigabyte: %llu bytes each way in %.1f s, turns of %d ms\n",
                static_cast<unsigned long long>(options.bytes), seconds, options.turnMs);
    std::printf("  application->device %.2f MB/s, checksum sent %016llx, arrived %016llx\n",
                options.bytes / seconds / 1e6, static_cast<unsigned long long>(sentToDevice),
                static_cast<unsigned long long>(device.received().checksum()));
    std::printf("  device->application %.2f MB/s, checksum sent %016llx, arrived %016llx\n",
                options.bytes / seconds / 1e6, static_cast<unsigned long long>(sentToApp),
                static_cast<unsigned long long>(fromDevice.checksum()));
    std::printf("  manager after 5%%: %ld kB resident, %d descriptors, %d threads; highest after: "
                "%ld kB, %d, %d; at the end %ld kB\n",
                baseline.residentKb, baseline.descriptors, baseline.threads, peak.residentKb,
                peak.descriptors, peak.threads, end.residentKb);
    if (problem.empty())
        std::printf("OK\n");
    else
        std::printf("FAILED: %s\n", problem.c_str());
    return problem.empty() ? 0 : 1;
}
