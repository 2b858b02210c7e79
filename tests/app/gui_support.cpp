#include "tests/app/gui_support.h"

#include "config/config_store.h"
#include "config/port_key.h"
#include "platform/registry.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdio>

void ensureQtApp() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "app_test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: worker threads of a failed test may still post to it.
    new QApplication(argc, argv);
}

namespace {
std::string numbered(const char* prefix, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%02d", prefix, n);
    return name;
}
} // namespace

void writeStoredPort(int slot, const std::string& name, const std::vector<StoredHost>& hosts,
                     const std::string& curAddress, int curPortNo) {
    using namespace platform;
    HKEY key = nullptr;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot create the key of slot " << slot;
        return;
    }
    regSetString(key, "PORTNAME", name);
    for (size_t i = 0; i < hosts.size(); ++i) {
        int n = int(i) + 1;
        regSetString(key, numbered("IPAddr", n).c_str(), hosts[i].address);
        regSetDword(key, numbered("TCPPortNo", n).c_str(), uint32_t(hosts[i].portNo));
        regSetString(key, numbered("Description", n).c_str(), hosts[i].description);
    }
    regSetString(key, "CurIPAddr", curAddress);
    regSetDword(key, "CurTCPPortNo", uint32_t(curPortNo));
    RegCloseKey(key);
}

std::string savedAddress(int slot) {
    platform::HKEY key = nullptr;
    if (!openPortKey(slot, &key))
        return "(no key)";
    char text[128] = {};
    uint32_t size = sizeof text - 1;
    bool found =
        platform::RegQueryValueEx(key, "CurIPAddr", nullptr, reinterpret_cast<uint8_t*>(text),
                                  &size) == platform::ERROR_SUCCESS;
    platform::RegCloseKey(key);
    return found ? std::string(text, size) : "(none)";
}
