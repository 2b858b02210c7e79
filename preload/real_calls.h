#pragma once
/* The C library's own functions behind the ones this library puts in front of the
 * application (LD_PRELOAD), found with dlsym(RTLD_NEXT). The library's own work uses
 * these, never the wrapped names, so it does not call itself. Resolved once, on first
 * use, by whichever thread comes first. */
#include <stdio.h>
#include <sys/types.h>
#include <termios.h>

struct RealCalls {
    int (*open)(const char* path, int flags, ...);
    int (*open64)(const char* path, int flags, ...);
    int (*openat)(int dirfd, const char* path, int flags, ...);
    int (*openat64)(int dirfd, const char* path, int flags, ...);
    int (*open2)(const char* path, int flags);                 /* __open_2 */
    int (*open64_2)(const char* path, int flags);              /* __open64_2 */
    int (*openat2)(int dirfd, const char* path, int flags);    /* __openat_2 */
    int (*openat64_2)(int dirfd, const char* path, int flags); /* __openat64_2 */
    FILE* (*fopen)(const char* path, const char* mode);
    FILE* (*fopen64)(const char* path, const char* mode);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, ...);
    int (*tcgetattr)(int fd, struct termios* settings);
    int (*tcsetattr)(int fd, int action, const struct termios* settings);
    int (*tcsendbreak)(int fd, int duration);
};

/* The resolved functions; a name the C library lacks stays null. */
const struct RealCalls* realCalls(void);
