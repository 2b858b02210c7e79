#include "app/system_tray.h"

#include "app/about_dialog.h"
#include "app/app_icon.h"
#include "app/main_dialog.h"
#include "app/run_at_boot.h"
#include "config/manager_context.h"
#include "platform/autostart.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/ui_thread.h"
#include "tests/app/gui_support.h"
#include "tests/app/temp_config_home.h"
#include "tests/support/clean_context.h"
#include "tests/support/pump.h"
#include "tests/support/scripted_boxes.h"
#include "tests/support/temp_store.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>

using namespace platform;

namespace {

constexpr int SEPARATOR = 0;

// The desktop's answer to "is there a notification area", fixed while it lives.
class TrayAvailability {
  public:
    explicit TrayAvailability(bool available) { overrideTrayAvailability(available); }
    ~TrayAvailability() { overrideTrayAvailability(std::nullopt); }
    void set(bool available) { overrideTrayAvailability(available); }
};

QMenu* openPopup() {
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

void closePopups() {
    while (QWidget* popup = QApplication::activePopupWidget())
        popup->close();
}

std::vector<int> commands(const QMenu* menu) {
    std::vector<int> ids;
    for (const QAction* item : menu->actions())
        ids.push_back(menuCommand(item));
    return ids;
}

QAction* item(const QMenu* menu, int command) {
    for (QAction* action : menu->actions())
        if (menuCommand(action) == command)
            return action;
    return nullptr;
}

// As a person picks an item: it becomes the active one and Enter is pressed.
void choose(QMenu* menu, int command) {
    ASSERT_NE(item(menu, command), nullptr) << command;
    menu->setActiveAction(item(menu, command));
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(menu, &enter);
}

void writeRunValue(bool present) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, RUN_KEY, &key), ERROR_SUCCESS);
    if (present)
        regSetString(key, RUN_VALUE, "/opt/quorvalink/travenor");
    else
        RegDeleteValue(key, RUN_VALUE);
    RegCloseKey(key);
}

struct AboutSeen {
    bool shown = false;
    std::string title;
    std::string text;
    bool icon = false;
};

// Runs command and answers the About box if one comes up: notes what it shows and
// presses its OK button.
AboutSeen answerAbout(const std::function<void()>& command) {
    AboutSeen seen;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        auto* about = qobject_cast<AboutDialog*>(QApplication::activeModalWidget());
        if (!about)
            return;
        seen = {true, about->windowTitle().toStdString(),
                about->findChild<QLabel*>("aboutText")->text().toStdString(),
                !about->findChild<QLabel*>("aboutIcon")->pixmap().isNull()};
        about->findChild<QPushButton*>("aboutOk")->click();
    });
    watcher.start(5);
    command();
    return seen;
}

// The manager's window as start-up leaves it, with the notification area there or not.
class Shell : public ::testing::Test {
  protected:
    void SetUp() override { ensureQtApp(); }
    void TearDown() override {
        closePopups();
        dialog.reset();
    }
    void open(bool trayUp, int ports = 0) {
        availability.set(trayUp);
        for (int slot = 0; slot < ports; ++slot)
            writeStoredPort(slot, "COM" + std::to_string(slot + 1), {{"10.0.0.1", 1, "device"}});
        dialog = std::make_unique<MainDialog>();
        dialog->initialise();
        dialog->show();
        ASSERT_TRUE(pumpUntil([&] { return dialog->isVisible(); }));
    }
    CSystemTray& tray() { return dialog->trayIcon(); }
    QMenu* rightClickTray() {
        tray().HandleNotification(APP_ICON_ID, WM_RBUTTONUP);
        return openPopup();
    }
    QMenu* rightClickWindow() {
        QWidget* area = dialog->portList()->viewport();
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(20, 20),
                                area->mapToGlobal(QPoint(20, 20)));
        QApplication::sendEvent(area, &click);
        return openPopup();
    }

    CleanContext clean;
    TempStore store;
    TempConfigHome config;
    ScriptedBoxes boxes;
    TrayAvailability availability{false};
    std::unique_ptr<MainDialog> dialog;
};

class TrayShell : public Shell {
  protected:
    void SetUp() override {
        Shell::SetUp();
        open(true, 40);
    }
};

// The class on its own, with a plain window as owner.
TEST(SystemTray, OperationsWorkOnlyWhileTheIconIsInTheArea) {
    ensureQtApp();
    TrayAvailability available(true);
    QWidget owner, other;
    CSystemTray tray;
    EXPECT_FALSE(tray.ChangeTip("x"));
    EXPECT_FALSE(tray.ChangeIcon(QStyle::SP_ComputerIcon));
    EXPECT_FALSE(tray.ChangeOwner(&other));
    EXPECT_FALSE(tray.HideFromTray());
    EXPECT_FALSE(tray.ShowInTray());
    EXPECT_EQ(tray.CurrentTip(), "");
    EXPECT_TRUE(tray.CurrentIcon().isNull());
    EXPECT_FALSE(tray.AddToTray(nullptr, WM_TRAY_NOTIFY, TRAY_TIP, makeAppIcon(), APP_ICON_ID));
    EXPECT_EQ(tray.notificationIcon(), nullptr);

    ASSERT_TRUE(tray.AddToTray(&owner, WM_TRAY_NOTIFY, TRAY_TIP, makeAppIcon(), APP_ICON_ID));
    QSystemTrayIcon* icon = tray.notificationIcon();
    ASSERT_NE(icon, nullptr);
    EXPECT_TRUE(icon->isVisible());
    EXPECT_EQ(icon->toolTip().toStdString(), TRAY_TIP);
    EXPECT_EQ(icon->contextMenu(), &tray.menu());
    EXPECT_EQ(tray.CurrentTip(), TRAY_TIP);
    EXPECT_EQ(tray.Owner(), &owner);

    // 63 bytes at most, never half a character: 62 'x' and a two-byte character.
    ASSERT_TRUE(tray.ChangeTip(std::string(62, 'x') + "\xC3\xA4" + "tail"));
    EXPECT_EQ(tray.CurrentTip(), std::string(62, 'x'));
    EXPECT_EQ(icon->toolTip().toStdString(), std::string(62, 'x'));
    ASSERT_TRUE(tray.ChangeIcon(QStyle::SP_ComputerIcon));
    EXPECT_EQ(icon->icon().cacheKey(), tray.CurrentIcon().cacheKey());
    EXPECT_TRUE(tray.ChangeOwner(&other));
    EXPECT_EQ(tray.Owner(), &other);

    EXPECT_TRUE(tray.HideFromTray());
    EXPECT_EQ(tray.notificationIcon(), nullptr);
    EXPECT_FALSE(tray.shown());
    EXPECT_FALSE(tray.HideFromTray());
    EXPECT_TRUE(tray.ShowInTray());
    ASSERT_NE(tray.notificationIcon(), nullptr);
    EXPECT_EQ(tray.notificationIcon()->toolTip().toStdString(), std::string(62, 'x'));
    EXPECT_TRUE(tray.ReAddToTray());
    EXPECT_TRUE(tray.shown());

    tray.RemoveFromTray();
    EXPECT_EQ(tray.notificationIcon(), nullptr);
    EXPECT_EQ(tray.CurrentTip(), "");
    tray.RemoveFromTray();
    EXPECT_FALSE(tray.ChangeTip("x"));
}

TEST(SystemTray, NoAreaNoIconAndDestructionRemovesIt) {
    ensureQtApp();
    QWidget owner;
    TrayAvailability available(false);
    CSystemTray none(&owner, WM_TRAY_NOTIFY, TRAY_TIP, makeAppIcon(), APP_ICON_ID);
    EXPECT_FALSE(none.shown());
    EXPECT_EQ(none.notificationIcon(), nullptr);

    available.set(true);
    QPointer<QSystemTrayIcon> icon;
    {
        CSystemTray tray(&owner, WM_TRAY_NOTIFY, TRAY_TIP, makeAppIcon(), APP_ICON_ID);
        icon = tray.notificationIcon();
        ASSERT_FALSE(icon.isNull());
        // Added again: the first icon goes, none is left that nothing owns.
        ASSERT_TRUE(tray.AddToTray(&owner, WM_TRAY_NOTIFY, TRAY_TIP, makeAppIcon(), APP_ICON_ID));
        EXPECT_TRUE(icon.isNull());
        icon = tray.notificationIcon();
    }
    EXPECT_TRUE(icon.isNull());
}

struct NotificationCase {
    const char* name;
    uintptr_t wParam;
    intptr_t lParam;
    intptr_t handled;
    bool menu;
    bool window;
};

class TrayNotifications : public TrayShell,
                          public ::testing::WithParamInterface<NotificationCase> {};

// Only icon 131's right-button release and left double-click do anything.
TEST_P(TrayNotifications, OnlyTheIconsRightClickAndDoubleClickAct) {
    const NotificationCase& c = GetParam();
    dialog->hideWindow();
    EXPECT_EQ(tray().HandleNotification(c.wParam, c.lParam), c.handled);
    EXPECT_EQ(openPopup() == &tray().menu(), c.menu);
    EXPECT_EQ(dialog->isVisible(), c.window);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, TrayNotifications,
    ::testing::Values(
        NotificationCase{"OtherIconRightClick", 130, WM_RBUTTONUP, 0, false, false},
        NotificationCase{"OtherIconDoubleClick", 132, WM_LBUTTONDBLCLK, 0, false, false},
        NotificationCase{"RightClick", 131, WM_RBUTTONUP, 1, true, false},
        NotificationCase{"RightClickHighBits", 131, 0x70000 | WM_RBUTTONUP, 1, true, false},
        NotificationCase{"DoubleClick", 131, WM_LBUTTONDBLCLK, 1, false, true},
        NotificationCase{"LeftClick", 131, WM_LBUTTONUP, 1, false, false},
        NotificationCase{"LeftPress", 131, WM_LBUTTONDOWN, 1, false, false},
        NotificationCase{"RightPress", 131, WM_RBUTTONDOWN, 1, false, false},
        NotificationCase{"MouseMove", 131, WM_MOUSEMOVE, 1, false, false}),
    [](const auto& info) { return info.param.name; });

struct ActivationCase {
    const char* name;
    QSystemTrayIcon::ActivationReason reason;
    std::optional<uint32_t> mouseMessage;
};

class TrayActivations : public TrayShell, public ::testing::WithParamInterface<ActivationCase> {};

// What Qt reports about the icon reaches the window's message table as WM_TRAY_NOTIFY.
TEST_P(TrayActivations, ArriveAsTheTrayNotification) {
    const ActivationCase& c = GetParam();
    std::vector<std::tuple<uint32_t, uintptr_t, intptr_t>> seen;
    setMessageHandler([&](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        seen.emplace_back(message, wParam, lParam);
        return dialog->onMessage(message, wParam, lParam);
    });
    dialog->hideWindow();
    Q_EMIT tray().notificationIcon()->activated(c.reason);
    if (!c.mouseMessage) {
        pumpFor(50);
        EXPECT_TRUE(seen.empty());
        return;
    }
    ASSERT_TRUE(pumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen.front(), std::make_tuple(uint32_t(WM_TRAY_NOTIFY), uintptr_t(APP_ICON_ID),
                                            intptr_t(*c.mouseMessage)));
    EXPECT_EQ(openPopup() == &tray().menu(), c.reason == QSystemTrayIcon::Context);
    EXPECT_EQ(dialog->isVisible(), c.reason == QSystemTrayIcon::DoubleClick);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, TrayActivations,
    ::testing::Values(ActivationCase{"Trigger", QSystemTrayIcon::Trigger, WM_LBUTTONUP},
                      ActivationCase{"DoubleClick", QSystemTrayIcon::DoubleClick, WM_LBUTTONDBLCLK},
                      ActivationCase{"Context", QSystemTrayIcon::Context, WM_RBUTTONUP},
                      ActivationCase{"MiddleClick", QSystemTrayIcon::MiddleClick, WM_MBUTTONUP},
                      ActivationCase{"Unknown", QSystemTrayIcon::Unknown, std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST_F(TrayShell, DoubleClickBringsTheWindowBackAtTheTopOfTheList) {
    dialog->portList()->scrollToBottom();
    ASSERT_GT(dialog->portList()->topRow(), 0);
    dialog->hideWindow();
    tray().HandleNotification(APP_ICON_ID, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->portList()->topRow(), 0);
}

// The check mark is read from the store each time the menu opens.
TEST_F(TrayShell, RightClickMenuAndItsCheckMark) {
    QMenu* menu = rightClickTray();
    ASSERT_EQ(menu, &tray().menu());
    EXPECT_EQ(commands(menu), (std::vector<int>{ID_TRAY_MANAGER, ID_TRAY_ABOUT, SEPARATOR,
                                                ID_TRAY_RUN_AT_BOOT, ID_TRAY_EXIT}));
    std::vector<std::string> texts;
    for (const QAction* action : menu->actions())
        texts.push_back(action->text().toStdString());
    EXPECT_EQ(texts,
              (std::vector<std::string>{"Manager", "About", "", "Run always after boot", "Exit"}));
    EXPECT_EQ(menu->defaultAction(), item(menu, ID_TRAY_MANAGER));
    EXPECT_FALSE(item(menu, ID_TRAY_RUN_AT_BOOT)->isChecked());
    for (bool present : {true, false, true}) {
        menu->close();
        writeRunValue(present);
        ASSERT_EQ(rightClickTray(), menu);
        EXPECT_EQ(item(menu, ID_TRAY_RUN_AT_BOOT)->isChecked(), present);
    }
}

TEST_F(TrayShell, MenuCommandsReachTheWindow) {
    dialog->hideWindow();
    choose(rightClickTray(), ID_TRAY_MANAGER);
    EXPECT_TRUE(pumpUntil([&] { return dialog->isVisible(); }));

    choose(rightClickTray(), ID_TRAY_RUN_AT_BOOT);
    EXPECT_TRUE(pumpUntil([] { return runAtBootPresent(); }));
    EXPECT_TRUE(autostartEntryExists(AUTOSTART_ENTRY));
    ASSERT_EQ(rightClickTray(), &tray().menu());
    EXPECT_TRUE(item(&tray().menu(), ID_TRAY_RUN_AT_BOOT)->isChecked());
    closePopups();

    AboutSeen about = answerAbout([&] {
        choose(rightClickTray(), ID_TRAY_ABOUT);
        pumpUntil([&] { return about.shown; }, 2000);
    });
    EXPECT_TRUE(about.shown);

    int result = -1;
    QObject::connect(dialog.get(), &QDialog::finished, [&](int r) { result = r; });
    choose(rightClickTray(), ID_TRAY_EXIT);
    EXPECT_TRUE(pumpUntil([&] { return result == IDOK; }));
}

struct AboutCase {
    const char* name;
    int command;
    bool busy;
    bool shown;
};

class AboutBox : public TrayShell, public ::testing::WithParamInterface<AboutCase> {};

// The tray's About waits for no procedure and is skipped while one runs; the system
// menu's comes whatever runs.
TEST_P(AboutBox, ShownUnlessTheTrayAsksWhileBusy) {
    context.serviceBusy.store(GetParam().busy);
    AboutSeen about = answerAbout([&] { dialog->onCommand(GetParam().command); });
    context.serviceBusy.store(0);
    EXPECT_EQ(about.shown, GetParam().shown);
    if (about.shown) {
        EXPECT_EQ(about.title, "About Redirector");
        EXPECT_EQ(about.text, "Quorvalink Redirector Ver 1.20");
        EXPECT_TRUE(about.icon);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, AboutBox,
                         ::testing::Values(AboutCase{"TrayIdle", ID_TRAY_ABOUT, false, true},
                                           AboutCase{"TrayBusy", ID_TRAY_ABOUT, true, false},
                                           AboutCase{"SystemMenuIdle", SYSMENU_ABOUT, false, true},
                                           AboutCase{"SystemMenuBusy", SYSMENU_ABOUT, true, true}),
                         [](const auto& info) { return info.param.name; });

// The window's own menu stands in for the system menu: its About comes while busy too.
TEST_F(TrayShell, WindowMenuHoldsTheSystemMenusAbout) {
    QMenu* menu = rightClickWindow();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(commands(menu), std::vector<int>{SYSMENU_ABOUT});
    EXPECT_EQ(menu->actions().front()->text().toStdString(), "&About Travenor...");
    context.serviceBusy.store(1);
    AboutSeen about = answerAbout([&] {
        choose(menu, SYSMENU_ABOUT);
        pumpUntil([&] { return about.shown; }, 2000);
    });
    context.serviceBusy.store(0);
    EXPECT_TRUE(about.shown);
}

class WithOrWithoutTray : public Shell, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        Shell::SetUp();
        open(trayUp());
    }
    bool trayUp() const { return GetParam(); }
    // Where the window went: into the tray (hidden) or, without one, stays reachable.
    void expectRetired() {
        if (trayUp()) {
            EXPECT_TRUE(pumpUntil([&] { return !dialog->isVisible(); }));
            EXPECT_FALSE(dialog->isMinimized());
        } else {
            EXPECT_TRUE(pumpUntil([&] { return dialog->isMinimized(); }));
            EXPECT_TRUE(dialog->isVisible());
        }
    }
};

TEST_P(WithOrWithoutTray, StartUpHidesOnlyIntoTheTray) {
    EXPECT_EQ(tray().shown(), trayUp());
    EXPECT_EQ(tray().notificationIcon() != nullptr, trayUp());
    dialog->onTimer(STARTUP_TIMER);
    pumpFor(20);
    EXPECT_EQ(dialog->isVisible(), !trayUp());
    EXPECT_FALSE(dialog->isMinimized());
}

TEST_P(WithOrWithoutTray, MinimiseAndHideNeverLoseTheWindow) {
    dialog->showMinimized();
    expectRetired();
    dialog->showNormal();
    ASSERT_TRUE(pumpUntil([&] { return dialog->isVisible() && !dialog->isMinimized(); }));
    dialog->onCommand(IDOK);
    expectRetired();
}

// Without a tray every command of its menu is in the window's menu.
TEST_P(WithOrWithoutTray, WindowMenuCarriesTheTrayCommandsWithoutATray) {
    QMenu* menu = rightClickWindow();
    ASSERT_NE(menu, nullptr);
    std::vector<int> expected{SYSMENU_ABOUT};
    if (!trayUp())
        expected = {ID_TRAY_MANAGER, ID_TRAY_ABOUT, SEPARATOR,    ID_TRAY_RUN_AT_BOOT,
                    ID_TRAY_EXIT,    SEPARATOR,     SYSMENU_ABOUT};
    EXPECT_EQ(commands(menu), expected);
    if (trayUp())
        return;
    EXPECT_EQ(menu->defaultAction(), item(menu, ID_TRAY_MANAGER));
    EXPECT_FALSE(item(menu, ID_TRAY_RUN_AT_BOOT)->isChecked());
    choose(menu, ID_TRAY_RUN_AT_BOOT);
    EXPECT_TRUE(pumpUntil([] { return runAtBootPresent(); }));
    menu = rightClickWindow();
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(item(menu, ID_TRAY_RUN_AT_BOOT)->isChecked());
    int result = -1;
    QObject::connect(dialog.get(), &QDialog::finished, [&](int r) { result = r; });
    choose(menu, ID_TRAY_EXIT);
    EXPECT_TRUE(pumpUntil([&] { return result == IDOK; }));
}

INSTANTIATE_TEST_SUITE_P(Desktop, WithOrWithoutTray, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Tray" : "NoTray"; });

} // namespace
