#include "tools/vorlix_sim/sim_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace vorlixsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t START_BYTE = 0xF0;
constexpr uint8_t END_BYTE = 0xE0;
constexpr uint8_t IDENT_COMMAND = 0x11;
constexpr uint8_t DATA_COMMAND = 0x31;
constexpr uint8_t OPEN_COMMAND = 0x71;
constexpr uint8_t MCR_COMMAND = 0x41;
constexpr uint8_t ALIVE_COMMAND = 0x81;
constexpr size_t MAX_DATA_SIZE = 512;
constexpr char identMagic[] = "QUORVALINK";
constexpr char replyName[] = "VORLIX-SIM"; // the ten bytes the manager does not examine
constexpr char greeting[] = "VORLIX-SIM READY\r\n";
// Stray bytes before the reply: an F0 that is not followed by 12, and a 12 that
// does not follow an F0, so a reply search that is not careful trips over them.
const std::vector<uint8_t> strayBytes = {0x00, 0xF0, 0x99, 0xE0, 0x12, 0x41};
// The reply in three writes: start and command, then the name, then the values.
constexpr size_t pieceEnds[] = {2, 9, IDENT_REPLY_SIZE};
constexpr int PIECE_GAP_MS = 30;

struct CommandInfo {
    uint8_t command;
    const char* name;
    int size; // whole frame; DATA: 5 plus its length field
};

constexpr CommandInfo commands[] = {
    {0x11, "IDENT", 13}, {0x71, "OPEN", 3}, {0x72, "CLOSE", 3}, {0x81, "ALIVE", 3},
    {0x21, "SREQ", 6},   {0x41, "MCR", 4},  {0x31, "DATA", 5},
};

const CommandInfo* findCommand(uint8_t command) {
    for (const CommandInfo& info : commands)
        if (info.command == command)
            return &info;
    return nullptr;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

} // namespace

const char* commandName(uint8_t command) {
    const CommandInfo* info = findCommand(command);
    return info ? info->name : "?";
}

int frameSize(const uint8_t* bytes, size_t available) {
    if (available < 2)
        return 0;
    const CommandInfo* info = findCommand(bytes[1]);
    if (!info)
        return -1;
    if (info->command != DATA_COMMAND)
        return info->size;
    if (available < 4)
        return 0;
    size_t length = bytes[2] * 256u + bytes[3];
    return length > MAX_DATA_SIZE ? -1 : static_cast<int>(length + 5);
}

std::string hexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    char cell[4];
    for (uint8_t byte : bytes) {
        std::snprintf(cell, sizeof cell, text.empty() ? "%02X" : " %02X", byte);
        text += cell;
    }
    return text;
}

std::vector<uint8_t> identReply(const ReplyValues& values) {
    std::vector<uint8_t> reply;
    reply.reserve(18);
    reply.push_back(START_BYTE);
    reply.push_back(0x12);
    reply.insert(reply.end(), replyName, replyName + 10);
    reply.push_back(values.maxSpeed);
    reply.insert(reply.end(), values.info.begin(), values.info.end());
    reply.push_back(END_BYTE);
    return reply;
}

struct SimServer::PortState {
    int port = 0;
    int listenFd = -1; // I/O thread (and start) only
    Behaviour behaviour = Behaviour::Normal;
    ReplyValues reply;
    uint8_t modemStatus = 0x30; // CTS and DSR: a device attached and ready
    std::vector<Frame> frames;
    std::vector<uint8_t> raw;
    uint64_t dataBytes = 0; // payload bytes of the DATA frames received
    int accepted = 0;
    int open = 0;
};

struct SimServer::Connection {
    struct Pending {
        int64_t dueMs;
        std::vector<uint8_t> bytes;
    };
    PortState* port = nullptr;
    int fd = -1;
    int id = 0;
    std::vector<uint8_t> input;
    std::deque<Pending> output;
    size_t outputOffset = 0;
    bool closeWhenSent = false;
};

SimServer::SimServer(SimOptions simOptions) : options(std::move(simOptions)) {
    for (int port = 1; port <= options.portCount; ++port) {
        auto state = std::make_unique<PortState>();
        state->port = port;
        size_t index = static_cast<size_t>(port - 1);
        if (index < options.behaviours.size())
            state->behaviour = options.behaviours[index];
        state->reply = options.reply;
        if (!options.infoGiven)
            state->reply.info = {1, 0, static_cast<uint8_t>(options.portCount),
                                 static_cast<uint8_t>(port)};
        ports.push_back(std::move(state));
    }
}

SimServer::~SimServer() {
    stop();
}

bool SimServer::start() {
    if (pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    for (auto& state : ports)
        if (state->behaviour != Behaviour::Refuse && !openListener(*state))
            return false;
    ioThread = std::thread([this] { run(); });
    return true;
}

void SimServer::stop() {
    if (ioThread.joinable()) {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        [[maybe_unused]] ssize_t ignored = write(wakePipe[1], "x", 1);
        ioThread.join();
    }
    for (auto& connection : connections)
        dropConnection(*connection);
    connections.clear();
    for (auto& state : ports)
        closeListener(*state);
    for (int& fd : wakePipe)
        if (fd >= 0)
            close(std::exchange(fd, -1));
    changed.notify_all();
}

bool SimServer::openListener(PortState& state) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(FIRST_TCP_PORT + state.port));
    if (fd < 0 || inet_pton(AF_INET, options.address.c_str(), &address.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0) {
        error = options.address + ":" + std::to_string(FIRST_TCP_PORT + state.port) + ": " +
                std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    state.listenFd = fd;
    return true;
}

void SimServer::closeListener(PortState& state) {
    if (state.listenFd >= 0)
        close(std::exchange(state.listenFd, -1));
}

SimServer::PortState& SimServer::portState(int port) {
    return *ports.at(static_cast<size_t>(port - 1));
}

const SimServer::PortState& SimServer::portState(int port) const {
    return *ports.at(static_cast<size_t>(port - 1));
}

void SimServer::runOnIoThread(std::function<void()> work) {
    if (!ioThread.joinable()) {
        work();
        return;
    }
    std::unique_lock lock(mutex);
    pendingWork.push_back(std::move(work));
    uint64_t ticket = ++workQueued;
    [[maybe_unused]] ssize_t ignored = write(wakePipe[1], "x", 1);
    changed.wait(lock, [&] { return workDone >= ticket || stopping; });
}

void SimServer::runPendingWork() {
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex);
        batch.swap(pendingWork);
    }
    for (auto& work : batch)
        work();
    std::lock_guard lock(mutex);
    workDone += batch.size();
    changed.notify_all();
}

void SimServer::setBehaviour(int port, Behaviour behaviour) {
    PortState& state = portState(port);
    runOnIoThread([&] {
        {
            std::lock_guard lock(mutex);
            state.behaviour = behaviour;
        }
        if (behaviour == Behaviour::Refuse)
            closeListener(state);
        else if (state.listenFd < 0 && !openListener(state))
            std::fprintf(stderr, "vorlix-sim: %s\n", error.c_str());
    });
}

void SimServer::setReply(int port, ReplyValues values) {
    std::lock_guard lock(mutex);
    portState(port).reply = values;
}

int SimServer::sendModemStatus(int port, uint8_t status) {
    {
        std::lock_guard lock(mutex);
        portState(port).modemStatus = status;
    }
    return sendRaw(port, {START_BYTE, 0x43, status, END_BYTE});
}

int SimServer::sendRaw(int port, const std::vector<uint8_t>& bytes) {
    PortState* state = &portState(port);
    int count = 0;
    runOnIoThread([&] {
        for (auto& connection : connections)
            if (connection->port == state && connection->fd >= 0) {
                queueOutput(*connection, bytes);
                flushOutput(*connection);
                ++count;
            }
    });
    return count;
}

int SimServer::closeConnections(int port) {
    PortState* state = &portState(port);
    int count = 0;
    runOnIoThread([&] {
        for (auto& connection : connections)
            if (connection->port == state && connection->fd >= 0) {
                logLine(*connection, "closed by simulator");
                dropConnection(*connection);
                ++count;
            }
    });
    return count;
}

int SimServer::resetConnections(int port) {
    PortState* state = &portState(port);
    int count = 0;
    runOnIoThread([&] {
        for (auto& connection : connections)
            if (connection->port == state && connection->fd >= 0) {
                logLine(*connection, "reset by simulator");
                linger abort{1, 0};
                setsockopt(connection->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                close(std::exchange(connection->fd, -1));
                connection->output.clear();
                std::lock_guard lock(mutex);
                --connection->port->open;
                ++count;
            }
    });
    return count;
}

uint64_t SimServer::dataBytesReceived(int port) const {
    std::lock_guard lock(mutex);
    return portState(port).dataBytes;
}

std::vector<Frame> SimServer::framesReceived(int port) const {
    std::lock_guard lock(mutex);
    return portState(port).frames;
}

std::vector<uint8_t> SimServer::rawBytesReceived(int port) const {
    std::lock_guard lock(mutex);
    return portState(port).raw;
}

int SimServer::connectionCount(int port) const {
    std::lock_guard lock(mutex);
    return portState(port).accepted;
}

int SimServer::openConnections(int port) const {
    std::lock_guard lock(mutex);
    return portState(port).open;
}

bool SimServer::waitForFrames(int port, size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex);
    const PortState& state = portState(port);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return state.frames.size() >= count; });
}

bool SimServer::waitForConnections(int port, int count, int timeoutMs) const {
    std::unique_lock lock(mutex);
    const PortState& state = portState(port);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return state.accepted >= count; });
}

void SimServer::run() {
    for (;;) {
        std::vector<pollfd> polled = {{wakePipe[0], POLLIN, 0}};
        for (auto& state : ports)
            polled.push_back({state->listenFd, POLLIN, 0}); // -1 is ignored by poll
        for (auto& connection : connections) {
            bool due = !connection->output.empty() && connection->output.front().dueMs <= nowMs();
            polled.push_back({connection->fd, short(POLLIN | (due ? POLLOUT : 0)), 0});
        }
        poll(polled.data(), polled.size(), pollTimeoutMs());
        if (polled[0].revents) {
            char drain[64];
            while (read(wakePipe[0], drain, sizeof drain) > 0) {
            }
            runPendingWork();
            std::lock_guard lock(mutex);
            if (stopping)
                return;
        }
        size_t index = 1;
        for (auto& state : ports)
            if (polled[index++].revents && state->listenFd >= 0)
                acceptOn(*state);
        size_t polledConnections = polled.size() - index;
        for (size_t i = 0; i < polledConnections; ++i)
            if (polled[index + i].revents && connections[i]->fd >= 0)
                readFrom(*connections[i]);
        for (auto& connection : connections)
            if (connection->fd >= 0)
                flushOutput(*connection);
        removeDropped();
    }
}

int SimServer::pollTimeoutMs() const {
    int64_t timeout = -1;
    for (auto& connection : connections)
        if (!connection->output.empty()) {
            int64_t wait = std::max<int64_t>(0, connection->output.front().dueMs - nowMs());
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
    return static_cast<int>(timeout);
}

void SimServer::acceptOn(PortState& state) {
    int fd = accept4(state.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    int on = 1;
    // Without it the pieces of a split reply would be merged into one segment.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto connection = std::make_unique<Connection>();
    connection->port = &state;
    connection->fd = fd;
    Behaviour behaviour;
    {
        std::lock_guard lock(mutex);
        connection->id = ++state.accepted;
        ++state.open;
        behaviour = state.behaviour;
        changed.notify_all();
    }
    logLine(*connection, "connected");
    if (behaviour == Behaviour::Garbage)
        queueOutput(*connection, std::vector<uint8_t>(greeting, greeting + sizeof greeting - 1));
    connections.push_back(std::move(connection));
}

void SimServer::readFrom(Connection& connection) {
    uint8_t buffer[4096];
    ssize_t count = recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (count <= 0) {
        logLine(connection, "closed by peer");
        dropConnection(connection);
        return;
    }
    if (options.record) {
        std::lock_guard lock(mutex);
        connection.port->raw.insert(connection.port->raw.end(), buffer, buffer + count);
    }
    connection.input.insert(connection.input.end(), buffer, buffer + count);
    parseFrames(connection);
}

// Frames are delimited by their command's size, never by searching for E0: data
// bytes may be F0 or E0 themselves.
void SimServer::parseFrames(Connection& connection) {
    std::vector<uint8_t>& input = connection.input;
    size_t at = 0;
    std::vector<uint8_t> skipped;
    while (at < input.size() && connection.fd >= 0) {
        if (input[at] != START_BYTE) {
            skipped.push_back(input[at++]);
            continue;
        }
        int size = frameSize(&input[at], input.size() - at);
        if (size == 0 || (size > 0 && input.size() - at < static_cast<size_t>(size)))
            break;
        if (size < 0 || input[at + size - 1] != END_BYTE) {
            skipped.push_back(input[at++]);
            continue;
        }
        if (!skipped.empty() && options.log)
            logLine(connection, "SKIP " + hexText(skipped));
        skipped.clear();
        Frame frame{input[at + 1], {input.begin() + at, input.begin() + at + size}, connection.id};
        at += size;
        handleFrame(connection, std::move(frame));
    }
    if (!skipped.empty() && options.log)
        logLine(connection, "SKIP " + hexText(skipped));
    input.erase(input.begin(), input.begin() + std::min(at, input.size()));
}

void SimServer::handleFrame(Connection& connection, Frame frame) {
    if (options.log)
        logLine(connection,
                std::string("< ") + commandName(frame.command) + " " + hexText(frame.bytes));
    Behaviour behaviour;
    uint8_t modemStatus = 0;
    {
        std::lock_guard lock(mutex);
        behaviour = connection.port->behaviour;
        modemStatus = connection.port->modemStatus;
        if (frame.command == 0x31)
            connection.port->dataBytes += frame.bytes.size() - 5;
        if (options.record)
            connection.port->frames.push_back(frame);
        changed.notify_all();
    }
    if (behaviour == Behaviour::Silent)
        return;
    const std::vector<uint8_t>& bytes = frame.bytes;
    if (frame.command == IDENT_COMMAND &&
        std::equal(identMagic, identMagic + 10, bytes.begin() + 2))
        answerIdent(connection);
    else if (frame.command == DATA_COMMAND)
        queueOutput(connection, bytes);
    else if (frame.command == OPEN_COMMAND && options.modemStatusAfterOpen >= 0)
        queueOutput(connection, {START_BYTE, 0x43,
                                 static_cast<uint8_t>(options.modemStatusAfterOpen), END_BYTE});
    else if (frame.command == ALIVE_COMMAND && behaviour != Behaviour::QuietWhenIdle)
        queueOutput(connection, {START_BYTE, 0x43, modemStatus, END_BYTE});
    else if (frame.command == MCR_COMMAND && options.loopbackLines)
        answerModemControl(connection, bytes[2]);
}

// A loopback plug: RTS to CTS, DTR to DSR and DCD.
void SimServer::answerModemControl(Connection& connection, uint8_t modemControl) {
    uint8_t status =
        uint8_t(((modemControl & 0x02) ? 0x10 : 0) | ((modemControl & 0x01) ? 0x20 | 0x80 : 0));
    {
        std::lock_guard lock(mutex);
        connection.port->modemStatus = status;
    }
    queueOutput(connection, {START_BYTE, 0x43, status, END_BYTE});
}

void SimServer::answerIdent(Connection& connection) {
    Behaviour behaviour;
    ReplyValues values;
    {
        std::lock_guard lock(mutex);
        behaviour = connection.port->behaviour;
        values = connection.port->reply;
    }
    std::vector<uint8_t> reply = identReply(values);
    if (behaviour == Behaviour::Garbage)
        reply.insert(reply.begin(), strayBytes.begin(), strayBytes.end());
    if (behaviour != Behaviour::Pieces) {
        queueOutput(connection, reply);
        connection.closeWhenSent = behaviour == Behaviour::CloseAfterReply;
        return;
    }
    size_t from = 0;
    for (size_t end : pieceEnds) {
        queueOutput(connection, {reply.begin() + from, reply.begin() + end},
                    from == 0 ? 0 : PIECE_GAP_MS);
        from = end;
    }
}

void SimServer::queueOutput(Connection& connection, std::vector<uint8_t> bytes, int delayMs) {
    int64_t due = nowMs() + delayMs;
    if (!connection.output.empty())
        due = std::max(due, connection.output.back().dueMs + delayMs);
    if (options.log)
        logLine(connection, "> " + hexText(bytes));
    connection.output.push_back({due, std::move(bytes)});
}

void SimServer::flushOutput(Connection& connection) {
    while (connection.fd >= 0 && !connection.output.empty() &&
           connection.output.front().dueMs <= nowMs()) {
        const std::vector<uint8_t>& bytes = connection.output.front().bytes;
        ssize_t sent = send(connection.fd, bytes.data() + connection.outputOffset,
                            bytes.size() - connection.outputOffset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno != EAGAIN)
                dropConnection(connection);
            return;
        }
        connection.outputOffset += static_cast<size_t>(sent);
        if (connection.outputOffset < bytes.size())
            return;
        connection.output.pop_front();
        connection.outputOffset = 0;
    }
    if (connection.fd >= 0 && connection.output.empty() && connection.closeWhenSent) {
        logLine(connection, "closed by simulator");
        dropConnection(connection);
    }
}

void SimServer::dropConnection(Connection& connection) {
    if (connection.fd < 0)
        return;
    shutdown(connection.fd, SHUT_RDWR);
    close(std::exchange(connection.fd, -1));
    connection.output.clear();
    std::lock_guard lock(mutex);
    --connection.port->open;
}

void SimServer::removeDropped() {
    std::erase_if(connections, [](const auto& connection) { return connection->fd < 0; });
}

void SimServer::logLine(const Connection& connection, const std::string& text) {
    if (!options.log)
        return;
    std::fprintf(options.log, "%d #%d %s\n", FIRST_TCP_PORT + connection.port->port, connection.id,
                 text.c_str());
    std::fflush(options.log);
}

} // namespace vorlixsim
