#include "tests/support/loopback_address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int OCTET_VALUES = 254; // 1..254
constexpr int BLOCKS = OCTET_VALUES * OCTET_VALUES;

std::string dotted(int block, int host) {
    char text[24];
    std::snprintf(text, sizeof text, "127.%d.%d.%d", 1 + block / OCTET_VALUES,
                  1 + block % OCTET_VALUES, host);
    return text;
}

// The claim socket of a block, or -1 when another process holds the block.
int claim(int block) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("no socket for a loopback claim: ") +
                                 std::strerror(errno));
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(RESERVATION_PORT);
    inet_pton(AF_INET, dotted(block, 1).c_str(), &where.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0)
        return fd;
    int error = errno;
    close(fd);
    if (error != EADDRINUSE)
        throw std::runtime_error("cannot bind " + dotted(block, 1) + ": " + std::strerror(error) +
                                 " (tests need the whole of 127.0.0.0/8 on loopback)");
    return -1;
}

struct Allocator {
    std::mutex mutex;
    std::vector<int> claims; // held open until the process ends
    int block = -1;
    int nextHost = OCTET_VALUES + 1;

    void claimNextBlock() {
        int start = block < 0 ? int(getpid() % BLOCKS) : (block + 1) % BLOCKS;
        for (int tried = 0; tried < BLOCKS; ++tried) {
            int candidate = (start + tried) % BLOCKS;
            int fd = claim(candidate);
            if (fd >= 0) {
                claims.push_back(fd);
                block = candidate;
                nextHost = 1;
                return;
            }
        }
        throw std::runtime_error("every loopback block for tests is claimed");
    }
};

} // namespace

std::string allocateLoopbackAddress() {
    static Allocator allocator;
    std::lock_guard lock(allocator.mutex);
    if (allocator.nextHost > OCTET_VALUES)
        allocator.claimNextBlock();
    return dotted(allocator.block, allocator.nextHost++);
}

int unusedTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t size = sizeof where;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size) != 0) {
        int error = errno;
        if (fd >= 0)
            close(fd);
        throw std::runtime_error(std::string("no free TCP port: ") + std::strerror(error));
    }
    close(fd);
    return ntohs(where.sin_port);
}
