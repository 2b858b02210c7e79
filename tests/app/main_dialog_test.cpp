#include "app/main_dialog.h"
#include "config/manager_context.h"

#include "app/boot_delay.h"
#include "app/instance_requests.h"
#include "config/port_key.h"
#include "config/port_table.h"
#include "driverlink/driver_link.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "platform/ui_thread.h"
#include "platform/window_boxes.h"
#include "tests/app/gui_support.h"
#include "tests/app/window_harness.h"
#include "tests/support/clean_context.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_fixture.h"
#include "tests/support/pump.h"
#include "tests/support/temp_store.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace {

class MainWindow : public ::testing::Test {
  protected:
    // These cases are about a desktop with a notification area, which the window hides
    // into; tests/app/system_tray_test.cpp has the desktop without one.
    void SetUp() override {
        ensureQtApp();
        overrideTrayAvailability(true);
        dialog = std::make_unique<MainDialog>();
        dialog->initialise();
        dialog->show();
        ASSERT_TRUE(pumpUntil([&] { return dialog->isVisible(); }));
    }
    void TearDown() override {
        dialog.reset();
        overrideTrayAvailability(std::nullopt);
    }
    void press(int key) {
        dialog->portList()->setFocus();
        QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(dialog->portList(), &down);
    }

    CleanContext clean;
    TempStore store;
    std::unique_ptr<MainDialog> dialog;
};

struct ControlCase {
    int id;
    const char* caption;
    bool visible;
};

class MainWindowControls : public MainWindow, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(MainWindowControls, CaptionAndVisibility) {
    QPushButton* b = dialog->button(GetParam().id);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->text().toStdString(), GetParam().caption);
    EXPECT_EQ(b->isVisible(), GetParam().visible);
    if (b->isVisible()) {
        EXPECT_TRUE(dialog->rect().contains(b->geometry()));
        EXPECT_FALSE(dialog->portList()->geometry().intersects(b->geometry()));
    }
}

INSTANTIATE_TEST_SUITE_P(Template, MainWindowControls,
                         ::testing::Values(ControlCase{platform::IDOK, "Hide", false},
                                           ControlCase{IDC_START, "&Start", true},
                                           ControlCase{IDC_STOP, "S&top", true},
                                           ControlCase{IDC_START_ALL, "Start All", false},
                                           ControlCase{IDC_STOP_ALL, "Stop All", false},
                                           ControlCase{IDC_ADD, "&Add", true},
                                           ControlCase{IDC_REMOVE, "&Remove", true},
                                           ControlCase{IDC_PROPERTIES, "&Properties", true},
                                           ControlCase{IDC_TEST, "Test", false},
                                           ControlCase{IDC_MONITORING, "Monitoring", false},
                                           ControlCase{IDC_EXIT, "E&xit", true}),
                         [](const auto& info) { return "Id" + std::to_string(info.param.id); });

TEST_F(MainWindow, TitleListAndMainWindowAreSetUp) {
    EXPECT_EQ(dialog->windowTitle().toStdString(), MAIN_WINDOW_TITLE);
    EXPECT_EQ(mainDialog, dialog.get());
    EXPECT_EQ(platform::mainWindow(), dialog.get());
    EXPECT_TRUE(dialog->portList()->isVisible());
    EXPECT_FALSE(dialog->findChild<QLabel*>("control1010")->isVisible());
    EXPECT_FALSE(dialog->windowIcon().isNull());
    EXPECT_TRUE(dialog->timerRunning(STARTUP_TIMER));
    EXPECT_TRUE(dialog->timerRunning(KEEPALIVE_TIMER));
}

TEST_F(MainWindow, EnterHidesTheWindow) {
    press(Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
}

// Esc and the close box are Exit; the window only ends through it.
TEST_F(MainWindow, EscapeAndCloseRunExitWhichWaitsWhileBusy) {
    int result = -1;
    QObject::connect(dialog.get(), &QDialog::finished, [&](int r) { result = r; });
    context.serviceBusy.store(1);
    press(Qt::Key_Escape);
    dialog->close();
    context.serviceBusy.store(0);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(result, -1);
    press(Qt::Key_Escape);
    EXPECT_EQ(result, platform::IDOK);
}

TEST_F(MainWindow, StartupTimerRunsOnceAndHidesWindow) {
    dialog->onTimer(STARTUP_TIMER);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(dialog->timerRunning(STARTUP_TIMER));
    EXPECT_TRUE(dialog->timerRunning(KEEPALIVE_TIMER));
}

TEST_F(MainWindow, MinimisingHidesInstead) {
    dialog->showMinimized();
    ASSERT_TRUE(pumpUntil([&] { return !dialog->isVisible(); }));
    EXPECT_FALSE(dialog->windowState() & Qt::WindowMinimized);
}

TEST_F(MainWindow, WidthIsFixedAndHeightHasAMinimum) {
    dialog->resize(900, 400);
    EXPECT_EQ(dialog->width(), MAIN_CLIENT_WIDTH);
    EXPECT_EQ(dialog->height(), 400);
    EXPECT_EQ(dialog->portList()->geometry(), QRect(14, 16, MAIN_CLIENT_WIDTH - 142, 400 - 31));
    dialog->resize(MAIN_CLIENT_WIDTH, 50);
    EXPECT_EQ(dialog->height(), MAIN_CLIENT_MIN_HEIGHT);
    dialog->showMaximized();
    pumpUntil([&] { return dialog->isMaximized(); }, 1000);
    EXPECT_EQ(dialog->width(), MAIN_CLIENT_WIDTH);
}

TEST_F(MainWindow, SecondStartRequestShowsHiddenWindow) {
    dialog->hideWindow();
    EXPECT_EQ(answerInstanceRequest(*dialog, "show"), "ok");
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->isMinimized());
}

TEST_F(MainWindow, OnlyTheSixteenBitRequestIsForwarded) {
    EXPECT_EQ(answerInstanceRequest(*dialog, "message 1030 5 1"), "0");
    EXPECT_EQ(answerInstanceRequest(*dialog, "message 1031 0 0"), "error");
    EXPECT_EQ(answerInstanceRequest(*dialog, "message 1030 5"), "error");
    EXPECT_EQ(answerInstanceRequest(*dialog, "message 1030 5 1 junk"), "error");
    // Each number a whole word, none wrapped: these would name COM1 or COM5.
    EXPECT_EQ(answerInstanceRequest(*dialog, "message 1030+1 0"), "error");
    EXPECT_EQ(answerInstanceRequest(*dialog, "message 1030 -18446744073709551611 1"), "error");
    EXPECT_EQ(answerInstanceRequest(*dialog, "message +1030 +5 -1"), "0");
    EXPECT_EQ(answerInstanceRequest(*dialog, "quit"), "error");
}

TEST_F(MainWindow, DestroyedDialogLeavesNoHandlerBehind) {
    dialog.reset();
    EXPECT_EQ(mainDialog, nullptr);
    EXPECT_EQ(platform::mainWindow(), nullptr);
    EXPECT_EQ(platform::sendMessage(platform::WM_REFRESH_LIST, 0, 0), 0);
}

// ---------------------------------------------------------------------------
// The end on a termination signal

using SignalEnd = WindowTest;

// A signal arrives while a question waits for an answer nobody gives (the box stays up,
// its own loop running): the end waits for the procedure under the box 5 s of ticks at
// most, then ends the manager as Exit would.
TEST_F(SignalEnd, UnansweredQuestionHoldsTheEndNoLongerThanFiveSeconds) {
    const std::string hiddenHost = allocateLoopbackAddress();
    int running = addPort(0, "COM3", 1);
    int asking = addPort(1, "COM4", 2);
    ASSERT_TRUE(startPort(running));
    setCurrentHost(port(asking), hiddenHost.c_str(), 5);
    MainDialog& dialog = window();
    dialog.refreshPortList();
    const int hiddenRow = 3;
    ASSERT_EQ(dialog.portList()->rowText(hiddenRow, COL_NAME), "(Hidden Port)");
    {
        // The end saves the current host again.
        platform::HKEY key = nullptr;
        ASSERT_TRUE(openPortKey(running, &key));
        platform::regSetString(key, "CurIPAddr", "");
        platform::RegCloseKey(key);
    }
    int finishedWith = -1;
    QObject::connect(&dialog, &QDialog::finished, [&](int result) { finishedWith = result; });
    auto anythingEnded = [&] {
        return managerFinished() || finishedWith != -1 || port(running).state.load() != PORT_READY;
    };
    bool endedEarly = true;
    bool endedInTime = false;
    platform::setMessageBoxResponder([&](const platform::MessageBoxCall& call) {
        EXPECT_EQ(call.text, "COM4 is running under Hidden Mode.\nContinue?");
        dialog.endOnSignal();
        platform::addTickOffset(4000);
        pumpFor(300);
        endedEarly = anythingEnded();
        platform::addTickOffset(1000);
        endedInTime = pumpUntil([] { return managerFinished(); }, 3000);
        return platform::IDNO;
    });

    dialog.portList()->selectionModel()->select(dialog.portList()->model()->index(hiddenRow, 0),
                                                QItemSelectionModel::Select |
                                                    QItemSelectionModel::Rows);
    dialog.button(IDC_START)->click();

    EXPECT_FALSE(endedEarly) << "ended before 5 s of ticks";
    EXPECT_TRUE(endedInTime) << "the question kept the manager from ending";
    EXPECT_EQ(finishedWith, platform::IDOK);
    EXPECT_EQ(port(running).state.load(), PORT_STOPPED);
    EXPECT_EQ(savedAddress(running), address());
    EXPECT_EQ(driverLink.device, DriverLink::Device::NotOpened);
    EXPECT_FALSE(std::filesystem::exists(manager.linkPath("COM3")));
}

// ---------------------------------------------------------------------------
// The boot delay

struct BootCase {
    const char* name;
    uint64_t upAtStart;
    uint32_t expectedWait;
};

class BootDelay : public ::testing::TestWithParam<BootCase> {
  protected:
    ~BootDelay() override { platform::resetTickOffset(); }
};

TEST_P(BootDelay, SleepsUntilTheSystemHasBeenUpTwentySevenSeconds) {
    platform::addTickOffset(int64_t(GetParam().upAtStart) - int64_t(platform::systemUpTime()));
    uint32_t waited = 0;
    waitForBootDelay([&](uint32_t milliseconds) {
        waited += milliseconds;
        platform::addTickOffset(milliseconds);
    });
    EXPECT_EQ(waited, GetParam().expectedWait);
}

INSTANTIATE_TEST_SUITE_P(UpTimes, BootDelay,
                         ::testing::Values(BootCase{"TenSeconds", 10000, 17000},
                                           BootCase{"OneMinute", 60000, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
