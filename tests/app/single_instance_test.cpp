#include "platform/single_instance.h"

#include "app/instance_requests.h"
#include "config/manager_context.h"
#include "driverlink/driver_link.h"
#include "platform/tick.h"
#include "platform/ui_thread.h"
#include "tests/app/gui_support.h"
#include "tests/app/window_harness.h"
#include "tests/sim/loopback.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_harness.h"
#include "tests/support/pump.h"
#include "tests/support/scripted_boxes.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A client of the local socket without Qt: connects an existing descriptor, so it
// also works while the process has no descriptor to spare.
bool connectLocal(int fd, const std::string& path) {
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::strncpy(where.sun_path, path.c_str(), sizeof where.sun_path - 1);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
}

void sendLine(int fd, const std::string& line) {
    std::string bytes = line + "\n";
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
}

// Pumps the UI thread until the reply line arrives on fd; "" when none came.
std::string readReply(int fd, int timeoutMs = 3000) {
    std::string reply;
    bool ended = false;
    pumpUntil(
        [&] {
            char buffer[64];
            ssize_t count = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (count > 0)
                reply.append(buffer, size_t(count));
            else if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                ended = true;
            return ended || reply.find('\n') != std::string::npos;
        },
        timeoutMs);
    return reply.substr(0, reply.find('\n'));
}

// Asks the listener from another thread, as a later start would, while the UI thread
// serves: the reply, or "(no answer)".
std::string requestWhilePumping(const std::string& name, const std::string& line) {
    std::atomic<bool> done{false};
    std::string reply;
    bool answered = false;
    std::thread asker([&] {
        platform::SingleInstance client(name);
        answered = client.request(line, &reply);
        done = true;
    });
    pumpUntil([&] { return done.load(); });
    asker.join();
    return answered ? reply : "(no answer)";
}

// Takes every free descriptor of the process, under a lowered limit, until it ends.
class DescriptorShortage {
  public:
    DescriptorShortage() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, rlim_t(highest) + 32);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (;;) {
            int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                exhausted_ = errno == EMFILE;
                break;
            }
            taken_.push_back(fd);
        }
    }
    ~DescriptorShortage() { end(); }

    bool exhausted() const { return exhausted_; }
    void end() {
        for (int fd : taken_)
            ::close(fd);
        taken_.clear();
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }

  private:
    rlimit saved_{};
    std::vector<int> taken_;
    bool exhausted_ = false;
};

// Turns of the UI thread's loop that found work, over milliseconds of real time: a
// listener that retries a failing accept at once makes nearly every turn busy.
int busyTurnsOver(int milliseconds) {
    QElapsedTimer elapsed;
    elapsed.start();
    int busy = 0;
    while (!elapsed.hasExpired(milliseconds)) {
        if (platform::pumpOneMessage())
            ++busy;
        else
            platform::sleepMs(1);
    }
    return busy;
}

class SingleInstanceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureQtApp();
        ASSERT_TRUE(runtime.isValid());
        previous = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    }
    void TearDown() override { qputenv("XDG_RUNTIME_DIR", previous); }

    QTemporaryDir runtime;
    QByteArray previous;
};

TEST_F(SingleInstanceTest, SecondHolderIsRefusedUntilTheFirstLetsGo) {
    auto first = std::make_unique<platform::SingleInstance>("lock-test");
    platform::SingleInstance second("lock-test");
    EXPECT_TRUE(first->acquire());
    EXPECT_FALSE(second.acquire());
    first.reset();
    EXPECT_TRUE(second.acquire());
}

TEST_F(SingleInstanceTest, RequestLineGetsTheHandlersReply) {
    platform::SingleInstance first("request-test");
    ASSERT_TRUE(first.acquire());
    std::string seen;
    ASSERT_TRUE(first.listen([&](const std::string& line) {
        seen = line;
        return std::string("ok");
    }));
    std::atomic<int> done{0};
    std::string reply;
    bool answered = false;
    std::thread second([&] {
        platform::SingleInstance client("request-test");
        answered = client.request("show", &reply);
        done = 1;
    });
    ASSERT_TRUE(pumpUntil([&] { return done.load() == 1; }));
    second.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(seen, "show");
    EXPECT_EQ(reply, "ok");
}

TEST_F(SingleInstanceTest, NobodyListeningGivesNoAnswer) {
    platform::SingleInstance client("nobody");
    std::string reply;
    EXPECT_FALSE(client.request("show", &reply, 300));
}

// The real program, started twice for one user: the second start shows the first
// and ends with status 0; the first keeps running.
TEST_F(SingleInstanceTest, SecondStartOfTravenorEndsAndFirstKeepsRunning) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORVALINK_HOME", home.path());
    env.insert("QUORVALINK_DEVDIR", home.path() + "/dev");
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess first;
    first.setProcessEnvironment(env);
    first.start(TRAVENOR_BINARY, {});
    ASSERT_TRUE(first.waitForStarted(5000));
    std::string socket = runtime.path().toStdString() + "/quorvalink-travenor.socket";
    ASSERT_TRUE(pumpUntil([&] { return std::filesystem::exists(socket); }, 10000));

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(TRAVENOR_BINARY, {});
    ASSERT_TRUE(second.waitForFinished(5000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);

    first.terminate();
    if (!first.waitForFinished(5000))
        first.kill();
    first.waitForFinished(5000);
}

// The client asks for the 16-bit open and leaves at once. The open waits with the UI
// alive and sees the client go; the manager must finish the open without touching
// the departed client, and go on serving.
struct LeavingClientCase {
    const char* name;
    bool deviceListens; // a device server that accepts and never answers; else none
};

class ClientLeavesDuringSixteenBitOpen : public SingleInstanceTest,
                                         public testing::WithParamInterface<LeavingClientCase> {};

TEST_P(ClientLeavesDuringSixteenBitOpen, OpenEndsAndTheNextClientIsServed) {
    const LeavingClientCase& c = GetParam();
    WindowHarness window;
    ManagerHarness manager;
    window.install();
    ScriptedBoxes boxes;
    const std::string address = allocateLoopbackAddress();
    std::unique_ptr<LoopbackListener> device;
    if (c.deviceListens)
        device = std::make_unique<LoopbackListener>(address, 4001);
    const int slot = manager.addPort(7, "COM5", address, 1);
    ASSERT_TRUE(startPort(slot));
    platform::SingleInstance first("leaving-client");
    ASSERT_TRUE(first.acquire());
    ASSERT_TRUE(first.listen(
        [&](const std::string& line) { return answerInstanceRequest(window.dialog(), line); }));

    int leaving = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(connectLocal(leaving, first.socketPath()));
    sendLine(leaving, "message 1030 5 1");
    ::close(leaving);

    // Once the client is surely gone, the open's clock runs fast: its 3 s connect wait
    // and 10 s reply wait pass without waiting.
    QElapsedTimer sinceLeft;
    sinceLeft.start();
    PeerSocket accepted;
    QTimer fastClock;
    QObject::connect(&fastClock, &QTimer::timeout, [&] {
        if (device && accepted.fd < 0)
            accepted = device->acceptOne(0);
        if (sinceLeft.elapsed() > 200)
            platform::addTickOffset(4000);
    });
    fastClock.start(20);
    ASSERT_TRUE(manager.pumpUntil([&] { return port(slot).state.load() == PORT_DISCONNECTED; }));
    fastClock.stop();
    EXPECT_EQ(port(slot).reason.load(), REASON_PORT_DISABLED);
    if (device) {
        EXPECT_GE(accepted.fd, 0) << "the open never reached the device server";
    }

    EXPECT_EQ(requestWhilePumping("leaving-client", "message 1030 5 0"), "1");
    EXPECT_EQ(port(slot).state.load(), PORT_READY);
}

INSTANTIATE_TEST_SUITE_P(DeviceServers, ClientLeavesDuringSixteenBitOpen,
                         testing::Values(LeavingClientCase{"NoDeviceServer", false},
                                         LeavingClientCase{"SilentDeviceServer", true}),
                         [](const testing::TestParamInfo<LeavingClientCase>& info) {
                             return std::string(info.param.name);
                         });

// Out of descriptors the listener cannot take a client: it rests instead of retrying
// at once, and serves again, the waiting client first, once descriptors are back.
// (The sanitizers need descriptors of their own to check what runs for the first
// time: the listener has served a client before the shortage.)
TEST_F(SingleInstanceTest, OutOfDescriptorsTheListenerRestsThenServesAgain) {
    platform::SingleInstance first("descriptors");
    ASSERT_TRUE(first.acquire());
    ASSERT_TRUE(first.listen([](const std::string& line) {
        return line == "show" ? std::string("ok") : std::string("error");
    }));
    ASSERT_EQ(requestWhilePumping("descriptors", "show"), "ok");
    int waiting = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(waiting, 0);
    {
        DescriptorShortage shortage;
        ASSERT_TRUE(shortage.exhausted());
        ASSERT_TRUE(connectLocal(waiting, first.socketPath()));
        sendLine(waiting, "show");
        EXPECT_LE(busyTurnsOver(300), 10) << "the listener keeps the event loop busy";
    }
    EXPECT_EQ(readReply(waiting), "ok");
    ::close(waiting);
    EXPECT_EQ(requestWhilePumping("descriptors", "show"), "ok");
}

} // namespace
