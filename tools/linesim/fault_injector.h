// Line faults for one direction: bit errors, lost bytes and spurious bytes,
// each an independent random process driven by one seeded PRNG. The
// injector carries its state across calls, so a stream gives the same output
// whatever sizes the reads happen to chop it into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace linesim {

struct FaultRates {
    double bitErrorRate = 0;   // each data bit flipped with this probability
    double dropRate = 0;       // each byte lost with this probability
    double insertRate = 0;     // after each byte, a random byte with this probability
};

struct FaultCounters {
    uint64_t bitsFlipped = 0;
    uint64_t bytesDropped = 0;
    uint64_t bytesInserted = 0;
};

struct FaultInjector {
    FaultRates rates;
    std::mt19937_64 rng;
    // Events are drawn as gaps (how many trials pass before the next hit)
    // rather than one draw per trial: cheap at low rates, same distribution.
    uint64_t bitsBeforeFlip = 0;
    uint64_t bytesBeforeDrop = 0;
    uint64_t bytesBeforeInsert = 0;
    FaultCounters counters;
};

// streamId tells the directions apart, so that both can share one --seed.
void initFaultInjector(FaultInjector& injector, const FaultRates& rates, uint64_t seed,
                       uint64_t streamId);

bool faultsActive(const FaultRates& rates);

// Appends to out what the line makes of n bytes: at most 2 * n bytes.
// A lost byte takes no part in bit errors; a spurious byte is random anyway
// and is not flipped further. Bits are numbered in wire order (LSB first).
void injectFaults(FaultInjector& injector, const uint8_t* in, size_t n,
                  std::vector<uint8_t>& out);

}  // namespace linesim
