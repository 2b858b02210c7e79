#pragma once
// What the driver reads from the configuration store: the registered ports (every
// "Enum\Root\Redirector\%04d" key with a "PORTNAME") and the values the manager
// publishes for a started port. Any thread; the store serialises its calls.
#include "rings/port_names.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace portdriver {

struct RegisteredPort {
    int slot;
    std::string name;
};

struct PublishedValues {
    uint32_t outQueue;
    uint32_t inQueue;
    uint32_t writeEvent;
    uint32_t readEvent;
    // "hWin32Event_Dummy": set by the driver when it made room in a full inQueue; 0
    // when not published.
    uint32_t sliceEvent = 0;
    // The 16-bit request has the port open: "IsWin16Port" and "IsWin16PortConnected"
    // are 1 and "MaximumBaud" is there. "MaximumBaud" goes at every start of the
    // manager and at every close, so marks left behind by an earlier run do not count.
    bool sixteenBitOpen = false;
};

// COM1..COM99 (rings/port_names.h): the names a port may have (the name becomes a file
// name). A name with a NUL inside is none.
inline bool isPortName(const std::string& name) {
    return name.find('\0') == std::string::npos && ::isPortName(name.c_str());
}
// In slot order; a name used by an earlier slot is skipped.
std::vector<RegisteredPort> registeredPorts();
// Missing when the port is not started (any of the four values absent).
std::optional<PublishedValues> publishedValues(int slot);

} // namespace portdriver
