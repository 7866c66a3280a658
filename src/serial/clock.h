// Milliseconds on the system's 32-bit tick (every Windows version has it).
// The tick wraps every 49.7 days, so a reading means nothing on its own: only
// the difference of two readings does, and unsigned subtraction gets that
// right across a wrap. Every interval the module measures is far shorter.
#pragma once

#include <windows.h>

#include <cstdint>

inline uint32_t tickMs() { return GetTickCount(); }

// Milliseconds since `startMs`, an earlier tickMs().
inline uint32_t msSince(uint32_t startMs) { return tickMs() - startMs; }

// The tick widened to 64 bits for code that keeps 64-bit times: it counts
// on across each wrap of the 32-bit tick, provided it is read at least once
// per wrap (a transfer reads it many times a second). Never goes back.
uint64_t wideTickMs();
