// A session's line settings: what the application sets on its pty (reported by the
// kernel in packet mode) or asks through the control channel, settled and sent as SREQ.
#include "platform/trace.h"
#include "portdriver/port_session.h"

#include <sys/ioctl.h>
#include <utility>

namespace portdriver {

namespace {
constexpr uint8_t MCR_DTR_RTS = 0x03;
// What the data bits and parity are made of; the pty keeps only CS8 without parity.
constexpr tcflag_t CHARACTER_FORMAT = CSIZE | PARENB | PARODD | CMSPAR;

// The kernel's termios2 (glibc's termios.h has no such type): the rate of a BOTHER
// setting in bits per second.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
constexpr unsigned long GET_TERMIOS2 = _IOR('T', 0x2A, KernelTermios2);
} // namespace

void PortSession::lineChanged() {
    termios settings{};
    if (!readPtyLine(settings))
        return;
    bool ownChange = std::exchange(expectOwnChange_, false);
    bool echo = std::exchange(channelEchoDue_, false);
    if (!(settings.c_lflag & EXTPROC)) {
        // Without EXTPROC the kernel would stop reporting the application's changes.
        // Putting it back is itself reported once; that report is not a new change.
        settings.c_lflag |= EXTPROC;
        expectOwnChange_ = tcsetattr(pty_.master(), TCSANOW, &settings) == 0;
    }
    // A change made past the channel (an application without the library) is what the
    // pty holds: the data bits and parity asked through the channel no longer count.
    if (!echo && !ownChange)
        askedCflag_.reset();
    applyAskedLine(settings);
    // Reports of what was noted already (the driver's own EXTPROC repair, the pty taking
    // what the channel announced) are not new settings.
    if ((ownChange || echo) && lastLine_ == lineSettingsOf(settings))
        return;
    noteLine(settings);
}

// The slave's settings (the master's termios calls act on the slave's). A BOTHER rate
// is looked up in the table, so 9600 given that way reads as 9600.
bool PortSession::readPtyLine(termios& settings) const {
    if (tcgetattr(pty_.master(), &settings) != 0)
        return false;
    KernelTermios2 exact{};
    if (cfgetospeed(&settings) == SPEED_OTHER && ioctl(pty_.master(), GET_TERMIOS2, &exact) == 0)
        cfsetospeed(&settings, speedOfRate(exact.c_ospeed));
    return true;
}

void PortSession::applyAskedLine(termios& settings) const {
    if (askedCflag_)
        settings.c_cflag =
            (settings.c_cflag & ~CHARACTER_FORMAT) | (*askedCflag_ & CHARACTER_FORMAT);
}

// B0 is the POSIX way to hang up the modem: DTR and RTS drop at once and rise again
// with the next rate. Any other settings wait until they have settled.
void PortSession::noteLine(const termios& settings) {
    LineSettings line = lineSettingsOf(settings);
    lastLine_ = line;
    if (cfgetospeed(&settings) == B0) {
        owedLine_.reset();
        const uint8_t drop[] = {PACKET_START, CMD_MCR, 0};
        if (modemControl_ != 0 && sendPacket(drop, sizeof drop))
            modemControl_ = 0;
        raiseOwed_ = true;
        return;
    }
    owedLine_ = line;
    lineNotedAt_ = now_;
}

bool PortSession::lineDue() const {
    return owedLine_ && int32_t(now_ - lineNotedAt_) >= int32_t(LINE_SETTLE_MS);
}

// The settings that wait go out now (lines the application dropped itself with TIOCMBIC
// stay dropped); settings the session sent already send nothing. False when there is no
// room for them.
bool PortSession::flushLine() {
    if (!owedLine_)
        return true;
    const uint8_t raise[] = {PACKET_START, CMD_MCR, MCR_DTR_RTS};
    if (raiseOwed_) {
        if (!sendPacket(raise, sizeof raise))
            return false;
        modemControl_ = MCR_DTR_RTS;
        raiseOwed_ = false;
    }
    if (owedLine_ != sentLine_) {
        const uint8_t sreq[] = {PACKET_START, CMD_SREQ, owedLine_->baudCode, owedLine_->lcr,
                                owedLine_->flow};
        if (!sendPacket(sreq, sizeof sreq))
            return false;
        sentLine_ = owedLine_;
    }
    owedLine_.reset();
    return true;
}

} // namespace portdriver
