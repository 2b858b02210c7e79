#include "device/port_connection.h"

#include "config/manager_context.h"
#include "device/device_socket.h"
#include "device/wire_frames.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

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
// While a closing connection's frames wait for room in its socket.
constexpr uint32_t PENDING_LOOK_MS = 5;

// Frees a socket that is no longer any port's connection, on the UI thread.
void destroyLater(DeviceSocket* socket) {
    if (platform::isUiThread()) {
        delete socket;
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [socket] { delete socket; }, Qt::QueuedConnection);
}

// The frames after the one the socket took only part of: those go to the next
// connection whole, that one is lost with this connection.
void keepWholeFrames(PortRecord& record) REQUIRES(record.relayLock) {
    size_t end = size_t(record.txSent + record.txPending);
    size_t at = 0;
    while (at < size_t(record.txSent)) {
        size_t size = sentFrameSize(record.txFrame + at, end - at);
        if (size == 0 || at + size > end) {
            dropPendingFrame(record);
            return;
        }
        at += size;
    }
    std::memmove(record.txFrame, record.txFrame + at, end - at);
    record.txSent = 0;
    record.txPending = int(end - at);
}

// Takes the connection out of the record. A frame partly sent on it goes with it; the
// frames of which nothing went out stay for the next connection.
DeviceSocket* takeConnection(PortRecord& record) REQUIRES(record.relayLock) {
    keepWholeFrames(record);
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

std::optional<ClosingConnection> ClosingConnection::take(PortRecord& record, uint32_t now) {
    DeviceSocket* socket = record.connection.load();
    if (!socket)
        return std::nullopt;
    ClosingConnection closing;
    closing.socket_ = socket;
    closing.frames_.assign(record.txFrame + record.txSent,
                           record.txFrame + record.txSent + record.txPending);
    closing.since_ = now;
    dropPendingFrame(record);
    // From now on the socket's notifications leave the port alone.
    socket->retired.store(true);
    PortConnectionWriter::exchange(record, nullptr);
    return closing;
}

bool ClosingConnection::windDown(uint32_t now, uint32_t& wait) {
    while (!allSent_ && sent_ < frames_.size()) {
        int error = 0;
        int sent = socket_->Send(frames_.data() + sent_, int(frames_.size() - sent_), 0, &error);
        if (sent == AsyncSocket::SOCKET_ERROR) {
            if (error != AsyncSocket::WSAEWOULDBLOCK)
                allSent_ = true; // the connection has failed: nothing more will go
            break;
        }
        sent_ += size_t(sent);
    }
    if (!allSent_ && sent_ == frames_.size()) {
        allSent_ = true;
        sentAt_ = now;
    }
    if (!allSent_ && now - since_ >= SEND_LIMIT_MS) {
        platform::debugTrace("CLOSE not delivered: the device takes nothing\r\n");
        allSent_ = true;
        sentAt_ = now - CLOSE_GRACE_MS;
    }
    if (allSent_ && now - sentAt_ >= CLOSE_GRACE_MS) {
        drop();
        return true;
    }
    uint32_t left = allSent_ ? CLOSE_GRACE_MS - (now - sentAt_) : PENDING_LOOK_MS;
    wait = std::min(wait, left);
    return false;
}

void ClosingConnection::drop() {
    shutDownAndDestroy(std::exchange(socket_, nullptr));
}

void closeConnection(PortRecord& record) {
    DeviceSocket* socket = nullptr;
    {
        MutexLock lock(record.relayLock);
        record.relayActive.store(0);
        platform::debugTrace("VXD_WRITE_SOCKET : [CLOSE]\r\n");
        // Frames held from a lost connection are not this one's to send. Those pending
        // on it go first, whole; CLOSE follows them, so the device never reads it as data
        // (and what the socket does not take before the drop is lost, CLOSE with it).
        if (record.txPending != 0 && record.txSerial != record.connectionSerial.load())
            dropPendingFrame(record);
        auto frame = closeFrame();
        if (record.connection.load() && queueFrame(record, frame.data(), int(frame.size())))
            sendPendingFrame(record);
        dropPendingFrame(record);
        socket = takeConnection(record);
    }
    shutDownAndDestroy(socket);
}

bool sendPortFrame(PortRecord& record, const uint8_t* frame, int length) {
    if (record.txPending != 0 || !record.connection.load())
        return false;
    queueFrame(record, frame, length);
    sendPendingFrame(record);
    return true;
}

bool frameFits(const PortRecord& record, int length) {
    return record.txSent + record.txPending + length <= int(sizeof record.txFrame);
}

// Frames queued on an empty buffer belong to the port's connection of the moment.
void noteOwner(PortRecord& record) REQUIRES(record.relayLock) {
    if (record.txPending == 0) {
        record.txSent = 0;
        record.txSerial = record.connectionSerial.load();
    }
}

bool queueFrame(PortRecord& record, const uint8_t* frame, int length) {
    noteOwner(record);
    if (!frameFits(record, length))
        return false;
    std::memcpy(record.txFrame + record.txSent + record.txPending, frame, size_t(length));
    record.txPending += length;
    return true;
}

bool queueDataFrame(PortRecord& record, const uint8_t* payload, int length) {
    noteOwner(record);
    if (!frameFits(record, length + 5))
        return false;
    uint8_t* end = record.txFrame + record.txSent + record.txPending;
    record.txPending += int(buildDataFrame({end, size_t(length + 5)}, {payload, size_t(length)}));
    return true;
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
            keepWholeFrames(record);
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
    record.txSerial = record.connectionSerial.load();
    sendPendingFrame(record);
}

// ALIVE goes through the port's pending frame, so it never lands in the middle of a DATA
// frame the relay thread has only partly sent; while one is pending it is left out, the
// data itself keeps the connection busy.
void sendKeepAlives() {
    int last = std::min<int>(context.highestPortIndex.load(), PORT_SLOTS - 1);
    for (int slot = 0; slot <= last; ++slot) {
        PortRecord& record = port(slot);
        if (record.state.load() != PORT_CONNECTED)
            continue;
        MutexLock lock(record.relayLock);
        auto frame = aliveFrame();
        sendPortFrame(record, frame.data(), int(frame.size()));
    }
}

void markConnectionLost(PortRecord& record) {
    if (record.state.load() != PORT_CONNECTED)
        return;
    record.lastRxTick.store(platform::getTickCount() - CONNECTION_LOST_SILENCE_MS);
    wakeRelay(); // it starts the reconnection now, not at its next look
}
