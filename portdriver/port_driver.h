#pragma once
// The stand-in for the kernel port driver, loaded into the manager's process when
// the driver device is opened (platform/driver_device.h) and destroyed when it is
// deleted. It owns the RingQueues it hands out, the table of driver-side event
// handles, one DriverPort (pty + link) per registered port and the driver thread.
//
// The lock: everything the driver owns (queues, event handles, ports, their sessions,
// ptys, links and control channels, the open watch) is touched only with lock_ held.
// Three kinds of caller take it:
//   - the driver thread, for each round of work (never while it waits in epoll);
//   - control(), eventHandle(), forgetEvent(), queueBlock() and modemStatus(), called by
//     the platform wrapper or the manager on any thread;
//   - takeSignalNow(), on the manager's receiving thread, only when the lock is free
//     (try_lock): it never waits for the driver thread, and does nothing it cannot
//     finish at once.
// So a queue release never overlaps the driver thread's use of the queue or of the
// port's readEvent. Nothing is called back with the lock held: the driver thread never
// calls into the platform's driver-device wrapper, so unloading (joining the thread)
// cannot deadlock.
#include "platform/driver_device.h"
#include "platform/thread_annotations.h"
#include "portdriver/driver_port.h"
#include "portdriver/hook_reader.h"
#include "portdriver/open_watch.h"
#include "portdriver/poll_set.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace portdriver {

class PortDriver final : public platform::DriverBackend {
  public:
    PortDriver();
    ~PortDriver() override;

    bool control(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* bytesReturned) override EXCLUDES(lock_);
    uint32_t eventHandle(platform::AutoEvent* event) override EXCLUDES(lock_);
    void forgetEvent(platform::AutoEvent* event) override EXCLUDES(lock_);
    bool takeSignalNow(platform::AutoEvent* event) override EXCLUDES(lock_);
    void* queueBlock(uint32_t queueHandle) override EXCLUDES(lock_);

    // The last modem-status byte the device sent to the open port, -1 if none.
    int modemStatus(const std::string& portName) EXCLUDES(lock_);

    // Calls use with the driver that is loaded, or returns otherwise when none is.
    static int withLoaded(const std::function<int(PortDriver&)>& use, int otherwise);

  private:
    uint32_t allocateQueue() REQUIRES(lock_);
    bool releaseQueue(uint32_t handle) REQUIRES(lock_);
    void refreshPorts() REQUIRES(lock_);
    void removeStrayLinks() REQUIRES(lock_);
    bool serves(const std::string& portName) const REQUIRES(lock_);
    bool hasSession(const std::string& portName) const REQUIRES(lock_);
    void addPort(int slot, const std::string& name) REQUIRES(lock_);
    uint32_t newHandle() REQUIRES(lock_);
    std::optional<PortHook> resolveHook(const PublishedValues& values) REQUIRES(lock_);
    DriverPort* portAt(int slot) REQUIRES(lock_);
    void beginSessions(uint32_t now, std::vector<DriverPort*>& served) REQUIRES(lock_);

    void run() EXCLUDES(lock_);
    int collectPollSet(std::vector<pollfd>& fds, std::vector<DriverPort*>& owners) REQUIRES(lock_);
    bool descriptorsMayBeReused() REQUIRES(lock_);
    void serviceAll(const std::vector<pollfd>& fds, const std::vector<DriverPort*>& owners,
                    bool timedOut) REQUIRES(lock_);

    platform::Mutex lock_;
    OpenWatch watch_ GUARDED_BY(lock_); // before the ports, which use it until they go
    HookReader hookReader_;             // its own lock
    std::map<uint32_t, std::unique_ptr<RingQueue>> queues_ GUARDED_BY(lock_);
    std::map<uint32_t, platform::AutoEvent*> events_ GUARDED_BY(lock_);
    std::vector<std::unique_ptr<DriverPort>> ports_ GUARDED_BY(lock_);
    uint32_t lastHandle_ GUARDED_BY(lock_) = 0xC0010000;
    const std::string deviceFolder_;
    const int wakeFd_ = -1;
    PollSet pollSet_; // driver thread only
    // A control call or a closed event may have freed descriptor numbers.
    bool rebuildDue_ GUARDED_BY(lock_) = true;
    unsigned lastChanges_ GUARDED_BY(lock_) = 0; // the ports' descriptorChanges at the last round
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace portdriver
