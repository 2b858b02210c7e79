// How fast an application can open a port, write, read the echo and close it again,
// over and over, through the whole manager (the real travenor binary) to the echoing
// device-server simulator: what test suites, flashing tools and polling scripts do.
// Each cycle must get exactly its own echo; one that gets another session's bytes, or
// none, is counted as wrong.
//
// Then the same number of short sessions, each opening the port, writing a byte and
// closing it without waiting for an answer: each must be a device session of its own
// (the byte waits for the driver to take the open, docs/port_driver.md).
//
//   reopen_cycle [cycles] [pause ms between cycles]
#include "bench/bench_support.h"
#include "tools/vorlix_sim/sim_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

constexpr const char* DEVICE = "127.0.3.3"; // apart from the tests' and other benches'
constexpr int PAYLOAD = 16;
constexpr int ECHO_WAIT_MS = 1000;

struct Cycle {
    double ms = 0;
    bool ownEcho = false;
};

// Nothing more may follow a cycle's own echo within a short look.
bool nothingMore(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

Cycle runCycle(const std::string& link, int number) {
    Cycle cycle;
    uint8_t out[PAYLOAD];
    for (int i = 0; i < PAYLOAD; ++i)
        out[i] = patternByte(uint64_t(i), number);
    auto start = Clock::now();
    int fd = openRaw(link);
    if (fd < 0)
        return cycle;
    uint8_t in[PAYLOAD] = {};
    bool echoed =
        writeExactly(fd, out, PAYLOAD, ECHO_WAIT_MS) && readExactly(fd, in, PAYLOAD, ECHO_WAIT_MS);
    cycle.ownEcho = echoed && std::equal(in, in + PAYLOAD, out) && nothingMore(fd);
    close(fd);
    cycle.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return cycle;
}

} // namespace

int main(int argc, char** argv) {
    int cycles = argc > 1 ? std::atoi(argv[1]) : 200;
    int pauseMs = argc > 2 ? std::atoi(argv[2]) : 0;

    ManagerFolder folder;
    vorlixsim::SimOptions options;
    options.address = DEVICE;
    options.portCount = 1;
    vorlixsim::SimServer sim(options);
    if (!sim.start()) {
        std::fprintf(stderr, "simulator: %s\n", sim.errorText().c_str());
        return 1;
    }
    registerPort(0, "COM5", DEVICE, 1);
    pid_t manager = spawn({TRAVENOR_PATH});
    std::string link = folder.link("COM5");
    if (!waitForPath(link, 20) || !waitForStarted(0, 20)) {
        std::fprintf(stderr, "the manager did not start the port\n");
        stop(manager);
        return 1;
    }
    runCycle(link, 255); // the first connection also warms the simulator up
    usleep(500000);

    std::vector<double> times;
    int own = 0;
    for (int i = 0; i < cycles; ++i) {
        Cycle cycle = runCycle(link, i % 250);
        times.push_back(cycle.ms);
        own += cycle.ownEcho;
        if (pauseMs > 0)
            usleep(useconds_t(pauseMs) * 1000);
    }
    int connectionsBefore = sim.connectionCount(1);
    auto shortStart = Clock::now();
    for (int i = 0; i < cycles; ++i) {
        int fd = openRaw(link);
        if (fd < 0)
            continue;
        uint8_t byte = uint8_t(i);
        writeExactly(fd, &byte, 1, ECHO_WAIT_MS);
        close(fd);
        if (pauseMs > 0)
            usleep(useconds_t(pauseMs) * 1000);
    }
    double shortMs = std::chrono::duration<double, std::milli>(Clock::now() - shortStart).count();
    bool settled = sim.waitForConnections(1, connectionsBefore + cycles, 5000);
    int shortSessions = sim.connectionCount(1) - connectionsBefore;
    stop(manager);
    std::sort(times.begin(), times.end());
    std::printf("%d cycles of open, write %d bytes, read the echo, close; %d ms between\n", cycles,
                PAYLOAD, pauseMs);
    std::printf("cycle ms: median %.2f, p90 %.2f, worst %.2f\n", times[times.size() / 2],
                times[times.size() * 9 / 10], times.back());
    std::printf("cycles that got exactly their own echo: %d of %d\n", own, cycles);
    std::printf("short sessions (open, write 1 byte, close): %d in %.1f ms, %d device sessions%s\n",
                cycles, shortMs, shortSessions, settled ? "" : " (not all came within 5 s)");
    return own == cycles ? 0 : 2;
}
