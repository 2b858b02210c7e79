#pragma once
// The port table: 100 PortRecord slots, one per virtual COM port the manager may
// carry, each with its list of device servers (HostEntry). A port is addressed by
// its slot number 0..99, which is also the number of its configuration key; the COM
// name is a field.
//
// Threads: configuration (host lists, portName, clearing a slot) changes only on the
// UI thread and only for Stopped ports (adding a host is allowed in any state). The
// relay thread and the remote-control thread read and write the run-time fields;
// every field that two threads touch is atomic. curAddress and curTcpPort are
// written by the remote-control thread right before it asks the UI thread to act,
// so they are guarded by hostLock.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

struct RingQueue;
class DeviceSocket;
class PortMonitorDialog;
namespace platform {
class AutoEvent;
}

constexpr int PORT_SLOTS = 100;
constexpr int MAX_HOST_ENTRIES = 99;

// Service state of a port. Which procedure moves a port from one state to another:
//   Stopped      -> Connecting   startPort (Start, Start All, remote control)
//   Connecting   -> Ready        hooking succeeded; -> Stopped when it failed
//   Ready        -> Connecting   an application opened the port (open procedure)
//   Connecting   -> Connected    device identified; -> Disconnected when not
//   Connected    -> Ready        the application closed the port (relay thread)
//   Connected    -> Reconnecting 120 s of silence or the device closed the connection
//   Reconnecting -> Connected    reconnection succeeded
//   any open     -> Switching    Start on another host, remote control
//   Switching    -> Connected    switch succeeded
//   Reconnecting/Switching -> COM Opened  recovery failed while the application holds
//                                the port; COM Opened -> Ready when it lets go
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

struct HostEntry {
    char address[52] = {};
    int portNo = 0;
    char description[52] = {};
    HostEntry* next = nullptr;
};

struct PortRecord {
    HostEntry* hostList = nullptr;
    HostEntry* hostCursor = nullptr;
    char portName[10] = {};
    char curAddress[50] = {}; // guarded by hostLock
    int curTcpPort = 0;       // guarded by hostLock
    std::atomic<int> state{PORT_STOPPED};
    std::atomic<int> reason{REASON_NONE};
    uint8_t deviceInfo[4] = {};
    uint8_t serialParams[3] = {};
    std::atomic<int> relayActive{0};
    std::atomic<uint32_t> lastRxTick{0};
    std::atomic<DeviceSocket*> socket{nullptr};
    std::atomic<uint8_t> maxSpeed{0};
    platform::AutoEvent* readEvent = nullptr;
    uint32_t readEventRing0 = 0;
    platform::AutoEvent* sliceEvent = nullptr;
    uint32_t sliceEventRing0 = 0;
    std::atomic<RingQueue*> outQueue{nullptr};
    std::atomic<RingQueue*> inQueue{nullptr};
    uint8_t txFrame[1024] = {};
    std::atomic<int> txPending{0};
    std::atomic<uint8_t> lastMcr{0};
    std::atomic<uint8_t> lastMsr{0};
    std::atomic<PortMonitorDialog*> monitor{nullptr};
    std::atomic<int> isWin16Port{0};

    // The driver's 32-bit handles of outQueue and inQueue, given back when the port stops.
    uint32_t outQueueHandle = 0;
    uint32_t inQueueHandle = 0;

    std::mutex hostLock;
    // Held by the relay thread while it works on the port's outQueue and socket; the UI
    // thread takes it to release the rings or to replace or drop the socket, so that
    // neither is freed under the relay thread.
    std::mutex relayLock;
};

struct PortTable {
    PortRecord records[PORT_SLOTS];
};

// The one table of the process, and the globals that live beside it.
extern PortTable portTable;
extern std::atomic<uint8_t> highestPortIndex;
extern std::atomic<int> threadRunning;

inline PortRecord& port(int slot) {
    return portTable.records[slot];
}

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
// Frees the host list and sets every field of the record back to zero.
void clearPortRecord(PortRecord& record);
// Sets curAddress (cut to the field) and curTcpPort under hostLock.
void setCurrentHost(PortRecord& record, const char* address, int portNo);
// Empties the current host under hostLock.
void clearCurrentHost(PortRecord& record);
