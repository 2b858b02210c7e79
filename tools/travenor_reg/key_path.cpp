#include "tools/travenor_reg/key_path.h"

#include "platform/registry.h"

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
        *error = "unsupported root key '" + parts[0] + "' (only HKLM or HKEY_LOCAL_MACHINE)";
        return false;
    }
    subKey->clear();
    for (size_t i = 1; i < parts.size(); i++) {
        if (parts[i].empty() || parts[i].size() > 255) {
            *error = "malformed key '" + text + "'";
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
    std::string spelled;
    for (const std::string& part : components(subKey)) {
        platform::HKEY key = nullptr;
        std::vector<std::string> names;
        if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, spelled.c_str(), &key) != 0)
            return subKey;
        platform::regEnumSubkeys(key, &names);
        platform::RegCloseKey(key);
        std::string match = part;
        for (const std::string& name : names)
            if (strcasecmp(name.c_str(), part.c_str()) == 0)
                match = name;
        spelled += (spelled.empty() ? "" : "\\") + match;
    }
    return spelled;
}

} // namespace travenor
