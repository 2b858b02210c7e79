#include "portdriver/driver_port.h"

#include "platform/auto_event.h"
#include "platform/trace.h"
#include "portdriver/event_bridge.h"
#include "portdriver/ring_io.h"
#include "portdriver/slave_watch.h"

#include <algorithm>
#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace portdriver {

namespace {
constexpr int MAX_DATA = 512;
// The application is read only while the outQueue has room for what one read can
// bring: an MCR and an SREQ together (a line change leaving B0), or a DATA packet
// of at least four bytes.
constexpr int READ_ROOM = 8;
constexpr uint8_t MCR_DTR_RTS = 0x03;
} // namespace

DriverPort::DriverPort(int slot, std::string name, const std::string& deviceFolder, int wakeFd,
                       SlaveWatch& watch)
    : slot_(slot), name_(std::move(name)), pty_(deviceFolder + "/" + name_), wakeFd_(wakeFd),
      watch_(watch) {}

DriverPort::~DriverPort() {
    shutdown();
}

bool DriverPort::create() {
    watch_.remove(watchId_);
    watchId_ = -1;
    lineOwed_ = false;
    if (!pty_.open())
        return false;
    watchId_ = watch_.add(pty_.slavePath(), pty_.slaveHeld());
    return true;
}

void DriverPort::shutdown() {
    readBridge_.reset();
    hook_ = {};
    phase_ = Phase::Idle;
    watch_.remove(watchId_);
    watchId_ = -1;
    pty_.close();
}

void DriverPort::beginOpen(std::optional<PortHook> hook, uint32_t now) {
    if (!hook) {
        platform::debugTrace("%s opened while not started: hung up\r\n", name_.c_str());
        hangUp();
        return;
    }
    hook_ = *hook;
    openStart_ = now;
    openSent_ = false;
    applicationLeft_ = false;
    holderLeft_ = false;
    hangupSeen_ = false;
    expectOwnChange_ = false;
    lastSettings_.reset();
    modemStatus_ = -1;
    // Closes counted before this session began are not its end.
    watch_.takeLastHolderLeft(watchId_);
    readBridge_ = std::make_unique<EventBridge>(hook_.readEvent, wakeFd_);
    if (hook_.openedBySixteenBitRequest) {
        joinOpenPort();
        return;
    }
    phase_ = Phase::Opening;
    serviceOpening(now);
}

// The port is open already, so there is no open request to make: the application joins
// the connection with DTR and RTS raised. The manager's relay keeps the port open when
// its CLOSE comes, for the 16-bit user. What the device sent while no application had
// the port is not this one's input; only its modem status is kept.
void DriverPort::joinOpenPort() {
    modemStatus_ = discardWholeFrames(hook_.inQueue);
    const uint8_t raise[] = {PACKET_START, CMD_MCR, MCR_DTR_RTS};
    modemControl_ = sendPacket(raise, sizeof raise) ? MCR_DTR_RTS : 0;
    phase_ = Phase::Open;
    sessionOpened();
}

void DriverPort::service(uint32_t now) {
    if (phase_ == Phase::Opening)
        serviceOpening(now);
    else if (phase_ == Phase::Open)
        serviceOpen();
}

bool DriverPort::usesQueue(uint32_t handle) const {
    return phase_ != Phase::Idle && (hook_.outHandle == handle || hook_.inHandle == handle);
}

void DriverPort::endSession() {
    readBridge_.reset();
    hook_ = {};
    phase_ = Phase::Idle;
    holderLeft_ = false;
    toApplication_.clear();
    toApplicationSent_ = 0;
}

void DriverPort::closed() {
    endSession();
    // The pair stays: an application reopening the port at once must not be hung up.
    pty_.discardInput();
    // That opened and closed the slave: counted now, while no session runs, it is
    // nobody's leaving.
    watch_.dispatch();
    watch_.takeLastHolderLeft(watchId_);
    bool held = pty_.slaveHeld();
    watch_.settle(watchId_, held);
    if (!held)
        lineOwed_ = false;
}

void DriverPort::hangUp() {
    endSession();
    // Closing the master is the hang-up the application sees; the fresh pair keeps
    // the port's name for the next open.
    if (!create())
        platform::debugTrace("%s: no pseudo-terminal, port unavailable\r\n", name_.c_str());
}

void DriverPort::serviceOpening(uint32_t now) {
    if (!openSent_) {
        // The driver, the inQueue's only reader, empties it before it asks, and the
        // manager only appends its answer: nothing of an earlier session (device bytes
        // that came after its close, a late answer) is taken for this open's result
        // or reaches this application.
        drainRing(hook_.inQueue);
        const uint8_t openAndRaise[] = {PACKET_START, CMD_OPEN, PACKET_START, CMD_MCR, MCR_DTR_RTS};
        openSent_ = sendPacket(openAndRaise, sizeof openAndRaise);
        modemControl_ = openSent_ ? MCR_DTR_RTS : 0;
    }
    int result = openSent_ ? takeOpenResult(hook_.inQueue) : -1;
    if (result < 0) {
        if (uint32_t(now - openStart_) < OPEN_ANSWER_TIMEOUT_MS)
            return;
        platform::debugTrace("%s: no open result in time: hung up\r\n", name_.c_str());
        // Tell the manager too, so that an open it completes late is closed again.
        if (openSent_)
            sendClose();
        hangUp();
        return;
    }
    if (result != 1) {
        platform::debugTrace("%s: open refused: hung up\r\n", name_.c_str());
        hangUp();
        return;
    }
    phase_ = Phase::Open;
    sessionOpened();
}

void DriverPort::sessionOpened() {
    // The application's line change was read as the previous session ended: the new
    // connection has not had it.
    if (lineOwed_) {
        lineOwed_ = false;
        lineChanged();
    }
    serviceOpen();
}

// The session ends when every holder of the slave has closed it: seen as EIO on the
// master, or counted by the slave watch, which also sees a close followed at once by
// an open. What the leaving application wrote goes out first; what the device sent
// for it no longer reaches the pty.
void DriverPort::serviceOpen() {
    holderLeft_ = watch_.takeLastHolderLeft(watchId_) || holderLeft_;
    pumpToApplication();
    bool drained = pumpFromApplication();
    if ((applicationLeft_ || (holderLeft_ && drained)) && sendClose())
        closed();
}

void DriverPort::pumpToApplication() {
    if (applicationLeft_ || holderLeft_) {
        toApplication_.clear();
        toApplicationSent_ = 0;
        return;
    }
    uint8_t packet[PACKET_BUFFER_SIZE];
    while (flushPendingToApplication()) {
        if (!takeDriverPacket(hook_.inQueue, packet))
            return;
        if (packet[0] == CMD_DATA) {
            int size = packet[1] << 8 | packet[2];
            toApplication_.assign(packet + 3, packet + 3 + size);
            toApplicationSent_ = 0;
        } else if (packet[0] == CMD_MODEM_STATUS) {
            modemStatus_ = packet[1];
        }
    }
}

bool DriverPort::flushPendingToApplication() {
    while (toApplicationSent_ < toApplication_.size()) {
        ssize_t written = write(pty_.master(), toApplication_.data() + toApplicationSent_,
                                toApplication_.size() - toApplicationSent_);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false; // the application is not reading: keep the tail, wait for POLLOUT
        toApplicationSent_ += size_t(written);
    }
    toApplication_.clear();
    toApplicationSent_ = 0;
    return true;
}

// True when the master has nothing more to give; false when the outQueue lacks room.
bool DriverPort::pumpFromApplication() {
    uint8_t buffer[1 + MAX_DATA];
    while (!applicationLeft_) {
        int room = ringFreeSpace(hook_.outQueue);
        if (room < READ_ROOM)
            return false;
        ssize_t got = read(pty_.master(), buffer, size_t(1 + std::min(MAX_DATA, room - 4)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN) {
            hangupSeen_ = false; // someone holds the slave again
            return true;
        }
        if (got <= 0) {
            // EIO: every holder of the slave has closed it and all it wrote is read.
            applicationLeft_ = true;
            return true;
        }
        hangupSeen_ = false;
        takeApplicationPacket(buffer, int(got));
    }
    return true;
}

void DriverPort::takeApplicationPacket(const uint8_t* bytes, int size) {
    // Packet mode: a leading 0 marks data, anything else is a status byte alone.
    if (bytes[0] == TIOCPKT_DATA) {
        int length = size - 1;
        if (length == 0)
            return;
        uint8_t packet[4 + MAX_DATA] = {PACKET_START, CMD_DATA, uint8_t(length >> 8),
                                        uint8_t(length & 0xFF)};
        std::copy(bytes + 1, bytes + size, packet + 4);
        sendPacket(packet, 4 + length);
    } else if (bytes[0] & TIOCPKT_IOCTL) {
        lineChanged();
        // A change made after the last holder left (any close before it is counted by
        // now) may be that of one who has reopened the port already; the kernel
        // reports it only once, so the next session sends it again.
        watch_.dispatch();
        holderLeft_ = watch_.takeLastHolderLeft(watchId_) || holderLeft_;
        lineOwed_ = lineOwed_ || holderLeft_;
    }
}

void DriverPort::lineChanged() {
    termios settings{};
    if (tcgetattr(pty_.master(), &settings) != 0)
        return;
    bool ownChange = expectOwnChange_;
    expectOwnChange_ = false;
    if (!(settings.c_lflag & EXTPROC)) {
        // Without EXTPROC the kernel would stop reporting the application's changes.
        // Putting it back is itself reported once; that report is not a new SREQ.
        settings.c_lflag |= EXTPROC;
        expectOwnChange_ = tcsetattr(pty_.master(), TCSANOW, &settings) == 0;
    }
    LineSettings line = lineSettingsOf(settings);
    if (ownChange && lastSettings_ && lastSettings_->baudCode == line.baudCode &&
        lastSettings_->lcr == line.lcr && lastSettings_->flow == line.flow)
        return;
    if (cfgetospeed(&settings) == B0) {
        // B0 is the POSIX way to hang up the modem: drop DTR and RTS.
        const uint8_t drop[] = {PACKET_START, CMD_MCR, 0};
        if (modemControl_ != 0 && sendPacket(drop, sizeof drop))
            modemControl_ = 0;
        return;
    }
    const uint8_t raise[] = {PACKET_START, CMD_MCR, MCR_DTR_RTS};
    if (modemControl_ == 0 && sendPacket(raise, sizeof raise))
        modemControl_ = MCR_DTR_RTS;
    const uint8_t sreq[] = {PACKET_START, CMD_SREQ, line.baudCode, line.lcr, line.flow};
    if (sendPacket(sreq, sizeof sreq))
        lastSettings_ = line;
}

bool DriverPort::sendPacket(const uint8_t* bytes, int size) {
    if (!putPacket(hook_.outQueue, bytes, size))
        return false;
    ringSetDataReady(hook_.outQueue, true);
    hook_.writeEvent->set();
    return true;
}

bool DriverPort::sendClose() {
    const uint8_t dropAndClose[] = {PACKET_START, CMD_MCR, 0, PACKET_START, CMD_CLOSE};
    return sendPacket(dropAndClose, sizeof dropAndClose);
}

pollfd DriverPort::pollRequest() const {
    pollfd request{-1, 0, 0};
    // A master whose slave is closed reports POLLHUP whatever is asked for; while
    // nothing can be done about it (no room to read), leaving it out of the set
    // keeps poll() from spinning.
    if (phase_ != Phase::Open || applicationLeft_ || hangupSeen_)
        return request;
    short events = 0;
    if (ringFreeSpace(hook_.outQueue) >= READ_ROOM)
        events |= POLLIN;
    if (!toApplication_.empty())
        events |= POLLOUT;
    if (events)
        request = {pty_.master(), events, 0};
    return request;
}

int DriverPort::pollTimeoutMs() const {
    if (phase_ == Phase::Opening)
        return 50; // the 15 s rule runs on the tick source, which tests move
    if (phase_ != Phase::Open)
        return -1;
    // Nothing tells the driver when the manager has taken packets out: look again soon.
    if (applicationLeft_ || holderLeft_ || hangupSeen_ || ringFreeSpace(hook_.outQueue) < READ_ROOM)
        return 1;
    return -1;
}

} // namespace portdriver
