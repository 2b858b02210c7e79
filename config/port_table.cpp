#include "config/port_table.h"

#include "config/manager_context.h"
#include "config/port_state.h"

#include <cstring>
#include <string_view>

namespace {

constexpr int MAX_HOSTS_WALKED = 100;

// Fields are read with strnlen so that a field someone filled without a NUL still
// compares without reading past it.
template <size_t N> std::string_view fieldText(const char (&field)[N]) {
    return std::string_view(field, strnlen(field, N));
}

bool validSlot(int slot) {
    return slot >= 0 && slot < PORT_SLOTS;
}

// The UI thread and the remote-control thread (stopPort of a Ready port) may raise
// at the same time; a plain load-compare-store could let the lower value win.
void raiseTo(uint8_t slot) {
    uint8_t current = context.highestPortIndex.load();
    while (slot > current && !context.highestPortIndex.compare_exchange_weak(current, slot)) {
    }
}

// No worker uses the record (the caller's rule), so the guarded fields are written
// without their locks.
void clearRunTimeFields(PortRecord& record) NO_THREAD_SAFETY_ANALYSIS {
    forcePortState(record, PORT_STOPPED, REASON_NONE);
    std::memset(record.deviceInfo, 0, sizeof record.deviceInfo);
    record.relayActive = 0;
    record.lastRxTick = 0;
    record.maxSpeed = 0;
    record.readEvent = nullptr;
    record.sliceEvent = nullptr;
    record.roomWatch = nullptr;
    record.outQueue = nullptr;
    record.inQueue = nullptr;
    record.lastMcr = 0;
    record.lastMsr = 0;
    record.isWin16Port = 0;
}

} // namespace

int findPortByName(const char* name) {
    if (!name)
        return -1;
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (fieldText(port(slot).portName) == name)
            return slot;
    }
    return -1;
}

int findFreeSlot() {
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (port(slot).portName[0] == 0)
            return slot;
    }
    return -1;
}

HostEntry* findHost(int slot, const char* address, int portNo) {
    if (!validSlot(slot) || !address || address[0] == 0 || portNo == 0)
        return nullptr;
    HostEntry* entry = port(slot).hostList;
    for (int walked = 0; entry && walked < MAX_HOSTS_WALKED; ++walked, entry = entry->next) {
        if (entry->portNo == portNo && fieldText(entry->address) == address)
            return entry;
    }
    return nullptr;
}

void raiseHighestPortIndex() {
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        if (port(slot).state.load() == PORT_READY)
            raiseTo(static_cast<uint8_t>(slot));
    }
}

void freeHostList(PortRecord& record) {
    HostEntry* entry = record.hostList;
    while (entry) {
        HostEntry* next = entry->next;
        delete entry;
        entry = next;
    }
    record.hostList = nullptr;
    record.hostCursor = nullptr;
}

void clearPortRecord(PortRecord& record) {
    freeHostList(record);
    std::memset(record.portName, 0, sizeof record.portName);
    clearCurrentHost(record);
    clearRunTimeFields(record);
}

CurrentHost currentHost(PortRecord& record) {
    platform::MutexLock lock(record.hostLock);
    CurrentHost current{};
    std::memcpy(current.address, record.curAddress, sizeof current.address);
    current.address[sizeof current.address - 1] = 0;
    current.portNo = record.curTcpPort;
    return current;
}

void setCurrentHost(PortRecord& record, const char* address, int portNo) {
    platform::MutexLock lock(record.hostLock);
    copyField(record.curAddress, address);
    record.curTcpPort = portNo;
}

void clearCurrentHost(PortRecord& record) {
    platform::MutexLock lock(record.hostLock);
    std::memset(record.curAddress, 0, sizeof record.curAddress);
    record.curTcpPort = 0;
}
