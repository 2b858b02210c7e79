#include "portdriver/driver_port.h"

#include "platform/trace.h"
#include "portdriver/open_watch.h"

#include <algorithm>

namespace portdriver {

namespace {
// Ptys of ended sessions remembered for the open requests about them.
constexpr size_t ENDED_REMEMBERED = 16;
} // namespace

DriverPort::DriverPort(int slot, std::string name, const std::string& deviceFolder,
                       OpenWatch& watch)
    : slot_(slot), name_(std::move(name)), link_(deviceFolder + "/" + name_),
      sessionLink_(deviceFolder + "/" + name_ + PORT_SESSION_SUFFIX), watch_(watch),
      line_(PtyPair::defaultLine()), channel_(deviceFolder + "/" + name_ + PORT_CHANNEL_SUFFIX) {}

DriverPort::~DriverPort() {
    shutdown();
}

bool DriverPort::create() {
    if (!makeWaiting())
        return false;
    makeSpare();
    // Without the channel the port still works as a plain pty.
    if (!channel_.listening() && !channel_.open())
        platform::debugTrace("%s: no control channel\r\n", name_.c_str());
    return true;
}

void DriverPort::shutdown() {
    if (session_) {
        session_->hangUp();
        endSession(false);
    }
    queued_.clear(); // hangs their applications up
    kept_.clear();
    watch_.remove(watchId_);
    watchId_ = -1;
    channel_.close();
    link_.remove(waiting_.linkTarget());
    waiting_.close();
    spare_.close();
    ++changes_;
}

// The link is pointed at the spare pty, made beforehand so that the link moves on at once
// when an application takes the waiting one; a new spare is made afterwards.
// The spare is watched before the link leads to it: an open right after the swap must be
// reported, or it would wait for the look every second (the driver's own open of the
// spare came before, while it was made).
bool DriverPort::makeWaiting() {
    if (!spare_.valid() && !spare_.create(line_))
        return false;
    int watch = watch_.add(spare_.slavePath());
    if (!link_.pointAt(spare_.linkTarget())) {
        watch_.remove(watch);
        return false;
    }
    watch_.remove(watchId_);
    waiting_ = std::move(spare_);
    watchId_ = watch;
    ++changes_;
    return true;
}

void DriverPort::makeSpare() {
    if (!spare_.valid() && !spare_.create(line_))
        platform::debugTrace("%s: no pseudo-terminal for the next open\r\n", name_.c_str());
}

bool DriverPort::openNoted() const {
    return watch_.opened(watchId_);
}

void DriverPort::service(uint32_t now, bool look) {
    // Someone holds the waiting pty, or came, set it up and went before the driver looked
    // (its writes were held, its settings were reported).
    if (watch_.takeOpened(watchId_) || (look && (waiting_.held() || waiting_.readable())))
        takeArrival();
    // A kept pty goes once it is nobody's controlling terminal any more.
    if (look)
        std::erase_if(kept_, [](const PtyPair& pty) { return !pty.controlling(); });
    if (session_) {
        session_->service(now);
        if (session_->phase() == PortSession::Phase::Over)
            endSession();
    }
}

// The pty an application has opened is its own from now on: the link moves on to a fresh
// one, and the pty is locked, so that whoever reached it through the link a moment ago
// fails to open it instead of sharing it. Only then may its application's bytes flow: the
// next opener can no longer reach this pty.
void DriverPort::takeArrival() {
    // An application that opened and closed the port, and another that opened it after,
    // both before the driver could move the link on: the first could write nothing (the
    // output was held), so the pty is the second's session.
    if (watch_.reopened(watchId_))
        platform::debugTrace("%s: opened again after a close before the driver saw the first "
                             "open: the session is the last opener's\r\n",
                             name_.c_str());
    PtyPair taken = std::move(waiting_);
    if (!makeWaiting())
        platform::debugTrace("%s: no pseudo-terminal for the next open\r\n", name_.c_str());
    bool busy = anyApplicationHolds();
    bool released = !busy && taken.releaseOutput();
    taken.lock();
    makeSpare();
    if (busy || !released) {
        platform::debugTrace(busy ? "%s: opened while another application has it: refused\r\n"
                                  : "%s: the application's output could not be let go: hung up\r\n",
                             name_.c_str());
        refuse(taken, busy ? PORT_CHANNEL_BUSY : PORT_CHANNEL_NOT_OPEN);
        return;
    }
    queued_.push_back(std::move(taken));
}

// The master says POLLHUP once the application's last descriptor is closed: an
// application that closed the port before another opened it no longer holds it.
bool DriverPort::anyApplicationHolds() const {
    if (session_ && session_->applicationHolds())
        return true;
    return std::any_of(queued_.begin(), queued_.end(),
                       [](const PtyPair& pty) { return pty.held(); });
}

void DriverPort::refuse(PtyPair& pty, uint8_t reason) {
    remember(pty.device(), reason);
    pty.close();
    ++changes_;
}

// Pty numbers come back soon after a pty is closed: only the newest word on one counts.
void DriverPort::remember(dev_t slave, uint8_t reason) {
    std::erase_if(ended_, [slave](const auto& ended) { return ended.first == slave; });
    ended_.emplace_back(slave, reason);
    if (ended_.size() > ENDED_REMEMBERED)
        ended_.pop_front();
}

// The sessions follow each other in the order their applications opened the port; each
// begins once the one before it has put its CLOSE in the outQueue.
bool DriverPort::takeHookWanted() {
    if (session_ || queued_.empty() || hookAsked_)
        return false;
    hookAsked_ = true;
    return true;
}

void DriverPort::beginNext(std::optional<PortHook> hook, uint32_t now) {
    hookAsked_ = false;
    if (session_ || queued_.empty())
        return;
    PtyPair pty = std::move(queued_.front());
    queued_.pop_front();
    if (!hook) {
        platform::debugTrace("%s opened while not started: hung up\r\n", name_.c_str());
        refuse(pty, PORT_CHANNEL_NOT_STARTED);
        return;
    }
    std::string sessionTarget = pty.linkTarget();
    session_ = std::make_unique<PortSession>(name_, std::move(pty), *hook, lineChanges_, line_,
                                             askedCflag_);
    sessionTarget_ = sessionLink_.pointAt(sessionTarget) ? sessionTarget : std::string();
    ++changes_;
    session_->begin(now);
    if (session_->phase() == PortSession::Phase::Over)
        endSession();
}

// wake: the manager still hears of the session's last packets (its CLOSE); not when its
// queues are being released.
void DriverPort::endSession(bool wake) {
    if (const std::optional<termios>& line = session_->finalLine())
        line_ = *line;
    askedCflag_ = session_->askedCflag();
    if (PtyPair kept = session_->takeKeptPty(); kept.valid())
        kept_.push_back(std::move(kept));
    remember(session_->device(), session_->endReason());
    platform::AutoEvent* ended = session_->takeWake();
    if (wake && ended)
        endedWake_ = ended;
    session_.reset();
    sessionLink_.remove(std::exchange(sessionTarget_, {}));
    ++changes_;
}

void DriverPort::hangUp() {
    if (!session_)
        return;
    session_->hangUp();
    endSession(false);
}

int DriverPort::pollTimeoutMs(uint32_t now) const {
    return session_ ? session_->pollTimeoutMs(now) : -1;
}

void DriverPort::takeWakes(std::vector<platform::AutoEvent*>& wakes) {
    for (platform::AutoEvent* wake :
         {std::exchange(endedWake_, nullptr), session_ ? session_->takeWake() : nullptr}) {
        if (wake && std::find(wakes.begin(), wakes.end(), wake) == wakes.end())
            wakes.push_back(wake);
    }
}

} // namespace portdriver
