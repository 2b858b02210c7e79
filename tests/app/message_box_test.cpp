#include "platform/message_box.h"

#include "platform/ui_thread.h"
#include "platform/window_boxes.h"
#include "tests/app/gui_support.h"
#include "tests/support/pump.h"
#include "tests/support/scripted_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace platform;

namespace {

class MessageBoxes : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureQtApp();
        showBoxesInWindows();
    }
    void TearDown() override { setMessageBoxShower(nullptr); }
};

TEST_F(MessageBoxes, ScriptedAnswerComesBackAndOwnerIsRecorded) {
    ScriptedBoxes boxes;
    boxes.expect("Delete it?", "Warning", MB_YESNO | MB_ICONWARNING, IDNO);
    boxes.expect("Done.", "Information", MB_ICONINFORMATION);
    EXPECT_EQ(messageBox(BoxOwner::Window, "Delete it?", "Warning", MB_YESNO | MB_ICONWARNING),
              IDNO);
    EXPECT_EQ(messageBox(BoxOwner::None, "Done.", "Information", MB_ICONINFORMATION), IDOK);
    auto shown = boxes.shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_TRUE(shown[0].owned);
    EXPECT_FALSE(shown[1].owned);
}

TEST_F(MessageBoxes, MainWindowIsWhatWasSet) {
    QWidget window;
    setMainWindow(&window);
    EXPECT_EQ(mainWindow(), &window);
    setMainWindow(nullptr);
    EXPECT_EQ(mainWindow(), nullptr);
}

struct RealBoxCase {
    const char* name;
    unsigned style;
    QMessageBox::Icon icon;
    QMessageBox::StandardButton press;
    int expected;
};

class RealBox : public MessageBoxes, public ::testing::WithParamInterface<RealBoxCase> {};

// A worker thread's box is shown by the UI thread with the icon and buttons the
// style asks for, and the worker gets the button the person pressed.
TEST_P(RealBox, WorkerThreadBoxIsShownOnUiThread) {
    const RealBoxCase& c = GetParam();
    std::atomic<int> answer{-1};
    std::thread worker(
        [&] { answer = messageBox(BoxOwner::None, "Text of the box", "Caption", c.style); });
    // The box runs its own loop on the UI thread; the person is a timer inside it.
    QString text, title, threadOk;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool pressed = false;
    QTimer person;
    QObject::connect(&person, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || pressed)
            return;
        text = box->text();
        title = box->windowTitle();
        icon = box->icon();
        threadOk = box->thread() == QCoreApplication::instance()->thread() ? "ui" : "other";
        if (QAbstractButton* button = box->button(c.press)) {
            pressed = true;
            button->click();
        }
    });
    person.start(5);
    ASSERT_TRUE(pumpUntil([&] { return answer.load() != -1; }));
    worker.join();
    EXPECT_TRUE(pressed);
    EXPECT_EQ(threadOk, "ui");
    EXPECT_EQ(text, "Text of the box");
    EXPECT_EQ(title, "Caption");
    EXPECT_EQ(icon, c.icon);
    EXPECT_EQ(answer.load(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, RealBox,
    ::testing::Values(RealBoxCase{"ErrorOk", MB_ICONERROR, QMessageBox::Critical, QMessageBox::Ok,
                                  IDOK},
                      RealBoxCase{"WarningYes", MB_YESNO | MB_ICONWARNING, QMessageBox::Warning,
                                  QMessageBox::Yes, IDYES},
                      RealBoxCase{"WarningNo", MB_YESNO | MB_ICONWARNING, QMessageBox::Warning,
                                  QMessageBox::No, IDNO},
                      RealBoxCase{"InformationOk", MB_ICONINFORMATION, QMessageBox::Information,
                                  QMessageBox::Ok, IDOK}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
