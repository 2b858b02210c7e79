#include "portdriver/ring_io.h"

#include <atomic>

namespace portdriver {

bool putPacket(RingQueue* queue, const uint8_t* bytes, int size) {
    // Only the reader frees room, so room seen here stays room until we are done.
    if (ringFreeSpace(queue) < size)
        return false;
    ringWrite(queue, bytes, size);
    return true;
}

int takeOpenResult(RingQueue* queue) {
    // Looks ahead instead of taking bytes and pushing them back: once readIndex has
    // moved, the manager may already be writing into the freed cells.
    std::atomic_ref<int32_t> readIndex(queue->readIndex);
    int32_t read = readIndex.load(std::memory_order_relaxed);
    int32_t write = std::atomic_ref(queue->writeIndex).load(std::memory_order_acquire);
    int available = (write - read + RING_SIZE) % RING_SIZE;
    auto at = [&](int offset) { return queue->data[(read + offset) % RING_SIZE]; };
    int result = -1;
    int taken = 0;
    while (taken < available) {
        if (at(taken) != PACKET_START ||
            (available - taken >= 2 && at(taken + 1) != CMD_OPEN_RESULT)) {
            ++taken;
            continue;
        }
        if (available - taken < 3)
            break; // incomplete: leave it for the next look
        result = at(taken + 2);
        taken += 3;
        break;
    }
    readIndex.store((read + taken) % RING_SIZE, std::memory_order_release);
    return result;
}

void drainRing(RingQueue* queue) {
    uint8_t ignored = 0;
    while (ringGet(queue, &ignored) == RING_OK) {
    }
}

int discardWholeFrames(RingQueue* queue) {
    uint8_t packet[PACKET_BUFFER_SIZE];
    int modemStatus = -1;
    while (readDriverPacket(queue, packet)) {
        if (packet[0] == CMD_MODEM_STATUS)
            modemStatus = packet[1];
    }
    return modemStatus;
}

} // namespace portdriver
