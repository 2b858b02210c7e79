#include "platform/paths.h"

#include <cstdlib>
#include <filesystem>

namespace platform {

namespace {
std::string fromEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : "";
}

std::string ensured(const std::string& folder) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}
} // namespace

std::string storeFolder() {
    std::string home = fromEnv("QUORVALINK_HOME");
    if (home.empty()) {
        std::string data = fromEnv("XDG_DATA_HOME");
        if (data.empty())
            data = fromEnv("HOME") + "/.local/share";
        home = data + "/quorvalink";
    }
    return ensured(home);
}

std::string runtimeFolder() {
    std::string runtime = fromEnv("XDG_RUNTIME_DIR");
    return ensured(runtime.empty() ? "/tmp" : runtime);
}

std::string deviceFolder() {
    std::string devices = fromEnv("QUORVALINK_DEVDIR");
    return ensured(devices.empty() ? runtimeFolder() + "/quorvalink" : devices);
}

} // namespace platform
