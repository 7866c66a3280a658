#include "frame.h"

#include "../transfer/crc.h"

namespace zmodem {
namespace {

constexpr uint8_t kAlways = 1;   // flow control, ZDLE, DLE: escaped in every session
constexpr uint8_t kControl = 2;  // escaped when the receiver asked for ESCCTL

struct EscapeTable {
    uint8_t kind[256];
    constexpr EscapeTable() : kind() {
        for (unsigned byte = 0; byte < 256; ++byte) {
            unsigned low = byte & 0x7F;
            if (low < 0x20) kind[byte] = kControl;
            if (low == 0x10 || low == 0x11 || low == 0x13 || byte == ZDLE) kind[byte] |= kAlways;
        }
    }
};

constexpr EscapeTable kEscapes;

inline uint8_t* put(uint8_t* out, uint8_t byte, EscapeState& state) {
    *out = byte;
    state.lastSent = byte;
    return out + 1;
}

inline uint8_t* putEscaped(uint8_t* out, uint8_t byte, EscapeState& state) {
    uint8_t kind = kEscapes.kind[byte];
    // A Telenet-style network takes "@" CR as a command to itself.
    bool escape = (kind & kAlways) || (state.escapeAll && kind) ||
                  ((byte & 0x7F) == '\r' && (state.lastSent & 0x7F) == '@');
    if (escape) {
        *out++ = ZDLE;
        byte ^= 0x40;
    }
    return put(out, byte, state);
}

uint8_t* putHex(uint8_t* out, uint8_t byte, EscapeState& state) {
    const char* digits = "0123456789abcdef";
    out = put(out, uint8_t(digits[byte >> 4]), state);
    return put(out, uint8_t(digits[byte & 0x0F]), state);
}

// A CRC as it goes on the line: CRC-16 high byte first, CRC-32 low byte first.
size_t crcOnLine(CrcKind crc, uint32_t value, uint8_t* out) {
    if (crc == CrcKind::Crc16) {
        out[0] = uint8_t(value >> 8);
        out[1] = uint8_t(value);
        return 2;
    }
    for (int i = 0; i < 4; ++i) out[i] = uint8_t(value >> (8 * i));
    return 4;
}

uint32_t crcOf(CrcKind crc, const uint8_t* bytes, size_t length) {
    return crc == CrcKind::Crc16 ? transfer::crc16(bytes, length) : transfer::crc32(bytes, length);
}

}  // namespace

size_t escapeBytes(const uint8_t* bytes, size_t length, EscapeState& state, uint8_t* out) {
    uint8_t* at = out;
    for (size_t i = 0; i < length; ++i) at = putEscaped(at, bytes[i], state);
    return size_t(at - out);
}

size_t encodeHexHeader(const Header& header, EscapeState& state, uint8_t* out) {
    uint8_t raw[7] = {header.type, header.bytes[0], header.bytes[1], header.bytes[2], header.bytes[3]};
    crcOnLine(CrcKind::Crc16, crcOf(CrcKind::Crc16, raw, 5), raw + 5);
    uint8_t* at = out;
    at = put(at, ZPAD, state);
    at = put(at, ZPAD, state);
    at = put(at, ZDLE, state);
    at = put(at, ZHEX, state);
    for (uint8_t byte : raw) at = putHex(at, byte, state);
    at = put(at, '\r', state);
    at = put(at, '\n' | 0x80, state);
    // Lets the peer go on should line noise have stopped it; lrzsz leaves it
    // out after ZACK and ZFIN, and so does this.
    if (header.type != ZACK && header.type != ZFIN) at = put(at, XON, state);
    return size_t(at - out);
}

size_t encodeBinaryHeader(const Header& header, CrcKind crc, EscapeState& state, uint8_t* out) {
    uint8_t raw[9] = {header.type, header.bytes[0], header.bytes[1], header.bytes[2], header.bytes[3]};
    size_t length = 5 + crcOnLine(crc, crcOf(crc, raw, 5), raw + 5);
    uint8_t* at = out;
    at = put(at, ZPAD, state);
    at = put(at, ZDLE, state);
    at = put(at, crc == CrcKind::Crc32 ? ZBIN32 : ZBIN, state);
    for (size_t i = 0; i < length; ++i) at = putEscaped(at, raw[i], state);
    return size_t(at - out);
}

size_t encodeHeader(const Header& header, HeaderForm form, EscapeState& state, uint8_t* out) {
    if (form == HeaderForm::Hex) return encodeHexHeader(header, state, out);
    return encodeBinaryHeader(header, crcKindOf(form), state, out);
}

size_t encodeSubpacket(const uint8_t* data, size_t length, uint8_t end, CrcKind crc, EscapeState& state,
                       uint8_t* out) {
    uint8_t* at = out + escapeBytes(data, length, state, out);
    at = put(at, ZDLE, state);
    at = put(at, end, state);
    uint32_t value = crc == CrcKind::Crc16 ? transfer::crc16Update(transfer::crc16(data, length), end)
                                           : transfer::crc32Update(transfer::crc32(data, length), end);
    uint8_t check[4];
    size_t checkLength = crcOnLine(crc, value, check);
    for (size_t i = 0; i < checkLength; ++i) at = putEscaped(at, check[i], state);
    if (end == ZCRCW) at = put(at, XON, state);
    return size_t(at - out);
}

}  // namespace zmodem
