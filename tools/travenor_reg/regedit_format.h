#pragma once
// The REGEDIT4 text format, as regedit writes it:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Enum\Root\Redirector\0042]
//   "PORTNAME"="COM5"
//   "TCPPortNo01"=dword:00000001
//   "ConfigFlags"=hex:00,00,00,00
//
// Names and texts escape backslash and quote with a backslash; @ is the default value.
// Long hex data continues on the next line after a trailing backslash. Text holding
// a NUL or a line break is written as hex(1): so that it survives the round trip.
// Reading also accepts [-KEY] (delete the key and its subtree), "Name"=- (delete the
// value), hex(1): and hex(4):, blank lines and ; comments.
#include <cstdint>
#include <string>
#include <vector>

namespace travenor {

struct ImportStep {
    enum Kind { OpenKey, DeleteKey, SetValue, DeleteValue };
    Kind kind = OpenKey;
    int line = 0;
    std::string subKey; // OpenKey, DeleteKey: the path below HKEY_LOCAL_MACHINE
    std::string name;   // SetValue, DeleteValue
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// The steps of a REGEDIT4 text, or false with *error "line N: problem".
bool parseRegedit(const std::string& text, std::vector<ImportStep>* steps, std::string* error);

// Pieces of an export, each ending in a line break: the file's first lines, a key's
// header line, one value (possibly continued over several lines).
std::string regeditHeader();
std::string regeditKeyHeader(const std::string& fullName);
std::string regeditValueLine(const std::string& name, uint32_t type,
                             const std::vector<uint8_t>& data);

} // namespace travenor
