#include "line_queue.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace linesim {

namespace {
constexpr int64_t kNeverNs = std::numeric_limits<int64_t>::max();
// A burst start so far back that any burst of the ring's size is due.
constexpr int64_t kLongAgoNs = -(int64_t(1) << 61);

// When the adapter passes on the batch that queued byte `first` opens.
int64_t batchReleaseNs(const LineQueue& queue, size_t first) {
    const int64_t timer = lineQueueDueNsAt(queue, first) + queue.latencyNs;
    return std::min(timer, lineQueueDueNsAt(queue, first + kAdapterPacketBytes - 1));
}
}  // namespace

void initLineQueue(LineQueue& queue, size_t capacity, uint32_t baud, int64_t latencyNs) {
    queue.ring.assign(capacity, 0);
    queue.head = 0;
    queue.size = 0;
    queue.wire = WireClock{};
    queue.wire.baud = baud;
    queue.bursts.clear();
    queue.latencyNs = latencyNs;
    queue.released = 0;
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

int64_t lineQueueDueNsAt(const LineQueue& queue, size_t index) {
    for (const QueuedBurst& burst : queue.bursts) {
        if (index < burst.count) {
            return byteDueNs(queue.wire.baud, burst.burstStartNs, burst.firstIndex + index);
        }
        index -= burst.count;
    }
    return kNeverNs;
}

int64_t lineQueueNextDueNs(const LineQueue& queue) {
    return lineQueueDueNsAt(queue, 0);
}

size_t lineQueueRelease(LineQueue& queue, int64_t nowNs) {
    if (queue.latencyNs == 0) {
        queue.released = std::max(queue.released, lineQueueDue(queue, nowNs));
        return queue.released;
    }
    // Batch by batch, each timed from its own first byte, so that the
    // batches are the same however late this is called.
    while (queue.released < queue.size) {
        const int64_t releaseNs = batchReleaseNs(queue, queue.released);
        if (releaseNs > nowNs) break;
        queue.released = std::min(queue.released + kAdapterPacketBytes,
                                  lineQueueDue(queue, releaseNs));
    }
    return queue.released;
}

int64_t lineQueueNextReleaseNs(const LineQueue& queue) {
    if (queue.released >= queue.size) return kNeverNs;
    if (queue.latencyNs == 0) return lineQueueDueNsAt(queue, queue.released);
    return batchReleaseNs(queue, queue.released);
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
    queue.released -= std::min(n, queue.released);
    while (n > 0 && !queue.bursts.empty()) {
        QueuedBurst& front = queue.bursts.front();
        const uint64_t taken = std::min<uint64_t>(n, front.count);
        front.firstIndex += taken;
        front.count -= taken;
        n -= taken;
        if (front.count == 0) queue.bursts.pop_front();
    }
}

void lineQueueRestart(LineQueue& queue, int64_t nowNs) {
    const size_t waiting = queue.size - queue.released;
    queue.bursts.clear();
    if (queue.released > 0) queue.bursts.push_back({kLongAgoNs, 0, queue.released});
    queue.wire.burstStartNs = nowNs;
    queue.wire.burstBytes = waiting;
    if (waiting > 0) queue.bursts.push_back({nowNs, 0, waiting});
}

}  // namespace linesim
