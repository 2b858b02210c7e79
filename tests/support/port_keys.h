#pragma once
// The two store keys of a registered port as lines ("name type bytes"), so that a test
// compares a whole key value by value and a failure prints every difference: what the
// port registration must have written, and what the store holds.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// One entry of a port's host list, as stored and as the port table holds it
// (tests/support/port_hosts.h).
struct HostValues {
    std::string address;
    int portNo;
    std::string description;
    bool operator==(const HostValues&) const = default;
};
void PrintTo(const HostValues& host, std::ostream* out);

std::string textLine(const std::string& name, const std::string& text);
std::string dwordLine(const std::string& name, uint32_t value);
std::string binaryLine(const std::string& name, const std::vector<uint8_t>& bytes);

// The device node "Enum\Root\Redirector\%04d" of a port, in the order written.
std::vector<std::string> portKeyLines(int slot, const std::string& portName,
                                      const std::vector<HostValues>& hosts);
// The port class key, in the order written.
std::vector<std::string> portClassKeyLines();

// The stored values of a key in the order first written; empty when the key is missing.
std::vector<std::string> storedKeyLines(const std::string& keyName);
bool storedKeyExists(const std::string& keyName);
