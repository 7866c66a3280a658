#include "frame_reader.h"

#include "../transfer/crc.h"

namespace zmodem {
namespace {

constexpr int kNoByte = -1;

bool isFlowControl(uint8_t byte) { return (byte & 0x7F) == XON || (byte & 0x7F) == XOFF; }

// The byte a ZDLE pair stands for, or kNoByte for a pair that means none
// (subpacket ends included).
int unescape(uint8_t byte) {
    if (byte == ZRUB0) return 0x7F;
    if (byte == ZRUB1) return 0xFF;
    if ((byte & 0x60) == 0x40) return byte ^ 0x40;
    return kNoByte;
}

int hexValue(uint8_t byte) {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    return kNoByte;
}

// The next byte goes back to the state machine: after a broken header it
// may start the next one.
void putBack(Reader& reader, uint8_t byte) {
    if (byte == CAN) {
        ++reader.replayCans;
    } else {
        reader.held = byte;
        reader.holding = true;
    }
}

// A header's or subpacket's byte after ZDLE handling: kNoByte while a ZDLE
// waits for its byte, kBadEscape for a pair that stands for no byte.
constexpr int kBadEscape = -2;

int unescaped(Reader& reader, uint8_t byte) {
    if (reader.escaped) {
        reader.escaped = false;
        int value = unescape(byte);
        return value == kNoByte ? kBadEscape : value;
    }
    if (byte == ZDLE) {
        reader.escaped = true;
        return kNoByte;
    }
    return byte;
}

bool headerCrcHolds(const uint8_t* bytes, HeaderForm form) {
    if (form == HeaderForm::Bin32) {
        uint32_t got = uint32_t(bytes[5]) | uint32_t(bytes[6]) << 8 | uint32_t(bytes[7]) << 16 |
                       uint32_t(bytes[8]) << 24;
        return transfer::crc32(bytes, 5) == got;
    }
    return transfer::crc16(bytes, 5) == (uint16_t(bytes[5] << 8) | bytes[6]);
}

bool dataCrcHolds(const Reader& reader) {
    const uint8_t* got = reader.crcBytes;
    if (reader.dataCrc == CrcKind::Crc32) {
        uint32_t crc = transfer::crc32Update(transfer::crc32(reader.data, reader.dataLength), reader.end);
        return crc == (uint32_t(got[0]) | uint32_t(got[1]) << 8 | uint32_t(got[2]) << 16 | uint32_t(got[3]) << 24);
    }
    uint16_t crc = transfer::crc16Update(transfer::crc16(reader.data, reader.dataLength), reader.end);
    return crc == (uint16_t(got[0] << 8) | got[1]);
}

Event headerEvent(Reader& reader, bool good, Fault fault) {
    Event event = {};
    event.kind = good ? EventKind::Header : EventKind::BadHeader;
    event.form = reader.form;
    event.fault = fault;
    if (good) {
        event.header.type = reader.headerBytes[0];
        for (int i = 0; i < 4; ++i) event.header.bytes[i] = reader.headerBytes[1 + i];
    }
    reader.state = ReadState::Hunt;
    return event;
}

Event subpacketEvent(Reader& reader, bool good, Fault fault) {
    Event event = {};
    event.kind = good ? EventKind::Subpacket : EventKind::BadSubpacket;
    event.data = reader.data;
    event.length = reader.dataLength;
    event.end = reader.end;
    event.fault = fault;
    bool more = good && (reader.end == ZCRCG || reader.end == ZCRCQ);
    reader.state = more ? ReadState::Data : ReadState::Hunt;
    reader.dataLength = 0;
    reader.end = 0;
    return event;
}

void startHeader(Reader& reader, HeaderForm form) {
    reader.form = form;
    reader.headerCount = 0;
    reader.escaped = false;
    reader.state = form == HeaderForm::Hex ? ReadState::HexDigits : ReadState::BinaryBytes;
}

// Takes one byte, CANs included; true with `event` filled when it completes
// one.
bool step(Reader& reader, uint8_t byte, Event& event) {
    if (reader.hexTail) {
        uint8_t low = byte & 0x7F;
        bool cr = reader.hexTail == 1 && low == '\r';
        reader.hexTail = cr ? 2 : 0;
        if (cr || low == '\n') return false;
    }
    switch (reader.state) {
    case ReadState::Hunt:
        if (byte == ZPAD) {
            reader.state = ReadState::Pad;
            reader.pads = 1;
        } else {
            ++reader.garbage;
        }
        return false;
    case ReadState::Pad:
        if (byte == ZPAD) {
            ++reader.pads;
        } else if (byte == ZDLE) {
            reader.state = ReadState::PadZdle;
        } else {
            reader.garbage += reader.pads + 1;
            reader.state = ReadState::Hunt;
        }
        return false;
    case ReadState::PadZdle:
        if (byte == ZHEX) {
            startHeader(reader, HeaderForm::Hex);
        } else if (byte == ZBIN) {
            startHeader(reader, HeaderForm::Bin16);
        } else if (byte == ZBIN32) {
            startHeader(reader, HeaderForm::Bin32);
        } else {
            reader.garbage += reader.pads + 1;
            reader.state = ReadState::Hunt;
            putBack(reader, byte);
        }
        return false;
    case ReadState::HexDigits: {
        int digit = hexValue(byte);
        if (digit == kNoByte) {
            event = headerEvent(reader, false, Fault::HexDigit);
            putBack(reader, byte);
            return true;
        }
        uint8_t& at = reader.headerBytes[reader.headerCount / 2];
        at = uint8_t(at << 4 | digit);
        if (++reader.headerCount < 14) return false;
        bool good = headerCrcHolds(reader.headerBytes, HeaderForm::Hex);
        event = headerEvent(reader, good, good ? Fault::None : Fault::Crc);
        reader.hexTail = 1;
        return true;
    }
    case ReadState::BinaryBytes: {
        int value = unescaped(reader, byte);
        if (value == kNoByte) return false;
        if (value == kBadEscape) {
            event = headerEvent(reader, false, Fault::Escape);
            putBack(reader, byte);
            return true;
        }
        reader.headerBytes[reader.headerCount++] = uint8_t(value);
        if (reader.headerCount < (reader.form == HeaderForm::Bin32 ? 9 : 7)) return false;
        bool good = headerCrcHolds(reader.headerBytes, reader.form);
        event = headerEvent(reader, good, good ? Fault::None : Fault::Crc);
        return true;
    }
    case ReadState::Data: {
        if (reader.escaped && isSubpacketEnd(byte)) {
            reader.escaped = false;
            reader.end = byte;
            reader.crcCount = 0;
            reader.state = ReadState::DataCrc;
            return false;
        }
        int value = unescaped(reader, byte);
        if (value == kNoByte) return false;
        if (value == kBadEscape || reader.dataLength == kMaxSubpacket) {
            event = subpacketEvent(reader, false, value == kBadEscape ? Fault::Escape : Fault::TooLong);
            return true;
        }
        reader.data[reader.dataLength++] = uint8_t(value);
        return false;
    }
    case ReadState::DataCrc: {
        int value = unescaped(reader, byte);
        if (value == kNoByte) return false;
        if (value == kBadEscape) {
            event = subpacketEvent(reader, false, Fault::Escape);
            return true;
        }
        reader.crcBytes[reader.crcCount++] = uint8_t(value);
        if (reader.crcCount < (reader.dataCrc == CrcKind::Crc32 ? 4 : 2)) return false;
        bool good = dataCrcHolds(reader);
        event = subpacketEvent(reader, good, good ? Fault::None : Fault::Crc);
        return true;
    }
    }
    return false;
}

// Skipped bytes are told before the event that ends the skipping.
bool deliver(Reader& reader, const Event& found, Event& event) {
    if (reader.garbage == 0) {
        event = found;
        return true;
    }
    reader.pending = found;
    reader.hasPending = true;
    event = Event{};
    event.kind = EventKind::Garbage;
    event.length = reader.garbage;
    reader.garbage = 0;
    return true;
}

void dropSubpacket(Reader& reader) {
    reader.escaped = false;
    reader.dataLength = 0;
    reader.end = 0;
    reader.crcCount = 0;
}

void abortRead(Reader& reader) {
    dropSubpacket(reader);
    reader.state = ReadState::Hunt;
    reader.hexTail = 0;
}

}  // namespace

void resetReader(Reader& reader) {
    reader.input = nullptr;
    reader.inputLength = reader.inputAt = 0;
    abortRead(reader);
    reader.canRun = reader.replayCans = 0;
    reader.holding = false;
    reader.held = 0;
    reader.dataCrc = CrcKind::Crc16;
    reader.form = HeaderForm::Hex;
    reader.pads = reader.garbage = 0;
    reader.headerCount = 0;
    reader.hasPending = false;
}

void feed(Reader& reader, const uint8_t* bytes, size_t length) {
    reader.input = bytes;
    reader.inputLength = length;
    reader.inputAt = 0;
}

bool nextEvent(Reader& reader, Event& event) {
    if (reader.hasPending) {
        reader.hasPending = false;
        event = reader.pending;
        return true;
    }
    for (;;) {
        uint8_t byte;
        if (reader.replayCans) {
            --reader.replayCans;
            byte = CAN;
        } else if (reader.holding) {
            reader.holding = false;
            byte = reader.held;
        } else if (reader.inputAt < reader.inputLength) {
            byte = reader.input[reader.inputAt++];
            if (isFlowControl(byte)) continue;
            if (byte == CAN) {
                if (reader.canRun < 5 && ++reader.canRun == 5) {
                    abortRead(reader);
                    Event abort = {};
                    abort.kind = EventKind::Abort;
                    return deliver(reader, abort, event);
                }
                continue;
            }
            if (reader.canRun) {
                if (reader.canRun < 5) {
                    reader.replayCans = reader.canRun;
                    reader.held = byte;
                    reader.holding = true;
                    reader.canRun = 0;
                    continue;
                }
                reader.canRun = 0;
            }
        } else {
            if (reader.garbage == 0) return false;
            event = Event{};
            event.kind = EventKind::Garbage;
            event.length = reader.garbage;
            reader.garbage = 0;
            return true;
        }
        Event found;
        if (step(reader, byte, found)) return deliver(reader, found, event);
    }
}

void expectSubpackets(Reader& reader, CrcKind crc) {
    dropSubpacket(reader);
    reader.state = ReadState::Data;
    reader.dataCrc = crc;
}

void huntHeaders(Reader& reader) {
    dropSubpacket(reader);
    reader.state = ReadState::Hunt;
}

}  // namespace zmodem
