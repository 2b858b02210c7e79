#include "tests/platform/store_dump.h"

#include "platform/registry.h"

using namespace platform;

namespace {

void dump(HKEY key, const std::string& path, std::string* out) {
    std::vector<RegValue> values;
    std::vector<std::string> names;
    if (regEnumValues(key, &values) != ERROR_SUCCESS ||
        regEnumSubkeys(key, &names) != ERROR_SUCCESS) {
        *out += "[" + path + "] unreadable\n";
        return;
    }
    *out += "[" + path + "]\n";
    for (const RegValue& value : values) {
        *out += value.name + ":" + std::to_string(value.type) + ":";
        for (uint8_t byte : value.data)
            *out += std::to_string(byte) + ",";
        *out += "\n";
    }
    for (const std::string& name : names) {
        HKEY child = nullptr;
        if (RegOpenKeyEx(key, name.c_str(), &child) != ERROR_SUCCESS) {
            *out += "[" + path + "\\" + name + "] cannot open\n";
            continue;
        }
        dump(child, path + "\\" + name, out);
        RegCloseKey(child);
    }
}

} // namespace

std::string storeSnapshot() {
    std::string out;
    dump(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", &out);
    return out;
}
