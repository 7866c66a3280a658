#include "host_string.h"

#include <climits>
#include <cstring>

#include "host_commands.h"

namespace {
// Handed out only when the host cannot make a string: string exports never
// return null.
char moduleEmptyText[1] = {0};
}  // namespace

char* makeHostString(size_t size) {
    CreateStringFn createString = hostCreateString();
    if (!createString || size == 0 || size > INT_MAX) {
        moduleEmptyText[0] = 0;
        return moduleEmptyText;
    }
    char* text = createString(static_cast<int>(size));
    if (!text) {
        moduleEmptyText[0] = 0;
        return moduleEmptyText;
    }
    memset(text, 0, size);
    return text;
}

bool madeByHost(const char* text) { return text != moduleEmptyText; }

char* emptyHostString() { return makeHostString(1); }

char* hostStringCopy(const char* text) {
    size_t size = strlen(text) + 1;
    char* copy = makeHostString(size);
    if (madeByHost(copy)) memcpy(copy, text, size);
    return copy;
}
