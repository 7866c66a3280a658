// exchange: a script's command/response loop through the plug-in, timed.
// Part of make bench.
//
//   exchange.exe DLL PORT COUNT [WINESERVER_PID]
//
// Loads DLL through the host library, opens PORT (a name the plug-in lists,
// such as COM5) and makes COUNT exchanges, after a few that are not counted:
// WriteSerialData of a 16-byte command, then ReadSerialUntil(port, "OK\r\n",
// 1000), as a script driving a board does. The far end must answer every 16
// bytes with "OK\r\n" at once. Prints, after the last exchange:
//   exchange <write us> <read us>        an exchange that got "OK\r\n" and nothing else
//   failed <n> <length> <what came>      one that did not (n counts from 0)
//   cost <cpu us> <wineserver cpu us>    per exchange ("-" where not known)
// The plug-in's own trace ("Sending: ...") shares standard output.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clocks.h"
#include "host.h"

namespace {

// Exactly 16 bytes, as a board's command with its line end.
char command[] = "READ SENSOR 01\r\n";
char answer[] = "OK\r\n";
constexpr int kWarmUp = 20;

// What came, with control bytes escaped, for the report of a failed exchange.
std::string shown(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 32 && c < 127 && c != '\\') {
            out += char(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out.empty() ? "-" : out;
}

struct Exchange {
    double write, read;
    bool ok;
    std::string got;
};

Exchange exchangeOnce(const PluginApi& api, unsigned port) {
    const double start = now();
    const int wrote = api.WriteSerialData(port, command, 16);
    const double written = now();
    const char* got = api.ReadSerialUntil(port, answer, 1000);
    const double end = now();
    Exchange e{written - start, end - written, false, {}};
    const size_t length = strlen(got);
    e.ok = wrote == 1 && length == 4 && memcmp(got, answer, 4) == 0;
    if (!e.ok) e.got = std::to_string(length) + " " + shown(got);
    hostFreeStrings();
    return e;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: exchange DLL PORT COUNT [WINESERVER_PID]\n");
        return 2;
    }
    const int count = atoi(argv[3]);
    const char* serverPid = argc > 4 ? argv[4] : nullptr;
    PluginApi api;
    std::string error;
    if (!hostLoad(argv[1], &api, &error)) {
        fprintf(stderr, "exchange: %s\n", error.c_str());
        return 1;
    }
    int index = -1;
    const int listed = api.EnumerateSerialPorts();
    for (int i = 0; i < listed && index < 0; ++i)
        if (lstrcmpiA(api.GetSerialPortName(unsigned(i)), argv[2]) == 0) index = i;
    hostFreeStrings();
    const int port = index < 0 ? 0 : api.OpenSerialPort(unsigned(index), 115200, 1, 0);
    if (port <= 0) {
        fprintf(stderr, "exchange: cannot open %s\n", argv[2]);
        return 1;
    }
    std::vector<Exchange> done;
    done.reserve(size_t(count));
    // The first calls page in code and make the heap's first blocks.
    for (int i = 0; i < kWarmUp; ++i) exchangeOnce(api, unsigned(port));
    const double server0 = serverCpu(serverPid), cpu0 = processCpu();
    for (int i = 0; i < count; ++i) done.push_back(exchangeOnce(api, unsigned(port)));
    const double cpu = processCpu() - cpu0, server1 = serverCpu(serverPid);
    api.CloseSerialPort(unsigned(port));

    fflush(stdout);
    for (size_t i = 0; i < done.size(); ++i) {
        if (done[i].ok)
            printf("exchange %.1f %.1f\n", done[i].write * 1e6, done[i].read * 1e6);
        else
            printf("failed %u %s\n", unsigned(i), done[i].got.c_str());
    }
    char serverText[32] = "-";
    if (server0 >= 0 && server1 >= 0 && count > 0)
        snprintf(serverText, sizeof serverText, "%.1f", (server1 - server0) / count * 1e6);
    printf("cost %.1f %s\n", count > 0 ? cpu / count * 1e6 : 0.0, serverText);
    return 0;
}
