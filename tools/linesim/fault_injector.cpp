#include "fault_injector.h"

#include <cmath>
#include <limits>

namespace linesim {

namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

// Number of failures before the first success of Bernoulli(p) trials.
// Uses only the raw engine output, which the standard fixes for mt19937_64,
// so a seed gives the same faults with any standard library.
uint64_t drawGap(std::mt19937_64& rng, double p) {
    if (!(p > 0)) return kNever;
    if (p >= 1) return 0;
    const double u = double((rng() >> 11) + 1) * 0x1.0p-53;   // (0, 1]
    const double gap = std::floor(std::log(u) / std::log1p(-p));
    return gap >= 1.8e19 ? kNever : uint64_t(gap);
}

// Advances a gap counter by one trial; true when this trial is a hit.
bool trialHits(std::mt19937_64& rng, double p, uint64_t& gap) {
    if (gap == kNever) return false;
    if (gap > 0) {
        --gap;
        return false;
    }
    gap = drawGap(rng, p);
    return true;
}

}  // namespace

void initFaultInjector(FaultInjector& injector, const FaultRates& rates, uint64_t seed,
                       uint64_t streamId) {
    injector.rates = rates;
    std::seed_seq seq{uint32_t(seed), uint32_t(seed >> 32), uint32_t(streamId)};
    injector.rng.seed(seq);
    injector.counters = FaultCounters{};
    injector.bitsBeforeFlip = drawGap(injector.rng, rates.bitErrorRate);
    injector.bytesBeforeDrop = drawGap(injector.rng, rates.dropRate);
    injector.bytesBeforeInsert = drawGap(injector.rng, rates.insertRate);
}

bool faultsActive(const FaultRates& rates) {
    return rates.bitErrorRate > 0 || rates.dropRate > 0 || rates.insertRate > 0;
}

void injectFaults(FaultInjector& injector, const uint8_t* in, size_t n,
                  std::vector<uint8_t>& out) {
    std::mt19937_64& rng = injector.rng;
    const FaultRates& rates = injector.rates;
    for (size_t i = 0; i < n; ++i) {
        uint8_t byte = in[i];
        if (trialHits(rng, rates.dropRate, injector.bytesBeforeDrop)) {
            ++injector.counters.bytesDropped;
        } else {
            // Flip every bit of this byte that a gap lands on.
            unsigned bit = 0;
            while (injector.bitsBeforeFlip < 8 - bit) {
                bit += unsigned(injector.bitsBeforeFlip);
                byte ^= uint8_t(1u << bit);
                ++injector.counters.bitsFlipped;
                ++bit;
                injector.bitsBeforeFlip = drawGap(rng, rates.bitErrorRate);
            }
            if (injector.bitsBeforeFlip != kNever) injector.bitsBeforeFlip -= 8 - bit;
            out.push_back(byte);
        }
        if (trialHits(rng, rates.insertRate, injector.bytesBeforeInsert)) {
            out.push_back(uint8_t(rng() & 0xFF));
            ++injector.counters.bytesInserted;
        }
    }
}

}  // namespace linesim
