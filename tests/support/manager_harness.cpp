#include "tests/support/manager_harness.h"

#include "config/config_store.h"
#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_state.h"
#include "config/port_table.h"
#include "device/port_connection.h"
#include "driverlink/driver_link.h"
#include "platform/driver_faults.h"
#include "platform/faults.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "portdriver/install.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <termios.h>
#include <unistd.h>

using namespace platform;

ManagerHarness::ManagerHarness() {
    ensureEventLoop();
    deviceFolder_ = store_.folder() + "/dev";
    std::filesystem::create_directories(deviceFolder_);
    setenv("QUORVALINK_DEVDIR", deviceFolder_.c_str(), 1);
    resetContext();
    portdriver::install();
    messages_.install();
}

// Pending messages are dropped first, so no procedure starts again under the teardown;
// then every port is stopped with its connection, and the driver unloaded.
ManagerHarness::~ManagerHarness() {
    EXPECT_EQ(impossibleStateChanges(), 0u) << "a port moved between states it never may";
    messages_.uninstall();
    setMessageHandler(nullptr);
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        PortRecord& record = port(slot);
        record.relayActive.store(0);
        if (record.state.load() != PORT_STOPPED)
            stopPort(slot, true);
        dropConnection(record);
    }
    closeDriver();
    // Queued socket deletions and messages go before the next test.
    QCoreApplication::sendPostedEvents();
    while (pumpOneMessage()) {
    }
    resetContext();
    unsetenv("QUORVALINK_DEVDIR");
}

int ManagerHarness::addPort(int slot, const char* comName, const std::string& address, int portNo) {
    HKEY key = nullptr;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key);
    regSetString(key, "PORTNAME", comName);
    regSetString(key, "IpAddr01", address);
    regSetDword(key, "TCPPortNo01", uint32_t(portNo));
    regSetString(key, "Description01", "test host");
    regSetString(key, "CurIPAddr", address);
    regSetDword(key, "CurTCPPortNo", uint32_t(portNo));
    RegCloseKey(key);
    reload();
    return slot;
}

void ManagerHarness::addHost(int slot, int entry, const std::string& address, int portNo,
                             const char* description) {
    HKEY key = nullptr;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key);
    char name[32];
    std::snprintf(name, sizeof name, "IpAddr%02d", entry);
    regSetString(key, name, address);
    std::snprintf(name, sizeof name, "TCPPortNo%02d", entry);
    regSetDword(key, name, uint32_t(portNo));
    std::snprintf(name, sizeof name, "Description%02d", entry);
    regSetString(key, name, description);
    RegCloseKey(key);
    reload();
}

void ManagerHarness::reload() {
    for (int slot = 0; slot < PORT_SLOTS; ++slot)
        if (port(slot).state.load() == PORT_STOPPED)
            freeHostList(port(slot));
    loadPortTable();
    sendMessage(WM_REFRESH_LIST, 0, 0);
}

std::string ManagerHarness::linkPath(const char* comName) const {
    return deviceFolder_ + "/" + comName;
}

int ManagerHarness::connectApplication(int slot, const char* comName) {
    if (!startPort(slot))
        return -1;
    int app = openApplicationPort(linkPath(comName));
    if (app < 0)
        return -1;
    if (!pumpUntil([&] { return port(slot).state.load() == PORT_CONNECTED; })) {
        ::close(app);
        return -1;
    }
    return app;
}

std::vector<uint8_t> settingsOf(int slot) {
    PortRecord& record = port(slot);
    platform::MutexLock lock(record.relayLock);
    std::array<uint8_t, 3> settings = lastSettings(record);
    return {settings.begin(), settings.end()};
}

vorlixsim::SimOptions simOptionsAt(const std::string& address) {
    vorlixsim::SimOptions options;
    options.address = address;
    options.portCount = 2;
    return options;
}

uint32_t portDword(int slot, const char* name, bool* found) {
    HKEY key = nullptr;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    *found = openPortKey(slot, &key) &&
             RegQueryValueEx(key, name, nullptr, reinterpret_cast<uint8_t*>(&value), &size) ==
                 ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    return value;
}

bool portHasValue(int slot, const char* name) {
    HKEY key = nullptr;
    bool found = openPortKey(slot, &key) &&
                 RegQueryValueEx(key, name, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    return found;
}

TraceLog::TraceLog() {
    setTraceCapture([this](const std::string& text) {
        std::lock_guard lock(mutex_);
        lines_.push_back(text);
    });
}

TraceLog::~TraceLog() {
    setTraceCapture({});
}

int TraceLog::count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return int(std::count(lines_.begin(), lines_.end(), text));
}

int openApplicationPort(const std::string& link) {
    int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios attrs{};
    tcgetattr(fd, &attrs);
    cfmakeraw(&attrs);
    tcsetattr(fd, TCSANOW, &attrs);
    return fd;
}

bool applicationHungUp(int fd) {
    uint8_t byte = 0;
    ssize_t n = ::read(fd, &byte, 1);
    return n == 0 || (n < 0 && errno == EIO);
}
