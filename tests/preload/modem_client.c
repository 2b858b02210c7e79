/* A C program using a virtual port as it would use a UART, for the preload tests
 * (preload_test.cpp): run with and without LD_PRELOAD=libquorvalink-preload.so. It
 * prints one line per step and ends with 0 when every step did what it should.
 *
 *   modem_client LINK open    open the port, report the errno of a failed open
 *   modem_client LINK wait    wait with TIOCMIWAIT for a change of CTS, DSR, DCD or RI,
 *                             then report the lines (TIOCMGET) and the counts (TIOCGICOUNT)
 *   modem_client LINK line    set 7E1, then 5N2, each read back (tcgetattr) and used for an
 *                             echo through the device
 *   modem_client LINK attr    report the data bits and parity tcgetattr reads
 *   modem_client LINK null    report the errno of each modem-line and termios ioctl given a
 *                             null argument
 *   modem_client LINK handed  open the port and hand the descriptor to a program of its own
 *                             (exec), which raises DTR and reports the lines: a descriptor
 *                             the program did not open itself, as Wine's server passes one
 *
 * Built without the sanitizers: it runs with the preload library in front of it. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static int openPort(const char* link) {
    int fd = open(link, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        printf("FAIL open: %s (%s)\n", strerrorname_np(errno), strerror(errno));
        return -1;
    }
    printf("OK open\n");
    return fd;
}

static void printLines(int fd) {
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) != 0) {
        printf("FAIL TIOCMGET: %s\n", strerrorname_np(errno));
        return;
    }
    printf("lines%s%s%s%s%s%s\n", bits & TIOCM_DTR ? " DTR" : "", bits & TIOCM_RTS ? " RTS" : "",
           bits & TIOCM_CTS ? " CTS" : "", bits & TIOCM_DSR ? " DSR" : "",
           bits & TIOCM_CAR ? " DCD" : "", bits & TIOCM_RNG ? " RI" : "");
}

static int waitForChange(int fd) {
    printLines(fd);
    printf("waiting\n");
    fflush(stdout);
    if (ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG) != 0) {
        printf("FAIL TIOCMIWAIT: %s\n", strerrorname_np(errno));
        return 1;
    }
    printf("changed\n");
    printLines(fd);
    struct serial_icounter_struct counts;
    if (ioctl(fd, TIOCGICOUNT, &counts) != 0) {
        printf("FAIL TIOCGICOUNT: %s\n", strerrorname_np(errno));
        return 1;
    }
    printf("counts cts %d dsr %d rng %d dcd %d\n", counts.cts, counts.dsr, counts.rng, counts.dcd);
    return 0;
}

struct Format {
    const char* name;
    tcflag_t flags; /* CSIZE, PARENB, PARODD, CSTOPB */
};

/* Sends text and reads the device's echo of it. */
static int echo(int fd, const char* text) {
    size_t length = strlen(text);
    if (write(fd, text, length) != (ssize_t)length)
        return 0;
    char answer[64] = {0};
    size_t got = 0;
    struct pollfd readable = {fd, POLLIN, 0};
    while (got < length && poll(&readable, 1, 5000) == 1) {
        ssize_t more = read(fd, answer + got, length - got);
        if (more <= 0)
            return 0;
        got += (size_t)more;
    }
    return got == length && memcmp(answer, text, length) == 0;
}

static int useFormat(int fd, const struct Format* format) {
    const tcflag_t mask = CSIZE | PARENB | PARODD | CSTOPB;
    struct termios settings;
    tcgetattr(fd, &settings);
    settings.c_cflag = (settings.c_cflag & ~mask) | format->flags;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        printf("FAIL tcsetattr %s: %s\n", format->name, strerrorname_np(errno));
        return 0;
    }
    struct termios back;
    if (tcgetattr(fd, &back) != 0 || (back.c_cflag & mask) != format->flags) {
        printf("FAIL %s read back as cflag %o\n", format->name, back.c_cflag & mask);
        return 0;
    }
    printf("OK %s read back\n", format->name);
    char text[32];
    snprintf(text, sizeof text, "echo in %s\n", format->name);
    if (!echo(fd, text)) {
        printf("FAIL echo in %s\n", format->name);
        return 0;
    }
    printf("OK echo in %s\n", format->name);
    return 1;
}

static int changeLine(int fd) {
    struct termios settings;
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, B9600);
    tcsetattr(fd, TCSANOW, &settings);
    const struct Format formats[] = {{"7E1", CS7 | PARENB}, {"5N2", CS5 | CSTOPB}};
    for (size_t i = 0; i < sizeof formats / sizeof formats[0]; ++i) {
        if (!useFormat(fd, &formats[i]))
            return 1;
    }
    return 0;
}

static int reportLine(int fd) {
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0) {
        printf("FAIL tcgetattr: %s\n", strerrorname_np(errno));
        return 1;
    }
    const char* parity = !(settings.c_cflag & PARENB)  ? "none"
                         : (settings.c_cflag & PARODD) ? "odd"
                                                       : "even";
    printf("read back CS%d parity %s\n", 5 + (int)((settings.c_cflag & CSIZE) / CS6), parity);
    return 0;
}

/* The termios2 requests as the kernel numbers them (its struct termios2 clashes with the
 * C library's termios). */
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

static int nullArguments(int fd) {
    static const struct {
        const char* name;
        unsigned long request;
    } requests[] = {{"TIOCMGET", TIOCMGET},
                    {"TIOCMSET", TIOCMSET},
                    {"TIOCMBIS", TIOCMBIS},
                    {"TIOCMBIC", TIOCMBIC},
                    {"TIOCGICOUNT", TIOCGICOUNT},
                    {"TCGETS", TCGETS},
                    {"TCSETS", TCSETS},
                    {"TCSETSW", TCSETSW},
                    {"TCSETSF", TCSETSF},
                    {"TCGETS2", _IOR('T', 0x2A, struct KernelTermios2)},
                    {"TCSETS2", _IOW('T', 0x2B, struct KernelTermios2)},
                    {"TCSETSW2", _IOW('T', 0x2C, struct KernelTermios2)},
                    {"TCSETSF2", _IOW('T', 0x2D, struct KernelTermios2)}};
    for (size_t i = 0; i < sizeof requests / sizeof requests[0]; ++i) {
        errno = 0;
        int result = ioctl(fd, requests[i].request, NULL);
        printf("%s %d %s\n", requests[i].name, result, strerrorname_np(errno));
    }
    return 0;
}

/* The program the descriptor was handed to: it never opened the port. */
static int useHanded(int fd) {
    int dtr = TIOCM_DTR;
    if (ioctl(fd, TIOCMBIC, &dtr) != 0) {
        printf("FAIL TIOCMBIC on the handed descriptor: %s\n", strerrorname_np(errno));
        return 1;
    }
    printLines(fd);
    return 0;
}

static int handOn(const char* self, int fd) {
    char number[16];
    snprintf(number, sizeof number, "%d", fd);
    fcntl(fd, F_SETFD, 0);
    execl(self, self, "-", "held", number, (char*)NULL);
    printf("FAIL exec: %s\n", strerrorname_np(errno));
    return 1;
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc == 4 && strcmp(argv[2], "held") == 0)
        return useHanded(atoi(argv[3]));
    if (argc != 3) {
        printf("usage: modem_client LINK open|wait|line|attr|null|handed\n");
        return 2;
    }
    int fd = openPort(argv[1]);
    if (fd < 0)
        return 1;
    int status = 0;
    if (strcmp(argv[2], "wait") == 0)
        status = waitForChange(fd);
    else if (strcmp(argv[2], "line") == 0)
        status = changeLine(fd);
    else if (strcmp(argv[2], "attr") == 0)
        status = reportLine(fd);
    else if (strcmp(argv[2], "null") == 0)
        status = nullArguments(fd);
    else if (strcmp(argv[2], "handed") == 0)
        return handOn(argv[0], fd);
    close(fd);
    return status;
}
