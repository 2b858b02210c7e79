#include "tests/support/manager_harness.h"

#include "app/main_dialog.h"
#include "config/config_store.h"
#include "config/port_key.h"
#include "config/port_table.h"
#include "config/service_state.h"
#include "driverlink/driver_link.h"
#include "platform/driver_faults.h"
#include "platform/faults.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "platform/ui_thread.h"
#include "portdriver/install.h"
#include "tests/app/gui_support.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <termios.h>
#include <unistd.h>

using namespace platform;

namespace {

void resetPortTable() {
    for (int slot = 0; slot < PORT_SLOTS; ++slot)
        clearPortRecord(port(slot));
    highestPortIndex.store(0);
    threadRunning.store(1);
    serviceState.serviceBusy.store(0);
    serviceState.serviceDepth = 0;
    serviceState.reconnectRunning.store(0);
}

void setString(HKEY key, const char* name, const char* text) {
    regSetString(key, name, text);
}


} // namespace

ManagerHarness::ManagerHarness() {
    ensureQtApp();
    deviceFolder_ = store_.folder() + "/dev";
    std::filesystem::create_directories(deviceFolder_);
    setenv("QUORVALINK_DEVDIR", deviceFolder_.c_str(), 1);
    resetPortTable();
    portdriver::install();
    dialog_ = std::make_unique<MainDialog>();
    mainDialog = dialog_.get();
    setMainWindow(dialog_.get());
    setMessageHandler([this](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        return dialog_->onMessage(message, wParam, lParam);
    });
    dialog_->initPortListColumns();
}

ManagerHarness::~ManagerHarness() {
    for (int slot = 0; slot < PORT_SLOTS; ++slot) {
        PortRecord& record = port(slot);
        record.relayActive.store(0);
        if (record.state.load() != PORT_STOPPED)
            stopPort(slot, true);
    }
    closeDriver();
    // Sockets and queued work of the procedures go before the window does.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    setMessageHandler(nullptr);
    setMainWindow(nullptr);
    mainDialog = nullptr;
    dialog_.reset();
    resetPortTable();
    resetTickOffset();
    clearPlatformFaults();
    clearDriverFaults();
    unsetenv("QUORVALINK_DEVDIR");
}

int ManagerHarness::addPort(int slot, const char* comName, const char* address, int portNo) {
    HKEY key = nullptr;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key);
    setString(key, "PORTNAME", comName);
    setString(key, "IpAddr01", address);
    regSetDword(key, "TCPPortNo01", uint32_t(portNo));
    setString(key, "Description01", "test host");
    setString(key, "CurIPAddr", address);
    regSetDword(key, "CurTCPPortNo", uint32_t(portNo));
    RegCloseKey(key);
    reload();
    return slot;
}

void ManagerHarness::addHost(int slot, int entry, const char* address, int portNo,
                             const char* description) {
    HKEY key = nullptr;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key);
    char name[32];
    std::snprintf(name, sizeof name, "IpAddr%02d", entry);
    setString(key, name, address);
    std::snprintf(name, sizeof name, "TCPPortNo%02d", entry);
    regSetDword(key, name, uint32_t(portNo));
    std::snprintf(name, sizeof name, "Description%02d", entry);
    setString(key, name, description);
    RegCloseKey(key);
    reload();
}

void ManagerHarness::reload() {
    for (int slot = 0; slot < PORT_SLOTS; ++slot)
        if (port(slot).state.load() == PORT_STOPPED)
            freeHostList(port(slot));
    loadPortTable();
    dialog_->refreshPortList();
}

std::string ManagerHarness::linkPath(const char* comName) const {
    return deviceFolder_ + "/" + comName;
}

bool ManagerHarness::pumpUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (!pumpOneMessage())
            sleepMs(1);
    }
    return true;
}

void ManagerHarness::pumpFor(int milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline)
        if (!pumpOneMessage())
            sleepMs(1);
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
