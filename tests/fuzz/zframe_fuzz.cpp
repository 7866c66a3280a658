// Fuzzes the ZMODEM frame reader, and the encoders behind it. The first byte
// picks one of two properties.
//
// Even: the rest is a cutting plan (a count, then that many piece sizes) and
// then any bytes at all, read three times: whole, byte by byte, and cut by
// the plan (the sizes taken in turn). The reader answers headers as the
// engine does: it expects subpackets after a header of ZSINIT, ZFILE, ZDATA
// or ZCOMMAND, or, with bit 1 of the first byte, after every header, bad ones
// too, so that noise reaches the subpacket states easily. The three reads
// give the same events (Garbage counts summed between the others), and each
// event is well made: a subpacket of at most kMaxSubpacket bytes, a good one
// with an end ZCRCE..ZCRCW, a bad one with that end or none.
//
// Odd: the rest chooses a stream of frames, put together by the encoders
// with one escaping state (ESCCTL or not, the last byte sent before it):
// headers of any type, position and form; subpackets after the types that
// carry them, of any length up to kMaxSubpacket, with their data (from the
// input, or filler for long ones) and ends (ZCRCG or ZCRCQ, then ZCRCE or
// ZCRCW last); a few bytes of junk before a header; bare XON or XOFF
// anywhere. The stream, cut by the plan (whole when it is empty), reads back
// as exactly those headers, subpackets and junk counts.
// No encoder writes more than its stated worst case (each writes into a
// buffer of that size, so ASan would see it), and the line never carries
// '@' then CR unescaped, high bits or not.
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "zmodem/frame.h"
#include "zmodem/frame_reader.h"

namespace {

using namespace zmodem;
using Bytes = std::vector<uint8_t>;

[[noreturn]] void violation(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "zframe fuzz property broken: ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
    abort();
}

using fuzzhost::Filler;
using fuzzhost::Input;

struct Got {
    EventKind kind;
    uint8_t type;
    uint8_t bytes[4];
    HeaderForm form;
    Bytes data;
    uint8_t end;
    Fault fault;
    size_t skipped;
    bool operator==(const Got& o) const {
        return kind == o.kind && type == o.type && std::equal(bytes, bytes + 4, o.bytes) && form == o.form &&
               data == o.data && end == o.end && fault == o.fault && skipped == o.skipped;
    }
};

Got headerGot(const Header& h, HeaderForm form) {
    Got g{EventKind::Header, h.type, {}, form, {}, 0, Fault::None, 0};
    std::copy(h.bytes, h.bytes + 4, g.bytes);
    return g;
}

void addGarbage(std::vector<Got>& events, size_t count) {
    if (!events.empty() && events.back().kind == EventKind::Garbage)
        events.back().skipped += count;
    else
        events.push_back(Got{EventKind::Garbage, 0, {}, HeaderForm::Hex, {}, 0, Fault::None, count});
}

void check(bool holds, const char* what) {
    if (!holds) violation("%s", what);
}

Reader& reader() {
    static std::unique_ptr<Reader> one(new Reader);
    return *one;
}

// Reads `line` in pieces whose sizes cycle through `plan` (empty: whole).
std::vector<Got> readLine(const Bytes& line, const Bytes& plan, bool subpacketsAfterAny) {
    Reader& r = reader();
    resetReader(r);
    std::vector<Got> events;
    size_t total = 0;
    // Each piece is copied to the end of this buffer: ASan sees a read past it.
    size_t room = plan.empty() ? line.size() : 256;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[room]);
    for (size_t at = 0, turn = 0; at < line.size(); ++turn) {
        size_t piece = plan.empty() ? line.size() : size_t(plan[turn % plan.size()]) + 1;
        if (piece > line.size() - at) piece = line.size() - at;
        uint8_t* chunk = buffer.get() + room - piece;
        std::copy(line.begin() + at, line.begin() + at + piece, chunk);
        at += piece;
        feed(r, chunk, piece);
        Event e;
        while (nextEvent(r, e)) {
            Got g{e.kind, e.header.type, {}, e.form, {}, e.end, e.fault, 0};
            switch (e.kind) {
            case EventKind::Header:
                std::copy(e.header.bytes, e.header.bytes + 4, g.bytes);
                check(e.form <= HeaderForm::Bin32, "a header's form");
                if (carriesSubpackets(e.header.type) || subpacketsAfterAny) expectSubpackets(r, crcKindOf(e.form));
                break;
            case EventKind::BadHeader:
                if (subpacketsAfterAny) expectSubpackets(r, crcKindOf(e.form));
                break;
            case EventKind::Subpacket:
            case EventKind::BadSubpacket:
                check(e.length <= kMaxSubpacket, "a subpacket within kMaxSubpacket");
                check(e.kind == EventKind::BadSubpacket ? e.end == 0 || isSubpacketEnd(e.end) : isSubpacketEnd(e.end),
                      "a subpacket's end");
                g.data.assign(e.data, e.data + e.length);
                break;
            case EventKind::Garbage:
                check(e.length > 0, "garbage of at least one byte");
                total += e.length;
                addGarbage(events, e.length);
                continue;
            case EventKind::Abort:
                break;
            }
            events.push_back(g);
        }
    }
    check(total <= line.size(), "no more garbage than bytes");
    return events;
}

Bytes readPlan(Input& in) {
    Bytes plan(in.byte() % 8);
    for (uint8_t& size : plan) size = in.byte();
    return plan;
}

void anyBytes(Input& in, bool subpacketsAfterAny) {
    Bytes plan = readPlan(in);
    Bytes line(in.data + in.at, in.data + in.size);
    std::vector<Got> whole = readLine(line, {}, subpacketsAfterAny);
    if (readLine(line, {0}, subpacketsAfterAny) != whole) violation("byte by byte reads otherwise than whole");
    if (readLine(line, plan, subpacketsAfterAny) != whole) violation("the plan's pieces read otherwise than whole");
}

constexpr size_t kMaxLine = 16 * 1024;
constexpr size_t kMaxFrames = 64;

bool safeJunk(uint8_t byte) {
    uint8_t low = byte & 0x7F;
    return byte != ZPAD && byte != CAN && low != XON && low != XOFF && low != '\r' && low != '\n';
}

void framesReadBack(Input& in) {
    EscapeState state;
    uint8_t flags = in.byte();
    state.escapeAll = flags & 1;
    state.lastSent = in.byte();
    Bytes plan = readPlan(in);

    Bytes line, clean;  // clean: the encoders' bytes alone
    std::vector<Got> expected;
    uint8_t previous = state.lastSent;
    auto add = [&](const uint8_t* bytes, size_t length, size_t worst, uint8_t noise) {
        if (length > worst) violation("an encoder wrote %zu bytes, worst case %zu", length, worst);
        for (size_t i = 0; i < length; ++i) {
            if ((previous & 0x7F) == '@' && (bytes[i] & 0x7F) == '\r') violation("'@' then CR unescaped");
            previous = bytes[i];
        }
        size_t cut = noise & 0x80 ? (noise & 0x7F) % (length + 1) : length + 1;
        for (size_t i = 0; i < length; ++i) {
            if (i == cut) line.push_back(Bytes{0x11, 0x13, 0x91, 0x93}[noise & 3]);
            line.push_back(bytes[i]);
        }
        clean.insert(clean.end(), bytes, bytes + length);
    };

    for (size_t frame = 0; frame < kMaxFrames && !in.empty() && line.size() < kMaxLine; ++frame) {
        uint8_t op = in.byte();
        size_t junk = op & 0x80 ? (op >> 3) & 0x0F : 0;
        for (size_t i = 0; i < junk; ++i) {
            uint8_t b = in.byte();
            line.push_back(safeJunk(b) ? b : 'g');
            previous = line.back();
        }
        if (junk) addGarbage(expected, junk);

        HeaderForm form = HeaderForm((op & 3) % 3);
        Header h{in.byte(), {in.byte(), in.byte(), in.byte(), in.byte()}};
        std::unique_ptr<uint8_t[]> out(new uint8_t[kHeaderMax]);
        add(out.get(), encodeHeader(h, form, state, out.get()), kHeaderMax, in.byte());
        expected.push_back(headerGot(h, form));
        if (!carriesSubpackets(h.type)) continue;

        size_t count = 1 + (op >> 2 & 1) + (in.byte() & 3);
        for (size_t i = 0; i < count; ++i) {
            uint8_t choice = in.byte();
            Bytes data;
            if (choice < 0xF0) {
                for (size_t j = 0; j < choice; ++j) data.push_back(in.byte());
            } else {
                Filler fill(in.byte());
                data.resize(std::min<size_t>(kMaxSubpacket, (choice & 0x0F) * 600));
                for (uint8_t& b : data) b = fill.next();
            }
            uint8_t endChoice = in.byte();
            uint8_t end = i + 1 < count ? (endChoice & 1 ? ZCRCQ : ZCRCG) : (endChoice & 1 ? ZCRCW : ZCRCE);
            size_t worst = subpacketMax(data.size());
            std::unique_ptr<uint8_t[]> packet(new uint8_t[worst]);
            add(packet.get(), encodeSubpacket(data.data(), data.size(), end, crcKindOf(form), state, packet.get()),
                worst, endChoice >> 1);
            expected.push_back(Got{EventKind::Subpacket, 0, {}, HeaderForm::Hex, data, end, Fault::None, 0});
        }
    }
    if (!clean.empty() && state.lastSent != clean.back())
        violation("the escaping state's last byte is not the last byte sent");

    if (readLine(line, plan, false) != expected) violation("frames cut by the plan read back otherwise");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Fresh for each input, so that a finding replays alone; between the
    // reads of one input only resetReader cleans up.
    reader() = Reader();
    Input in{data, size};
    uint8_t mode = in.byte();
    if (mode & 1)
        framesReadBack(in);
    else
        anyBytes(in, mode & 2);
    return 0;
}
