#include "file_info.h"

#include <cstdio>
#include <cstring>

#include "../transfer/size_field.h"

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
    const transfer::SizeField field = transfer::readSizeField(data + info.nameLength + 1, length - info.nameLength - 1);
    info.sizeField = field.text;
    info.sizeFieldLength = field.length;
    info.sizeKnown = field.length > 0;
    if (!field.number || field.value > 0xFFFFFFFFull)
        info.status = FileInfo::Status::BadSize;
    else
        info.size = uint32_t(field.value);
    return info;
}

}  // namespace zmodem
