// Throughput and round-trip latency from an application on a pty through the whole
// manager (the real travenor binary, one port) to an echoing device server and back,
// beside socat relaying a pty to a plain TCP echo server in the same run.
//
// Fairness: the manager talks to the device-server simulator, which echoes every
// DATA frame whole; socat talks to a plain byte echo server. Both servers run as a
// thread of this process, and the application side is the same code for both.
#include "bench/bench_support.h"
#include "tools/vorlix_sim/sim_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

constexpr const char* MANAGER_DEVICE = "127.0.3.1"; // apart from the tests' addresses
constexpr const char* SOCAT_DEVICE = "127.0.3.2";
constexpr int ECHO_TCP_PORT = 4001;
constexpr size_t CHUNK = 4096;
constexpr int SMALL_WRITE = 16;
constexpr int WARM_UP = 20;

struct Figures {
    double megabytesPerSecond = 0;
    double oneWayMegabytesPerSecond = 0; // the device side only taking, not echoing
    double medianUs = 0;
    double p99Us = 0;
};

// Writes total bytes in CHUNK pieces while reading the echo; MB/s of payload.
double throughput(int fd, size_t total) {
    std::vector<uint8_t> out(CHUNK);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = uint8_t(i * 7);
    std::vector<uint8_t> in(65536);
    size_t sent = 0;
    size_t echoed = 0;
    auto start = Clock::now();
    while (echoed < total) {
        pollfd p{fd, short(POLLIN | (sent < total ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 5000) <= 0)
            return 0;
        if (p.revents & POLLIN) {
            ssize_t n = read(fd, in.data(), in.size());
            if (n <= 0)
                return 0;
            echoed += size_t(n);
        }
        if ((p.revents & POLLOUT) && sent < total) {
            ssize_t n = write(fd, out.data(), std::min(CHUNK, total - sent));
            if (n > 0)
                sent += size_t(n);
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return double(total) / seconds / 1e6;
}

void latency(int fd, int samples, Figures& figures) {
    uint8_t out[SMALL_WRITE];
    uint8_t in[SMALL_WRITE];
    std::vector<double> micros;
    for (int i = 0; i < samples + WARM_UP; ++i) {
        std::fill(out, out + SMALL_WRITE, uint8_t(i));
        auto start = Clock::now();
        if (write(fd, out, SMALL_WRITE) != SMALL_WRITE || !readExactly(fd, in, SMALL_WRITE, 5000))
            return;
        if (i >= WARM_UP)
            micros.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    figures.medianUs = micros[micros.size() / 2];
    figures.p99Us = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

Figures measure(int fd, size_t total, int samples) {
    Figures figures;
    latency(fd, samples, figures);
    figures.megabytesPerSecond = throughput(fd, total);
    return figures;
}

// Application to device only: the far side counts what arrives and echoes nothing.
template <typename Arrived> double oneWay(int fd, size_t total, Arrived arrivedSoFar) {
    uint64_t before = arrivedSoFar();
    std::vector<uint8_t> out(CHUNK, 0x5A);
    size_t sent = 0;
    size_t arrived = 0;
    auto start = Clock::now();
    while (arrived < total) {
        while (sent < total) {
            ssize_t n = write(fd, out.data(), std::min(CHUNK, total - sent));
            if (n <= 0)
                break;
            sent += size_t(n);
        }
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 10);
        arrived = size_t(arrivedSoFar() - before);
        if (Clock::now() - start > std::chrono::seconds(60))
            return 0;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return double(total) / seconds / 1e6;
}

bool measureManager(const std::string& folder, size_t total, int samples, Figures& figures) {
    vorlixsim::SimOptions options;
    options.address = MANAGER_DEVICE;
    options.portCount = 1;
    options.record =
        false; // counting only: keeping megabytes of frames would cost more than the relay
    vorlixsim::SimServer sim(options);
    if (!sim.start()) {
        std::fprintf(stderr, "simulator: %s\n", sim.errorText().c_str());
        return false;
    }
    // COM5, whose saved host is the simulator's port 1: started at start-up.
    registerPort(0, "COM5", MANAGER_DEVICE, 1);
    pid_t manager = spawn({TRAVENOR_PATH});
    std::string link = folder + "/dev/COM5";
    int fd = waitForPath(link, 20) ? openRaw(link) : -1;
    // The first byte waits for the driver to take the open, then in the kernel until the
    // open procedure has finished.
    uint8_t probe[1] = {0x55};
    bool open = fd >= 0 && writeExactly(fd, probe, 1, 20000) && readExactly(fd, probe, 1, 20000);
    if (open) {
        figures = measure(fd, total, samples);
        sim.setBehaviour(1, vorlixsim::Behaviour::Silent);
        figures.oneWayMegabytesPerSecond =
            oneWay(fd, total, [&sim] { return sim.dataBytesReceived(1); });
    }
    if (fd >= 0)
        close(fd);
    stop(manager);
    return open;
}

bool measureSocat(const std::string& folder, size_t total, int samples, Figures& figures) {
    EchoServer echo;
    if (!echo.start(SOCAT_DEVICE, ECHO_TCP_PORT))
        return false;
    std::string link = folder + "/socat-pty";
    pid_t socat = spawn(
        {"socat", "PTY,link=" + link + ",raw,echo=0",
         std::string("TCP:") + SOCAT_DEVICE + ":" + std::to_string(ECHO_TCP_PORT) + ",nodelay"});
    int fd = waitForPath(link, 10) ? openRaw(link) : -1;
    bool ok = fd >= 0;
    if (ok) {
        figures = measure(fd, total, samples);
        echo.setEchoing(false);
        figures.oneWayMegabytesPerSecond =
            oneWay(fd, total, [&echo] { return echo.bytesReceived(); });
    }
    if (fd >= 0)
        close(fd);
    stop(socat);
    return ok;
}

void printRow(const char* path, const Figures& f) {
    std::printf("%-34s %10.2f %12.0f %12.0f\n", path, f.megabytesPerSecond, f.medianUs, f.p99Us);
}

} // namespace

int main(int argc, char** argv) {
    size_t megabytes = argc > 1 ? size_t(std::atoi(argv[1])) : 8;
    int samples = argc > 2 ? std::atoi(argv[2]) : 1000;
    size_t total = megabytes << 20;

    Figures manager;
    Figures socat;
    bool managerOk = false;
    bool socatOk = false;
    {
        ManagerFolder folder;
        managerOk = measureManager(folder.path(), total, samples, manager);
        socatOk = measureSocat(folder.path(), total, samples, socat);
    }

    std::printf("%zu MiB echoed in %zu-byte writes; latency: %d round trips of %d bytes\n",
                megabytes, CHUNK, samples, SMALL_WRITE);
    std::printf("manager -> device-server simulator (DATA frames echoed whole);\n"
                "socat -> plain TCP byte echo server; both servers are threads of this process.\n");
    std::printf("%-34s %10s %12s %12s\n", "path", "MB/s", "median us", "p99 us");
    if (managerOk) {
        printRow("pty -> travenor -> simulator", manager);
        std::printf("%-34s %10.2f   (one way, the simulator not echoing)\n",
                    "pty -> travenor -> simulator", manager.oneWayMegabytesPerSecond);
    } else
        std::printf("manager path failed\n");
    if (socatOk) {
        printRow("pty -> socat -> echo server", socat);
        std::printf("%-34s %10.2f   (one way, the server not echoing)\n",
                    "pty -> socat -> echo server", socat.oneWayMegabytesPerSecond);
    } else
        std::printf("socat path failed\n");
    if (managerOk && socatOk)
        std::printf("ratio manager/socat: throughput %.2f, one way %.2f, median latency %.2f, "
                    "p99 %.2f\n",
                    manager.megabytesPerSecond / socat.megabytesPerSecond,
                    manager.oneWayMegabytesPerSecond / socat.oneWayMegabytesPerSecond,
                    manager.medianUs / socat.medianUs, manager.p99Us / socat.p99Us);
    return managerOk && socatOk ? 0 : 1;
}
