// What every fuzz target reads its input with: the fuzzer's bytes front to
// back, and a filler for bytes that only need to differ.
#pragma once

#include <cstddef>
#include <cstdint>

// For the targets' byte loops (packets made, checked, compared): coverage
// there guides the fuzzer nowhere, and its hook at every comparison costs
// more than the loop.
#if defined(__clang__)
#define FUZZ_UNCOVERED __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_UNCOVERED
#endif

namespace fuzzhost {

// Decodes the fuzzer's bytes front to back; reads past the end give 0.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool empty() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
};

// Deterministic filler for packet data and file contents.
struct Filler {
    uint32_t state;
    explicit Filler(uint32_t seed) : state(seed * 2654435761u + 1) {}
    uint8_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return uint8_t(state >> 8);
    }
    FUZZ_UNCOVERED void fill(uint8_t* out, size_t count) {
        for (size_t i = 0; i < count; ++i) out[i] = next();
    }
};

}  // namespace fuzzhost
