#include "fuzz_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "plugin/exports.h"
#include "hostapi/host_commands.h"
#include "serial/port_list.h"
#include "serial/port_table.h"

namespace fuzzhost {
namespace {

Host* theHost = nullptr;
std::vector<std::unique_ptr<char[]>> strings;

File* fileOf(int id) {
    if (id < 1 || size_t(id) > host().files.size()) return nullptr;
    File* f = &host().files[id - 1];
    return f->open ? f : nullptr;
}

char* __cdecl createString(int size) {
    strings.emplace_back(new char[size > 0 ? size : 1]);
    return strings.back().get();
}

float __cdecl timer() { return float(w32::world().nowMs) / 1000.0f; }

int __cdecl openToWrite(const char* name) {
    File f;
    f.name = name;
    f.forWriting = true;
    host().files.push_back(f);
    return int(host().files.size());
}

int __cdecl openToRead(const char* name) {
    if (host().readableName != name) return 0;
    File f;
    f.name = name;
    f.data = host().readable;
    host().files.push_back(f);
    return int(host().files.size());
}

void __cdecl closeFile(int id) {
    File* f = fileOf(id);
    if (!f) violation("CLOSEFILE_0_L on file id %d, which is not open", id);
    f->open = false;
}

int __cdecl fileEof(int id) {
    File* f = fileOf(id);
    if (!f) violation("FILEEOF_L_L on file id %d, which is not open", id);
    return f->readPosition >= f->data.size();
}

int __cdecl getFileSize(int id) {
    File* f = fileOf(id);
    if (!f || f->forWriting) violation("GETFILESIZE_L_L on file id %d, not open for reading", id);
    return host().sizeAnswer >= -1 ? host().sizeAnswer : int(f->data.size());
}

void __cdecl writeByte(int id, int value) {
    File* f = fileOf(id);
    if (!f || !f->forWriting) violation("WRITEBYTE_0_L_L on file id %d, not open for writing", id);
    if (value < 0 || value > 255) violation("WRITEBYTE_0_L_L with value %d", value);
    f->data.push_back(uint8_t(value));
}

int __cdecl readByte(int id) {
    File* f = fileOf(id);
    if (!f || f->forWriting) violation("READBYTE_L_L on file id %d, not open for reading", id);
    if (f->readPosition >= f->data.size()) {
        ++host().readsPastEnd;
        return host().padAfterEnd;
    }
    return f->data[f->readPosition++];
}

void __cdecl pluginError(const char* message) { host().reports.push_back(message); }

void __cdecl uncalled() { violation("the module called a host command it never needs"); }

void* __cdecl lookup(const char* name) {
    static const struct {
        const char* name;
        void* command;
    } called[] = {
        {"CREATESTRING_S_L", (void*)createString}, {"TIMER_F_0", (void*)timer},
        {"OPENTOWRITE_L_S", (void*)openToWrite},   {"OPENTOREAD_L_S", (void*)openToRead},
        {"CLOSEFILE_0_L", (void*)closeFile},       {"FILEEOF_L_L", (void*)fileEof},
        {"WRITEBYTE_0_L_L", (void*)writeByte},     {"READBYTE_L_L", (void*)readByte},
        {"PLUGINERROR_0_S", (void*)pluginError},   {"GETFILESIZE_L_L", (void*)getFileSize},
    };
    for (const auto& c : called)
        if (strcmp(c.name, name) == 0) return c.command;
    return (void*)uncalled;
}

}  // namespace

Host& host() {
    if (!theHost) theHost = new Host();
    return *theHost;
}

void violation(const char* format, ...) {
    fflush(stdout);
    va_list args;
    va_start(args, format);
    fprintf(stderr, "fuzz property broken: ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
    abort();
}

unsigned freshModuleWithPort() {
    static bool silenced = false;
    if (!silenced) {
        // The traces of thousands of runs are noise; FUZZ_TRACE keeps them.
        if (!getenv("FUZZ_TRACE") && !freopen("/dev/null", "w", stdout)) violation("cannot silence stdout");
        silenced = true;
    }
    endRun();
    ReceiveORVPtr(lookup);

    w32::Registry& r = w32::world().registry;
    r.keyExists = true;
    r.values = {w32::regSz("\\Device\\Serial0", "COM3")};
    EnumerateSerialPorts();
    w32::addDevice("COM3");
    int port = OpenSerialPort(0, 115200, 1, 0);
    if (port <= 0) violation("the port did not open");
    return unsigned(port);
}

void endRun() {
    delete theHost;
    theHost = nullptr;
    std::vector<std::unique_ptr<char[]>>().swap(strings);
    w32::reset();
    resetHostCommands();
    resetPortList();
    resetPortTable();
}

w32::Device& device() { return w32::world().devices["COM3"]; }

int filesOpen() {
    int n = 0;
    for (const File& f : host().files) n += f.open;
    return n;
}

uint64_t delayOf(uint8_t code) { return code <= 200 ? code * 10u : 2000u + (code - 200u) * 200u; }

}  // namespace fuzzhost
