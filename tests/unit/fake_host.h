// A host for unit tests: the commands a real host hands over, recording what
// the module asked of them, with files in memory and the double's clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "plugin/exports.h"
#include "win32_double.h"

namespace fake {

struct HostFile {
    std::string name;
    bool forWriting = false;
    bool open = true;
    std::vector<uint8_t> data;
    size_t readPosition = 0;
};

struct Report {
    std::string message;
    int devicesOpen;  // device handles still open when it was made
    int filesOpen;    // host files still open when it was made
};

struct Host {
    std::vector<std::string> lookups;
    std::set<std::string> absent;  // names the lookup answers null for
    std::vector<Report> reports;
    std::vector<std::unique_ptr<char[]>> strings;
    std::vector<int> stringSizes;
    std::map<std::string, std::vector<uint8_t>> disk;  // files there are to read
    std::vector<HostFile> files;                       // file id - 1
    int padAfterEnd = 0x1A;
    bool refuseWrites = false;  // OPENTOWRITE_L_S answers 0
    std::optional<int> fileSizeAnswer;  // GETFILESIZE_L_L gives this, not the file's size
    int readByteCalls = 0;
    int fileEofCalls = 0;
    int timerCalls = 0;
    // TIMER_F_0 reads this many seconds at time 0 of the double's clock and
    // counts from midnight, as script hosts commonly do: it wraps to 0 at
    // 86400. A test may start it anywhere, 86399.5 included.
    double timerStartSeconds = 0;
    std::vector<std::string> calls;  // command names in call order
    std::function<void()> onCloseFile;  // runs inside CLOSEFILE_0_L
};

Host& host();
void resetHost();
void* __cdecl lookup(const char* name);

// Files opened and not yet closed.
int filesOpen();
std::string text(const std::vector<uint8_t>& bytes);
std::vector<std::string> messages();

}  // namespace fake

// Every test starts from a freshly loaded module bound to a fresh fake host.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override;
    // Lists the given names as the registry's serial devices and enumerates.
    void listPorts(const std::vector<std::string>& names);
    // Lists, adds and opens COM3; returns its port handle.
    unsigned openPort(const std::string& name = "COM3");
    w32::Device& device(const std::string& name = "COM3") { return w32::world().devices[name]; }
    std::string stdoutText();  // what the module printed since captureStdout()
    void captureStdout();
    bool capturing_ = false;
    void TearDown() override;
};
