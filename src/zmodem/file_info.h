// The subpacket that follows ZFILE: the file's name, a NUL, then in ASCII
// the length in decimal and further fields (modification time, mode, ...),
// and a NUL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zmodem {

// The subpacket is at most this long (receivers take 1024 bytes).
constexpr size_t kFileInfoRoom = 1024;

// `name` (no folders), NUL, "<size> 0", NUL: the 0 is the modification time,
// unknown, as in mode 3's block 0. Gives the length, or 0 when the name is
// empty or too long for kFileInfoRoom.
size_t buildFileInfo(const char* name, uint32_t size, uint8_t* out);

struct FileInfo {
    enum class Status { File, NoNameEnd, BadSize } status;
    const uint8_t* name;
    size_t nameLength;
    bool sizeKnown;  // a length field was there
    uint32_t size;
    const uint8_t* sizeField;  // as sent, spaces before it skipped
    size_t sizeFieldLength;
};

// The size is the first field after the name's NUL, up to a space or NUL; a
// length that does not fit 32 bits (ZMODEM's positions) is BadSize.
FileInfo readFileInfo(const uint8_t* data, size_t length);

}  // namespace zmodem
