#pragma once
// The driver's side of the shared rings: whole packets into the outQueue (never a
// half packet, so the manager's reader is not left waiting on a tail that will not
// come) and the open result out of the inQueue; the room is the ring's own
// ringFreeSpace. The driver is the outQueue's only writer and the inQueue's only
// reader; these run on the driver thread.
#include "rings/ring_queue.h"

#include <cstdint>

namespace portdriver {

constexpr uint8_t CMD_OPEN_RESULT = 0xA1;

// Puts all size bytes or, when they do not fit, none. False when they did not fit.
bool putPacket(RingQueue* queue, const uint8_t* bytes, int size);
// The result byte of an OPEN_RESULT (F0 A1 r E0) when one has arrived, -1 when not
// yet. Other bytes before it are discarded; an incomplete one is left in place.
// Safe while the manager writes.
int takeOpenResult(RingQueue* queue);
// Discards everything queued (reader side).
void drainRing(RingQueue* queue);
// Discards the whole device frames queued, leaving a frame still being written where
// it is, so that what follows it is read in step. The last modem status among them,
// or -1.
int discardWholeFrames(RingQueue* queue);

} // namespace portdriver
