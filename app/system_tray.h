#pragma once
// CSystemTray: one icon in the desktop's notification area (a QSystemTrayIcon), with
// its tooltip and the message through which mouse events on it reach the owner
// window's message table. A right click opens the tray menu (Manager, About, Run always
// after boot, Exit), whose commands go to the owner; a double-click runs the menu's
// default command, Manager.
//
// Qt reports clicks as activation reasons; they are handed on as the mouse messages
// the notification message carries (lParam), with the icon id as wParam, and posted
// to the UI thread, so that HandleNotification sees what the owner's handler passes on.
//
// A desktop without a notification area (no tray host running, many Wayland
// desktops) gets no icon: AddToTray fails, as it would on a platform too old for one.
//
// MainDialog holds one as its member trayIcon. UI thread only.
#include <QEvent>
#include <QIcon>
#include <QPointer>
#include <QStyle>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QMenu;
class QSystemTrayIcon;
class QWidget;

// The application icon resource; also the tray icon's id and its menu resource.
constexpr uint32_t APP_ICON_ID = 131;
constexpr const char* TRAY_TIP = "Quorvalink Redirector";

// The mouse messages a notification carries in lParam.
enum : uint32_t {
    WM_MOUSEMOVE = 0x0200,
    WM_LBUTTONDOWN = 0x0201,
    WM_LBUTTONUP = 0x0202,
    WM_LBUTTONDBLCLK = 0x0203,
    WM_RBUTTONDOWN = 0x0204,
    WM_RBUTTONUP = 0x0205,
    WM_MBUTTONUP = 0x0208,
};

// A menu command on its way to the window that handles it, as WM_COMMAND is: the tray
// menu's and the window menu's choices arrive at MainDialog as this event.
class CommandEvent : public QEvent {
  public:
    explicit CommandEvent(int id) : QEvent(eventType()), id_(id) {}
    static QEvent::Type eventType();
    int id() const { return id_; }

  private:
    int id_;
};

// Menu resource 131 added to menu: Manager (the default item), About, a separator, Run
// always after boot, Exit. Each item carries its command id.
void loadTrayMenu(QMenu& menu);
// Before the menu shows: the default item in bold, and "Run always after boot" checked
// exactly when the run-at-boot value is in the store now.
void prepareTrayMenu(QMenu& menu);
// The command id an item of such a menu carries; 0 for a separator.
int menuCommand(const QAction* item);
// Posts the chosen item's command to owner, so that it runs after the menu has closed.
void postMenuCommand(QWidget* owner, const QAction* item);

// Whether the desktop has a notification area now. Tests fix the answer (nullopt
// asks the desktop again).
bool trayAvailable();
void overrideTrayAvailability(std::optional<bool> available);

class CSystemTray {
  public:
    CSystemTray();
    CSystemTray(QWidget* owner, uint32_t message, const std::string& tip, const QIcon& icon,
                uint32_t id);
    virtual ~CSystemTray();
    CSystemTray(const CSystemTray&) = delete;
    CSystemTray& operator=(const CSystemTray&) = delete;

    bool AddToTray(QWidget* owner, uint32_t message, const std::string& tip, const QIcon& icon,
                   uint32_t id);
    void RemoveFromTray();
    bool HideFromTray();
    bool ShowInTray();
    bool ReAddToTray();
    bool ChangeIcon(const QIcon& icon);
    // One of the desktop style's stock icons.
    bool ChangeIcon(QStyle::StandardPixmap stockIcon);
    QIcon CurrentIcon() const;
    // At most 63 bytes are kept (cut at a character boundary).
    bool ChangeTip(const std::string& tip);
    std::string CurrentTip() const;
    bool ChangeOwner(QWidget* owner);
    QWidget* Owner() const;
    // wParam icon id, lParam mouse message; 1 when handled, 0 for another icon's id.
    virtual intptr_t HandleNotification(uintptr_t wParam, intptr_t lParam);

    // The icon is in the notification area now: added and not hidden from it.
    bool shown() const { return inTray && !hiddenFromTray; }
    // The icon object while it is in the area, else null.
    QSystemTrayIcon* notificationIcon() const { return icon_.get(); }
    // The tray menu, made the first time it is needed.
    QMenu& menu();

  private:
    enum NotifyFlags : uint32_t { NIF_MESSAGE = 1, NIF_ICON = 2, NIF_TIP = 4 };
    enum NotifyOp { NIM_ADD, NIM_MODIFY, NIM_DELETE };
    // The notification-icon record.
    struct IconData {
        QPointer<QWidget> owner;
        uint32_t id = 0;
        uint32_t flags = 0;
        uint32_t callbackMessage = 0;
        QIcon icon;
        std::string tip; // at most 63 bytes
    };

    bool notify(NotifyOp op);
    void createIcon();
    void applyFlaggedFields();
    void postActivation(int reason);
    void popUpMenu();
    void runDefaultCommand();

    int inTray = 0;
    int hiddenFromTray = 0;
    IconData iconData;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
};
