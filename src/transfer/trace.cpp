#include "trace.h"

#include <cstdio>
#include <cstring>

namespace transfer {

void traceNumber(const char* format, int value) {
    char line[64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int length = snprintf(line, sizeof line, format, value);
#pragma GCC diagnostic pop
    if (length > 0) fwrite(line, 1, size_t(length) < sizeof line ? size_t(length) : sizeof line - 1, stdout);
}

void traceReceived(const char* text) {
    static const char kLead[] = "Received: ";
    constexpr size_t kLeadLength = sizeof kLead - 1;
    char line[128];
    size_t length = strlen(text);
    if (kLeadLength + length + 1 > sizeof line) {
        printf("%s%s\n", kLead, text);
        return;
    }
    memcpy(line, kLead, kLeadLength);
    memcpy(line + kLeadLength, text, length);
    line[kLeadLength + length] = '\n';
    fwrite(line, 1, kLeadLength + length + 1, stdout);
}

}  // namespace transfer
