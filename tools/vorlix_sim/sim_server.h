#pragma once
// SimServer: a stand-in Vorlix device server on one IPv4 address, listening on TCP
// ports 4001..(4000 + portCount), one per serial port. It answers IDENT with an
// IDENT_REPLY, echoes every DATA frame, answers every ALIVE with its modem status
// (F0 43 s E0, as a live device shows it is there), sends modem-status frames on
// request or, as a loopback plug would, after every MCR, and, per port, can
// misbehave (stay silent, refuse, close after the reply, send garbage, split the
// reply). It records and logs every frame it receives.
//
// One I/O thread (poll) owns every descriptor. The API may be called from any
// thread; calls that change something run on the I/O thread and return once it has
// been done, so a test that sets a behaviour and then connects sees the new one.
// Ports are numbered like the device's serial ports: 1..portCount.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorlixsim {

enum class Behaviour {
    Normal,          // reply, echo DATA
    Silent,          // accept, record, never send anything
    Refuse,          // no listener: connects are refused by the kernel
    CloseAfterReply, // close the connection right after the reply
    Garbage,         // greeting on accept and stray bytes just before the reply
    Pieces,          // reply in three writes some milliseconds apart
    QuietWhenIdle,   // reply and echo, but never answer the keep-alive
};

struct ReplyValues {
    uint8_t maxSpeed = 7;
    std::array<uint8_t, 4> info{1, 0, 0, 0};
};

struct SimOptions {
    std::string address = "127.0.0.1";
    int portCount = 32;
    ReplyValues reply;
    bool infoGiven = false;            // otherwise INFO is {1, 0, portCount, port} per port
    std::vector<Behaviour> behaviours; // per port (index port-1); missing = Normal
    int modemStatusAfterOpen = -1;     // >= 0: F0 43 s E0 after every OPEN
    // The modem status follows the MCR frames as through a loopback plug: RTS drives CTS,
    // DTR drives DSR and DCD; each MCR is answered with the new status.
    bool loopbackLines = false;
    FILE* log = nullptr; // one line per frame; not owned
    bool record = true;  // keep every frame and byte for the API (tests)
};

struct Frame {
    uint8_t command = 0;
    std::vector<uint8_t> bytes; // the whole frame, F0 .. E0
    int connection = 0;         // the port's connections numbered from 1, as accepted
};

constexpr int FIRST_TCP_PORT = 4000; // TCP port = FIRST_TCP_PORT + port
constexpr size_t IDENT_REPLY_SIZE = 18;

class SimServer {
  public:
    explicit SimServer(SimOptions options);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds the listeners and starts the I/O thread; false (see errorText) if an
    // address or port cannot be bound.
    bool start();
    void stop();
    const std::string& errorText() const { return error; }

    void setBehaviour(int port, Behaviour behaviour);
    void setReply(int port, ReplyValues values);
    // Sends F0 43 s E0 on every open connection of the port, and answers the
    // keep-alive with s from now on; the number of connections it went to.
    int sendModemStatus(int port, uint8_t status);
    // Sends raw bytes on every open connection of the port (serial data, noise).
    int sendRaw(int port, const std::vector<uint8_t>& bytes);
    // Closes the device side of every open connection of the port.
    int closeConnections(int port);
    // Resets every open connection of the port (RST, no FIN): the client's next
    // receive or send fails with ECONNRESET.
    int resetConnections(int port);

    // Payload bytes of all DATA frames received, counted whether or not they are recorded.
    uint64_t dataBytesReceived(int port) const;
    std::vector<Frame> framesReceived(int port) const;
    std::vector<uint8_t> rawBytesReceived(int port) const;
    int connectionCount(int port) const; // accepted since start
    int openConnections(int port) const;
    // Waits (real time, bounded) until the port has recorded at least count frames.
    bool waitForFrames(int port, size_t count, int timeoutMs) const;
    bool waitForConnections(int port, int count, int timeoutMs) const;

  private:
    struct Connection;
    struct PortState;

    bool openListener(PortState& state);
    void closeListener(PortState& state);
    void run();
    void runOnIoThread(std::function<void()> work);
    void runPendingWork();
    void acceptOn(PortState& state);
    void readFrom(Connection& connection);
    void parseFrames(Connection& connection);
    void handleFrame(Connection& connection, Frame frame);
    void answerIdent(Connection& connection);
    void answerModemControl(Connection& connection, uint8_t modemControl);
    void queueOutput(Connection& connection, std::vector<uint8_t> bytes, int delayMs = 0);
    void flushOutput(Connection& connection);
    void dropConnection(Connection& connection);
    void removeDropped();
    int pollTimeoutMs() const;
    void logLine(const Connection& connection, const std::string& text);
    PortState& portState(int port);
    const PortState& portState(int port) const;

    SimOptions options;
    std::string error;
    std::vector<std::unique_ptr<PortState>> ports;
    std::vector<std::unique_ptr<Connection>> connections; // I/O thread only
    int wakePipe[2] = {-1, -1};
    std::thread ioThread;
    bool stopping = false; // guarded by mutex

    mutable std::mutex mutex; // records, behaviours, pending work
    mutable std::condition_variable changed;
    std::vector<std::function<void()>> pendingWork;
    uint64_t workQueued = 0;
    uint64_t workDone = 0;
};

// The command's name for the log ("IDENT", "DATA", ...), or "?" for others.
const char* commandName(uint8_t command);
// Size of a frame that starts at bytes[0] == 0xF0, 0 if more bytes are needed to
// know it, -1 if the command is not one the manager sends.
int frameSize(const uint8_t* bytes, size_t available);
std::string hexText(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> identReply(const ReplyValues& values);

} // namespace vorlixsim
