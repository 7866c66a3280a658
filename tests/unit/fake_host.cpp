#include "fake_host.h"

#include <cmath>
#include <cstring>

#include "serial/port_list.h"
#include "serial/port_table.h"

namespace fake {
namespace {

Host* theHost = nullptr;

HostFile* fileOf(int id) {
    if (id < 1 || size_t(id) > host().files.size()) return nullptr;
    HostFile* f = &host().files[id - 1];
    return f->open ? f : nullptr;
}

int deviceHandlesOpen() {
    int n = 0;
    for (auto& d : w32::world().devices) n += d.second.openHandles;
    return n;
}

char* __cdecl createString(int size) {
    host().calls.push_back("CREATESTRING_S_L");
    host().stringSizes.push_back(size);
    // Filled with a marker, so a module that forgets to zero it shows.
    host().strings.emplace_back(new char[size > 0 ? size : 1]);
    memset(host().strings.back().get(), 'x', size > 0 ? size : 1);
    return host().strings.back().get();
}

float __cdecl timer() {
    ++host().timerCalls;
    return float(fmod(host().timerStartSeconds + double(w32::world().nowMs) / 1000.0, 86400.0));
}

int openFile(const char* name, bool forWriting) {
    HostFile f;
    f.name = name;
    f.forWriting = forWriting;
    if (forWriting) {
        if (host().refuseWrites) return 0;
    } else {
        auto it = host().disk.find(name);
        if (it == host().disk.end()) return 0;
        f.data = it->second;
    }
    host().files.push_back(f);
    return int(host().files.size());
}

int __cdecl openToWrite(const char* name) {
    host().calls.push_back("OPENTOWRITE_L_S");
    return openFile(name, true);
}

int __cdecl openToRead(const char* name) {
    host().calls.push_back("OPENTOREAD_L_S");
    return openFile(name, false);
}

void __cdecl closeFile(int id) {
    host().calls.push_back("CLOSEFILE_0_L");
    if (host().onCloseFile) host().onCloseFile();
    if (HostFile* f = fileOf(id)) f->open = false;
}

int __cdecl fileEof(int id) {
    ++host().fileEofCalls;
    HostFile* f = fileOf(id);
    return !f || f->readPosition >= f->data.size();
}

int __cdecl getFileSize(int id) {
    host().calls.push_back("GETFILESIZE_L_L");
    if (host().fileSizeAnswer) return *host().fileSizeAnswer;
    HostFile* f = fileOf(id);
    return f ? int(f->data.size()) : -1;
}

void __cdecl writeByte(int id, int value) {
    if (HostFile* f = fileOf(id)) f->data.push_back(uint8_t(value));
}

int __cdecl readByte(int id) {
    ++host().readByteCalls;
    HostFile* f = fileOf(id);
    if (!f || f->readPosition >= f->data.size()) return host().padAfterEnd;
    return f->data[f->readPosition++];
}

void __cdecl pluginError(const char* message) {
    host().calls.push_back("PLUGINERROR_0_S");
    host().reports.push_back({message, deviceHandlesOpen(), filesOpen()});
}

void __cdecl uncalled() { ADD_FAILURE() << "the module called a command it never needs"; }

}  // namespace

Host& host() {
    if (!theHost) theHost = new Host();
    return *theHost;
}

void resetHost() {
    delete theHost;
    theHost = new Host();
}

int filesOpen() {
    int n = 0;
    for (auto& f : host().files) n += f.open;
    return n;
}

std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (auto& r : host().reports) out.push_back(r.message);
    return out;
}

void* __cdecl lookup(const char* name) {
    host().lookups.push_back(name);
    if (host().absent.count(name)) return nullptr;
    static const std::map<std::string, void*> called = {
        {"CREATESTRING_S_L", (void*)createString}, {"TIMER_F_0", (void*)timer},
        {"OPENTOWRITE_L_S", (void*)openToWrite},   {"OPENTOREAD_L_S", (void*)openToRead},
        {"CLOSEFILE_0_L", (void*)closeFile},       {"FILEEOF_L_L", (void*)fileEof},
        {"WRITEBYTE_0_L_L", (void*)writeByte},     {"READBYTE_L_L", (void*)readByte},
        {"PLUGINERROR_0_S", (void*)pluginError},   {"GETFILESIZE_L_L", (void*)getFileSize},
    };
    auto it = called.find(name);
    return it != called.end() ? it->second : (void*)uncalled;
}

}  // namespace fake

void ModuleTest::SetUp() {
    fake::resetHost();
    w32::reset();
    resetHostCommands();
    resetPortList();
    resetPortTable();
    ReceiveORVPtr(fake::lookup);
}

void ModuleTest::TearDown() {
    if (capturing_) stdoutText();
}

void ModuleTest::listPorts(const std::vector<std::string>& names) {
    w32::Registry& r = w32::world().registry;
    r.keyExists = true;
    r.values.clear();
    for (size_t i = 0; i < names.size(); ++i)
        r.values.push_back(w32::regSz("\\Device\\Serial" + std::to_string(i), names[i]));
    EnumerateSerialPorts();
}

unsigned ModuleTest::openPort(const std::string& name) {
    listPorts({name});
    w32::addDevice(name);
    int port = OpenSerialPort(0, 115200, 1, 0);
    EXPECT_GT(port, 0);
    return unsigned(port);
}

void ModuleTest::captureStdout() {
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    capturing_ = true;
}

std::string ModuleTest::stdoutText() {
    fflush(stdout);
    capturing_ = false;
    return ::testing::internal::GetCapturedStdout();
}
