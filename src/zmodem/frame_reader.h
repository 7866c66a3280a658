// ZMODEM's bytes coming in, read as events. No I/O: the engine hands over
// what arrived and takes events out until there are none:
//
//     feed(reader, bytes, count);
//     Event event;
//     while (nextEvent(reader, event)) { ... }
//
// feed only points at the bytes: they must stay put, and the next feed wait,
// until nextEvent has returned false. A chunk may end anywhere (inside a
// header, a ZDLE pair or a CRC); the reader keeps what it had, and the events
// come out the same however the bytes were cut, but for Garbage counts, which
// may come split over more events.
//
// The reader hunts headers until told otherwise: after a header of a frame
// that carries subpackets (ZSINIT, ZFILE, ZDATA, ZCOMMAND) the engine calls
// expectSubpackets with the header's CRC kind (crcKindOf(form)) before it
// takes the next event. After a subpacket ending ZCRCG or ZCRCQ the reader
// expects the next one; after one ending ZCRCE or ZCRCW, and after a bad
// one, it hunts headers again by itself (after a bad one the engine sends
// ZRPOS and waits for the sender's new ZDATA, whatever comes first is junk).
//
// Everywhere: bare XON and XOFF (0x11, 0x13, 0x91, 0x93) are dropped as if
// they never came; five CANs in a row give Abort and send the reader back to
// hunting headers (CANs are held until their run ends, so that the abort
// comes alone and not after a bad header or subpacket that its first CANs
// would have made). After a hex header an optional CR and LF (either with or
// without its high bit) are skipped, even where subpackets follow.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame.h"

namespace zmodem {

// lrzsz's sz -8 sends subpackets of 8 KiB.
constexpr size_t kMaxSubpacket = 8192;

enum class EventKind : uint8_t {
    Header,
    BadHeader,     // its CRC failed, or a byte that has no place in a header came
    Subpacket,     // its CRC held
    BadSubpacket,  // its CRC failed, a ZDLE was followed by a byte it cannot escape, or too long
    Abort,         // five CANs
    Garbage,       // bytes skipped while hunting headers
};

enum class Fault : uint8_t { None, Crc, Escape, HexDigit, TooLong };

struct Event {
    EventKind kind;
    HeaderForm form;      // Header, BadHeader
    Header header;        // Header
    const uint8_t* data;  // Subpacket, BadSubpacket: the data unescaped, good until the next call
    size_t length;        // ... and its length; Garbage: how many bytes were skipped
    uint8_t end;          // Subpacket: ZCRCE..ZCRCW; BadSubpacket: 0 unless it ended
    Fault fault;          // BadHeader, BadSubpacket
};

enum class ReadState : uint8_t { Hunt, Pad, PadZdle, HexDigits, BinaryBytes, Data, DataCrc };

// The reader's state, for the functions below only. About 8.3 KB: keep it
// with the session, not on a small stack.
struct Reader {
    const uint8_t* input = nullptr;
    size_t inputLength = 0;
    size_t inputAt = 0;

    ReadState state = ReadState::Hunt;
    bool escaped = false;   // a ZDLE came, its byte not yet
    uint8_t hexTail = 0;    // 1: a CR or LF may follow a hex header; 2: an LF may
    uint8_t canRun = 0;     // CANs in a row, held back, up to 5
    uint8_t replayCans = 0; // held CANs of a run that ended short of five
    bool holding = false;   // `held` goes to the state machine next (after replayCans)
    uint8_t held = 0;
    CrcKind dataCrc = CrcKind::Crc16;
    HeaderForm form = HeaderForm::Hex;
    size_t pads = 0;
    size_t garbage = 0;     // not yet reported
    uint8_t headerBytes[9] = {};
    uint8_t headerCount = 0;  // bytes, or hex digits while reading a hex header
    uint8_t crcBytes[4] = {};
    uint8_t crcCount = 0;
    uint8_t end = 0;
    bool hasPending = false;  // an event that waits behind a Garbage one
    Event pending = {};
    size_t dataLength = 0;
    uint8_t data[kMaxSubpacket];
};

// Forgets everything, for a new session.
void resetReader(Reader& reader);

void feed(Reader& reader, const uint8_t* bytes, size_t length);

// The next event, or false once the bytes fed so far are used up.
bool nextEvent(Reader& reader, Event& event);

void expectSubpackets(Reader& reader, CrcKind crc);

// Drops a subpacket in progress.
void huntHeaders(Reader& reader);

}  // namespace zmodem
