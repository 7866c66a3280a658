#include "win32_double.h"

#include <process.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "setupapi_double.h"

namespace w32 {
namespace {

World* theWorld = nullptr;

// Device handles and thread handles are small numbers dressed as pointers.
constexpr uintptr_t kDeviceHandleBase = 0x1000;
constexpr uintptr_t kThreadHandleBase = 0x100000;
// By handle from kDeviceHandleBase on, null once closed. A device stays
// where it is in the world's map until the world is reset, which closes
// every handle.
std::vector<Device*> deviceHandles;
std::map<uintptr_t, bool> threadHandles;  // handle -> the thread has ended
uintptr_t nextThreadHandle = kThreadHandleBase;
HKEY const kSerialcommKey = reinterpret_cast<HKEY>(uintptr_t{0x7000});

Device* deviceOf(HANDLE handle) {
    uintptr_t i = reinterpret_cast<uintptr_t>(handle) - kDeviceHandleBase;
    return i < deviceHandles.size() ? deviceHandles[i] : nullptr;
}

BOOL fail(DWORD code) {
    world().lastError = code;
    return FALSE;
}

// A device call that fails still takes a moment, as it does on Windows.
BOOL failDevice(DWORD code) {
    world().nowMs += world().failureCostMs;
    return fail(code);
}

// Raises the line errors of the damaged bytes that have arrived by `upTo`.
void raiseLineErrors(Device& d, uint64_t upTo) { d.lineErrors |= d.incoming.raise(upTo); }

bool abortedByLineError(Device& d) { return d.dcb.fAbortOnError && d.lineErrors != 0; }

// Thrown by ExitThread and caught where the double runs a thread's function.
struct ThreadExit {
    DWORD code;
};

HMODULE const kThisModule = reinterpret_cast<HMODULE>(uintptr_t{0x400000});

}  // namespace

bool Fault::hit() {
    ++calls;
    if (onCall == 0) return false;
    return sticky ? calls >= onCall : calls == onCall;
}

void Arrivals::push(uint64_t atMs, const uint8_t* data, size_t count, DWORD errors) {
    if (count == 0) return;
    if (empty()) {
        bytes.clear();
        runs.clear();
        head = firstRun = raisedRuns = 0;
    } else {
        atMs = std::max(atMs, lastAtMs());
    }
    bytes.insert(bytes.end(), data, data + count);
    // A damaged byte starts a run: the run before it may have been raised.
    if (!runs.empty() && runs.back().atMs == atMs && errors == 0)
        runs.back().end = bytes.size();
    else
        runs.push_back({atMs, bytes.size(), errors});
}

size_t Arrivals::due(uint64_t nowMs) const {
    auto pending = std::partition_point(runs.begin() + firstRun, runs.end(),
                                        [nowMs](const Run& r) { return r.atMs <= nowMs; });
    size_t arrivedEnd = pending == runs.begin() + firstRun ? head : std::prev(pending)->end;
    return arrivedEnd - head;
}

DWORD Arrivals::raise(uint64_t upTo) {
    DWORD errors = 0;
    raisedRuns = std::max(raisedRuns, firstRun);
    for (; raisedRuns < runs.size() && runs[raisedRuns].atMs <= upTo; ++raisedRuns) {
        errors |= runs[raisedRuns].errors;
        runs[raisedRuns].errors = 0;
    }
    return errors;
}

size_t Arrivals::take(uint8_t* out, size_t count, uint64_t nowMs) {
    size_t taken = 0;
    while (taken < count && !empty() && frontAtMs() <= nowMs) {
        const size_t n = std::min(count - taken, runs[firstRun].end - head);
        memcpy(out + taken, bytes.data() + head, n);
        taken += n;
        head += n;
        if (head == runs[firstRun].end) ++firstRun;
    }
    return taken;
}

void Device::arrive(const uint8_t* bytes, size_t count, uint64_t delayMs) {
    incoming.push(world().nowMs + delayMs, bytes, count);
}

void Device::arrive(const Bytes& bytes, uint64_t delayMs) { arrive(bytes.data(), bytes.size(), delayMs); }

void Device::arriveDamaged(uint8_t byte, DWORD errors, uint64_t delayMs) {
    incoming.push(world().nowMs + delayMs, &byte, 1, errors);
}

void Device::arrive(const std::string& text, uint64_t delayMs) {
    arrive(reinterpret_cast<const uint8_t*>(text.data()), text.size(), delayMs);
}

size_t Device::queued() const { return incoming.due(world().nowMs); }

RegValue regSz(const std::string& name, const std::string& text, bool terminator) {
    Bytes data(text.begin(), text.end());
    if (terminator) data.push_back(0);
    return {name, REG_SZ, data};
}

RegValue regValue(const std::string& name, DWORD type, const Bytes& data) {
    return {name, type, data};
}

World& world() {
    if (!theWorld) theWorld = new World();
    return *theWorld;
}

// Holds nothing until the world is used again: a fuzz run that resets at its
// end has freed all it allocated, which libFuzzer's leak check looks for.
void reset() {
    delete theWorld;
    theWorld = nullptr;
    deviceHandles.clear();
    threadHandles.clear();
    nextThreadHandle = kThreadHandleBase;
    resetDeviceRegistry();
}

Device& addDevice(const std::string& name) {
    Device& d = world().devices[name];
    d = Device();
    d.name = name;
    d.dcb.DCBlength = sizeof(DCB);
    d.dcb.BaudRate = 9600;
    d.dcb.ByteSize = 7;
    d.dcb.Parity = MARKPARITY;
    d.dcb.StopBits = ONE5STOPBITS;
    d.dcb.fBinary = 1;
    d.dcb.fOutxCtsFlow = 1;
    d.dcb.fRtsControl = 2;
    d.dcb.XonChar = 0x11;
    d.dcb.XoffChar = 0x13;
    d.dcb.XonLim = 2048;
    d.dcb.XoffLim = 512;
    d.dcb.EofChar = 0x1a;
    return d;
}

void advanceMs(uint64_t ms) { world().nowMs += ms; }

void runPendingThreads() {
    auto pending = std::move(world().pendingThreads);
    world().pendingThreads.clear();
    for (auto& run : pending) run();
}

}  // namespace w32

using namespace w32;

DWORD GetLastError() { return world().lastError; }
void SetLastError(DWORD code) { world().lastError = code; }
ULONGLONG GetTickCount64() { return world().nowMs; }
DWORD GetTickCount() { return static_cast<DWORD>(world().nowMs); }
void Sleep(DWORD ms) { world().nowMs += ms; }

// A thread that has not run (runThreadsAtOnce off) waits out the whole time.
DWORD WaitForSingleObject(HANDLE handle, DWORD ms) {
    auto t = threadHandles.find(reinterpret_cast<uintptr_t>(handle));
    if (t == threadHandles.end()) {
        fprintf(stderr, "win32 double: WaitForSingleObject on something other than a thread\n");
        abort();
    }
    if (t->second) return WAIT_OBJECT_0;
    world().nowMs += ms;
    return WAIT_TIMEOUT;
}

BOOL GetModuleHandleExA(DWORD flags, LPCSTR, HMODULE* module) {
    *module = nullptr;
    if (!(flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) return fail(ERROR_INVALID_PARAMETER);
    if (world().failModuleRef) return fail(ERROR_NOT_ENOUGH_MEMORY);
    if (!(flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) ++world().moduleRefs;
    *module = kThisModule;
    return TRUE;
}

BOOL FreeLibrary(HMODULE module) {
    if (module != kThisModule || world().moduleRefs == 0) return fail(ERROR_INVALID_HANDLE);
    --world().moduleRefs;
    return TRUE;
}

void FreeLibraryAndExitThread(HMODULE module, DWORD exitCode) {
    if (!FreeLibrary(module)) {
        fprintf(stderr, "win32 double: FreeLibraryAndExitThread without a module reference\n");
        abort();
    }
    throw ThreadExit{exitCode};
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flags, HANDLE) {
    const char* prefix = "\\\\.\\";
    if (strncmp(path, prefix, 4) != 0 || access != (GENERIC_READ | GENERIC_WRITE) || share != 0 ||
        disposition != OPEN_EXISTING || flags != FILE_ATTRIBUTE_NORMAL) {
        fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto it = world().devices.find(path + 4);
    if (it == world().devices.end()) {
        fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Device& d = it->second;
    if (d.openError) {
        fail(d.openError);
        return INVALID_HANDLE_VALUE;
    }
    if (d.exclusive && d.openHandles > 0) {
        fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ++d.openHandles;
    ++d.opens;
    deviceHandles.push_back(&d);
    return reinterpret_cast<HANDLE>(kDeviceHandleBase + deviceHandles.size() - 1);
}

BOOL CloseHandle(HANDLE handle) {
    uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    auto t = threadHandles.find(h);
    if (t != threadHandles.end()) {
        threadHandles.erase(t);
        --world().threadHandlesOpen;
        return TRUE;
    }
    Device* d = deviceOf(handle);
    if (!d) {
        ++world().closeHandleFailures;
        return fail(ERROR_INVALID_HANDLE);
    }
    deviceHandles[h - kDeviceHandleBase] = nullptr;
    --d->openHandles;
    ++d->closes;
    return TRUE;
}

BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    Device* d = deviceOf(handle);
    if (!d) return failDevice(ERROR_INVALID_HANDLE);
    if (d->getState.hit()) return failDevice(d->getState.code);
    if (dcb->DCBlength != sizeof(DCB)) return fail(ERROR_INVALID_PARAMETER);
    *dcb = d->dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    Device* d = deviceOf(handle);
    if (!d) return failDevice(ERROR_INVALID_HANDLE);
    if (d->setState.hit()) return failDevice(d->setState.code);
    if (d->refusedBaud && dcb->BaudRate == d->refusedBaud) return failDevice(ERROR_INVALID_PARAMETER);
    d->dcb = *dcb;
    d->states.push_back(*dcb);
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    Device* d = deviceOf(handle);
    if (!d) return failDevice(ERROR_INVALID_HANDLE);
    if (d->setTimeouts.hit()) return failDevice(d->setTimeouts.code);
    d->timeouts = *timeouts;
    return TRUE;
}

BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat) {
    Device* d = deviceOf(handle);
    if (!d) return failDevice(ERROR_INVALID_HANDLE);
    if (d->clearError.hit()) return failDevice(d->clearError.code);
    raiseLineErrors(*d, world().nowMs);
    if (errors) *errors = d->lineErrors;
    d->lineErrors = 0;
    if (stat) stat->cbInQue = static_cast<DWORD>(d->queued());
    return TRUE;
}

// A read ends when `toRead` bytes are in, when the interval time-out passes
// between two arrivals, when the total time-out runs out, or (aborting on
// errors) when a damaged byte arrives; the clock moves to the moment it ends.
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read) *read = 0;
    Device* d = deviceOf(handle);
    if (!d || overlapped) return failDevice(ERROR_INVALID_HANDLE);
    d->readSizes.push_back(toRead);
    if (d->read.hit()) return failDevice(d->read.code);
    raiseLineErrors(*d, world().nowMs);
    if (abortedByLineError(*d)) return failDevice(ERROR_OPERATION_ABORTED);
    if (d->hungUp) {
        if (d->instantReadsAtMs != world().nowMs) d->instantReads = 0;
        d->instantReadsAtMs = world().nowMs;
        if (++d->instantReads > 1000) {
            fprintf(stderr, "win32 double: 1000 reads on a hung-up line with no time passing: a loop spins\n");
            abort();
        }
        if (d->onRead) d->onRead(*d, static_cast<uint8_t*>(buffer), 0);
        return TRUE;
    }
    const COMMTIMEOUTS& t = d->timeouts;
    const uint64_t kNever = UINT64_MAX;
    uint64_t total = uint64_t(t.ReadTotalTimeoutMultiplier) * toRead + t.ReadTotalTimeoutConstant;
    uint64_t deadline = total ? world().nowMs + total : kNever;
    uint64_t now = world().nowMs;
    uint64_t lastArrival = 0;
    DWORD got = 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (got < toRead) {
        if (!d->incoming.empty() && d->incoming.frontAtMs() <= now) {
            raiseLineErrors(*d, now);
            if (abortedByLineError(*d)) {
                world().nowMs = std::max(world().nowMs, now);
                if (read) *read = got;
                return failDevice(ERROR_OPERATION_ABORTED);
            }
            // With no time per byte, all that has arrived comes in one go:
            // its line errors were raised just now.
            got += DWORD(d->incoming.take(out + got, d->readMsPerByte ? 1 : toRead - got, now));
            lastArrival = now;
            now += d->readMsPerByte;
            continue;
        }
        uint64_t limit = deadline;
        if (got > 0 && t.ReadIntervalTimeout)
            limit = std::min<uint64_t>(limit, lastArrival + t.ReadIntervalTimeout);
        uint64_t next = d->incoming.empty() ? kNever : d->incoming.frontAtMs();
        if (next > limit) {
            if (limit == kNever) {
                fprintf(stderr, "win32 double: ReadFile would wait forever\n");
                abort();
            }
            now = std::max(now, limit);
            break;
        }
        now = next;
    }
    world().nowMs = std::max(world().nowMs, now);
    if (read) *read = got;
    if (d->onRead) d->onRead(*d, out, got);
    return TRUE;
}

// A write ends when every byte has gone out, or when its total time-out runs
// out: then it succeeds with the bytes that went out in time.
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    if (written) *written = 0;
    Device* d = deviceOf(handle);
    if (!d || overlapped) return failDevice(ERROR_INVALID_HANDLE);
    if (d->write.hit()) return failDevice(d->write.code);
    raiseLineErrors(*d, world().nowMs);
    if (abortedByLineError(*d)) return failDevice(ERROR_OPERATION_ABORTED);
    const COMMTIMEOUTS& t = d->timeouts;
    uint64_t total = uint64_t(t.WriteTotalTimeoutMultiplier) * toWrite + t.WriteTotalTimeoutConstant;
    uint64_t deadline = total ? world().nowMs + total : kForever;
    uint64_t now = world().nowMs;
    DWORD sent = 0;
    while (sent < toWrite) {
        uint64_t start = std::max(now, d->ctsHeldUntilMs);
        if (start == kForever || start + d->writeMsPerByte > deadline) break;
        now = start + d->writeMsPerByte;
        ++sent;
    }
    if (sent < toWrite) {
        if (deadline == kForever) {
            fprintf(stderr, "win32 double: WriteFile would wait forever\n");
            abort();
        }
        now = deadline;
    }
    world().nowMs = std::max(world().nowMs, now);
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    d->written.insert(d->written.end(), in, in + sent);
    d->writes.emplace_back(in, in + sent);
    if (written) *written = sent;
    if (d->onWrite) d->onWrite(*d, d->writes.back());
    return TRUE;
}

// Empties only what it is asked to: the bytes that have arrived for
// PURGE_RXCLEAR (those still on their way come later); written bytes have
// gone out at once here, so PURGE_TXCLEAR finds nothing.
BOOL PurgeComm(HANDLE handle, DWORD flags) {
    Device* d = deviceOf(handle);
    if (!d) return failDevice(ERROR_INVALID_HANDLE);
    if (d->purge.hit()) return failDevice(d->purge.code);
    if (flags & ~DWORD(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return fail(ERROR_INVALID_PARAMETER);
    d->purges.push_back(flags);
    if (flags & PURGE_RXCLEAR) {
        std::vector<uint8_t> dropped(d->queued());
        d->incoming.take(dropped.data(), dropped.size(), world().nowMs);
    }
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE handle, LPDWORD status) {
    Device* d = deviceOf(handle);
    if (!d) return failDevice(ERROR_INVALID_HANDLE);
    if (d->modemStatus.hit()) return failDevice(d->modemStatus.code);
    *status = d->lines;
    return TRUE;
}

BOOL SetCommBreak(HANDLE handle) {
    Device* d = deviceOf(handle);
    if (!d) return failDevice(ERROR_INVALID_HANDLE);
    if (d->setBreak.hit()) return failDevice(d->setBreak.code);
    if (!d->breakOn) d->breakSinceMs = world().nowMs;
    d->breakOn = true;
    return TRUE;
}

BOOL ClearCommBreak(HANDLE handle) {
    Device* d = deviceOf(handle);
    if (!d) return failDevice(ERROR_INVALID_HANDLE);
    if (d->clearBreak.hit()) return failDevice(d->clearBreak.code);
    if (d->breakOn) d->breaks.push_back(world().nowMs - d->breakSinceMs);
    d->breakOn = false;
    return TRUE;
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    Registry& r = world().registry;
    r.openedPath = subKey ? subKey : "";
    r.openedAccess = access;
    if (r.openStatus) return r.openStatus;
    if (key != HKEY_LOCAL_MACHINE || options != 0 || !r.keyExists ||
        r.openedPath != "Hardware\\Devicemap\\Serialcomm")
        return ERROR_FILE_NOT_FOUND;
    ++r.openKeys;
    *result = kSerialcommKey;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyA(HKEY key, LPSTR, LPDWORD, LPDWORD, LPDWORD subKeys, LPDWORD, LPDWORD,
                         LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD,
                         PFILETIME) {
    Registry& r = world().registry;
    if (key != kSerialcommKey) return ERROR_INVALID_HANDLE;
    if (r.queryStatus) return r.queryStatus;
    DWORD maxName = 0, maxData = 0;
    for (const RegValue& v : r.values) {
        maxName = std::max<DWORD>(maxName, v.name.size());
        maxData = std::max<DWORD>(maxData, v.data.size());
    }
    if (subKeys) *subKeys = 0;
    if (values) *values = r.values.size();
    if (maxValueNameLength) *maxValueNameLength = maxName;
    if (maxValueLength) *maxValueLength = maxData;
    for (const RegValue& v : r.addedAfterQuery) r.values.push_back(v);
    r.addedAfterQuery.clear();
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength, LPDWORD reserved,
                      LPDWORD type, LPBYTE data, LPDWORD dataLength) {
    Registry& r = world().registry;
    if (key != kSerialcommKey || reserved) return ERROR_INVALID_PARAMETER;
    r.nameBufferSizes.push_back(*valueNameLength);
    if (static_cast<int>(index) == r.failEnumAt) return r.enumStatus;
    if (index >= r.values.size()) return ERROR_NO_MORE_ITEMS;
    const RegValue& v = r.values[index];
    if (*valueNameLength < v.name.size() + 1) return ERROR_MORE_DATA;
    if (data && *dataLength < v.data.size()) return ERROR_MORE_DATA;
    memcpy(valueName, v.name.c_str(), v.name.size() + 1);
    *valueNameLength = v.name.size();
    if (type) *type = v.type;
    if (data) memcpy(data, v.data.data(), v.data.size());
    *dataLength = v.data.size();
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    if (closeDeviceKey(key)) return ERROR_SUCCESS;
    if (key != kSerialcommKey) return ERROR_INVALID_HANDLE;
    --world().registry.openKeys;
    return ERROR_SUCCESS;
}

uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned(__stdcall* start)(void*), void* argument,
                         unsigned initFlag, unsigned*) {
    World& w = world();
    w.threadStarts.push_back({argument, stackSize, initFlag});
    if (w.failThreadStart) {
        w.lastError = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    uintptr_t h = nextThreadHandle++;
    threadHandles[h] = false;
    ++w.threadHandlesOpen;
    auto run = [start, argument, h] {
        try {
            start(argument);
        } catch (const ThreadExit& exit) {
            world().threadExits.push_back(exit.code);
        }
        auto t = threadHandles.find(h);
        if (t != threadHandles.end()) t->second = true;
    };
    if (w.runThreadsAtOnce)
        run();
    else
        w.pendingThreads.push_back(run);
    return h;
}
