#include "block_zero.h"

#include <cstdio>
#include <cstring>

#include "../transfer/size_field.h"
#include "packet.h"

namespace xmodem {

BuiltBlockZero buildBlockZero(const char* fileName, uint32_t size, uint8_t* data) {
    const char* name = fileName;
    for (const char* at = fileName; *at; ++at)
        if (*at == '\\' || *at == '/') name = at + 1;
    const size_t nameLength = strlen(name);
    // An empty name would tell the receiver that the batch is over.
    if (nameLength == 0) return {BuiltBlockZero::Status::NoName, 0, 0};
    char fields[16];
    const size_t fieldsLength = size_t(snprintf(fields, sizeof fields, "%lu 0", (unsigned long)size));
    const size_t used = nameLength + 1 + fieldsLength + 1;  // a NUL after the fields too
    if (used > kLongBlock) return {BuiltBlockZero::Status::NameTooLong, 0, nameLength};
    const size_t blockSize = used <= kShortBlock ? kShortBlock : kLongBlock;
    memset(data, 0, blockSize);
    memcpy(data, name, nameLength);
    memcpy(data + nameLength + 1, fields, fieldsLength);
    return {BuiltBlockZero::Status::Built, blockSize, nameLength};
}

ReadBlockZero readBlockZero(const uint8_t* data, size_t blockSize) {
    const char* text = reinterpret_cast<const char*>(data);
    ReadBlockZero header{ReadBlockZero::Status::File, text, 0, false, 0, nullptr, 0};
    const void* nameEnd = memchr(text, '\0', blockSize);
    header.nameLength = nameEnd ? size_t(static_cast<const char*>(nameEnd) - text) : blockSize;
    if (header.nameLength == 0) {
        header.status = ReadBlockZero::Status::EndOfBatch;
        return header;
    }
    if (header.nameLength == blockSize) {
        header.status = ReadBlockZero::Status::NoNameEnd;
        return header;
    }
    const transfer::SizeField field = transfer::readSizeField(data + header.nameLength + 1, blockSize - header.nameLength - 1);
    header.sizeField = reinterpret_cast<const char*>(field.text);
    header.sizeFieldLength = field.length;
    header.sizeKnown = field.length > 0;
    if (!field.number) {
        header.status = ReadBlockZero::Status::BadSize;
        return header;
    }
    header.size = field.value;
    return header;
}

}  // namespace xmodem
