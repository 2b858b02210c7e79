#include "config/port_registration.h"

#include "config/manager_context.h"
#include "config/port_key.h"
#include "platform/message_box.h"
#include "platform/registry.h"

#include <cstdio>
#include <cstring>
#include <vector>

using namespace platform;

namespace {

constexpr const char* DEVICE_NODE_PARENT = "Enum\\Root\\Redirector";
constexpr int CLASS_KEY_BASE = 9000;
constexpr const char* CREATE_FAILED = "Can't create Registry Key";

constexpr uint8_t CONFIG_FLAGS[] = {0x04, 0x00, 0x00, 0x00};
constexpr uint8_t PORT_SUB_CLASS[] = {0x01};

// The device-control block of a port nobody has configured yet: 9600 baud, 8 data
// bits, no parity, one stop bit, binary mode, DTR on, no flow control.
constexpr uint8_t DEFAULT_DCB[28] = {
    0x1C, 0x00, 0x00, 0x00, // structure length 28
    0x80, 0x25, 0x00, 0x00, // 9600 baud
    0x11, 0x00, 0x00, 0x00, // binary mode, DTR control "enable"
    0x00, 0x00,             // reserved
    0x0A, 0x00,             // XON limit
    0x0A, 0x00,             // XOFF limit
    0x08,                   // byte size
    0x00,                   // no parity
    0x00,                   // one stop bit
    0x11,                   // XON character
    0x13,                   // XOFF character
    0x00, 0x00, 0x00,       // error, end-of-file and event characters
    0x00, 0x00,             // reserved
};
static_assert(sizeof DEFAULT_DCB == 28);

struct Notice {
    const char* text;
    const char* caption;
};

// The writes of one registration: whether the store refused any of them, and the
// messages to show once the transaction has ended (a box shown inside it would keep
// every other thread off the store while the user reads it).
struct Registration {
    bool refused = false;
    std::vector<Notice> notices;

    void note(long result) {
        if (result != ERROR_SUCCESS)
            refused = true;
    }
    void text(HKEY key, const char* name, const std::string& value) {
        note(regSetString(key, name, value));
    }
    void dword(HKEY key, const char* name, uint32_t value) { note(regSetDword(key, name, value)); }
    template <size_t N> void binary(HKEY key, const char* name, const uint8_t (&bytes)[N]) {
        note(RegSetValueEx(key, name, REG_BINARY, bytes, N));
    }
    // A value that is not there is as good as deleted.
    void remove(HKEY key, const char* name) {
        long result = RegDeleteValue(key, name);
        if (result != ERROR_FILE_NOT_FOUND)
            note(result);
    }
};

std::string numbered(const char* prefix, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%02d", prefix, n);
    return name;
}

// A field's text up to its NUL, never past the field.
template <size_t N> std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

void ensureParentKey(Registration& r) {
    HKEY parent = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, DEVICE_NODE_PARENT, &parent) != ERROR_SUCCESS &&
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, DEVICE_NODE_PARENT, &parent) != ERROR_SUCCESS) {
        r.refused = true;
        r.notices.push_back({CREATE_FAILED, "Error"});
    }
    if (parent)
        RegCloseKey(parent);
}

// Null when it cannot be created; the writes that follow then fail as well.
HKEY createKey(const std::string& name, Registration& r, const char* failureCaption) {
    HKEY key = nullptr;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, name.c_str(), &key) == ERROR_SUCCESS)
        return key;
    r.refused = true;
    if (failureCaption)
        r.notices.push_back({CREATE_FAILED, failureCaption});
    return nullptr;
}

void writeDeviceValues(HKEY node, int slot, const std::string& portName, Registration& r) {
    std::string description = "Virtual Communications Port (" + portName + ")";
    char driver[24]; // room for any int, so the compiler can see nothing is cut
    std::snprintf(driver, sizeof driver, "Ports\\%04d", slot + CLASS_KEY_BASE);
    r.text(node, "Class", "Ports");
    r.binary(node, "ConfigFlags", CONFIG_FLAGS);
    r.text(node, "DeviceDesc", description);
    r.text(node, "FRIENDLYNAME", description);
    r.text(node, "Driver", driver);
    r.text(node, "HardwareID", "*PNP0500");
    r.text(node, "Mfg", "(Standard port types)");
    r.text(node, "PORTNAME", portName);
}

// Entries 01.. in list order (99 at most), then every numbered value beyond the list
// goes, so a list that shrank leaves nothing of its old tail.
void writeHostList(HKEY node, const PortRecord& record, Registration& r) {
    int written = 0;
    for (const HostEntry* entry = record.hostList; entry && written < MAX_HOST_ENTRIES;
         entry = entry->next) {
        int n = ++written;
        r.text(node, numbered("IpAddr", n).c_str(), fieldText(entry->address));
        r.dword(node, numbered("TCPPortNo", n).c_str(), uint32_t(entry->portNo));
        r.text(node, numbered("Description", n).c_str(), fieldText(entry->description));
    }
    for (int m = written + 1; m <= MAX_HOST_ENTRIES; ++m) {
        r.remove(node, numbered("Description", m).c_str());
        r.remove(node, numbered("IpAddr", m).c_str());
        r.remove(node, numbered("TCPPortNo", m).c_str());
    }
}

void writeClassValues(HKEY classKey, Registration& r) {
    r.text(classKey, "ConfigDialog", "serialui.dll");
    r.text(classKey, "Contention", "*vcd");
    r.binary(classKey, "DCB", DEFAULT_DCB);
    r.text(classKey, "DevLoader", "*vcomm");
    r.text(classKey, "DriverDesc", "Virtual Communications Port");
    r.text(classKey, "EnumPropPages", "serialui.dll, EnumPropPages");
    r.text(classKey, "PortDriver", "tunlcom.vxd");
    r.binary(classKey, "PortSubClass", PORT_SUB_CLASS);
}

// A refusal that no creation message explains is still the port's key not written.
void showNotices(Registration& r) {
    if (r.refused && r.notices.empty())
        r.notices.push_back({CREATE_FAILED, "Fatal Error"});
    for (const Notice& notice : r.notices)
        messageBox(BoxOwner::None, notice.text, notice.caption, MB_ICONERROR);
}

bool keyGone(long result) {
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

} // namespace

std::string portClassKeyName(int slot) {
    char name[64];
    std::snprintf(name, sizeof name, "System\\CurrentControlSet\\Services\\Class\\Ports\\%04d",
                  slot + CLASS_KEY_BASE);
    return name;
}

int registerPort(int slot) {
    if (slot < 0 || slot >= PORT_SLOTS || !port(slot).hostList || !port(slot).portName[0])
        return 0;
    PortRecord& record = port(slot);
    std::string portName = fieldText(record.portName);
    Registration r;
    HKEY node = nullptr;
    HKEY classKey = nullptr;
    {
        RegTransaction group;
        if (group.status() != ERROR_SUCCESS) {
            r.refused = true;
        } else {
            ensureParentKey(r);
            node = createKey(portKeyName(slot), r, "Fatal Error");
            writeDeviceValues(node, slot, portName, r);
            writeHostList(node, record, r);
            classKey = createKey(portClassKeyName(slot), r, nullptr);
            writeClassValues(classKey, r);
            if (!r.refused)
                r.note(group.commit());
        }
    }
    if (!r.refused) {
        RegFlushKey(node);
        RegFlushKey(classKey);
    }
    if (node)
        RegCloseKey(node);
    long closed = classKey ? RegCloseKey(classKey) : ERROR_INVALID_HANDLE;
    showNotices(r);
    return !r.refused && closed == ERROR_SUCCESS;
}

int unregisterPort(int slot) {
    bool refused = true;
    {
        RegTransaction group;
        if (group.status() == ERROR_SUCCESS &&
            keyGone(RegDeleteKey(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str())) &&
            keyGone(RegDeleteKey(HKEY_LOCAL_MACHINE, portClassKeyName(slot).c_str())))
            refused = group.commit() != ERROR_SUCCESS;
    }
    if (refused) {
        messageBox(BoxOwner::Window, "Can't access Registry.", "Error", MB_ICONERROR);
        return 0;
    }
    return 1;
}
