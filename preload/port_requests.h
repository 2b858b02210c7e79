#pragma once
/* What the library does for a port's descriptor, in the terms of the calls it takes:
 * the modem lines as TIOCM_* bits, the interrupt counts as serial_icounter_struct, the
 * line settings as termios flags. Each answers through the port's control channel.
 *
 * Outcome of each: PORT_DONE, PORT_FAILED (errno set), or PORT_PASS when the channel
 * cannot be used; the caller then makes the call as it would without the library.
 * Any thread. */
#include "preload/port_lookup.h"

#include <linux/serial.h>
#include <termios.h>

enum { PORT_DONE = 0, PORT_FAILED = -1, PORT_PASS = 1 };

/* The flags that make the data bits and parity (the pty keeps only CS8 without parity),
 * and the kernel's BOTHER (the rate is given in bits per second, termios2). */
#define CHARACTER_FORMAT (CSIZE | PARENB | PARODD | CMSPAR)
#define RATE_OTHER 0010000

/* The outcome of the open: PORT_DONE when the device has answered it. */
int waitForOpen(const struct PortDescriptor* port);
int getModemLines(const struct PortDescriptor* port, int* bits);
/* Sets the DTR and RTS bits of setBits, then clears those of clearBits (TIOCM_*). */
int changeModemLines(const struct PortDescriptor* port, int setBits, int clearBits);
/* TIOCMIWAIT: until one of the lines in mask (TIOCM_*) changes; EINTR on a signal. */
int waitModemChange(const struct PortDescriptor* port, int mask);
int getCounts(const struct PortDescriptor* port, struct serial_icounter_struct* counts);
/* The settings the application asks for; rate is the BOTHER rate in bits per second, or
 * 0. Done: the settings went out; give the pty ptyCflag(cflag). */
int announceLine(const struct PortDescriptor* port, tcflag_t cflag, tcflag_t iflag, speed_t rate);
/* The break on the line: on (1) or off (0). */
int setBreak(const struct PortDescriptor* port, int on);
/* A break of milliseconds: on, a pause in the calling thread (as the kernel's own break
 * pauses it), off. EINTR when a signal cut the pause short; the break is off then too. */
int sendBreak(const struct PortDescriptor* port, int milliseconds);
/* The kernel's break when no length is given (TCSBRK 0, TCSBRKP 0, tcsendbreak with a
 * duration of 0 or less). */
#define DEFAULT_BREAK_MS 250

/* The cflag the pty can take: the asked one in 8 data bits without parity. */
tcflag_t ptyCflag(tcflag_t cflag);
/* The cflag as read from the pty, with the data bits and parity the application asked
 * for put back. */
tcflag_t askedCflag(const struct PortDescriptor* port, tcflag_t cflag);
