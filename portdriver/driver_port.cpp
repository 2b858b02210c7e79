#include "portdriver/driver_port.h"

#include "platform/auto_event.h"
#include "platform/trace.h"
#include "portdriver/ring_io.h"
#include "portdriver/slave_watch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

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
constexpr uint8_t MCR_LINES = PORT_MCR_DTR | PORT_MCR_RTS;
// What the data bits and parity are made of; the pty keeps only CS8 without parity.
constexpr tcflag_t CHARACTER_FORMAT = CSIZE | PARENB | PARODD | CMSPAR;
// The MSR bit of each counted line, in the order of the counts.
constexpr uint8_t countedLines[PORT_COUNT_LINES] = {PORT_MSR_CTS, PORT_MSR_DSR, PORT_MSR_RI,
                                                    PORT_MSR_DCD};

// The kernel's termios2 (glibc's termios.h has no such type): the rate of a BOTHER
// setting in bits per second.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
constexpr unsigned long GET_TERMIOS2 = _IOR('T', 0x2A, KernelTermios2);

dev_t deviceOf(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_rdev : 0;
}
} // namespace

DriverPort::DriverPort(int slot, std::string name, const std::string& deviceFolder,
                       SlaveWatch& watch)
    : slot_(slot), name_(std::move(name)), pty_(deviceFolder + "/" + name_), watch_(watch),
      channel_(deviceFolder + "/" + name_ + PORT_CHANNEL_SUFFIX) {}

DriverPort::~DriverPort() {
    shutdown();
}

bool DriverPort::create() {
    watch_.remove(watchId_);
    watchId_ = -1;
    lineOwed_ = false;
    // A fresh pty holds 8N1 again.
    askedCflag_.reset();
    channelEchoDue_ = false;
    if (!pty_.open())
        return false;
    watchId_ = watch_.add(pty_.slavePath());
    slaveDevice_ = deviceOf(pty_.slavePath());
    // Without the channel the port still works as a plain pty.
    if (!channel_.listening() && !channel_.open())
        platform::debugTrace("%s: no control channel\r\n", name_.c_str());
    return true;
}

void DriverPort::shutdown() {
    hook_ = {};
    phase_ = Phase::Idle;
    watch_.remove(watchId_);
    watchId_ = -1;
    channel_.close();
    pty_.close();
}

void DriverPort::beginOpen(std::optional<PortHook> hook, uint32_t now) {
    if (!hook) {
        platform::debugTrace("%s opened while not started: hung up\r\n", name_.c_str());
        hangUp(PORT_CHANNEL_NOT_STARTED);
        return;
    }
    hook_ = *hook;
    ++sessionChanges_;
    ringSetCloseNotice(hook_.outQueue, false);
    openStart_ = now;
    openSent_ = false;
    applicationLeft_ = false;
    hangupSeen_ = false;
    expectOwnChange_ = false;
    lastSettings_.reset();
    raiseOwed_ = false;
    modemStatus_ = -1;
    received_ = 0;
    transmitted_ = 0;
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
    int status = discardWholeFrames(hook_.inQueue);
    if (status >= 0)
        noteModemStatus(uint8_t(status));
    roomMade();
    const uint8_t raise[] = {PACKET_START, CMD_MCR, MCR_DTR_RTS};
    modemControl_ = sendPacket(raise, sizeof raise) ? MCR_DTR_RTS : 0;
    raiseOwed_ = modemControl_ == 0;
    openSent_ = true;
    phase_ = Phase::Open;
    sessionOpened();
}

bool DriverPort::applicationArrived() const {
    return phase_ == Phase::Idle && (pty_.slaveHeld() || watch_.closedLeavingBytes(watchId_));
}

bool DriverPort::takeStirred() {
    return watch_.takeStirred(watchId_);
}

void DriverPort::takeSignal() {
    if (hook_.readEvent)
        hook_.readEvent->consume();
}

// The manager hears of everything this round put into the outQueue with one signal.
void DriverPort::flushWake() {
    if (platform::AutoEvent* wake = takeWake())
        wake->set();
}

platform::AutoEvent* DriverPort::takeWake() {
    if (!std::exchange(wakeOwed_, false))
        return nullptr;
    if (hook_.outQueue)
        ringSetDataReady(hook_.outQueue, true);
    return hook_.writeEvent;
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
    ++sessionChanges_;
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

void DriverPort::hangUp(uint8_t reason) {
    hungUpSlave_ = slaveDevice_;
    hangUpReason_ = reason;
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
        failOpen(PORT_CHANNEL_NO_ANSWER);
        return;
    }
    if (result != 1) {
        platform::debugTrace("%s: open refused: hung up\r\n", name_.c_str());
        failOpen(PORT_CHANNEL_REFUSED);
        return;
    }
    phase_ = Phase::Open;
    sessionOpened();
}

// A failed open hangs its application up; one that has left already is not there to
// be told, and an application that came after it gets a session of its own.
void DriverPort::failOpen(uint8_t reason) {
    if (closeSeen_ || applicationLeft_)
        closed();
    else
        hangUp(reason);
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
    watchFresh_ = true;
    // Served for the manager's signal alone, the port leaves a master that poll found
    // quiet: an empty read also waits for the tty's pending input work.
    bool allTaken = (masterQuiet() && flushHeld()) || pumpFromApplication();
    watchFresh_ = false;
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
    takeLeaving();
}

void DriverPort::takeLeaving() {
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
                noteModemStatus(packet[1]);
            }
        }
        // Bytes the reader dropped make room too.
        if (std::atomic_ref(hook_.inQueue->readIndex).load(std::memory_order_relaxed) != readBefore)
            roomMade();
        if (toApplication_.empty())
            return;
    }
}

bool DriverPort::deliverNow() {
    if (phase_ != Phase::Open || applicationLeft_ || !toApplication_.empty())
        return false;
    noticeLeaving();
    if (closeSeen_)
        return false;
    int statusBefore = modemStatus_;
    pumpToApplication();
    return toApplication_.empty() && modemStatus_ == statusBefore;
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
        received_ += uint32_t(written);
    }
    dropToApplication();
    return true;
}

// Takes what the application wrote: while the open is pending into the held buffer
// (taken at once, so that it stays apart from what an application that reopens the
// port writes next), once open into the outQueue, the held bytes first. After the
// application closed only what it may have left unread is taken. True when nothing
// more is to be taken for this session; false when there is no room. Out of room in an
// open session, the driver notes that it waits and tries once more: room the manager
// made before the note is used now, and a take after it brings the read event.
bool DriverPort::pumpFromApplication() {
    if (takeFromApplication())
        return true;
    if (phase_ != Phase::Open)
        return false;
    ringNoteRoomWanted(hook_.outQueue);
    return takeFromApplication();
}

bool DriverPort::takeFromApplication() {
    // The watch is read before every read of the master, so that a close is seen before
    // the bytes of whoever comes next; the first time not when serviceOpen has just read it
    // (an empty look costs a system call).
    bool fresh = std::exchange(watchFresh_, false);
    if (phase_ == Phase::Open && !flushHeld())
        return false;
    uint8_t buffer[1 + MAX_READ];
    while (!applicationLeft_) {
        if (!std::exchange(fresh, false))
            watch_.dispatch();
        takeLeaving();
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

// An open session whose master poll asked for input this round and found none (bytes
// written since are reported next round). Not once the application may have left: its
// leftovers are read at once.
bool DriverPort::masterQuiet() const {
    return phase_ == Phase::Open && inputPolled_ && !inputReported_ && !closeSeen_ &&
           !hangupSeen_ && !applicationLeft_;
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
    if (!sendPacket(packet, 4 + length))
        return false;
    transmitted_ += uint32_t(length);
    return true;
}

void DriverPort::lineChanged() {
    termios settings{};
    if (!readPtyLine(settings))
        return;
    bool ownChange = std::exchange(expectOwnChange_, false);
    bool echo = std::exchange(channelEchoDue_, false);
    if (!(settings.c_lflag & EXTPROC)) {
        // Without EXTPROC the kernel would stop reporting the application's changes.
        // Putting it back is itself reported once; that report is not a new SREQ.
        settings.c_lflag |= EXTPROC;
        expectOwnChange_ = tcsetattr(pty_.master(), TCSANOW, &settings) == 0;
    }
    // A change made past the channel (an application without the library) is what the
    // pty holds: the data bits and parity asked through the channel no longer count.
    if (!echo && !ownChange)
        askedCflag_.reset();
    applyAskedLine(settings);
    // Reports of what went out already (the driver's own EXTPROC repair, the pty taking
    // what the channel announced) are not new settings.
    if ((ownChange || echo) && lastSettings_ == lineSettingsOf(settings))
        return;
    reportLine(settings);
}

// The slave's settings (the master's termios calls act on the slave's). A BOTHER rate
// is looked up in the table, so 9600 given that way reads as 9600.
bool DriverPort::readPtyLine(termios& settings) const {
    if (tcgetattr(pty_.master(), &settings) != 0)
        return false;
    KernelTermios2 exact{};
    if (cfgetospeed(&settings) == SPEED_OTHER && ioctl(pty_.master(), GET_TERMIOS2, &exact) == 0)
        cfsetospeed(&settings, speedOfRate(exact.c_ospeed));
    return true;
}

void DriverPort::applyAskedLine(termios& settings) const {
    if (askedCflag_)
        settings.c_cflag =
            (settings.c_cflag & ~CHARACTER_FORMAT) | (*askedCflag_ & CHARACTER_FORMAT);
}

void DriverPort::reportLine(const termios& settings) {
    LineSettings line = lineSettingsOf(settings);
    if (cfgetospeed(&settings) == B0) {
        // B0 is the POSIX way to hang up the modem: drop DTR and RTS, and raise them
        // with the next rate.
        const uint8_t drop[] = {PACKET_START, CMD_MCR, 0};
        if (modemControl_ != 0 && sendPacket(drop, sizeof drop))
            modemControl_ = 0;
        raiseOwed_ = true;
        return;
    }
    // Lines the application dropped itself (TIOCMBIC) stay dropped.
    const uint8_t raise[] = {PACKET_START, CMD_MCR, MCR_DTR_RTS};
    if (raiseOwed_ && sendPacket(raise, sizeof raise)) {
        modemControl_ = MCR_DTR_RTS;
        raiseOwed_ = false;
    }
    const uint8_t sreq[] = {PACKET_START, CMD_SREQ, line.baudCode, line.lcr, line.flow};
    if (sendPacket(sreq, sizeof sreq))
        lastSettings_ = line;
}

// Counts level changes as a UART's interrupt counters do: CTS, DSR and DCD both ways,
// RI on its trailing edge. A status unknown so far counts as all lines low.
void DriverPort::noteModemStatus(uint8_t status) {
    uint8_t before = modemStatus_ < 0 ? 0 : uint8_t(modemStatus_);
    for (int line = 0; line < PORT_COUNT_LINES; ++line) {
        uint8_t bit = countedLines[line];
        bool changed = (before ^ status) & bit;
        if (bit == PORT_MSR_RI ? changed && (before & bit) : changed)
            ++lineChanges_[line];
    }
    modemStatus_ = status;
}

bool DriverPort::sendPacket(const uint8_t* bytes, int size) {
    if (!putPacket(hook_.outQueue, bytes, size))
        return false;
    wakeOwed_ = true; // flushWake marks the queue and wakes the manager once per round
    return true;
}

bool DriverPort::sendClose() {
    const uint8_t dropAndClose[] = {PACKET_START, CMD_MCR, 0, PACKET_START, CMD_CLOSE};
    if (!sendPacket(dropAndClose, sizeof dropAndClose))
        return false;
    modemControl_ = 0;
    return true;
}

void DriverPort::serveChannel() {
    channel_.serve([this](const PortChannelRequest& request, PortChannelReply& reply) {
        return answer(request, reply);
    });
}

// Open, and not ending: the application that asks is the one the session is for.
bool DriverPort::sessionLive() const {
    return phase_ == Phase::Open && !closeSeen_ && !applicationLeft_;
}

bool DriverPort::answer(const PortChannelRequest& request, PortChannelReply& reply) {
    if (request.version != PORT_CHANNEL_VERSION) {
        reply.status = PORT_CHANNEL_INVALID;
        return true;
    }
    // A request about a pty hung up since belongs to a session that is over; an open
    // waiting there learns why it ended.
    if (request.slave != slaveDevice_) {
        bool hungUpOpen =
            request.command == PORT_CHANNEL_WAIT_OPEN && request.slave == hungUpSlave_;
        reply.status = hungUpOpen ? hangUpReason_ : uint8_t(PORT_CHANNEL_NOT_OPEN);
        return true;
    }
    switch (request.command) {
    case PORT_CHANNEL_WAIT_OPEN:
        return answerOpen(reply);
    case PORT_CHANNEL_GET_STATE:
        fillState(reply, sessionLive() ? PORT_CHANNEL_OK : PORT_CHANNEL_NOT_OPEN);
        return true;
    case PORT_CHANNEL_MODEM_CONTROL:
        return changeModemControl(request, reply);
    case PORT_CHANNEL_WAIT_CHANGE:
        return answerChange(request, reply);
    case PORT_CHANNEL_SET_LINE:
        return setLine(request, reply);
    default:
        reply.status = PORT_CHANNEL_INVALID;
        return true;
    }
}

// An open is answered once the device has answered it: the application's first bytes
// then go out at once instead of waiting behind the identification, and a port that
// cannot be opened fails the open instead of hanging up later.
bool DriverPort::answerOpen(PortChannelReply& reply) {
    if (phase_ == Phase::Opening)
        return false;
    if (phase_ == Phase::Open) {
        // An application that leaves as another arrives: the next session is the
        // newcomer's.
        noticeLeaving();
        if (closeSeen_ || applicationLeft_)
            return false;
        fillState(reply, PORT_CHANNEL_OK);
        return true;
    }
    // The driver begins the session of an application that has just arrived in the
    // same round, before the channel is served.
    if (applicationArrived())
        return false;
    reply.status = PORT_CHANNEL_NOT_OPEN;
    return true;
}

// What the application wrote before goes out first, as it did things in that order.
bool DriverPort::changeModemControl(const PortChannelRequest& request, PortChannelReply& reply) {
    if (sessionLive() && !pumpFromApplication())
        return false; // no room for it yet
    if (!sessionLive()) {
        reply.status = PORT_CHANNEL_NOT_OPEN;
        return true;
    }
    uint8_t wanted = ((modemControl_ & ~request.clearBits) | request.setBits) & MCR_LINES;
    if (wanted != modemControl_) {
        const uint8_t packet[] = {PACKET_START, CMD_MCR, wanted};
        if (!sendPacket(packet, sizeof packet))
            return false;
        modemControl_ = wanted;
    }
    fillState(reply, PORT_CHANNEL_OK);
    return true;
}

bool DriverPort::answerChange(const PortChannelRequest& request, PortChannelReply& reply) {
    if (!sessionLive()) {
        reply.status = PORT_CHANNEL_NOT_OPEN;
        return true;
    }
    for (int line = 0; line < PORT_COUNT_LINES; ++line) {
        if ((request.waitLines & countedLines[line]) &&
            request.counts[line] != lineChanges_[line]) {
            fillState(reply, PORT_CHANNEL_OK);
            return true;
        }
    }
    return false;
}

// The settings go out as asked (the pty takes them in 8N right after, and its report of
// that is not sent again); data written before them goes first.
bool DriverPort::setLine(const PortChannelRequest& request, PortChannelReply& reply) {
    if (sessionLive() && (!pumpFromApplication() || ringFreeSpace(hook_.outQueue) < READ_ROOM))
        return false;
    termios settings{};
    if (!sessionLive() || tcgetattr(pty_.master(), &settings) != 0) {
        reply.status = PORT_CHANNEL_NOT_OPEN;
        return true;
    }
    settings.c_cflag = request.cflag;
    settings.c_iflag = request.iflag;
    if (cfgetospeed(&settings) == SPEED_OTHER)
        cfsetospeed(&settings, speedOfRate(request.speed));
    askedCflag_ = request.cflag;
    channelEchoDue_ = true;
    reportLine(settings);
    fillState(reply, PORT_CHANNEL_OK);
    return true;
}

void DriverPort::fillState(PortChannelReply& reply, uint8_t status) const {
    reply.status = status;
    reply.modemControl = modemControl_;
    reply.modemStatus = modemStatus_ < 0 ? 0 : uint8_t(modemStatus_);
    reply.lineAsked = askedCflag_.has_value();
    reply.askedCflag = askedCflag_.value_or(0);
    std::copy(std::begin(lineChanges_), std::end(lineChanges_), reply.counts);
    reply.received = received_;
    reply.transmitted = transmitted_;
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
