// One-port echo throughput and 16-byte round trips through the whole manager (the real
// travenor binary, an application on the port's pty link) to each kind of serial server
// it speaks to, beside socat relaying a pty to TCP without the manager, in one run:
//
//   Vorlix   the device-server simulator, a thread of this process, echoing DATA frames
//   RFC 2217 Debian's ser2net (telnet(rfc2217) accepter) serving the slave of a pty
//            pair whose master a thread of this process echoes: ser2net's defaults, and
//            again without its character delay and with 4 KiB buffers
//   raw TCP  `socket://` to a plain TCP echo server, a thread of this process
//   socat    a socat pty relayed to the same echo server, and to ser2net's plain tcp
//            accepter on a pty pair as above: what ser2net costs without the manager
//
// The application sets 115200 bit/s (ser2net's character delay follows the line's
// rate). Every echoed byte is compared with what was sent; the stream holds every byte
// value, 0xFF among them (doubled on the RFC 2217 wire). Not a test: it prints a table.
//
//   server_kinds [MiB echoed, 8] [round trips, 500]
#include "bench/bench_support.h"
#include "tools/vorlix_sim/sim_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

// Apart from the tests' addresses and the other benches' 127.0.3.1 .. 3.
constexpr const char* SIM_ADDRESS = "127.0.3.20";
constexpr const char* RFC2217_ADDRESS = "127.0.3.21";
constexpr const char* RFC2217_TUNED_ADDRESS = "127.0.3.22";
constexpr const char* ECHO_ADDRESS = "127.0.3.23";
constexpr const char* SER2NET_TCP_ADDRESS = "127.0.3.24";
constexpr int SERVER_TCP_PORT = 7000;
constexpr size_t CHUNK = 4096;
constexpr size_t SMALL = 16;
constexpr int WARM_UP = 20;
constexpr int STALL_MS = 5000; // no progress for this long ends a measurement
constexpr speed_t APPLICATION_RATE = B115200;

struct Figures {
    bool ok = false;
    std::string failure;
    double megabytesPerSecond = 0;
    uint64_t wrongBytes = 0; // echoed bytes that differ from what was sent at that place
    double medianUs = 0;
    double p90Us = 0;
    double worstUs = 0;
    // Share of one core while echoing: the relaying process (travenor or socat) and
    // ser2net; -1 where there is no such process (the servers that are threads here).
    double relayCpu = -1;
    double serverCpu = -1;
};

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// ---- The serial line's far end and ser2net ----

// A pty pair standing for a serial line with a loopback plug: a server opens the slave
// as its serial device and the master sends back whatever the server writes to it. The
// slave stays open here too, so the master never sees a hang-up between connections.
class EchoLine {
  public:
    bool open() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return false;
        device_ = ptsname(master_);
        slave_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios settings{};
        if (slave_ < 0 || tcgetattr(slave_, &settings) != 0)
            return false;
        cfmakeraw(&settings);
        tcsetattr(slave_, TCSANOW, &settings);
        thread_ = std::thread([this] { run(); });
        return true;
    }
    ~EchoLine() {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        for (int fd : {slave_, master_})
            if (fd >= 0)
                close(fd);
    }
    const std::string& device() const { return device_; }

  private:
    void run() {
        std::vector<uint8_t> buffer(CHUNK);
        while (!stopping_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = read(master_, buffer.data(), buffer.size());
            if (n > 0)
                writeBack(buffer.data(), size_t(n));
        }
    }
    void writeBack(const uint8_t* from, size_t size) {
        while (size > 0 && !stopping_) {
            pollfd p{master_, POLLOUT, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = write(master_, from, size);
            if (n > 0) {
                from += n;
                size -= size_t(n);
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string device_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// ser2net's options with which it forwards each piece as it comes.
const char* const SER2NET_TUNED = "  options:\n"
                                  "    chardelay: false\n"
                                  "    dev-to-net-bufsize: 4096\n"
                                  "    net-to-dev-bufsize: 4096\n";

// Where Debian puts it: /usr/sbin is not on every user's PATH.
std::string ser2netPath() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
        if (access(path, X_OK) == 0)
            return path;
    return "ser2net";
}

// Debian's ser2net in the foreground serving an EchoLine through one accepter
// ("telnet(rfc2217),tcp" or "tcp"), its output in a file of the bench's folder.
class Ser2net {
  public:
    Ser2net(const std::string& folder, const std::string& name) : folder_(folder + "/" + name) {}
    ~Ser2net() { stop(pid_); }
    bool start(const std::string& accepter, const char* address, const char* options) {
        address_ = address;
        if (!line_.open())
            return false;
        std::ofstream(folder_ + ".yaml")
            << "connection: &line\n"
            << "  accepter: " << accepter << "," << address << "," << SERVER_TCP_PORT << "\n"
            << "  connector: serialdev," << line_.device() << ",115200n81,local\n"
            << options;
        std::string command = "exec " + ser2netPath() + " -n -d -u -c " + folder_ + ".yaml -P " +
                              folder_ + ".pid >" + folder_ + ".log 2>&1";
        pid_ = spawn({"sh", "-c", command});
        return listening();
    }
    pid_t pid() const { return pid_; }
    std::string log() const {
        std::ifstream file(folder_ + ".log");
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

  private:
    // Seen in the kernel's socket table rather than by connecting: ser2net takes one
    // connection at a time, and a probe's could still be closing when the real one comes.
    bool listening() const {
        in_addr at{};
        inet_pton(AF_INET, address_.c_str(), &at);
        char entry[40];
        std::snprintf(entry, sizeof entry, "%08X:%04X 00000000:0000 0A", at.s_addr,
                      unsigned(SERVER_TCP_PORT));
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            std::ifstream table("/proc/net/tcp");
            std::string text((std::istreambuf_iterator<char>(table)), {});
            if (text.find(entry) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::string folder_;
    std::string address_;
    EchoLine line_;
    pid_t pid_ = -1;
};

// ---- What the application measures ----

// Writes out in CHUNK pieces while reading the echo, comparing each echoed byte with the
// one sent at its place; MB/s of payload, from the first write to the last echo.
bool throughput(int fd, const std::vector<uint8_t>& out, Figures& figures) {
    size_t total = out.size();
    std::vector<uint8_t> in(65536);
    size_t sent = 0;
    size_t echoed = 0;
    auto start = Clock::now();
    while (echoed < total) {
        pollfd p{fd, short(POLLIN | (sent < total ? POLLOUT : 0)), 0};
        if (poll(&p, 1, STALL_MS) <= 0) {
            figures.failure = "echo stalled at " + std::to_string(echoed) + " bytes";
            return false;
        }
        if (p.revents & POLLIN) {
            ssize_t n = read(fd, in.data(), std::min(in.size(), total - echoed));
            if (n <= 0) {
                figures.failure = "the link closed at " + std::to_string(echoed) + " bytes";
                return false;
            }
            for (ssize_t i = 0; i < n; ++i)
                figures.wrongBytes += in[size_t(i)] != out[echoed + size_t(i)];
            echoed += size_t(n);
        }
        if ((p.revents & POLLOUT) && sent < total) {
            ssize_t n = write(fd, out.data() + sent, std::min(CHUNK, total - sent));
            sent += size_t(std::max<ssize_t>(n, 0));
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.megabytesPerSecond = double(total) / seconds / 1e6;
    return true;
}

// Round trips of SMALL bytes, each waiting for its whole echo before the next write.
bool roundTrips(int fd, int samples, Figures& figures) {
    std::vector<double> micros;
    for (int i = 0; i < samples + WARM_UP; ++i) {
        uint8_t out[SMALL];
        uint8_t in[SMALL];
        for (size_t at = 0; at < SMALL; ++at)
            out[at] = patternByte(at, i);
        auto start = Clock::now();
        if (!writeExactly(fd, out, SMALL, STALL_MS) || !readExactly(fd, in, SMALL, STALL_MS)) {
            figures.failure = "round trip " + std::to_string(i) + " got no whole echo";
            return false;
        }
        auto end = Clock::now();
        for (size_t at = 0; at < SMALL; ++at)
            figures.wrongBytes += in[at] != out[at];
        if (i >= WARM_UP)
            micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(micros.begin(), micros.end());
    figures.medianUs = micros[micros.size() / 2];
    figures.p90Us = micros[micros.size() * 9 / 10];
    figures.worstUs = micros.back();
    return true;
}

// CPU share of one core each process had between two calls of sample().
class CpuWatch {
  public:
    explicit CpuWatch(std::vector<pid_t> pids) : pids_(std::move(pids)) { sample(); }
    void sample() {
        previous_ = seconds_;
        previousAt_ = at_;
        seconds_.clear();
        for (pid_t pid : pids_)
            seconds_.push_back(pid > 0 ? cpuSeconds(pid) : -1);
        at_ = Clock::now();
    }
    double share(size_t index) const {
        if (pids_[index] <= 0)
            return -1;
        double wall = std::chrono::duration<double>(at_ - previousAt_).count();
        return (seconds_[index] - previous_[index]) / wall * 100;
    }

  private:
    std::vector<pid_t> pids_;
    std::vector<double> seconds_, previous_;
    Clock::time_point at_, previousAt_;
};

// Opens the link as an application, sets its rate, waits for the first echo (the open
// procedure, the connection and the greeting), then measures, watching the CPU of the
// relaying process and of ser2net (server, or -1) while echoing.
Figures measureLink(const std::string& link, size_t total, int samples, pid_t relay, pid_t server) {
    Figures figures;
    std::vector<uint8_t> out(total);
    for (size_t i = 0; i < total; ++i)
        out[i] = patternByte(i);
    int fd = waitForPath(link, 20) ? openRaw(link) : -1;
    if (fd < 0) {
        figures.failure = "cannot open " + link;
        return figures;
    }
    termios settings{};
    tcgetattr(fd, &settings);
    cfsetspeed(&settings, APPLICATION_RATE);
    tcsetattr(fd, TCSANOW, &settings);
    uint8_t probe[1] = {0x55};
    if (!writeExactly(fd, probe, 1, 20000) || !readExactly(fd, probe, 1, 20000))
        figures.failure = "no first echo";
    else if (roundTrips(fd, samples, figures)) {
        CpuWatch cpu({relay, server});
        figures.ok = throughput(fd, out, figures);
        cpu.sample();
        figures.relayCpu = cpu.share(0);
        figures.serverCpu = cpu.share(1);
    }
    close(fd);
    return figures;
}

// ---- The lines ----

struct Line {
    const char* name;
    const char* measures;
    Figures figures;
};

std::string url(const char* scheme, const char* address) {
    return std::string(scheme) + address + ":" + std::to_string(SERVER_TCP_PORT);
}

// The manager's ports, one per server kind, measured one after the other with the
// others idle. Returns false when the manager did not start them.
bool measureManager(const std::string& folder, size_t total, int samples,
                    const std::vector<pid_t>& servers, std::vector<Line>& lines) {
    const std::vector<std::string> hosts = {SIM_ADDRESS, url("rfc2217://", RFC2217_ADDRESS),
                                            url("rfc2217://", RFC2217_TUNED_ADDRESS),
                                            url("socket://", ECHO_ADDRESS)};
    for (size_t slot = 0; slot < hosts.size(); ++slot)
        registerPort(int(slot), "COM" + std::to_string(5 + slot), hosts[slot], 1);
    pid_t manager = spawn({TRAVENOR_PATH});
    bool started = true;
    for (size_t slot = 0; slot < hosts.size(); ++slot)
        started = started && waitForStarted(int(slot), 20);
    for (size_t slot = 0; started && slot < hosts.size(); ++slot)
        lines[slot].figures = measureLink(folder + "/dev/COM" + std::to_string(5 + slot), total,
                                          samples, manager, servers[slot]);
    stop(manager);
    return started;
}

Figures measureSocat(const std::string& folder, const char* address, pid_t server, size_t total,
                     int samples) {
    std::string link = folder + "/socat-pty";
    pid_t socat =
        spawn({"socat", "PTY,link=" + link + ",raw,echo=0",
               std::string("TCP:") + address + ":" + std::to_string(SERVER_TCP_PORT) + ",nodelay"});
    Figures figures = measureLink(link, total, samples, socat, server);
    stop(socat);
    return figures;
}

std::string percent(double share) {
    char text[16] = "-";
    if (share >= 0)
        std::snprintf(text, sizeof text, "%.0f", share);
    return text;
}

void printTable(const std::vector<Line>& lines) {
    std::printf("%-44s %8s %6s %10s %8s %9s %8s %8s\n", "line", "MB/s", "wrong", "median us",
                "p90 us", "worst us", "relay%", "ser2net%");
    for (const Line& line : lines) {
        const Figures& f = line.figures;
        if (!f.ok)
            std::printf("%-44s failed: %s\n", line.name, f.failure.c_str());
        else
            std::printf("%-44s %8.2f %6llu %10.0f %8.0f %9.0f %8s %8s\n", line.name,
                        f.megabytesPerSecond, static_cast<unsigned long long>(f.wrongBytes),
                        f.medianUs, f.p90Us, f.worstUs, percent(f.relayCpu).c_str(),
                        percent(f.serverCpu).c_str());
    }
    std::printf("\n");
    for (const Line& line : lines)
        std::printf("%-44s %s\n", line.name, line.measures);
}

} // namespace

int main(int argc, char** argv) {
    size_t megabytes = argc > 1 ? size_t(std::max(1, std::atoi(argv[1]))) : 8;
    int samples = argc > 2 ? std::max(1, std::atoi(argv[2])) : 500;
    size_t total = megabytes << 20;
    std::string loadBefore = loadAverage();

    std::vector<Line> lines = {
        {"travenor -> Vorlix simulator",
         "app pty, manager, TCP, simulator echoing DATA frames",
         {}},
        {"travenor -> ser2net rfc2217 (defaults)",
         "app pty, manager, TCP, ser2net, line pty, echo; ser2net's defaults",
         {}},
        {"travenor -> ser2net rfc2217 (no chardelay)",
         "the same, ser2net without chardelay, 4 KiB buffers",
         {}},
        {"travenor -> raw TCP echo (socket://)", "app pty, manager, TCP, plain echo server", {}},
        {"socat -> raw TCP echo (no manager)", "app pty, socat, TCP, the same echo server", {}},
        {"socat -> ser2net tcp (no manager)",
         "app pty, socat, TCP, ser2net, line pty, echo; no chardelay, 4 KiB",
         {}},
    };
    {
        ManagerFolder folder;
        vorlixsim::SimOptions options;
        options.address = SIM_ADDRESS;
        options.portCount = 1;
        options.record = false; // keeping megabytes of frames would cost more than the relay
        vorlixsim::SimServer sim(options);
        EchoServer echo;
        Ser2net rfc2217(folder.path(), "rfc2217");
        Ser2net rfc2217Tuned(folder.path(), "rfc2217-tuned");
        Ser2net plainTcp(folder.path(), "tcp");
        if (!sim.start() || !echo.start(ECHO_ADDRESS, SERVER_TCP_PORT) ||
            !rfc2217.start("telnet(rfc2217),tcp", RFC2217_ADDRESS, "") ||
            !rfc2217Tuned.start("telnet(rfc2217),tcp", RFC2217_TUNED_ADDRESS, SER2NET_TUNED) ||
            !plainTcp.start("tcp", SER2NET_TCP_ADDRESS, SER2NET_TUNED)) {
            std::fprintf(stderr, "a server did not start: %s\n%s", sim.errorText().c_str(),
                         rfc2217.log().c_str());
            return 1;
        }
        if (!measureManager(folder.path(), total, samples,
                            {-1, rfc2217.pid(), rfc2217Tuned.pid(), -1}, lines))
            std::fprintf(stderr, "the manager did not start its ports\n");
        lines[4].figures = measureSocat(folder.path(), ECHO_ADDRESS, -1, total, samples);
        lines[5].figures =
            measureSocat(folder.path(), SER2NET_TCP_ADDRESS, plainTcp.pid(), total, samples);
    }

    std::printf("%zu MiB echoed in %zu-byte writes while reading; %d round trips of %zu bytes "
                "(after %d unmeasured); application rate 115200 bit/s\n",
                megabytes, CHUNK, samples, SMALL, WARM_UP);
    std::printf("load average before %s, after %s; %ld cores\n\n", loadBefore.c_str(),
                loadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    printTable(lines);
    return std::all_of(lines.begin(), lines.end(), [](const Line& line) { return line.figures.ok; })
               ? 0
               : 1;
}
