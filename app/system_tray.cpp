#include "app/system_tray.h"

#include "app/main_dialog.h"
#include "app/run_at_boot.h"
#include "platform/ui_thread.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

namespace {

constexpr size_t MAX_TIP_BYTES = 63;

struct MenuItem {
    int command; // 0: separator
    const char* text;
};

constexpr MenuItem TRAY_MENU[] = {
    {ID_TRAY_MANAGER, "Manager"},
    {ID_TRAY_ABOUT, "About"},
    {0, nullptr},
    {ID_TRAY_RUN_AT_BOOT, "Run always after boot"},
    {ID_TRAY_EXIT, "Exit"},
};

// What each of Qt's activation reasons stands for in the notification message.
struct Activation {
    QSystemTrayIcon::ActivationReason reason;
    uint32_t mouseMessage;
};

constexpr Activation ACTIVATIONS[] = {
    {QSystemTrayIcon::Trigger, WM_LBUTTONUP},
    {QSystemTrayIcon::DoubleClick, WM_LBUTTONDBLCLK},
    {QSystemTrayIcon::Context, WM_RBUTTONUP},
    {QSystemTrayIcon::MiddleClick, WM_MBUTTONUP},
};

std::optional<bool> availabilityOverride;

// The tooltip field holds 63 bytes and its zero; a character is never cut in two.
std::string fittedTip(std::string tip) {
    if (tip.size() <= MAX_TIP_BYTES)
        return tip;
    size_t cut = MAX_TIP_BYTES;
    while (cut > 0 && (static_cast<unsigned char>(tip[cut]) & 0xC0) == 0x80)
        --cut;
    tip.resize(cut);
    return tip;
}

QAction* itemWithCommand(QMenu& menu, int command) {
    for (QAction* item : menu.actions())
        if (menuCommand(item) == command)
            return item;
    return nullptr;
}

} // namespace

QEvent::Type CommandEvent::eventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void loadTrayMenu(QMenu& menu) {
    for (const MenuItem& entry : TRAY_MENU) {
        if (!entry.command) {
            menu.addSeparator();
            continue;
        }
        QAction* item = menu.addAction(QString::fromLatin1(entry.text));
        item->setData(entry.command);
        item->setCheckable(entry.command == ID_TRAY_RUN_AT_BOOT);
    }
}

void prepareTrayMenu(QMenu& menu) {
    menu.setDefaultAction(itemWithCommand(menu, ID_TRAY_MANAGER));
    if (QAction* runAtBoot = itemWithCommand(menu, ID_TRAY_RUN_AT_BOOT))
        runAtBoot->setChecked(runAtBootPresent());
}

int menuCommand(const QAction* item) {
    return item ? item->data().toInt() : 0;
}

void postMenuCommand(QWidget* owner, const QAction* item) {
    if (owner && menuCommand(item))
        QCoreApplication::postEvent(owner, new CommandEvent(menuCommand(item)));
}

bool trayAvailable() {
    return availabilityOverride.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void overrideTrayAvailability(std::optional<bool> available) {
    availabilityOverride = available;
}

CSystemTray::CSystemTray() = default;

CSystemTray::CSystemTray(QWidget* owner, uint32_t message, const std::string& tip,
                         const QIcon& icon, uint32_t id) {
    AddToTray(owner, message, tip, icon, id);
}

CSystemTray::~CSystemTray() {
    RemoveFromTray();
}

// An icon added before is taken out first, so none is left behind that nothing owns.
bool CSystemTray::AddToTray(QWidget* owner, uint32_t message, const std::string& tip,
                            const QIcon& icon, uint32_t id) {
    RemoveFromTray();
    inTray = trayAvailable();
    if (!inTray)
        return false;
    inTray = owner != nullptr;
    if (!inTray)
        return false;
    iconData = {owner, id, NIF_MESSAGE | NIF_ICON | NIF_TIP, message, icon, fittedTip(tip)};
    inTray = notify(NIM_ADD);
    return inTray;
}

void CSystemTray::RemoveFromTray() {
    if (!inTray)
        return;
    iconData.flags = 0;
    notify(NIM_DELETE);
    inTray = 0;
    hiddenFromTray = 0;
}

bool CSystemTray::HideFromTray() {
    if (!inTray || hiddenFromTray)
        return false;
    iconData.flags = NIF_ICON;
    hiddenFromTray = notify(NIM_DELETE);
    return hiddenFromTray;
}

bool CSystemTray::ShowInTray() {
    if (!inTray || !hiddenFromTray)
        return false;
    iconData.flags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    hiddenFromTray = !notify(NIM_ADD);
    return !hiddenFromTray;
}

bool CSystemTray::ReAddToTray() {
    HideFromTray();
    return ShowInTray();
}

bool CSystemTray::ChangeIcon(const QIcon& icon) {
    if (!inTray)
        return false;
    iconData.flags = NIF_ICON;
    iconData.icon = icon;
    return notify(NIM_MODIFY);
}

bool CSystemTray::ChangeIcon(QStyle::StandardPixmap stockIcon) {
    return ChangeIcon(QApplication::style()->standardIcon(stockIcon));
}

QIcon CSystemTray::CurrentIcon() const {
    return inTray ? iconData.icon : QIcon();
}

bool CSystemTray::ChangeTip(const std::string& tip) {
    if (!inTray)
        return false;
    iconData.flags = NIF_TIP;
    iconData.tip = fittedTip(tip);
    return notify(NIM_MODIFY);
}

std::string CSystemTray::CurrentTip() const {
    return inTray ? iconData.tip : std::string();
}

bool CSystemTray::ChangeOwner(QWidget* owner) {
    if (!inTray)
        return false;
    iconData.owner = owner;
    iconData.flags = 0;
    return notify(NIM_MODIFY);
}

QWidget* CSystemTray::Owner() const {
    return iconData.owner;
}

intptr_t CSystemTray::HandleNotification(uintptr_t wParam, intptr_t lParam) {
    if (wParam != iconData.id)
        return 0;
    switch (uint32_t(lParam) & 0xFFFF) {
    case WM_RBUTTONUP:
        popUpMenu();
        break;
    case WM_LBUTTONDBLCLK:
        runDefaultCommand();
        break;
    default:
        break;
    }
    return 1;
}

// Where Qt shows the menu itself (it opens the icon's context menu on the right button's
// press) or the desktop draws it (a StatusNotifierItem host), it is already up here.
void CSystemTray::popUpMenu() {
    QMenu& trayMenu = menu();
    if (!trayMenu.isVisible())
        trayMenu.popup(QCursor::pos());
}

// The owner handles Manager before the window is raised and its list scrolled: a
// hidden window cannot come forward.
void CSystemTray::runDefaultCommand() {
    QWidget* owner = iconData.owner;
    if (!owner)
        return;
    CommandEvent command(menuCommand(menu().actions().value(0)));
    QCoreApplication::sendEvent(owner, &command);
    owner->raise();
    owner->activateWindow();
    if (mainDialog)
        mainDialog->portList()->scrollToTop();
}

QMenu& CSystemTray::menu() {
    if (menu_)
        return *menu_;
    menu_ = std::make_unique<QMenu>();
    loadTrayMenu(*menu_);
    QMenu* made = menu_.get();
    QObject::connect(made, &QMenu::aboutToShow, made, [made] { prepareTrayMenu(*made); });
    QObject::connect(made, &QMenu::triggered, made,
                     [this](QAction* item) { postMenuCommand(iconData.owner, item); });
    return *menu_;
}

// The desktop's icon: made on NIM_ADD, gone on NIM_DELETE; NIM_MODIFY changes the
// fields the flags name.
bool CSystemTray::notify(NotifyOp op) {
    switch (op) {
    case NIM_ADD:
        if (icon_)
            return false;
        createIcon();
        applyFlaggedFields();
        icon_->show();
        return true;
    case NIM_MODIFY:
        if (!icon_)
            return false;
        applyFlaggedFields();
        return true;
    case NIM_DELETE:
        if (!icon_)
            return false;
        icon_.reset();
        return true;
    }
    return false;
}

void CSystemTray::createIcon() {
    icon_ = std::make_unique<QSystemTrayIcon>();
    icon_->setContextMenu(&menu());
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated, icon_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) { postActivation(reason); });
}

void CSystemTray::applyFlaggedFields() {
    if (iconData.flags & NIF_ICON)
        icon_->setIcon(iconData.icon);
    if (iconData.flags & NIF_TIP)
        icon_->setToolTip(QString::fromStdString(iconData.tip));
}

void CSystemTray::postActivation(int reason) {
    if (!iconData.owner)
        return;
    for (const Activation& activation : ACTIVATIONS)
        if (activation.reason == reason)
            platform::postMessage(iconData.callbackMessage, iconData.id, activation.mouseMessage);
}
