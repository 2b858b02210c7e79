#include "portdriver/port_driver.h"

#include "platform/auto_event.h"
#include "platform/paths.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "portdriver/port_registry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/eventfd.h>
#include <unistd.h>

namespace portdriver {

namespace fs = std::filesystem;

namespace {
// Also catches an open that inotify did not report.
constexpr int IDLE_POLL_MS = 1000;

platform::Mutex loadedMutex;
PortDriver* loadedDriver GUARDED_BY(loadedMutex) = nullptr;

void wakeDescriptor(int fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(fd, &one, sizeof one);
}

// One read takes an eventfd's whole count.
void drainDescriptor(int fd) {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = read(fd, &count, sizeof count);
}
} // namespace

PortDriver::PortDriver()
    : deviceFolder_(platform::deviceFolder()), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    {
        platform::MutexLock lock(lock_);
        refreshPorts();
    }
    thread_ = std::thread([this] { run(); });
    platform::MutexLock lock(loadedMutex);
    loadedDriver = this;
}

int PortDriver::withLoaded(const std::function<int(PortDriver&)>& use, int otherwise) {
    platform::MutexLock lock(loadedMutex);
    return loadedDriver ? use(*loadedDriver) : otherwise;
}

PortDriver::~PortDriver() {
    {
        platform::MutexLock lock(loadedMutex);
        loadedDriver = nullptr;
    }
    stopping_.store(true);
    wakeDescriptor(wakeFd_);
    thread_.join();
    ports_.clear(); // hangs up every application and removes the links
    queues_.clear();
    close(wakeFd_);
}

bool PortDriver::control(uint32_t code, const void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* bytesReturned) {
    platform::MutexLock lock(lock_);
    uint32_t result = 0;
    if (code == platform::IOCTL_ALLOCATE_QUEUE && outSize == 4) {
        result = allocateQueue();
    } else if (code == platform::IOCTL_RELEASE_QUEUE && inSize == 4) {
        uint32_t handle = 0;
        std::memcpy(&handle, in, 4);
        if (!releaseQueue(handle))
            return false;
    } else if (code == platform::IOCTL_REFRESH_DEVICE_NODES && outSize == 4) {
        refreshPorts();
    } else {
        return false;
    }
    if (outSize == 4)
        std::memcpy(out, &result, 4);
    if (bytesReturned)
        *bytesReturned = outSize;
    rebuildDue_ = true;
    wakeDescriptor(wakeFd_);
    return true;
}

uint32_t PortDriver::eventHandle(platform::AutoEvent* event) {
    platform::MutexLock lock(lock_);
    for (const auto& [handle, known] : events_) {
        if (known == event)
            return handle;
    }
    uint32_t handle = newHandle();
    events_[handle] = event;
    return handle;
}

// Device bytes the manager has just put in a port's inQueue go to the application in the
// manager's thread, without a round of the driver thread: unless that thread is busy, or
// the session needs more than a write of the pty (its open or close, a tail the pty did
// not take, a modem status).
bool PortDriver::takeSignalNow(platform::AutoEvent* event) {
    if (!lock_.try_lock())
        return false;
    bool delivered = false;
    for (const auto& port : ports_) {
        if (port->readEventIs(event)) {
            delivered = port->deliverNow();
            break;
        }
    }
    lock_.unlock();
    return delivered;
}

// A closed event's handle goes too, so a new event at the same address gets a new one.
void PortDriver::forgetEvent(platform::AutoEvent* event) {
    platform::MutexLock lock(lock_);
    std::erase_if(events_, [event](const auto& entry) { return entry.second == event; });
    // Its descriptor closes next; another may get the number before the driver looks.
    rebuildDue_ = true;
    wakeDescriptor(wakeFd_);
}

void* PortDriver::queueBlock(uint32_t queueHandle) {
    platform::MutexLock lock(lock_);
    auto found = queues_.find(queueHandle);
    return found == queues_.end() ? nullptr : found->second.get();
}

int PortDriver::modemStatus(const std::string& portName) {
    platform::MutexLock lock(lock_);
    for (const auto& port : ports_) {
        if (port->name() == portName)
            return port->modemStatus();
    }
    return -1;
}

uint32_t PortDriver::newHandle() {
    // Queue and event handles share one space, so one passed for the other is refused.
    do {
        ++lastHandle_;
    } while (lastHandle_ == 0 || queues_.count(lastHandle_) || events_.count(lastHandle_));
    return lastHandle_;
}

uint32_t PortDriver::allocateQueue() {
    uint32_t handle = newHandle();
    queues_[handle] = std::make_unique<RingQueue>(); // value-initialised: all zero
    return handle;
}

bool PortDriver::releaseQueue(uint32_t handle) {
    auto found = queues_.find(handle);
    if (found == queues_.end())
        return false;
    // A session still using the queue loses it: its application is hung up before
    // the block goes, and its readEvent is let go before the manager closes it.
    for (const auto& port : ports_) {
        if (port->usesQueue(handle))
            port->hangUp();
    }
    queues_.erase(found);
    return true;
}

// The driver's ports become what the store registers: a port no longer registered
// (removed, renamed or moved to another slot) goes with its link and its application
// is hung up; a registered port without a pty gets one; a port whose link someone
// removed or replaced gets it back. Links in the device folder that name a port and
// belong to none here (left by a manager that died) go as well.
void PortDriver::refreshPorts() {
    std::vector<RegisteredPort> registered = registeredPorts();
    auto stillRegistered = [&](const std::unique_ptr<DriverPort>& port) {
        return port->alive() && std::any_of(registered.begin(), registered.end(), [&](auto& r) {
                   return r.slot == port->slot() && r.name == port->name();
               });
    };
    std::erase_if(ports_, [&](const auto& port) { return !stillRegistered(port); });
    for (const auto& port : ports_) {
        if (!port->keepLink())
            platform::debugTrace("%s: cannot put its link back\r\n", port->name().c_str());
    }
    for (const RegisteredPort& wanted : registered) {
        if (!serves(wanted.name))
            addPort(wanted.slot, wanted.name);
    }
    removeStrayLinks();
}

// Only symlinks of the form this driver makes (/proc/<pid>/fd/<n>) under a port's
// name or its session's, or the temporary name of one being swapped, and sockets under a
// port's channel name are touched; the folder is the manager's own, one manager per user.
void PortDriver::removeStrayLinks() {
    std::error_code error;
    std::vector<fs::path> stray;
    for (const fs::directory_entry& item : fs::directory_iterator(deviceFolder_, error)) {
        std::string name = item.path().filename().string();
        if (name.ends_with(PORT_CHANNEL_SUFFIX)) {
            std::string portName = name.substr(0, name.size() - strlen(PORT_CHANNEL_SUFFIX));
            if (isPortName(portName) && !serves(portName) &&
                item.symlink_status(error).type() == fs::file_type::socket)
                stray.push_back(item.path());
            continue;
        }
        bool swapping = name.ends_with(".new");
        std::string portName = swapping ? name.substr(0, name.size() - 4) : name;
        bool ofSession = portName.ends_with(PORT_SESSION_SUFFIX);
        if (ofSession)
            portName.resize(portName.size() - strlen(PORT_SESSION_SUFFIX));
        bool kept = ofSession ? hasSession(portName) : serves(portName);
        if (!isPortName(portName) || (!swapping && kept))
            continue;
        if (!item.is_symlink(error))
            continue;
        std::string target = fs::read_symlink(item.path(), error).string();
        if (target.starts_with("/proc/") && target.find("/fd/") != std::string::npos)
            stray.push_back(item.path());
    }
    for (const fs::path& link : stray)
        fs::remove(link, error);
}

bool PortDriver::hasSession(const std::string& portName) const {
    return std::any_of(ports_.begin(), ports_.end(), [&](const auto& port) {
        return port->name() == portName && port->hasSession();
    });
}

bool PortDriver::serves(const std::string& portName) const {
    return std::any_of(ports_.begin(), ports_.end(),
                       [&](const auto& port) { return port->name() == portName; });
}

void PortDriver::addPort(int slot, const std::string& name) {
    auto port = std::make_unique<DriverPort>(slot, name, deviceFolder_, watch_);
    if (!port->create()) {
        platform::debugTrace("%s: cannot create its pseudo-terminal or link\r\n", name.c_str());
        return;
    }
    ports_.push_back(std::move(port));
}

// The handles of the published values, resolved to the driver's queues and events; none
// when any is unknown (the port is not started, or stopped since the values were read).
std::optional<PortHook> PortDriver::resolveHook(const PublishedValues& values) {
    auto out = queues_.find(values.outQueue);
    auto in = queues_.find(values.inQueue);
    auto write = events_.find(values.writeEvent);
    auto read = events_.find(values.readEvent);
    if (out == queues_.end() || in == queues_.end() || write == events_.end() ||
        read == events_.end() || out == in)
        return std::nullopt;
    auto slice = events_.find(values.sliceEvent);
    return PortHook{out->first,
                    in->first,
                    out->second.get(),
                    in->second.get(),
                    write->second,
                    read->second,
                    slice == events_.end() ? nullptr : slice->second,
                    values.sixteenBitOpen};
}

DriverPort* PortDriver::portAt(int slot) {
    for (const auto& port : ports_) {
        if (port->slot() == slot)
            return port.get();
    }
    return nullptr;
}

// Sessions whose published values the reader has read begin now.
void PortDriver::beginSessions(uint32_t now, std::vector<DriverPort*>& served) {
    for (auto& [slot, values] : hookReader_.take()) {
        DriverPort* port = portAt(slot);
        if (!port)
            continue;
        port->beginNext(values ? resolveHook(*values) : std::nullopt, now);
        served.push_back(port);
    }
}

void PortDriver::run() {
    std::vector<pollfd> fds;
    std::vector<DriverPort*> owners;
    while (!stopping_.load()) {
        int timeout = 0;
        {
            platform::MutexLock lock(lock_);
            timeout = collectPollSet(fds, owners);
            pollSet_.update(fds, descriptorsMayBeReused());
        }
        int ready = pollSet_.wait(fds, timeout);
        if (ready < 0 && errno != EINTR)
            break;
        platform::MutexLock lock(lock_);
        serviceAll(fds, owners, ready == 0);
    }
}

// The driver's own wake-up and the open watch first, then per port its master (when
// there is something to do on it) and the manager's signal for it.
int PortDriver::collectPollSet(std::vector<pollfd>& fds, std::vector<DriverPort*>& owners) {
    fds.assign({{wakeFd_, POLLIN, 0}, {watch_.fd(), POLLIN, 0}, {hookReader_.fd(), POLLIN, 0}});
    owners.assign(fds.size(), nullptr);
    // Opens read past the driver's look at its ports (a session's end reads them too):
    // the driver looks again at once.
    int timeout = watch_.anyOpened() ? 0 : IDLE_POLL_MS;
    uint32_t now = platform::getTickCount();
    for (const auto& port : ports_) {
        pollfd master = port->pollRequest();
        port->notePolled(master.events);
        for (pollfd request : {master, port->signalRequest()}) {
            if (request.fd >= 0) {
                fds.push_back(request);
                owners.push_back(port.get());
            }
        }
        port->channelRequests(fds);
        owners.resize(fds.size(), port.get());
        int wanted = port->pollTimeoutMs(now);
        if (wanted >= 0)
            timeout = std::min(timeout, wanted);
    }
    return timeout;
}

// Whether a descriptor of the last round may have been closed since, its number free
// for another.
bool PortDriver::descriptorsMayBeReused() {
    unsigned changes = 0;
    for (const auto& port : ports_)
        changes += port->descriptorChanges();
    bool reused = rebuildDue_ || changes != lastChanges_;
    rebuildDue_ = false;
    lastChanges_ = changes;
    return reused;
}

// Only the ports something happened to are served, unless the driver's own wake-up asks
// for all of them: with many ports, one port's traffic does not cost a round over every
// other. A time-out is for the ports that asked for one, and it looks at the waiting pty
// of each port without a session for an open inotify did not report. A port's control
// channel is served last, so that what it waits for (an open begun, a modem status taken
// in) has happened, and the manager hears of the round's packets (the channel's MCR and
// SREQ too) once.
void PortDriver::serviceAll(const std::vector<pollfd>& fds, const std::vector<DriverPort*>& owners,
                            bool timedOut) {
    bool everyone = fds[0].revents != 0;
    if (everyone)
        drainDescriptor(wakeFd_);
    if (fds[1].revents)
        watch_.dispatch();
    // A control call may have replaced ports while we slept: only owners still in the
    // table count. Sorted, so that a round with many ports ready is not a pass over the
    // table for each of them.
    std::vector<DriverPort*> current;
    for (const auto& port : ports_)
        current.push_back(port.get());
    std::sort(current.begin(), current.end());
    std::vector<DriverPort*> due;
    for (size_t i = 3; i < fds.size(); ++i) {
        if (!fds[i].revents || !std::binary_search(current.begin(), current.end(), owners[i]))
            continue;
        if (fds[i].fd == owners[i]->signalRequest().fd)
            owners[i]->takeSignal();
        else if (fds[i].fd == owners[i]->pollRequest().fd)
            owners[i]->noteMasterReady(fds[i].revents);
        else
            owners[i]->noteChannelReady(fds[i].fd);
        due.push_back(owners[i]);
    }
    std::sort(due.begin(), due.end());
    uint32_t now = platform::getTickCount();
    std::vector<DriverPort*> served;
    for (const auto& port : ports_) {
        bool look = everyone || (timedOut && !port->hasSession());
        bool timed = timedOut && port->pollTimeoutMs(now) >= 0;
        bool isDue = look || timed || port->openNoted() || port->opening() ||
                     std::binary_search(due.begin(), due.end(), port.get());
        if (!isDue)
            continue;
        port->service(now, look);
        served.push_back(port.get());
    }
    if (fds[2].revents)
        beginSessions(now, served);
    std::sort(served.begin(), served.end());
    served.erase(std::unique(served.begin(), served.end()), served.end());
    std::vector<platform::AutoEvent*> wakes;
    for (DriverPort* port : served) {
        if (port->takeHookWanted())
            hookReader_.ask(port->slot());
        port->serveChannel();
        port->takeWakes(wakes);
    }
    for (platform::AutoEvent* wake : wakes)
        wake->set();
}

} // namespace portdriver
