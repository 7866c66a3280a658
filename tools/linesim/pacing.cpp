#include "pacing.h"

#include <limits>

namespace linesim {

namespace {
// 128-bit products keep (k + 1) * 10 s exact for any stream length.
using Wide = unsigned __int128;
constexpr Wide kWireNsPerByteTimesBaud = Wide(kBitsPerByte) * kNsPerSecond;
}  // namespace

int64_t byteDueNs(uint32_t baud, int64_t burstStartNs, uint64_t k) {
    if (baud == 0) return burstStartNs;
    const Wide numerator = (Wide(k) + 1) * kWireNsPerByteTimesBaud;
    const Wide offset = (numerator + baud - 1) / baud;
    const Wide limit = Wide(std::numeric_limits<int64_t>::max() - burstStartNs);
    return offset >= limit ? std::numeric_limits<int64_t>::max()
                           : burstStartNs + int64_t(offset);
}

uint64_t bytesDueBy(uint32_t baud, int64_t burstStartNs, int64_t nowNs) {
    if (nowNs < burstStartNs) return 0;
    if (baud == 0) return std::numeric_limits<uint64_t>::max();
    const Wide elapsed = Wide(uint64_t(nowNs - burstStartNs));
    return uint64_t(elapsed * baud / kWireNsPerByteTimesBaud);
}

int64_t wireFreeNs(const WireClock& wire) {
    if (wire.burstBytes == 0) return wire.burstStartNs;
    return byteDueNs(wire.baud, wire.burstStartNs, wire.burstBytes - 1);
}

BurstSlot scheduleBytes(WireClock& wire, int64_t arrivalNs, size_t n) {
    if (wire.burstBytes == 0 || arrivalNs >= wireFreeNs(wire)) {
        wire.burstStartNs = arrivalNs;
        wire.burstBytes = 0;
    }
    const BurstSlot slot{wire.burstStartNs, wire.burstBytes};
    wire.burstBytes += n;
    return slot;
}

}  // namespace linesim
