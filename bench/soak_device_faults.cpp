// Device-server faults during traffic. N ports of a whole manager (in this process, so
// that its tick source can be moved) stream through device-server simulators in
// processes of their own, which are killed, reset, silenced and refused at random
// moments. After every fault each port is reconnected and its traffic resumes; the
// applications never read a byte that is not a slice of what they wrote, in order (a
// connection lost in the middle of traffic may lose bytes, never change, duplicate or
// reorder them); at the end the manager's descriptors, threads and memory are where
// they were after the first faults.
//
//   soak_device_faults [--ports N] [--devices D] [--faults F] [--seed S]
//                      [--kinds killed,reset,silent,refusing] [--verbose]
//
// Faults, each on one device server (all its ports at once):
//   killed    SIGKILL, started again at once
//   reset     every connection reset (RST); the server stays
//   silent    SIGSTOP: it neither reads nor writes but its system still acknowledges;
//             the manager sees silence after 120 s of its tick, which is moved for that;
//             SIGCONT once the manager has begun reconnecting
//   refusing  SIGKILL, and nothing listens for 0.5..2.5 s (connects are refused)
// While a reconnection runs the tick is moved too (as the reconnection tests do), so the
// waits between cycles pass at once; it stands still while a connect or an
// identification is under way.
//
// Exit status 0 when every check held; the figures go to standard output.
#include "bench/soak_support.h"
#include "config/manager_context.h"
#include "config/port_table.h"
#include "device/port_connection.h"
#include "platform/message_box.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_harness.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace soak;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t CHUNK = 4096;
constexpr uint64_t WINDOW = 48 * 1024; // written but not yet back, per port
// Nothing back for this long: what is out was lost with a connection, write on.
constexpr int LOST_WINDOW_MS = 300;
constexpr uint64_t RESUMED = 16 * 1024; // bytes back after a fault that show traffic resumed
constexpr int RECOVERY_MS = 90000;
constexpr uint32_t TICK_STEP_MS = 100;
constexpr int HOLD_MS = 1500;
// Heap the manager may settle to after the first faults (buffers, caches), in kB.
constexpr long HEAP_SLACK_KB = 2048;

enum class Fault { Killed, Reset, Silent, Refusing };
const char* const FAULT_NAMES[] = {"killed", "reset", "silent", "refusing"};

struct Options {
    int ports = 4;
    int devices = 2;
    int faults = 20;
    uint32_t seed = 1;
    bool verbose = false;
    std::vector<Fault> kinds = {Fault::Killed, Fault::Reset, Fault::Silent, Fault::Refusing};
};

// "killed,reset": the kinds named, in any order.
bool parseKinds(const std::string& text, std::vector<Fault>& kinds) {
    kinds.clear();
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = std::min(text.find(',', at), text.size());
        std::string name = text.substr(at, end - at);
        auto found = std::find(std::begin(FAULT_NAMES), std::end(FAULT_NAMES), name);
        if (found == std::end(FAULT_NAMES))
            return false;
        kinds.push_back(Fault(found - std::begin(FAULT_NAMES)));
        at = end + 1;
    }
    return !kinds.empty();
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--verbose") {
            options.verbose = true;
            --i;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        long value = std::strtol(argv[i + 1], nullptr, 10);
        if (name == "--ports" && value >= 1 && value <= 32)
            options.ports = int(value);
        else if (name == "--devices" && value >= 1 && value <= 16)
            options.devices = int(value);
        else if (name == "--faults" && value >= 0)
            options.faults = int(value);
        else if (name == "--seed")
            options.seed = uint32_t(value);
        else if (name == "--kinds" && parseKinds(argv[i + 1], options.kinds))
            continue;
        else
            return false;
    }
    return options.devices <= options.ports;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The tick moves while a reconnection runs or a silence is to be noticed, and stands
// still while a connect or an identification is under way (at most HOLD_MS of real
// time, so that a device that never answers lets its deadline pass).
class TickMover {
  public:
    TickMover() : timer_(std::make_unique<QTimer>()) {
        platform::setTraceCapture([this](const std::string& text) { note(text); });
        timer_->setTimerType(Qt::PreciseTimer);
        timer_->setInterval(1);
        QObject::connect(timer_.get(), &QTimer::timeout, [this] { turn(); });
        timer_->start();
    }
    ~TickMover() {
        timer_->stop();
        platform::setTraceCapture({});
    }
    bool awaitingSilence = false;

  private:
    void note(const std::string& text) {
        std::lock_guard lock(mutex_);
        if (text == "Reconnecting..\r\n") {
            ++inFlight_;
            heldSince_ = Clock::now();
        } else if (inFlight_ > 0 &&
                   (text == "Connection Error\r\n" || text.rfind("Identification OK", 0) == 0 ||
                    text.rfind("Identification Failed", 0) == 0)) {
            --inFlight_;
        }
    }
    bool holding() {
        std::lock_guard lock(mutex_);
        if (inFlight_ > 0 && Clock::now() - heldSince_ > std::chrono::milliseconds(HOLD_MS))
            inFlight_ = 0;
        return inFlight_ > 0;
    }
    void turn() {
        if ((context.reconnectRunning.load() || awaitingSilence) && !holding())
            platform::addTickOffset(TICK_STEP_MS);
    }

    std::unique_ptr<QTimer> timer_;
    std::mutex mutex_;
    int inFlight_ = 0;
    Clock::time_point heldSince_;
};

struct Port {
    int slot;
    std::string name;
    int device;
    int fd = -1;
    StreamPattern pattern;
    StreamChecker checker;
    uint64_t written = 0;
    bool writing = true;
    int faults = 0; // faults of its device
    Clock::time_point lastArrival = Clock::now();
    Port(int slot, int device)
        : slot(slot), name("COM" + std::to_string(slot + 1)), device(device),
          pattern(uint8_t(slot)), checker(pattern) {}
};

// The campaign as a state machine that advances in small turns which never pump:
// from a timer, so that it goes on inside the waits of the manager's procedures
// (a reconnection waits, pumping, for a device the campaign is to bring back), and
// from the main loop.
class Soak {
  public:
    explicit Soak(const Options& options) : options_(options), random_(options.seed) {}

    int run() {
        platform::setMessageBoxResponder([this](const platform::MessageBoxCall& call) {
            problems_.push_back("a message box: " + call.caption + ": " + call.text);
            return platform::IDOK;
        });
        if (setUp()) {
            TickMover ticks;
            ticks_ = &ticks;
            QTimer timer;
            timer.setInterval(1);
            QObject::connect(&timer, &QTimer::timeout, [this] { turn(); });
            timer.start();
            enterTraffic(1000);
            while (phase_ != Phase::Finished) {
                turn();
                if (!platform::pumpOneMessage())
                    waitForApplications();
            }
            timer.stop();
            ticks_ = nullptr;
        }
        after_ = measureSelf();
        return report();
    }

  private:
    enum class Phase { Traffic, Silencing, Down, Recovering, Draining, Finished };

    bool setUp() {
        int perDevice = (options_.ports + options_.devices - 1) / options_.devices;
        for (int d = 0; d < options_.devices; ++d) {
            devices_.push_back(
                std::make_unique<DeviceProcess>(allocateLoopbackAddress(), perDevice));
            if (!devices_.back()->start())
                return fail("device server " + std::to_string(d) + " did not start");
        }
        // Every port is registered before the first start loads the driver with them.
        for (int i = 0; i < options_.ports; ++i) {
            ports_.emplace_back(i, i % options_.devices);
            Port& port = ports_.back();
            manager_.addPort(port.slot, port.name.c_str(), devices_[size_t(port.device)]->address(),
                             i / options_.devices + 1);
        }
        for (Port& port : ports_) {
            port.fd = manager_.connectApplication(port.slot, port.name.c_str());
            if (port.fd < 0)
                return fail(port.name + " did not connect");
        }
        started_ = Clock::now();
        return true;
    }

    bool fail(const std::string& problem) {
        problems_.push_back(problem);
        return false;
    }

    void turn() {
        if (phase_ == Phase::Finished)
            return;
        serviceApplications();
        if (!problems_.empty()) {
            phase_ = Phase::Finished;
            return;
        }
        auto now = Clock::now();
        switch (phase_) {
        case Phase::Traffic:
            if (now < until_)
                break;
            if (faultsDone_ == options_.faults)
                enterDraining();
            else
                beginFault();
            break;
        case Phase::Silencing:
            if (reconnecting()) {
                note("silence noticed");
                ticks_->awaitingSilence = false;
                phase_ = Phase::Down;
                until_ = now + std::chrono::milliseconds(pick(0, 500));
            } else if (now > deadline_) {
                fail(describeFault() + ": the silence was not noticed");
            }
            break;
        case Phase::Down:
            if (now >= until_)
                bringBack();
            break;
        case Phase::Recovering:
            if (recovered())
                faultOver();
            else if (now > deadline_)
                fail(describeFault() + ": a port did not resume");
            break;
        case Phase::Draining:
            if (drained())
                phase_ = Phase::Finished;
            else if (now > deadline_)
                fail("after the last fault not everything written came back");
            break;
        case Phase::Finished:
            break;
        }
    }

    // One turn for the applications: write what the window allows, read and check
    // what came back.
    void serviceApplications() {
        uint8_t buffer[CHUNK];
        for (Port& port : ports_) {
            bool windowOpen =
                port.written - port.checker.expected() < WINDOW ||
                Clock::now() - port.lastArrival > std::chrono::milliseconds(LOST_WINDOW_MS);
            if (port.writing && windowOpen) {
                port.pattern.fill(port.written, buffer, CHUNK);
                ssize_t n = ::write(port.fd, buffer, CHUNK);
                if (n > 0)
                    port.written += uint64_t(n);
            }
            ssize_t n = 0;
            while ((n = ::read(port.fd, buffer, sizeof buffer)) > 0) {
                port.lastArrival = Clock::now();
                if (!port.checker.take(buffer, size_t(n))) {
                    fail(port.name + ": " + port.checker.problem() + " (after " +
                         std::to_string(port.faults) + " faults of its device, the last " +
                         describeFault() + ")");
                    return;
                }
            }
            if (n == 0)
                fail(port.name + ": the application was hung up");
        }
    }

    void waitForApplications() {
        std::vector<pollfd> waits;
        for (Port& port : ports_)
            waits.push_back({port.fd, POLLIN, 0});
        poll(waits.data(), waits.size(), 1);
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    void enterTraffic(int ms) {
        phase_ = Phase::Traffic;
        until_ = Clock::now() + std::chrono::milliseconds(ms);
    }

    std::string describeFault() const {
        return "fault " + std::to_string(faultsDone_ + 1) + " (" + FAULT_NAMES[int(fault_)] +
               ", device " + std::to_string(device_) + ")";
    }

    void note(const std::string& text) {
        if (options_.verbose)
            std::printf("%8.3f %s\n", secondsSince(started_), text.c_str());
    }

    void beginFault() {
        device_ = pick(0, options_.devices - 1);
        fault_ = options_.kinds[size_t(pick(0, int(options_.kinds.size()) - 1))];
        note(describeFault() + " begins");
        ++counts_[int(fault_)];
        affected_.clear();
        serials_.clear();
        for (Port& port : ports_)
            if (port.device == device_) {
                ++port.faults;
                affected_.push_back(&port);
                serials_.push_back(connectionSerialOf(::port(port.slot)));
            }
        DeviceProcess& server = *devices_[size_t(device_)];
        auto now = Clock::now();
        switch (fault_) {
        case Fault::Killed:
            server.kill();
            phase_ = Phase::Down;
            until_ = now + std::chrono::milliseconds(pick(0, 100));
            break;
        case Fault::Refusing:
            server.kill();
            phase_ = Phase::Down;
            until_ = now + std::chrono::milliseconds(pick(500, 2500));
            break;
        case Fault::Reset:
            server.reset();
            beginRecovery();
            break;
        case Fault::Silent:
            server.stop();
            ticks_->awaitingSilence = true;
            phase_ = Phase::Silencing;
            deadline_ = now + std::chrono::milliseconds(RECOVERY_MS);
            break;
        }
    }

    void bringBack() {
        note("device back");
        DeviceProcess& server = *devices_[size_t(device_)];
        if (fault_ == Fault::Silent)
            server.resume();
        else if (!server.start())
            fail(describeFault() + ": the device server did not start again");
        beginRecovery();
    }

    void beginRecovery() {
        phase_ = Phase::Recovering;
        deadline_ = Clock::now() + std::chrono::milliseconds(RECOVERY_MS);
        resumeFrom_.clear();
        for (Port* port : affected_)
            resumeFrom_.push_back(port->checker.expected());
    }

    // Every port of the device has a new connection (or never lost it: a reset that
    // found the port between connections), all ports are Connected, and traffic has
    // come back on each port of the device.
    bool reconnecting() const {
        for (size_t i = 0; i < affected_.size(); ++i)
            if (connectionSerialOf(::port(affected_[i]->slot)) == serials_[i] &&
                ::port(affected_[i]->slot).state.load() == PORT_CONNECTED)
                return false;
        return true;
    }

    bool recovered() const {
        for (const Port& port : ports_)
            if (::port(port.slot).state.load() != PORT_CONNECTED)
                return false;
        for (size_t i = 0; i < affected_.size(); ++i)
            if (affected_[i]->checker.expected() < resumeFrom_[i] + RESUMED)
                return false;
        return true;
    }

    void faultOver() {
        note(describeFault() + " is over");
        ++faultsDone_;
        if (faultsDone_ == std::min(5, options_.faults / 4))
            before_ = measureSelf();
        if (faultsDone_ % 50 == 0) {
            std::printf("%d faults, %.0f s\n", faultsDone_, secondsSince(started_));
            std::fflush(stdout);
        }
        enterTraffic(pick(50, 400));
    }

    // No more writing: everything written since the last fault comes back.
    void enterDraining() {
        if (faultsDone_ == 0)
            before_ = measureSelf();
        for (Port& port : ports_)
            port.writing = false;
        phase_ = Phase::Draining;
        deadline_ = Clock::now() + std::chrono::milliseconds(RECOVERY_MS);
    }

    bool drained() const {
        for (const Port& port : ports_)
            if (port.checker.expected() != port.written)
                return false;
        return true;
    }

    int report() {
        double seconds = secondsSince(started_);
        std::printf("soak_device_faults: %d ports on %d device servers, %d faults in %.1f s "
                    "(killed %d, reset %d, silent %d, refusing %d), seed %u\n",
                    options_.ports, options_.devices, faultsDone_, seconds, counts_[0], counts_[1],
                    counts_[2], counts_[3], options_.seed);
        uint64_t total = 0;
        for (Port& port : ports_) {
            total += port.checker.received();
            std::printf("  %-5s written %llu, back %llu, lost %llu in %d gaps, %u connects\n",
                        port.name.c_str(), static_cast<unsigned long long>(port.written),
                        static_cast<unsigned long long>(port.checker.received()),
                        static_cast<unsigned long long>(port.checker.lost()), port.checker.gaps(),
                        connectionSerialOf(::port(port.slot)));
        }
        std::printf("  %.1f MB came back in all\n", double(total) / 1e6);
        std::printf(
            "  after the first faults: %d descriptors, %d threads, %ld kB resident, %ld kB heap\n",
            before_.descriptors, before_.threads, before_.residentKb, before_.heapKb);
        std::printf(
            "  at the end:             %d descriptors, %d threads, %ld kB resident, %ld kB heap\n",
            after_.descriptors, after_.threads, after_.residentKb, after_.heapKb);
        if (problems_.empty())
            checkGrowth();
        for (const std::string& problem : problems_)
            std::printf("FAILED: %s\n", problem.c_str());
        if (problems_.empty())
            std::printf("OK\n");
        std::fflush(stdout);
        return problems_.empty() ? 0 : 1;
    }

    // Descriptors and threads come back to where they were; the heap may move by what
    // buffers and caches settle to, not by something per fault.
    void checkGrowth() {
        if (after_.descriptors > before_.descriptors)
            fail("descriptors grew from " + std::to_string(before_.descriptors) + " to " +
                 std::to_string(after_.descriptors));
        if (after_.threads > before_.threads)
            fail("threads grew from " + std::to_string(before_.threads) + " to " +
                 std::to_string(after_.threads));
        if (MEMORY_MEANINGFUL && before_.heapKb > 0 &&
            after_.heapKb - before_.heapKb > HEAP_SLACK_KB)
            fail("the heap grew by " + std::to_string(after_.heapKb - before_.heapKb) + " kB");
    }

    Options options_;
    std::mt19937 random_;
    ManagerHarness manager_;
    std::vector<std::unique_ptr<DeviceProcess>> devices_;
    std::vector<Port> ports_;
    TickMover* ticks_ = nullptr;
    Phase phase_ = Phase::Traffic;
    Clock::time_point until_, deadline_;
    int faultsDone_ = 0;
    int device_ = 0;
    Fault fault_ = Fault::Killed;
    std::vector<Port*> affected_;
    std::vector<uint32_t> serials_;
    std::vector<uint64_t> resumeFrom_;
    int counts_[4] = {};
    ProcessFigures before_, after_;
    std::vector<std::string> problems_;
    Clock::time_point started_ = Clock::now();
};

} // namespace

int main(int argc, char** argv) {
    if (isDeviceRun(argc, argv))
        return deviceMain(argc, argv);
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: soak_device_faults [--ports N] [--devices D] [--faults F] "
                             "[--seed S] [--verbose]\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("QUORVALINK_REMOTE_PORT", "0", 1);
    Soak soak(options);
    return soak.run();
}
