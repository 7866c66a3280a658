// Wire-time arithmetic of an emulated serial line: 10 bits per byte (start,
// 8 data, stop) at a given baud rate. All times are nanoseconds on one
// monotonic clock. A burst is a run of bytes sent back to back; byte k of a
// burst is due when its last bit would have arrived. Every due time is
// computed from the burst's start, never by adding up per-byte durations, so
// a long stream does not drift.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linesim {

constexpr int kBitsPerByte = 10;
constexpr int64_t kNsPerSecond = 1000000000;

// Time at which the last bit of byte k (0-based) of a burst that started at
// burstStartNs has arrived: burstStartNs + ceil((k + 1) * 10 s / baud).
int64_t byteDueNs(uint32_t baud, int64_t burstStartNs, uint64_t k);

// How many bytes of a burst that started at burstStartNs have fully arrived
// by nowNs (0 when nowNs is before the start).
uint64_t bytesDueBy(uint32_t baud, int64_t burstStartNs, int64_t nowNs);

// The sending side of one direction of the wire. baud 0 means unthrottled.
struct WireClock {
    uint32_t baud = 0;
    int64_t burstStartNs = 0;
    uint64_t burstBytes = 0;   // bytes put on the wire in the current burst
};

// Where a group of bytes sits in the wire's schedule: byte i of the group
// is byte firstIndex + i of the burst that started at burstStartNs.
struct BurstSlot {
    int64_t burstStartNs;
    uint64_t firstIndex;
};

// Time at which the wire finishes the bytes already put on it.
int64_t wireFreeNs(const WireClock& wire);

// Puts n bytes that reached the sender at arrivalNs on the wire. They follow
// the current burst when the wire is still busy; after idle they start a
// fresh burst at arrivalNs, so idle time earns no credit.
BurstSlot scheduleBytes(WireClock& wire, int64_t arrivalNs, size_t n);

}  // namespace linesim
