// The real manager program's command line, and its service mode as a systemd user unit
// runs it: no display at all, the ports resumed and served, every question answered
// by nobody and traced on standard error, a later start refused, and SIGTERM ending it
// with status 0, the current hosts saved and the links gone. Watched from outside, as
// systemd, the journal, an application and the next start see it.
#include "config/port_key.h"
#include "platform/registry.h"
#include "tests/app/gui_support.h"
#include "tests/support/loopback_address.h"
#include "tests/support/process_threads.h"
#include "tests/support/pump.h"
#include "tests/support/temp_store.h"
#include "tools/vorlix_sim/sim_server.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace platform;

namespace {

// The environment of a user service: no display of any kind, no Qt platform chosen.
QProcessEnvironment serviceEnvironment(const std::string& home, const std::string& devices,
                                       const QString& runtime) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QUORVALINK_TRACE"})
        env.remove(name);
    env.insert("QUORVALINK_HOME", QString::fromStdString(home));
    env.insert("QUORVALINK_DEVDIR", QString::fromStdString(devices));
    env.insert("XDG_RUNTIME_DIR", runtime);
    return env;
}

struct Answer {
    int status = -1;
    std::string out;
    std::string err;
};

Answer runToEnd(const QProcessEnvironment& env, const QStringList& arguments) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(TRAVENOR_BINARY, arguments);
    Answer answer;
    // A bound for a hung start only: a start answers in well under a second, but a
    // desktop start on a loaded machine with cold font caches has taken seconds.
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        answer.err = "did not end";
        return answer;
    }
    answer.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    answer.out = process.readAllStandardOutput().toStdString();
    answer.err = process.readAllStandardError().toStdString();
    return answer;
}

// The port is started (hooked): its queues and events are published in its key. The
// link is there from the driver's load on, before the start.
bool portStarted(int slot) {
    HKEY key = nullptr;
    if (!openPortKey(slot, &key))
        return false;
    bool published = true;
    for (const char* name : {"pOutQueue", "pInQueue", "hWin32Event", "hWin32Event_Read"}) {
        uint32_t value = 0;
        uint32_t size = sizeof value;
        published =
            published && RegQueryValueEx(key, name, nullptr, reinterpret_cast<uint8_t*>(&value),
                                         &size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return published;
}

// What an application gets back for its bytes within a few seconds.
std::string writeAndRead(const std::string& link, const std::string& text) {
    int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return "(open failed)";
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    std::string echo;
    if (::write(fd, text.data(), text.size()) == ssize_t(text.size())) {
        pollfd wait{fd, POLLIN, 0};
        char buffer[256];
        while (echo.size() < text.size() && ::poll(&wait, 1, 10000) > 0) {
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            echo.append(buffer, size_t(got));
        }
    }
    ::close(fd);
    return echo;
}

TEST(CommandLine, AnswersWithoutADisplayAndRefusesWhatItDoesNotKnow) {
    QTemporaryDir runtime;
    TempStore store;
    QProcessEnvironment env =
        serviceEnvironment(store.folder(), store.folder() + "/dev", runtime.path());
    struct Case {
        QStringList arguments;
        int status;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {{"--version"}, 0, "travenor 1.20 ", ""},
        {{"--service", "--version"}, 0, "travenor 1.20 ", ""},
        {{"--help"}, 0, "Usage: travenor [--service | --version | --help]", ""},
        {{"--sevice"}, 2, "", "travenor: unknown argument '--sevice'"},
        {{"-platform", "offscreen"}, 2, "", "unknown argument '-platform'"},
        {{}, 1, "", "no display (DISPLAY and WAYLAND_DISPLAY are not set)"},
    };
    for (const Case& c : cases) {
        Answer answer = runToEnd(env, c.arguments);
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        EXPECT_EQ(answer.status, c.status) << answer.err;
        EXPECT_NE(answer.out.find(c.out), std::string::npos) << answer.out;
        EXPECT_NE(answer.err.find(c.err), std::string::npos) << answer.err;
    }
    // An answer starts nothing: no port link, no store.
    EXPECT_FALSE(std::filesystem::exists(store.folder() + "/dev"));
    EXPECT_FALSE(std::filesystem::exists(store.folder() + "/registry.db"));
}

class ServiceMode : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureQtApp();
        ASSERT_TRUE(runtime.isValid());
        devices = store.folder() + "/dev";
        vorlixsim::SimOptions options;
        options.address = allocateLoopbackAddress();
        options.portCount = 1;
        sim = std::make_unique<vorlixsim::SimServer>(options);
        ASSERT_TRUE(sim->start()) << sim->errorText();
        writeStoredPort(0, "COM6", {{options.address, 1, "bench"}}, options.address, 1);
        host = options.address;
        // A remote-control address that is no local address: the server cannot listen
        // and says so in a box, which nobody is there to answer.
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\Quorvalink\\Redirector", &key),
                  ERROR_SUCCESS);
        regSetString(key, "RemoteControl", "not-an-address");
        RegCloseKey(key);
    }
    void TearDown() override {
        if (manager.state() != QProcess::NotRunning) {
            manager.kill();
            manager.waitForFinished(5000);
        }
    }

    QProcessEnvironment environment() {
        QProcessEnvironment env = serviceEnvironment(store.folder(), devices, runtime.path());
        env.insert("QUORVALINK_REMOTE_PORT", "5001");
        env.insert("TSAN_OPTIONS", env.value("TSAN_OPTIONS") + ":suppressions=" +
                                       QString::fromStdString(writeQtSuppressions()));
        return env;
    }

    std::string writeQtSuppressions() {
        std::string path = store.folder() + "/qt-tsan.supp";
        std::ofstream file(path);
        for (const char* lib : {"libQt6Core.so", "libQt6Gui.so", "libQt6Widgets.so"})
            file << "called_from_lib:" << lib << "\n";
        return path;
    }

    std::string link() const { return devices + "/COM6"; }

    TempStore store;
    QTemporaryDir runtime;
    std::string devices;
    std::string host;
    std::unique_ptr<vorlixsim::SimServer> sim;
    QProcess manager;
};

TEST_F(ServiceMode, ServesHeadlessAnswersNobodyAndEndsOnSigtermWithHostsSaved) {
    manager.setProcessEnvironment(environment());
    manager.start(TRAVENOR_BINARY, {"--service"});
    ASSERT_TRUE(manager.waitForStarted(5000));
    ASSERT_TRUE(
        pumpUntil([&] { return portStarted(0) && std::filesystem::is_symlink(link()); }, 15000))
        << "the service did not start COM6: " << manager.readAllStandardError().toStdString();

    EXPECT_EQ(writeAndRead(link(), "service echo"), "service echo");

    // A later start, with or without --service, leaves the running manager alone and
    // says why nothing else happens.
    QProcessEnvironment desktop = environment();
    desktop.insert("QT_QPA_PLATFORM", "offscreen");
    Answer window = runToEnd(desktop, {});
    EXPECT_EQ(window.status, 1);
    EXPECT_NE(window.err.find("runs as a service"), std::string::npos) << window.err;
    Answer second = runToEnd(environment(), {"--service"});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already runs"), std::string::npos) << second.err;
    EXPECT_EQ(manager.state(), QProcess::Running);

    // The hosts are saved at the end: take the saved one away under the running manager.
    writeStoredPort(0, "COM6", {{host, 1, "bench"}}, "", 0);
    manager.terminate();
    ASSERT_TRUE(manager.waitForFinished(15000)) << "SIGTERM did not end the service:\n"
                                                << processThreads(long(manager.processId()));
    EXPECT_EQ(manager.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(manager.exitCode(), 0);
    EXPECT_EQ(savedAddress(0), host);
    EXPECT_FALSE(std::filesystem::exists(link()) || std::filesystem::is_symlink(link()));

    // The journal's view: traces on standard error, line by line, the box answered.
    std::string err = manager.readAllStandardError().toStdString();
    EXPECT_NE(err.find("Hooking is Just Started.\n"), std::string::npos) << err;
    EXPECT_NE(err.find("message box answered silently: TCP/IP Initializing failed"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("travenor: ended; every port stopped, current hosts saved."),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find('\r'), std::string::npos) << "a carriage return reaches the journal";
}

} // namespace

// A host that cannot be saved at the end is not reported as saved.
TEST_F(ServiceMode, SaysSoWhenTheHostsCouldNotBeSaved) {
    manager.setProcessEnvironment(environment());
    manager.start(TRAVENOR_BINARY, {"--service"});
    ASSERT_TRUE(manager.waitForStarted(5000));
    ASSERT_TRUE(pumpUntil([&] { return portStarted(0); }, 15000))
        << manager.readAllStandardError().toStdString();
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector\\0000"), ERROR_SUCCESS);
    manager.terminate();
    ASSERT_TRUE(manager.waitForFinished(15000)) << processThreads(long(manager.processId()));
    EXPECT_EQ(manager.exitCode(), 0);
    std::string err = manager.readAllStandardError().toStdString();
    EXPECT_NE(
        err.find("travenor: ended; every port stopped; the current hosts could not be saved."),
        std::string::npos)
        << err;
}
