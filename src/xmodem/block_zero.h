// Block 0 of a transfer with header blocks: the file's name and size ahead of
// the data. Its data is the part of the file name after its last \ or /, a
// NUL, the size in decimal and " 0", NULs up to 128 bytes, or up to 1024 when
// 128 do not hold them. The 0 is the modification time, "unknown": a receiver
// that reads that field and does not find it may date the file anywhere
// (lrzsz's rb: in the year 2446). An empty name (a NUL first) ends a batch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace xmodem {

struct BuiltBlockZero {
    enum class Status { Built, NoName, NameTooLong } status;
    size_t blockSize;   // Built: 128 or 1024
    size_t nameLength;  // the name's length, also when it is too long
};

// Fills `data` (room for 1024 bytes) with the header of `fileName` and `size`.
BuiltBlockZero buildBlockZero(const char* fileName, uint32_t size, uint8_t* data);

struct ReadBlockZero {
    enum class Status {
        File,        // a file's header: name, and the size when one is given
        EndOfBatch,  // an empty name
        NoNameEnd,   // the name fills the block without its NUL
        BadSize,     // the size field is not a decimal number that fits
    } status;
    const char* name;       // not NUL-terminated when NoNameEnd
    size_t nameLength;
    bool sizeKnown;         // a size field was there (none: an unknown size)
    uint64_t size;
    const char* sizeField;  // the size field as sent, spaces before it skipped
    size_t sizeFieldLength;
};

// Reads the header in a block's `blockSize` data bytes. Fields after the size
// (modification time, file mode, ...) are not read.
ReadBlockZero readBlockZero(const uint8_t* data, size_t blockSize);

}  // namespace xmodem
