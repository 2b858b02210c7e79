#include "device/port_connection.h"

#include "config/manager_context.h"
#include "device/device_socket.h"
#include "device/wire_frames.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"

#include <QCoreApplication>

#include <cstring>
#include <new>

using platform::AsyncSocket;
using platform::MutexLock;

struct PortConnectionWriter {
    static DeviceSocket* exchange(PortRecord& record, DeviceSocket* socket)
        REQUIRES(record.relayLock) {
        if (socket)
            record.connectionSerial.value_.fetch_add(1);
        return record.connection.value_.exchange(socket);
    }
};

namespace {

// The silence rule fires at the relay thread's next pass: 120000 ms plus a margin.
constexpr uint32_t CONNECTION_LOST_SILENCE_MS = 120100;

// Frees a socket that is no longer any port's connection, on the UI thread.
void destroyLater(DeviceSocket* socket) {
    if (platform::isUiThread()) {
        delete socket;
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [socket] { delete socket; }, Qt::QueuedConnection);
}

// Takes the connection out of the record. A frame partly sent on it goes with it; one
// of which nothing went out stays for the next connection.
DeviceSocket* takeConnection(PortRecord& record) REQUIRES(record.relayLock) {
    if (record.txSent != 0)
        dropPendingFrame(record);
    return PortConnectionWriter::exchange(record, nullptr);
}

void shutDownAndDestroy(DeviceSocket* socket) {
    if (!socket)
        return;
    socket->ShutDown(AsyncSocket::SD_BOTH);
    if (platform::isUiThread())
        socket->Close();
    destroyLater(socket);
}

} // namespace

DeviceSocket* newConnection(int slot) {
    PortRecord& record = port(slot);
    dropConnection(record);
    DeviceSocket* socket = new (std::nothrow) DeviceSocket(slot);
    if (!socket)
        return nullptr;
    MutexLock lock(record.relayLock);
    PortConnectionWriter::exchange(record, socket);
    return socket;
}

void dropConnection(PortRecord& record) {
    DeviceSocket* socket = nullptr;
    {
        MutexLock lock(record.relayLock);
        socket = takeConnection(record);
    }
    shutDownAndDestroy(socket);
}

void dropConnectionOf(PortRecord& record, uint32_t serial) {
    DeviceSocket* socket = nullptr;
    {
        MutexLock lock(record.relayLock);
        if (record.connectionSerial.load() == serial)
            socket = takeConnection(record);
    }
    shutDownAndDestroy(socket);
}

void retireConnection(PortRecord& record) {
    shutDownAndDestroy(takeConnection(record));
}

void closeConnection(PortRecord& record) {
    DeviceSocket* socket = nullptr;
    {
        MutexLock lock(record.relayLock);
        record.relayActive.store(0);
        platform::debugTrace("VXD_WRITE_SOCKET : [CLOSE]\r\n");
        // A DATA frame's tail still pending goes first; only when it is out can CLOSE
        // follow without the device reading it as data.
        if (record.txPending == 0 || (sendPendingFrame(record) > 0 && record.txPending == 0)) {
            auto frame = closeFrame();
            sendPortFrame(record, frame.data(), int(frame.size()));
        }
        socket = takeConnection(record);
    }
    shutDownAndDestroy(socket);
}

bool sendPortFrame(PortRecord& record, const uint8_t* frame, int length) {
    if (record.txPending != 0 || !record.connection.load())
        return false;
    std::memcpy(record.txFrame, frame, size_t(length));
    record.txSent = 0;
    record.txPending = length;
    sendPendingFrame(record);
    return true;
}

void sendDataFrame(PortRecord& record, const uint8_t* payload, int length) {
    record.txSent = 0;
    record.txPending = int(buildDataFrame(record.txFrame, {payload, size_t(length)}));
    sendPendingFrame(record);
}

int sendPendingFrame(PortRecord& record) {
    DeviceSocket* socket = record.connection.load();
    int pending = record.txPending;
    if (!socket || pending == 0)
        return 0;
    int error = 0;
    int sent = socket->Send(record.txFrame + record.txSent, pending, 0, &error);
    if (sent == AsyncSocket::SOCKET_ERROR) {
        if (record.relayActive.load() && error != AsyncSocket::WSAEWOULDBLOCK) {
            markConnectionLost(record);
            if (record.txSent != 0)
                dropPendingFrame(record);
        }
        return sent;
    }
    if (sent < pending)
        platform::debugTrace("S"); // the rest goes out on a later pass instead of being lost
    record.txSent += sent;
    record.txPending = pending - sent;
    if (record.txPending == 0)
        record.txSent = 0;
    return sent;
}

void dropPendingFrame(PortRecord& record) {
    record.txPending = 0;
    record.txSent = 0;
}

void resumeWithFrames(PortRecord& record, const uint8_t* frames, int length) {
    bool heldWhole = record.txPending != 0 && record.txSent == 0 &&
                     record.txPending + length <= int(sizeof record.txFrame);
    int held = heldWhole ? record.txPending : 0;
    std::memmove(record.txFrame + length, record.txFrame, size_t(held));
    std::memcpy(record.txFrame, frames, size_t(length));
    record.txSent = 0;
    record.txPending = length + held;
    sendPendingFrame(record);
}

void markConnectionLost(PortRecord& record) {
    if (record.state.load() == PORT_CONNECTED)
        record.lastRxTick.store(platform::getTickCount() - CONNECTION_LOST_SILENCE_MS);
}
