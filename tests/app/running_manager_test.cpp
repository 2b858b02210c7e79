// The real manager program: at start-up it resumes the ports whose saved current host
// is one of their configured hosts. Watched from outside through the shared store and
// the device folder, as the driver and the applications see it.
#include "config/port_key.h"
#include "platform/registry.h"
#include "tests/app/gui_support.h"
#include "tests/support/loopback_address.h"
#include "tests/support/pump.h"
#include "tests/support/temp_store.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace platform;

namespace {

const char* const PUBLISHED[] = {"pOutQueue", "pInQueue", "hWin32Event", "hWin32Event_Read",
                                 "hWin32Event_Dummy"};

bool hasDword(int slot, const char* name) {
    HKEY key = nullptr;
    if (!openPortKey(slot, &key))
        return false;
    uint32_t type = REG_NONE;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    bool found = RegQueryValueEx(key, name, &type, reinterpret_cast<uint8_t*>(&value), &size) ==
                     ERROR_SUCCESS &&
                 type == REG_DWORD && size == 4;
    RegCloseKey(key);
    return found;
}

bool allPublished(int slot) {
    for (const char* name : PUBLISHED)
        if (!hasDword(slot, name))
            return false;
    return true;
}

class RunningManager : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureQtApp();
        ASSERT_TRUE(runtime.isValid());
        deviceFolder = store.folder() + "/dev";
    }
    void TearDown() override {
        if (manager.state() == QProcess::NotRunning)
            return;
        manager.terminate();
        if (!manager.waitForFinished(5000)) {
            manager.kill();
            manager.waitForFinished(5000);
        }
    }
    void startManager() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QUORVALINK_HOME", QString::fromStdString(store.folder()));
        env.insert("QUORVALINK_DEVDIR", QString::fromStdString(deviceFolder));
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TSAN_OPTIONS", env.value("TSAN_OPTIONS") + ":suppressions=" +
                                       QString::fromStdString(writeQtSuppressions()));
        manager.setProcessEnvironment(env);
        manager.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        manager.start(TRAVENOR_BINARY, {});
        ASSERT_TRUE(manager.waitForStarted(5000));
    }

    // Qt's own libraries are not built for the thread checker, so their inner thread
    // hand-offs look like races in a checked manager; calls made from inside them are
    // left out. Ignored by other builds.
    std::string writeQtSuppressions() {
        std::string path = store.folder() + "/qt-tsan.supp";
        std::ofstream file(path);
        for (const char* lib : {"libQt6Core.so", "libQt6Gui.so", "libQt6Widgets.so"})
            file << "called_from_lib:" << lib << "\n";
        return path;
    }

    TempStore store;
    QTemporaryDir runtime;
    std::string deviceFolder;
    QProcess manager;
};

TEST_F(RunningManager, ResumesOnlyPortsWhoseSavedHostIsConfigured) {
    const std::string host = allocateLoopbackAddress();
    const std::string hiddenHost = allocateLoopbackAddress();
    // Slot 0 comes first in the start-up pass, so once slot 1 is up slot 0 was passed over.
    writeStoredPort(0, "COM6", {{host, 1, "alpha"}}, hiddenHost, 7);
    writeStoredPort(1, "COM7", {{host, 2, "beta"}}, host, 2);
    startManager();

    ASSERT_TRUE(pumpUntil([] { return allPublished(1); }, 10000))
        << "the manager did not hook COM7";
    EXPECT_TRUE(
        pumpUntil([&] { return std::filesystem::is_symlink(deviceFolder + "/COM7"); }, 5000));
    for (const char* name : PUBLISHED)
        EXPECT_FALSE(hasDword(0, name)) << name << " published for a port with a hidden host";
    EXPECT_EQ(manager.state(), QProcess::Running);

    // A termination signal ends it cleanly: the driver goes and takes the link with it.
    manager.terminate();
    ASSERT_TRUE(manager.waitForFinished(5000));
    EXPECT_EQ(manager.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(manager.exitCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(deviceFolder + "/COM7"));
}

} // namespace
