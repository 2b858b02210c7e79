#pragma once
// PortMonitorDialog: the "Port Monitor" window of one port. It shows the device
// server's information from its identification reply, whether an application has the
// port open, the six modem signals, and two panes of 10 lines of 31 characters with
// the last 310 characters of each direction: Tx what the application wrote, Rx what
// the device sent. A byte 0x20..0x7E stands for itself, any other for "<XX>".
//
// The main window's Monitoring command opens it for a Connected port, modal to the
// main window; it closes only by the user's hand (OK, Escape, the close box). While it
// lives, the port's record points to it (config/port_monitor.h): the receive path
// feeds it every byte it relays, which it parses against a private ring as whole
// driver packets; the relay thread reports the application's data and modem-control
// changes, which it only records under a small lock of its own. Every 100 ms it
// takes what the relay thread recorded and redraws only a pane that changed.
//
// UI thread only, but for the two calls the relay thread makes through PortMonitor.
#include "app/monitor_pane.h"
#include "config/port_monitor.h"
#include "platform/thread_annotations.h"
#include "rings/ring_queue.h"

#include <QDialog>

#include <array>
#include <memory>
#include <string>

class QLabel;
class QPushButton;

enum : int {
    IDC_MONITOR_TEST = 1024,
    IDC_SIGNAL_RTS = 1012,
    IDC_SIGNAL_CTS = 1013,
    IDC_SIGNAL_DTR = 1014,
    IDC_SIGNAL_DSR = 1015,
    IDC_SIGNAL_DCD = 1016,
    IDC_SIGNAL_RI = 1017,
    IDC_FIRMWARE_VERSION = 1020,
    IDC_PORT_COUNT = 1021,
    IDC_PORT_NUMBER = 1022,
    IDC_PORT_STATUS = 1023,
};

constexpr int MONITOR_TIMER = 32;
constexpr int MONITOR_PERIOD_MS = 100;

class PortMonitorDialog : public QDialog, public PortMonitor {
    Q_OBJECT
  public:
    // Opens the monitor of monitorSlot: the port's record points to it from here on.
    PortMonitorDialog(int monitorSlot, QWidget* parent);
    // The record forgets the monitor (under the port's relayLock) before anything goes.
    ~PortMonitorDialog() override;

    // PortMonitor.
    void feedMonitor(const uint8_t* bytes, int count) override;
    void showOpened() override;
    void feedTx(const uint8_t* bytes, int count) override;
    void showModemControl() override;

    enum Pane { TX_PANE = 0, RX_PANE = 1 };
    // The pane's 310 characters; empty while the pane is blank.
    std::string paneText(Pane pane) const;
    // What the pane showed when it was last drawn (10 lines of 31 characters, each
    // ended by a line feed), and how many times it has been drawn.
    QString drawnPane(Pane pane) const { return panes_[pane]->drawnLayout(); }
    int drawCount(Pane pane) const { return panes_[pane]->drawCount(); }
    // The pane's rectangle in the dialog (pixels).
    static QRect paneRect(Pane pane);

    int monitorSlot() const { return monitorSlot_; }
    QLabel* label(int id) const;
    QPushButton* button(int id) const;

  protected:
    void timerEvent(QTimerEvent* event) override;
    bool event(QEvent* event) override;

  private:
    enum : uint32_t { RX_CHANGED = 1, TX_CHANGED = 2 };

    void createControls();
    void initialise();
    void showModemStatus();
    void showModemControlNow();
    void invalidateAll();
    void parseReceived();
    void showNewData();
    void redrawChangedPanes();
    void showTestPattern();

    uint32_t dirtyPanes = 0;
    PaneChars txText;
    PaneChars rxText;
    std::unique_ptr<RingQueue> rxQueue;
    const int monitorSlot_;
    QLabel* statusText = nullptr;

    // The data bytes that came since the panes were last brought up to date: only the
    // last 310 can show, so only those are kept, and rendered once per tick.
    struct ByteTail {
        std::array<uint8_t, PANE_CHARS> bytes{};
        int count = 0;
        void keep(const uint8_t* more, int moreCount);
    };
    ByteTail rxTail_; // UI thread
    // What the relay thread recorded since the UI thread last looked: the application's
    // data and whether an MCR went out.
    platform::Mutex relayedLock_;
    ByteTail txTail_ GUARDED_BY(relayedLock_);
    bool modemControlDue_ GUARDED_BY(relayedLock_) = false;

    int qtTimerId_ = 0;
    MonitorPane* panes_[2] = {nullptr, nullptr}; // Tx, Rx
};
