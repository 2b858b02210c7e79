#include "portdriver/port_registry.h"

#include "platform/registry.h"

#include <cstdio>
#include <set>

namespace portdriver {

namespace {
constexpr int SLOTS = 100;

std::string slotKey(int slot) {
    char key[64];
    std::snprintf(key, sizeof key, "Enum\\Root\\Redirector\\%04d", slot);
    return key;
}

std::optional<std::string> readString(platform::HKEY key, const char* name) {
    char text[64] = {};
    uint32_t type = 0;
    uint32_t size = sizeof text - 1;
    if (platform::RegQueryValueEx(key, name, &type, reinterpret_cast<uint8_t*>(text), &size) !=
            platform::ERROR_SUCCESS ||
        type != platform::REG_SZ)
        return std::nullopt;
    return std::string(text, size > 0 && text[size - 1] == '\0' ? size - 1 : size);
}

std::optional<uint32_t> readDword(platform::HKEY key, const char* name) {
    uint8_t bytes[4] = {};
    uint32_t type = 0;
    uint32_t size = sizeof bytes;
    if (platform::RegQueryValueEx(key, name, &type, bytes, &size) != platform::ERROR_SUCCESS ||
        type != platform::REG_DWORD || size != 4)
        return std::nullopt;
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

std::optional<std::string> portNameOf(int slot) {
    platform::HKEY key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, slotKey(slot).c_str(), &key) !=
        platform::ERROR_SUCCESS)
        return std::nullopt;
    std::optional<std::string> name = readString(key, "PORTNAME");
    platform::RegCloseKey(key);
    return name;
}

} // namespace

std::vector<RegisteredPort> registeredPorts() {
    std::vector<RegisteredPort> ports;
    std::set<std::string> taken;
    for (int slot = 0; slot < SLOTS; ++slot) {
        std::optional<std::string> name = portNameOf(slot);
        if (name && isPortName(*name) && taken.insert(*name).second)
            ports.push_back({slot, *name});
    }
    return ports;
}

std::optional<PublishedValues> publishedValues(int slot) {
    platform::HKEY key = nullptr;
    if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, slotKey(slot).c_str(), &key) !=
        platform::ERROR_SUCCESS)
        return std::nullopt;
    std::optional<uint32_t> out = readDword(key, "pOutQueue");
    std::optional<uint32_t> in = readDword(key, "pInQueue");
    std::optional<uint32_t> write = readDword(key, "hWin32Event");
    std::optional<uint32_t> read = readDword(key, "hWin32Event_Read");
    std::optional<uint32_t> slice = readDword(key, "hWin32Event_Dummy");
    bool sixteenBitOpen = readDword(key, "IsWin16Port") == 1u &&
                          readDword(key, "IsWin16PortConnected") == 1u &&
                          readDword(key, "MaximumBaud").has_value();
    platform::RegCloseKey(key);
    if (!out || !in || !write || !read)
        return std::nullopt;
    return PublishedValues{*out, *in, *write, *read, slice.value_or(0), sixteenBitOpen};
}

} // namespace portdriver
