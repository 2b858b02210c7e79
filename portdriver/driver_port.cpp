#include "portdriver/driver_port.h"

#include "platform/auto_event.h"
#include "platform/trace.h"
#include "portdriver/ring_io.h"
#include "portdriver/slave_watch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace portdriver {

namespace {
constexpr int MAX_DATA = 512;
// One read of the application may bring several DATA packets' worth, and one write to
// it carries several of the device's: fewer system calls per byte.
constexpr int MAX_READ = 8 * MAX_DATA;
constexpr size_t GATHER_LIMIT = 8 * MAX_DATA;
// The application is read only while the outQueue has room for what one read can
// bring: an MCR and an SREQ together (a line change leaving B0), or a DATA packet
// of at least four bytes.
constexpr int READ_ROOM = 8;
constexpr uint8_t MCR_DTR_RTS = 0x03;
// What the application writes while its open is pending is read at once and held
// here; past this (more than the pty itself buffers) it waits in the kernel.
constexpr int HELD_LIMIT = 72 * 1024;
} // namespace

DriverPort::DriverPort(int slot, std::string name, const std::string& deviceFolder,
                       SlaveWatch& watch)
    : slot_(slot), name_(std::move(name)), pty_(deviceFolder + "/" + name_), watch_(watch) {}

DriverPort::~DriverPort() {
    shutdown();
}

bool DriverPort::create() {
    watch_.remove(watchId_);
    watchId_ = -1;
    lineOwed_ = false;
    if (!pty_.open())
        return false;
    watchId_ = watch_.add(pty_.slavePath());
    return true;
}

void DriverPort::shutdown() {
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
    ringSetCloseNotice(hook_.outQueue, false);
    openStart_ = now;
    openSent_ = false;
    applicationLeft_ = false;
    hangupSeen_ = false;
    expectOwnChange_ = false;
    lastSettings_.reset();
    modemStatus_ = -1;
    // A close before the session began is not its end, unless the application left
    // bytes: then the session is that application's, and takes just what it wrote.
    bool unreadLeft = false;
    closeSeen_ = watch_.takeClosed(watchId_, &unreadLeft) && unreadLeft;
    leftoverRead_ = false;
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
    roomMade();
    const uint8_t raise[] = {PACKET_START, CMD_MCR, MCR_DTR_RTS};
    modemControl_ = sendPacket(raise, sizeof raise) ? MCR_DTR_RTS : 0;
    openSent_ = true;
    phase_ = Phase::Open;
    sessionOpened();
}

bool DriverPort::applicationArrived() const {
    return phase_ == Phase::Idle && (pty_.slaveHeld() || watch_.closedLeavingBytes(watchId_));
}

void DriverPort::takeSignal() {
    if (hook_.readEvent)
        hook_.readEvent->consume();
}

// The manager hears of everything this round put into the outQueue with one signal.
void DriverPort::flushWake() {
    if (wakeOwed_ && hook_.writeEvent)
        hook_.writeEvent->set();
    wakeOwed_ = false;
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
    flushWake(); // the session's last packets (its CLOSE) must be heard of
    hook_ = {};
    phase_ = Phase::Idle;
    closeSeen_ = false;
    leftoverRead_ = false;
    held_.clear();
    heldSent_ = 0;
    dropToApplication();
}

void DriverPort::closed() {
    endSession();
    // The pair stays: an application reopening the port at once must not be hung up.
    pty_.discardInput();
    // Closes since the session's end matter only if they left bytes: that application
    // gets a session of its own. One that holds the port now starts its session at
    // once; the kernel reports a line change only once, and it may have been read
    // as the old session ended, so the new one reports the settings anyway.
    watch_.dispatch();
    watch_.forgetEmptyClose(watchId_);
    lineOwed_ = pty_.slaveHeld();
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
        roomMade();
        const uint8_t openAndRaise[] = {PACKET_START, CMD_OPEN, PACKET_START, CMD_MCR, MCR_DTR_RTS};
        openSent_ = sendPacket(openAndRaise, sizeof openAndRaise);
        modemControl_ = openSent_ ? MCR_DTR_RTS : 0;
    }
    pumpFromApplication();
    int result = openSent_ ? takeOpenResult(hook_.inQueue) : -1;
    if (result < 0) {
        if (uint32_t(now - openStart_) < OPEN_ANSWER_TIMEOUT_MS)
            return;
        platform::debugTrace("%s: no open result in time: hung up\r\n", name_.c_str());
        // Tell the manager too, so that an open it completes late is closed again.
        if (openSent_)
            sendClose();
        failOpen();
        return;
    }
    if (result != 1) {
        platform::debugTrace("%s: open refused: hung up\r\n", name_.c_str());
        failOpen();
        return;
    }
    phase_ = Phase::Open;
    sessionOpened();
}

// A failed open hangs its application up; one that has left already is not there to
// be told, and an application that came after it gets a session of its own.
void DriverPort::failOpen() {
    if (closeSeen_ || applicationLeft_)
        closed();
    else
        hangUp();
}

void DriverPort::sessionOpened() {
    if (lineOwed_) {
        lineOwed_ = false;
        lineChanged();
    }
    serviceOpen();
}

// The session ends when the application closes the port: seen as EIO on the master
// once every holder has closed the slave, or as a close by the slave watch, which also
// sees a close followed at once by an open. The port is exclusive, as a COM port is:
// whoever still holds it gets a session of its own. What the leaving application
// wrote goes out in its session; what the device sent for it no longer reaches the pty.
void DriverPort::serviceOpen() {
    noticeLeaving();
    if (closeSeen_)
        dropToApplication();
    else
        pumpToApplication();
    bool allTaken = pumpFromApplication();
    if (applicationLeft_ || closeSeen_)
        announceClose();
    if (allTaken && (applicationLeft_ || (closeSeen_ && leftoverRead_)) && sendClose())
        closed();
}

// The CLOSE packet may have to wait for room behind what the manager holds back while
// it re-establishes the connection; the notice beside the queue tells it at once.
void DriverPort::announceClose() {
    if (ringCloseNotice(hook_.outQueue))
        return;
    ringSetCloseNotice(hook_.outQueue, true);
    wakeOwed_ = true;
}

// Whether the application has closed the port, and if so whether it may have left
// bytes in the master that the driver has not read (otherwise what the master holds
// now is the next application's).
void DriverPort::noticeLeaving() {
    watch_.dispatch();
    bool unreadLeft = false;
    if (!closeSeen_ && watch_.takeClosed(watchId_, &unreadLeft)) {
        closeSeen_ = true;
        leftoverRead_ = !unreadLeft;
    }
}

void DriverPort::dropToApplication() {
    toApplication_.clear();
    toApplicationSent_ = 0;
}

// The manager holds device bytes back while the inQueue lacks room for them, and says so
// beside the queue; it hears of room made with the slice event.
void DriverPort::roomMade() {
    if (ringTakeRoomWanted(hook_.inQueue) && hook_.sliceEvent)
        hook_.sliceEvent->set();
}

void DriverPort::pumpToApplication() {
    if (applicationLeft_) {
        dropToApplication();
        return;
    }
    uint8_t packet[PACKET_BUFFER_SIZE];
    while (flushPendingToApplication()) {
        int32_t readBefore =
            std::atomic_ref(hook_.inQueue->readIndex).load(std::memory_order_relaxed);
        while (toApplication_.size() < GATHER_LIMIT && takeDriverPacket(hook_.inQueue, packet)) {
            if (packet[0] == CMD_DATA) {
                int size = packet[1] << 8 | packet[2];
                toApplication_.insert(toApplication_.end(), packet + 3, packet + 3 + size);
            } else if (packet[0] == CMD_MODEM_STATUS) {
                modemStatus_ = packet[1];
            }
        }
        // Bytes the reader dropped make room too.
        if (std::atomic_ref(hook_.inQueue->readIndex).load(std::memory_order_relaxed) != readBefore)
            roomMade();
        if (toApplication_.empty())
            return;
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
    dropToApplication();
    return true;
}

// Takes what the application wrote: while the open is pending into the held buffer
// (taken at once, so that it stays apart from what an application that reopens the
// port writes next), once open into the outQueue, the held bytes first. After the
// application closed only what it may have left unread is taken. True when nothing
// more is to be taken for this session; false when there is no room.
bool DriverPort::pumpFromApplication() {
    if (phase_ == Phase::Open && !flushHeld())
        return false;
    uint8_t buffer[1 + MAX_READ];
    while (!applicationLeft_) {
        noticeLeaving();
        if (closeSeen_ && leftoverRead_)
            return true;
        int size = readSize();
        if (size == 0)
            return false;
        ssize_t got = read(pty_.master(), buffer, size_t(size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN) {
            // No dispatch since the one above: every write noted so far is read.
            watch_.noteReadEmpty(watchId_);
            hangupSeen_ = false; // someone holds the slave again
            leftoverRead_ = closeSeen_;
            return true;
        }
        if (got <= 0) {
            // EIO: every holder of the slave has closed it and all it wrote is read.
            applicationLeft_ = true;
            watch_.noteAllGone(watchId_);
            return true;
        }
        hangupSeen_ = false;
        takeApplicationPacket(buffer, int(got));
    }
    return true;
}

// How much one read of the master may bring (0: no room for it).
int DriverPort::readSize() const {
    if (phase_ == Phase::Opening)
        return HELD_LIMIT - int(held_.size()) < MAX_DATA ? 0 : 1 + MAX_DATA;
    int room = ringFreeSpace(hook_.outQueue);
    if (!held_.empty() || room < READ_ROOM)
        return 0;
    // Every 512 bytes need a packet's 4 more.
    int whole = room / (MAX_DATA + 4);
    int rest = room - whole * (MAX_DATA + 4);
    return 1 + std::min(MAX_READ, whole * MAX_DATA + std::max(0, rest - 4));
}

bool DriverPort::flushHeld() {
    while (heldSent_ < held_.size()) {
        int length = int(std::min(size_t(MAX_DATA), held_.size() - heldSent_));
        if (!sendData(held_.data() + heldSent_, length))
            return false;
        heldSent_ += size_t(length);
    }
    held_.clear();
    heldSent_ = 0;
    return true;
}

void DriverPort::takeApplicationPacket(const uint8_t* bytes, int size) {
    // Packet mode: a leading 0 marks data, anything else is a status byte alone.
    if (bytes[0] == TIOCPKT_DATA) {
        if (phase_ == Phase::Opening) {
            held_.insert(held_.end(), bytes + 1, bytes + size);
            return;
        }
        for (int at = 1; at < size; at += MAX_DATA)
            sendData(bytes + at, std::min(MAX_DATA, size - at));
    } else if (bytes[0] & TIOCPKT_IOCTL) {
        // The kernel reports a change only once: one read while the open is pending is
        // reported once the session is open.
        if (phase_ == Phase::Open)
            lineChanged();
        else
            lineOwed_ = true;
    }
}

bool DriverPort::sendData(const uint8_t* bytes, int length) {
    uint8_t packet[4 + MAX_DATA] = {PACKET_START, CMD_DATA, uint8_t(length >> 8),
                                    uint8_t(length & 0xFF)};
    std::copy(bytes, bytes + length, packet + 4);
    return sendPacket(packet, 4 + length);
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
    wakeOwed_ = true;
    return true;
}

bool DriverPort::sendClose() {
    const uint8_t dropAndClose[] = {PACKET_START, CMD_MCR, 0, PACKET_START, CMD_CLOSE};
    return sendPacket(dropAndClose, sizeof dropAndClose);
}

pollfd DriverPort::signalRequest() const {
    if (phase_ == Phase::Idle || !hook_.readEvent)
        return {-1, 0, 0};
    return {hook_.readEvent->descriptor(), POLLIN, 0};
}

pollfd DriverPort::pollRequest() const {
    pollfd request{-1, 0, 0};
    // A master whose slave is closed reports POLLHUP whatever is asked for; while
    // nothing can be done about it (no room to read), leaving it out of the set
    // keeps poll() from spinning. So is a master whose bytes are the next session's.
    if (phase_ == Phase::Idle || applicationLeft_ || hangupSeen_ || (closeSeen_ && leftoverRead_))
        return request;
    short events = 0;
    if (readSize() > 0)
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
    // The manager sets the read event when it has taken from a full outQueue; a session
    // that is ending looks again soon for the rest of what its application left.
    if (applicationLeft_ || closeSeen_ || hangupSeen_)
        return 20;
    return -1;
}

} // namespace portdriver
