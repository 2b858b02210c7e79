// Many ports at once: N applications each stream a fixed rate both ways through the
// whole manager (the travenor binary) to echoing device-server simulators, beside N
// socat relays to a plain TCP echo server under the same load, in the same run. Prints
// the bytes delivered per port, what was lost or corrupted, and each side's CPU from
// /proc; then the cost of N ports held open and idle, of N Ready ports without
// applications, and how soon the first echo comes after an application opens a port.
//
//   multi_port [ports=99] [bytes per second per port and direction=115200] [seconds=10]
#include "bench/bench_support.h"
#include "tools/vorlix_sim/sim_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

constexpr const char* SOCAT_DEVICE = "127.0.5.1";
constexpr int SOCAT_TCP_PORT = 4001;
constexpr int TICK_MS = 10;
constexpr int PORTS_PER_SIMULATOR = 32;

std::string simulatorAddress(int slot) {
    return "127.0.4." + std::to_string(1 + slot / PORTS_PER_SIMULATOR);
}

struct Stream {
    int fd = -1;
    uint64_t sent = 0;
    uint64_t received = 0;
    uint64_t corrupt = 0;
    double budget = 0;
};

struct LoadFigures {
    double deliveredPerPort = 0; // bytes per second, mean
    double slowestPort = 0;      // bytes per second
    uint64_t missing = 0;        // sent but not back when the run ended, summed
    uint64_t corrupt = 0;
};

void readBack(Stream& stream, int index) {
    uint8_t buffer[8192];
    for (;;) {
        ssize_t n = read(stream.fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i)
            if (buffer[i] != patternByte(stream.received + uint64_t(i), index))
                ++stream.corrupt;
        stream.received += uint64_t(n);
    }
}

void writeDue(Stream& stream, int index, double bytesPerTick) {
    stream.budget += bytesPerTick;
    uint8_t buffer[8192];
    size_t want = std::min(sizeof buffer, size_t(stream.budget));
    for (size_t i = 0; i < want; ++i)
        buffer[i] = patternByte(stream.sent + i, index);
    ssize_t n = want ? write(stream.fd, buffer, want) : 0;
    if (n > 0) {
        stream.sent += uint64_t(n);
        stream.budget -= double(n);
    }
}

// Every stream writes its share each tick and reads what came back; after the run a
// short drain collects what was still on its way.
LoadFigures runLoad(std::vector<Stream>& streams, double bytesPerSecond, int seconds) {
    double bytesPerTick = bytesPerSecond * TICK_MS / 1000.0;
    auto start = Clock::now();
    auto next = start;
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        next += std::chrono::milliseconds(TICK_MS);
        for (size_t i = 0; i < streams.size(); ++i)
            writeDue(streams[i], int(i), bytesPerTick);
        while (Clock::now() < next) {
            for (size_t i = 0; i < streams.size(); ++i)
                readBack(streams[i], int(i));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    LoadFigures figures;
    figures.slowestPort = 1e18;
    for (size_t i = 0; i < streams.size(); ++i) {
        double rate = double(streams[i].received) / elapsed;
        figures.deliveredPerPort += rate / double(streams.size());
        figures.slowestPort = std::min(figures.slowestPort, rate);
    }
    auto drainUntil = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < drainUntil) {
        for (size_t i = 0; i < streams.size(); ++i)
            readBack(streams[i], int(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const Stream& stream : streams) {
        figures.missing += stream.sent - std::min(stream.sent, stream.received);
        figures.corrupt += stream.corrupt;
    }
    return figures;
}

double cpuPercent(const std::vector<pid_t>& pids, int seconds) {
    double before = 0;
    for (pid_t pid : pids)
        before += cpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double after = 0;
    for (pid_t pid : pids)
        after += cpuSeconds(pid);
    return (after - before) * 100.0 / seconds;
}

// CPU of pids while work() runs.
template <typename Work> double cpuWhile(const std::vector<pid_t>& pids, Work work) {
    double before = 0;
    for (pid_t pid : pids)
        before += cpuSeconds(pid);
    auto start = Clock::now();
    work();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    double after = 0;
    for (pid_t pid : pids)
        after += cpuSeconds(pid);
    return (after - before) * 100.0 / elapsed;
}

// Opens every link and waits for its first echo (the manager connects on open). The
// manager's ports must have been started first (managerPorts), socat's need not.
bool openAll(std::vector<Stream>& streams, const std::vector<std::string>& links,
             bool managerPorts) {
    for (size_t i = 0; i < links.size(); ++i) {
        if (managerPorts && !waitForStarted(int(i), 30))
            return std::fprintf(stderr, "slot %zu was not started\n", i), false;
        if (!waitForPath(links[i], 30))
            return std::fprintf(stderr, "%s did not appear\n", links[i].c_str()), false;
        streams[i].fd = openRaw(links[i]);
        if (streams[i].fd < 0)
            return std::fprintf(stderr, "%s did not open\n", links[i].c_str()), false;
    }
    for (size_t i = 0; i < streams.size(); ++i) {
        uint8_t probe[1] = {patternByte(0, int(i))};
        if (!writeExactly(streams[i].fd, probe, 1, 30000) ||
            !readExactly(streams[i].fd, probe, 1, 30000))
            return std::fprintf(stderr, "%s gave no echo\n", links[i].c_str()), false;
        streams[i].sent = streams[i].received = 1;
    }
    return true;
}

void closeAll(std::vector<Stream>& streams) {
    for (Stream& stream : streams) {
        if (stream.fd >= 0)
            close(stream.fd);
        stream = Stream{};
    }
}

// Milliseconds from an application's open to the echo of its first 16 bytes: median
// and worst of a few opens.
std::pair<double, double> firstEcho(const std::string& link, int rounds) {
    std::vector<double> millis;
    for (int round = 0; round < rounds; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the port is Ready again
        auto start = Clock::now();
        int fd = openRaw(link);
        uint8_t bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        bool ok = fd >= 0 && writeExactly(fd, bytes, sizeof bytes, 20000) &&
                  readExactly(fd, bytes, sizeof bytes, 20000);
        if (ok)
            millis.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (fd >= 0)
            close(fd);
    }
    if (millis.empty())
        return {-1, -1};
    std::sort(millis.begin(), millis.end());
    return {millis[millis.size() / 2], millis.back()};
}

struct SideFigures {
    bool ok = false;
    LoadFigures load;
    double loadCpu = 0;
    double idleCpu = 0;
    double readyCpu = -1;
    std::pair<double, double> echo{-1, -1};
};

SideFigures measureManager(int ports, double rate, int seconds) {
    ManagerFolder folder;
    std::vector<std::unique_ptr<vorlixsim::SimServer>> simulators;
    for (int first = 0; first < ports; first += PORTS_PER_SIMULATOR) {
        vorlixsim::SimOptions options;
        options.address = simulatorAddress(first);
        options.portCount = PORTS_PER_SIMULATOR;
        options.record = false;
        simulators.push_back(std::make_unique<vorlixsim::SimServer>(options));
        if (!simulators.back()->start()) {
            std::fprintf(stderr, "simulator: %s\n", simulators.back()->errorText().c_str());
            return {};
        }
    }
    std::vector<std::string> links;
    for (int slot = 0; slot < ports; ++slot) {
        std::string name = "COM" + std::to_string(slot + 1);
        registerPort(slot, name, simulatorAddress(slot), slot % PORTS_PER_SIMULATOR + 1);
        links.push_back(folder.link(name));
    }
    pid_t manager = spawn({TRAVENOR_PATH});
    SideFigures figures;
    std::vector<Stream> streams(static_cast<size_t>(ports));
    if (openAll(streams, links, true)) {
        figures.ok = true;
        figures.loadCpu =
            cpuWhile({manager}, [&] { figures.load = runLoad(streams, rate, seconds); });
        figures.idleCpu = cpuPercent({manager}, seconds);
        closeAll(streams);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        figures.readyCpu = cpuPercent({manager}, seconds);
        figures.echo = firstEcho(links[0], 10);
    }
    closeAll(streams);
    stop(manager);
    return figures;
}

SideFigures measureSocat(int ports, double rate, int seconds) {
    ManagerFolder folder;
    EchoServer echo;
    if (!echo.start(SOCAT_DEVICE, SOCAT_TCP_PORT))
        return {};
    std::vector<pid_t> relays;
    std::vector<std::string> links;
    for (int i = 0; i < ports; ++i) {
        std::string link = folder.path() + "/socat" + std::to_string(i);
        relays.push_back(spawn({"socat", "PTY,link=" + link + ",raw,echo=0",
                                std::string("TCP:") + SOCAT_DEVICE + ":" +
                                    std::to_string(SOCAT_TCP_PORT) + ",nodelay"}));
        links.push_back(link);
    }
    SideFigures figures;
    std::vector<Stream> streams(static_cast<size_t>(ports));
    if (openAll(streams, links, false)) {
        figures.ok = true;
        figures.loadCpu = cpuWhile(relays, [&] { figures.load = runLoad(streams, rate, seconds); });
        figures.idleCpu = cpuPercent(relays, seconds);
    }
    closeAll(streams);
    for (pid_t relay : relays)
        stop(relay);
    return figures;
}

void printSide(const char* name, const SideFigures& f, double rate) {
    if (!f.ok) {
        std::printf("%-8s failed\n", name);
        return;
    }
    std::printf("%-8s %10.1f %10.1f %9.1f%% %10llu %8llu %9.1f%% %9.3f%%", name,
                f.load.deliveredPerPort / 1024, f.load.slowestPort / 1024,
                100 * f.load.deliveredPerPort / rate, (unsigned long long)f.load.missing,
                (unsigned long long)f.load.corrupt, f.loadCpu, f.idleCpu);
    if (f.readyCpu >= 0)
        std::printf(" %9.3f%% %8.1f/%-6.1f", f.readyCpu, f.echo.first, f.echo.second);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    int ports = argc > 1 ? std::atoi(argv[1]) : 99;
    double rate = argc > 2 ? std::atof(argv[2]) : 115200;
    int seconds = argc > 3 ? std::atoi(argv[3]) : 10;
    SideFigures manager = measureManager(ports, rate, seconds);
    SideFigures socat = measureSocat(ports, rate, seconds);
    std::printf("%d ports, each %.1f KiB/s both ways with a device echo, %d s per figure\n", ports,
                rate / 1024, seconds);
    std::printf("%-8s %10s %10s %10s %10s %8s %10s %10s %10s %15s\n", "", "KiB/s/port", "slowest",
                "of offer", "missing B", "corrupt", "CPU load", "CPU idle", "CPU ready",
                "1st echo ms");
    printSide("manager", manager, rate);
    printSide("socat", socat, rate);
    if (manager.ok && socat.ok && socat.loadCpu > 0)
        std::printf("CPU under load, manager/socat: %.2f\n", manager.loadCpu / socat.loadCpu);
    return manager.ok && socat.ok ? 0 : 1;
}
