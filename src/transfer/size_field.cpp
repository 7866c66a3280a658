#include "size_field.h"

namespace transfer {

SizeField readSizeField(const uint8_t* after, size_t room) {
    while (room > 0 && *after == ' ') {
        ++after;
        --room;
    }
    SizeField field{after, 0, true, 0};
    while (field.length < room && after[field.length] != 0 && after[field.length] != ' ') ++field.length;
    for (size_t i = 0; i < field.length; ++i) {
        const uint64_t digit = uint64_t(after[i] - '0');
        if (after[i] < '0' || after[i] > '9' || field.value > (UINT64_MAX - digit) / 10) {
            field.number = false;
            return field;
        }
        field.value = field.value * 10 + digit;
    }
    return field;
}

}  // namespace transfer
