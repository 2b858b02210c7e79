#define _GNU_SOURCE
#include "preload/port_lookup.h"

#include "rings/port_channel.h"
#include "rings/port_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

enum {
    MAX_DESCRIPTORS = 64,
    MAX_FOLDERS = 4,
    MAX_HOPS = 16,
    /* Unix98 pty slaves: majors 136..143. */
    PTY_SLAVE_MAJOR = 136,
    PTY_SLAVE_MAJORS = 8,
};

struct Known {
    int fd;
    struct PortDescriptor port;
};

/* Under lock. The folders learnt come in addition to the default one. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct Known known[MAX_DESCRIPTORS];
static int knownCount;
static char folders[MAX_FOLDERS][PATH_MAX];
static int folderCount;

static int ptySlaveOf(int fd, dev_t* slave) {
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode))
        return 0;
    unsigned int major = major(status.st_rdev);
    if (major < PTY_SLAVE_MAJOR || major >= PTY_SLAVE_MAJOR + PTY_SLAVE_MAJORS)
        return 0;
    *slave = status.st_rdev;
    return 1;
}

/* The manager's rules for its folders: a real folder (not a link) of this user that no
 * one else may write into, so nobody else can put a link or a socket there or replace
 * one between a look and its use. */
static int privateFolder(const char* folder) {
    struct stat status;
    return lstat(folder, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
           !(status.st_mode & (S_IWGRP | S_IWOTH));
}

/* An entry of the given type that this user owns: another user's link or socket is
 * never acted on. */
static int ownEntry(const char* path, mode_t type) {
    struct stat status;
    return lstat(path, &status) == 0 && (status.st_mode & S_IFMT) == type &&
           status.st_uid == geteuid();
}

/* The link is a port's: this user's own, with this user's channel socket beside it, in
 * a private folder. */
static int channelBeside(const char* link, dev_t slave, struct PortDescriptor* port) {
    int length = snprintf(port->channel, sizeof port->channel, "%s%s", link, PORT_CHANNEL_SUFFIX);
    if (length < 0 || (size_t)length >= sizeof port->channel)
        return 0;
    if (!ownEntry(port->channel, S_IFSOCK) || !ownEntry(link, S_IFLNK))
        return 0;
    char folder[PATH_MAX];
    snprintf(folder, sizeof folder, "%s", link);
    char* slash = strrchr(folder, '/');
    if (!slash)
        snprintf(folder, sizeof folder, ".");
    else if (slash == folder)
        slash[1] = 0;
    else
        *slash = 0;
    if (!privateFolder(folder))
        return 0;
    port->slave = slave;
    return 1;
}

static int leadsTo(const char* path, dev_t slave) {
    struct stat status;
    return stat(path, &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == slave;
}

/* The link, or the link beside it that names the port's open session (a descriptor of the
 * session the application got otherwise than by the link), leads to the slave, and the
 * port's channel is beside it. */
static int linkMatches(const char* link, dev_t slave, struct PortDescriptor* port) {
    char session[PATH_MAX];
    int length = snprintf(session, sizeof session, "%s%s", link, PORT_SESSION_SUFFIX);
    int ownSession = length > 0 && (size_t)length < sizeof session && ownEntry(session, S_IFLNK) &&
                     leadsTo(session, slave);
    if (!ownSession && !leadsTo(link, slave))
        return 0;
    return channelBeside(link, slave, port);
}

static int searchFolder(const char* folder, dev_t slave, struct PortDescriptor* port) {
    if (!privateFolder(folder))
        return 0;
    DIR* directory = opendir(folder);
    if (!directory)
        return 0;
    int found = 0;
    struct dirent* entry;
    while (!found && (entry = readdir(directory))) {
        char link[PATH_MAX];
        int length = snprintf(link, sizeof link, "%s/%s", folder, entry->d_name);
        if (isPortName(entry->d_name) && length > 0 && (size_t)length < sizeof link)
            found = linkMatches(link, slave, port);
    }
    closedir(directory);
    return found;
}

/* The manager's own default, as it chooses it. */
static void defaultFolder(char* folder, size_t size) {
    const char* devices = getenv("QUORVALINK_DEVDIR");
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (devices && *devices)
        snprintf(folder, size, "%s", devices);
    else
        snprintf(folder, size, "%s/quorvalink", runtime && *runtime ? runtime : "/tmp");
}

/* Lock held. */
static int searchFolders(dev_t slave, struct PortDescriptor* port) {
    char folder[PATH_MAX];
    defaultFolder(folder, sizeof folder);
    if (searchFolder(folder, slave, port))
        return 1;
    for (int i = 0; i < folderCount; ++i) {
        if (searchFolder(folders[i], slave, port))
            return 1;
    }
    return 0;
}

/* Lock held. The folder of the port's link (its channel's folder). */
static void learnFolder(const char* channel) {
    char folder[PATH_MAX];
    snprintf(folder, sizeof folder, "%s", channel);
    char* slash = strrchr(folder, '/');
    if (!slash || slash == folder)
        return;
    *slash = 0;
    for (int i = 0; i < folderCount; ++i) {
        if (strcmp(folders[i], folder) == 0)
            return;
    }
    if (folderCount == MAX_FOLDERS) {
        memmove(folders[0], folders[1], sizeof folders[0] * (MAX_FOLDERS - 1));
        --folderCount;
    }
    snprintf(folders[folderCount++], sizeof folders[0], "%s", folder);
}

/* Lock held. */
static void remember(int fd, const struct PortDescriptor* port) {
    int at = 0;
    while (at < knownCount && known[at].fd != fd)
        ++at;
    if (at == MAX_DESCRIPTORS) {
        memmove(&known[0], &known[1], sizeof known[0] * (MAX_DESCRIPTORS - 1));
        at = MAX_DESCRIPTORS - 1;
    } else if (at == knownCount) {
        __atomic_store_n(&knownCount, knownCount + 1, __ATOMIC_RELEASE);
    }
    known[at].fd = fd;
    known[at].port = *port;
}

/* Lock held. */
static int recalled(int fd, dev_t slave, struct PortDescriptor* port) {
    for (int i = 0; i < knownCount; ++i) {
        if (known[i].fd == fd && known[i].port.slave == slave) {
            *port = known[i].port;
            return 1;
        }
    }
    return 0;
}

int findPort(int fd, struct PortDescriptor* port) {
    dev_t slave;
    if (!ptySlaveOf(fd, &slave))
        return 0;
    pthread_mutex_lock(&lock);
    int found = recalled(fd, slave, port) || searchFolders(slave, port);
    if (found)
        remember(fd, port);
    pthread_mutex_unlock(&lock);
    return found;
}

/* The path as an absolute one: relative paths are taken from dirfd (openat) or the
 * current folder. */
static int absolutePath(int dirfd, const char* path, char* out) {
    if (path[0] == '/')
        return snprintf(out, PATH_MAX, "%s", path) < PATH_MAX;
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
        if (!getcwd(base, sizeof base))
            return 0;
    } else {
        char self[64];
        snprintf(self, sizeof self, "/proc/self/fd/%d", dirfd);
        ssize_t length = readlink(self, base, sizeof base - 1);
        if (length <= 0)
            return 0;
        base[length] = 0;
    }
    int length = snprintf(out, PATH_MAX, "%s/%s", base, path);
    return length > 0 && length < PATH_MAX;
}

/* Follows the path's links one by one, looking for a port's link among them (a Wine
 * dosdevices entry or a link of the user's own leads to the port's link, which leads
 * to the slave). The link need not lead to this slave any more: the driver may have hung
 * the open up already and put a fresh pty behind it, and the channel then tells why. */
static int walkLinks(int dirfd, const char* path, dev_t slave, struct PortDescriptor* port) {
    /* Most paths an application opens are no links at all: one look settles them. */
    struct stat first;
    if (fstatat(dirfd, path, &first, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(first.st_mode))
        return 0;
    char current[PATH_MAX];
    if (!absolutePath(dirfd, path, current))
        return 0;
    for (int hop = 0; hop < MAX_HOPS; ++hop) {
        struct stat status;
        if (lstat(current, &status) != 0 || !S_ISLNK(status.st_mode))
            return 0;
        if (channelBeside(current, slave, port))
            return 1;
        char target[PATH_MAX];
        ssize_t length = readlink(current, target, sizeof target - 1);
        if (length <= 0)
            return 0;
        target[length] = 0;
        if (target[0] == '/') {
            memcpy(current, target, (size_t)length + 1);
            continue;
        }
        char* slash = strrchr(current, '/');
        size_t kept = (size_t)(slash - current) + 1;
        if (kept + (size_t)length >= PATH_MAX)
            return 0;
        memcpy(current + kept, target, (size_t)length + 1);
    }
    return 0;
}

int findOpenedPort(int fd, int dirfd, const char* path, struct PortDescriptor* port) {
    dev_t slave;
    if (!ptySlaveOf(fd, &slave))
        return 0;
    pthread_mutex_lock(&lock);
    int found = walkLinks(dirfd, path, slave, port);
    if (found)
        learnFolder(port->channel);
    else
        found = searchFolders(slave, port);
    if (found)
        remember(fd, port);
    pthread_mutex_unlock(&lock);
    return found;
}

int isPortPath(int dirfd, const char* path) {
    struct PortDescriptor port;
    return walkLinks(dirfd, path, 0, &port);
}

/* Tidiness only, so it never waits (close() may be called from a signal handler): a
 * record left behind is recalled only for the same slave, which is the same port. */
void forgetDescriptor(int fd) {
    if (__atomic_load_n(&knownCount, __ATOMIC_ACQUIRE) == 0 || pthread_mutex_trylock(&lock) != 0)
        return;
    for (int i = 0; i < knownCount; ++i) {
        if (known[i].fd == fd) {
            known[i] = known[knownCount - 1];
            __atomic_store_n(&knownCount, knownCount - 1, __ATOMIC_RELEASE);
            break;
        }
    }
    pthread_mutex_unlock(&lock);
}

void resetPortLookupAfterFork(void) {
    pthread_mutex_init(&lock, NULL);
}
