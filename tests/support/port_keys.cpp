#include "tests/support/port_keys.h"

#include "platform/registry.h"

#include <cstdint>
#include <cstdio>
#include <ostream>

using namespace platform;

namespace {

std::string valueLine(const std::string& name, uint32_t type, const std::vector<uint8_t>& data) {
    std::string line = name + " " + std::to_string(type);
    char hex[4];
    for (uint8_t byte : data) {
        std::snprintf(hex, sizeof hex, " %02X", byte);
        line += hex;
    }
    return line;
}

std::string numbered(const char* prefix, size_t n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%02zu", prefix, n);
    return name;
}

} // namespace

void PrintTo(const HostValues& host, std::ostream* out) {
    *out << "{\"" << host.address << "\", " << host.portNo << ", \"" << host.description << "\"}";
}

std::string textLine(const std::string& name, const std::string& text) {
    return valueLine(name, REG_SZ, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string dwordLine(const std::string& name, uint32_t value) {
    return valueLine(
        name, REG_DWORD,
        {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
}

std::string binaryLine(const std::string& name, const std::vector<uint8_t>& bytes) {
    return valueLine(name, REG_BINARY, bytes);
}

std::vector<std::string> portKeyLines(int slot, const std::string& portName,
                                      const std::vector<HostValues>& hosts) {
    std::string description = "Virtual Communications Port (" + portName + ")";
    char driver[32];
    std::snprintf(driver, sizeof driver, "Ports\\%04d", slot + 9000);
    std::vector<std::string> lines = {
        textLine("Class", "Ports"),
        binaryLine("ConfigFlags", {0x04, 0x00, 0x00, 0x00}),
        textLine("DeviceDesc", description),
        textLine("FRIENDLYNAME", description),
        textLine("Driver", driver),
        textLine("HardwareID", "*PNP0500"),
        textLine("Mfg", "(Standard port types)"),
        textLine("PORTNAME", portName),
    };
    for (size_t i = 0; i < hosts.size(); ++i) {
        lines.push_back(textLine(numbered("IpAddr", i + 1), hosts[i].address));
        lines.push_back(dwordLine(numbered("TCPPortNo", i + 1), uint32_t(hosts[i].portNo)));
        lines.push_back(textLine(numbered("Description", i + 1), hosts[i].description));
    }
    return lines;
}

std::vector<std::string> portClassKeyLines() {
    return {
        textLine("ConfigDialog", "serialui.dll"),
        textLine("Contention", "*vcd"),
        binaryLine("DCB", {0x1C, 0x00, 0x00, 0x00, 0x80, 0x25, 0x00, 0x00, 0x11, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x0A, 0x00, 0x08, 0x00,
                           0x00, 0x11, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00}),
        textLine("DevLoader", "*vcomm"),
        textLine("DriverDesc", "Virtual Communications Port"),
        textLine("EnumPropPages", "serialui.dll, EnumPropPages"),
        textLine("PortDriver", "tunlcom.vxd"),
        binaryLine("PortSubClass", {0x01}),
    };
}

std::vector<std::string> storedKeyLines(const std::string& keyName) {
    std::vector<std::string> lines;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyName.c_str(), &key) != ERROR_SUCCESS)
        return lines;
    std::vector<RegValue> values;
    regEnumValues(key, &values);
    RegCloseKey(key);
    for (const RegValue& value : values)
        lines.push_back(valueLine(value.name, value.type, value.data));
    return lines;
}

bool storedKeyExists(const std::string& keyName) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyName.c_str(), &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}
