#pragma once
/* The library's end of a port's control channel (rings/port_channel.h). Short requests
 * share one connection per port and process, one request at a time; a request that
 * waits (the open, a modem line change) takes a connection of its own, so that it holds
 * up nothing else and a signal can give it up. A connection inherited through fork()
 * stays the parent's: the child makes its own. Any thread. */
#include "rings/port_channel.h"

enum {
    /* Nothing listens on the channel (a manager without it): the caller does what it
     * would do without the library. */
    CHANNEL_UNREACHABLE = -1,
    /* A signal ended a wait that may be interrupted. */
    CHANNEL_INTERRUPTED = -2,
    /* The driver closed the connection before it answered: the port went away (removed,
     * or the manager ended). */
    CHANNEL_LOST = -3,
};

/* Sends the request (its version is filled in) and waits for the reply: the reply's
 * status, or one of the values above. */
int askChannel(const char* channel, struct PortChannelRequest* request,
               struct PortChannelReply* reply);
/* The same on a connection of its own; with interruptible set, a signal that
 * interrupts the wait gives CHANNEL_INTERRUPTED (the driver forgets the request). */
int waitOnChannel(const char* channel, struct PortChannelRequest* request,
                  struct PortChannelReply* reply, int interruptible);
/* The application closed fd: if it was a channel connection, it is not closed again. */
void forgetChannelDescriptor(int fd);
/* fork() helpers: around the fork, and in the child after it. */
void lockChannelsForFork(void);
void unlockChannelsAfterFork(void);
void resetChannelsAfterFork(void);
