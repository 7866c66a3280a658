// What both ZMODEM engines stand on: the link, the frame reader fed from it,
// the escaping state, and an output buffer that goes out in big writes.
//
// Reads come as events (frame_reader.h). Each chunk read from the port is
// also looked through for five CANs before any of its events is handed out,
// so that once the peer's abort has been read the engine takes no step on
// what came before it and writes nothing more.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "../serial/port_table.h"
#include "../transfer/clock.h"
#include "../transfer/link.h"
#include "../transfer/outcome.h"
#include "frame.h"
#include "frame_reader.h"

namespace zmodem {

// One read of the receive queue.
constexpr DWORD kChunkRoom = 8192;
// The output buffer: several subpackets, escaped, and a header or two.
constexpr size_t kOutRoom = 16384 + 2 * 1024;
// A batch of subpackets goes out once it holds this much.
constexpr size_t kWriteAt = 8192;

// Asks for (receiver), or waits at (sender), a position the other side held
// already, before the call gives up: the same ZRPOS again and again, or no
// progress, ends it.
constexpr unsigned kPositionBudget = 16;

// How a wait for the peer's next event ended.
enum class Got { Event, Nothing, Aborted, Failed };

struct Wire {
    OpenPort& port;
    transfer::Link link{port};
    Reader reader;
    EscapeState escape;
    uint8_t chunk[kChunkRoom];
    DWORD chunkLength = 0;
    uint8_t out[kOutRoom];
    size_t outLength = 0;
    uint8_t canRun = 0;             // CANs in a row at the end of the last chunk
    bool aborted = false;           // five CANs were read
    uint32_t bytesIn = 0;           // bytes read so far, to tell a silent wait from a noisy one
    // A read of an empty queue waits for this many bytes, or for a pause in
    // the flow after the first: a stream read in chunks of a few bytes would
    // cost device calls for each of them. More than 1 makes an empty read
    // last the port's total time-out for them (10 ms a byte).
    DWORD waitFor = 1;
    transfer::Outcome failure;      // the failed call, after Got::Failed

    explicit Wire(OpenPort& p) : port(p) {}
};

// The next event, waiting until `clock` is over. With `quietOnly` the wait
// is for silence: the clock starts again whenever bytes arrive (a long
// subpacket on a slow line brings no event for a while).
Got awaitEvent(Wire& wire, transfer::WaitClock& clock, Event& event, bool quietOnly = false);

// The next event among what has arrived already, without waiting: Nothing
// once the queue is empty, or once `chunks` reads have been spent (the
// caller's budget for one look, so that a peer that never stops sending
// cannot hold it).
Got pollEvent(Wire& wire, Event& event, unsigned& chunks);

// One more chunk for the reader, once it has given every event of the last
// one: what is queued, or what comes within the port time-outs. Event when
// bytes came, Nothing when none did.
Got readMore(Wire& wire);

// Puts a header, or bytes as they are, in the output buffer.
void putHeader(Wire& wire, const Header& header, HeaderForm form);
void putRaw(Wire& wire, const uint8_t* bytes, size_t length);

// Writes the output buffer; a failure gives Outcome::failed with `format`.
transfer::Outcome flush(Wire& wire, const char* format);

// A header on its own, written at once.
transfer::Outcome sendHeader(Wire& wire, const Header& header, HeaderForm form, const char* format);

// Eight CANs and eight backspaces, so that the peer stops waiting; what was
// still in the output buffer is dropped, and a failed write is not reported
// (the call is given up already).
void sendAbort(Wire& wire);

// Puts the bytes of the last chunk from `at` on back in front of the
// port's next read.
void unreadRest(Wire& wire, size_t at);

// Where the bytes after the header just read begin in the last chunk: past
// a hex header's CR, LF and XON.
size_t afterHeader(const Wire& wire);

// A file's name as the peer sees it: the part after the last \ or /.
const char* baseName(const char* path);

// Text from the line for a trace line, control bytes shown as '?'; `shown`
// holds length + 1 bytes.
const char* printable(const uint8_t* text, size_t length, char* shown);

}  // namespace zmodem
