// The folders the manager keeps its files in, when they lie where other users can
// write (/tmp without XDG_RUNTIME_DIR): each is created owner-only, and a folder or an
// entry in one that another user owns, or that is a planted symbolic link, is refused
// with a message and left as it is. Tests run as root: "another user's" folder is one
// chowned to nobody.
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/single_instance.h"
#include "portdriver/port_link.h"
#include "portdriver/pty_pair.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using platform::PrivateFolder;

namespace {

constexpr uid_t NOBODY = 65534;

mode_t modeOf(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

uid_t ownerOf(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_uid : uid_t(-1);
}

// A place like /tmp that the test owns, with the manager's variables pointing into
// it; they are put back afterwards.
class SafeFolders : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "another user's folder is made with chown, which needs root";
        char pattern[] = "/tmp/quorvalink-safe-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        shared = pattern;
        ::chmod(shared.c_str(), 01777);
        keep("QUORVALINK_HOME", shared + "/home");
        keep("XDG_RUNTIME_DIR", shared + "/run");
        keep("QUORVALINK_DEVDIR", "");
        platform::resetRegistryStore();
    }
    void TearDown() override {
        for (auto& [name, value] : saved) {
            if (value.second)
                setenv(name.c_str(), value.first.c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        platform::resetRegistryStore();
        std::error_code ignored;
        if (!shared.empty())
            fs::remove_all(shared, ignored);
    }
    // Sets name to value ("" unsets it) until the test ends.
    void keep(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        saved[name] = {old ? old : "", old != nullptr};
        if (value.empty())
            unsetenv(name.c_str());
        else
            setenv(name.c_str(), value.c_str(), 1);
    }

    std::string shared;
    std::map<std::string, std::pair<std::string, bool>> saved;
};

struct FolderKind {
    const char* label;
    PrivateFolder (*check)();
    const char* relative; // where it lies below the shared place
    const char* setting;  // the variable the message points to
};

const FolderKind KINDS[] = {
    {"Store", platform::checkedStoreFolder, "home", "QUORVALINK_HOME"},
    {"Device", platform::checkedDeviceFolder, "run/quorvalink", "QUORVALINK_DEVDIR"},
    {"Runtime", platform::checkedRuntimeFolder, "run", "XDG_RUNTIME_DIR"},
};

// What is found at the folder's place before the manager looks.
struct Planted {
    const char* label;
    std::function<void(const std::string& path, const std::string& shared)> make;
    const char* problem; // in the message
};

const Planted PLANTED[] = {
    {"OtherUsersFolder",
     [](const std::string& path, const std::string&) {
         fs::create_directories(path);
         ::chmod(path.c_str(), 0777);
         ASSERT_EQ(::chown(path.c_str(), NOBODY, NOBODY), 0);
     },
     "belongs to another user (uid 65534)"},
    {"SymbolicLink",
     [](const std::string& path, const std::string& shared) {
         fs::create_directories(shared + "/elsewhere");
         fs::create_directories(fs::path(path).parent_path());
         fs::create_directory_symlink(shared + "/elsewhere", path);
     },
     "is a symbolic link"},
    {"OtherUsersSymbolicLink",
     [](const std::string& path, const std::string& shared) {
         fs::create_directories(shared + "/elsewhere");
         fs::create_directories(fs::path(path).parent_path());
         fs::create_directory_symlink(shared + "/elsewhere", path);
         ASSERT_EQ(::lchown(path.c_str(), NOBODY, NOBODY), 0);
     },
     "is a symbolic link"},
    {"File",
     [](const std::string& path, const std::string&) {
         fs::create_directories(fs::path(path).parent_path());
         std::ofstream(path) << "x";
     },
     "is not a folder"},
};

TEST_F(SafeFolders, EachFolderIsMadeOwnerOnlyAndAnOwnWiderOneIsNarrowed) {
    for (const FolderKind& kind : KINDS) {
        std::string path = shared + "/" + kind.relative;
        PrivateFolder made = kind.check();
        EXPECT_EQ(made.path, path) << kind.label;
        EXPECT_TRUE(made.usable()) << kind.label << ": " << made.problem;
        EXPECT_EQ(modeOf(path), mode_t(0700)) << kind.label;

        ::chmod(path.c_str(), 0777);
        EXPECT_TRUE(kind.check().usable()) << kind.label;
        EXPECT_EQ(modeOf(path), mode_t(0700)) << kind.label << " was not narrowed";
    }
}

TEST_F(SafeFolders, AForeignOrPlantedFolderIsRefusedAndLeftAsItIs) {
    for (const FolderKind& kind : KINDS) {
        for (const Planted& planted : PLANTED) {
            SCOPED_TRACE(std::string(kind.label) + "/" + planted.label);
            std::string path = shared + "/" + kind.relative;
            fs::remove_all(shared + "/run");
            fs::remove_all(shared + "/home");
            fs::remove_all(shared + "/elsewhere");
            planted.make(path, shared);
            mode_t modeBefore = modeOf(path);
            uid_t ownerBefore = ownerOf(path);

            PrivateFolder refused = kind.check();
            EXPECT_FALSE(refused.usable());
            EXPECT_NE(refused.problem.find(path), std::string::npos) << refused.problem;
            EXPECT_NE(refused.problem.find(planted.problem), std::string::npos) << refused.problem;
            EXPECT_NE(refused.problem.find(kind.setting), std::string::npos) << refused.problem;
            EXPECT_EQ(modeOf(path), modeBefore);
            EXPECT_EQ(ownerOf(path), ownerBefore);
            EXPECT_FALSE(fs::exists(shared + "/elsewhere/registry.db"));
        }
    }
}

TEST_F(SafeFolders, WithoutRuntimeFolderTheLockAndSocketGetAFolderOfTheUsersOwnInTmp) {
    keep("XDG_RUNTIME_DIR", "");
    PrivateFolder runtime = platform::checkedRuntimeFolder();
    ASSERT_TRUE(runtime.usable()) << runtime.problem;
    EXPECT_EQ(runtime.path, "/tmp/quorvalink-" + std::to_string(::geteuid()));
    EXPECT_EQ(modeOf(runtime.path), mode_t(0700));
    EXPECT_EQ(ownerOf(runtime.path), ::geteuid());
}

// The store file and its logs are owner-only; a store folder of another user is not
// opened at all, by the manager's store or by travenor-reg.
TEST_F(SafeFolders, TheStoreIsOwnerOnlyAndAForeignStoreFolderIsNotOpened) {
    platform::HKEY key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyEx(platform::HKEY_LOCAL_MACHINE, "Enum\\Root", &key),
              platform::ERROR_SUCCESS);
    platform::RegCloseKey(key);
    std::string store = shared + "/home/registry.db";
    EXPECT_EQ(modeOf(store), mode_t(0600));
    for (const char* log : {"-wal", "-shm"}) {
        if (fs::exists(store + log)) {
            EXPECT_EQ(modeOf(store + log), mode_t(0600)) << log;
        }
    }

    platform::resetRegistryStore();
    ::chmod(store.c_str(), 0644);
    ASSERT_EQ(platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, "Enum\\Root", &key),
              platform::ERROR_SUCCESS);
    platform::RegCloseKey(key);
    EXPECT_EQ(modeOf(store), mode_t(0600)) << "an older, wider store file was not narrowed";

    platform::resetRegistryStore();
    std::string foreign = shared + "/foreign";
    fs::create_directories(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), NOBODY, NOBODY), 0);
    keep("QUORVALINK_HOME", foreign);
    EXPECT_NE(platform::RegCreateKeyEx(platform::HKEY_LOCAL_MACHINE, "Enum", &key),
              platform::ERROR_SUCCESS);
    EXPECT_FALSE(fs::exists(foreign + "/registry.db"));

    std::string errors = shared + "/tool.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    char* argv[] = {const_cast<char*>(TRAVENOR_REG_PATH), const_cast<char*>("query"),
                    const_cast<char*>("HKLM"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    std::ifstream in(errors);
    std::string line;
    std::getline(in, line);
    EXPECT_NE(line.find("travenor-reg: The folder " + foreign + " belongs to another user"),
              std::string::npos)
        << line;
    EXPECT_FALSE(fs::exists(foreign + "/registry.db"));
}

// A lock file or socket in the runtime folder that is a planted link or another user's
// is neither opened nor talked to.
TEST_F(SafeFolders, APlantedLockOrSocketIsNeitherOpenedNorTalkedTo) {
    static int argc = 1;
    static char name[] = "safe_folders_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
    std::string runtime = platform::checkedRuntimeFolder().path;
    platform::SingleInstance instance("safe-test");

    std::string target = shared + "/target";
    fs::create_symlink(target, instance.lockPath());
    EXPECT_FALSE(instance.acquire());
    EXPECT_NE(instance.problem().find("is a symbolic link"), std::string::npos)
        << instance.problem();
    EXPECT_FALSE(fs::exists(target)) << "the planted link was followed";

    fs::remove(instance.lockPath());
    std::ofstream(instance.lockPath()) << "";
    ASSERT_EQ(::chown(instance.lockPath().c_str(), NOBODY, NOBODY), 0);
    EXPECT_FALSE(instance.acquire());
    EXPECT_NE(instance.problem().find("belongs to another user"), std::string::npos)
        << instance.problem();

    // Someone else's socket where the running manager's would be.
    int planted = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::string socketPath = instance.socketPath();
    std::copy(socketPath.begin(), socketPath.end(), where.sun_path);
    ASSERT_EQ(::bind(planted, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ASSERT_EQ(::listen(planted, 4), 0);
    ASSERT_EQ(::lchown(socketPath.c_str(), NOBODY, NOBODY), 0);
    std::string reply;
    EXPECT_FALSE(instance.request("show", &reply, 300));
    EXPECT_LT(::accept(planted, nullptr, nullptr), 0) << "the request reached the planted socket";
    ::close(planted);
}

// The driver's links: never in a folder another user can write into or owns, and a
// link another user left in the folder is not replaced.
TEST_F(SafeFolders, TheDriverMakesNoLinkInAForeignFolderAndReplacesNoForeignLink) {
    std::string devices = platform::checkedDeviceFolder().path;
    std::string link = devices + "/COM5";
    fs::create_symlink("/dev/null", link);
    ASSERT_EQ(::lchown(link.c_str(), NOBODY, NOBODY), 0);
    portdriver::PtyPair pair;
    ASSERT_TRUE(pair.create(portdriver::PtyPair::defaultLine()));
    EXPECT_FALSE(portdriver::PortLink(link).pointAt(pair.linkTarget()));
    EXPECT_EQ(fs::read_symlink(link), "/dev/null");
    EXPECT_EQ(ownerOf(link), NOBODY);

    fs::remove(link);
    EXPECT_TRUE(portdriver::PortLink(link).pointAt(pair.linkTarget()))
        << "a link in the user's own folder";

    for (const char* kind : {"foreign", "wide"}) {
        std::string folder = shared + "/" + kind;
        fs::create_directories(folder);
        if (std::string(kind) == "foreign")
            ASSERT_EQ(::chown(folder.c_str(), NOBODY, NOBODY), 0);
        else
            ::chmod(folder.c_str(), 0777);
        EXPECT_FALSE(portdriver::PortLink(folder + "/COM6").pointAt(pair.linkTarget())) << kind;
        EXPECT_FALSE(fs::exists(folder + "/COM6")) << kind;
    }
}

} // namespace
