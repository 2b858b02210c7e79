#pragma once
/* The format of a port's control channel: a Unix stream socket beside the port's link
 * (COM5.ctl next to COM5), owner-only, served by the stand-in driver's thread. Through
 * it an application's side (the preload library, preload/) asks for what a
 * pseudo-terminal cannot do: the modem lines, the line settings a pty refuses (data
 * bits, parity), and the outcome of the open. The data itself never passes here; it
 * stays on the pty.
 *
 * One fixed-size request, then one fixed-size reply, in the host's byte order (both
 * ends are on the same machine). A request names the pty slave it is about (st_rdev
 * of the application's descriptor), so a request about a pty the driver has hung up
 * since is told so instead of acting on the next application's session.
 *
 * Plain C, shared by the driver (C++) and the library (C); no code. */
#include <stdint.h>

#define PORT_CHANNEL_SUFFIX ".ctl"
/* Beside the link while an application has the port open: names that session's pty (its
 * slave, which cannot be opened again), so a descriptor of the session that the
 * application did not open by the link is known as the port's too. */
#define PORT_SESSION_SUFFIX ".open"
#define PORT_CHANNEL_VERSION 1u

/* Requests. */
enum {
    /* Answered once the application's session is open, or its open has failed. */
    PORT_CHANNEL_WAIT_OPEN = 1,
    /* DTR/RTS: clear the bits in clearBits, then set those in setBits (MCR layout);
     * an MCR packet goes to the device when the value changes. Answered with the state. */
    PORT_CHANNEL_MODEM_CONTROL = 2,
    /* The state: modem control and status, change counts, the line asked for. */
    PORT_CHANNEL_GET_STATE = 3,
    /* Answered when a count of a line in waitLines differs from counts[] (MSR bits). */
    PORT_CHANNEL_WAIT_CHANGE = 4,
    /* The application's line settings (termios cflag with its rate bits, iflag): an SREQ
     * with them goes to the device, and the data bits and parity are kept for reading
     * back. */
    PORT_CHANNEL_SET_LINE = 5,
    /* A break on the line (setBits 1) or its end (0): a BREAK packet goes to the device,
     * after what the application wrote before. A pty has no break of its own to show. */
    PORT_CHANNEL_BREAK = 6,
};

/* Reply status. */
enum {
    PORT_CHANNEL_OK = 0,
    PORT_CHANNEL_NOT_STARTED = 1, /* the port is not started: the open was hung up */
    PORT_CHANNEL_REFUSED = 2,     /* the manager could not reach the device (OPEN_RESULT 0) */
    PORT_CHANNEL_NO_ANSWER = 3,   /* the manager did not answer the open in time */
    PORT_CHANNEL_NOT_OPEN = 4,    /* no open session on that slave (closed, hung up) */
    PORT_CHANNEL_INVALID = 5,     /* unknown request or version */
    PORT_CHANNEL_BUSY = 6,        /* another application has the port open */
};

/* Bits of the modem control byte (16550 MCR) and the modem status byte (16550 MSR),
 * as the driver packets carry them. */
enum {
    PORT_MCR_DTR = 0x01,
    PORT_MCR_RTS = 0x02,
    PORT_MSR_CTS = 0x10,
    PORT_MSR_DSR = 0x20,
    PORT_MSR_RI = 0x40,
    PORT_MSR_DCD = 0x80,
};

/* Change counts, in this order: CTS, DSR, RI (trailing edges, as a UART counts them),
 * DCD. */
enum { PORT_COUNT_CTS, PORT_COUNT_DSR, PORT_COUNT_RI, PORT_COUNT_DCD, PORT_COUNT_LINES };

struct PortChannelRequest {
    uint32_t version; /* PORT_CHANNEL_VERSION */
    uint8_t command;
    uint8_t setBits;                   /* MODEM_CONTROL; BREAK: 1 on, 0 off */
    uint8_t clearBits;                 /* MODEM_CONTROL */
    uint8_t waitLines;                 /* WAIT_CHANGE: MSR bits of the lines waited for */
    uint64_t slave;                    /* st_rdev of the application's pty slave */
    uint32_t counts[PORT_COUNT_LINES]; /* WAIT_CHANGE: the counts seen before */
    uint32_t cflag;                    /* SET_LINE */
    uint32_t iflag;                    /* SET_LINE */
    uint32_t speed; /* SET_LINE: bits per second when the cflag's rate is BOTHER, else 0 */
    uint32_t reserved;
};

struct PortChannelReply {
    uint8_t status;
    uint8_t modemControl; /* MCR bits now */
    uint8_t modemStatus;  /* the last MSR byte from the device, 0 before any */
    uint8_t lineAsked;    /* 1: askedCflag holds the data bits and parity asked for */
    uint32_t askedCflag;
    uint32_t counts[PORT_COUNT_LINES];
    uint32_t received;    /* bytes from the device to the application in the session */
    uint32_t transmitted; /* bytes from the application to the device in the session */
};

#ifdef __cplusplus
static_assert(sizeof(PortChannelRequest) == 48, "fixed request size");
static_assert(sizeof(PortChannelReply) == 32, "fixed reply size");
#else
_Static_assert(sizeof(struct PortChannelRequest) == 48, "fixed request size");
_Static_assert(sizeof(struct PortChannelReply) == 32, "fixed reply size");
#endif
