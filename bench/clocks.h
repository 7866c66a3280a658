// The bench programs' clocks: wall time, this process's CPU, and the CPU of a
// Linux process (the wineserver) read through Wine's view of /proc.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

inline double now() {
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return double(count.QuadPart) / double(frequency.QuadPart);
}

inline double processCpu() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return double((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// CPU seconds of Linux process PID; negative when that cannot be read (no
// PID, or not under Wine).
inline double serverCpu(const char* pid) {
    if (!pid || !*pid) return -1;
    char path[64];
    snprintf(path, sizeof path, "Z:\\proc\\%s\\stat", pid);
    FILE* f = fopen(path, "rb");
    if (!f) return -1;
    char text[1024];
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = 0;
    const char* p = strrchr(text, ')');
    if (!p) return -1;
    // Fields after the command name: state is field 3; utime and stime are 14 and 15.
    unsigned long long utime = 0, stime = 0;
    int field = 2;
    for (const char* q = p + 1; *q && field < 15; ++q) {
        if (*q == ' ') {
            ++field;
            if (field == 14) utime = strtoull(q + 1, nullptr, 10);
            if (field == 15) stime = strtoull(q + 1, nullptr, 10);
        }
    }
    return double(utime + stime) / 100.0;  // USER_HZ
}
