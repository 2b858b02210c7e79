#include "config/config_store.h"

#include "config/manager_context.h"
#include "platform/message_box.h"
#include "platform/registry.h"

#include <cstdio>
#include <cstring>

using namespace platform;

namespace {

// Every value is read through a buffer of this size; a value that does not fit,
// with room for the NUL a text needs, counts as missing.
constexpr uint32_t READ_BUFFER_SIZE = 128;

// Deleted at every load: they described queues and events of the previous run.
// "hWin32Event_Dummy", "IsWin16Port" and "IsWin16PortConnected" are left alone.
constexpr const char* STALE_VALUES[] = {"pOutQueue", "pInQueue", "hWin32Event", "hWin32Event_Read",
                                        "MaximumBaud"};

struct ReadBuffer {
    char bytes[READ_BUFFER_SIZE + 1] = {};
};

std::string numberedName(const char* prefix, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%02d", prefix, n);
    return name;
}

// The stored text has no NUL of its own, so a 128-byte text leaves no room for one
// in the 128-byte buffer: it is as missing as a longer one.
bool readText(HKEY key, const std::string& name, ReadBuffer& buffer) {
    std::memset(buffer.bytes, 0, sizeof buffer.bytes);
    uint32_t size = READ_BUFFER_SIZE;
    if (RegQueryValueEx(key, name.c_str(), nullptr, reinterpret_cast<uint8_t*>(buffer.bytes),
                        &size) != ERROR_SUCCESS)
        return false;
    return size < READ_BUFFER_SIZE;
}

// The type is not checked, as the registry loader never did; a value shorter than
// four bytes has no number in it and counts as missing.
bool readDword(HKEY key, const std::string& name, int& value) {
    uint8_t bytes[READ_BUFFER_SIZE] = {};
    uint32_t size = READ_BUFFER_SIZE;
    if (RegQueryValueEx(key, name.c_str(), nullptr, bytes, &size) != ERROR_SUCCESS)
        return false;
    if (size < 4)
        return false;
    value = static_cast<int>(uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 |
                             uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24);
    return true;
}

// Fills entry n; false at the first value that is missing, with what was read before
// it left in the entry.
bool readHostEntry(HKEY key, int n, HostEntry& entry) {
    ReadBuffer text;
    if (!readText(key, numberedName("IPAddr", n), text))
        return false;
    copyField(entry.address, text.bytes);
    if (!readDword(key, numberedName("TCPPortNo", n), entry.portNo))
        return false;
    if (!readText(key, numberedName("Description", n), text))
        return false;
    copyField(entry.description, text.bytes);
    return true;
}

// Without a complete entry the list is the first entry as far as it was filled;
// otherwise the entry being filled when the values ran out is dropped.
void loadHostList(HKEY key, PortRecord& record) {
    record.hostList = new HostEntry{};
    HostEntry* cursor = record.hostList;
    HostEntry* lastComplete = nullptr;
    for (int n = 1; n <= MAX_HOST_ENTRIES && readHostEntry(key, n, *cursor); ++n) {
        lastComplete = cursor;
        cursor->next = new HostEntry{};
        cursor = cursor->next;
    }
    if (lastComplete) {
        delete cursor;
        lastComplete->next = nullptr;
        cursor = lastComplete;
    }
    record.hostCursor = cursor;
}

// A saved address longer than curAddress can hold is forgotten rather than cut: cut,
// it would name a different host than the one configured.
void loadCurrentHost(HKEY key, int slot) {
    ReadBuffer address;
    int portNo = 0;
    if (!readText(key, "CurIPAddr", address))
        address.bytes[0] = 0;
    if (!readDword(key, "CurTCPPortNo", portNo))
        portNo = 0;
    bool fits = std::strlen(address.bytes) < sizeof(PortRecord::curAddress);
    if (fits && findHost(slot, address.bytes, portNo))
        setCurrentHost(port(slot), address.bytes, portNo);
    else
        clearCurrentHost(port(slot));
}

void deleteStaleValues(HKEY key) {
    for (const char* name : STALE_VALUES)
        RegDeleteValue(key, name);
}

// An empty "PORTNAME" would give a slot that looks free but owns a host list, which
// the next Add would take over; it is treated as missing.
void loadSlot(int slot) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key) != ERROR_SUCCESS)
        return;
    ReadBuffer name;
    if (readText(key, "PORTNAME", name) && name.bytes[0] != 0) {
        PortRecord& record = port(slot);
        copyField(record.portName, name.bytes);
        loadHostList(key, record);
        loadCurrentHost(key, slot);
        deleteStaleValues(key);
    }
    RegCloseKey(key);
}

} // namespace

int loadPortTable() {
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        clearPortRecord(port(slot));
        loadSlot(slot);
    }
    return 1;
}

int saveCurrentHost(int slot) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key) != ERROR_SUCCESS) {
        messageBox(BoxOwner::None, "Can't Open Registry Key", "Fatal Error", MB_ICONERROR);
        return 0;
    }
    CurrentHost current = currentHost(port(slot));
    regSetString(key, "CurIPAddr", current.address);
    long result = regSetDword(key, "CurTCPPortNo", static_cast<uint32_t>(current.portNo));
    RegFlushKey(key);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

void freeHostLists() {
    for (int slot = 0; slot < PORT_SLOTS; ++slot)
        freeHostList(port(slot));
}
