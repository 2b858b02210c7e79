#include "app/port_monitor_dialog.h"

#include "config/manager_context.h"
#include "platform/message_box.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimerEvent>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int NO_ID = -1;

// Dialog units of Verdana 10 pt: 8 x 16 pixels per 4 x 8 units. The panes' pixel
// rectangles below are laid out with them.
constexpr int BASE_UNIT_X = 8;
constexpr int BASE_UNIT_Y = 16;
constexpr int TEMPLATE_WIDTH = 298;
constexpr int TEMPLATE_HEIGHT = 211;

QRect pixels(int x, int y, int width, int height) {
    return QRect(x * BASE_UNIT_X / 4, y * BASE_UNIT_Y / 8, width * BASE_UNIT_X / 4,
                 height * BASE_UNIT_Y / 8);
}

enum class Kind { Text, TextRight, Signal, Group, Frame };

struct ControlLayout {
    int id;
    Kind kind;
    const char* text;
    int x, y, width, height;
};

constexpr ControlLayout CONTROLS[] = {
    {NO_ID, Kind::Group, "Vorlix Information", 7, 3, 203, 54},
    {NO_ID, Kind::Text, "Firmware Version :", 21, 17, 65, 10},
    {NO_ID, Kind::Text, "Total Ports of connected Vorlix : ", 20, 28, 114, 10},
    {NO_ID, Kind::Text, "Port number of Vorlix for this COM port :", 20, 39, 140, 10},
    {IDC_FIRMWARE_VERSION, Kind::TextRight, "", 172, 17, 25, 10},
    {IDC_PORT_COUNT, Kind::TextRight, "", 172, 28, 25, 10},
    {IDC_PORT_NUMBER, Kind::TextRight, "", 172, 39, 25, 10},
    {NO_ID, Kind::Group, "Monitor", 7, 61, 284, 143},
    {NO_ID, Kind::Text, "Port Status :", 15, 73, 45, 8},
    {IDC_PORT_STATUS, Kind::Text, "", 77, 73, 60, 10},
    {NO_ID, Kind::Text, "Modem Signal :", 15, 88, 53, 9},
    {IDC_SIGNAL_RTS, Kind::Signal, "RTS", 76, 87, 22, 10},
    {IDC_SIGNAL_CTS, Kind::Signal, "CTS", 101, 87, 22, 10},
    {IDC_SIGNAL_DTR, Kind::Signal, "DTR", 126, 87, 22, 10},
    {IDC_SIGNAL_DSR, Kind::Signal, "DSR", 151, 87, 22, 10},
    {IDC_SIGNAL_DCD, Kind::Signal, "DCD", 176, 87, 22, 10},
    {IDC_SIGNAL_RI, Kind::Signal, "RI", 201, 87, 22, 10},
    {NO_ID, Kind::Text, "Tx DATA", 16, 103, 129, 8},
    {NO_ID, Kind::Text, "Rx DATA", 154, 103, 129, 8},
    {NO_ID, Kind::Frame, "", 15, 109, 131, 87},
    {NO_ID, Kind::Frame, "", 152, 109, 131, 87},
};

// The pane labels "Tx DATA" and "Rx DATA" are centred, the values right-aligned.
bool centred(const ControlLayout& control) {
    return control.kind == Kind::Signal || std::strstr(control.text, " DATA") != nullptr;
}

// Which bit of which value a signal label shows: lastMcr for DTR and RTS, lastMsr for
// the device's four.
struct SignalBit {
    int id;
    uint8_t mask;
};
constexpr SignalBit MODEM_CONTROL_BITS[] = {{IDC_SIGNAL_DTR, 0x01}, {IDC_SIGNAL_RTS, 0x02}};
constexpr SignalBit MODEM_STATUS_BITS[] = {
    {IDC_SIGNAL_DCD, 0x80}, {IDC_SIGNAL_RI, 0x40}, {IDC_SIGNAL_DSR, 0x20}, {IDC_SIGNAL_CTS, 0x10}};

QString controlName(int id) {
    return QStringLiteral("control%1").arg(id);
}

QEvent::Type relayedEventType() {
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

// A byte 0x20..0x7E stands for itself, every other becomes <XX>; the characters
// written to out.
int renderByte(uint8_t byte, char* out) {
    if (byte >= 0x20 && byte <= 0x7E) {
        out[0] = char(byte);
        return 1;
    }
    static const char HEX[] = "0123456789ABCDEF";
    out[0] = '<';
    out[1] = HEX[byte >> 4];
    out[2] = HEX[byte & 0x0F];
    out[3] = '>';
    return 4;
}

// The pane keeps the last 310 characters of its old text followed by the rendering of
// bytes. Every byte renders to one character at least, so only the last 310 bytes can
// show and only those are rendered.
void appendRendered(std::array<char, PANE_CHARS>& pane, const uint8_t* bytes, int count) {
    char rendered[PANE_CHARS * 4];
    int length = 0;
    for (int i = std::max(0, count - PANE_CHARS); i < count; ++i)
        length += renderByte(bytes[i], rendered + length);
    if (length >= PANE_CHARS) {
        std::memcpy(pane.data(), rendered + length - PANE_CHARS, PANE_CHARS);
        return;
    }
    std::memmove(pane.data(), pane.data() + length, size_t(PANE_CHARS - length));
    std::memcpy(pane.data() + PANE_CHARS - length, rendered, size_t(length));
}

void showSignal(QLabel* label, bool raised) {
    label->setFrameShadow(raised ? QFrame::Raised : QFrame::Sunken);
}

} // namespace

PortMonitorDialog::PortMonitorDialog(int monitorSlot, QWidget* parent)
    : QDialog(parent), monitorSlot_(monitorSlot) {
    txText.fill(' ');
    rxText.fill(' ');
    setWindowTitle("Port Monitor");
    setFont(QFont("Verdana", 10));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(pixels(0, 0, TEMPLATE_WIDTH, TEMPLATE_HEIGHT).size());
    createControls();
    initialise();
}

void PortMonitorDialog::createControls() {
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName(controlName(platform::IDOK));
    ok->setGeometry(pixels(241, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* test = new QPushButton("Test", this);
    test->setObjectName(controlName(IDC_MONITOR_TEST));
    test->setGeometry(pixels(241, 28, 50, 15));
    test->setVisible(false);
    connect(test, &QPushButton::clicked, this, [this] { showTestPattern(); });
    for (const ControlLayout& control : CONTROLS) {
        QRect at = pixels(control.x, control.y, control.width, control.height);
        if (control.kind == Kind::Group) {
            (new QGroupBox(control.text, this))->setGeometry(at);
        } else if (control.kind == Kind::Frame) {
            auto* frame = new QFrame(this);
            frame->setFrameStyle(QFrame::Box | QFrame::Plain);
            frame->setGeometry(at);
        } else {
            auto* text = new QLabel(control.text, this);
            text->setGeometry(at);
            if (control.id != NO_ID)
                text->setObjectName(controlName(control.id));
            if (control.kind == Kind::TextRight)
                text->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            else if (centred(control))
                text->setAlignment(Qt::AlignCenter);
            if (control.kind == Kind::Signal) {
                text->setFrameShape(QFrame::Panel);
                text->setLineWidth(2);
            }
        }
    }
    statusText = label(IDC_PORT_STATUS);
    // Inside their frames, above everything else.
    panes_[TX_PANE] = new MonitorPane(txText, this);
    panes_[RX_PANE] = new MonitorPane(rxText, this);
    for (Pane pane : {TX_PANE, RX_PANE})
        panes_[pane]->setGeometry(paneRect(pane));
}

// The record points to the monitor first, so that no modem-control change the relay
// thread makes after the labels have been read is missed.
void PortMonitorDialog::initialise() {
    PortRecord& record = port(monitorSlot_);
    {
        platform::MutexLock lock(record.relayLock);
        setPortMonitor(record, this);
    }
    rxQueue = std::make_unique<RingQueue>(); // zero-filled: an empty ring
    char text[16];
    std::snprintf(text, sizeof text, "%X.%X", record.deviceInfo[0], record.deviceInfo[1]);
    label(IDC_FIRMWARE_VERSION)->setText(text);
    label(IDC_PORT_COUNT)->setText(QString::number(record.deviceInfo[2]));
    label(IDC_PORT_NUMBER)->setText(QString::number(record.deviceInfo[3]));
    statusText->setText(record.relayActive.load() ? "OPENED" : "CLOSED");
    showModemControlNow();
    showModemStatus();
    txText[0] = 0;
    rxText[0] = 0;
    dirtyPanes = 0;
    qtTimerId_ = startTimer(MONITOR_PERIOD_MS);
}

// Under the port's relayLock: the relay thread is not inside feedTx or
// showModemControl once the record has let go, and does not come back.
PortMonitorDialog::~PortMonitorDialog() {
    PortRecord& record = port(monitorSlot_);
    {
        platform::MutexLock lock(record.relayLock);
        if (portMonitor(record) == this)
            setPortMonitor(record, nullptr);
    }
    if (qtTimerId_)
        killTimer(qtTimerId_);
    rxQueue.reset();
}

QLabel* PortMonitorDialog::label(int id) const {
    return findChild<QLabel*>(controlName(id), Qt::FindDirectChildrenOnly);
}

QPushButton* PortMonitorDialog::button(int id) const {
    return findChild<QPushButton*>(controlName(id), Qt::FindDirectChildrenOnly);
}

QRect PortMonitorDialog::paneRect(Pane pane) {
    // (left, top, right, bottom): Tx (37, 230, 286, 388), Rx (312, 230, 561, 388).
    return pane == TX_PANE ? QRect(37, 230, 249, 158) : QRect(312, 230, 249, 158);
}

std::string PortMonitorDialog::paneText(Pane pane) const {
    const PaneChars& text = pane == TX_PANE ? txText : rxText;
    return text[0] == 0 ? std::string() : std::string(text.data(), text.size());
}

// The bytes go into the private ring in one step and whole packets are taken out of
// it; an incomplete packet waits there for the rest. After a parse the ring holds at
// most one incomplete packet, so a read larger than the room left is put in piece by
// piece instead of losing its end.
void PortMonitorDialog::feedMonitor(const uint8_t* bytes, int count) {
    while (rxQueue && count > 0) {
        int put = ringWrite(rxQueue.get(), bytes, count);
        parseReceived();
        if (put == 0)
            return;
        bytes += put;
        count -= put;
    }
}

void PortMonitorDialog::ByteTail::keep(const uint8_t* more, int moreCount) {
    if (moreCount >= PANE_CHARS) {
        std::memcpy(bytes.data(), more + moreCount - PANE_CHARS, PANE_CHARS);
        count = PANE_CHARS;
        return;
    }
    int kept = std::min(count, PANE_CHARS - moreCount);
    std::memmove(bytes.data(), bytes.data() + count - kept, size_t(kept));
    std::memcpy(bytes.data() + kept, more, size_t(moreCount));
    count = kept + moreCount;
}

void PortMonitorDialog::parseReceived() {
    PortRecord& record = port(monitorSlot_);
    uint8_t packet[PACKET_BUFFER_SIZE];
    while (rxQueue && readDriverPacket(rxQueue.get(), packet)) {
        if (packet[0] == CMD_DATA) {
            int length = packet[1] * 256 + packet[2];
            if (length < 1 || length > 512)
                continue;
            rxTail_.keep(packet + 3, length);
        } else if (packet[0] == CMD_MODEM_STATUS && packet[1] != record.lastMsr.load()) {
            record.lastMsr.store(packet[1]);
            showModemStatus();
        }
    }
}

void PortMonitorDialog::showOpened() {
    statusText->setText("OPENED");
}

// Relay thread, with the port's relayLock held (the monitor cannot go meanwhile).
void PortMonitorDialog::feedTx(const uint8_t* bytes, int count) {
    platform::MutexLock lock(relayedLock_);
    txTail_.keep(bytes, count);
}

// Relay thread, with the port's relayLock held. The labels change on the UI thread;
// it is woken at once rather than at the next tick.
void PortMonitorDialog::showModemControl() {
    platform::MutexLock lock(relayedLock_);
    if (!modemControlDue_)
        QCoreApplication::postEvent(this, new QEvent(relayedEventType()));
    modemControlDue_ = true;
}

void PortMonitorDialog::showModemControlNow() {
    uint8_t value = port(monitorSlot_).lastMcr.load();
    for (const SignalBit& bit : MODEM_CONTROL_BITS)
        showSignal(label(bit.id), (value & bit.mask) != 0);
    invalidateAll();
}

void PortMonitorDialog::showModemStatus() {
    uint8_t value = port(monitorSlot_).lastMsr.load();
    for (const SignalBit& bit : MODEM_STATUS_BITS)
        showSignal(label(bit.id), (value & bit.mask) != 0);
    invalidateAll();
}

// The whole window, the panes too (they are opaque: the window's own redraw leaves them).
void PortMonitorDialog::invalidateAll() {
    update();
    for (MonitorPane* pane : panes_)
        pane->update();
}

// The data that came since the last look goes into the pane texts, rendered once.
void PortMonitorDialog::showNewData() {
    ByteTail tx;
    bool modemControl = false;
    {
        platform::MutexLock lock(relayedLock_);
        if (txTail_.count > 0)
            tx = txTail_; // most ticks of an idle port copy nothing
        modemControl = modemControlDue_;
        txTail_.count = 0;
        modemControlDue_ = false;
    }
    if (rxTail_.count > 0) {
        appendRendered(rxText, rxTail_.bytes.data(), rxTail_.count);
        rxTail_.count = 0;
        dirtyPanes |= RX_CHANGED;
    }
    if (tx.count > 0) {
        appendRendered(txText, tx.bytes.data(), tx.count);
        dirtyPanes |= TX_CHANGED;
    }
    if (modemControl)
        showModemControlNow();
}

bool PortMonitorDialog::event(QEvent* event) {
    if (event->type() != relayedEventType())
        return QDialog::event(event);
    showNewData();
    return true;
}

// Every 100 ms, whatever the timer: a pane is redrawn only when its text changed.
void PortMonitorDialog::timerEvent(QTimerEvent*) {
    showNewData();
    redrawChangedPanes();
}

void PortMonitorDialog::redrawChangedPanes() {
    if (dirtyPanes & RX_CHANGED)
        panes_[RX_PANE]->updateText();
    if (dirtyPanes & TX_CHANGED)
        panes_[TX_PANE]->updateText();
    dirtyPanes = 0;
}

void PortMonitorDialog::showTestPattern() {
    for (MonitorPane* pane : panes_) {
        pane->showTestPattern();
        pane->update();
    }
}
