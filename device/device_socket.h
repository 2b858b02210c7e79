#pragma once
// DeviceSocket: the TCP connection of one port to its device server. Its
// notifications run on the UI thread: they record the outcome of a connect, mark a
// lost connection so that the relay thread starts a reconnection, and, as
// `RemoReadData`, move what is received on a Connected port, made into driver packets
// by the connection's protocol (a Vorlix device's frames unchanged), into the port's
// inQueue for the driver, in order and a whole packet at a time, and hand the same
// packets to the port's open Port Monitor.
//
// Ownership: device/port_connection.h holds the only reference, and creates, replaces
// and destroys it. Notifications run on the UI thread only.
#include "device/device_protocol.h"
#include "platform/async_socket.h"
#include "rings/ring_queue.h"

#include <atomic>
#include <cstdint>
#include <memory>

class QObject;

struct PortRecord;

class DeviceSocket : public platform::AsyncSocket {
  public:
    DeviceSocket(int portSlot, std::shared_ptr<DeviceProtocol> protocol);
    ~DeviceSocket() override;

    // The code of a failed connect, 0 after a successful one (10061: refused).
    std::atomic<int> connectError{0};
    std::atomic<int> sendReady{0};
    std::atomic<int> connected{0};
    // The device closed the connection (its acknowledgements prove nothing then).
    std::atomic<bool> peerClosed{false};
    // Found failed (a send, the device's close, a withdrawn option): no acknowledgement
    // keeps it alive any more.
    std::atomic<bool> lost{false};
    // No longer the port's connection: the application closed the port and the
    // connection winds down apart from it (ClosingConnection). Its notifications leave
    // the port alone; what the device sends is read and dropped.
    std::atomic<bool> retired{false};
    const int portSlot;

    // What the device server on the other end speaks; fixed for the connection's life.
    DeviceProtocol& protocol() const { return *protocol_; }
    const std::shared_ptr<DeviceProtocol>& sharedProtocol() const { return protocol_; }

    // UI thread: the driver has made room in the port's inQueue; a receive held back
    // for want of room goes on.
    void roomInQueue();
    // UI thread, once the port is Connected on this connection (after the open's
    // answer): what the greeting read for the session goes to the driver.
    void passGreetingPackets();
    // Any thread: the receive path waits for the driver to make room in the inQueue
    // (the device is held back, not silent).
    bool waitingForRoom() const { return waitingForRoom_.load(); }

  protected:
    void OnConnect(int errorCode) override;
    void OnReceive(int errorCode) override; // RemoReadData
    void OnSend(int errorCode) override;
    void OnClose(int errorCode) override;

  private:
    void remoReadData(RingQueue* inQueue);
    void passToDriver(RingQueue* inQueue, const uint8_t* packets, int length);
    const std::shared_ptr<DeviceProtocol> protocol_;
    std::atomic<bool> waitingForRoom_{false}; // written on the UI thread only
};

// The port's slice event is set: the driver made room in its inQueue. UI thread.
void inQueueHasRoom(int slot);

// Notification masks: everything (a new connection), and read, connect and close
// (a connection re-established by reconnection or switching).
constexpr long DEVICE_SOCKET_MASK = 63;
constexpr long DEVICE_SOCKET_MASK_REESTABLISHED = 49;
