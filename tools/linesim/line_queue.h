// The bytes of one direction that were read from the source but not yet
// delivered: a fixed-size ring, plus, on a paced line, the wire schedule of
// every byte in it. The relay reads from the source only while the ring has
// room, which is how a slow reader pushes back on a fast writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "pacing.h"

namespace linesim {

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
    std::deque<QueuedBurst> bursts;   // empty on an unthrottled line
};

void initLineQueue(LineQueue& queue, size_t capacity, uint32_t baud);

size_t lineQueueFree(const LineQueue& queue);

// Appends n bytes (n <= lineQueueFree) that were read at arrivalNs.
void lineQueuePush(LineQueue& queue, const uint8_t* bytes, size_t n, int64_t arrivalNs);

// Number of bytes at the head whose last bit has arrived by nowNs.
size_t lineQueueDue(const LineQueue& queue, int64_t nowNs);

// Due time of the oldest queued byte; INT64_MAX when the queue is empty.
int64_t lineQueueNextDueNs(const LineQueue& queue);

// The longest run of head bytes, at most maxBytes, that is contiguous in the
// ring (the ring may wrap, so this can be shorter than what is due).
const uint8_t* lineQueueHead(const LineQueue& queue, size_t maxBytes, size_t* length);

void lineQueuePop(LineQueue& queue, size_t n);

}  // namespace linesim
