#include "tests/sim/held_name_server.h"

#include "tests/support/loopback_address.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* RESOLV_CONF = "/etc/resolv.conf";
constexpr size_t HEADER_BYTES = 12;

// The question's name in dotted form and where the question ends (after its type and
// class); 0 when the packet holds no well-formed question.
size_t readQuestion(const std::vector<uint8_t>& packet, std::string* name) {
    size_t at = HEADER_BYTES;
    name->clear();
    while (at < packet.size() && packet[at] != 0) {
        size_t length = packet[at];
        if (length > 63 || at + 1 + length > packet.size())
            return 0;
        if (!name->empty())
            name->push_back('.');
        name->append(reinterpret_cast<const char*>(&packet[at + 1]), length);
        at += 1 + length;
    }
    at += 1 + 4;
    return at <= packet.size() ? at : 0;
}

std::string lowered(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

HeldNameServer::HeldNameServer() {
    setUp();
}

void HeldNameServer::setUp() {
    address_ = allocateLoopbackAddress();
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(53);
    inet_pton(AF_INET, address_.c_str(), &where.sin_addr);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        problem_ = "no UDP port 53 on " + address_ + ": " + std::strerror(errno);
        return;
    }
    if (::unshare(CLONE_NEWNS) != 0) {
        problem_ = std::string("no private mount namespace: ") + std::strerror(errno);
        return;
    }
    // Private first: a mount made in a namespace that shares with the system's would
    // reach the system's.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        problem_ = std::string("mounts cannot be made private: ") + std::strerror(errno);
        return;
    }
    char folder[] = "/tmp/held-names-XXXXXX";
    if (!::mkdtemp(folder)) {
        problem_ = "no temporary folder";
        return;
    }
    confPath_ = std::string(folder) + "/resolv.conf";
    std::ofstream(confPath_) << "nameserver " << address_ << "\noptions timeout:10 attempts:1\n";
    if (::mount(confPath_.c_str(), RESOLV_CONF, nullptr, MS_BIND, nullptr) != 0) {
        problem_ = std::string("resolv.conf cannot be replaced: ") + std::strerror(errno);
        return;
    }
    mounted_ = true;
}

HeldNameServer::~HeldNameServer() {
    takeArrived(0);
    while (!held_.empty())
        answerNoSuchName(held_.front().name);
    if (mounted_)
        ::umount2(RESOLV_CONF, MNT_DETACH);
    if (!confPath_.empty()) {
        ::unlink(confPath_.c_str());
        ::rmdir(confPath_.substr(0, confPath_.rfind('/')).c_str());
    }
    if (fd_ >= 0)
        ::close(fd_);
}

void HeldNameServer::takeArrived(int timeoutMs) {
    if (fd_ < 0)
        return;
    pollfd entry{fd_, POLLIN, 0};
    while (::poll(&entry, 1, timeoutMs) > 0) {
        Query query;
        query.packet.resize(512);
        socklen_t length = sizeof query.from;
        ssize_t got = ::recvfrom(fd_, query.packet.data(), query.packet.size(), 0,
                                 reinterpret_cast<sockaddr*>(&query.from), &length);
        if (got <= 0)
            return;
        query.packet.resize(size_t(got));
        size_t end = readQuestion(query.packet, &query.name);
        if (end == 0)
            continue;
        query.packet.resize(end);
        query.type = query.packet[end - 4] * 256 + query.packet[end - 3];
        query.name = lowered(query.name);
        // The IPv6 question of a lookup whose IPv4 one was answered, come late: answered
        // alike, so that the lookup does not wait out the resolver's time limit.
        if (auto done = answered_.find(query.name); done != answered_.end() && query.type == 28) {
            sendReply(query, done->second ? &*done->second : nullptr);
            continue;
        }
        held_.push_back(std::move(query));
        timeoutMs = 0;
    }
}

int HeldNameServer::held(const std::string& name) {
    takeArrived(0);
    return int(std::count_if(held_.begin(), held_.end(), [&](const Query& query) {
        return query.name == lowered(name) && query.type == 1;
    }));
}

bool HeldNameServer::waitForQuery(const std::string& name, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!holds(name)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        takeArrived(int(std::min<int64_t>(left.count(), 100)));
    }
    return true;
}

void HeldNameServer::answer(const std::string& name, const std::string& ipv4) {
    reply(name, &ipv4);
}

void HeldNameServer::answerNoSuchName(const std::string& name) {
    reply(name, nullptr);
}

// The question comes back with the header turned into an answer: one A record (none to
// a question for an IPv6 address), or none with "no such name" (NXDOMAIN); additional
// records of the query are left out.
void HeldNameServer::sendReply(const Query& query, const std::string* ipv4) {
    std::vector<uint8_t> packet = query.packet;
    packet[2] = 0x81; // a response to a recursive query
    packet[3] = ipv4 ? 0x80 : 0x83;
    packet[4] = 0;
    packet[5] = 1; // one question
    packet[6] = 0;
    bool record = ipv4 && query.type == 1;
    packet[7] = record ? 1 : 0; // answers
    packet[8] = packet[9] = packet[10] = packet[11] = 0;
    if (record) {
        in_addr address{};
        inet_pton(AF_INET, ipv4->c_str(), &address);
        const uint8_t fields[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
        packet.insert(packet.end(), std::begin(fields), std::end(fields));
        auto bytes = reinterpret_cast<const uint8_t*>(&address.s_addr);
        packet.insert(packet.end(), bytes, bytes + 4);
    }
    ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&query.from),
             sizeof query.from);
}

void HeldNameServer::reply(const std::string& name, const std::string* ipv4) {
    takeArrived(0);
    answered_[lowered(name)] = ipv4 ? std::optional<std::string>(*ipv4) : std::nullopt;
    for (auto query = held_.begin(); query != held_.end();) {
        if (query->name != lowered(name)) {
            ++query;
            continue;
        }
        sendReply(*query, ipv4);
        query = held_.erase(query);
    }
}
