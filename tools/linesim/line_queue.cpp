#include "line_queue.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace linesim {

void initLineQueue(LineQueue& queue, size_t capacity, uint32_t baud) {
    queue.ring.assign(capacity, 0);
    queue.head = 0;
    queue.size = 0;
    queue.wire = WireClock{};
    queue.wire.baud = baud;
    queue.bursts.clear();
}

size_t lineQueueFree(const LineQueue& queue) {
    return queue.ring.size() - queue.size;
}

void lineQueuePush(LineQueue& queue, const uint8_t* bytes, size_t n, int64_t arrivalNs) {
    n = std::min(n, lineQueueFree(queue));
    if (n == 0) return;
    const size_t capacity = queue.ring.size();
    const size_t tail = (queue.head + queue.size) % capacity;
    const size_t first = std::min(n, capacity - tail);
    std::memcpy(queue.ring.data() + tail, bytes, first);
    std::memcpy(queue.ring.data(), bytes + first, n - first);
    queue.size += n;

    if (queue.wire.baud == 0) return;
    const BurstSlot slot = scheduleBytes(queue.wire, arrivalNs, n);
    if (!queue.bursts.empty()) {
        QueuedBurst& last = queue.bursts.back();
        if (last.burstStartNs == slot.burstStartNs &&
            last.firstIndex + last.count == slot.firstIndex) {
            last.count += n;
            return;
        }
    }
    queue.bursts.push_back({slot.burstStartNs, slot.firstIndex, n});
}

size_t lineQueueDue(const LineQueue& queue, int64_t nowNs) {
    if (queue.wire.baud == 0) return queue.size;
    size_t due = 0;
    for (const QueuedBurst& burst : queue.bursts) {
        const uint64_t arrived = bytesDueBy(queue.wire.baud, burst.burstStartNs, nowNs);
        if (arrived <= burst.firstIndex) break;
        const uint64_t dueHere = std::min(burst.count, arrived - burst.firstIndex);
        due += dueHere;
        if (dueHere < burst.count) break;
    }
    return due;
}

int64_t lineQueueNextDueNs(const LineQueue& queue) {
    if (queue.size == 0) return std::numeric_limits<int64_t>::max();
    if (queue.wire.baud == 0) return std::numeric_limits<int64_t>::min();
    const QueuedBurst& front = queue.bursts.front();
    return byteDueNs(queue.wire.baud, front.burstStartNs, front.firstIndex);
}

const uint8_t* lineQueueHead(const LineQueue& queue, size_t maxBytes, size_t* length) {
    const size_t contiguous = std::min(queue.size, queue.ring.size() - queue.head);
    *length = std::min(maxBytes, contiguous);
    return queue.ring.data() + queue.head;
}

void lineQueuePop(LineQueue& queue, size_t n) {
    n = std::min(n, queue.size);
    queue.head = (queue.head + n) % queue.ring.size();
    queue.size -= n;
    while (n > 0 && !queue.bursts.empty()) {
        QueuedBurst& front = queue.bursts.front();
        const uint64_t taken = std::min<uint64_t>(n, front.count);
        front.firstIndex += taken;
        front.count -= taken;
        n -= taken;
        if (front.count == 0) queue.bursts.pop_front();
    }
}

}  // namespace linesim
