// Throughput and round-trip latency from an application on a pty through the whole
// manager (the real travenor binary, one port) to an echoing device server and back,
// beside socat relaying a pty to a plain TCP echo server in the same run.
//
// Fairness: the manager talks to the device-server simulator, which echoes every
// DATA frame whole; socat talks to a plain byte echo server. Both servers run as a
// thread of this process, and the application side is the same code for both.
#include "config/port_key.h"
#include "platform/registry.h"
#include "tools/vorlix_sim/sim_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
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

// Reads exactly size bytes, waiting at most timeoutMs between pieces.
bool readExactly(int fd, uint8_t* into, size_t size, int timeoutMs) {
    size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        ssize_t n = read(fd, into + got, size - got);
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}

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

// A plain TCP echo server for socat: one connection at a time, bytes back as they come,
// or only counted while it is told not to echo.
class EchoServer {
  public:
    void setEchoing(bool echoing) { echoing_ = echoing; }
    uint64_t bytesReceived() const { return received_; }

    bool start(const char* address, int tcpPort) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(uint16_t(tcpPort));
        inet_pton(AF_INET, address, &where.sin_addr);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
            listen(listener_, 4) != 0)
            return false;
        thread_ = std::thread([this] { run(); });
        return true;
    }
    ~EchoServer() {
        stopping_ = true;
        shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        close(listener_);
    }

  private:
    void run() {
        while (!stopping_) {
            int client = accept(listener_, nullptr, nullptr);
            if (client < 0)
                return;
            int on = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            echo(client);
            close(client);
        }
    }
    void echo(int client) {
        std::vector<uint8_t> buffer(65536);
        ssize_t n = 0;
        while (!stopping_ && (n = read(client, buffer.data(), buffer.size())) > 0) {
            received_ += uint64_t(n);
            if (!echoing_)
                continue;
            for (ssize_t at = 0; at < n;) {
                ssize_t w = write(client, buffer.data() + at, size_t(n - at));
                if (w <= 0)
                    return;
                at += w;
            }
        }
    }
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> echoing_{true};
    std::atomic<uint64_t> received_{0};
    std::thread thread_;
};

pid_t spawn(const std::vector<std::string>& command) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& word : command)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
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

// One port COM5 whose saved host is the simulator's port 1, started at start-up.
void registerPort() {
    using namespace platform;
    HKEY key = nullptr;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(0).c_str(), &key);
    regSetString(key, "PORTNAME", "COM5");
    regSetString(key, "IpAddr01", MANAGER_DEVICE);
    regSetDword(key, "TCPPortNo01", 1);
    regSetString(key, "Description01", "bench");
    regSetString(key, "CurIPAddr", MANAGER_DEVICE);
    regSetDword(key, "CurTCPPortNo", 1);
    RegCloseKey(key);
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
    registerPort();
    pid_t manager = spawn({TRAVENOR_PATH});
    std::string link = folder + "/dev/COM5";
    int fd = waitForPath(link, 20) ? openRaw(link) : -1;
    // The first bytes wait in the kernel until the open procedure has finished.
    uint8_t probe[1] = {0x55};
    bool open = fd >= 0 && write(fd, probe, 1) == 1 && readExactly(fd, probe, 1, 20000);
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

    char pattern[] = "/tmp/relay-bench-XXXXXX";
    std::string folder = mkdtemp(pattern);
    std::filesystem::create_directories(folder + "/dev");
    setenv("QUORVALINK_HOME", folder.c_str(), 1);
    setenv("QUORVALINK_DEVDIR", (folder + "/dev").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    Figures manager;
    Figures socat;
    bool managerOk = measureManager(folder, total, samples, manager);
    bool socatOk = measureSocat(folder, total, samples, socat);
    std::filesystem::remove_all(folder);

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
