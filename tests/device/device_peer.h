#pragma once
// A device server the test plays itself, for what the simulator never does: a device
// that stops reading (a small receive buffer that fills, so the manager's sends block
// and a frame stays pending) and one that greets before it is asked who it is. It
// listens on one loopback TCP port, takes the manager's one connection and answers
// its identification frame on a thread of its own; after that the test reads what the
// device receives, when it chooses to.
//
// Made and used on the test's main thread; answered() joins the answering thread
// before anything is read there.
#include "tools/vorlix_sim/sim_server.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class DevicePeer {
  public:
    // receiveBuffer > 0: the connection's receive buffer, set before it is accepted.
    DevicePeer(const std::string& address, int tcpPort, int receiveBuffer = 0);
    ~DevicePeer();
    DevicePeer(const DevicePeer&) = delete;
    DevicePeer& operator=(const DevicePeer&) = delete;

    bool listening() const { return listener_ >= 0; }
    // Takes the manager's connection; sends greeting, when there is one, and waits
    // until the manager's system has acknowledged it; then reads the 13-byte IDENT
    // and sends reply.
    void answer(std::vector<uint8_t> greeting, std::vector<uint8_t> reply);
    // The greeting lies in the manager's receive buffer.
    bool greetingDelivered() const { return greetingDelivered_.load(); }
    // Waits for the answering thread: true when IDENT came and the reply went out.
    bool answered();

    // Every byte that has arrived, without waiting; notes the manager's close.
    std::vector<uint8_t> readNow();
    // Reads, pumping the UI thread, until nothing arrived for quietMs.
    std::vector<uint8_t> readUntilQuiet(int quietMs);
    // Reads, pumping the UI thread, until the manager has closed the connection (or
    // timeoutMs of real time passed).
    std::vector<uint8_t> readUntilClosed(int timeoutMs);
    bool closedByManager() const { return closed_; }

  private:
    bool serve(const std::vector<uint8_t>& greeting, const std::vector<uint8_t>& reply);

    int listener_ = -1;
    int connection_ = -1; // the answering thread's until answered() joins it
    std::thread answering_;
    std::atomic<bool> greetingDelivered_{false};
    bool answered_ = false;
    bool closed_ = false;

  public:
    // As answer(), and the device closes the connection right after its reply.
    void answerAndHangUp(std::vector<uint8_t> greeting, std::vector<uint8_t> reply);
};

// What a device made of the bytes it received: the whole frames in order, and the
// bytes of a last frame the connection ended inside of.
struct DeviceStream {
    std::vector<vorlixsim::Frame> frames;
    std::vector<uint8_t> cutFrame;
    bool malformed = false; // a frame not starting with F0 or not ending with E0
};
DeviceStream splitFrames(const std::vector<uint8_t>& bytes);
// The payloads of the DATA frames in order, followed by whatever payload bytes the
// cut frame carries when it is a DATA frame.
std::vector<uint8_t> dataPayloads(const DeviceStream& stream);

// Printable bytes that never look like a frame delimiter or a command.
std::vector<uint8_t> textPattern(size_t size);

// The application writes textPattern bytes (appended to written) until the relay thread
// holds a DATA frame of which the device's connection took only the first part, and
// that has stayed so for a while: the connection takes nothing more. False when that
// did not happen in timeoutMs.
bool writeUntilBlocked(int app, int slot, std::vector<uint8_t>& written, int timeoutMs = 30000);
