#include "rings/ring_queue.h"

#include <algorithm>
#include <cstring>

namespace {

using Index = std::atomic_ref<int32_t>;

int32_t advance(int32_t index, int32_t steps = 1) {
    return (index + steps) % RING_SIZE;
}
int32_t stepBack(int32_t index) {
    return index == 0 ? RING_SIZE - 1 : index - 1;
}
int32_t distance(int32_t from, int32_t to) {
    return (to - from + RING_SIZE) % RING_SIZE;
}

// C++20 has no atomic_ref<const T>; loads through it never write.
Index indexRef(const int32_t& field) {
    return Index(const_cast<int32_t&>(field));
}
std::atomic_ref<uint8_t> readyRef(const RingQueue* queue) {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(queue->dataReady));
}

// Parameter bytes after the command byte, or -1 for a byte that is no command. DATA
// gives its two length bytes here; its data bytes are added once the length is known.
int parameterCount(uint8_t command) {
    switch (command) {
    case CMD_SREQ:
        return 3;
    case CMD_DATA:
        return 2;
    case CMD_MCR:
    case CMD_MODEM_STATUS:
    case CMD_BREAK:
    case CMD_PURGE:
        return 1;
    case CMD_A:
    case CMD_B:
    case CMD_OPEN:
    case CMD_CLOSE:
        return 0;
    default:
        return -1;
    }
}

// The reader's view of the ring for one call: what it may look at (start .. end) and
// where it has got to. Nothing is given back to the writer until publish().
struct ReadCursor {
    RingQueue* queue;
    int32_t origin;
    int32_t start;
    int32_t end;

    int32_t available() const { return distance(start, end); }
    uint8_t at(int32_t offset) const { return queue->data[advance(start, offset)]; }
    void skip(int32_t count) { start = advance(start, count); }
    void publish() const {
        if (start != origin)
            Index(queue->readIndex).store(start, std::memory_order_release);
    }
};

// The same view of a plain byte array, for a writer that keeps track of where the
// reader's packets begin and end.
struct ArrayCursor {
    const uint8_t* bytes;
    int32_t count;
    int32_t start;

    int32_t available() const { return count - start; }
    uint8_t at(int32_t offset) const { return bytes[start + offset]; }
    void skip(int32_t skipped) { start += skipped; }
};

// Skips to the next 0xF0; false when the bytes ran out first.
template <typename Cursor> bool huntStartByte(Cursor& cursor) {
    while (cursor.available() > 0) {
        if (cursor.at(0) == PACKET_START)
            return true;
        cursor.skip(1);
    }
    return false;
}

// Whole length of the packet that starts at the cursor (0xF0 included): 0 while its
// length is not yet known, -1 when the bytes read so far must be dropped (unknown
// command byte: 2 bytes; DATA longer than 512: its 4 header bytes).
template <typename Cursor> int packetLength(const Cursor& cursor, int32_t& dropCount) {
    if (cursor.available() < 2)
        return 0;
    int parameters = parameterCount(cursor.at(1));
    if (parameters < 0) {
        dropCount = 2;
        return -1;
    }
    if (cursor.at(1) != CMD_DATA)
        return 2 + parameters;
    if (cursor.available() < 4)
        return 0;
    int n = cursor.at(2) * 256 + cursor.at(3);
    if (n > 512) {
        dropCount = 4;
        return -1;
    }
    return 4 + n;
}

// The packet after its 0xF0, in at most two pieces (the ring may wrap inside it).
void copyPacket(const ReadCursor& cursor, int length, uint8_t* buffer) {
    int32_t from = advance(cursor.start);
    int32_t count = length - 1;
    int32_t first = std::min(count, RING_SIZE - from);
    std::memcpy(buffer, cursor.queue->data + from, size_t(first));
    std::memcpy(buffer + first, cursor.queue->data, size_t(count - first));
}

} // namespace

int ringPut(RingQueue* queue, uint8_t byte) {
    if (!queue)
        return RING_NO_QUEUE;
    int32_t write = Index(queue->writeIndex).load(std::memory_order_relaxed);
    if (advance(write) == Index(queue->readIndex).load(std::memory_order_acquire))
        return RING_FULL;
    queue->data[write] = byte;
    Index(queue->writeIndex).store(advance(write), std::memory_order_release);
    return RING_OK;
}

int ringWrite(RingQueue* queue, const uint8_t* bytes, int count) {
    if (!queue || count <= 0)
        return 0;
    int32_t write = Index(queue->writeIndex).load(std::memory_order_relaxed);
    int32_t read = Index(queue->readIndex).load(std::memory_order_acquire);
    int free = (read - write - 1 + RING_SIZE) % RING_SIZE;
    int taken = count < free ? count : free;
    int first = taken < RING_SIZE - write ? taken : RING_SIZE - write;
    std::memcpy(queue->data + write, bytes, size_t(first));
    std::memcpy(queue->data, bytes + first, size_t(taken - first));
    Index(queue->writeIndex).store(advance(write, taken), std::memory_order_release);
    return taken;
}

int ringGet(RingQueue* queue, uint8_t* byte) {
    int32_t read = Index(queue->readIndex).load(std::memory_order_relaxed);
    if (read == Index(queue->writeIndex).load(std::memory_order_acquire))
        return RING_EMPTY;
    *byte = queue->data[read];
    Index(queue->readIndex).store(advance(read), std::memory_order_release);
    return RING_OK;
}

int ringUnget(RingQueue* queue, uint8_t byte) {
    if (ringFull(queue))
        return RING_FULL;
    int32_t read = stepBack(Index(queue->readIndex).load(std::memory_order_relaxed));
    queue->data[read] = byte;
    Index(queue->readIndex).store(read, std::memory_order_release);
    return RING_OK;
}

bool ringEmpty(const RingQueue* queue) {
    return indexRef(queue->readIndex).load(std::memory_order_acquire) ==
           indexRef(queue->writeIndex).load(std::memory_order_acquire);
}

bool ringFull(const RingQueue* queue) {
    return advance(indexRef(queue->writeIndex).load(std::memory_order_acquire)) ==
           indexRef(queue->readIndex).load(std::memory_order_acquire);
}

int ringFreeSpace(const RingQueue* queue) {
    int32_t write = indexRef(queue->writeIndex).load(std::memory_order_relaxed);
    int32_t read = indexRef(queue->readIndex).load(std::memory_order_acquire);
    return (read - write - 1 + RING_SIZE) % RING_SIZE;
}

void ringReset(RingQueue* queue) {
    std::memset(queue->data, 0, sizeof queue->data);
    std::memset(queue->fill, 0, sizeof queue->fill);
    ringSetCloseNotice(queue, false);
    std::atomic_ref<uint8_t>(queue->roomWanted).store(0, std::memory_order_relaxed);
    std::atomic_ref<uint8_t>(queue->dataReady).store(0, std::memory_order_relaxed);
    Index(queue->writeIndex).store(0, std::memory_order_release);
    Index(queue->readIndex).store(0, std::memory_order_release);
}

bool ringDataReady(const RingQueue* queue) {
    return readyRef(queue).load(std::memory_order_seq_cst) != 0;
}

// With the seq_cst clearing and re-reading in takeDriverPacket this is the
// store-buffer handshake: either the reader's second look sees the bytes put before
// this call, or its clearing comes first and the notice stays set. The no-op
// read-modify-write puts the writer's last writeIndex into the seq_cst order without
// a fence (ThreadSanitizer does not model fences).
void ringSetDataReady(RingQueue* queue, bool ready) {
    if (ready)
        Index(queue->writeIndex).fetch_add(0, std::memory_order_seq_cst);
    readyRef(queue).store(ready ? 1 : 0, std::memory_order_seq_cst);
}

bool ringCloseNotice(const RingQueue* queue) {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(queue->closeNotice))
               .load(std::memory_order_acquire) != 0;
}

void ringSetCloseNotice(RingQueue* queue, bool closed) {
    std::atomic_ref<uint8_t>(queue->closeNotice).store(closed ? 1 : 0, std::memory_order_release);
}

// The writer's store of the note and its next look at readIndex, and the reader's
// store of readIndex and its look at the note, are all in the seq_cst order, so at least
// one of the two sees the other (the no-op read-modify-writes stand for fences, which
// ThreadSanitizer does not model).
int ringNoteRoomWanted(RingQueue* queue) {
    std::atomic_ref<uint8_t>(queue->roomWanted).store(1, std::memory_order_seq_cst);
    Index(queue->readIndex).fetch_add(0, std::memory_order_seq_cst);
    return ringFreeSpace(queue);
}

bool ringTakeRoomWanted(RingQueue* queue) {
    Index(queue->readIndex).fetch_add(0, std::memory_order_seq_cst);
    std::atomic_ref<uint8_t> wanted(queue->roomWanted);
    return wanted.load(std::memory_order_seq_cst) != 0 &&
           wanted.exchange(0, std::memory_order_seq_cst) != 0;
}

namespace {

// Moves cursor over the bytes the reader drops, up to the next whole packet: its length,
// or 0 when none is complete (the cursor then stands at the undecided rest).
template <class Cursor> int nextWholePacket(Cursor& cursor) {
    while (huntStartByte(cursor)) {
        int32_t dropCount = 0;
        int length = packetLength(cursor, dropCount);
        if (length < 0) {
            cursor.skip(dropCount);
            continue;
        }
        return length > 0 && cursor.available() >= length ? length : 0;
    }
    return 0;
}

// Reads ahead with a private cursor instead of taking bytes and pushing an
// incomplete packet back: once readIndex has moved, the writer may already have
// filled the freed cells, and a push-back would overwrite them. readIndex only ever
// moves forward, over bytes dropped for good or over a whole packet.
int readPacket(RingQueue* queue, uint8_t* buffer, std::memory_order writeOrder) {
    int32_t read = Index(queue->readIndex).load(std::memory_order_relaxed);
    ReadCursor cursor{queue, read, read, Index(queue->writeIndex).load(writeOrder)};
    int length = nextWholePacket(cursor);
    if (length > 0) {
        copyPacket(cursor, length, buffer);
        cursor.skip(length);
    }
    cursor.publish();
    return length > 0 ? 1 : 0;
}

} // namespace

int readDriverPacket(RingQueue* queue, uint8_t* buffer) {
    return queue ? readPacket(queue, buffer, std::memory_order_acquire) : 0;
}

int takeDriverPacket(RingQueue* queue, uint8_t* buffer) {
    if (!queue || !ringDataReady(queue))
        return 0;
    if (readDriverPacket(queue, buffer))
        return 1;
    readyRef(queue).store(0, std::memory_order_seq_cst);
    if (!readPacket(queue, buffer, std::memory_order_seq_cst))
        return 0;
    // Packets may follow the one the writer's lost notice was about.
    readyRef(queue).store(1, std::memory_order_seq_cst);
    return 1;
}

int decidedLength(const uint8_t* bytes, int count) {
    ArrayCursor cursor{bytes, count, 0};
    while (int length = nextWholePacket(cursor))
        cursor.skip(length);
    return cursor.start;
}
