#pragma once
// MainDialog: the manager's one window and the hub of all work. It owns the port
// list and the buttons, dispatches every command and private window message
// through its message table, runs the two timers, and is the owner of the
// message boxes that lower layers show.
//
// Exactly one exists while the manager runs; the global mainDialog points at it
// from initialisation on. UI thread only: other threads reach it through
// platform::postMessage / sendMessage, never by calling it.
#include "app/config_commands.h"
#include "app/port_commands.h"
#include "app/port_list.h"
#include "app/system_tray.h"
#include "procedures/port_messages.h"

#include <QDialog>
#include <QIcon>
#include <QPointer>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class QPushButton;
class QLabel;
class PortMonitorDialog;

enum : int {
    IDC_STOP_ALL = 3,
    IDC_ADD = 4,
    IDC_REMOVE = 5,
    IDC_PROPERTIES = 6,
    IDC_TEST = 7,
    IDC_START = 8,
    IDC_STOP = 9,
    IDC_MONITORING = 10,
    IDC_EXIT = 11,
    IDC_PORT_LIST = 1000,
    IDC_DEBUG_WINDOW = 1010,
    IDC_START_ALL = 1025,
    SYSMENU_ABOUT = 16,
    ID_TRAY_MANAGER = 32776,
    ID_TRAY_ABOUT = 32777,
    ID_TRAY_EXIT = 32778,
    ID_TRAY_RUN_AT_BOOT = 32779,
};

enum : int { STARTUP_TIMER = 32, KEEPALIVE_TIMER = 48 };

constexpr const char* MAIN_WINDOW_TITLE = "Quorvalink Redirector Manager v1.2";
// The client area is this wide whatever the user does with the border.
constexpr int MAIN_CLIENT_WIDTH = 620;
constexpr int MAIN_CLIENT_MIN_HEIGHT = 239;

class MainDialog : public QDialog {
    Q_OBJECT
  public:
    MainDialog();
    ~MainDialog() override;

    // Initialisation in its binding order: message handler and mainDialog, port
    // table, tray icon, list, timers, remote control, metrics.
    void initialise();

    // The message table: commands by id; the private messages go to the ports'
    // dispatcher (procedures/port_messages.h), the window's own to the window.
    void onCommand(int id);
    intptr_t onMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
    void onTimer(int timerId);
    bool timerRunning(int timerId) const;

    void initPortListColumns();
    int refreshPortList();

    PortList* portList() const { return portList_; }
    int selectedRow() const { return selectedRow_; }
    bool listRefreshing() const { return listRefreshing_ != 0; }

    // Commands.
    void hideWindow();
    void startSelectedPorts();
    void stopSelectedPorts();
    void startAllPorts();
    void stopAllPorts();
    void addPort();
    void removePort();
    void portProperties();
    void testRefresh();
    void openMonitor();
    // The open Port Monitor, or null.
    PortMonitorDialog* portMonitor() const;
    void exitManager();
    // SIGINT / SIGTERM: end as soon as no procedure runs, or after a few seconds
    // whatever runs, saving the current hosts.
    void endOnSignal();
    void showManager();
    void showAbout();
    void showAboutBox();
    void toggleRunAtBoot();

    // The window's own private messages.
    intptr_t onTrayNotify(uintptr_t wParam, intptr_t lParam);
    intptr_t onRefreshList(uintptr_t wParam, intptr_t lParam);

    // Hooks of start-up that later work fills in.
    void addTrayIcon();
    void startRemoteControl();

    QPushButton* button(int id) const;
    CSystemTray& trayIcon() { return trayIcon_; }

  public Q_SLOTS:
    void accept() override;
    void reject() override;

  protected:
    void timerEvent(QTimerEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

  private:
    void createControls();
    void endOnSignalAfter(uint32_t firstTry);
    std::vector<PortRow> selectedPortRows() const;
    void startTimerWithId(int timerId, int milliseconds);
    void stopTimerWithId(int timerId);
    void applyWindowSizeRules();
    void readMetrics();
    void setBusyCursor();
    // The system menu's stand-in (and the tray menu's, without a tray): right click.
    // On a row it begins with Monitoring, for that row.
    void showWindowMenu(const QPoint& globalPos, bool onRow = false);
    // A right click on a row makes it the row the commands act on.
    void showRowMenu(const QPoint& viewportPos);
    void closeMonitorLater(PortMonitorDialog* monitor);

    int dlgFrameHeight = 0;
    int dlgFrameWidth = 0;
    int sizeButtonHeight = 0;
    int listRefreshing_ = 0;
    int selectedRow_ = -1;
    PortList* portList_ = nullptr;
    QIcon appIcon;
    PortCommands commands_;
    ConfigCommands configCommands_;
    std::map<int, int> timers_; // Qt's timer id -> the window's timer id
    bool refreshDue_ = false;
    QLabel* debugWindow_ = nullptr;
    CSystemTray trayIcon_;
    QPointer<PortMonitorDialog> portMonitor_;
    PortMessages messages_{{[this] { return intptr_t(refreshPortList()); },
                            [this](uintptr_t w, intptr_t l) { return onTrayNotify(w, l); }}};
};

extern MainDialog* mainDialog;
