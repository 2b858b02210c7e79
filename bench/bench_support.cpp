#include "bench/bench_support.h"

#include "config/port_key.h"
#include "platform/registry.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

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

bool writeExactly(int fd, const uint8_t* from, size_t size, int timeoutMs) {
    size_t sent = 0;
    while (sent < size) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        ssize_t n = write(fd, from + sent, size - sent);
        if (n < 0 && errno != EAGAIN)
            return false;
        sent += size_t(std::max<ssize_t>(n, 0));
    }
    return true;
}

bool EchoServer::start(const char* address, int tcpPort) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(tcpPort));
    inet_pton(AF_INET, address, &where.sin_addr);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        listen(listener_, 128) != 0)
        return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

EchoServer::~EchoServer() {
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable())
        thread_.join();
    for (auto& client : clients_)
        client.join();
    close(listener_);
}

void EchoServer::run() {
    while (!stopping_) {
        int client = accept(listener_, nullptr, nullptr);
        if (client < 0)
            return;
        int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        clients_.emplace_back([this, client] {
            std::vector<uint8_t> buffer(65536);
            ssize_t n = 0;
            while (!stopping_ && (n = read(client, buffer.data(), buffer.size())) > 0) {
                received_ += uint64_t(n);
                for (ssize_t at = 0; echoing_ && at < n;) {
                    ssize_t w = write(client, buffer.data() + at, size_t(n - at));
                    if (w <= 0)
                        break;
                    at += w;
                }
            }
            close(client);
        });
    }
}

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

namespace {
// utime + stime from /proc/<pid>/stat: whole clock ticks (10 ms), but it keeps the time
// of threads that have ended.
double statSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command name, which may hold blanks, start after its ')'.
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        fields.push_back(text.substr(at, end - at));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    if (fields.size() < 13)
        return 0;
    double ticks = std::stod(fields[11]) + std::stod(fields[12]);
    return ticks / double(sysconf(_SC_CLK_TCK));
}

// The nanoseconds each living thread has run (schedstat), summed: the only count fine
// enough for a process that sleeps almost all the time. -1 without schedstat.
double runningSeconds(pid_t pid) {
    std::error_code error;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    bool any = false;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        unsigned long long nanoseconds = 0;
        if (schedstat >> nanoseconds) {
            total += double(nanoseconds) / 1e9;
            any = true;
        }
    }
    return any ? total : -1;
}
} // namespace

double cpuSeconds(pid_t pid) {
    double running = runningSeconds(pid);
    return running >= 0 ? running : statSeconds(pid);
}

ManagerFolder::ManagerFolder() {
    char pattern[] = "/tmp/quorvalink-bench-XXXXXX";
    path_ = mkdtemp(pattern);
    std::filesystem::create_directories(path_ + "/dev");
    setenv("QUORVALINK_HOME", path_.c_str(), 1);
    setenv("QUORVALINK_DEVDIR", (path_ + "/dev").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

ManagerFolder::~ManagerFolder() {
    std::filesystem::remove_all(path_);
}

void registerPort(int slot, const std::string& comName, const std::string& address, int portNo) {
    using namespace platform;
    HKEY key = nullptr;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key);
    regSetString(key, "PORTNAME", comName);
    regSetString(key, "IpAddr01", address);
    regSetDword(key, "TCPPortNo01", uint32_t(portNo));
    regSetString(key, "Description01", "bench");
    regSetString(key, "CurIPAddr", address);
    regSetDword(key, "CurTCPPortNo", uint32_t(portNo));
    RegCloseKey(key);
}

bool waitForStarted(int slot, int seconds) {
    using namespace platform;
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
        HKEY key = nullptr;
        bool started = openPortKey(slot, &key) &&
                       RegQueryValueEx(key, "pInQueue", nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        if (key)
            RegCloseKey(key);
        if (started)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace bench
