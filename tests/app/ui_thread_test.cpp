#include "platform/ui_thread.h"

#include "tests/app/gui_support.h"
#include "tests/support/pump.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform;

namespace {

struct Handled {
    uint32_t message;
    intptr_t lParam;
    bool onUiThread;
};

class UiThread : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureQtApp();
        drain();
        setMessageHandler([this](uint32_t message, uintptr_t, intptr_t lParam) {
            std::lock_guard lock(mutex);
            handled.push_back({message, lParam, isUiThread()});
            return lParam * 3;
        });
    }
    void TearDown() override {
        setMessageHandler(nullptr);
        drain();
    }
    static void drain() {
        for (int i = 0; i < 1000 && pumpOneMessage(); ++i) {
        }
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return handled.size();
    }

    std::mutex mutex;
    std::vector<Handled> handled;
};

TEST_F(UiThread, PostedMessagesFromAnotherThreadRunOnUiThreadInOrder) {
    std::thread worker([] {
        for (int i = 0; i < 200; ++i)
            postMessage(WM_RECONNECT_PORT + uint32_t(i % 3), 0, i);
    });
    ASSERT_TRUE(pumpUntil([&] { return count() == 200; }));
    worker.join();
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(handled[i].lParam, i);
        EXPECT_EQ(handled[i].message, WM_RECONNECT_PORT + uint32_t(i % 3));
        EXPECT_TRUE(handled[i].onUiThread);
    }
}

TEST_F(UiThread, SentMessageReturnsHandlersResultAfterEarlierPosts) {
    std::atomic<intptr_t> result{-1};
    std::thread worker([&] {
        postMessage(WM_REFRESH_LIST, 0, 1);
        result = sendMessage(WM_START_PORT, 1, 14);
    });
    ASSERT_TRUE(pumpUntil([&] { return result.load() != -1; }));
    worker.join();
    EXPECT_EQ(result.load(), 42);
    ASSERT_EQ(count(), 2u);
    EXPECT_EQ(handled[0].message, WM_REFRESH_LIST);
    EXPECT_EQ(handled[1].message, WM_START_PORT);
    EXPECT_TRUE(handled[1].onUiThread);
}

TEST_F(UiThread, SendOnUiThreadIsADirectCall) {
    EXPECT_EQ(sendMessage(WM_SWITCH_PORT, 0, 5), 15);
    ASSERT_EQ(count(), 1u);
    EXPECT_FALSE(pumpOneMessage());
}

TEST_F(UiThread, WithoutHandlerMessagesAreDroppedAndSendersReleased) {
    setMessageHandler(nullptr);
    std::atomic<intptr_t> result{-1};
    std::thread worker([&] { result = sendMessage(WM_START_PORT, 1, 3); });
    ASSERT_TRUE(pumpUntil([&] { return result.load() != -1; }));
    worker.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(count(), 0u);
}

TEST_F(UiThread, PumpIsFalseWhenIdleAndTrueAfterAPost) {
    EXPECT_FALSE(pumpOneMessage());
    postMessage(WM_REFRESH_LIST, 0, 0);
    EXPECT_TRUE(pumpOneMessage());
    EXPECT_EQ(count(), 1u);
    EXPECT_FALSE(pumpOneMessage());
}

// A procedure that waits pumps below the main loop; an exit requested by a message
// it dispatches must still end the main loop once the procedure returns.
class QuitDuringNestedPump : public UiThread, public ::testing::WithParamInterface<bool> {};

TEST_P(QuitDuringNestedPump, EndsTheMainLoop) {
    bool useQuit = GetParam();
    setMessageHandler([useQuit](uint32_t, uintptr_t, intptr_t) {
        if (useQuit)
            QCoreApplication::quit();
        else
            QCoreApplication::exit(7);
        return intptr_t(0);
    });
    bool procedureFinished = false;
    QTimer::singleShot(0, [&] {
        postMessage(WM_OPEN_PORT, 0, 0);
        for (int i = 0; i < 50; ++i)
            pumpOneMessage();
        procedureFinished = true;
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(5000);
    int code = QCoreApplication::exec();
    EXPECT_TRUE(procedureFinished);
    EXPECT_EQ(code, useQuit ? 0 : 7);
}

INSTANTIATE_TEST_SUITE_P(QuitOrExit, QuitDuringNestedPump, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Quit" : "Exit7"; });

} // namespace
