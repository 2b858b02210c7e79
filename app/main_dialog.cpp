#include "app/main_dialog.h"

#include "app/app_icon.h"
#include "config/config_store.h"
#include "config/manager_context.h"
#include "device/port_connection.h"
#include "platform/message_box.h"
#include "platform/ui_thread.h"
#include "platform/window_boxes.h"
#include "remote/remote_control_server.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimerEvent>

MainDialog* mainDialog = nullptr;

namespace {

struct CommandEntry {
    int id;
    void (MainDialog::*run)();
};

constexpr CommandEntry COMMAND_TABLE[] = {
    {platform::IDOK, &MainDialog::hideWindow},
    {platform::IDCANCEL, &MainDialog::exitManager},
    {IDC_STOP_ALL, &MainDialog::stopAllPorts},
    {IDC_ADD, &MainDialog::addPort},
    {IDC_REMOVE, &MainDialog::removePort},
    {IDC_PROPERTIES, &MainDialog::portProperties},
    {IDC_TEST, &MainDialog::testRefresh},
    {IDC_START, &MainDialog::startSelectedPorts},
    {IDC_STOP, &MainDialog::stopSelectedPorts},
    {IDC_MONITORING, &MainDialog::openMonitor},
    {IDC_EXIT, &MainDialog::exitManager},
    {IDC_START_ALL, &MainDialog::startAllPorts},
    {ID_TRAY_MANAGER, &MainDialog::showManager},
    {ID_TRAY_ABOUT, &MainDialog::showAbout},
    {ID_TRAY_EXIT, &MainDialog::exitManager},
    {ID_TRAY_RUN_AT_BOOT, &MainDialog::toggleRunAtBoot},
    {SYSMENU_ABOUT, &MainDialog::showAboutBox},
};

// Dialog template 102, in dialog units.
struct ControlLayout {
    int id;
    const char* caption;
    bool visible;
    int x, y, width, height;
};

constexpr ControlLayout BUTTONS[] = {
    {platform::IDOK, "Hide", false, 207, 71, 50, 14},
    {IDC_START, "&Start", true, 252, 9, 50, 14},
    {IDC_STOP, "S&top", true, 252, 29, 50, 14},
    {IDC_START_ALL, "Start All", false, 192, 0, 50, 14},
    {IDC_STOP_ALL, "Stop All", false, 142, 0, 50, 14},
    {IDC_ADD, "&Add", true, 252, 49, 50, 14},
    {IDC_REMOVE, "&Remove", true, 252, 69, 50, 14},
    {IDC_PROPERTIES, "&Properties", true, 252, 89, 50, 14},
    {IDC_TEST, "Test", false, 30, 0, 50, 14},
    {IDC_MONITORING, "Monitoring", false, 90, 0, 50, 14},
    {IDC_EXIT, "E&xit", true, 252, 109, 50, 14},
};
constexpr ControlLayout LIST_LAYOUT = {IDC_PORT_LIST, "", true, 7, 8, 238, 117};
constexpr ControlLayout DEBUG_WINDOW_LAYOUT = {
    IDC_DEBUG_WINDOW, "DEBUG WINDOW", false, 7, 56, 233, 69};
constexpr int TEMPLATE_HEIGHT = 135;

// Dialog base units of Verdana 9 pt at 96 dpi. The substitute font on Linux
// measures narrower, which would put the buttons over the list whose margins are
// fixed in pixels, so the template is laid out with Verdana's units.
constexpr int BASE_UNIT_X = 8;
constexpr int BASE_UNIT_Y = 15;

QRect pixels(const ControlLayout& control) {
    return QRect(control.x * BASE_UNIT_X / 4, control.y * BASE_UNIT_Y / 8,
                 control.width * BASE_UNIT_X / 4, control.height * BASE_UNIT_Y / 8);
}

QString controlName(int id) {
    return QStringLiteral("control%1").arg(id);
}

} // namespace

MainDialog::MainDialog()
    : QDialog(nullptr), commands_([this] { refreshPortList(); }, [this] { show(); }),
      configCommands_(
          this, [this] { refreshPortList(); },
          [this](const std::string& name, const std::string& address, int portNo) {
              portList_->showHostRow(name, address, portNo);
          }) {
    setWindowTitle(MAIN_WINDOW_TITLE);
    setFont(QFont("Verdana", 9));
    setAttribute(Qt::WA_Hover);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    appIcon = makeAppIcon();
    createControls();
    resize(MAIN_CLIENT_WIDTH, TEMPLATE_HEIGHT * BASE_UNIT_Y / 8);
    applyWindowSizeRules();
}

MainDialog::~MainDialog() {
    if (mainDialog == this) {
        messages_.uninstall();
        platform::setMessageBoxShower(nullptr);
        platform::setMainWindow(nullptr);
        mainDialog = nullptr;
    }
}

void MainDialog::createControls() {
    for (const ControlLayout& control : BUTTONS) {
        auto* b = new QPushButton(QString::fromLatin1(control.caption), this);
        b->setObjectName(controlName(control.id));
        b->setGeometry(pixels(control));
        b->setVisible(control.visible);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, [this, id = control.id] { onCommand(id); });
    }
    button(platform::IDOK)->setDefault(true);
    portList_ = new PortList(this);
    portList_->setGeometry(pixels(LIST_LAYOUT));
    connect(portList_, &PortList::rowSelectionChanged, this,
            [this](int row) { selectedRow_ = row; });
    connect(portList_, &PortList::rowDoubleClicked, this, [this] { onCommand(IDC_START); });
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { showWindowMenu(mapToGlobal(at)); });
    // A list reports the click in its viewport's coordinates.
    portList_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(portList_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { showRowMenu(at); });
    debugWindow_ = new QLabel(DEBUG_WINDOW_LAYOUT.caption, this);
    debugWindow_->setObjectName(controlName(IDC_DEBUG_WINDOW));
    debugWindow_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    debugWindow_->setGeometry(pixels(DEBUG_WINDOW_LAYOUT));
    debugWindow_->setVisible(false);
}

QPushButton* MainDialog::button(int id) const {
    return findChild<QPushButton*>(controlName(id), Qt::FindDirectChildrenOnly);
}

void MainDialog::initialise() {
    setWindowIcon(appIcon);
    mainDialog = this;
    platform::setMainWindow(this);
    platform::showBoxesInWindows();
    messages_.install();
    loadPortTable();
    addTrayIcon();
    initPortListColumns();
    refreshPortList();
    startTimerWithId(STARTUP_TIMER, 500);
    startTimerWithId(KEEPALIVE_TIMER, 20000);
    portList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    startRemoteControl();
    readMetrics();
}

// Once, at the end of the initialisation; the server's thread reaches the window only
// through the private messages.
void MainDialog::startRemoteControl() {
    startRemoteControlServer();
}

void MainDialog::onCommand(int id) {
    for (const CommandEntry& entry : COMMAND_TABLE)
        if (entry.id == id)
            return (this->*entry.run)();
}

intptr_t MainDialog::onMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return messages_.handle(message, wParam, lParam);
}

void MainDialog::initPortListColumns() {
    selectedRow_ = -1;
    portList_->initColumns();
}

// A rebuild that something inside it requests again (a message pumped below it on
// this thread) cannot wait for itself; the request is remembered and the rebuild
// runs once more when the running one ends.
int MainDialog::refreshPortList() {
    if (listRefreshing_) {
        refreshDue_ = true;
        return 1;
    }
    listRefreshing_ = 1;
    do {
        refreshDue_ = false;
        portList_->rebuild();
        selectedRow_ = -1;
    } while (refreshDue_);
    listRefreshing_ = 0;
    setBusyCursor();
    return 1;
}

void MainDialog::setBusyCursor() {
    setCursor(context.serviceBusy.load() ? Qt::WaitCursor : Qt::ArrowCursor);
}

// Qt numbers its timers itself; the window keeps the ids 32 and 48 on top.
void MainDialog::startTimerWithId(int timerId, int milliseconds) {
    stopTimerWithId(timerId);
    timers_[startTimer(milliseconds)] = timerId;
}

void MainDialog::stopTimerWithId(int timerId) {
    for (auto it = timers_.begin(); it != timers_.end(); ++it)
        if (it->second == timerId) {
            killTimer(it->first);
            timers_.erase(it);
            return;
        }
}

bool MainDialog::timerRunning(int timerId) const {
    for (const auto& [qtId, id] : timers_)
        if (id == timerId)
            return true;
    return false;
}

void MainDialog::timerEvent(QTimerEvent* event) {
    auto it = timers_.find(event->timerId());
    if (it == timers_.end())
        return QDialog::timerEvent(event);
    onTimer(it->second);
}

// startAllPorts may ask questions; the window stays up for them and hides after, into
// the notification area. Without one it stays up.
void MainDialog::onTimer(int timerId) {
    if (timerId == STARTUP_TIMER) {
        stopTimerWithId(STARTUP_TIMER);
        startAllPorts();
        if (trayIcon_.shown())
            hideWindow();
        return;
    }
    ::sendKeepAlives();
}

// The selected rows in ascending order, with what each stands for.
std::vector<PortRow> MainDialog::selectedPortRows() const {
    std::vector<PortRow> rows;
    for (int row : portList_->selectedRows())
        rows.push_back(portList_->rowAt(row));
    return rows;
}

void MainDialog::startSelectedPorts() {
    if (!context.serviceBusy.load())
        commands_.startSelected(selectedPortRows());
}

void MainDialog::stopSelectedPorts() {
    if (!context.serviceBusy.load())
        commands_.stopSelected(selectedPortRows());
}

void MainDialog::startAllPorts() {
    commands_.startAll();
}

void MainDialog::stopAllPorts() {
    commands_.stopAll();
}

void MainDialog::addPort() {
    configCommands_.add();
}

void MainDialog::removePort() {
    configCommands_.remove(selectedPortRows());
}

void MainDialog::portProperties() {
    configCommands_.properties(portList_->rowAt(selectedRow_));
}

// The Enter key hides the window even though the Hide button it stands for is
// hidden (Qt presses only visible default buttons).
void MainDialog::keyPressEvent(QKeyEvent* event) {
    bool plain = event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier;
    if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter))
        return onCommand(platform::IDOK);
    QDialog::keyPressEvent(event);
}

void MainDialog::accept() {
    onCommand(platform::IDOK);
}

// Esc and the close box are the Exit command; the dialog ends only through it.
void MainDialog::reject() {
    onCommand(platform::IDCANCEL);
}

// Without a tray icon a hidden window could only come back through a second start, so
// Hide minimises it instead.
void MainDialog::hideWindow() {
    if (trayIcon_.shown())
        hide();
    else
        showMinimized();
}

void MainDialog::testRefresh() {
    refreshPortList();
}

intptr_t MainDialog::onRefreshList(uintptr_t, intptr_t) {
    return refreshPortList();
}
