#include "tests/support/temp_store.h"

#include "platform/registry.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

TempStore::TempStore() {
    char pattern[] = "/tmp/quorvalink-test-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    if (const char* home = std::getenv("QUORVALINK_HOME")) {
        hadHome_ = true;
        previousHome_ = home;
    }
    setenv("QUORVALINK_HOME", folder_.c_str(), 1);
    platform::resetRegistryStore();
}

TempStore::~TempStore() {
    platform::resetRegistryStore();
    if (hadHome_)
        setenv("QUORVALINK_HOME", previousHome_.c_str(), 1);
    else
        unsetenv("QUORVALINK_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}
