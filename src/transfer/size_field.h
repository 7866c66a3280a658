// The size in a file header (YMODEM's block 0, ZMODEM's ZFILE subpacket):
// after the name's NUL, spaces, then a decimal field up to a space or NUL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace transfer {

struct SizeField {
    const uint8_t* text;  // as sent, spaces before it skipped
    size_t length;        // 0: no size given
    bool number;          // decimal digits only, and the value fits 64 bits
    uint64_t value;
};

// Reads the field from the `room` bytes at `after`, the byte after the NUL.
SizeField readSizeField(const uint8_t* after, size_t room);

}  // namespace transfer
