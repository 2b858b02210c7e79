#define _GNU_SOURCE
#include "preload/channel_client.h"

#include "preload/real_calls.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum { MAX_SHARED = 8 };

/* One shared connection per port. fd is -1 until connected; owner is the process that
 * connected it, inode tells it apart from whatever the application may have put on
 * the same number since. */
struct Shared {
    char path[sizeof(((struct sockaddr_un*)0)->sun_path)];
    pthread_mutex_t lock;
    pid_t owner;
    int fd;
    ino_t inode;
};

static const struct ChannelWait shortWait = {CHANNEL_ANSWER_LIMIT_MS, 0, NULL, NULL};

static pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
static struct Shared shared[MAX_SHARED];
static int sharedCount;

/* The listener's user when it listened: only this user's driver is asked anything. */
static int servedByThisUser(int fd) {
    struct ucred peer;
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid();
}

/* Non-blocking: a driver that takes no more connections (its backlog full) fails the
 * connect at once instead of holding the caller. */
static int connectTo(const char* path) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path)
        return -1;
    strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int result;
    do
        result = connect(fd, (struct sockaddr*)&address, sizeof address);
    while (result != 0 && errno == EINTR);
    if (result != 0 || !servedByThisUser(fd)) {
        realCalls()->close(fd);
        return -1;
    }
    return fd;
}

static long long nowMs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Until fd has the events, within the wait's limit: 1 when it may have them, or
 * CHANNEL_SILENT, CHANNEL_INTERRUPTED. */
static int awaitReady(int fd, short events, const struct ChannelWait* wait, long long* deadline) {
    for (;;) {
        long long left = *deadline - nowMs();
        if (left <= 0) {
            if (!wait->goOn || !wait->goOn(wait->context))
                return CHANNEL_SILENT;
            *deadline = nowMs() + wait->limitMs;
            continue;
        }
        struct pollfd ready = {fd, events, 0};
        int result = poll(&ready, 1, (int)left);
        if (result > 0 || (result < 0 && errno != EINTR))
            return 1; /* the send or recv tells what it is */
        if (result < 0 && wait->interruptible)
            return CHANNEL_INTERRUPTED;
    }
}

/* One request and its reply on fd. */
static int exchange(int fd, struct PortChannelRequest* request, struct PortChannelReply* reply,
                    const struct ChannelWait* wait) {
    long long deadline = nowMs() + wait->limitMs;
    request->version = PORT_CHANNEL_VERSION;
    size_t sent = 0;
    while (sent < sizeof *request) {
        ssize_t done = send(fd, (const char*)request + sent, sizeof *request - sent, MSG_NOSIGNAL);
        int ready = 1;
        if (done > 0)
            sent += (size_t)done;
        else if (done < 0 && errno == EAGAIN)
            ready = awaitReady(fd, POLLOUT, wait, &deadline);
        else if (done == 0 || errno != EINTR)
            return CHANNEL_LOST;
        if (ready != 1)
            return ready;
    }
    size_t received = 0;
    while (received < sizeof *reply) {
        ssize_t got = recv(fd, (char*)reply + received, sizeof *reply - received, 0);
        int ready = 1;
        if (got > 0)
            received += (size_t)got;
        else if (got < 0 && errno == EAGAIN)
            ready = awaitReady(fd, POLLIN, wait, &deadline);
        else if (got == 0 || errno != EINTR)
            return CHANNEL_LOST;
        if (ready != 1)
            return ready;
    }
    return reply->status;
}

int waitOnChannel(const char* channel, struct PortChannelRequest* request,
                  struct PortChannelReply* reply, const struct ChannelWait* wait) {
    int saved = errno;
    int fd = connectTo(channel);
    if (fd < 0) {
        errno = saved;
        return CHANNEL_UNREACHABLE;
    }
    int result = exchange(fd, request, reply, wait);
    realCalls()->close(fd);
    errno = saved;
    return result;
}

/* Entry lock held. */
static int usable(const struct Shared* entry) {
    struct stat status;
    return entry->fd >= 0 && entry->owner == getpid() && fstat(entry->fd, &status) == 0 &&
           S_ISSOCK(status.st_mode) && status.st_ino == entry->inode;
}

/* Entry lock held. Closes the connection unless the number now holds something else. */
static void drop(struct Shared* entry) {
    struct stat status;
    if (entry->fd >= 0 && fstat(entry->fd, &status) == 0 && status.st_ino == entry->inode)
        realCalls()->close(entry->fd);
    entry->fd = -1;
}

/* Entry lock held. */
static int reconnect(struct Shared* entry) {
    drop(entry);
    int fd = connectTo(entry->path);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
        if (fd >= 0)
            realCalls()->close(fd);
        return 0;
    }
    entry->fd = fd;
    entry->inode = status.st_ino;
    entry->owner = getpid();
    return 1;
}

static struct Shared* sharedFor(const char* channel) {
    if (strlen(channel) >= sizeof shared[0].path)
        return NULL;
    struct Shared* entry = NULL;
    pthread_mutex_lock(&tableLock);
    for (int i = 0; i < sharedCount && !entry; ++i) {
        if (strcmp(shared[i].path, channel) == 0)
            entry = &shared[i];
    }
    if (!entry && sharedCount < MAX_SHARED) {
        entry = &shared[sharedCount];
        strcpy(entry->path, channel);
        pthread_mutex_init(&entry->lock, NULL);
        entry->fd = -1;
        __atomic_store_n(&sharedCount, sharedCount + 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&tableLock);
    return entry;
}

int askChannel(const char* channel, struct PortChannelRequest* request,
               struct PortChannelReply* reply) {
    struct Shared* entry = sharedFor(channel);
    if (!entry)
        return waitOnChannel(channel, request, reply, &shortWait);
    int saved = errno;
    pthread_mutex_lock(&entry->lock);
    /* A connection kept from before may have been dropped by a manager that has been
     * restarted since: it is tried once more on a fresh one. */
    int fresh = !usable(entry);
    int result = CHANNEL_UNREACHABLE;
    if (!fresh || reconnect(entry))
        result = exchange(entry->fd, request, reply, &shortWait);
    if (result == CHANNEL_LOST && !fresh) {
        result = CHANNEL_UNREACHABLE;
        if (reconnect(entry))
            result = exchange(entry->fd, request, reply, &shortWait);
    }
    /* A reply that comes late would be taken for the next request's. */
    if (result == CHANNEL_LOST || result == CHANNEL_SILENT)
        drop(entry);
    pthread_mutex_unlock(&entry->lock);
    errno = saved;
    return result;
}

/* Tidiness only, so it never waits (close() may be called from a signal handler): a
 * connection whose number now holds something else is told apart by its inode anyway. */
void forgetChannelDescriptor(int fd) {
    int count = __atomic_load_n(&sharedCount, __ATOMIC_ACQUIRE);
    for (int i = 0; i < count; ++i) {
        if (pthread_mutex_trylock(&shared[i].lock) != 0)
            continue;
        if (shared[i].fd == fd && shared[i].owner == getpid())
            shared[i].fd = -1;
        pthread_mutex_unlock(&shared[i].lock);
    }
}

void lockChannelsForFork(void) {
    pthread_mutex_lock(&tableLock);
}

void unlockChannelsAfterFork(void) {
    pthread_mutex_unlock(&tableLock);
}

void resetChannelsAfterFork(void) {
    pthread_mutex_init(&tableLock, NULL);
    for (int i = 0; i < sharedCount; ++i)
        pthread_mutex_init(&shared[i].lock, NULL);
}
