// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final
// XOR. "123456789" gives 0x31C3.
#pragma once

#include <cstddef>
#include <cstdint>

namespace xmodem {

uint16_t crc16(const uint8_t* bytes, size_t length);

}  // namespace xmodem
