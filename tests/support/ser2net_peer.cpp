#include "tests/support/ser2net_peer.h"

#include "tests/support/loopback_address.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

Ser2net::Ser2net(Accepter accepter)
    : accepter_(accepter), address_(allocateLoopbackAddress()), port_(unusedTcpPort()) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        return;
    char folder[] = "/tmp/ser2net-peer-XXXXXX";
    if (!mkdtemp(folder))
        return;
    folder_ = folder;
    start();
}

Ser2net::~Ser2net() {
    process_.reset();
    if (master_ >= 0)
        ::close(master_);
    if (!folder_.empty())
        std::filesystem::remove_all(folder_);
}

std::string Ser2net::path() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
        if (access(path, X_OK) == 0)
            return path;
    return {};
}

void Ser2net::start() {
    std::ofstream(folder_ / "ser2net.yaml")
        << "connection: &serial\n"
        << "  accepter: " << (accepter_ == Accepter::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,")
        << address_ << "," << port_ << "\n"
        << "  connector: serialdev," << ptsname(master_) << ",9600n81,local\n";
    // UUCP locking off (-u): the line is a pty of the test's own.
    process_ = std::make_unique<ClientProcess>(
        std::vector<std::string>{path(), "-n", "-d", "-u", "-c",
                                 (folder_ / "ser2net.yaml").string(), "-P",
                                 (folder_ / "ser2net.pid").string()},
        (folder_ / "ser2net.log").string());
}

void Ser2net::restart() {
    process_.reset();
    start();
}

bool Ser2net::listening(int timeoutMs) const {
    if (!process_ || !process_->started())
        return false;
    in_addr at{};
    inet_pton(AF_INET, address_.c_str(), &at);
    char entry[32];
    std::snprintf(entry, sizeof entry, "%08X:%04X 00000000:0000 0A", at.s_addr, unsigned(port_));
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream table("/proc/net/tcp");
        std::string text((std::istreambuf_iterator<char>(table)), std::istreambuf_iterator<char>());
        if (text.find(entry) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // ser2net starting up
    }
    return false;
}

std::vector<uint8_t> everyByteFourTimes() {
    std::vector<uint8_t> bytes;
    for (int round = 0; round < 4; ++round)
        for (int value = 0; value < 256; ++value)
            bytes.push_back(uint8_t(value));
    return bytes;
}
