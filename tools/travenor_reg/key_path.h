#pragma once
// Key names as the user writes them: "HKLM\Enum\Root\Redirector\0042" or
// "HKEY_LOCAL_MACHINE\...", the root in any letter case. The store has no other root.
#include <string>

namespace travenor {

// The path below the root ("" for the root itself), or false with *error set.
bool parseKeyPath(const std::string& text, std::string* subKey, std::string* error);
// "HKEY_LOCAL_MACHINE" followed by subKey, if any.
std::string fullKeyName(const std::string& subKey);
// subKey with every component spelled as the store keeps it; subKey itself when a
// component is missing.
std::string storedSpelling(const std::string& subKey);

// Checks a key or value name that add or import is about to write (what: "key name"
// or "value name"). A NUL would cut the name short in the store, so that the write
// lands on another key or value; a line break (CR or LF) would not survive an export.
bool checkWrittenName(const std::string& name, const std::string& what, std::string* error);
// Checks that subKey lies no deeper than the store lets keys be created.
bool checkKeyLevels(const std::string& subKey, std::string* error);

} // namespace travenor
