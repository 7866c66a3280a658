#include "host.h"

#include <io.h>
#include <windows.h>

#include <atomic>
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
const HostClock& hostClock() {
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

struct FileEntry {
    bool forWriting = false;
    std::unique_ptr<char[]> buffer;
    // Declared after the buffer so the stream is closed (and flushed) before
    // the buffer it uses is freed.
    std::unique_ptr<FILE, FileCloser> stream;
};

// The file with id n sits at position n - 1; an empty slot is a free id.
std::vector<std::unique_ptr<FileEntry>> fileTable;

FileEntry* entryById(int id) {
    if (id < 1 || static_cast<std::size_t>(id) > fileTable.size()) return nullptr;
    return fileTable[static_cast<std::size_t>(id) - 1].get();
}

FILE* streamById(int id) {
    FileEntry* file = entryById(id);
    return file ? file->stream.get() : nullptr;
}

int openFile(const char* name, const char* mode) {
    if (name == nullptr || name[0] == '\0') return 0;
    try {
        auto file = std::make_unique<FileEntry>();
        file->buffer = std::make_unique<char[]>(kFileBufferSize);
        file->forWriting = mode[0] == 'w';
        file->stream.reset(std::fopen(name, mode));
        if (!file->stream) return 0;
        std::setvbuf(file->stream.get(), file->buffer.get(), _IOFBF, kFileBufferSize);
        std::size_t slot = 0;
        while (slot < fileTable.size() && fileTable[slot]) ++slot;
        if (slot == fileTable.size()) fileTable.emplace_back();
        fileTable[slot] = std::move(file);
        return static_cast<int>(slot + 1);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

// ---------------------------------------------------------------- errors

std::vector<std::string> pluginErrors;
std::vector<std::string> lookupLog;

// ---------------------------------------------------------------- host commands

char* __cdecl createString(int size) {
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

float __cdecl timer() { return static_cast<float>(hostSeconds()); }

int __cdecl openToWrite(const char* name) { return openFile(name, "wb"); }

int __cdecl openToRead(const char* name) { return openFile(name, "rb"); }

void __cdecl closeFile(int id) {
    if (streamById(id) != nullptr) fileTable[static_cast<std::size_t>(id) - 1].reset();
}

// An unknown id has nothing to read either, so a reading loop ends on it.
int __cdecl fileEof(int id) {
    FILE* stream = streamById(id);
    if (stream == nullptr) return 1;
    const int next = std::getc(stream);
    if (next == EOF) return 1;
    std::ungetc(next, stream);
    return 0;
}

// The file's length in bytes, what is still buffered for writing included;
// -1 for an unknown id or a file too long for the 32-bit answer.
int __cdecl getFileSize(int id) {
    FileEntry* file = entryById(id);
    if (file == nullptr) return -1;
    // Flushing a stream open for reading would throw its read-ahead away.
    if (file->forWriting) std::fflush(file->stream.get());
    const long long length = _filelengthi64(_fileno(file->stream.get()));
    return length >= 0 && length <= 0x7FFFFFFFLL ? static_cast<int>(length) : -1;
}

std::atomic<unsigned long long> bytesRead{0};
std::atomic<unsigned long long> bytesWritten{0};

void __cdecl writeByte(int id, int value) {
    if (FILE* stream = streamById(id)) {
        std::fputc(value & 0xFF, stream);
        bytesWritten.fetch_add(1, std::memory_order_relaxed);
    }
}

// The last XMODEM block is read on past the end of the file; it is padded
// with 0x1A, as XMODEM receivers expect.
int __cdecl readByte(int id) {
    FILE* stream = streamById(id);
    if (stream == nullptr) return 0;
    const int next = std::getc(stream);
    if (next == EOF) return kPastEndByte;
    bytesRead.fetch_add(1, std::memory_order_relaxed);
    return next;
}

void __cdecl pluginError(const char* message) {
    if (message == nullptr) message = "";
    try {
        pluginErrors.emplace_back(message);
    } catch (const std::bad_alloc&) {
        // Still printed below; only the record is lost.
    }
    std::fprintf(stderr, "serialport error: %s\n", message);
}

// The eighteen commands the plug-in looks up but never calls.
void __cdecl deleteString(const char*) {}
void __cdecl openToWriteIdNameMode(int, const char*, int) {}
void __cdecl openToWriteIdName(int, const char*) {}
int __cdecl openToWriteNameMode(const char*, int) { return 0; }
void __cdecl openToReadIdName(int, const char*) {}
int __cdecl fileIsOpen(int) { return 0; }
int __cdecl getFilePos(int) { return 0; }
void __cdecl setFilePos(int, int) {}
void __cdecl writeInteger(int, int) {}
void __cdecl writeFloat(int, float) {}
void __cdecl writeString(int, const char*) {}
void __cdecl writeString2(int, const char*) {}
void __cdecl writeLine(int, const char*) {}
int __cdecl readInteger(int) { return 0; }
float __cdecl readFloat(int) { return 0.0f; }
char* __cdecl readString(int) { return createString(1); }
char* __cdecl readString2(int) { return createString(1); }
char* __cdecl readLine(int) { return createString(1); }

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
    {"CREATESTRING_S_L", entry(createString)},
    {"DELETESTRING_0_S", entry(deleteString)},
    {"TIMER_F_0", entry(timer)},
    {"OPENTOWRITE_0_L_S_L", entry(openToWriteIdNameMode)},
    {"OPENTOWRITE_0_L_S", entry(openToWriteIdName)},
    {"OPENTOWRITE_L_S_L", entry(openToWriteNameMode)},
    {"OPENTOWRITE_L_S", entry(openToWrite)},
    {"OPENTOREAD_L_S", entry(openToRead)},
    {"OPENTOREAD_0_L_S", entry(openToReadIdName)},
    {"FILEISOPEN_L_L", entry(fileIsOpen)},
    {"CLOSEFILE_0_L", entry(closeFile)},
    {"FILEEOF_L_L", entry(fileEof)},
    {"GETFILESIZE_L_L", entry(getFileSize)},
    {"GETFILEPOS_L_L", entry(getFilePos)},
    {"SETFILEPOS_0_L_L", entry(setFilePos)},
    {"WRITEBYTE_0_L_L", entry(writeByte)},
    {"WRITEINTEGER_0_L_L", entry(writeInteger)},
    {"WRITEFLOAT_0_L_F", entry(writeFloat)},
    {"WRITESTRING_0_L_S", entry(writeString)},
    {"WRITESTRING2_0_L_S", entry(writeString2)},
    {"WRITELINE_0_L_S", entry(writeLine)},
    {"READBYTE_L_L", entry(readByte)},
    {"READINTEGER_L_L", entry(readInteger)},
    {"READFLOAT_F_L", entry(readFloat)},
    {"READSTRING_S_L", entry(readString)},
    {"READSTRING2_S_L", entry(readString2)},
    {"READLINE_S_L", entry(readLine)},
    {"PLUGINERROR_0_S", entry(pluginError)},
};

// ---------------------------------------------------------------- loading

template <typename Fn>
void findExport(HMODULE dll, const char* name, Fn* slot, std::string* missing) {
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

bool hostLoad(const char* dllPath, PluginApi* api, std::string* error) {
    hostClock();
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
    findExport(dll, "ReceiveORVPtr", &found.ReceiveORVPtr, &missing);
    findExport(dll, "?EnumerateSerialPorts@@YAHXZ", &found.EnumerateSerialPorts, &missing);
    findExport(dll, "?GetSerialPortName@@YAPADI@Z", &found.GetSerialPortName, &missing);
    findExport(dll, "?OpenSerialPort@@YAHIIII@Z", &found.OpenSerialPort, &missing);
    findExport(dll, "?CloseSerialPort@@YAXI@Z", &found.CloseSerialPort, &missing);
    findExport(dll, "?GetSerialBytesAvailable@@YAHI@Z", &found.GetSerialBytesAvailable, &missing);
    findExport(dll, "?ReadSerialData@@YAPADII@Z", &found.ReadSerialData, &missing);
    findExport(dll, "?WriteSerialData@@YAHIPADH@Z", &found.WriteSerialData, &missing);
    findExport(dll, "?ReceiveSerialFile@@YAHIPADH@Z", &found.ReceiveSerialFile, &missing);
    findExport(dll, "?SendSerialFile@@YAHIPADH@Z", &found.SendSerialFile, &missing);
    findExport(dll, "?GetSerialPortDescription@@YAPADI@Z", &found.GetSerialPortDescription, &missing);
    findExport(dll, "?GetSerialPortHardwareId@@YAPADI@Z", &found.GetSerialPortHardwareId, &missing);
    findExport(dll, "?GetSerialPortUsbId@@YAPADI@Z", &found.GetSerialPortUsbId, &missing);
    findExport(dll, "?SetSerialLines@@YAHIHH@Z", &found.SetSerialLines, &missing);
    findExport(dll, "?GetSerialLines@@YAHI@Z", &found.GetSerialLines, &missing);
    findExport(dll, "?SendSerialBreak@@YAHII@Z", &found.SendSerialBreak, &missing);
    findExport(dll, "?SetSerialFlowControl@@YAHIH@Z", &found.SetSerialFlowControl, &missing);
    findExport(dll, "?SetSerialSpeed@@YAHII@Z", &found.SetSerialSpeed, &missing);
    findExport(dll, "?FlushSerialPort@@YAHIH@Z", &found.FlushSerialPort, &missing);
    findExport(dll, "?ReadSerialUntil@@YAPADIPADI@Z", &found.ReadSerialUntil, &missing);
    if (!missing.empty()) {
        FreeLibrary(dll);
        if (error != nullptr) *error = path + " does not export " + missing;
        return false;
    }
    *api = found;
    api->ReceiveORVPtr(hostLookup);
    return true;
}

void* hostCommand(const char* name) {
    if (name == nullptr) return nullptr;
    for (const HostCommand& command : kCommands)
        if (std::strcmp(command.name, name) == 0) return command.entry;
    return nullptr;
}

extern "C" void* __cdecl hostLookup(const char* name) {
    hostClock();
    try {
        lookupLog.emplace_back(name != nullptr ? name : "");
    } catch (const std::bad_alloc&) {
        // The answer matters more than the record.
    }
    return hostCommand(name);
}

const std::vector<std::string>& hostLookupLog() { return lookupLog; }

void hostClearLookupLog() { lookupLog.clear(); }

void hostFreeStrings() { hostStrings.clear(); }

std::size_t hostStringCount() { return hostStrings.size(); }

const std::vector<std::string>& hostErrors() { return pluginErrors; }

void hostClearErrors() { pluginErrors.clear(); }

double hostSeconds() {
    const HostClock& clock = hostClock();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - clock.start.QuadPart) /
           static_cast<double>(clock.frequency.QuadPart);
}

unsigned long long hostBytesRead() { return bytesRead.load(std::memory_order_relaxed); }

unsigned long long hostBytesWritten() { return bytesWritten.load(std::memory_order_relaxed); }

unsigned long hostHandleCount() {
    unsigned long count = 0;
    for (ULONG_PTR value = 4; value <= 4 * 65536; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}
