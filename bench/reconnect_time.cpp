// How long after a device server comes back the bytes of its ports flow again, through
// the whole manager (the real travenor binary) in real time: for 1 and for 32 ports that
// lost their device at once, and for one port whose device comes back while 32 other
// ports' devices stay away without answering a connect at all.
//
// Each port's application opens its pty link and, after the return, writes a probe
// byte every PROBE_MS until the simulator's echo comes back. Per port it notes when the
// device accepted the new connection and when the echo arrived; the wait from the
// return to the accept is the reconnection's cycle schedule, the rest is the
// reconnection itself.
#include "config/port_key.h"
#include "platform/registry.h"
#include "tests/procedures/full_backlog_listener.h"
#include "tools/vorlix_sim/sim_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* LIVE_DEVICE = "127.0.3.3"; // apart from the tests' and other benches'
constexpr const char* SILENT_DEVICE = "127.0.3.4";
constexpr int PROBE_MS = 10;
constexpr int GIVE_UP_S = 90;

struct Port {
    std::string com;
    const char* address;
    int devicePort;
    bool live; // its device comes back; otherwise it never answers again
    int fd = -1;
    double acceptedMs = -1; // after the return
    double flowingMs = -1;
};

struct Scenario {
    const char* name;
    int livePorts;
    int silentPorts;
    int returnAfterMs; // from the loss
};

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int openRaw(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

bool waitForPath(const std::string& path, int seconds) {
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!std::filesystem::exists(path)) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool hungUp(int fd) {
    uint8_t byte = 0;
    ssize_t n = read(fd, &byte, 1);
    return n == 0 || (n < 0 && errno == EIO);
}

// The link exists from the port's registration on, but an application that opens it
// before the manager has started the port is hung up: open again until it stays.
int openStarted(const std::string& link) {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        int fd = waitForPath(link, 30) ? openRaw(link) : -1;
        if (fd < 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!hungUp(fd))
            return fd;
        close(fd);
    }
    return -1;
}

bool drainEcho(int fd) {
    uint8_t buffer[256];
    bool any = false;
    while (read(fd, buffer, sizeof buffer) > 0)
        any = true;
    return any;
}

void registerPorts(const std::vector<Port>& ports) {
    using namespace platform;
    for (size_t slot = 0; slot < ports.size(); ++slot) {
        const Port& p = ports[slot];
        HKEY key = nullptr;
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(int(slot)).c_str(), &key);
        regSetString(key, "PORTNAME", p.com);
        regSetString(key, "IpAddr01", p.address);
        regSetDword(key, "TCPPortNo01", uint32_t(p.devicePort));
        regSetString(key, "Description01", "bench");
        regSetString(key, "CurIPAddr", p.address);
        regSetDword(key, "CurTCPPortNo", uint32_t(p.devicePort));
        RegCloseKey(key);
    }
}

pid_t spawn(const char* path) {
    pid_t pid = fork();
    if (pid == 0) {
        execl(path, path, nullptr);
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

std::unique_ptr<vorlixsim::SimServer> startDevice(const char* address, int portCount) {
    vorlixsim::SimOptions options;
    options.address = address;
    options.portCount = portCount;
    auto device = std::make_unique<vorlixsim::SimServer>(options);
    if (!device->start()) {
        std::fprintf(stderr, "simulator %s: %s\n", address, device->errorText().c_str());
        return nullptr;
    }
    return device;
}

// Probes every port until its echo comes back; false when one never does.
bool probeUntilFlowing(std::vector<Port*>& ports, Clock::time_point since,
                       const std::vector<vorlixsim::SimServer*>& devices, bool noteAccepts) {
    const uint8_t probe = 0x5A;
    auto nextProbe = Clock::now();
    for (;;) {
        bool all = true;
        for (size_t i = 0; i < ports.size(); ++i) {
            Port& p = *ports[i];
            if (noteAccepts && p.acceptedMs < 0 && devices[i]->connectionCount(p.devicePort) > 0)
                p.acceptedMs = msSince(since);
            if (p.flowingMs < 0 && drainEcho(p.fd))
                p.flowingMs = msSince(since);
            all = all && p.flowingMs >= 0;
        }
        if (all)
            return true;
        if (msSince(since) > GIVE_UP_S * 1000.0)
            return false;
        if (Clock::now() >= nextProbe) {
            for (Port* p : ports)
                if (p->flowingMs < 0) {
                    [[maybe_unused]] ssize_t ignored = write(p->fd, &probe, 1);
                }
            nextProbe = Clock::now() + std::chrono::milliseconds(PROBE_MS);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<Port> portsOf(const Scenario& s) {
    std::vector<Port> ports;
    for (int i = 0; i < s.livePorts; ++i)
        ports.push_back({"COM" + std::to_string(5 + i), LIVE_DEVICE, 1 + i, true});
    for (int i = 0; i < s.silentPorts; ++i)
        ports.push_back({"COM" + std::to_string(5 + s.livePorts + i), SILENT_DEVICE, 1 + i, false});
    return ports;
}

struct Summary {
    double min = 0, median = 0, max = 0;
};

Summary summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values.front(), values[values.size() / 2], values.back()};
}

bool run(const Scenario& s, const std::string& folder) {
    std::vector<Port> ports = portsOf(s);
    auto live = startDevice(LIVE_DEVICE, std::max(s.livePorts, 1));
    auto silent = s.silentPorts ? startDevice(SILENT_DEVICE, s.silentPorts) : nullptr;
    if (!live || (s.silentPorts && !silent))
        return false;
    registerPorts(ports);
    pid_t manager = spawn(TRAVENOR_PATH);

    std::vector<Port*> all;
    std::vector<vorlixsim::SimServer*> devices;
    for (Port& p : ports) {
        p.fd = openStarted(folder + "/dev/" + p.com);
        if (p.fd < 0) {
            std::fprintf(stderr, "%s: no link\n", p.com.c_str());
            stop(manager);
            return false;
        }
        all.push_back(&p);
        devices.push_back(p.live ? live.get() : silent.get());
    }
    // Every port open and connected before the loss.
    bool connected = probeUntilFlowing(all, Clock::now(), devices, false);
    for (Port& p : ports)
        p.flowingMs = -1;

    auto lost = Clock::now();
    live.reset();
    silent.reset();
    std::vector<std::unique_ptr<FullBacklogListener>> unanswered;
    for (int i = 0; connected && i < s.silentPorts; ++i)
        unanswered.push_back(std::make_unique<FullBacklogListener>(SILENT_DEVICE, 4001 + i));
    std::this_thread::sleep_until(lost + std::chrono::milliseconds(s.returnAfterMs));

    auto back = Clock::now();
    live = startDevice(LIVE_DEVICE, std::max(s.livePorts, 1));
    std::vector<Port*> livePorts;
    std::vector<vorlixsim::SimServer*> liveDevices;
    for (Port& p : ports)
        if (p.live) {
            livePorts.push_back(&p);
            liveDevices.push_back(live.get());
        }
    bool flowing = connected && live && probeUntilFlowing(livePorts, back, liveDevices, true);
    for (Port& p : ports)
        close(p.fd);
    stop(manager);
    if (!flowing) {
        std::fprintf(stderr, "%s: %s\n", s.name,
                     connected ? "bytes did not flow again" : "ports did not connect");
        return false;
    }

    std::vector<double> accepted, reconnection, total;
    for (Port* p : livePorts) {
        accepted.push_back(p->acceptedMs);
        reconnection.push_back(p->flowingMs - p->acceptedMs);
        total.push_back(p->flowingMs);
    }
    Summary a = summarise(accepted), r = summarise(reconnection), t = summarise(total);
    std::printf("%-34s %5d %6d  %6.0f %6.0f %6.0f  %6.0f %6.0f %6.0f  %6.0f %6.0f %6.0f\n", s.name,
                s.livePorts, s.silentPorts, a.min, a.median, a.max, r.min, r.median, r.max, t.min,
                t.median, t.max);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int returnAfterMs = argc > 1 ? std::atoi(argv[1]) : 12000;
    const Scenario scenarios[] = {
        {"1 port", 1, 0, returnAfterMs},
        {"32 ports, one device", 32, 0, returnAfterMs},
        {"1 port beside 32 unanswered", 1, 32, returnAfterMs},
    };
    std::printf("device away %d ms, then back; real time; probe every %d ms\n", returnAfterMs,
                PROBE_MS);
    std::printf("%-34s %5s %6s  %-20s  %-20s  %-20s\n", "", "live", "silent", "return->accept ms",
                "accept->flowing ms", "return->flowing ms");
    std::printf("%-34s %5s %6s  %6s %6s %6s  %6s %6s %6s  %6s %6s %6s\n", "scenario", "ports",
                "ports", "min", "median", "max", "min", "median", "max", "min", "median", "max");
    bool ok = true;
    for (const Scenario& s : scenarios) {
        char pattern[] = "/tmp/reconnect-bench-XXXXXX";
        std::string folder = mkdtemp(pattern);
        std::filesystem::create_directories(folder + "/dev");
        setenv("QUORVALINK_HOME", folder.c_str(), 1);
        setenv("QUORVALINK_DEVDIR", (folder + "/dev").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ok = run(s, folder) && ok;
        platform::resetRegistryStore(); // the next scenario has a store of its own
        std::filesystem::remove_all(folder);
    }
    return ok ? 0 : 1;
}
