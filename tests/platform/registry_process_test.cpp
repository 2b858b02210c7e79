// The store shared between processes: the manager and travenor-reg at once, and a
// writer killed half-way.
#include "platform/registry.h"

#include "tests/platform/store_dump.h"
#include "tests/support/temp_store.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

namespace {

void writeSample() {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector\\0042", &key),
              ERROR_SUCCESS);
    regSetString(key, "PORTNAME", "COM5");
    regSetString(key, "IpAddr01", "10.0.0.1");
    regSetDword(key, "TCPPortNo01", 1);
    RegCloseKey(key);
}

// A child that must never return into the test framework.
template <class Body> pid_t spawnChild(Body&& body) {
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    return pid;
}

void signalPipe(int fd) {
    char byte = 1;
    if (write(fd, &byte, 1) != 1)
        _exit(3);
}

bool awaitPipe(int fd) {
    char byte = 0;
    return read(fd, &byte, 1) == 1;
}

int exitStatus(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

} // namespace

TEST(RegistryProcesses, OpenConnectionSeesAnotherProcessWrites) {
    TempStore temp;
    writeSample();
    resetRegistryStore(); // no SQLite connection may cross fork()
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    pid_t child = spawnChild([&] {
        HKEY key = nullptr;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector\\0042", &key))
            _exit(2);
        signalPipe(toParent[1]);
        awaitPipe(toChild[0]);
        if (regSetString(key, "CurIPAddr", "10.0.0.9") || RegFlushKey(key))
            _exit(2);
        signalPipe(toParent[1]);
    });
    ASSERT_TRUE(awaitPipe(toParent[0]));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "ENUM\\ROOT\\REDIRECTOR\\0042", &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueEx(key, "CurIPAddr", nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    signalPipe(toChild[1]);
    ASSERT_TRUE(awaitPipe(toParent[0]));
    char text[16] = {};
    uint32_t size = sizeof text;
    EXPECT_EQ(RegQueryValueEx(key, "CURIPADDR", nullptr, reinterpret_cast<uint8_t*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "10.0.0.9");
    EXPECT_EQ(exitStatus(child), 0);
    RegCloseKey(key);
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]})
        close(fd);
}

TEST(RegistryProcesses, WriterKilledInTheMiddleOfALargeGroupLeavesTheStoreAsBefore) {
    TempStore temp;
    writeSample();
    const std::string before = storeSnapshot();
    resetRegistryStore();
    int toParent[2];
    ASSERT_EQ(pipe(toParent), 0);
    pid_t child = spawnChild([&] {
        RegTransaction group;
        HKEY port = nullptr;
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector\\0042", &port);
        regSetString(port, "PORTNAME", "COM99");
        RegDeleteValue(port, "IpAddr01");
        const std::string filler(1000, 'x');
        for (int n = 0; n < 1000; n++) {
            HKEY key = nullptr;
            std::string path = "Import\\Key" + std::to_string(n);
            RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), &key);
            for (int v = 0; v < 5; v++)
                regSetString(key, ("Value" + std::to_string(v)).c_str(), filler);
            RegCloseKey(key);
        }
        signalPipe(toParent[1]);
        pause();
    });
    ASSERT_TRUE(awaitPipe(toParent[0]));
    // The group outgrew the page cache, so uncommitted pages already sit in the log.
    EXPECT_GT(std::filesystem::file_size(temp.folder() + "/registry.db-wal"), 1000000u);
    kill(child, SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(exitStatus(child)));

    EXPECT_EQ(storeSnapshot(), before);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Import", &key), ERROR_SUCCESS);
    EXPECT_EQ(regSetDword(key, "After", 1), ERROR_SUCCESS);
    RegCloseKey(key);
    close(toParent[0]);
    close(toParent[1]);
}
