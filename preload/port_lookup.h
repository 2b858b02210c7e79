#pragma once
/* Which of the application's descriptors are virtual ports, and where each port's
 * control channel is. A port's descriptor is a pty slave, and the port is the one whose
 * link (COM5 in the device folder) leads to that very slave; its channel is the socket
 * beside the link (COM5.ctl). The device folders looked in are the manager's default
 * (${QUORVALINK_DEVDIR:-${XDG_RUNTIME_DIR:-/tmp}/quorvalink}) and every folder whose
 * link the application opened by another way (a symlink of its own, Wine's dosdevices).
 * A descriptor the process got from elsewhere (inherited, passed over a socket as Wine's
 * server does) is recognised the same way, by its slave.
 *
 * The manager's rules for its folders hold here too: a link and its socket count only
 * when both are this user's and lie in a real folder of this user that no one else may
 * write into (the default folder may be the shared /tmp/quorvalink). Anything else is
 * not a port: the descriptor is left as without the library.
 *
 * Known descriptors are remembered, keyed by descriptor and slave, so a number reused
 * for another file is looked up again. Any thread. */
#include <limits.h>
#include <sys/types.h>

struct PortDescriptor {
    dev_t slave;            /* st_rdev of the pty slave */
    char channel[PATH_MAX]; /* the control channel's socket */
};

/* 1 when fd is a virtual port's pty slave; fills port. */
int findPort(int fd, struct PortDescriptor* port);
/* The same for a descriptor just opened by path (relative to dirfd, as openat takes
 * it): the path's own chain of links is looked at first, which teaches the folder. */
int findOpenedPort(int fd, int dirfd, const char* path, struct PortDescriptor* port);
/* 1 when the path (relative to dirfd) leads through a port's link, before it is opened. */
int isPortPath(int dirfd, const char* path);
/* The application closed fd. */
void forgetDescriptor(int fd);
/* In a child after fork(): the locks are free again. */
void resetPortLookupAfterFork(void);
