// The answers to an application's control-channel requests (rings/port_channel.h): the
// port finds the session the request is about by the pty it names, and the session
// answers with its own state.
#include "portdriver/driver_port.h"

#include <algorithm>
#include <utility>

namespace portdriver {

namespace {
constexpr uint8_t MCR_LINES = PORT_MCR_DTR | PORT_MCR_RTS;
constexpr uint8_t countedLines[PORT_COUNT_LINES] = {PORT_MSR_CTS, PORT_MSR_DSR, PORT_MSR_RI,
                                                    PORT_MSR_DCD};
} // namespace

void DriverPort::serveChannel() {
    channel_.serve([this](const PortChannelRequest& request, PortChannelReply& reply) {
        return answer(request, reply);
    });
}

bool DriverPort::answer(const PortChannelRequest& request, PortChannelReply& reply) {
    if (request.version != PORT_CHANNEL_VERSION) {
        reply.status = PORT_CHANNEL_INVALID;
        return true;
    }
    dev_t slave = dev_t(request.slave);
    if (session_ && session_->device() == slave)
        return session_->answer(request, reply);
    bool open = request.command == PORT_CHANNEL_WAIT_OPEN;
    // An application whose session waits for the one before it to end, or whose open of
    // the waiting pty the driver takes in its next round, waits too.
    bool queued = std::any_of(queued_.begin(), queued_.end(),
                              [slave](const PtyPair& pty) { return pty.device() == slave; });
    if (open && (queued || (waiting_.device() == slave && waiting_.held())))
        return false;
    // A request about a pty that is gone belongs to a session that is over; an open
    // waiting there learns why it ended (refused as busy, not started, ...).
    reply.status = PORT_CHANNEL_NOT_OPEN;
    if (open) {
        auto found = std::find_if(ended_.begin(), ended_.end(),
                                  [slave](const auto& ended) { return ended.first == slave; });
        if (found != ended_.end())
            reply.status = found->second;
    }
    return true;
}

// Open, and its application still there: the one that asks is the one it is for.
bool PortSession::live() const {
    return phase_ == Phase::Open && !applicationLeft_;
}

bool PortSession::answer(const PortChannelRequest& request, PortChannelReply& reply) {
    switch (request.command) {
    case PORT_CHANNEL_WAIT_OPEN:
        return answerOpen(reply);
    case PORT_CHANNEL_GET_STATE:
        fillState(reply, live() ? PORT_CHANNEL_OK : PORT_CHANNEL_NOT_OPEN);
        return true;
    case PORT_CHANNEL_MODEM_CONTROL:
        return changeModemControl(request, reply);
    case PORT_CHANNEL_WAIT_CHANGE:
        return answerChange(request, reply);
    case PORT_CHANNEL_SET_LINE:
        return setLine(request, reply);
    case PORT_CHANNEL_BREAK:
        return changeBreak(request, reply);
    default:
        reply.status = PORT_CHANNEL_INVALID;
        return true;
    }
}

// An open is answered once the device has answered it: the application's first bytes
// then go out at once instead of waiting behind the identification, and a port that
// cannot be opened fails the open instead of hanging up later.
bool PortSession::answerOpen(PortChannelReply& reply) {
    if (phase_ == Phase::Opening)
        return false;
    if (live()) {
        // One open per session: a second program that reached the same pty before the
        // driver moved the link on is refused as busy.
        fillState(reply, std::exchange(openAnswered_, true) ? PORT_CHANNEL_BUSY : PORT_CHANNEL_OK);
        return true;
    }
    reply.status = phase_ == Phase::Over ? endReason_ : uint8_t(PORT_CHANNEL_NOT_OPEN);
    return true;
}

// What the application wrote before goes out first, as it did things in that order, and
// settings it made before too.
bool PortSession::changeModemControl(const PortChannelRequest& request, PortChannelReply& reply) {
    if (live() && (!pumpFromApplication() || !flushLine()))
        return false; // no room for it yet
    if (!live()) {
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

bool PortSession::answerChange(const PortChannelRequest& request, PortChannelReply& reply) {
    if (!live()) {
        reply.status = PORT_CHANNEL_NOT_OPEN;
        return true;
    }
    for (int line = 0; line < PORT_COUNT_LINES; ++line) {
        if ((request.waitLines & countedLines[line]) &&
            request.counts[line] != lineChanges_[size_t(line)]) {
            fillState(reply, PORT_CHANNEL_OK);
            return true;
        }
    }
    return false;
}

// The settings are noted as asked (the pty takes them in 8N right after, and its report of
// that is not noted again); data written before them goes first.
bool PortSession::setLine(const PortChannelRequest& request, PortChannelReply& reply) {
    if (live() && !pumpFromApplication())
        return false;
    termios settings{};
    if (!live() || tcgetattr(pty_.master(), &settings) != 0) {
        reply.status = PORT_CHANNEL_NOT_OPEN;
        return true;
    }
    settings.c_cflag = request.cflag;
    settings.c_iflag = request.iflag;
    if (cfgetospeed(&settings) == SPEED_OTHER)
        cfsetospeed(&settings, speedOfRate(request.speed));
    askedCflag_ = request.cflag;
    channelEchoDue_ = true;
    noteLine(settings);
    fillState(reply, PORT_CHANNEL_OK);
    return true;
}

// As a UART would, the break starts after what the application wrote before it.
bool PortSession::changeBreak(const PortChannelRequest& request, PortChannelReply& reply) {
    if (live() && (!pumpFromApplication() || !flushLine()))
        return false;
    if (!live()) {
        reply.status = PORT_CHANNEL_NOT_OPEN;
        return true;
    }
    bool on = request.setBits != 0;
    if (on != breakOn_) {
        const uint8_t packet[] = {PACKET_START, CMD_BREAK, uint8_t(on)};
        if (!sendPacket(packet, sizeof packet))
            return false;
        breakOn_ = on;
    }
    fillState(reply, PORT_CHANNEL_OK);
    return true;
}

void PortSession::fillState(PortChannelReply& reply, uint8_t status) const {
    reply.status = status;
    reply.modemControl = modemControl_;
    reply.modemStatus = modemStatus_ < 0 ? 0 : uint8_t(modemStatus_);
    reply.lineAsked = askedCflag_.has_value();
    reply.askedCflag = askedCflag_.value_or(0);
    std::copy(lineChanges_.begin(), lineChanges_.end(), reply.counts);
    reply.received = received_;
    reply.transmitted = transmitted_;
}

} // namespace portdriver
