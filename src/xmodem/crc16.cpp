#include "crc16.h"

namespace xmodem {
namespace {

// One entry per value of the high byte: what shifting it out leaves behind.
struct Table {
    uint16_t entry[256];
    constexpr Table() : entry() {
        for (unsigned byte = 0; byte < 256; ++byte) {
            uint16_t crc = uint16_t(byte << 8);
            for (int bit = 0; bit < 8; ++bit) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
            entry[byte] = crc;
        }
    }
};

constexpr Table kTable;

}  // namespace

uint16_t crc16(const uint8_t* bytes, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) crc = uint16_t((crc << 8) ^ kTable.entry[(crc >> 8) ^ bytes[i]]);
    return crc;
}

}  // namespace xmodem
