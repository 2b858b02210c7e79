// SIGKILL in the middle of writes: travenor-reg during an import, and the manager
// during its start-up (when it publishes every port's run-time values), each killed at
// a random moment: the tool 100 times, the manager 15 times (a second each; the long
// campaign sets QUORVALINK_MANAGER_CRASH_ROUNDS=100, docs/reliability.md). After every kill
// the store opens and passes SQLite's integrity check, and every value is the old one
// or the new one; after every kill of the manager the next start is clean: the lock
// is taken, the stale socket replaced and answering, every stale link replaced by one
// of the new process, and the ports resumed on their saved current hosts.
#include "config/port_key.h"
#include "platform/registry.h"
#include "tests/platform/store_dump.h"
#include "tests/support/loopback_address.h"
#include "tests/support/temp_store.h"
#include "tools/vorlix_sim/sim_server.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

int rounds(const char* variable, int otherwise) {
    const char* given = std::getenv(variable);
    return given && std::atoi(given) > 0 ? std::atoi(given) : otherwise;
}

pid_t spawn(const std::vector<std::string>& command, const std::vector<std::string>& environment) {
    pid_t pid = fork();
    if (pid == 0) {
        for (const std::string& entry : environment)
            putenv(const_cast<char*>(entry.c_str()));
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        std::vector<char*> argv;
        for (const std::string& word : command)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Kills with SIGKILL; true when the process was still running then.
bool killNow(pid_t pid) {
    if (pid <= 0) // a failed fork: kill(-1) would reach every process
        return false;
    int status = 0;
    bool running = waitpid(pid, &status, WNOHANG) == 0;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return running;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// SQLite's own check of the file, from a connection of its own.
std::string integrity(const std::string& folder) {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2((folder + "/registry.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr);
        if (statement && sqlite3_step(statement) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return result;
}

std::string textValue(const std::string& keyPath, const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key) != ERROR_SUCCESS)
        return "(no key)";
    char data[256] = {};
    uint32_t size = sizeof data - 1;
    long rc = RegQueryValueEx(key, name.c_str(), nullptr, reinterpret_cast<uint8_t*>(data), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(data, size) : "(none)";
}

// ---- travenor-reg ----

constexpr int IMPORT_KEYS = 40;
constexpr int VALUES_PER_KEY = 25;

std::string keyPath(int k) {
    return "Software\\Crash\\Key" + std::to_string(k);
}

// One import that sets every value of every key to text carrying generation.
std::string importText(int generation) {
    std::string text = "REGEDIT4\n\n";
    for (int k = 0; k < IMPORT_KEYS; ++k) {
        text += "[HKEY_LOCAL_MACHINE\\" + keyPath(k) + "]\n";
        for (int v = 0; v < VALUES_PER_KEY; ++v)
            text += "\"V" + std::to_string(v) + "\"=\"generation " + std::to_string(generation) +
                    " " + std::string(40, char('a' + v % 26)) + "\"\n";
        text += "\n";
    }
    return text;
}

// The generation every value holds, or -1 when they differ (a half-applied import)
// or one is not of any generation.
int storedGeneration() {
    resetRegistryStore();
    int found = -2;
    for (int k = 0; k < IMPORT_KEYS; ++k)
        for (int v = 0; v < VALUES_PER_KEY; ++v) {
            std::string text = textValue(keyPath(k), "V" + std::to_string(v));
            int generation = -1;
            if (std::sscanf(text.c_str(), "generation %d ", &generation) != 1)
                return -1;
            if (found != -2 && generation != found)
                return -1;
            found = generation;
        }
    return found;
}

TEST(CrashSafety, TravenorRegKilledDuringImportsLeavesTheOldOrTheNewStore) {
    TempStore store;
    std::string file = store.folder() + "/crash.reg";
    std::vector<std::string> environment = {"QUORVALINK_HOME=" + store.folder()};
    std::ofstream(file) << importText(0);
    pid_t first = spawn({TRAVENOR_REG_PATH, "import", file}, environment);
    int status = 0;
    waitpid(first, &status, 0);
    ASSERT_EQ(storedGeneration(), 0);

    // How long an import takes here (the middle of five, as one can stall on the disk),
    // so the kills land before, inside and after it.
    std::ofstream(file) << importText(1);
    std::vector<int> took;
    for (int i = 0; i < 5; ++i) {
        auto start = Clock::now();
        waitpid(spawn({TRAVENOR_REG_PATH, "import", file}, environment), &status, 0);
        took.push_back(int(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
    }
    std::sort(took.begin(), took.end());
    int importMs = took[2];
    ASSERT_EQ(storedGeneration(), 1);

    std::mt19937 random(20240601);
    const int count = rounds("QUORVALINK_TOOL_CRASH_ROUNDS", 100);
    int committed = 1, keptOld = 0, tookNew = 0, finished = 0;
    int rangeUs = std::max(1, importMs) * 1500;
    for (int round = 2; round < count + 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::ofstream(file) << importText(round);
        pid_t tool = spawn({TRAVENOR_REG_PATH, "import", file}, environment);
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, rangeUs)(random)));
        bool running = killNow(tool);
        // Imports slower or faster than measured (a loaded machine) move the range after
        // them, so the kills keep landing on both sides of the commit.
        rangeUs = running ? rangeUs * 21 / 20 : std::max(1000, rangeUs * 9 / 10);
        ASSERT_EQ(integrity(store.folder()), "ok");
        int now = storedGeneration();
        ASSERT_TRUE(now == committed || now == round)
            << "the store holds generation " << now << " after a kill between " << committed
            << " and " << round;
        keptOld += running && now == committed ? 1 : 0;
        tookNew += running && now == round ? 1 : 0;
        finished += running ? 0 : 1;
        committed = now;
    }
    // The kills landed both before and after imports committed, or nothing was shown.
    std::printf("import %d ms; killed while running: %d kept the old store, %d had the new; "
                "%d imports had ended\n",
                importMs, keptOld, tookNew, finished);
    if (count >= 20) {
        EXPECT_GT(keptOld, count / 3);
        EXPECT_GT(tookNew + finished, 0);
    }
}

// ---- the manager ----

constexpr int MANAGER_PORTS = 16;
const char* const PUBLISHED[] = {"pOutQueue", "pInQueue", "hWin32Event", "hWin32Event_Read",
                                 "hWin32Event_Dummy"};

struct ManagerPlace {
    TempStore store;
    std::string devices;
    std::string runtime;
    std::string firstHost;
    std::string savedHost;
    std::vector<std::string> environment() const {
        return {"QUORVALINK_HOME=" + store.folder(), "QUORVALINK_DEVDIR=" + devices,
                "XDG_RUNTIME_DIR=" + runtime, "QT_QPA_PLATFORM=offscreen",
                "QUORVALINK_REMOTE_PORT=0"};
    }
    std::string link(int slot) const { return devices + "/COM" + std::to_string(slot + 1); }
};

// Each port has two hosts; its saved current host is the second.
void configurePorts(const ManagerPlace& place) {
    for (int slot = 0; slot < MANAGER_PORTS; ++slot) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key),
                  ERROR_SUCCESS);
        regSetString(key, "PORTNAME", "COM" + std::to_string(slot + 1));
        regSetString(key, "IpAddr01", place.firstHost);
        regSetDword(key, "TCPPortNo01", 1);
        regSetString(key, "Description01", "first");
        regSetString(key, "IpAddr02", place.savedHost);
        regSetDword(key, "TCPPortNo02", 2);
        regSetString(key, "Description02", "saved");
        regSetString(key, "CurIPAddr", place.savedHost);
        regSetDword(key, "CurTCPPortNo", 2);
        RegCloseKey(key);
    }
}

bool published(int slot) {
    HKEY key = nullptr;
    if (!openPortKey(slot, &key))
        return false;
    bool all = true;
    for (const char* name : PUBLISHED) {
        uint32_t type = 0, value = 0, size = sizeof value;
        all = all &&
              RegQueryValueEx(key, name, &type, reinterpret_cast<uint8_t*>(&value), &size) ==
                  ERROR_SUCCESS &&
              type == REG_DWORD;
    }
    RegCloseKey(key);
    return all;
}

// Every value is the configured one or, for the run-time values, absent or a whole
// DWORD: nothing half-written, nothing of the configuration lost.
void checkPortValues(const ManagerPlace& place) {
    resetRegistryStore();
    for (int slot = 0; slot < MANAGER_PORTS; ++slot) {
        std::string key = portKeyName(slot);
        ASSERT_EQ(textValue(key, "PORTNAME"), "COM" + std::to_string(slot + 1));
        ASSERT_EQ(textValue(key, "IpAddr01"), place.firstHost);
        ASSERT_EQ(textValue(key, "CurIPAddr"), place.savedHost);
        HKEY handle = nullptr;
        ASSERT_TRUE(openPortKey(slot, &handle));
        for (const char* name : PUBLISHED) {
            uint32_t type = 0, size = 16;
            uint8_t data[16];
            if (RegQueryValueEx(handle, name, &type, data, &size) == ERROR_SUCCESS) {
                EXPECT_EQ(type, uint32_t(REG_DWORD)) << name;
                EXPECT_EQ(size, 4u) << name;
            }
        }
        RegCloseKey(handle);
    }
}

bool linkOfProcess(const std::string& link, pid_t pid) {
    std::error_code error;
    std::string target = fs::read_symlink(link, error).string();
    return !error && target.rfind("/proc/" + std::to_string(pid) + "/fd/", 0) == 0;
}

// The manager's local socket answers "show" with "ok".
bool socketAnswers(const std::string& runtime) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::string path = runtime + "/quorvalink-travenor.socket";
    std::copy(path.begin(), path.end(), where.sun_path);
    timeval wait{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        send(fd, "show\n", 5, MSG_NOSIGNAL) == 5) {
        char buffer[16];
        ssize_t n = 0;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, size_t(n));
    }
    close(fd);
    return reply == "ok\n";
}

// An application opens the port: the manager connects it to the saved current host.
bool connectsToSavedHost(const ManagerPlace& place, int slot, vorlixsim::SimServer& saved,
                         vorlixsim::SimServer& first) {
    int before = saved.connectionCount(2);
    int app = open(place.link(slot).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (app < 0)
        return false;
    bool reached = saved.waitForConnections(2, before + 1, 10000);
    close(app);
    return reached && first.connectionCount(1) == 0;
}

vorlixsim::SimOptions simOptions(const std::string& address) {
    vorlixsim::SimOptions options;
    options.address = address;
    options.portCount = 2;
    return options;
}

TEST(CrashSafety, ManagerKilledDuringStartUpStartsCleanlyNextTime) {
    ManagerPlace place;
    place.devices = place.store.folder() + "/dev";
    place.runtime = place.store.folder() + "/run";
    place.firstHost = allocateLoopbackAddress();
    place.savedHost = allocateLoopbackAddress();
    configurePorts(place);
    vorlixsim::SimServer first(simOptions(place.firstHost));
    vorlixsim::SimServer saved(simOptions(place.savedHost));
    ASSERT_TRUE(first.start() && saved.start());

    // The time from the start to the last port published, for the kill moments.
    pid_t manager = spawn({TRAVENOR_PATH}, place.environment());
    auto start = Clock::now();
    ASSERT_TRUE(waitFor(
        [] {
            resetRegistryStore();
            return published(MANAGER_PORTS - 1);
        },
        20000));
    int startUpMs =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());

    std::mt19937 random(20240602);
    for (int round = 0; round < rounds("QUORVALINK_MANAGER_CRASH_ROUNDS", 15); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // The running manager (started clean by the last round) is killed while a new
        // one would be writing; then a new one starts where it died.
        killNow(manager);
        manager = spawn({TRAVENOR_PATH}, place.environment());
        std::this_thread::sleep_for(std::chrono::milliseconds(
            std::uniform_int_distribution<int>(0, startUpMs * 3 / 2)(random)));
        killNow(manager);
        ASSERT_EQ(integrity(place.store.folder()), "ok");
        checkPortValues(place);

        manager = spawn({TRAVENOR_PATH}, place.environment());
        ASSERT_TRUE(waitFor(
            [&] {
                for (int slot = 0; slot < MANAGER_PORTS; ++slot)
                    if (!linkOfProcess(place.link(slot), manager))
                        return false;
                return true;
            },
            20000))
            << "the stale links were not all replaced";
        ASSERT_TRUE(waitFor([&] { return socketAnswers(place.runtime); }, 10000))
            << "the restarted manager does not answer on its socket";
        ASSERT_TRUE(waitFor(
            [] {
                resetRegistryStore();
                for (int slot = 0; slot < MANAGER_PORTS; ++slot)
                    if (!published(slot))
                        return false;
                return true;
            },
            20000));
        ASSERT_TRUE(connectsToSavedHost(place, round % MANAGER_PORTS, saved, first))
            << "COM" << round % MANAGER_PORTS + 1 << " did not resume on its saved host";
    }
    killNow(manager);
}

} // namespace
