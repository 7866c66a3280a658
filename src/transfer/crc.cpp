#include "crc.h"

namespace transfer {
namespace {

// One entry per byte value: what the byte leaves in the register once its
// eight bits are shifted through.
struct Tables {
    uint16_t crc16[256];
    uint32_t crc32[256];
    constexpr Tables() : crc16(), crc32() {
        for (unsigned byte = 0; byte < 256; ++byte) {
            uint16_t high = uint16_t(byte << 8);
            uint32_t low = byte;
            for (int bit = 0; bit < 8; ++bit) {
                high = uint16_t(high & 0x8000 ? (high << 1) ^ 0x1021 : high << 1);
                low = low & 1 ? (low >> 1) ^ 0xEDB88320u : low >> 1;
            }
            crc16[byte] = high;
            crc32[byte] = low;
        }
    }
};

constexpr Tables kTables;

inline uint16_t step16(uint16_t crc, uint8_t byte) {
    return uint16_t((crc << 8) ^ kTables.crc16[(crc >> 8) ^ byte]);
}

inline uint32_t step32(uint32_t reg, uint8_t byte) { return (reg >> 8) ^ kTables.crc32[(reg ^ byte) & 0xFF]; }

}  // namespace

uint16_t crc16Update(uint16_t crc, uint8_t byte) { return step16(crc, byte); }

uint16_t crc16Update(uint16_t crc, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) crc = step16(crc, bytes[i]);
    return crc;
}

uint32_t crc32Update(uint32_t crc, uint8_t byte) { return ~step32(~crc, byte); }

uint32_t crc32Update(uint32_t crc, const uint8_t* bytes, size_t length) {
    uint32_t reg = ~crc;
    for (size_t i = 0; i < length; ++i) reg = step32(reg, bytes[i]);
    return ~reg;
}

}  // namespace transfer
