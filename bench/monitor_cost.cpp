// What an open Port Monitor costs: one port streams a fixed rate both ways (the
// application writes, the device server echoes) through a whole manager run in this
// process (window, relay thread, stand-in driver), while the monitor is closed and open
// in turns. Prints the manager's CPU per phase (this process, every thread, and its UI
// thread apart), their means (the ratio of the sums) and medians and the ratios, the
// panes' sizes, and what the application got back. The
// application and the device-server simulator run in a child forked before any thread
// exists, so their work is not counted. The phases measure the monitor open, not its
// opening: each opening and closing is followed by a pause outside the phases, and the
// CPU of opening is printed apart. Then, as a yardstick, what the window system alone
// costs for redrawing two bare widgets where the panes are, every 100 ms. Last, on the
// idle port, how soon a few bytes the application writes show in both panes.
//
//   monitor_cost [bytes per second per direction=115200] [seconds per phase=3] [rounds=8]
//                [display]
// 115200 bytes per second is 921.6 kbit/s. With "display" the window goes to $DISPLAY
// (Xvfb, for example) instead of Qt's offscreen platform.
#include "app/main_dialog.h"
#include "app/port_commands.h"
#include "app/port_monitor_dialog.h"
#include "bench/bench_support.h"
#include "config/manager_context.h"
#include "platform/ui_thread.h"
#include "portdriver/install.h"
#include "tools/vorlix_sim/sim_server.h"

#include <QApplication>
#include <QEventLoop>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

constexpr const char* DEVICE_ADDRESS = "127.0.6.1";
constexpr int DEVICE_PORT = 1;
constexpr int TICK_MS = 10;
constexpr int WARM_UP_MS = 2000;
constexpr int SETTLE_MS = 500;

// The child: the device server and the application. Starts the simulator at once,
// opens the link when the parent says the port is started, streams until the parent
// closes the pipe, then prints what it sent and got back.
struct Application {
    int fd = -1;
    uint64_t sent = 0;
    uint64_t received = 0;
    uint64_t corrupt = 0;
    double budget = 0;

    void readBack() {
        uint8_t buffer[8192];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0; received += uint64_t(n))
            for (ssize_t i = 0; i < n; ++i)
                corrupt += buffer[i] != patternByte(received + uint64_t(i));
    }
    void writeDue(double bytesPerTick) {
        budget += bytesPerTick;
        uint8_t buffer[8192];
        size_t want = std::min(sizeof buffer, size_t(budget));
        for (size_t i = 0; i < want; ++i)
            buffer[i] = patternByte(sent + i);
        ssize_t n = want ? write(fd, buffer, want) : 0;
        if (n > 0) {
            sent += uint64_t(n);
            budget -= double(n);
        }
    }
};

// The parent's word to stop: a byte, or the pipe closed.
bool stopAsked(int control) {
    pollfd p{control, POLLIN, 0};
    char word = 0;
    return poll(&p, 1, 0) > 0 && read(control, &word, 1) >= 0;
}

int runApplication(int control, const std::string& link, double rate) {
    vorlixsim::SimOptions options;
    options.address = DEVICE_ADDRESS;
    options.portCount = 1;
    options.record = false;
    vorlixsim::SimServer device(options);
    char go = 0;
    if (!device.start() || read(control, &go, 1) != 1)
        return 1;
    Application app;
    app.fd = openRaw(link);
    if (app.fd < 0)
        return 1;
    auto start = Clock::now();
    auto next = start;
    while (!stopAsked(control)) {
        next += std::chrono::milliseconds(TICK_MS);
        app.writeDue(rate * TICK_MS / 1000.0);
        while (Clock::now() < next) {
            app.readBack();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until;) {
        app.readBack();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("application: sent %.1f KiB/s, got back %.1f KiB/s, missing %llu B, corrupt %llu\n",
                double(app.sent) / seconds / 1024, double(app.received) / seconds / 1024,
                (unsigned long long)(app.sent - std::min(app.sent, app.received)),
                (unsigned long long)app.corrupt);
    std::fflush(nullptr);
    // The device stays for the parent's own application until the pipe closes.
    close(app.fd);
    char word = 0;
    while (read(control, &word, 1) > 0) {
    }
    return 0;
}

// Every thread's run time as the scheduler counts it, to the nanosecond: the manager
// uses little, and the tick-sampled figures of getrusage or /proc would drown it in noise.
double cpuSecondsOfThisProcess() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Runs the event loop for a while, as the manager's own loop would.
void runFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool runUntil(const std::function<bool()>& done, int timeoutMs, int stepMs = 20) {
    for (int waited = 0; waited < timeoutMs; waited += stepMs) {
        if (done())
            return true;
        runFor(stepMs);
    }
    return done();
}

// The UI thread's alone: the bench runs on it, and the monitor's work is nearly all there.
double cpuSecondsOfThisThread() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The CPU of one phase, in percent of one core: the manager's (every thread) and its UI
// thread's.
struct PhaseCpu {
    double manager = 0;
    double uiThread = 0;
};

PhaseCpu cpuDuring(int milliseconds) {
    double before = cpuSecondsOfThisProcess();
    double uiBefore = cpuSecondsOfThisThread();
    auto start = Clock::now();
    runFor(milliseconds);
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    return {(cpuSecondsOfThisProcess() - before) * 100.0 / elapsed,
            (cpuSecondsOfThisThread() - uiBefore) * 100.0 / elapsed};
}

// The Monitoring command, as from the row's menu.
PortMonitorDialog* openMonitor(MainDialog& window) {
    window.portList()->setCurrentItem(window.portList()->topLevelItem(0));
    window.onCommand(IDC_MONITORING);
    return window.portMonitor();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Mean of the phases: with phases of equal length, the ratio of two means is the ratio
// of the CPU summed over all of them, which weighs every phase alike.
double mean(const std::vector<PhaseCpu>& phases, double PhaseCpu::*figure) {
    double sum = 0;
    for (const PhaseCpu& phase : phases)
        sum += phase.*figure;
    return sum / double(phases.size());
}

std::vector<double> figures(const std::vector<PhaseCpu>& phases, double PhaseCpu::*figure) {
    std::vector<double> values;
    for (const PhaseCpu& phase : phases)
        values.push_back(phase.*figure);
    return values;
}

// What the window system costs for any redraw of the panes, whatever is drawn: a bare
// window of the monitor's size whose two opaque children, where the panes are, are filled
// every 100 ms.
class BareWidget : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter(this).fillRect(event->rect(), QColor(255, 255, 190));
    }
};

struct Layout {
    QSize window;
    QRect panes[2];
};

Layout layoutOf(PortMonitorDialog& monitor) {
    Layout layout{monitor.size(), {}};
    QList<MonitorPane*> panes = monitor.findChildren<MonitorPane*>();
    for (int i = 0; i < 2 && i < int(panes.size()); ++i)
        layout.panes[i] = QRect(panes[i]->mapTo(&monitor, QPoint(0, 0)), panes[i]->size());
    return layout;
}

struct Phases {
    std::vector<PhaseCpu> closed;
    std::vector<PhaseCpu> open;
    std::vector<double> openingCpu;  // seconds of CPU while the monitor opened and settled
    std::vector<double> openingWall; // and how long that was
    size_t txPane = 0;
    size_t rxPane = 0;
    Layout layout;
};

// Opens the monitor and lets its first drawing and the window system's answers pass, so
// that the phase measures the open monitor and not its opening; the CPU this takes.
PortMonitorDialog* openSettled(MainDialog& window, Phases& phases) {
    double before = cpuSecondsOfThisProcess();
    auto start = Clock::now();
    PortMonitorDialog* monitor = openMonitor(window);
    runFor(SETTLE_MS);
    phases.openingCpu.push_back(cpuSecondsOfThisProcess() - before);
    phases.openingWall.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    return monitor;
}

void closeSettled(PortMonitorDialog* monitor, Phases& phases) {
    phases.layout = layoutOf(*monitor);
    phases.txPane = std::max(phases.txPane, monitor->paneText(PortMonitorDialog::TX_PANE).size());
    phases.rxPane = std::max(phases.rxPane, monitor->paneText(PortMonitorDialog::RX_PANE).size());
    QPointer<PortMonitorDialog> closing = monitor;
    monitor->accept();
    runUntil([&] { return closing.isNull(); }, 2000);
    runFor(SETTLE_MS);
}

// Rounds alternate which phase comes first (closed-open, open-closed, ...), so that a
// load that rises or falls over the run weighs on both alike. Opening and closing are
// outside the phases.
Phases measure(MainDialog& window, int phaseMs, int rounds) {
    Phases phases;
    PortMonitorDialog* monitor = nullptr;
    for (int round = 0; round < rounds; ++round) {
        for (bool open : {round % 2 == 1, round % 2 == 0}) {
            if (open && !monitor && !(monitor = openSettled(window, phases))) {
                std::fprintf(stderr, "the monitor did not open\n");
                return {};
            }
            if (!open && monitor) {
                closeSettled(monitor, phases);
                monitor = nullptr;
            }
            (open ? phases.open : phases.closed).push_back(cpuDuring(phaseMs));
        }
        std::printf("round %d: monitor closed %6.2f%%, open %6.2f%% of a core (UI thread %5.2f%%, "
                    "%5.2f%%)\n",
                    round + 1, phases.closed.back().manager, phases.open.back().manager,
                    phases.closed.back().uiThread, phases.open.back().uiThread);
        std::fflush(nullptr);
    }
    if (monitor)
        closeSettled(monitor, phases);
    return phases;
}

// The bare redraw against the monitor closed, in turns as above.
std::vector<PhaseCpu> measureBareRedraw(const Layout& layout, int phaseMs, int rounds,
                                        std::vector<PhaseCpu>& closed) {
    std::vector<PhaseCpu> bare;
    for (int round = 0; round < rounds; ++round) {
        for (bool shown : {round % 2 == 1, round % 2 == 0}) {
            if (!shown) {
                closed.push_back(cpuDuring(phaseMs));
                continue;
            }
            QWidget window;
            window.resize(layout.window);
            BareWidget* panes[2];
            for (int i = 0; i < 2; ++i) {
                panes[i] = new BareWidget(&window);
                panes[i]->setAttribute(Qt::WA_OpaquePaintEvent);
                panes[i]->setGeometry(layout.panes[i]);
            }
            QTimer timer;
            QObject::connect(&timer, &QTimer::timeout, [&] {
                for (BareWidget* pane : panes)
                    pane->update();
            });
            window.show();
            timer.start(100);
            runFor(SETTLE_MS);
            bare.push_back(cpuDuring(phaseMs));
        }
        runFor(SETTLE_MS);
    }
    return bare;
}

bool shownAtTheEnd(const PortMonitorDialog& monitor, PortMonitorDialog::Pane pane,
                   const std::string& text) {
    std::string shown = monitor.drawnPane(pane).remove('\n').toStdString();
    return shown.size() >= text.size() &&
           shown.compare(shown.size() - text.size(), text.size(), text) == 0;
}

// How long a few bytes the application writes take to show in the Tx pane and, echoed by
// the device, in the Rx pane: median and worst, in milliseconds. The application is
// this process now, on an idle port.
void measureLatency(MainDialog& window, const std::string& link) {
    int fd = openRaw(link);
    if (fd < 0 || !runUntil([] { return port(0).state.load() == PORT_CONNECTED; }, 10000))
        return (void)std::fprintf(stderr, "the latency port did not connect\n");
    PortMonitorDialog* monitor = openMonitor(window);
    std::vector<double> tx, rx;
    for (int i = 0; monitor && i < 30; ++i) {
        char mark[16];
        std::snprintf(mark, sizeof mark, "mark%02d;", i);
        auto start = Clock::now();
        if (!writeExactly(fd, reinterpret_cast<const uint8_t*>(mark), std::strlen(mark), 5000))
            break;
        auto since = [&] {
            return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        };
        bool txShown = false, rxShown = false;
        runUntil(
            [&] {
                if (!txShown &&
                    (txShown = shownAtTheEnd(*monitor, PortMonitorDialog::TX_PANE, mark)))
                    tx.push_back(since());
                if (!rxShown &&
                    (rxShown = shownAtTheEnd(*monitor, PortMonitorDialog::RX_PANE, mark)))
                    rx.push_back(since());
                return txShown && rxShown;
            },
            2000, 1);
        uint8_t echo[256];
        while (read(fd, echo, sizeof echo) > 0) {
        }
        runFor(37); // the next write at another moment of the monitor's tick
    }
    if (!tx.empty() && !rx.empty())
        std::printf("written to shown: Tx pane median %.0f ms, worst %.0f ms; Rx pane median %.0f "
                    "ms, worst %.0f ms (%zu writes)\n",
                    median(tx), *std::max_element(tx.begin(), tx.end()), median(rx),
                    *std::max_element(rx.begin(), rx.end()), rx.size());
    if (monitor)
        monitor->accept();
    close(fd);
}

int runManager(int control, const std::string& link, double rate, int phaseMs, int rounds) {
    int argc = 1;
    char name[] = "monitor_cost";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    portdriver::install();
    MainDialog window;
    window.initialise();
    window.show();
    bool connected = runUntil([] { return port(0).state.load() == PORT_READY; }, 10000) &&
                     write(control, "g", 1) == 1 &&
                     runUntil([] { return port(0).state.load() == PORT_CONNECTED; }, 10000);
    if (!connected) {
        std::fprintf(stderr, "the port was not connected\n");
        return 1;
    }
    runFor(WARM_UP_MS);
    Phases phases = measure(window, phaseMs, rounds);
    if (phases.open.empty())
        return 1;
    double closed = mean(phases.closed, &PhaseCpu::manager);
    double open = mean(phases.open, &PhaseCpu::manager);
    double closedMedian = median(figures(phases.closed, &PhaseCpu::manager));
    double openMedian = median(figures(phases.open, &PhaseCpu::manager));
    double uiClosed = mean(phases.closed, &PhaseCpu::uiThread);
    double uiOpen = mean(phases.open, &PhaseCpu::uiThread);
    std::printf("%.1f KiB/s each way, %d s per phase, %d rounds; panes %zu and %zu characters\n",
                rate / 1024, phaseMs / 1000, rounds, phases.txPane, phases.rxPane);
    std::printf("manager CPU, mean: monitor closed %.3f%%, open %.3f%% (open/closed %.3f)\n",
                closed, open, open / closed);
    std::printf("manager CPU, median: monitor closed %.3f%%, open %.3f%% (open/closed %.3f)\n",
                closedMedian, openMedian, openMedian / closedMedian);
    std::printf("UI thread, mean: monitor closed %.3f%%, open %.3f%% (the monitor's own: %.2f ms "
                "per second)\n",
                uiClosed, uiOpen, (uiOpen - uiClosed) * 10);
    // Beyond what the traffic costs meanwhile with the monitor closed.
    std::vector<double> openingMs;
    for (size_t i = 0; i < phases.openingCpu.size(); ++i)
        openingMs.push_back((phases.openingCpu[i] - closed / 100 * phases.openingWall[i]) * 1000);
    std::printf("opening the monitor and its first drawing: %.1f ms of CPU (median of %zu)\n",
                median(openingMs), openingMs.size());
    std::vector<PhaseCpu> bareClosed;
    std::vector<PhaseCpu> bare = measureBareRedraw(phases.layout, phaseMs, rounds, bareClosed);
    std::printf("bare redraw of two widgets where the panes are, every 100 ms: UI thread %.2f ms "
                "per second, manager open/closed %.3f (mean of %zu)\n",
                (mean(bare, &PhaseCpu::uiThread) - mean(bareClosed, &PhaseCpu::uiThread)) * 10,
                mean(bare, &PhaseCpu::manager) / mean(bareClosed, &PhaseCpu::manager), bare.size());
    std::fflush(nullptr);
    if (write(control, "s", 1) == 1 &&
        runUntil([] { return port(0).state.load() == PORT_READY; }, 10000)) {
        runFor(3000); // the child's figures come first
        measureLatency(window, link);
    }
    endManager();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    double rate = argc > 1 ? std::atof(argv[1]) : 115200;
    int seconds = argc > 2 ? std::atoi(argv[2]) : 3;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 8;
    bool display = argc > 4 && std::string(argv[4]) == "display";
    if (rate <= 0 || seconds < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: monitor_cost [bytes per second > 0] [seconds per phase >= 1] "
                             "[rounds >= 1] [display]\n");
        return 2;
    }
    ManagerFolder folder;
    if (display)
        unsetenv("QT_QPA_PLATFORM");
    setenv("QUORVALINK_REMOTE_PORT", "0", 1);
    registerPort(0, "COM1", DEVICE_ADDRESS, DEVICE_PORT);
    int control[2];
    if (pipe(control) != 0)
        return 1;
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(control[1]);
        int status = runApplication(control[0], folder.link("COM1"), rate);
        std::fflush(nullptr);
        _exit(status);
    }
    close(control[0]);
    int status = runManager(control[1], folder.link("COM1"), rate, seconds * 1000, rounds);
    close(control[1]);
    int childStatus = 0;
    waitpid(child, &childStatus, 0);
    return status != 0 || childStatus != 0 ? 1 : 0;
}
