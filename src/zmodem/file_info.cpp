#include "file_info.h"

#include <cstdio>
#include <cstring>

namespace zmodem {

size_t buildFileInfo(const char* name, uint32_t size, uint8_t* out) {
    const size_t nameLength = strlen(name);
    if (nameLength == 0) return 0;
    char fields[16];
    const size_t fieldsLength = size_t(snprintf(fields, sizeof fields, "%lu 0", (unsigned long)size));
    const size_t length = nameLength + 1 + fieldsLength + 1;
    if (length > kFileInfoRoom) return 0;
    memcpy(out, name, nameLength);
    out[nameLength] = 0;
    memcpy(out + nameLength + 1, fields, fieldsLength);
    out[length - 1] = 0;
    return length;
}

FileInfo readFileInfo(const uint8_t* data, size_t length) {
    FileInfo info{FileInfo::Status::File, data, 0, false, 0, nullptr, 0};
    const void* nameEnd = memchr(data, 0, length);
    if (!nameEnd) {
        info.nameLength = length;
        info.status = FileInfo::Status::NoNameEnd;
        return info;
    }
    info.nameLength = size_t(static_cast<const uint8_t*>(nameEnd) - data);
    const uint8_t* field = data + info.nameLength + 1;
    size_t room = length - info.nameLength - 1;
    while (room > 0 && *field == ' ') {
        ++field;
        --room;
    }
    size_t fieldLength = 0;
    while (fieldLength < room && field[fieldLength] != 0 && field[fieldLength] != ' ') ++fieldLength;
    info.sizeField = field;
    info.sizeFieldLength = fieldLength;
    info.sizeKnown = fieldLength > 0;
    uint64_t size = 0;
    for (size_t i = 0; i < fieldLength; ++i) {
        if (field[i] < '0' || field[i] > '9' || size > 0xFFFFFFFFull / 10) {
            info.status = FileInfo::Status::BadSize;
            return info;
        }
        size = size * 10 + uint64_t(field[i] - '0');
    }
    if (size > 0xFFFFFFFFull) info.status = FileInfo::Status::BadSize;
    info.size = uint32_t(size);
    return info;
}

}  // namespace zmodem
