#include "tools/travenor_reg/key_path.h"

#include "platform/registry.h"
#include "tools/travenor_reg/value_text.h"

#include <strings.h>
#include <vector>

namespace travenor {

namespace {

bool isRootName(const std::string& name) {
    return strcasecmp(name.c_str(), "HKLM") == 0 ||
           strcasecmp(name.c_str(), "HKEY_LOCAL_MACHINE") == 0;
}

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

} // namespace

bool parseKeyPath(const std::string& text, std::string* subKey, std::string* error) {
    std::vector<std::string> parts = components(text);
    if (!isRootName(parts[0])) {
        *error =
            "unsupported root key " + quotedText(parts[0]) + " (only HKLM or HKEY_LOCAL_MACHINE)";
        return false;
    }
    subKey->clear();
    for (size_t i = 1; i < parts.size(); i++) {
        if (parts[i].empty() || parts[i].size() > 255) {
            *error = "malformed key " + quotedText(text);
            return false;
        }
        *subKey += (i > 1 ? "\\" : "") + parts[i];
    }
    return true;
}

std::string fullKeyName(const std::string& subKey) {
    return subKey.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + subKey;
}

std::string storedSpelling(const std::string& subKey) {
    if (subKey.empty())
        return subKey;
    // Down the path one level at a time, so that a deep key costs one step per level.
    std::string spelled;
    platform::HKEY key = platform::HKEY_LOCAL_MACHINE;
    for (const std::string& part : components(subKey)) {
        std::vector<std::string> names;
        platform::HKEY child = nullptr;
        platform::regEnumSubkeys(key, &names);
        std::string match = part;
        for (const std::string& name : names)
            if (strcasecmp(name.c_str(), part.c_str()) == 0)
                match = name;
        long rc = platform::RegOpenKeyEx(key, match.c_str(), &child);
        platform::RegCloseKey(key);
        if (rc != platform::ERROR_SUCCESS)
            return subKey;
        key = child;
        spelled += (spelled.empty() ? "" : "\\") + match;
    }
    platform::RegCloseKey(key);
    return spelled;
}

bool checkWrittenName(const std::string& name, const std::string& what, std::string* error) {
    if (name.find('\0') != std::string::npos)
        *error = what + " holds a NUL byte";
    else if (name.find_first_of("\r\n") != std::string::npos)
        *error = what + " holds a line break";
    else
        return true;
    return false;
}

bool checkKeyLevels(const std::string& subKey, std::string* error) {
    size_t levels = subKey.empty() ? 0 : components(subKey).size();
    if (levels <= platform::MAX_KEY_LEVELS)
        return true;
    *error = "key is " + std::to_string(levels) + " levels deep; at most " +
             std::to_string(platform::MAX_KEY_LEVELS) + " are allowed";
    return false;
}

} // namespace travenor
