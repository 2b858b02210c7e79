#define _GNU_SOURCE
#include "preload/port_requests.h"

#include "preload/channel_client.h"

#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>

enum {
    /* The driver answers an open within its own 15 s; this much longer means it cannot
     * serve the channel. */
    OPEN_LIMIT_MS = 20000,
    /* How often a wait for a line change makes sure the driver still serves the session. */
    CHANGE_CHECK_MS = 5000,
};

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

/* The reply's status as an outcome. A channel that cannot serve now, unreachable or
 * silent past its limit, leaves the call as it is without the library. */
static int outcomeOf(int status) {
    if (status == PORT_CHANNEL_OK)
        return PORT_DONE;
    if (status == CHANNEL_UNREACHABLE || status == CHANNEL_SILENT)
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
    const struct ChannelWait wait = {OPEN_LIMIT_MS, 0, NULL, NULL};
    return outcomeOf(waitOnChannel(port->channel, &request, &reply, &wait));
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

/* A wait for a line change, and how it ended when the driver did not answer it. */
struct ChangeWait {
    const struct PortDescriptor* port;
    const struct PortChannelRequest* request;
    int outcome;
    int error;
};

static int countsMoved(const struct PortChannelRequest* request,
                       const struct PortChannelReply* state) {
    static const uint8_t lines[PORT_COUNT_LINES] = {PORT_MSR_CTS, PORT_MSR_DSR, PORT_MSR_RI,
                                                    PORT_MSR_DCD};
    for (int line = 0; line < PORT_COUNT_LINES; ++line) {
        if ((request->waitLines & lines[line]) && state->counts[line] != request->counts[line])
            return 1;
    }
    return 0;
}

/* The wait goes on while the driver still answers for the session and the lines have not
 * moved (a wait whose connection the driver has not taken yet learns it here). */
static int changeStillAhead(void* context) {
    struct ChangeWait* wait = context;
    struct PortChannelReply state;
    int outcome = getState(wait->port, &state);
    if (outcome == PORT_DONE && !countsMoved(wait->request, &state))
        return 1;
    wait->outcome = outcome == PORT_DONE ? PORT_DONE : PORT_FAILED;
    wait->error = outcome == PORT_FAILED ? errno : errnoOf(PORT_CHANNEL_NOT_OPEN);
    return 0;
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
    struct ChangeWait change = {port, &request, PORT_FAILED, EIO};
    const struct ChannelWait wait = {CHANGE_CHECK_MS, 1, changeStillAhead, &change};
    int status = waitOnChannel(port->channel, &request, &reply, &wait);
    if (status != CHANNEL_SILENT)
        return outcomeOf(status);
    errno = change.error;
    return change.outcome;
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

int setBreak(const struct PortDescriptor* port, int on) {
    struct PortChannelRequest request;
    struct PortChannelReply reply;
    prepare(&request, port, PORT_CHANNEL_BREAK);
    request.setBits = on ? 1 : 0;
    return ask(port, &request, &reply);
}

int sendBreak(const struct PortDescriptor* port, int milliseconds) {
    int outcome = setBreak(port, 1);
    if (outcome != PORT_DONE)
        return outcome;
    struct timespec pause = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    int interrupted = nanosleep(&pause, NULL) != 0 && errno == EINTR;
    outcome = setBreak(port, 0);
    if (outcome == PORT_DONE && interrupted) {
        errno = EINTR;
        return PORT_FAILED;
    }
    return outcome;
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
