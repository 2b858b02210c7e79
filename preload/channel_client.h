#pragma once
/* The library's end of a port's control channel (rings/port_channel.h). Short requests
 * share one connection per port and process, one request at a time; a request that
 * waits (the open, a modem line change) takes a connection of its own, so that it holds
 * up nothing else and a signal can give it up. A connection inherited through fork()
 * stays the parent's: the child makes its own. Any thread.
 *
 * Only a channel served by this user is used: a listener of another user (its peer
 * credentials) counts as none. No answer is waited for without a limit: a channel that
 * says nothing within it is given up (its connection closed, so the driver forgets the
 * request). */
#include "rings/port_channel.h"

enum {
    /* Nothing of this user listens on the channel (a manager without it), or it takes no
     * more connections now: the caller does what it would do without the library. */
    CHANNEL_UNREACHABLE = -1,
    /* A signal ended a wait that may be interrupted. */
    CHANNEL_INTERRUPTED = -2,
    /* The driver closed the connection before it answered: the port went away (removed,
     * or the manager ended). */
    CHANNEL_LOST = -3,
    /* No answer within the limit: the driver cannot serve the channel now. */
    CHANNEL_SILENT = -4,
};

/* A short request's limit: the driver answers those in its next round, unless the
 * device server has stopped taking the port's data. */
enum { CHANNEL_ANSWER_LIMIT_MS = 5000 };

/* How a request on a connection of its own waits for its answer. */
struct ChannelWait {
    int limitMs;
    /* A signal that interrupts the wait gives CHANNEL_INTERRUPTED; otherwise the wait
     * goes on. */
    int interruptible;
    /* Asked each time limitMs has passed without an answer: nonzero to wait as long
     * again (a wait for a modem line has no end of its own). Null: CHANNEL_SILENT. */
    int (*goOn)(void* context);
    void* context;
};

/* Sends the request (its version is filled in) and waits for the reply, at most
 * CHANNEL_ANSWER_LIMIT_MS: the reply's status, or one of the values above. */
int askChannel(const char* channel, struct PortChannelRequest* request,
               struct PortChannelReply* reply);
/* The same on a connection of its own, waiting as wait says. */
int waitOnChannel(const char* channel, struct PortChannelRequest* request,
                  struct PortChannelReply* reply, const struct ChannelWait* wait);
/* The application closed fd: if it was a channel connection, it is not closed again. */
void forgetChannelDescriptor(int fd);
/* fork() helpers: around the fork, and in the child after it. */
void lockChannelsForFork(void);
void unlockChannelsAfterFork(void);
void resetChannelsAfterFork(void);
