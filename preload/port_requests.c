#define _GNU_SOURCE
#include "preload/port_requests.h"

#include "preload/channel_client.h"

#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

static void prepare(struct PortChannelRequest* request, const struct PortDescriptor* port,
                    int command) {
    memset(request, 0, sizeof *request);
    request->command = (uint8_t)command;
    request->slave = port->slave;
}

/* Wine opens a Windows program's ports in its server process, which turns only a fixed
 * set of errnos into Windows errors; any other makes it print a complaint and a dump of
 * all its objects. */
static int insideWineServer(void) {
    return strncmp(program_invocation_short_name, "wineserver", 10) == 0;
}

/* The errno an application sees for a reply that is not OK. An open that fails says why
 * in the terms a serial port would: no such device, busy, the other end unreachable, no
 * answer. Inside Wine's server the last two are ENODEV, which becomes "file not found"
 * for the program, as for a COM port that cannot be opened. */
static int errnoOf(int status) {
    switch (status) {
    case PORT_CHANNEL_NOT_STARTED:
        return ENXIO;
    case PORT_CHANNEL_REFUSED:
        return insideWineServer() ? ENODEV : EHOSTUNREACH;
    case PORT_CHANNEL_NO_ANSWER:
        return insideWineServer() ? ENODEV : ETIMEDOUT;
    case PORT_CHANNEL_INVALID:
        return EINVAL;
    case PORT_CHANNEL_BUSY:
        /* Wine's server turns EACCES into the access-denied error a busy COM port gives. */
        return insideWineServer() ? EACCES : EBUSY;
    default:
        return insideWineServer() ? ENODEV : EIO;
    }
}

/* The reply's status as an outcome. */
static int outcomeOf(int status) {
    if (status == PORT_CHANNEL_OK)
        return PORT_DONE;
    if (status == CHANNEL_UNREACHABLE)
        return PORT_PASS;
    if (status == CHANNEL_INTERRUPTED)
        errno = EINTR;
    else if (status == CHANNEL_LOST)
        errno = errnoOf(PORT_CHANNEL_NOT_OPEN);
    else
        errno = errnoOf(status);
    return PORT_FAILED;
}

static int ask(const struct PortDescriptor* port, struct PortChannelRequest* request,
               struct PortChannelReply* reply) {
    return outcomeOf(askChannel(port->channel, request, reply));
}

static int getState(const struct PortDescriptor* port, struct PortChannelReply* reply) {
    struct PortChannelRequest request;
    prepare(&request, port, PORT_CHANNEL_GET_STATE);
    return ask(port, &request, reply);
}

static uint8_t modemControlOf(int bits) {
    return (uint8_t)(((bits & TIOCM_DTR) ? PORT_MCR_DTR : 0) |
                     ((bits & TIOCM_RTS) ? PORT_MCR_RTS : 0));
}

static uint8_t modemStatusOf(int bits) {
    return (
        uint8_t)(((bits & TIOCM_CTS) ? PORT_MSR_CTS : 0) | ((bits & TIOCM_DSR) ? PORT_MSR_DSR : 0) |
                 ((bits & TIOCM_RNG) ? PORT_MSR_RI : 0) | ((bits & TIOCM_CAR) ? PORT_MSR_DCD : 0));
}

static int bitsOf(const struct PortChannelReply* reply) {
    uint8_t control = reply->modemControl;
    uint8_t status = reply->modemStatus;
    return ((control & PORT_MCR_DTR) ? TIOCM_DTR : 0) | ((control & PORT_MCR_RTS) ? TIOCM_RTS : 0) |
           ((status & PORT_MSR_CTS) ? TIOCM_CTS : 0) | ((status & PORT_MSR_DSR) ? TIOCM_DSR : 0) |
           ((status & PORT_MSR_RI) ? TIOCM_RNG : 0) | ((status & PORT_MSR_DCD) ? TIOCM_CAR : 0);
}

int waitForOpen(const struct PortDescriptor* port) {
    struct PortChannelRequest request;
    struct PortChannelReply reply;
    prepare(&request, port, PORT_CHANNEL_WAIT_OPEN);
    /* Not given up on a signal: the open goes on, as a blocking open of a tty restarts. */
    return outcomeOf(waitOnChannel(port->channel, &request, &reply, 0));
}

int getModemLines(const struct PortDescriptor* port, int* bits) {
    struct PortChannelReply reply;
    int outcome = getState(port, &reply);
    if (outcome == PORT_DONE)
        *bits = bitsOf(&reply);
    return outcome;
}

int changeModemLines(const struct PortDescriptor* port, int setBits, int clearBits) {
    struct PortChannelRequest request;
    struct PortChannelReply reply;
    prepare(&request, port, PORT_CHANNEL_MODEM_CONTROL);
    request.setBits = modemControlOf(setBits);
    request.clearBits = modemControlOf(clearBits);
    return ask(port, &request, &reply);
}

int waitModemChange(const struct PortDescriptor* port, int mask) {
    struct PortChannelReply state;
    int outcome = getState(port, &state);
    if (outcome != PORT_DONE)
        return outcome;
    struct PortChannelRequest request;
    struct PortChannelReply reply;
    prepare(&request, port, PORT_CHANNEL_WAIT_CHANGE);
    request.waitLines = modemStatusOf(mask);
    memcpy(request.counts, state.counts, sizeof request.counts);
    return outcomeOf(waitOnChannel(port->channel, &request, &reply, 1));
}

int getCounts(const struct PortDescriptor* port, struct serial_icounter_struct* counts) {
    struct PortChannelReply reply;
    int outcome = getState(port, &reply);
    if (outcome != PORT_DONE)
        return outcome;
    memset(counts, 0, sizeof *counts);
    counts->cts = (int)reply.counts[PORT_COUNT_CTS];
    counts->dsr = (int)reply.counts[PORT_COUNT_DSR];
    counts->rng = (int)reply.counts[PORT_COUNT_RI];
    counts->dcd = (int)reply.counts[PORT_COUNT_DCD];
    counts->rx = (int)reply.received;
    counts->tx = (int)reply.transmitted;
    return PORT_DONE;
}

int announceLine(const struct PortDescriptor* port, tcflag_t cflag, tcflag_t iflag, speed_t rate) {
    struct PortChannelRequest request;
    struct PortChannelReply reply;
    prepare(&request, port, PORT_CHANNEL_SET_LINE);
    request.cflag = cflag;
    request.iflag = iflag;
    request.speed = (cflag & CBAUD) == RATE_OTHER ? rate : 0;
    return ask(port, &request, &reply);
}

tcflag_t ptyCflag(tcflag_t cflag) {
    return (cflag & ~(tcflag_t)CHARACTER_FORMAT) | CS8;
}

/* A session that is not open reads as the pty has it; the read itself succeeded. */
tcflag_t askedCflag(const struct PortDescriptor* port, tcflag_t cflag) {
    int saved = errno;
    struct PortChannelReply reply;
    int outcome = getState(port, &reply);
    errno = saved;
    if (outcome != PORT_DONE || !reply.lineAsked)
        return cflag;
    return (cflag & ~(tcflag_t)CHARACTER_FORMAT) | (reply.askedCflag & CHARACTER_FORMAT);
}
