// A small host for the fuzz targets: in-memory files, the double's clock as
// timer, error reports kept. No test framework: a broken rule aborts, so
// that the fuzzer reports the input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "win32_double.h"


namespace fuzzhost {

struct File {
    std::string name;
    bool forWriting = false;
    bool open = true;
    std::vector<uint8_t> data;
    size_t readPosition = 0;
};

struct Host {
    std::vector<File> files;  // file id - 1
    std::vector<uint8_t> readable;  // content of the one file there is to read
    std::string readableName = "in.bin";
    int padAfterEnd = 0x1A;
    int readsPastEnd = 0;  // READBYTE_L_L calls after the end of the file
    int sizeAnswer = -2;   // what GETFILESIZE_L_L gives when -1 or more; else the true size
    std::vector<std::string> reports;
};

Host& host();

// Stops the run with a message; libFuzzer keeps the input that led here.
[[noreturn]] void violation(const char* format, ...);

// A freshly loaded module bound to a fresh host, the double's world empty,
// stdout silenced unless FUZZ_TRACE is set. Returns the handle of an open
// port on device "COM3".
unsigned freshModuleWithPort();
w32::Device& device();
// Frees what the run allocated, in the module, the host and the double: with
// as many frees as allocations in a run, libFuzzer sees no leak to look for
// and does not run the input a second time.
void endRun();

int filesOpen();

// Arrival delay of a fuzzer byte: 10 ms steps up to 2 s, then 200 ms steps
// up to 13 s, so that the edges of every time-out (1, 2, 8, 10 s) are hit.
uint64_t delayOf(uint8_t code);


}  // namespace fuzzhost
