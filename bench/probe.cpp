// probe: what the calls a transfer makes for each block cost where this runs
// (under Wine: in the process and in the wineserver). Part of make bench.
//
//   probe.exe DEVICE COUNT [WINESERVER_PID]
//
// DEVICE is a COM port (\\.\COM5) whose far end answers every 132 bytes with
// one byte at once. Prints one line per call:
//   <name> <wall us> <cpu us> <wineserver cpu us>
// per call, averaged over COUNT calls, or ten times as many for the cheap
// ones: CPU time is counted in 10 ms ticks ("-" where a figure is not known).
// The host commands are this project's own (host/host.cpp), called as the
// plug-in calls them.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clocks.h"
#include "host.h"

namespace {

const char* serverPid = nullptr;

// Sums wall, process and wineserver time over one or more stretches of
// calls, and prints the figures per call when it goes.
struct Meter {
    const char* name;
    long count = 0;
    double wall = 0, cpu = 0, server = 0;
    bool serverKnown = true;
    double wall0 = 0, cpu0 = 0, server0 = 0;
    explicit Meter(const char* n) : name(n) {}
    Meter(const char* n, long calls) : name(n) { start(calls); }
    void start(long calls) {
        count += calls;
        server0 = serverCpu(serverPid);
        cpu0 = processCpu();
        wall0 = now();
    }
    void stop() {
        wall += now() - wall0;
        cpu += processCpu() - cpu0;
        double server1 = serverCpu(serverPid);
        if (server0 < 0 || server1 < 0) serverKnown = false;
        server += server1 - server0;
        wall0 = -1;
    }
    ~Meter() {
        if (wall0 >= 0) stop();
        char serverText[32] = "-";
        if (serverKnown) snprintf(serverText, sizeof serverText, "%.2f", server / count * 1e6);
        printf("%s %.3f %.2f %s\n", name, wall / count * 1e6, cpu / count * 1e6, serverText);
        fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: probe DEVICE COUNT [WINESERVER_PID]\n");
        return 2;
    }
    const int count = atoi(argv[2]);
    if (argc > 3) serverPid = argv[3];
    HANDLE port = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "probe: cannot open %s: %lu\n", argv[1], GetLastError());
        return 1;
    }
    COMMTIMEOUTS timeouts = {50, 10, 50, 10, 50};  // the plug-in's port time-outs
    SetCommTimeouts(port, &timeouts);
    DWORD errors = 0, done = 0;
    COMSTAT stat;
    unsigned char packet[132], answer[16];
    memset(packet, 0x55, sizeof packet);
    int lost = 0;

    const int many = 10 * count;
    {
        Meter m("ClearCommError", many);
        for (int i = 0; i < many; ++i) ClearCommError(port, &errors, &stat);
    }
    {
        // Each packet draws one answer byte; the answers are then read one by
        // one from the queue. Ten rounds, so that the cheap reads add up to
        // enough CPU ticks.
        Meter writes("WriteFile_132"), reads("ReadFile_1_queued");
        for (int round = 0; round < 10; ++round) {
            writes.start(count);
            for (int i = 0; i < count; ++i) WriteFile(port, packet, sizeof packet, &done, nullptr);
            writes.stop();
            Sleep(200);
            reads.start(count);
            for (int i = 0; i < count; ++i) {
                done = 0;
                ReadFile(port, answer, 1, &done, nullptr);
                if (done != 1) ++lost;
            }
            reads.stop();
        }
    }
    {
        Meter m("WriteFile_132+ReadFile_1_waiting", count);
        for (int i = 0; i < count; ++i) {
            WriteFile(port, packet, sizeof packet, &done, nullptr);
            done = 0;
            ReadFile(port, answer, 1, &done, nullptr);
            if (done != 1) ++lost;
        }
    }
    CloseHandle(port);

    typedef int(__cdecl * OpenFn)(const char*);
    typedef int(__cdecl * ByteFn)(int);
    typedef void(__cdecl * WriteByteFn)(int, int);
    typedef void(__cdecl * CloseFn)(int);
    typedef float(__cdecl * TimerFn)();
    auto openWrite = reinterpret_cast<OpenFn>(hostCommand("OPENTOWRITE_L_S"));
    auto openRead = reinterpret_cast<OpenFn>(hostCommand("OPENTOREAD_L_S"));
    auto readByte = reinterpret_cast<ByteFn>(hostCommand("READBYTE_L_L"));
    auto writeByte = reinterpret_cast<WriteByteFn>(hostCommand("WRITEBYTE_0_L_L"));
    auto closeFile = reinterpret_cast<CloseFn>(hostCommand("CLOSEFILE_0_L"));
    auto timer = reinterpret_cast<TimerFn>(hostCommand("TIMER_F_0"));
    const int bytes = count * 128;
    int id = openWrite("probe.tmp");
    {
        Meter m("WRITEBYTE_0_L_L", bytes);
        for (int i = 0; i < bytes; ++i) writeByte(id, i);
    }
    closeFile(id);
    id = openRead("probe.tmp");
    int sum = 0;
    {
        Meter m("READBYTE_L_L", bytes);
        for (int i = 0; i < bytes; ++i) sum += readByte(id);
    }
    closeFile(id);
    DeleteFileA("probe.tmp");
    float t = 0;
    {
        Meter m("TIMER_F_0", many);
        for (int i = 0; i < many; ++i) t += timer();
    }
    // The trace line "Sending packet N", by printf and formatted then written
    // at once, to a file as when stdout is redirected.
    FILE* trace = fopen("probe-trace.tmp", "wb");
    {
        Meter m("fprintf_line", many);
        for (int i = 0; i < many; ++i) fprintf(trace, "Sending packet %d\n", i);
    }
    {
        Meter m("snprintf+fwrite_line", many);
        char line[64];
        for (int i = 0; i < many; ++i) {
            int n = snprintf(line, sizeof line, "Sending packet %d\n", i);
            fwrite(line, 1, size_t(n), trace);
        }
    }
    fclose(trace);
    DeleteFileA("probe-trace.tmp");
    printf("lost %d\n", lost);
    return sum == -1 && t < 0;  // keeps the loops
}
