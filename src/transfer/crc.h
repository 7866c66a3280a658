// The CRCs of the transfer protocols, whole or a piece at a time.
//
// CRC-16/XMODEM: polynomial 0x1021, start 0, no reflection, no final XOR;
// "123456789" gives 0x31C3. CRC-32/IEEE: reflected polynomial 0xEDB88320,
// start and final XOR 0xFFFFFFFF; "123456789" gives 0xCBF43926.
//
// An update takes the CRC of the bytes so far (0 for none, for both) and
// gives the CRC of those bytes and the new ones, so that
// crc32Update(crc32(a), b) == crc32(a followed by b). The CRC-32's start and
// final XOR are applied inside each update.
#pragma once

#include <cstddef>
#include <cstdint>

namespace transfer {

uint16_t crc16Update(uint16_t crc, uint8_t byte);
uint16_t crc16Update(uint16_t crc, const uint8_t* bytes, size_t length);
inline uint16_t crc16(const uint8_t* bytes, size_t length) { return crc16Update(0, bytes, length); }

uint32_t crc32Update(uint32_t crc, uint8_t byte);
uint32_t crc32Update(uint32_t crc, const uint8_t* bytes, size_t length);
inline uint32_t crc32(const uint8_t* bytes, size_t length) { return crc32Update(0, bytes, length); }

}  // namespace transfer
