// The transfer modes, one row each. The receive and send loops read the row
// of the mode they were called with and never the mode's number.
#pragma once

#include <cstddef>

namespace xmodem {

// `pad` of a mode whose last block is filled with what the host's
// READBYTE_L_L gives past the end of the file.
constexpr int kHostPad = -1;

struct Mode {
    int number;
    // How a sender starts, and so which check a transfer uses. Every sender
    // starts on NAK, with the 8-bit sum. With `crc`, C starts it too, with
    // CRC-16, and the receiver asks with C first; after kCrcAsks Cs met
    // silence it asks with NAK instead.
    bool crc;
    size_t blockSize;      // the sender's blocks while enough of the file is left: 128 or 1024
    bool takesLongBlocks;  // the receiver takes 1024-byte blocks, mixed with 128-byte ones
    // Block 0 carries the file's name and size ahead of the data, the EOT
    // is acknowledged, and an empty block 0 ends the batch. The receiver
    // stores exactly the size it was told.
    bool headerBlock;
    // The EOT is written again until the receiver acknowledges it; without,
    // one EOT ends the transfer and its answer is left to the caller.
    bool eotAcked;
    int pad;               // what fills the last block after the end of the file
};

// The row of a mode that transfers serve, or null: the call then fails at
// once, touching nothing.
const Mode* findMode(int mode);

}  // namespace xmodem
