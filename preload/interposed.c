/* The calls this library takes in front of the C library, when LD_PRELOAD puts it
 * before the application. Only descriptors of virtual ports are treated differently
 * (preload/port_lookup.h); everything else goes straight to the C library.
 *
 * - open, openat, fopen and their variants: a port's open returns once the device has
 *   answered it, and fails when the port is not started (ENXIO), the device cannot be
 *   reached (EHOSTUNREACH) or the manager did not answer (ETIMEDOUT). A port never
 *   becomes a controlling terminal (O_NOCTTY is implied): when the port goes away, a
 *   daemon that opened it (Wine's server) is not sent SIGHUP.
 * - ioctl TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC, TIOCMIWAIT, TIOCGICOUNT: the modem
 *   lines, through the port's control channel.
 * - tcsetattr and ioctl TCSETS*: the settings go to the device as asked, the pty gets
 *   them in 8 data bits without parity (all it takes); tcgetattr and TCGETS* read back
 *   the data bits and parity asked for.
 * - tcsendbreak, ioctl TCSBRK (0), TCSBRKP, TIOCSBRK, TIOCCBRK: the break, through the
 *   channel (a pty has none, and shows nothing of it).
 * - close: the descriptor is forgotten.
 *
 * Flushes (tcflush) stay the pty's: the driver sees them on its side of the pty.
 *
 * Everything else, reads and writes included, is the pty's own. Only the functions
 * below are visible outside the library (built with hidden visibility), so none of its
 * own names can stand in for an application's. */
#define _GNU_SOURCE
#include "preload/channel_client.h"
#include "preload/port_lookup.h"
#include "preload/port_requests.h"
#include "preload/real_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#define EXPORTED __attribute__((visibility("default")))

/* The kernel's own termios layouts, which TCGETS and TCGETS2 fill (glibc's struct
 * termios is another). */
struct KernelTermios {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
};
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#define GET_TERMIOS2 _IOR('T', 0x2A, struct KernelTermios2)
#define SET_TERMIOS2 _IOW('T', 0x2B, struct KernelTermios2)
#define SET_TERMIOS2_DRAIN _IOW('T', 0x2C, struct KernelTermios2)
#define SET_TERMIOS2_FLUSH _IOW('T', 0x2D, struct KernelTermios2)

static void prepareForFork(void) {
    lockChannelsForFork();
}

static void afterForkInParent(void) {
    unlockChannelsAfterFork();
}

static void afterForkInChild(void) {
    resetPortLookupAfterFork();
    resetChannelsAfterFork();
}

__attribute__((constructor)) static void setUp(void) {
    pthread_atfork(prepareForFork, afterForkInParent, afterForkInChild);
}

/* 0 when the descriptor just opened may be used, or the errno of a port's open that
 * failed (the descriptor is still open then). A port's open waits for the device's
 * answer. */
static int openFailure(int fd, int dirfd, const char* path, int flags) {
    if (fd < 0 || (flags & O_PATH))
        return 0;
    int saved = errno;
    struct PortDescriptor port;
    if (!findOpenedPort(fd, dirfd, path, &port) || waitForOpen(&port) != PORT_FAILED) {
        errno = saved;
        return 0;
    }
    forgetDescriptor(fd);
    return errno;
}

static int afterOpen(int fd, int dirfd, const char* path, int flags) {
    int failure = openFailure(fd, dirfd, path, flags);
    if (!failure)
        return fd;
    realCalls()->close(fd);
    errno = failure;
    return -1;
}

/* The mode argument exists only with O_CREAT or O_TMPFILE; it is passed on as given. */
#define MODE_OF(flags, last)                                                                       \
    mode_t mode = 0;                                                                               \
    if ((flags) & (O_CREAT | __O_TMPFILE)) {                                                       \
        va_list arguments;                                                                         \
        va_start(arguments, last);                                                                 \
        mode = (mode_t)va_arg(arguments, int);                                                     \
        va_end(arguments);                                                                         \
    }

/* The flags for the open itself: a port is never made the controlling terminal. */
static int flagsFor(int dirfd, const char* path, int flags) {
    if (!(flags & (O_NOCTTY | O_PATH)) && isPortPath(dirfd, path))
        return flags | O_NOCTTY;
    return flags;
}

EXPORTED int open(const char* path, int flags, ...) {
    MODE_OF(flags, flags);
    int fd = realCalls()->open(path, flagsFor(AT_FDCWD, path, flags), mode);
    return afterOpen(fd, AT_FDCWD, path, flags);
}

EXPORTED int open64(const char* path, int flags, ...) {
    MODE_OF(flags, flags);
    int fd = realCalls()->open64(path, flagsFor(AT_FDCWD, path, flags), mode);
    return afterOpen(fd, AT_FDCWD, path, flags);
}

EXPORTED int openat(int dirfd, const char* path, int flags, ...) {
    MODE_OF(flags, flags);
    int fd = realCalls()->openat(dirfd, path, flagsFor(dirfd, path, flags), mode);
    return afterOpen(fd, dirfd, path, flags);
}

EXPORTED int openat64(int dirfd, const char* path, int flags, ...) {
    MODE_OF(flags, flags);
    int fd = realCalls()->openat64(dirfd, path, flagsFor(dirfd, path, flags), mode);
    return afterOpen(fd, dirfd, path, flags);
}

/* The checked variants that _FORTIFY_SOURCE builds call. */
EXPORTED int __open_2(const char* path, int flags) {
    int fd = realCalls()->open2(path, flagsFor(AT_FDCWD, path, flags));
    return afterOpen(fd, AT_FDCWD, path, flags);
}

EXPORTED int __open64_2(const char* path, int flags) {
    int fd = realCalls()->open64_2(path, flagsFor(AT_FDCWD, path, flags));
    return afterOpen(fd, AT_FDCWD, path, flags);
}

EXPORTED int __openat_2(int dirfd, const char* path, int flags) {
    int fd = realCalls()->openat2(dirfd, path, flagsFor(dirfd, path, flags));
    return afterOpen(fd, dirfd, path, flags);
}

EXPORTED int __openat64_2(int dirfd, const char* path, int flags) {
    int fd = realCalls()->openat64_2(dirfd, path, flagsFor(dirfd, path, flags));
    return afterOpen(fd, dirfd, path, flags);
}

static FILE* afterOpenFile(FILE* file, const char* path) {
    int failure = file ? openFailure(fileno(file), AT_FDCWD, path, 0) : 0;
    if (!failure)
        return file;
    fclose(file);
    errno = failure;
    return NULL;
}

EXPORTED FILE* fopen(const char* path, const char* mode) {
    return afterOpenFile(realCalls()->fopen(path, mode), path);
}

EXPORTED FILE* fopen64(const char* path, const char* mode) {
    return afterOpenFile(realCalls()->fopen64(path, mode), path);
}

EXPORTED int close(int fd) {
    forgetDescriptor(fd);
    forgetChannelDescriptor(fd);
    return realCalls()->close(fd);
}

static int isPortRequest(unsigned long request) {
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMIWAIT:
    case TIOCGICOUNT:
    case TCGETS:
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
    case GET_TERMIOS2:
    case SET_TERMIOS2:
    case SET_TERMIOS2_DRAIN:
    case SET_TERMIOS2_FLUSH:
        return 1;
    default:
        return 0;
    }
}

/* The modem-line requests; PORT_PASS when the channel cannot be used. */
static int modemRequest(const struct PortDescriptor* port, unsigned long request, void* argument) {
    int* bits = argument;
    switch (request) {
    case TIOCMGET:
        return getModemLines(port, bits);
    case TIOCMSET:
        return changeModemLines(port, *bits, ~*bits);
    case TIOCMBIS:
        return changeModemLines(port, *bits, 0);
    case TIOCMBIC:
        return changeModemLines(port, 0, *bits);
    case TIOCMIWAIT:
        /* The mask is the argument itself, not a pointer to it. */
        return waitModemChange(port, (int)(uintptr_t)argument);
    default:
        return getCounts(port, argument);
    }
}

/* The break requests carry a number, not a pointer. TCSBRK with anything but 0 only
 * waits for the output, which the pty does itself. */
static int isBreakRequest(unsigned long request, const void* argument) {
    return request == TIOCSBRK || request == TIOCCBRK || request == TCSBRKP ||
           (request == TCSBRK && !argument);
}

/* Tenths of a second as milliseconds, at most a day (what the kernel would take as a
 * longer break is no use to anyone). */
static int breakMilliseconds(unsigned long long tenths) {
    return tenths > 864000 ? 86400000 : (int)tenths * 100;
}

static int breakRequest(const struct PortDescriptor* port, unsigned long request,
                        uintptr_t tenths) {
    switch (request) {
    case TIOCSBRK:
        return setBreak(port, 1);
    case TIOCCBRK:
        return setBreak(port, 0);
    case TCSBRKP:
        return sendBreak(port, tenths ? breakMilliseconds(tenths) : DEFAULT_BREAK_MS);
    default:
        return sendBreak(port, DEFAULT_BREAK_MS);
    }
}

/* TCSETS* and their termios2 forms: the settings to the device, then to the pty. */
static int setRequest(int fd, const struct PortDescriptor* port, unsigned long request,
                      const void* argument) {
    int exact = request != TCSETS && request != TCSETSW && request != TCSETSF;
    struct KernelTermios2 asked = {0};
    memcpy(&asked, argument, exact ? sizeof asked : sizeof(struct KernelTermios));
    int outcome = announceLine(port, asked.c_cflag, asked.c_iflag, exact ? asked.c_ospeed : 0);
    if (outcome == PORT_FAILED)
        return -1;
    if (outcome == PORT_PASS)
        return realCalls()->ioctl(fd, request, argument);
    asked.c_cflag = ptyCflag(asked.c_cflag);
    asked.c_lflag |= EXTPROC; /* the driver sees the pty's changes through it */
    return realCalls()->ioctl(fd, request, &asked);
}

EXPORTED int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const struct RealCalls* real = realCalls();
    struct PortDescriptor port;
    if (isBreakRequest(request, argument) && findPort(fd, &port)) {
        int outcome = breakRequest(&port, request, (uintptr_t)argument);
        if (outcome == PORT_PASS)
            return real->ioctl(fd, request, argument);
        return outcome == PORT_DONE ? 0 : -1;
    }
    /* A null argument (TIOCMIWAIT's is a mask, not a pointer) gets the kernel's own
     * answer, as without the library: EFAULT, or ENOTTY for what a pty lacks. */
    int nullPointer = !argument && request != TIOCMIWAIT;
    if (!isPortRequest(request) || nullPointer || !findPort(fd, &port))
        return real->ioctl(fd, request, argument);
    if (request == TCGETS || request == GET_TERMIOS2) {
        int result = real->ioctl(fd, request, argument);
        if (result == 0) {
            /* c_cflag sits at the same place in both layouts. */
            struct KernelTermios* settings = argument;
            settings->c_cflag = askedCflag(&port, settings->c_cflag);
        }
        return result;
    }
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC &&
        request != TIOCMIWAIT && request != TIOCGICOUNT)
        return setRequest(fd, &port, request, argument);
    int outcome = modemRequest(&port, request, argument);
    if (outcome == PORT_PASS)
        return real->ioctl(fd, request, argument);
    return outcome == PORT_DONE ? 0 : -1;
}

EXPORTED int tcgetattr(int fd, struct termios* settings) {
    int result = realCalls()->tcgetattr(fd, settings);
    struct PortDescriptor port;
    if (result == 0 && findPort(fd, &port))
        settings->c_cflag = askedCflag(&port, settings->c_cflag);
    return result;
}

EXPORTED int tcsetattr(int fd, int action, const struct termios* settings) {
    const struct RealCalls* real = realCalls();
    struct PortDescriptor port;
    int known = action == TCSANOW || action == TCSADRAIN || action == TCSAFLUSH;
    if (!known || !findPort(fd, &port))
        return real->tcsetattr(fd, action, settings);
    int outcome = announceLine(&port, settings->c_cflag, settings->c_iflag, settings->c_ospeed);
    if (outcome == PORT_FAILED)
        return -1;
    if (outcome == PORT_PASS)
        return real->tcsetattr(fd, action, settings);
    struct termios forPty = *settings;
    forPty.c_cflag = ptyCflag(forPty.c_cflag);
    forPty.c_lflag |= EXTPROC;
    return real->tcsetattr(fd, action, &forPty);
}

EXPORTED int tcsendbreak(int fd, int duration) {
    struct PortDescriptor port;
    if (!findPort(fd, &port))
        return realCalls()->tcsendbreak(fd, duration);
    /* The C library's rounding: tenths of a second, up. */
    int milliseconds =
        duration <= 0 ? DEFAULT_BREAK_MS : breakMilliseconds(((long long)duration + 99) / 100);
    int outcome = sendBreak(&port, milliseconds);
    if (outcome == PORT_PASS)
        return realCalls()->tcsendbreak(fd, duration);
    return outcome == PORT_DONE ? 0 : -1;
}
