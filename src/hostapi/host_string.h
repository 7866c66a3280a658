// Host strings: buffers made by the host's CREATESTRING_S_L, filled here and
// handed to the script; the host owns them from then on.
#pragma once

#include <cstddef>

// A zero-filled host string of `size` bytes (1 or more). Without a usable
// CREATESTRING_S_L it gives the module's own empty text, which is never null
// and must not be freed by the host.
char* makeHostString(size_t size);
bool madeByHost(const char* text);  // false for the module's own empty text

char* emptyHostString();                 // size 1, empty text
char* hostStringCopy(const char* text);  // text and its terminator
