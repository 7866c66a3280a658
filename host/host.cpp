#include "host.h"

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

// ---------------------------------------------------------------- timer

struct HostClock {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    HostClock() {
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
    }
};

// The base is taken on first use, so readings stay small and a float keeps
// sub-millisecond precision for a long time.
const HostClock& host_clock() {
    static const HostClock clock;
    return clock;
}

// ---------------------------------------------------------------- strings

std::vector<std::unique_ptr<char[]>> hostStrings;

// ---------------------------------------------------------------- files

// A transfer moves one byte per host call; a big stdio buffer keeps that
// from turning into a system call every few bytes.
constexpr std::size_t kFileBufferSize = 64 * 1024;

constexpr int kPastEndByte = 0x1A;  // XMODEM's customary pad (Ctrl-Z)

struct FileCloser {
    void operator()(FILE* stream) const { std::fclose(stream); }
};

struct HostFile {
    bool forWriting = false;
    std::unique_ptr<char[]> buffer;
    // Declared after the buffer so the stream is closed (and flushed) before
    // the buffer it uses is freed.
    std::unique_ptr<FILE, FileCloser> stream;
};

// The file with id n sits at position n - 1; an empty slot is a free id.
std::vector<std::unique_ptr<HostFile>> hostFiles;

HostFile* host_file_by_id(int id) {
    if (id < 1 || static_cast<std::size_t>(id) > hostFiles.size()) return nullptr;
    return hostFiles[static_cast<std::size_t>(id) - 1].get();
}

FILE* file_by_id(int id) {
    HostFile* file = host_file_by_id(id);
    return file ? file->stream.get() : nullptr;
}

int open_file(const char* name, const char* mode) {
    if (name == nullptr || name[0] == '\0') return 0;
    try {
        auto file = std::make_unique<HostFile>();
        file->buffer = std::make_unique<char[]>(kFileBufferSize);
        file->forWriting = mode[0] == 'w';
        file->stream.reset(std::fopen(name, mode));
        if (!file->stream) return 0;
        std::setvbuf(file->stream.get(), file->buffer.get(), _IOFBF, kFileBufferSize);
        std::size_t slot = 0;
        while (slot < hostFiles.size() && hostFiles[slot]) ++slot;
        if (slot == hostFiles.size()) hostFiles.emplace_back();
        hostFiles[slot] = std::move(file);
        return static_cast<int>(slot + 1);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

// ---------------------------------------------------------------- errors

std::vector<std::string> pluginErrors;
std::vector<std::string> lookupLog;

// ---------------------------------------------------------------- host commands

char* __cdecl CreateString(int size) {
    const std::size_t bytes = size > 0 ? static_cast<std::size_t>(size) : 1;
    try {
        auto text = std::make_unique<char[]>(bytes);  // zero-filled
        char* result = text.get();
        hostStrings.push_back(std::move(text));
        return result;
    } catch (const std::bad_alloc&) {
        // The plug-in writes into the buffer at once; handing back anything
        // smaller than asked would corrupt memory.
        std::fprintf(stderr, "serialhost: out of memory for a host string of %d bytes\n", size);
        std::abort();
    }
}

float __cdecl Timer() { return static_cast<float>(host_seconds()); }

int __cdecl OpenToWrite(const char* name) { return open_file(name, "wb"); }

int __cdecl OpenToRead(const char* name) { return open_file(name, "rb"); }

void __cdecl CloseFile(int id) {
    if (file_by_id(id) != nullptr) hostFiles[static_cast<std::size_t>(id) - 1].reset();
}

// An unknown id has nothing to read either, so a reading loop ends on it.
int __cdecl FileEof(int id) {
    FILE* stream = file_by_id(id);
    if (stream == nullptr) return 1;
    const int next = std::getc(stream);
    if (next == EOF) return 1;
    std::ungetc(next, stream);
    return 0;
}

// The file's length in bytes, what is still buffered for writing included;
// -1 for an unknown id or a file too long for the 32-bit answer.
int __cdecl GetFileSize(int id) {
    HostFile* file = host_file_by_id(id);
    if (file == nullptr) return -1;
    // Flushing a stream open for reading would throw its read-ahead away.
    if (file->forWriting) std::fflush(file->stream.get());
    const long long length = _filelengthi64(_fileno(file->stream.get()));
    return length >= 0 && length <= 0x7FFFFFFFLL ? static_cast<int>(length) : -1;
}

void __cdecl WriteByte(int id, int value) {
    if (FILE* stream = file_by_id(id)) std::fputc(value & 0xFF, stream);
}

// The last XMODEM block is read on past the end of the file; it is padded
// with 0x1A, as XMODEM receivers expect.
int __cdecl ReadByte(int id) {
    FILE* stream = file_by_id(id);
    if (stream == nullptr) return 0;
    const int next = std::getc(stream);
    return next == EOF ? kPastEndByte : next;
}

void __cdecl PluginError(const char* message) {
    if (message == nullptr) message = "";
    try {
        pluginErrors.emplace_back(message);
    } catch (const std::bad_alloc&) {
        // Still printed below; only the record is lost.
    }
    std::fprintf(stderr, "serialport error: %s\n", message);
}

// The eighteen commands the plug-in looks up but never calls.
void __cdecl DeleteString(const char*) {}
void __cdecl OpenToWriteIdNameMode(int, const char*, int) {}
void __cdecl OpenToWriteIdName(int, const char*) {}
int __cdecl OpenToWriteNameMode(const char*, int) { return 0; }
void __cdecl OpenToReadIdName(int, const char*) {}
int __cdecl FileIsOpen(int) { return 0; }
int __cdecl GetFilePos(int) { return 0; }
void __cdecl SetFilePos(int, int) {}
void __cdecl WriteInteger(int, int) {}
void __cdecl WriteFloat(int, float) {}
void __cdecl WriteString(int, const char*) {}
void __cdecl WriteString2(int, const char*) {}
void __cdecl WriteLine(int, const char*) {}
int __cdecl ReadInteger(int) { return 0; }
float __cdecl ReadFloat(int) { return 0.0f; }
char* __cdecl ReadString(int) { return CreateString(1); }
char* __cdecl ReadString2(int) { return CreateString(1); }
char* __cdecl ReadLine(int) { return CreateString(1); }

template <typename Fn>
void* entry(Fn* fn) {
    return reinterpret_cast<void*>(fn);
}

struct HostCommand {
    const char* name;
    void* entry;
};

// In the order the plug-in's binder asks for them.
const HostCommand kCommands[] = {
    {"CREATESTRING_S_L", entry(CreateString)},
    {"DELETESTRING_0_S", entry(DeleteString)},
    {"TIMER_F_0", entry(Timer)},
    {"OPENTOWRITE_0_L_S_L", entry(OpenToWriteIdNameMode)},
    {"OPENTOWRITE_0_L_S", entry(OpenToWriteIdName)},
    {"OPENTOWRITE_L_S_L", entry(OpenToWriteNameMode)},
    {"OPENTOWRITE_L_S", entry(OpenToWrite)},
    {"OPENTOREAD_L_S", entry(OpenToRead)},
    {"OPENTOREAD_0_L_S", entry(OpenToReadIdName)},
    {"FILEISOPEN_L_L", entry(FileIsOpen)},
    {"CLOSEFILE_0_L", entry(CloseFile)},
    {"FILEEOF_L_L", entry(FileEof)},
    {"GETFILESIZE_L_L", entry(GetFileSize)},
    {"GETFILEPOS_L_L", entry(GetFilePos)},
    {"SETFILEPOS_0_L_L", entry(SetFilePos)},
    {"WRITEBYTE_0_L_L", entry(WriteByte)},
    {"WRITEINTEGER_0_L_L", entry(WriteInteger)},
    {"WRITEFLOAT_0_L_F", entry(WriteFloat)},
    {"WRITESTRING_0_L_S", entry(WriteString)},
    {"WRITESTRING2_0_L_S", entry(WriteString2)},
    {"WRITELINE_0_L_S", entry(WriteLine)},
    {"READBYTE_L_L", entry(ReadByte)},
    {"READINTEGER_L_L", entry(ReadInteger)},
    {"READFLOAT_F_L", entry(ReadFloat)},
    {"READSTRING_S_L", entry(ReadString)},
    {"READSTRING2_S_L", entry(ReadString2)},
    {"READLINE_S_L", entry(ReadLine)},
    {"PLUGINERROR_0_S", entry(PluginError)},
};

// ---------------------------------------------------------------- loading

template <typename Fn>
void find_export(HMODULE dll, const char* name, Fn* slot, std::string* missing) {
    FARPROC found = GetProcAddress(dll, name);
    if (found == nullptr) {
        if (!missing->empty()) missing->append(", ");
        missing->append(name);
        return;
    }
    // Through void*: FARPROC's own signature says nothing about the export's.
    *slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(found));
}

}  // namespace

bool host_load(const char* dllPath, PluginApi* api, std::string* error) {
    host_clock();
    const std::string path = dllPath != nullptr ? dllPath : "";
    HMODULE dll = LoadLibraryA(path.c_str());
    if (dll == nullptr) {
        const DWORD code = GetLastError();
        if (error != nullptr)
            *error = "cannot load " + path + " (system error " + std::to_string(code) + ")";
        return false;
    }
    PluginApi found{};
    std::string missing;
    find_export(dll, "ReceiveORVPtr", &found.ReceiveORVPtr, &missing);
    find_export(dll, "?EnumerateSerialPorts@@YAHXZ", &found.EnumerateSerialPorts, &missing);
    find_export(dll, "?GetSerialPortName@@YAPADI@Z", &found.GetSerialPortName, &missing);
    find_export(dll, "?OpenSerialPort@@YAHIIII@Z", &found.OpenSerialPort, &missing);
    find_export(dll, "?CloseSerialPort@@YAXI@Z", &found.CloseSerialPort, &missing);
    find_export(dll, "?GetSerialBytesAvailable@@YAHI@Z", &found.GetSerialBytesAvailable, &missing);
    find_export(dll, "?ReadSerialData@@YAPADII@Z", &found.ReadSerialData, &missing);
    find_export(dll, "?WriteSerialData@@YAHIPADH@Z", &found.WriteSerialData, &missing);
    find_export(dll, "?ReceiveSerialFile@@YAHIPADH@Z", &found.ReceiveSerialFile, &missing);
    find_export(dll, "?SendSerialFile@@YAHIPADH@Z", &found.SendSerialFile, &missing);
    find_export(dll, "?GetSerialPortDescription@@YAPADI@Z", &found.GetSerialPortDescription, &missing);
    find_export(dll, "?GetSerialPortHardwareId@@YAPADI@Z", &found.GetSerialPortHardwareId, &missing);
    find_export(dll, "?GetSerialPortUsbId@@YAPADI@Z", &found.GetSerialPortUsbId, &missing);
    if (!missing.empty()) {
        FreeLibrary(dll);
        if (error != nullptr) *error = path + " does not export " + missing;
        return false;
    }
    *api = found;
    api->ReceiveORVPtr(host_lookup);
    return true;
}

void* host_command(const char* name) {
    if (name == nullptr) return nullptr;
    for (const HostCommand& command : kCommands)
        if (std::strcmp(command.name, name) == 0) return command.entry;
    return nullptr;
}

extern "C" void* __cdecl host_lookup(const char* name) {
    host_clock();
    try {
        lookupLog.emplace_back(name != nullptr ? name : "");
    } catch (const std::bad_alloc&) {
        // The answer matters more than the record.
    }
    return host_command(name);
}

const std::vector<std::string>& host_lookup_log() { return lookupLog; }

void host_clear_lookup_log() { lookupLog.clear(); }

void host_free_strings() { hostStrings.clear(); }

std::size_t host_string_count() { return hostStrings.size(); }

const std::vector<std::string>& host_errors() { return pluginErrors; }

void host_clear_errors() { pluginErrors.clear(); }

double host_seconds() {
    const HostClock& clock = host_clock();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - clock.start.QuadPart) /
           static_cast<double>(clock.frequency.QuadPart);
}

unsigned long host_handle_count() {
    unsigned long count = 0;
    for (ULONG_PTR value = 4; value <= 4 * 65536; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}
