#pragma once
// DeviceSocket: the TCP connection of one port to its device server. Its
// notifications run on the UI thread: they record the outcome of a connect, mark a
// lost connection so that the relay thread starts a reconnection, and, as
// `RemoReadData`, move every byte received on a Connected port into the port's
// inQueue for the driver, unchanged and in order.
//
// Ownership: PortRecord::socket holds the only reference. It is created and destroyed
// on the UI thread. The relay thread sends on it and, when the application closes a
// Connected port, shuts it down; both only while holding the port's relayLock, and
// the UI thread swaps or drops PortRecord::socket only while holding the same lock,
// so the relay thread never uses a socket that is being destroyed.
#include "platform/async_socket.h"

#include <atomic>
#include <cstdint>
#include <memory>

class QObject;

struct PortRecord;

class DeviceSocket : public platform::AsyncSocket {
  public:
    explicit DeviceSocket(int portSlot);
    ~DeviceSocket() override;

    // The code of a failed connect, 0 after a successful one (10061: refused).
    std::atomic<int> connectError{0};
    std::atomic<int> sendReady{0};
    std::atomic<int> connected{0};
    const int portSlot;

  protected:
    void OnConnect(int errorCode) override;
    void OnReceive(int errorCode) override; // RemoReadData
    void OnSend(int errorCode) override;
    void OnClose(int errorCode) override;

  private:
    void remoReadData();
    void scheduleRetry();
    bool retryScheduled = false; // UI thread only
    std::unique_ptr<QObject> retryContext;
};

// Notification masks: everything (a new connection), and read, connect and close
// (a connection re-established by reconnection or switching).
constexpr long DEVICE_SOCKET_MASK = 63;
constexpr long DEVICE_SOCKET_MASK_REESTABLISHED = 49;

// Drops the port's connection: shut down both ways, close, destroy, socket = none.
// UI thread. (Destroying a socket cannot fail here, so the original's "Error on
// Deletion" trace has no cause left.)
void dropConnection(PortRecord& record);

// For the relay thread, with the port's relayLock held: shuts the connection down at
// once and hands the object to the UI thread, which closes and destroys it.
void retireSocketFromRelay(PortRecord& record);

// Frees a socket that is no longer anybody's PortRecord::socket, on the UI thread
// (directly when called there, queued otherwise).
void deleteDeviceSocket(DeviceSocket* socket);

// The port's pending frame (txFrame, txPending): frames go out whole and in order.
// Both calls need the port's relayLock held.
//
// Makes frame the pending frame and sends what the socket takes at once; the rest
// stays pending and the relay thread sends it before it takes anything new. False,
// and nothing sent, when a frame is pending already or the port has no socket.
bool sendPortFrame(PortRecord& record, const uint8_t* frame, int length);
// Sends what is left of the pending frame: the byte count the socket took, or
// SOCKET_ERROR. A send that would block keeps the frame; any other failure of an open
// port drops it.
int sendPendingFrame(PortRecord& record);
