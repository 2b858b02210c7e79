#pragma once
// The port table: 100 PortRecord slots, one per virtual COM port the manager may
// carry, each with its list of device servers (HostEntry). A port is addressed by
// its slot number 0..99, which is also the number of its configuration key; the COM
// name is a field.
//
// Threads: configuration (host lists, portName, clearing a slot) changes only on the
// UI thread and only for Stopped ports (adding a host is allowed in any state). The
// relay thread and the remote-control thread read and write the run-time fields.
// Every field that two threads touch is atomic or guarded by one of the port's two
// locks (checked by clang's thread-safety analysis); the fields with one owner thread
// say which. state and reason change only through config/port_state.h (one
// compare-and-set), the port's connection only through device/port_connection.h.
#include "platform/thread_annotations.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

struct RingQueue;
class PortMonitor;
namespace platform {
class AutoEvent;
class EventWatch;
} // namespace platform

constexpr int PORT_SLOTS = 100;
constexpr int MAX_HOST_ENTRIES = 99;

// Service state of a port. Which procedure moves a port from one state to another
// (config/port_state.cpp holds the same table and refuses any other move):
//   Stopped      -> Connecting   startPort (Start, Start All, remote control)
//   Connecting   -> Ready        hooking succeeded; -> Stopped when it failed
//   Ready        -> Connecting   an application opened the port (open procedure)
//   Connecting   -> Connected    device identified; -> Disconnected when not
//   Connected    -> Ready        the application closed the port (relay thread)
//   Connected    -> Reconnecting 120 s of silence or the device closed the connection
//   Reconnecting -> Connected    reconnection succeeded; -> Disconnected when the
//                                application had let go (then restarted)
//   not Stopped  -> Switching    Start on another host, remote control
//   Switching    -> Connected    switch succeeded; -> Disconnected when it failed
//                                without an application (then restarted)
//   not Stopped  -> COM Opened   disconnection procedure: recovery failed while the
//                                application holds the port
//   not Stopped  -> Ready        16-bit close
//   Disconnected -> Connecting   the application opens the port again
//   any          -> Stopped      stopPort (refused while relayActive is set)
enum PortState : int {
    PORT_STOPPED = 0,
    PORT_CONNECTING = 1,
    PORT_CONNECTED = 2,
    PORT_RECONNECTING = 3,
    PORT_COM_OPENED = 4,
    PORT_SWITCHING = 7,
    PORT_READY = 8,
    PORT_DISCONNECTED = 10,
};

// Outcome of the last service operation; several are the ASCII digits '1'..'6'.
enum ReasonCode : int {
    REASON_NONE = 0,
    REASON_GIVEN_UP = 1,     // given up while reconnecting: no application held the port
    REASON_USER_STOPPED = 4, // the user stopped the port
    REASON_OK = '1',
    REASON_IP_NOT_FOUND = '2',
    REASON_PORT_DISABLED = '3',
    REASON_COM_NOT_FOUND = '4',
    REASON_INTERNAL = '6',
};

struct PortStateWriter;

// A port's state and the reason of the move that set it, in one atomic word: whoever
// sees a state sees its reason. Any thread reads it; only config/port_state.cpp moves it,
// by compare-and-set.
class PortStatus {
  public:
    struct Value {
        int state;
        int reason;
    };
    Value load() const { return unpack(word_.load()); }

  private:
    friend struct PortStateWriter;
    static uint64_t pack(Value value) {
        return uint64_t(uint32_t(value.state)) | uint64_t(uint32_t(value.reason)) << 32;
    }
    static Value unpack(uint64_t word) { return {int(uint32_t(word)), int(uint32_t(word >> 32))}; }
    std::atomic<uint64_t> word_{0};
};

// The state or the reason alone, read from the port's status word.
template <bool Reason> class PortStatusPart {
  public:
    explicit PortStatusPart(const PortStatus& status) : status_(status) {}
    int load() const {
        PortStatus::Value value = status_.load();
        return Reason ? value.reason : value.state;
    }

  private:
    const PortStatus& status_;
};

struct HostEntry {
    char address[52] = {};
    int portNo = 0;
    char description[52] = {};
    HostEntry* next = nullptr;
};

struct PortRecord {
    HostEntry* hostList = nullptr;   // UI thread
    HostEntry* hostCursor = nullptr; // UI thread
    char portName[10] = {};          // UI thread
    platform::Mutex hostLock;
    char curAddress[50] GUARDED_BY(hostLock) = {};
    int curTcpPort GUARDED_BY(hostLock) = 0;
    PortStatus status;
    PortStatusPart<false> state{status};
    PortStatusPart<true> reason{status};
    uint8_t deviceInfo[4] = {}; // UI thread
    std::atomic<int> relayActive{0};
    std::atomic<uint32_t> lastRxTick{0};
    std::atomic<uint8_t> maxSpeed{0};
    // Events and ring addresses: created and released on the UI thread; the relay
    // thread uses them only under relayLock, which stopPort takes to unmap the rings.
    // (The driver's handles of them are the driver link's: driverlink/driver_link.h.)
    platform::AutoEvent* readEvent = nullptr;
    platform::AutoEvent* sliceEvent = nullptr;
    // Watches sliceEvent on the UI thread: room in a full inQueue. UI thread.
    platform::EventWatch* roomWatch = nullptr;
    std::atomic<RingQueue*> outQueue{nullptr};
    std::atomic<RingQueue*> inQueue{nullptr};
    std::atomic<uint8_t> lastMcr{0};
    std::atomic<uint8_t> lastMsr{0};
    std::atomic<int> isWin16Port{0};

    // Held by the relay thread while it works on the port's outQueue and connection;
    // the UI thread takes it to release the rings or to replace or drop the
    // connection, so that neither is freed under the relay thread. The connection and
    // its bookkeeping are device/'s (device/port_connection.h), guarded by this lock.
    platform::Mutex relayLock;
};

struct PortTable {
    PortRecord records[PORT_SLOTS];
};

// First slot whose portName equals name exactly, -1 when none.
int findPortByName(const char* name);
// Lowest slot with an empty portName, -1 when all 100 are in use.
int findFreeSlot();
// First entry of slot's list (at most 100 looked at) with this address and portNo;
// null at once for an empty address or portNo 0.
HostEntry* findHost(int slot, const char* address, int portNo);
// Raises highestPortIndex to the highest Ready slot; never lowers it.
void raiseHighestPortIndex();

// Copies text into a fixed field, cut so that nothing is written past it; the field
// always ends with a NUL.
template <size_t N> void copyField(char (&field)[N], const char* text) {
    size_t i = 0;
    for (; text && text[i] && i + 1 < N; ++i)
        field[i] = text[i];
    for (; i < N; ++i)
        field[i] = 0;
}

// Frees every node of the record's host list; hostList and hostCursor become null.
void freeHostList(PortRecord& record);
// Frees the host list and sets every field of the record back to zero. No worker
// may be using the record.
void clearPortRecord(PortRecord& record);

// The current host (curAddress, curTcpPort), read and written under hostLock.
struct CurrentHost {
    char address[50];
    int portNo;
};
CurrentHost currentHost(PortRecord& record);
// Sets curAddress (cut to the field) and curTcpPort.
void setCurrentHost(PortRecord& record, const char* address, int portNo);
void clearCurrentHost(PortRecord& record);
