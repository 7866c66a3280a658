// Unit tests of the line simulator's pure parts: wire pacing, the relay
// queue and the fault injector.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "fault_injector.h"
#include "line_queue.h"
#include "pacing.h"

using namespace linesim;

namespace {

// Wire time of n bytes at a baud rate, in exact (real-valued) nanoseconds.
double idealNs(uint64_t n, uint32_t baud) {
    return double(n) * kBitsPerByte * kNsPerSecond / baud;
}

std::vector<uint8_t> patternBytes(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i * 7 + (i >> 8));
    return bytes;
}

std::vector<uint8_t> runFaults(const FaultRates& rates, uint64_t seed, uint64_t stream,
                               const std::vector<uint8_t>& in, FaultCounters* counters = nullptr) {
    FaultInjector injector;
    initFaultInjector(injector, rates, seed, stream);
    std::vector<uint8_t> out;
    injectFaults(injector, in.data(), in.size(), out);
    if (counters) *counters = injector.counters;
    return out;
}

bool isSubsequence(const std::vector<uint8_t>& small, const std::vector<uint8_t>& big) {
    size_t j = 0;
    for (size_t i = 0; i < big.size() && j < small.size(); ++i) {
        if (big[i] == small[j]) ++j;
    }
    return j == small.size();
}

}  // namespace

TEST(LinesimPacing, NBytesTakeTenBitsEachAtTheBaud) {
    for (uint32_t baud : {300u, 9600u, 115200u, 921600u, 3000000u}) {
        // 3e9 bytes: (k + 1) * 10 s no longer fits in 64 bits.
        for (uint64_t n : {1ull, 2ull, 1000ull, 123457ull, 3000000000ull}) {
            const int64_t start = 5 * kNsPerSecond;
            const int64_t due = byteDueNs(baud, start, n - 1);
            const double ideal = idealNs(n, baud);
            EXPECT_NEAR(double(due - start), ideal, std::max(1.0, ideal * 1e-15)) << baud << " " << n;
            // Due-count and due-time agree exactly at the boundary.
            EXPECT_EQ(bytesDueBy(baud, start, due), n);
            EXPECT_EQ(bytesDueBy(baud, start, due - 1), n - 1);
        }
    }
    EXPECT_EQ(bytesDueBy(9600, 1000, 999), 0u);
}

TEST(LinesimPacing, BurstAfterIdleEarnsNoCredit) {
    const uint32_t baud = 9600;
    WireClock wire;
    wire.baud = baud;
    const BurstSlot first = scheduleBytes(wire, 0, 100);
    EXPECT_EQ(first.firstIndex, 0u);

    // Bytes that arrive while the wire is still busy queue behind the burst.
    const int64_t busy = byteDueNs(baud, 0, 49);
    const BurstSlot joined = scheduleBytes(wire, busy, 50);
    EXPECT_EQ(joined.burstStartNs, 0);
    EXPECT_EQ(joined.firstIndex, 100u);

    // Ten idle seconds later a burst starts afresh: its first byte needs a
    // full byte time from its own arrival, not from the old schedule.
    const int64_t later = 10 * kNsPerSecond;
    const BurstSlot fresh = scheduleBytes(wire, later, 2000);
    EXPECT_EQ(fresh.burstStartNs, later);
    EXPECT_EQ(fresh.firstIndex, 0u);
    EXPECT_GE(byteDueNs(baud, fresh.burstStartNs, 0) - later, int64_t(idealNs(1, baud)));
    EXPECT_NEAR(double(wireFreeNs(wire) - later), idealNs(2000, baud), 1.0);
}

// A writer slightly faster than the wire, in uneven chunks, for a million
// bytes: the last byte must land exactly where one long burst puts it.
TEST(LinesimPacing, LongStreamDoesNotDrift) {
    const uint32_t baud = 115200;
    LineQueue queue;
    initLineQueue(queue, 1 << 16, baud);
    std::mt19937_64 rng(3);
    const uint64_t total = 1000000;
    uint64_t pushed = 0, delivered = 0;
    int64_t now = 0;
    std::vector<uint8_t> chunk(64, 0x55);
    size_t n = chunk.size();
    while (delivered < total) {
        if (pushed < total && lineQueueFree(queue) >= chunk.size()) {
            lineQueuePush(queue, chunk.data(), n, now);
            pushed += n;
            n = size_t(std::min<uint64_t>(1 + rng() % 64, total - pushed));
        }
        now += int64_t(idealNs(1 + rng() % 16, baud) * 0.98);
        const size_t due = lineQueueDue(queue, now);
        // Never ahead of the wire: at most what one burst from 0 allows.
        ASSERT_LE(delivered + due, bytesDueBy(baud, 0, now));
        lineQueuePop(queue, due);
        delivered += due;
    }
    EXPECT_EQ(wireFreeNs(queue.wire), byteDueNs(baud, 0, total - 1));
    EXPECT_NEAR(double(wireFreeNs(queue.wire)), idealNs(total, baud), 1.0);
}

TEST(LinesimQueue, KeepsOrderAcrossWrapAndBursts) {
    LineQueue queue;
    initLineQueue(queue, 10, 9600);
    const std::vector<uint8_t> in = patternBytes(37);
    std::vector<uint8_t> out;
    size_t next = 0;
    int64_t now = 0;
    while (out.size() < in.size()) {
        const size_t n = std::min({size_t(4), lineQueueFree(queue), in.size() - next});
        lineQueuePush(queue, in.data() + next, n, now);
        next += n;
        // Sometimes idle long enough for the next push to start a new burst.
        now += (next % 3 == 0) ? kNsPerSecond : int64_t(idealNs(2, 9600));
        size_t due = lineQueueDue(queue, now);
        while (due > 0) {
            size_t length = 0;
            const uint8_t* head = lineQueueHead(queue, due, &length);
            out.insert(out.end(), head, head + length);
            lineQueuePop(queue, length);
            due -= length;
        }
    }
    EXPECT_EQ(out, in);
    EXPECT_TRUE(queue.bursts.empty());
    EXPECT_EQ(lineQueueNextDueNs(queue), INT64_MAX);
}

TEST(LinesimQueue, DueCountStopsAtTheFirstByteStillOnTheWire) {
    LineQueue queue;
    initLineQueue(queue, 100, 1000);   // 10 ms per byte
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    lineQueuePush(queue, bytes, 3, 0);
    lineQueuePush(queue, bytes + 3, 2, kNsPerSecond);
    EXPECT_EQ(lineQueueDue(queue, 9999999), 0u);
    EXPECT_EQ(lineQueueNextDueNs(queue), 10000000);
    EXPECT_EQ(lineQueueDue(queue, 25000000), 2u);
    EXPECT_EQ(lineQueueDue(queue, kNsPerSecond + 10000000), 4u);
    lineQueuePop(queue, 3);
    EXPECT_EQ(lineQueueNextDueNs(queue), kNsPerSecond + 10000000);

    // Unthrottled: everything is due at once; the ring refuses overfill.
    LineQueue fast;
    initLineQueue(fast, 4, 0);
    lineQueuePush(fast, bytes, 5, 0);
    EXPECT_EQ(fast.size, 4u);
    EXPECT_EQ(lineQueueFree(fast), 0u);
    EXPECT_EQ(lineQueueDue(fast, 0), 4u);
}

// Steps through the adapter's release times; returns (time, bytes) of
// every batch it passes on, popping each as a reader would.
std::vector<std::pair<int64_t, size_t>> releases(LineQueue& queue) {
    std::vector<std::pair<int64_t, size_t>> out;
    for (int64_t at; (at = lineQueueNextReleaseNs(queue)) != INT64_MAX;) {
        EXPECT_EQ(lineQueueRelease(queue, at - 1), 0u) << "released before " << at;
        const size_t n = lineQueueRelease(queue, at);
        out.emplace_back(at, n);
        lineQueuePop(queue, n);
    }
    return out;
}

// 100 us a byte, a 10 ms latency timer (100 byte times): a full packet goes
// as soon as its 62nd byte is in; the rest waits for the timer, counted from
// the first byte of its batch.
TEST(LinesimAdapter, HoldsABatchForTheLatencyOrUntilAPacketIsFull) {
    constexpr int64_t us = 1000, ms = 1000 * us;
    const std::vector<uint8_t> bytes = patternBytes(200);
    LineQueue queue;
    initLineQueue(queue, 1000, 100000, 10 * ms);
    lineQueuePush(queue, bytes.data(), 1, 0);
    lineQueuePush(queue, bytes.data() + 1, 1, 5 * ms);   // joins the open batch
    using Batches = std::vector<std::pair<int64_t, size_t>>;
    EXPECT_EQ(releases(queue), (Batches{{10 * ms + 100 * us, 2}}));

    lineQueuePush(queue, bytes.data(), 200, 20 * ms);
    EXPECT_EQ(releases(queue), (Batches{{26200 * us, 62}, {32400 * us, 62}, {38600 * us, 62},
                                        {48700 * us, 14}}));

    // Called late, it passes on the same batches; bytes it has passed on
    // stay passed on when the reader takes only some of them.
    lineQueuePush(queue, bytes.data(), 200, 100 * ms);
    EXPECT_EQ(lineQueueRelease(queue, 112400 * us), 124u);
    lineQueuePop(queue, 100);
    EXPECT_EQ(lineQueueRelease(queue, 112400 * us), 24u);
    EXPECT_EQ(lineQueueNextReleaseNs(queue), 118600 * us);

    // Without a latency timer every byte goes at its own due time.
    LineQueue plain;
    initLineQueue(plain, 100, 100000);
    lineQueuePush(plain, bytes.data(), 3, 0);
    EXPECT_EQ(releases(plain), (Batches{{100 * us, 1}, {200 * us, 1}, {300 * us, 1}}));
}

TEST(LinesimFaults, ZeroRatesLeaveTheStreamAlone) {
    const std::vector<uint8_t> in = patternBytes(100000);
    FaultCounters counters;
    EXPECT_EQ(runFaults(FaultRates{}, 42, 0, in, &counters), in);
    EXPECT_EQ(counters.bitsFlipped + counters.bytesDropped + counters.bytesInserted, 0u);
}

TEST(LinesimFaults, SeedFixesTheOutputWhateverTheReadSizes) {
    const FaultRates rates{0.01, 0.01, 0.01};
    const std::vector<uint8_t> in = patternBytes(20000);
    const std::vector<uint8_t> whole = runFaults(rates, 9, 0, in);
    EXPECT_EQ(runFaults(rates, 9, 0, in), whole);
    EXPECT_NE(runFaults(rates, 10, 0, in), whole);
    EXPECT_NE(runFaults(rates, 9, 1, in), whole);   // the other direction

    FaultInjector injector;
    initFaultInjector(injector, rates, 9, 0);
    std::vector<uint8_t> chunked;
    std::mt19937 sizes(1);
    for (size_t at = 0; at < in.size();) {
        const size_t n = std::min<size_t>(1 + sizes() % 300, in.size() - at);
        injectFaults(injector, in.data() + at, n, chunked);
        at += n;
    }
    EXPECT_EQ(chunked, whole);
}

TEST(LinesimFaults, CountersMatchWhatChanged) {
    const std::vector<uint8_t> in = patternBytes(125000);   // 1e6 data bits
    FaultCounters c;

    const std::vector<uint8_t> flipped = runFaults({1e-3, 0, 0}, 1, 0, in, &c);
    ASSERT_EQ(flipped.size(), in.size());
    uint64_t differing = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        differing += uint64_t(__builtin_popcount(unsigned(in[i] ^ flipped[i])));
    }
    EXPECT_EQ(c.bitsFlipped, differing);
    EXPECT_NEAR(double(c.bitsFlipped), 1000.0, 200.0);   // sigma ~ 32

    const std::vector<uint8_t> dropped = runFaults({0, 0.01, 0}, 2, 0, in, &c);
    EXPECT_EQ(dropped.size(), in.size() - c.bytesDropped);
    EXPECT_TRUE(isSubsequence(dropped, in));
    EXPECT_NEAR(double(c.bytesDropped), 1250.0, 250.0);   // sigma ~ 35

    const std::vector<uint8_t> grown = runFaults({0, 0, 0.01}, 3, 0, in, &c);
    EXPECT_EQ(grown.size(), in.size() + c.bytesInserted);
    EXPECT_TRUE(isSubsequence(in, grown));
    EXPECT_NEAR(double(c.bytesInserted), 1250.0, 250.0);

    const std::vector<uint8_t> mixed = runFaults({1e-3, 0.01, 0.01}, 4, 0, in, &c);
    EXPECT_EQ(mixed.size(), in.size() - c.bytesDropped + c.bytesInserted);
}

TEST(LinesimFaults, CertainFaultsHitEveryTrial) {
    const std::vector<uint8_t> in = patternBytes(1000);
    FaultCounters c;
    const std::vector<uint8_t> inverted = runFaults({1, 0, 0}, 5, 0, in, &c);
    ASSERT_EQ(inverted.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(inverted[i], uint8_t(~in[i]));
    EXPECT_EQ(c.bitsFlipped, 8000u);
    EXPECT_TRUE(runFaults({0, 1, 0}, 5, 0, in).empty());
    EXPECT_EQ(runFaults({0, 0, 1}, 5, 0, in).size(), 2000u);
}
