// The bytes of one direction that were read from the source but not yet
// delivered: a fixed-size ring, plus the wire schedule of every byte in it,
// plus the receiving adapter that passes bytes on to the far end. The relay
// reads from the source only while the ring has room, which is how a slow
// reader pushes back on a fast writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "pacing.h"

namespace linesim {

// A USB full-speed packet of a serial adapter: 64 bytes, 2 of them status.
constexpr size_t kAdapterPacketBytes = 62;

struct QueuedBurst {
    int64_t burstStartNs;
    uint64_t firstIndex;   // burst index of the oldest byte still queued
    uint64_t count;        // bytes of this burst still queued
};

struct LineQueue {
    std::vector<uint8_t> ring;
    size_t head = 0;
    size_t size = 0;
    WireClock wire;
    std::deque<QueuedBurst> bursts;
    // The receiving adapter's latency timer: 0 passes every byte on as it
    // arrives. Otherwise a batch, opened by the first byte that arrives while
    // the adapter holds none, is passed on once latencyNs have passed since
    // that byte arrived, or at once when it reaches kAdapterPacketBytes.
    int64_t latencyNs = 0;
    size_t released = 0;   // head bytes the adapter has passed on, not yet delivered
};

void initLineQueue(LineQueue& queue, size_t capacity, uint32_t baud, int64_t latencyNs = 0);

size_t lineQueueFree(const LineQueue& queue);

// Appends n bytes (n <= lineQueueFree) that were read at arrivalNs.
void lineQueuePush(LineQueue& queue, const uint8_t* bytes, size_t n, int64_t arrivalNs);

// Number of bytes at the head whose last bit has arrived by nowNs.
size_t lineQueueDue(const LineQueue& queue, int64_t nowNs);

// Time at which the last bit of queued byte `index` (0 = head) arrives;
// INT64_MAX past the end.
int64_t lineQueueDueNsAt(const LineQueue& queue, size_t index);

// Due time of the oldest queued byte; INT64_MAX when the queue is empty.
int64_t lineQueueNextDueNs(const LineQueue& queue);

// Lets the adapter pass on every batch whose time has come by nowNs, and
// returns how many head bytes may be delivered now.
size_t lineQueueRelease(LineQueue& queue, int64_t nowNs);

// When the adapter passes on the next bytes it still holds (possibly in the
// past, until lineQueueRelease is called); INT64_MAX when it holds none.
int64_t lineQueueNextReleaseNs(const LineQueue& queue);

// The longest run of head bytes, at most maxBytes, that is contiguous in the
// ring (the ring may wrap, so this can be shorter than what is due).
const uint8_t* lineQueueHead(const LineQueue& queue, size_t maxBytes, size_t* length);

void lineQueuePop(LineQueue& queue, size_t n);

// Puts the bytes the adapter has not passed on back on the wire from nowNs,
// as after a transmitter that flow control stopped starts again; the bytes
// passed on stay due.
void lineQueueRestart(LineQueue& queue, int64_t nowNs);

}  // namespace linesim
