#include "bench/soak_support.h"

#include "tools/vorlix_sim/sim_server.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace soak {

namespace {

constexpr uint8_t WORD_MARK = 0xD1;
constexpr size_t WORD = 8;
// How far into what has not been placed a resynchronisation looks for a whole word.
constexpr size_t SEARCH = 1024;

uint8_t checkByte(const uint8_t* word) {
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < WORD; ++i)
        sum = sum * 31 + word[i];
    return uint8_t(sum ^ 0xA7);
}

void wordBytes(uint8_t stream, uint64_t index, uint8_t* word) {
    word[0] = WORD_MARK;
    word[1] = stream;
    for (int i = 0; i < 5; ++i)
        word[2 + i] = uint8_t(index >> (8 * i));
    word[7] = checkByte(word);
}

int countEntries(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

} // namespace

uint8_t StreamPattern::at(uint64_t offset) const {
    uint8_t word[WORD];
    wordBytes(stream_, offset / WORD, word);
    return word[offset % WORD];
}

void StreamPattern::fill(uint64_t offset, uint8_t* out, size_t count) const {
    for (size_t i = 0; i < count; ++i)
        out[i] = at(offset + i);
}

std::optional<uint64_t> StreamPattern::wordOffset(const uint8_t* bytes) const {
    if (bytes[0] != WORD_MARK || bytes[1] != stream_ || bytes[7] != checkByte(bytes))
        return std::nullopt;
    uint64_t index = 0;
    for (int i = 4; i >= 0; --i)
        index = index << 8 | bytes[2 + i];
    return index * WORD;
}

bool StreamChecker::take(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        checksum_ = (checksum_ ^ bytes[i]) * 1099511628211ull;
    received_ += count;
    pending_.insert(pending_.end(), bytes, bytes + count);
    size_t placed = 0;
    while (problem_.empty()) {
        while (placed < pending_.size() && pending_[placed] == pattern_.at(expected_)) {
            ++placed;
            ++expected_;
        }
        pending_.erase(pending_.begin(), pending_.begin() + long(placed));
        placed = 0;
        if (pending_.empty() || !resynchronise())
            break;
    }
    return problem_.empty();
}

// A byte that is not the expected one: bytes were lost. The next whole word found
// tells where the stream goes on; what lies before it must be slices of the stream
// between the last byte placed and that word.
bool StreamChecker::resynchronise() {
    size_t limit = std::min(pending_.size(), SEARCH);
    for (size_t at = 0; at + WORD <= limit; ++at) {
        std::optional<uint64_t> word = pattern_.wordOffset(&pending_[at]);
        if (!word || *word < expected_ + at + 1)
            continue;
        uint64_t before = expected_;
        if (!explainSlices(at, *word))
            return false;
        lost_ += *word - before - at;
        expected_ = *word;
        pending_.erase(pending_.begin(), pending_.begin() + long(at));
        return true;
    }
    if (pending_.size() >= SEARCH) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "%zu bytes after offset %llu are no slice of what was sent (first %02X, "
                      "expected %02X)",
                      pending_.size(), static_cast<unsigned long long>(expected_), pending_[0],
                      pattern_.at(expected_));
        problem_ = text;
    }
    return false; // wait for more bytes
}

// pending_[0..count) as one or more contiguous slices, in order, of the stream
// between expected_ (exclusive: something was lost) and end.
bool StreamChecker::explainSlices(size_t count, uint64_t end) {
    uint64_t from = expected_ + 1;
    size_t at = 0;
    while (at < count) {
        size_t best = 0;
        uint64_t bestStart = 0;
        for (uint64_t start = from; start < end; ++start) {
            size_t length = 0;
            while (at + length < count && start + length < end &&
                   pending_[at + length] == pattern_.at(start + length))
                ++length;
            if (length > best) {
                best = length;
                bestStart = start;
                if (at + length == count)
                    break;
            }
        }
        if (best == 0) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "byte %02X after offset %llu is in no slice of what was sent; what "
                          "arrived from there:",
                          pending_[at], static_cast<unsigned long long>(expected_));
            problem_ = text;
            for (size_t i = 0; i < count && i < 48; ++i) {
                std::snprintf(text, sizeof text, "%s%02X", i == at ? " [" : " ", pending_[i]);
                problem_ += text;
            }
            return false;
        }
        ++gaps_;
        at += best;
        from = bestStart + best + 1;
    }
    if (count == 0)
        ++gaps_;
    return true;
}

ProcessFigures measure(pid_t pid) {
    std::string folder = "/proc/" + std::to_string(pid);
    ProcessFigures figures;
    figures.descriptors = countEntries(folder + "/fd");
    figures.threads = countEntries(folder + "/task");
    std::ifstream status(folder + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            figures.residentKb = std::atol(line.c_str() + 6);
    return figures;
}

ProcessFigures measureSelf() {
    ProcessFigures figures = measure(getpid());
    struct mallinfo2 heap = mallinfo2();
    figures.heapKb = long((heap.uordblks + heap.hblkhd) / 1024);
    return figures;
}

bool DeviceProcess::start() {
    if (pid_ > 0)
        return true;
    int ready[2];
    if (pipe(ready) != 0)
        return false;
    std::string self = "/proc/self/exe";
    std::string ports = std::to_string(ports_);
    std::string readyFd = std::to_string(ready[1]);
    char* argv[] = {self.data(),     const_cast<char*>("--device"),
                    address_.data(), ports.data(),
                    readyFd.data(),  nullptr};
    pid_ = fork();
    if (pid_ == 0) {
        close(ready[0]);
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    char byte = 0;
    bool up = pid_ > 0 && poll(&wait, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (!up)
        kill();
    return up;
}

void DeviceProcess::kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void DeviceProcess::stop() {
    ::kill(pid_, SIGSTOP);
}

void DeviceProcess::resume() {
    ::kill(pid_, SIGCONT);
}

void DeviceProcess::reset() {
    ::kill(pid_, SIGUSR1);
}

bool isDeviceRun(int argc, char** argv) {
    return argc == 5 && std::strcmp(argv[1], "--device") == 0;
}

int deviceMain(int, char** argv) {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGUSR1})
        sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    vorlixsim::SimOptions options;
    options.address = argv[2];
    options.portCount = std::atoi(argv[3]);
    options.record = false;
    vorlixsim::SimServer server(options);
    if (!server.start()) {
        std::fprintf(stderr, "device %s: %s\n", argv[2], server.errorText().c_str());
        return 1;
    }
    int ready = std::atoi(argv[4]);
    (void)!write(ready, "1", 1);
    close(ready);
    for (;;) {
        int signal = 0;
        sigwait(&signals, &signal);
        if (signal != SIGUSR1)
            break;
        for (int port = 1; port <= options.portCount; ++port)
            server.resetConnections(port);
    }
    server.stop();
    return 0;
}

} // namespace soak
