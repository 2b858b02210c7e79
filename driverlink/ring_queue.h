#pragma once
// RingQueue: the 5132-byte byte ring shared by the manager and the port driver, one
// per direction and port, plus the packet reader that takes whole driver packets out.
//
// One writer and one reader per ring, on different threads, without a lock: the
// writer stores a data byte before it publishes the advanced writeIndex (release),
// the reader loads writeIndex with acquire before it reads the byte, and the same
// the other way round for readIndex. dataReady is a hint: the writer sets it after
// putting bytes in, the reader clears it when it finds no complete packet.
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
    uint8_t fill[3];
};

static_assert(sizeof(RingQueue) == RING_BLOCK_SIZE);
static_assert(offsetof(RingQueue, readIndex) == 0);
static_assert(offsetof(RingQueue, writeIndex) == 4);
static_assert(offsetof(RingQueue, dataReady) == 8);
static_assert(offsetof(RingQueue, data) == 9);
static_assert(offsetof(RingQueue, fill) == 5129);

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
    CMD_MODEM_STATUS = 'C',
    CMD_A = 'a',
    CMD_B = 'b',
    CMD_OPEN = 'q',
    CMD_CLOSE = 'r',
};

int ringPut(RingQueue* queue, uint8_t byte);
int ringGet(RingQueue* queue, uint8_t* byte);
int ringUnget(RingQueue* queue, uint8_t byte);
bool ringEmpty(const RingQueue* queue);
bool ringFull(const RingQueue* queue);
// Sets all 5132 bytes to zero: an empty ring with dataReady 0.
void ringReset(RingQueue* queue);

// dataReady, read and written with the orderings the handshake needs.
bool ringDataReady(const RingQueue* queue);
void ringSetDataReady(RingQueue* queue, bool ready);

// Takes one whole packet out of queue into buffer (at least 515 bytes), without its
// 0xF0: the command byte, then its parameters. 1 when a packet was taken, 0 when
// there is none complete (an incomplete one is left exactly where it was).
int readDriverPacket(RingQueue* queue, uint8_t* buffer);
