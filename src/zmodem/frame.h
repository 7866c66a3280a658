// ZMODEM's bytes on the line going out: headers and data subpackets, escaped.
// No I/O here: each encoder writes into the caller's buffer and returns the
// byte count, never more than the worst case stated beside it.
//
// Escaping keeps a small state per session (EscapeState): whether the
// receiver asked for every control byte to be escaped (ESCCTL), and the last
// byte put on the line, for the rule that CR never follows '@' unescaped.
// Every encoder below updates it; bytes the engine writes on its own ("OO",
// CANs) go through noteSent.
//
// Always escaped: ZDLE, DLE, XON, XOFF and their high-bit forms; CR (or 0x8D)
// after '@' (or 0xC0). With escapeAll also every byte below 0x20 and
// 0x80..0x9F. 0x7F and 0xFF go out as they are, never as ZDLE ZRUB0/ZRUB1:
// lrzsz's sz -e sends them bare too, and the reader takes both forms.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zmodem {

constexpr uint8_t ZPAD = '*';
constexpr uint8_t ZDLE = 0x18;  // also CAN: five in a row abort
constexpr uint8_t ZDLEE = ZDLE ^ 0x40;  // ZDLE as it follows a ZDLE
constexpr uint8_t ZBIN = 'A';
constexpr uint8_t ZHEX = 'B';
constexpr uint8_t ZBIN32 = 'C';
constexpr uint8_t CAN = 0x18;
constexpr uint8_t XON = 0x11;
constexpr uint8_t XOFF = 0x13;

// Subpacket ends, after a ZDLE.
constexpr uint8_t ZCRCE = 'h';  // the frame ends, no answer
constexpr uint8_t ZCRCG = 'i';  // more follow, no answer
constexpr uint8_t ZCRCQ = 'j';  // more follow, answer ZACK
constexpr uint8_t ZCRCW = 'k';  // the frame ends, answer ZACK
constexpr uint8_t ZRUB0 = 'l';  // ZDLE ZRUB0 stands for 0x7F
constexpr uint8_t ZRUB1 = 'm';  // and ZDLE ZRUB1 for 0xFF

constexpr bool isSubpacketEnd(uint8_t byte) { return byte >= ZCRCE && byte <= ZCRCW; }

enum FrameType : uint8_t {
    ZRQINIT = 0,
    ZRINIT = 1,
    ZSINIT = 2,
    ZACK = 3,
    ZFILE = 4,
    ZSKIP = 5,
    ZNAK = 6,
    ZABORT = 7,
    ZFIN = 8,
    ZRPOS = 9,
    ZDATA = 10,
    ZEOF = 11,
    ZFERR = 12,
    ZCRC = 13,
    ZCHALLENGE = 14,
    ZCOMPL = 15,
    ZCAN = 16,
    ZFREECNT = 17,
    ZCOMMAND = 18,
    ZSTDERR = 19,
};

// The frames whose header is followed by data subpackets.
constexpr bool carriesSubpackets(uint8_t type) {
    return type == ZSINIT || type == ZFILE || type == ZDATA || type == ZCOMMAND;
}

// ZRINIT's capabilities, in ZF0.
constexpr uint8_t CANFDX = 0x01;
constexpr uint8_t CANOVIO = 0x02;
constexpr uint8_t CANBRK = 0x04;
constexpr uint8_t CANCRY = 0x08;
constexpr uint8_t CANLZW = 0x10;
constexpr uint8_t CANFC32 = 0x20;
constexpr uint8_t ESCCTL = 0x40;
constexpr uint8_t ESC8 = 0x80;

// ZFILE's conversion option, in ZF0.
constexpr uint8_t ZCBIN = 1;
constexpr uint8_t ZCNL = 2;
constexpr uint8_t ZCRESUM = 3;

// ZFILE's management option, in ZF1: the low five bits pick one.
constexpr uint8_t ZMMASK = 0x1F;
constexpr uint8_t ZMNEWL = 1;  // newer or longer
constexpr uint8_t ZMCRC = 2;
constexpr uint8_t ZMAPND = 3;
constexpr uint8_t ZMCLOB = 4;  // replace
constexpr uint8_t ZMNEW = 5;
constexpr uint8_t ZMDIFF = 6;
constexpr uint8_t ZMPROT = 7;
constexpr uint8_t ZMSKNOLOC = 0x80;  // skip a file the receiver does not have

// Indexes into Header::bytes, which are in line order.
constexpr int P0 = 0, P1 = 1, P2 = 2, P3 = 3;
constexpr int ZF3 = 0, ZF2 = 1, ZF1 = 2, ZF0 = 3;

struct Header {
    uint8_t type;
    uint8_t bytes[4];
};

constexpr Header positionHeader(uint8_t type, uint32_t position) {
    return Header{type, {uint8_t(position), uint8_t(position >> 8), uint8_t(position >> 16), uint8_t(position >> 24)}};
}

constexpr Header flagsHeader(uint8_t type, uint8_t zf0, uint8_t zf1 = 0, uint8_t zf2 = 0, uint8_t zf3 = 0) {
    return Header{type, {zf3, zf2, zf1, zf0}};
}

constexpr uint32_t positionOf(const Header& header) {
    return uint32_t(header.bytes[P0]) | uint32_t(header.bytes[P1]) << 8 | uint32_t(header.bytes[P2]) << 16 |
           uint32_t(header.bytes[P3]) << 24;
}

enum class HeaderForm : uint8_t { Hex, Bin16, Bin32 };
enum class CrcKind : uint8_t { Crc16, Crc32 };

// Subpackets after a ZBIN32 header carry CRC-32, after the others CRC-16.
constexpr CrcKind crcKindOf(HeaderForm form) { return form == HeaderForm::Bin32 ? CrcKind::Crc32 : CrcKind::Crc16; }

struct EscapeState {
    bool escapeAll = false;
    uint8_t lastSent = 0;
};

inline void noteSent(EscapeState& state, uint8_t byte) { state.lastSent = byte; }

// Worst cases: every byte of type, flags and CRC escaped.
constexpr size_t kHexHeaderMax = 4 + 2 * 7 + 3;
constexpr size_t kBinaryHeaderMax = 3 + 2 * (5 + 4);
constexpr size_t kHeaderMax = kBinaryHeaderMax > kHexHeaderMax ? kBinaryHeaderMax : kHexHeaderMax;
constexpr size_t subpacketMax(size_t dataLength) { return 2 * dataLength + 2 + 2 * 4 + 1; }

// Copies `length` bytes to `out` escaped; at most 2 * length bytes.
size_t escapeBytes(const uint8_t* bytes, size_t length, EscapeState& state, uint8_t* out);

// `* * ZDLE B`, type, bytes and CRC-16 as lowercase hex, CR, 0x8A, and XON
// unless the type is ZACK or ZFIN. Receivers send all their headers so,
// senders ZRQINIT and ZFIN.
size_t encodeHexHeader(const Header& header, EscapeState& state, uint8_t* out);

// `* ZDLE A` with CRC-16 (high byte first) or `* ZDLE C` with CRC-32 (low
// byte first), escaped.
size_t encodeBinaryHeader(const Header& header, CrcKind crc, EscapeState& state, uint8_t* out);

size_t encodeHeader(const Header& header, HeaderForm form, EscapeState& state, uint8_t* out);

// The data escaped, ZDLE and `end` (ZCRCE..ZCRCW), then the CRC of the data
// and `end`, escaped: CRC-16 high byte first, CRC-32 low byte first. After
// ZCRCW an XON, as lrzsz sends it: the sender waits for an answer, which a
// receiver stopped by a stray XOFF could not give. At most
// subpacketMax(length) bytes.
size_t encodeSubpacket(const uint8_t* data, size_t length, uint8_t end, CrcKind crc, EscapeState& state,
                       uint8_t* out);

}  // namespace zmodem
