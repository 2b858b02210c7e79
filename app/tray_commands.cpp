// MainDialog's tray icon and the commands of the tray menu that are not about ports:
// About (from the tray and from the system menu's stand-in) and Run always after
// boot; and the window menu, which stands in for the system menu and, without a
// notification area, for the tray menu as well, and which opens the Port Monitor of
// the row it was opened on.
#include "app/main_dialog.h"

#include "app/about_dialog.h"
#include "app/run_at_boot.h"
#include "config/manager_context.h"
#include "platform/autostart.h"
#include "platform/ui_thread.h"

#include <QMenu>

namespace {

// String resource 101.
constexpr const char* SYSMENU_ABOUT_TEXT = "&About Travenor...";
// The caption of the hidden Monitoring button.
constexpr const char* MONITORING_TEXT = "Monitoring";

} // namespace

// Its result is not looked at: without a notification area the manager goes on with
// its window, which then never hides itself.
void MainDialog::addTrayIcon() {
    trayIcon_.AddToTray(this, platform::WM_TRAY_NOTIFY, TRAY_TIP, appIcon, APP_ICON_ID);
}

intptr_t MainDialog::onTrayNotify(uintptr_t wParam, intptr_t lParam) {
    trayIcon_.HandleNotification(wParam, lParam);
    return 0;
}

void MainDialog::showAbout() {
    if (!context.serviceBusy.load())
        showAboutBox();
}

void MainDialog::showAboutBox() {
    AboutDialog about(this);
    about.exec();
}

void MainDialog::toggleRunAtBoot() {
    toggleRunAtBootEntry(platform::runningProgramPath());
}

void MainDialog::showWindowMenu(const QPoint& globalPos, bool onRow) {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // Without a notification area this menu holds the manager's commands, Monitoring
    // of the row last selected among them.
    if (onRow || (!trayIcon_.shown() && selectedRow_ >= 0)) {
        menu->addAction(MONITORING_TEXT)->setData(IDC_MONITORING);
        menu->addSeparator();
    }
    if (!trayIcon_.shown()) {
        loadTrayMenu(*menu);
        prepareTrayMenu(*menu);
        menu->addSeparator();
    }
    menu->addAction(SYSMENU_ABOUT_TEXT)->setData(SYSMENU_ABOUT);
    connect(menu, &QMenu::triggered, this, [this](QAction* item) { postMenuCommand(this, item); });
    menu->popup(globalPos);
}

// Qt has already selected a row that was not selected; one that was (among others)
// keeps the selection as it is, and is still the row the menu is about. A port's row
// offers its monitor.
void MainDialog::showRowMenu(const QPoint& viewportPos) {
    QTreeWidgetItem* item = portList_->itemAt(viewportPos);
    bool onPort = false;
    if (item) {
        selectedRow_ = portList_->indexOfTopLevelItem(item);
        onPort = portList_->rowAt(selectedRow_).kind != PortRow::Blank;
    }
    showWindowMenu(portList_->viewport()->mapToGlobal(viewportPos), onPort);
}
