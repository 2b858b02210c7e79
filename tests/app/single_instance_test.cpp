#include "platform/single_instance.h"

#include "platform/tick.h"
#include "tests/app/gui_support.h"
#include "tests/support/pump.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace {

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

} // namespace
