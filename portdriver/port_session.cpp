#include "portdriver/port_session.h"

#include "platform/auto_event.h"
#include "platform/trace.h"
#include "portdriver/ring_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace portdriver {

namespace {
constexpr int MAX_DATA = 512;
// One read of the application may bring several DATA packets' worth, and one write to
// it carries several of the device's: fewer system calls per byte.
constexpr int MAX_READ = 8 * MAX_DATA;
constexpr size_t GATHER_LIMIT = 8 * MAX_DATA;
// Room an MCR and an SREQ need together (settings leaving B0): kept free while a line
// change waits, so that it can go out before the next data.
constexpr int LINE_ROOM = 8;
constexpr uint8_t MCR_DTR_RTS = 0x03;
// The MSR bit of each counted line, in the order of the counts.
constexpr uint8_t countedLines[PORT_COUNT_LINES] = {PORT_MSR_CTS, PORT_MSR_DSR, PORT_MSR_RI,
                                                    PORT_MSR_DCD};
} // namespace

PortSession::PortSession(const std::string& portName, PtyPair pty, const PortHook& hook,
                         LineCounts& counts, const termios& line,
                         std::optional<tcflag_t> askedCflag)
    : name_(portName), pty_(std::move(pty)), device_(pty_.device()), hook_(hook),
      lineChanges_(counts), askedCflag_(askedCflag) {
    // The settings go out once the session is open, with everything else it does.
    ownLineUnreported_ = !pty_.inheritLine(line);
}

void PortSession::begin(uint32_t now) {
    now_ = now;
    openStart_ = now;
    ringSetCloseNotice(hook_.outQueue, false);
    if (hook_.openedBySixteenBitRequest)
        joinOpenPort();
    else
        serviceOpening(now);
}

// The port is open already, so there is no open request to make: the application joins
// the connection with DTR and RTS raised. The manager's relay keeps the port open when
// its CLOSE comes, for the 16-bit user. What the device sent while no application had
// the port is not this one's input; only its modem status is kept.
void PortSession::joinOpenPort() {
    int status = discardWholeFrames(hook_.inQueue);
    if (status >= 0)
        noteModemStatus(uint8_t(status));
    roomMade();
    const uint8_t raise[] = {PACKET_START, CMD_MCR, MCR_DTR_RTS};
    modemControl_ = sendPacket(raise, sizeof raise) ? MCR_DTR_RTS : 0;
    raiseOwed_ = modemControl_ == 0;
    openSent_ = true;
    opened();
}

void PortSession::service(uint32_t now) {
    now_ = now;
    if (phase_ == Phase::Opening)
        serviceOpening(now);
    else if (phase_ == Phase::Open)
        serviceOpen();
    if (phase_ == Phase::Ending)
        serviceEnding();
}

void PortSession::takeSignal() {
    if (hook_.readEvent)
        hook_.readEvent->consume();
}

platform::AutoEvent* PortSession::takeWake() {
    if (!std::exchange(wakeOwed_, false))
        return nullptr;
    if (hook_.outQueue)
        ringSetDataReady(hook_.outQueue, true);
    return hook_.writeEvent;
}

bool PortSession::usesQueue(uint32_t handle) const {
    return phase_ != Phase::Over && (hook_.outHandle == handle || hook_.inHandle == handle);
}

bool PortSession::applicationHolds() const {
    return (phase_ == Phase::Opening || phase_ == Phase::Open) && !applicationLeft_ && pty_.held();
}

void PortSession::serviceOpening(uint32_t now) {
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
    opened();
}

void PortSession::opened() {
    phase_ = Phase::Open;
    if (std::exchange(ownLineUnreported_, false))
        lineChanged();
    serviceOpen();
}

// A failed open hangs its application up, with whatever it wrote meanwhile.
void PortSession::failOpen(uint8_t reason) {
    announceClose();
    over(reason);
}

// What the application wrote goes out before its close; what the device sent for it
// no longer reaches the pty once it has left.
void PortSession::serviceOpen() {
    // Served for the manager's signal alone, the session leaves a master that poll found
    // quiet: an empty read also waits for the tty's pending input work. The master is
    // read before the pty is written to: an input flush the application made frees its
    // pty, and what the driver held for it must be dropped, not written into that room.
    if (!masterQuiet())
        pumpFromApplication();
    pumpToApplication();
    if (lineDue())
        flushLine();
    if (applicationLeft_) {
        phase_ = Phase::Ending;
        announceClose();
    }
}

// The settings the application left go out before its CLOSE. A program that opened the
// port without O_NOCTTY and had no controlling terminal got the pty as its own (Wine's
// server does): the pty stays open until that program lets it go, since closing it would
// hang the program's session up.
void PortSession::serviceEnding() {
    if (!flushLine() || !sendClose())
        return;
    if (pty_.controlling())
        keptPty_ = std::move(pty_);
    over(PORT_CHANNEL_NOT_OPEN);
}

void PortSession::hangUp() {
    over(PORT_CHANNEL_NOT_OPEN);
}

// Closing the master is the hang-up an application that still holds the pty sees.
void PortSession::over(uint8_t reason) {
    phase_ = Phase::Over;
    endReason_ = reason;
    dropToApplication();
    termios settings{};
    if (pty_.line(settings) || keptPty_.line(settings))
        finalLine_ = settings;
    pty_.close();
}

// The CLOSE packet may have to wait for room behind what the manager holds back while
// it re-establishes the connection; the notice beside the queue tells it at once.
void PortSession::announceClose() {
    if (ringCloseNotice(hook_.outQueue))
        return;
    ringSetCloseNotice(hook_.outQueue, true);
    wakeOwed_ = true;
}

// A break the application left on ends with its session.
bool PortSession::sendClose() {
    const uint8_t endBreak[] = {PACKET_START, CMD_BREAK, 0};
    if (breakOn_ && !sendPacket(endBreak, sizeof endBreak))
        return false;
    breakOn_ = false;
    const uint8_t dropAndClose[] = {PACKET_START, CMD_MCR, 0, PACKET_START, CMD_CLOSE};
    if (!sendPacket(dropAndClose, sizeof dropAndClose))
        return false;
    modemControl_ = 0;
    return true;
}

void PortSession::dropToApplication() {
    toApplication_.clear();
    toApplicationSent_ = 0;
}

// The manager holds device bytes back while the inQueue lacks room for them, and says so
// beside the queue; it hears of room made with the slice event.
void PortSession::roomMade() {
    if (ringTakeRoomWanted(hook_.inQueue) && hook_.sliceEvent)
        hook_.sliceEvent->set();
}

void PortSession::pumpToApplication() {
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

bool PortSession::deliverNow() {
    if (phase_ != Phase::Open || applicationLeft_ || hangupSeen_ || !toApplication_.empty())
        return false;
    int statusBefore = modemStatus_;
    pumpToApplication();
    return toApplication_.empty() && modemStatus_ == statusBefore;
}

bool PortSession::flushPendingToApplication() {
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

// Takes what the application wrote into the outQueue. True when all of it is taken (or
// the application has left and all it wrote is taken); false when there is no room.
// Out of room, the driver notes in the ring that it waits and tries once more: room the
// manager made before the note is used now, and a take after it brings the read event.
bool PortSession::pumpFromApplication() {
    if (takeFromApplication())
        return true;
    ringNoteRoomWanted(hook_.outQueue);
    return takeFromApplication();
}

bool PortSession::takeFromApplication() {
    uint8_t buffer[1 + MAX_READ];
    while (!applicationLeft_) {
        int size = readSize();
        if (size == 0)
            return false;
        ssize_t got = read(pty_.master(), buffer, size_t(size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN) {
            hangupSeen_ = false;
            return true;
        }
        if (got <= 0) {
            // EIO: every holder of the slave has closed it and all it wrote is read.
            applicationLeft_ = true;
            return true;
        }
        takeApplicationPacket(buffer, int(got));
    }
    return true;
}

// An open session whose master poll asked for input this round and found none (bytes
// written since are reported next round). Not once the application may have left: what
// it left is read at once.
bool PortSession::masterQuiet() const {
    return inputPolled_ && !inputReported_ && !hangupSeen_;
}

// How much one read of the master may bring (0: no room for it).
int PortSession::readSize() const {
    int room = ringFreeSpace(hook_.outQueue);
    if (owedLine_ || raiseOwed_)
        room -= LINE_ROOM;
    if (room < LINE_ROOM)
        return 0;
    // Every 512 bytes need a packet's 4 more.
    int whole = room / (MAX_DATA + 4);
    int rest = room - whole * (MAX_DATA + 4);
    return 1 + std::min(MAX_READ, whole * MAX_DATA + std::max(0, rest - 4));
}

void PortSession::takeApplicationPacket(const uint8_t* bytes, int size) {
    // Packet mode: a leading 0 marks data, anything else is a status byte alone.
    if (bytes[0] == TIOCPKT_DATA) {
        flushLine(); // readSize kept the room for it
        for (int at = 1; at < size; at += MAX_DATA)
            sendData(bytes + at, std::min(MAX_DATA, size - at));
        return;
    }
    if (bytes[0] & TIOCPKT_IOCTL)
        lineChanged();
    if (bytes[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE))
        flushSeen(bytes[0]);
}

// The application flushed its pty (tcflush, or TCSAFLUSH settings): the kernel has dropped
// what the pty held in that direction. Its input flush also drops what the device sent
// that has not reached the pty yet; its output was all in the pty or gone already. The
// manager hears of it as PURGE (readSize kept room for it).
void PortSession::flushSeen(uint8_t status) {
    uint8_t which = ((status & TIOCPKT_FLUSHREAD) ? PURGE_RECEIVE : 0) |
                    ((status & TIOCPKT_FLUSHWRITE) ? PURGE_TRANSMIT : 0);
    if (which & PURGE_RECEIVE)
        dropDeviceInput();
    const uint8_t purge[] = {PACKET_START, CMD_PURGE, which};
    if (!sendPacket(purge, sizeof purge))
        platform::debugTrace("%s: no room for PURGE %u\r\n", name_.c_str(), unsigned(which));
}

// The tail the pty did not take and the device's frames waiting in the inQueue; the modem
// statuses among them still count.
void PortSession::dropDeviceInput() {
    dropToApplication();
    uint8_t packet[PACKET_BUFFER_SIZE];
    bool taken = false;
    while (readDriverPacket(hook_.inQueue, packet)) {
        taken = true;
        if (packet[0] == CMD_MODEM_STATUS)
            noteModemStatus(packet[1]);
    }
    if (taken)
        roomMade();
}

bool PortSession::sendData(const uint8_t* bytes, int length) {
    uint8_t packet[4 + MAX_DATA] = {PACKET_START, CMD_DATA, uint8_t(length >> 8),
                                    uint8_t(length & 0xFF)};
    std::copy(bytes, bytes + length, packet + 4);
    if (!sendPacket(packet, 4 + length))
        return false;
    transmitted_ += uint32_t(length);
    return true;
}

bool PortSession::sendPacket(const uint8_t* bytes, int size) {
    if (!putPacket(hook_.outQueue, bytes, size))
        return false;
    wakeOwed_ = true; // takeWake marks the queue and wakes the manager once per round
    return true;
}

// Counts level changes as a UART's interrupt counters do: CTS, DSR and DCD both ways,
// RI on its trailing edge. A status unknown so far counts as all lines low.
void PortSession::noteModemStatus(uint8_t status) {
    uint8_t before = modemStatus_ < 0 ? 0 : uint8_t(modemStatus_);
    for (int line = 0; line < PORT_COUNT_LINES; ++line) {
        uint8_t bit = countedLines[line];
        bool changed = (before ^ status) & bit;
        if (bit == PORT_MSR_RI ? changed && (before & bit) : changed)
            ++lineChanges_[size_t(line)];
    }
    modemStatus_ = status;
}

pollfd PortSession::signalRequest() const {
    if (phase_ == Phase::Over || !hook_.readEvent)
        return {-1, 0, 0};
    return {hook_.readEvent->descriptor(), POLLIN, 0};
}

// A master whose slave is closed reports POLLHUP whatever is asked for: it is polled only
// while the session reads it and has room to, which keeps poll() from spinning. While the
// open is pending the application's bytes wait in its pty.
pollfd PortSession::pollRequest() const {
    pollfd request{-1, 0, 0};
    if (phase_ != Phase::Open || applicationLeft_)
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

int PortSession::pollTimeoutMs(uint32_t now) const {
    if (phase_ == Phase::Opening)
        return 50; // the 15 s rule runs on the tick source, which tests move
    if (phase_ == Phase::Ending)
        return 20; // the CLOSE waits for room
    if (phase_ != Phase::Open)
        return -1;
    int wait = -1;
    if (owedLine_) {
        int32_t left = int32_t(lineNotedAt_ + LINE_SETTLE_MS - now);
        wait = std::max(0, left);
    }
    // The manager sets the read event when it has taken from a full outQueue; a session
    // whose application may have left looks again soon for the rest.
    if (hangupSeen_)
        wait = wait < 0 ? 20 : std::min(wait, 20);
    return wait;
}

} // namespace portdriver
