#define _GNU_SOURCE
#include "preload/real_calls.h"

#include <dlfcn.h>
#include <pthread.h>

static struct RealCalls calls;
static pthread_once_t resolved = PTHREAD_ONCE_INIT;

static void resolve(void) {
    calls.open = dlsym(RTLD_NEXT, "open");
    calls.open64 = dlsym(RTLD_NEXT, "open64");
    calls.openat = dlsym(RTLD_NEXT, "openat");
    calls.openat64 = dlsym(RTLD_NEXT, "openat64");
    calls.open2 = dlsym(RTLD_NEXT, "__open_2");
    calls.open64_2 = dlsym(RTLD_NEXT, "__open64_2");
    calls.openat2 = dlsym(RTLD_NEXT, "__openat_2");
    calls.openat64_2 = dlsym(RTLD_NEXT, "__openat64_2");
    calls.fopen = dlsym(RTLD_NEXT, "fopen");
    calls.fopen64 = dlsym(RTLD_NEXT, "fopen64");
    calls.close = dlsym(RTLD_NEXT, "close");
    calls.ioctl = dlsym(RTLD_NEXT, "ioctl");
    calls.tcgetattr = dlsym(RTLD_NEXT, "tcgetattr");
    calls.tcsetattr = dlsym(RTLD_NEXT, "tcsetattr");
    calls.tcsendbreak = dlsym(RTLD_NEXT, "tcsendbreak");
}

const struct RealCalls* realCalls(void) {
    pthread_once(&resolved, resolve);
    return &calls;
}
