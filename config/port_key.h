#pragma once
// The configuration key of a port slot, HKLM "Enum\Root\Redirector\%04d": the port's
// device node and the place where the driver link and the open procedure publish
// run-time values for the driver.
#include "platform/registry.h"

#include <cstdio>
#include <string>

inline std::string portKeyName(int slot) {
    char name[40];
    std::snprintf(name, sizeof name, "Enum\\Root\\Redirector\\%04d", slot);
    return name;
}

// Opens the slot's existing key; false when it cannot be opened.
inline bool openPortKey(int slot, platform::HKEY* key) {
    return platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), key) ==
           platform::ERROR_SUCCESS;
}

// Deletes the named values from the slot's key, ignoring failures.
inline void deletePortValues(int slot, std::initializer_list<const char*> names) {
    platform::HKEY key = nullptr;
    if (!openPortKey(slot, &key))
        return;
    for (const char* name : names)
        platform::RegDeleteValue(key, name);
    platform::RegCloseKey(key);
}
