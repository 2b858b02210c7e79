// A store that can be read but not written: registry.db at mode 0400 for a user who is
// not root, and a store folder on a read-only mount. Root writes whatever the modes
// say, so the first runs travenor-reg as another user, and the second mounts the
// folder read-only in a private mount namespace of the test process.
#include "platform/registry.h"

#include "config/config_store.h"
#include "config/manager_context.h"
#include "platform/trace.h"
#include "tests/support/temp_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <memory>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace {

constexpr uid_t NOBODY = 65534;
const char* const PORT_KEY = "Enum\\Root\\Redirector\\0003";
const char* const PORT_KEY_ARG = "HKLM\\Enum\\Root\\Redirector\\0003";

void seedPort() {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, PORT_KEY, &key), ERROR_SUCCESS);
    regSetString(key, "PORTNAME", "COM4");
    regSetString(key, "IpAddr01", "10.0.0.1");
    regSetDword(key, "TCPPortNo01", 2);
    regSetString(key, "CurIPAddr", "10.0.0.1");
    regSetDword(key, "CurTCPPortNo", 2);
    RegCloseKey(key);
}

// Another connection to the store that holds its log files (registry.db-wal and -shm)
// while it lives; without one, the last connection that closes folds the log into
// registry.db and removes them.
class LogHolder {
  public:
    explicit LogHolder(const std::string& folder) {
        sqlite3_open((folder + "/registry.db").c_str(), &db_);
        sqlite3_exec(db_, "SELECT count(*) FROM keys", nullptr, nullptr, nullptr);
    }
    ~LogHolder() { sqlite3_close(db_); }

  private:
    sqlite3* db_ = nullptr;
};

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(count));
    ::close(fd);
    return text;
}

// travenor-reg as a process of its own; as the user nobody when asked.
ToolRun runTool(const std::vector<std::string>& args, bool asNobody = false) {
    std::vector<char*> argv{const_cast<char*>(TRAVENOR_REG_PATH)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (asNobody &&
            (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0))
            ::_exit(120);
        ::execv(argv[0], argv.data());
        ::_exit(121);
    }
    ::close(out[1]);
    ::close(err[1]);
    ToolRun run;
    run.out = drain(out[0]);
    run.err = drain(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What a user sees of a read-only store through travenor-reg: query and export work,
// a change is refused with one line.
void expectToolReadsAndRefuses(const std::string& exportFile, bool asNobody) {
    ToolRun query = runTool({"query", PORT_KEY_ARG, "/v", "PORTNAME"}, asNobody);
    EXPECT_EQ(query.exitCode, 0) << query.err;
    EXPECT_NE(query.out.find("COM4"), std::string::npos) << query.out;

    ToolRun exported = runTool({"export", PORT_KEY_ARG, exportFile}, asNobody);
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_NE(readFile(exportFile).find("\"PORTNAME\"=\"COM4\""), std::string::npos);

    ToolRun added = runTool({"add", PORT_KEY_ARG, "/v", "PORTNAME", "/d", "COM9"}, asNobody);
    EXPECT_EQ(added.exitCode, 1);
    EXPECT_EQ(added.err, "travenor-reg: cannot write HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector"
                         "\\0003: access denied\n");
}

// Lines the store traces while the object lives.
class StoreTraces {
  public:
    StoreTraces() {
        setTraceCapture([this](const std::string& line) {
            if (line.rfind("Registry store:", 0) == 0)
                lines.push_back(line);
        });
    }
    ~StoreTraces() { setTraceCapture({}); }
    std::vector<std::string> lines;
};

// The folder mounted read-only over itself, in a private mount namespace of this
// thread (and of the processes it starts); unmounted again at the end.
class ReadOnlyMount {
  public:
    explicit ReadOnlyMount(const std::string& folder) : folder_(folder) {
        if (::unshare(CLONE_NEWNS) != 0)
            problem = std::string("no private mount namespace: ") + std::strerror(errno);
        else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            problem = std::string("mounts cannot be made private: ") + std::strerror(errno);
        else if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0)
            problem = std::string("no bind mount: ") + std::strerror(errno);
        else if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                         nullptr) != 0) {
            problem = std::string("no read-only mount: ") + std::strerror(errno);
            ::umount2(folder.c_str(), MNT_DETACH);
        }
    }
    ~ReadOnlyMount() {
        resetRegistryStore();
        if (problem.empty())
            ::umount2(folder_.c_str(), MNT_DETACH);
    }
    std::string problem;

  private:
    std::string folder_;
};

struct MountCase {
    const char* name;
    // Without log files SQLite cannot make the shared-memory file it reads through.
    bool logFiles;
};

class ReadOnlyMountStore : public testing::TestWithParam<MountCase> {};

} // namespace

TEST_P(ReadOnlyMountStore, ReadsWorkWritesAreRefusedAndTheTraceSaysSoOnce) {
    TempStore temp;
    seedPort();
    std::unique_ptr<LogHolder> holder;
    if (GetParam().logFiles)
        holder = std::make_unique<LogHolder>(temp.folder());
    resetRegistryStore();
    ASSERT_EQ(::access((temp.folder() + "/registry.db-shm").c_str(), F_OK) == 0,
              GetParam().logFiles);
    ReadOnlyMount mount(temp.folder());
    if (!mount.problem.empty())
        GTEST_SKIP() << mount.problem;
    StoreTraces traces;

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, PORT_KEY, &key), ERROR_SUCCESS);
    char name[16] = {};
    uint32_t size = sizeof name;
    EXPECT_EQ(RegQueryValueEx(key, "PORTNAME", nullptr, reinterpret_cast<uint8_t*>(name), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "COM4");
    std::vector<RegValue> values;
    EXPECT_EQ(regEnumValues(key, &values), ERROR_SUCCESS);
    EXPECT_EQ(values.size(), 5u);

    EXPECT_EQ(regSetString(key, "PORTNAME", "COM9"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValue(key, "IpAddr01"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, PORT_KEY), ERROR_ACCESS_DENIED);
    HKEY created = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\New", &created), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, PORT_KEY, &created), ERROR_SUCCESS);
    RegCloseKey(created);
    EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    {
        RegTransaction group;
        EXPECT_EQ(group.status(), ERROR_ACCESS_DENIED);
        size = sizeof name;
        EXPECT_EQ(
            RegQueryValueEx(key, "PORTNAME", nullptr, reinterpret_cast<uint8_t*>(name), &size),
            ERROR_SUCCESS);
        EXPECT_EQ(group.commit(), ERROR_ACCESS_DENIED);
    }
    RegCloseKey(key);

    // The manager's start-up reads its ports.
    EXPECT_EQ(loadPortTable(), 1);
    EXPECT_STREQ(port(3).portName, "COM4");
    freeHostLists();

    ASSERT_EQ(traces.lines.size(), 1u);
    EXPECT_NE(traces.lines[0].find("read-only"), std::string::npos) << traces.lines[0];

    resetRegistryStore(); // travenor-reg opens it on its own
    expectToolReadsAndRefuses("/tmp/quorvalink-read-only-" + std::to_string(::getpid()) + ".reg",
                              false);
    ::unlink(("/tmp/quorvalink-read-only-" + std::to_string(::getpid()) + ".reg").c_str());
}

INSTANTIATE_TEST_SUITE_P(Stores, ReadOnlyMountStore,
                         testing::Values(MountCase{"WithLogFiles", true},
                                         MountCase{"WithoutLogFiles", false}),
                         [](const testing::TestParamInfo<MountCase>& info) {
                             return std::string(info.param.name);
                         });

// registry.db at mode 0400, its owner not root: travenor-reg reads it and refuses to
// change it.
TEST(ReadOnlyFileStore, OwnerWithoutWriteAccessReadsAndIsRefusedChanges) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "changing to another user needs root";
    TempStore temp;
    seedPort();
    resetRegistryStore();
    for (const char* file : {"", "/registry.db", "/registry.db-wal", "/registry.db-shm"})
        if (::access((temp.folder() + file).c_str(), F_OK) == 0) {
            ASSERT_EQ(::chown((temp.folder() + file).c_str(), NOBODY, NOBODY), 0) << file;
        }
    ASSERT_EQ(::chmod((temp.folder() + "/registry.db").c_str(), 0400), 0);

    char exportFolder[] = "/tmp/quorvalink-export-XXXXXX";
    ASSERT_TRUE(::mkdtemp(exportFolder));
    ASSERT_EQ(::chown(exportFolder, NOBODY, NOBODY), 0);
    std::string exportFile = std::string(exportFolder) + "/port.reg";
    expectToolReadsAndRefuses(exportFile, true);
    ::unlink(exportFile.c_str());
    ::rmdir(exportFolder);
}
