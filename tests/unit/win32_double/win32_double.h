// Control side of the Win32 test double: tests script the world that the
// module's Win32 calls see, and read back what the module did to it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace w32 {

using Bytes = std::vector<uint8_t>;

// A call that fails on its `onCall`-th invocation (1-based), or on every
// invocation from then on when `sticky` is set. 0 means never.
struct Fault {
    unsigned onCall = 0;
    bool sticky = false;
    DWORD code = ERROR_GEN_FAILURE;
    unsigned calls = 0;
    bool hit();  // counts one call; true when this one must fail
};

// Bytes on their way in, in time order. The bytes that arrive at one moment
// share one run: a scripted line of 40,000 bytes is a few hundred records,
// and a read takes what has arrived in one go. What was read stays until the
// queue has been read empty.
struct Arrivals {
    struct Run {
        uint64_t atMs;
        size_t end;    // the run's bytes end here in `bytes`
        DWORD errors;  // CE_ flags the receiver raises as the run comes in
    };
    Bytes bytes;
    std::vector<Run> runs;
    size_t head = 0;        // the next byte to read
    size_t firstRun = 0;    // the run that holds it
    size_t raisedRuns = 0;  // runs whose errors have been raised already

    // Queues `count` bytes arriving at `atMs`, or with the last run if that
    // is later: arrival order is kept.
    void push(uint64_t atMs, const uint8_t* data, size_t count, DWORD errors = 0);
    bool empty() const { return head == bytes.size(); }
    uint64_t frontAtMs() const { return runs[firstRun].atMs; }
    uint64_t lastAtMs() const { return runs.back().atMs; }
    size_t due(uint64_t nowMs) const;  // bytes that have arrived by then
    // The errors of the runs that have arrived by `upTo` and were not raised.
    DWORD raise(uint64_t upTo);
    // Moves up to `count` bytes that have arrived by `nowMs` to `out`.
    size_t take(uint8_t* out, size_t count, uint64_t nowMs);
};

constexpr uint64_t kForever = UINT64_MAX;

struct Device {
    std::string name;         // as in "COM3"; opened through "\\.\COM3"
    DWORD openError = 0;      // CreateFileA fails with this code when set
    bool exclusive = true;    // a second open fails with ERROR_ACCESS_DENIED
    DWORD refusedBaud = 0;    // SetCommState fails for this rate (ERROR_INVALID_PARAMETER)
    DCB dcb{};                // the device's current line settings
    COMMTIMEOUTS timeouts{};  // as last set
    int openHandles = 0;
    int opens = 0;
    int closes = 0;
    Arrivals incoming;                 // bytes on their way in
    Bytes written;                     // every byte that went out
    std::vector<Bytes> writes;         // what each successful WriteFile call sent
    std::vector<DWORD> readSizes;      // what each ReadFile asked for
    Fault getState, setState, setTimeouts, clearError, read, write, purge, modemStatus, setBreak, clearBreak;
    std::vector<DWORD> purges;  // the flags of each PurgeComm
    std::vector<DCB> states;    // what each successful SetCommState set
    DWORD lines = 0;            // MS_ flags of the far end's lines
    bool breakOn = false;
    uint64_t breakSinceMs = 0;
    std::vector<uint64_t> breaks;  // how long each break was held
    // A scripted peer: called after every successful write with its bytes
    // (writes.back(), which it must leave alone).
    std::function<void(Device&, const Bytes&)> onWrite;
    // Time on the clock that each byte a read takes costs, as on a line of
    // finite rate: bytes keep arriving while a long read goes on. 0: none.
    uint64_t readMsPerByte = 0;
    // A watcher: called after every successful read with the bytes it took
    // from the line (none when it timed out), once the clock has moved.
    std::function<void(Device&, const uint8_t*, DWORD)> onRead;

    // Line errors: CE_ flags raised by damaged bytes as they arrive, until
    // ClearCommError hands them over. With dcb.fAbortOnError set, every read
    // and write fails with ERROR_OPERATION_ABORTED while any is raised, and a
    // read in progress ends when a damaged byte arrives (the byte stays
    // queued).
    DWORD lineErrors = 0;
    // The transmitter: each byte takes this long to go out (0: writes are
    // instant), and nothing goes out before ctsHeldUntilMs (flow control;
    // kForever: held for good). A write that runs past its time-out returns
    // TRUE with the bytes that went out, as on Windows.
    uint64_t writeMsPerByte = 0;
    uint64_t ctsHeldUntilMs = 0;
    // A hung-up line: every read returns at once with nothing. A caller that
    // reads on without letting time pass spins; the double stops it.
    bool hungUp = false;
    uint64_t instantReadsAtMs = 0;
    unsigned instantReads = 0;

    // Bytes arrive `delayMs` from now, all at once.
    void arrive(const Bytes& bytes, uint64_t delayMs = 0);
    void arrive(const std::string& text, uint64_t delayMs = 0);
    void arrive(const uint8_t* bytes, size_t count, uint64_t delayMs = 0);
    // One byte that arrives damaged: it raises `errors` (CE_FRAME, ...).
    void arriveDamaged(uint8_t byte, DWORD errors, uint64_t delayMs = 0);
    size_t queued() const;  // bytes that have arrived and not been read
};

struct RegValue {
    std::string name;
    DWORD type;
    Bytes data;
};
RegValue regSz(const std::string& name, const std::string& text, bool terminator = true);
RegValue regValue(const std::string& name, DWORD type, const Bytes& data);

struct Registry {
    bool keyExists = false;
    std::vector<RegValue> values;
    LSTATUS openStatus = ERROR_SUCCESS;   // RegOpenKeyExA answers this when nonzero
    LSTATUS queryStatus = ERROR_SUCCESS;  // RegQueryInfoKeyA answers this when nonzero
    int failEnumAt = -1;                  // RegEnumValueA fails at this index
    LSTATUS enumStatus = ERROR_GEN_FAILURE;
    std::vector<RegValue> addedAfterQuery;  // values that appear while enumerating
    int openKeys = 0;
    std::string openedPath;
    REGSAM openedAccess = 0;
    std::vector<DWORD> nameBufferSizes;  // name length handed to each RegEnumValueA
};

struct ThreadStart {
    void* argument;
    unsigned stackSize;
    unsigned initFlag;
};

struct World {
    uint64_t nowMs = 0;
    std::map<std::string, Device> devices;
    Registry registry;
    std::vector<ThreadStart> threadStarts;
    bool failThreadStart = false;
    bool runThreadsAtOnce = true;  // otherwise they wait for runPendingThreads()
    std::vector<std::function<void()>> pendingThreads;
    int threadHandlesOpen = 0;
    std::vector<DWORD> threadExits;  // exit codes of threads that ended by ExitThread
    int moduleRefs = 0;              // references taken by GetModuleHandleExA and not freed
    bool failModuleRef = false;      // GetModuleHandleExA fails
    // Simulated time a failing device call takes, so that a loop on a
    // device that keeps failing (an adapter pulled out) still sees time pass.
    uint64_t failureCostMs = 1;
    int closeHandleFailures = 0;  // CloseHandle on a handle that is not open
    DWORD lastError = 0;
};

World& world();
void reset();  // back to an empty world at time 0
Device& addDevice(const std::string& name);
void advanceMs(uint64_t ms);
void runPendingThreads();

}  // namespace w32
