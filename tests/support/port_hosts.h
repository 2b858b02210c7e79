#pragma once
// A port's hosts as the port table holds them, as values a test compares whole (a
// failure prints every host): the host list in order, and the current host. Header
// only, so that test_support, which tests of lower layers link, does not link config/.
#include "config/host_list.h"
#include "config/manager_context.h"
#include "tests/support/port_keys.h"

#include <ostream>
#include <string>
#include <vector>

// The port's host list in order; at most 200, so that a list gone round in a circle ends.
inline std::vector<HostValues> hostsOf(int slot) {
    std::vector<HostValues> hosts;
    for (HostEntry* entry = port(slot).hostList; entry && hosts.size() < 200; entry = entry->next)
        hosts.push_back({entry->address, entry->portNo, entry->description});
    return hosts;
}

// Gives the port in slot this name and host list in the table (the store is not
// written).
inline void setPortHosts(int slot, const char* name, const std::vector<HostValues>& hosts) {
    PortRecord& record = port(slot);
    freeHostList(record);
    copyField(record.portName, name);
    for (const HostValues& host : hosts)
        setHostEntry(*appendHostEntry(record), host.address, host.portNo, host.description);
}

struct CurrentHostValues {
    std::string address;
    int portNo;
    bool operator==(const CurrentHostValues&) const = default;
};

inline void PrintTo(const CurrentHostValues& host, std::ostream* out) {
    *out << "{\"" << host.address << "\", " << host.portNo << "}";
}

inline CurrentHostValues currentHostOf(int slot) {
    CurrentHost current = currentHost(port(slot));
    return {current.address, current.portNo};
}
