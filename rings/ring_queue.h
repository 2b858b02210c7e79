#pragma once
// RingQueue: the 5132-byte byte ring shared by the manager and the port driver, one
// per direction and port, plus the packet reader that takes whole driver packets out.
// The block belongs to whoever allocated it (the driver for outQueue and inQueue, the
// Port Monitor for its private copy); these functions only work on it.
//
// One writer and one reader per ring, on different threads, without a lock: the
// writer stores a data byte before it publishes the advanced writeIndex (release),
// the reader loads writeIndex with acquire before it reads the byte, and the same
// the other way round for readIndex, so the writer never overwrites an unread cell.
// dataReady is a hint: the writer sets it after putting bytes in, the reader clears
// it when it finds no complete packet. docs/driver_packets.md has the packet format
// and the ordering rules.
#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr int RING_SIZE = 5120;
constexpr int RING_BLOCK_SIZE = 5132;
constexpr int PACKET_BUFFER_SIZE = 515;

struct RingQueue {
    int32_t readIndex;  // next byte to take out, 0..5119
    int32_t writeIndex; // where the next byte goes in, 0..5119
    uint8_t dataReady;  // 0 or 1
    uint8_t data[RING_SIZE];
    // The application has closed the port (outQueue only; see ringSetCloseNotice).
    uint8_t closeNotice;
    // The writer waits for room (see ringNoteRoomWanted).
    uint8_t roomWanted;
    uint8_t fill[1]; // stays zero
};

static_assert(sizeof(RingQueue) == RING_BLOCK_SIZE);
static_assert(offsetof(RingQueue, readIndex) == 0);
static_assert(offsetof(RingQueue, writeIndex) == 4);
static_assert(offsetof(RingQueue, dataReady) == 8);
static_assert(offsetof(RingQueue, data) == 9);
static_assert(offsetof(RingQueue, closeNotice) == 5129);
static_assert(offsetof(RingQueue, roomWanted) == 5130);
static_assert(offsetof(RingQueue, fill) == 5131);
static_assert(alignof(RingQueue) == 4, "atomic_ref on the indices needs 4-byte alignment");

enum : int {
    RING_OK = 0,
    RING_EMPTY = 1, // ringGet: nothing to take; ringPut: no queue
    RING_NO_QUEUE = 1,
    RING_FULL = 2,
};

// Driver packet command bytes (the byte after the 0xF0 start byte).
enum : uint8_t {
    PACKET_START = 0xF0,
    CMD_SREQ = '!',
    CMD_DATA = '1',
    CMD_MCR = 'A',
    CMD_BREAK = 'B', // 1: break on, 0: off
    CMD_MODEM_STATUS = 'C',
    CMD_PURGE = 'P', // PURGE_RECEIVE | PURGE_TRANSMIT
    CMD_A = 'a',
    CMD_B = 'b',
    CMD_OPEN = 'q',
    CMD_CLOSE = 'r',
};

// PURGE's bits, from the application's side: its input (the device's bytes not yet read)
// and its output (its bytes not yet sent).
enum : uint8_t { PURGE_RECEIVE = 0x01, PURGE_TRANSMIT = 0x02 };

// Writer side: ringPut. 0 stored, 1 no queue (null), 2 full (nothing stored).
int ringPut(RingQueue* queue, uint8_t byte);
// Writer side: puts as many of count bytes as there is room for, in one step (the
// reader sees them all at once); how many it put. 0 for a null queue.
int ringWrite(RingQueue* queue, const uint8_t* bytes, int count);
// Reader side: 0 taken, 1 empty.
int ringGet(RingQueue* queue, uint8_t* byte);
// Reader side: steps readIndex back and stores byte there; 0 pushed back, 2 full.
// Only for a ring no other thread writes at the same time (the Port Monitor's private
// ring): a concurrent writer may fill the cell between the full test and the step
// back, and the ring then looks empty. readDriverPacket does not use it.
int ringUnget(RingQueue* queue, uint8_t byte);
// Either side.
bool ringEmpty(const RingQueue* queue);
bool ringFull(const RingQueue* queue);
// Writer side: how many bytes ringPut can store now (the reader may free more). The
// writer's own writeIndex needs no ordering; readIndex is loaded with acquire, so the
// room it reports holds no byte the reader has not finished taking. Another thread may
// ask too (the relay thread, tests), for a count it does not read the ring's bytes by.
int ringFreeSpace(const RingQueue* queue);
// Sets all 5132 bytes to zero: an empty ring with dataReady 0. It moves both indices,
// so neither side may be using the ring at that moment.
void ringReset(RingQueue* queue);

// dataReady, read and written with the orderings the handshake needs. The writer
// calls ringSetDataReady(queue, true) after its ringPut calls.
bool ringDataReady(const RingQueue* queue);
void ringSetDataReady(RingQueue* queue, bool ready);

// The driver's notice, beside the packets, that the application has closed the port:
// set on the outQueue as soon as the driver sees the close (its CLOSE packet may still
// wait for room behind data the manager holds back), cleared when a new session
// begins. The manager, which leaves the queue alone while it re-establishes a
// connection, looks for the CLOSE at once when the notice is up. Writer: the driver.
bool ringCloseNotice(const RingQueue* queue);
void ringSetCloseNotice(RingQueue* queue, bool closed);

// The room handshake. A writer that finds too little room notes that it waits and then
// looks at the room once more: room freed before the note is seen by that look, and a
// reader that takes after the note finds it with ringTakeRoomWanted and signals the
// writer (the driver's read event for the outQueue, its slice event for the inQueue).
// Looking at the room before the take instead would miss a writer that fills the ring
// between that look and the take, and leave it waiting for a signal that never comes.
// Writer side: notes the wait; returns the room there is now.
int ringNoteRoomWanted(RingQueue* queue);
// Reader side, after a take or a drop: true, once, when the writer waits for room.
bool ringTakeRoomWanted(RingQueue* queue);

// Reader side. Takes one whole packet out of queue into buffer (at least 515 bytes),
// without its 0xF0: the command byte, then its parameters. 1 when a packet was taken,
// 0 when there is none complete (an incomplete one is left exactly where it was,
// only the bytes before its 0xF0 are gone) or queue is null. Bytes that cannot start
// a packet are dropped for good. Safe while the writer puts bytes in.
int readDriverPacket(RingQueue* queue, uint8_t* buffer);

// Reader side: the reader protocol in one call, for the relay thread. 0 at once when
// queue is null or dataReady is 0. Otherwise readDriverPacket; when it finds nothing,
// clears dataReady and looks once more, because the writer may have put a packet and
// set dataReady in between (its notice would otherwise be lost until it writes
// again). A packet found by that second look sets dataReady again, since more may
// follow it. Returns 1 with the packet in buffer, or 0.
int takeDriverPacket(RingQueue* queue, uint8_t* buffer);

// Writer side: how many of count bytes, which begin where the reader is between
// packets, the packet reader decides on: whole packets and the bytes it drops. The
// rest is the beginning of a packet that is not complete yet. A writer that puts only
// decided bytes into the ring leaves the reader between packets after each write.
int decidedLength(const uint8_t* bytes, int count);
